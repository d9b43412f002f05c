// APMMeasurement: the measurement core of the analytics client. One shared instance per
// process owns the worker queue, the upload alarm, the analytics database, the configuration
// and the session reporter, and carries every logged event from the internal API to a stored
// raw event. Its work is split over three files: the life of the core (APMMeasurement.cc),
// the road of one event (APMMeasurementEvents.cc) and the writes of user properties and
// default event parameters (APMMeasurementUserProperties.cc).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/engine/APMMonitor.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

class APMAlarm;
class APMConfigStore;
class APMDailyCounts;
class APMDatabase;
class APMEManager;
class APMEvent;
class APMIdentity;

class APMPersistedConfig;
class APMRawEventData;
class APMRemoteConfig;
class APMSessionReporter;
class APMAudience;
class APMTCFClient;
class APMUserAttribute;
class ZULNetwork;

class APMMeasurement : public APMMeasurementEngine,
                       public std::enable_shared_from_this<APMMeasurement> {
  struct Passkey {};

 public:
  // What the log-event interceptor is given: origin, name, parameters, timestamp and the
  // screen parameters added to the event.
  using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters, double timestamp,
                                         const platform::Dictionary& addedScreenParameters)>;
  using SessionIDCompletion = std::function<void(std::int64_t sessionID, platform::ErrorPtr)>;

  // One event as the internal API hands it to the core.
  struct LoggedEvent {
    std::string origin;
    bool isPublicEvent = false;
    std::string name;
    platform::Dictionary parameters;
    double timestamp = 0;
    bool enabled = false;
    bool ignoreEnabled = false;
    bool ignoreInterceptor = false;
    bool hasInterceptor = false;
    platform::Dictionary addedScreenParameters;
  };

  // Sees, on the worker queue and in order, what the internal API hands to the core, before
  // the core works on it (tests observe the front this way).
  class Recorder {
   public:
    virtual ~Recorder() = default;
    virtual void didLogEvent(const LoggedEvent& event) = 0;
    // A removal has no value.
    virtual void didSetUserAttribute(const std::string& name,
                                     const std::optional<platform::Value>& value,
                                     const std::string& origin) = 0;
    virtual void didSetUserData(const platform::Dictionary&) {}
  };
  // For the whole process; nullptr stops recording.
  static void setRecorder(std::shared_ptr<Recorder> recorder);

  // ---- Life of the core -----------------------------------------------------------------

  static constexpr const char* kDatabaseName = "rerora-app-measurement.sql";
  static constexpr const char* kWorkerQueueLabel = "com.rerora.raru.worker";
  static constexpr const char* kAlarmName = "Measurement timer";

  // The one monitor of the process, created on first use; from then on it is also the
  // monitor that the wire messages and the analytics data log through.
  static std::shared_ptr<APMMonitor> monitor();
  // Class-load hook: makes the monitor before any analytics code runs.
  static void load();
  // One line through the analytics monitor, made first if nothing has made it yet.
  static void log(std::int64_t level, std::int64_t messageCode, const std::string& message,
                  const platform::Array& contexts = {});

  // Creates the shared instance once, and installs it as the data side's engine; later calls
  // change nothing, also after a call with an empty identifier made none.
  static void initializeSharedInstanceWithAppID(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::optional<platform::Array>& safelisted);
  static bool hasSharedInstance();
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The shared instance's configuration, or the default one while there is none.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();

  // Null for an empty app identifier.
  static std::shared_ptr<APMMeasurement>
  initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                bool isAnalyticsCollectionDeactivated,
                const std::optional<platform::Array>& safelistedEvents,
                std::shared_ptr<APMEManager> experimentManager);
  // The designated initializer; tests give their own database name, persisted configuration
  // and scheduler.
  static std::shared_ptr<APMMeasurement>
  initWithDatabaseName(const std::string& databaseName,
                       std::shared_ptr<APMPersistedConfig> persistedConfig,
                       std::shared_ptr<ZULNetwork> network, std::shared_ptr<APMScheduler> scheduler,
                       std::shared_ptr<APMAlarm> alarm, const std::string& appID,
                       bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                       const std::optional<platform::Array>& safelistedEvents,
                       std::shared_ptr<APMEManager> experimentManager);
  APMMeasurement(Passkey);
  ~APMMeasurement() override;
  APMMeasurement(const APMMeasurement&) = delete;
  APMMeasurement& operator=(const APMMeasurement&) = delete;

  const std::shared_ptr<APMScheduler>& scheduler() const { return scheduler_; }

  bool shouldEnableMeasurement() const;
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  bool didInitializeComponents() const;
  void setDidInitializeComponents(bool value);
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  void reachabilityDidChange();
  void setSessionTimeoutInterval(double seconds);
  double sessionTimeoutInterval() const;

  bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                               const std::optional<std::string>& appIDFromVIZ,
                               const std::optional<std::string>& appIDFromRiRur,
                               const std::optional<std::string>& persistedAppIDFromVIZ,
                               const std::optional<std::string>& persistedAppIDFromRiRur) const;
  // Clears the stored analytics data and sets the components up again in place; false when
  // that failed.
  bool wipeoutAnalyticsDataAndResetComponents();
  void updatePersistedAppIDFromVIZAndRiRur();
  void setProspectiveConsentSettings();
  void updateConsentSettingsUtilWithRemoteConfig();
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis);
  // A campaign link taken out of the cache for its report: an expired one as "(not set)".
  struct StoredCampaign {
    std::string link;
    double storedAt = 0;
    platform::Dictionary extraParameters;
  };
  // Removes both cache keys; none when no link is stored.
  static std::optional<StoredCampaign> takeStoredCampaign(APMConfigStore& defaults,
                                                          double timeToLive);
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void updateAdPersonalizationConsentFromNPAValue(const std::optional<platform::Value>& value);
  void backfillSessionNumber();
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  bool isVersionSameAsOriginalVersion() const;
  std::optional<platform::Dictionary> fileAttributesForPath(const std::string& path) const;
  // Upload scheduling comes with the upload; until then there is nothing to schedule.
  void updateSchedule();

  // What the internal API asks of the core beyond events and user properties.
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::function<void(std::int32_t)> callback);
  // Whether ads must not be personalized; none when nothing says.
  std::optional<bool> shouldDisableAdPersonalization() const;
  void sessionIDWithCompletion(SessionIDCompletion completion);
  // False when the reset could not be done.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  void setUserData(const platform::Dictionary& userData);
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);

  // The components, set up at the first successful start and replaced in place by a wipe;
  // readable from any thread.
  std::shared_ptr<APMIdentity> identity() const override;
  std::shared_ptr<APMDatabase> database() const override;
  std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const;
  std::shared_ptr<APMSessionReporter> sessionReporter() const;
  std::shared_ptr<APMAudience> audience() const;
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  double initTimestamp() const { return initTimestamp_; }
  const std::string& appID() const { return appID_; }

  // ---- APMMeasurementEngine ---------------------------------------------------------------
  bool isEnabled() const override;
  void scheduleOnWorkerQueueBlockID(const std::string& blockID,
                                    std::function<void()> block) override;
  // The serial queue every operation of the core runs on.
  std::shared_ptr<platform::Queue> workerQueue() const override;
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) override;
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) override;

  // ---- The road of one event --------------------------------------------------------------

  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::Dictionary& parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor,
                          const Interceptor& interceptor,
                          const platform::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                       const std::string& name,
                                       const platform::Dictionary& parameters, double timestamp,
                                       bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                       const Interceptor& interceptor,
                                       const platform::Dictionary& addedScreenParameters);
  void logEvent(const std::shared_ptr<APMEvent>& event);
  void logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners);
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void writeSessionStartEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  bool writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent, bool isRealtime);
  bool shouldProcessEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts,
                          bool isPublicEvent);
  bool isRealtimeEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts);
  void maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<const APMUserAttribute>>& userAttributes);
  void logFirstOpenConsentedEvent(double timestamp);
  bool updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event);
  void processSessionFromEvent(const std::shared_ptr<APMEvent>& event);
  // True keeps the event.
  bool dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMEvent>
  appExceptionEventWithZiruzadaFeatureRollouts(const std::shared_ptr<APMEvent>& event);
  // The stored first-open count as a decimal string; none when not stored.
  std::optional<std::string> previousFirstOpenCount() const;
  void setPreviousFirstOpenCount(const std::optional<std::string>& count);

  // Checks bundling applies to each raw event it reads back.
  std::shared_ptr<APMRawEventData>
  internalEventFromPublicEvent(const std::shared_ptr<APMRawEventData>& data);
  bool checkConversion(const std::shared_ptr<APMRawEventData>& data, APMDailyCounts& dailyCounts);
  bool checkRealtime(const std::shared_ptr<APMRawEventData>& data, APMDailyCounts& dailyCounts);
  std::shared_ptr<APMRawEventData>
  validatePurchaseEvent(const std::shared_ptr<APMRawEventData>& data);
  void handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle& bundle);

  // ---- User properties and default event parameters ---------------------------------------

  void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(
      const std::optional<platform::Dictionary>& parameters);
  platform::Dictionary parametersWithAddedDefaultEventParameters(
      const platform::Dictionary& parameters) const;
  void setUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute);
  void removeUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute);
  void setUserAttributeOnWorkerQueue(const std::shared_ptr<const APMUserAttribute>& attribute);
  void removeUserAttributeOnWorkerQueue(const std::shared_ptr<const APMUserAttribute>& attribute);
  // The write without the enabled check, for the core's own reports.
  bool setUserPropertyInDatabaseOnWorkerQueue(
      const std::shared_ptr<const APMUserAttribute>& attribute);

 private:
  bool initializeComponentsOnWorkerQueue();
  void setComponents(std::shared_ptr<APMIdentity> identity, std::shared_ptr<APMDatabase> database,
                     std::shared_ptr<APMRemoteConfig> remoteConfig,
                     std::shared_ptr<APMAudience> audience,
                     std::shared_ptr<APMSessionReporter> sessionReporter);
  // What the front's recorder, when one is installed, is told.
  static std::shared_ptr<Recorder> recorder();

  std::string databaseName_;
  std::atomic<bool> didInitializeComponents_{false};
  std::mutex initializeComponentsLock_;
  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<ZULNetwork> network_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMEManager> experimentManager_;

  // The components a wipe replaces in place, read from other threads: only under this lock.
  mutable std::mutex componentsMutex_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMAudience> audience_;
  std::shared_ptr<APMSessionReporter> sessionReporter_;

  std::shared_ptr<APMTCFClient> tcfClient_;
  std::optional<std::string> previousVIZAppID_;
  double initTimestamp_ = 0;
  double suspendedUploadTimestamp_ = 0;
  std::string appID_;
  std::optional<std::vector<std::string>> safelistedEvents_;
  bool foundAdPersonalizationPlistFlag_ = false;
  bool shouldUpdateNPAUserProperty_ = false;
  bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  bool isAnalyticsCollectionEnabled_ = false;
  bool isAnalyticsCollectionDeactivated_ = false;
  bool isNetworkRequestPending_ = false;

  // APMMeasurement.cc
  class NetworkDelegate;
  std::shared_ptr<NetworkDelegate> networkDelegate_;
  // Where a campaign link taken from the cache goes on; the deep-link handling comes later.
  void handleStoredCampaignLinkOnWorkerQueue(const std::string& link,
                                             std::optional<std::int64_t> clickTimestampMillis,
                                             double eventTimestampInSeconds,
                                             const platform::Dictionary& extraParameters);
  // The core's own properties are made by rules that may refuse them (logged there).
  void writeAttribute(const std::shared_ptr<const APMUserAttribute>& attribute);
};
