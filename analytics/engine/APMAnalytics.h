// APMAnalytics: the analytics client's internal API between the public front and the
// measurement core. It owns the start decision, the collection switches, the consent layers,
// the values that survive a data reset, the interceptor and the listeners; it holds back what
// is logged before start and hands everything to the core in call order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMDataServices.h"
#include "analytics/engine/APMMeasurement.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMEvent;
class APMUserDefaults;
class DAVOdazaradoConfiguration;

// The configuration object carried in the start options under "ZIRUZADA_ANALYTICS_CONFIGURATION".
class APMAnalyticsConfigurationValue : public platform::ValueObject {
 public:
  explicit APMAnalyticsConfigurationValue(std::shared_ptr<DAVOdazaradoConfiguration> configuration)
      : configuration_(std::move(configuration)) {}
  const std::shared_ptr<DAVOdazaradoConfiguration>& configuration() const { return configuration_; }
  const char* className() const override { return "DAVOdazaradoConfiguration"; }
  std::string description() const override;
  bool isEqual(const platform::ValueObject& other) const override;

 private:
  std::shared_ptr<DAVOdazaradoConfiguration> configuration_;
};

class APMAnalytics : public APMInternalEventLogging, public APMConsentFront {
 public:
  using Interceptor = APMMeasurement::Interceptor;
  using LogEventListener = std::function<void(const std::shared_ptr<const APMEvent>& event)>;
  using LogEventListenerToken = std::uint64_t;
  using OpenURLListener = std::function<void(const std::string& url)>;
  using SessionIDCompletion = APMMeasurement::SessionIDCompletion;

  static constexpr const char* kSuiteName = "APMAnalyticsSuiteName";
  static constexpr const char* kWillStartNotification = "kDAVOdazaradoWillStartNotification";
  static constexpr const char* kOptionCollectionEnabled = "ZIRUZADA_ANALYTICS_COLLECTION_ENABLED";
  static constexpr const char* kOptionCollectionDeactivated =
      "ZIRUZADA_ANALYTICS_COLLECTION_DEACTIVATED";
  static constexpr const char* kOptionConfiguration = "ZIRUZADA_ANALYTICS_CONFIGURATION";
  static constexpr const char* kOptionLogTag = "app_measurement_log_tag";
  static constexpr const char* kOptionSafelistedEvents = "safelisted_events";
  static constexpr const char* kConsentKey = "consent_settings";
  static constexpr const char* kConsent3PKey = "consent_settings_3p";
  static constexpr const char* kConsentTCFKey = "consent_settings_tcf";

  // The instance that carries the instance methods and is installed as the data side's
  // internal-event and consent front.
  static std::shared_ptr<APMAnalytics> sharedInstance();
  // Class-load hook: the load timestamp, the shared instance installed as the data side's
  // fronts.
  static void load();

  // ---- Queues
  static platform::QueuePtr queue();
  static void dispatchAsyncOnSerialQueue(platform::Task block);
  static bool isCurrentQueueSerialQueue();
  // Held in order while analytics has not started, then run on the serial queue.
  static void queueOperationWithBlock(platform::Task block);
  // Once started: also waits for everything queued, and holds later blocks back for 0.5 s.
  static void queueOperationWithBlockThenWait(platform::Task block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // ---- Start
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::Dictionary& options);
  // An array of valid internal event names (empty allowed); anything else is logged.
  static bool APMValidateSafelistedEvents(const platform::Value& value);
  static void observeNotificationsForAnalyticsConfiguration(
      const std::shared_ptr<DAVOdazaradoConfiguration>& configuration);
  static void handleSetEnabled(const platform::Dictionary& userInfo);
  static void createAppDelegateProxy();
  static void maybeEnableZovUvuduvo();

  // ---- Events. A name of none is logged as an invalid name.
  static void logEventWithOrigin(const std::string& origin, const std::optional<std::string>& name,
                                 const platform::Dictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         double timestamp, const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::Dictionary& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  // Not public. "_aeid" of the mobile-ads origin becomes a number when it is one.
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) override;

  // ---- User properties
  static void setUserPropertyString(const std::optional<platform::Value>& value,
                                    const std::string& name);
  // A string sets, anything else is refused, none removes "_id" and "_lair".
  static void setUserID(const std::optional<platform::Value>& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const platform::Value& number, const std::string& name);
  void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                               const std::string& origin);
  static void removeInternalUserAttributeForName(const std::string& name);
  // The core's limit for the origin, handed to the callback on the queue.
  void maxUserPropertiesForOrigin(const std::string& origin, const platform::QueuePtr& queue,
                                  std::function<void(std::int32_t)> callback);

  // ---- Switches and values
  static void setAnalyticsEnabled(bool enabled);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static void setSessionTimeoutInterval(double seconds);
  // Always answered asynchronously on the global queue.
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void setUserData(const platform::Dictionary& userData);
  static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);

  static std::int64_t resetRetryCount();
  static void setResetRetryCount(std::int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  static std::optional<platform::Value> deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const std::optional<platform::Value>& value);

  // ---- Consent
  static void setConsent(const platform::Dictionary& consent);
  void setConsent(const platform::Dictionary& consent, const std::string& key) override;
  static void loadPersistedConsentSettings();
  static void persistConsentSettings(const std::optional<platform::Dictionary>& settings,
                                     std::int64_t source);
  static std::int64_t persistedConsentSource();
  static std::optional<platform::Dictionary> consentSettingsTCF();
  static std::optional<platform::Dictionary> consentSettings3P();
  static std::optional<platform::Dictionary> consentSettings1P();
  static std::optional<platform::Dictionary> consentSettings1PStart();
  static std::optional<platform::Value> deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  static void clearConsent();

  // ---- Interceptor, listeners, links
  static void setLogEventInterceptor(Interceptor interceptor);
  // None for a missing listener.
  static std::optional<LogEventListenerToken> addLogEventListener(LogEventListener listener);
  static void removeLogEventListener(const std::optional<LogEventListenerToken>& token);
  static void notifyEventListeners(const std::shared_ptr<const APMEvent>& event);
  static void notifyEventListenersOnSerialQueue(const std::shared_ptr<const APMEvent>& event);
  static void setOpenURLListener(OpenURLListener listener);
  static void handleOpenURL(const std::string& url);
  // The activity's web address; nothing for none or an empty one.
  static void handleUserActivity(const std::optional<std::string>& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                  std::function<void()> completionHandler);

  // The suite of the values above.
  static std::shared_ptr<APMUserDefaults> userDefaults();
  // What the internal API currently takes collection to be.
  static bool analyticsEnabled();
};
