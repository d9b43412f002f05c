// APMRemoteConfig: the measurement configuration the analytics service delivers for one app,
// kept in the analytics database and answered from: the settings that tune the client, as
// typed accessors over one dictionary of setting name to delivered text or resolved number
// (each with a default and, mostly, a range; a delivered value that does not read as a
// number, or reads outside the range, gives the default, never a clamped value; resolved at
// its first read), the configuration of single events, the service addresses, the data
// controls, the consent defaults, a few experiment flags and the event-editing program.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMExperimentServices.h"
#include "analytics/data/APMScriptServices.h"
#include "analytics/messages/APMPBMessages.h"
#include "foundation/ZULMutableDictionary.h"
#include "platform/value.h"

class APMDatabase;

// The reading of a delivered setting text, a decimal number string (APMIsDecimalNumberString:
// an optional sign, decimal digits with at most one '.'): an Int when it is whole and fits 64
// bits, else a Double. No blanks, grouping, exponent, "inf" or "nan", and the same result in
// every locale. None for anything else.
std::optional<platform::Value> APMParseDecimalNumber(std::string_view text);

class APMRemoteConfig : public APMEExperimentObserverDelegate,
                        public APMESDKPropertyProviderDelegate,
                        public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // An instance without app, database or configuration, as the default instance is made:
  // every setting reads its default.
  APMRemoteConfig();
  ~APMRemoteConfig() override;

  // The process-wide instance without app, database or configuration, made once.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // Null, logged, for an empty app ID (29000) or no database (29001); otherwise the full
  // initializer without a configuration.
  static std::shared_ptr<APMRemoteConfig>
  initWithAppID(const std::optional<std::string>& appID,
                const std::shared_ptr<APMDatabase>& database,
                const std::shared_ptr<APMEManager>& experimentManager);
  // Registers with the experiment manager when there is one; then stores the given
  // configuration, or takes up the one stored in the database. With neither app ID nor
  // database the instance is a default instance.
  static std::shared_ptr<APMRemoteConfig>
  initWithAppID(const std::optional<std::string>& appID,
                const std::shared_ptr<APMDatabase>& database,
                const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
                const std::shared_ptr<APMEManager>& experimentManager);

  bool isDefaultInstance() const;

  // Accepts a fetched configuration of this app, stores it and makes it the active one;
  // false (logged) when refused or not stored.
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // The stored configuration, or null (logged).
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Rebuilds the caches from a configuration of this app; another app's changes nothing.
  void
  parseRemoteConfigFromMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // Drops the configuration and every cache; the database row stays.
  void reset();

  // The configuration of one event, under the internal short name for the events of the
  // name map; null (logged for an empty name) when there is none.
  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name);
  bool isEventBlocklisted(const std::string& name);
  bool isEventCustomConversion(const std::string& name);
  bool eventHasSamplingRate(const std::string& name);
  // The configured rate when it lies in 2..65535, else 1.
  std::int32_t samplingRateForEvent(const std::string& name);

  // Seconds since 1970 of the last stored configuration; 0 when there is none.
  double lastRemoteConfigUpdateTimestamp();
  // Whether the stored configuration is at least the cache time away from now.
  bool isExpired();
  // The active configuration's version; -1 without one.
  std::int64_t version();

  std::optional<std::string> uploadSubdomain();
  // On the analytics service host, or the alternative one for app-data consent status 3,
  // behind the subdomain when that is made of host-name labels only.
  std::string uploadURL();
  // Null (logged) for no platform.
  std::optional<std::string> remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                         std::int64_t SDKVersion,
                                                         std::int64_t runtimeVersion);

  // Items the upload withholds.
  std::vector<std::string> dataControls();
  // Consent type name to status name, type name to type name, type name to status name.
  platform::Dictionary consentDefaults();
  platform::Dictionary consentDelegations();
  platform::Dictionary regionalDefaults();
  std::set<std::string> corePlatformServices();
  bool isDMARegion();

  platform::Array experimentIDs();
  // Activates an arrived snapshot; false when none arrived or activation failed (then a later
  // call tries again).
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override;
  void client(const std::shared_ptr<APMEClient>& client,
              const platform::ErrorPtr& didReceiveFetchError) override;
  bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) override;

  // The loaded event-editing program's runner, or null.
  std::shared_ptr<APMPEventEditing> eventEditing() const;
  APMRemoteConfig(const APMRemoteConfig&) = delete;
  APMRemoteConfig& operator=(const APMRemoteConfig&) = delete;

  using NumberBlock =
      std::function<std::optional<platform::Value>(const std::optional<platform::Value>&)>;

  // The lookup every accessor goes through; none for an empty name.
  std::optional<platform::Value>
  numberFromCacheWithKey(const std::string& key, const platform::Value& defaultValue,
                         const std::optional<platform::Value>& maxValue,
                         const std::optional<platform::Value>& minValue,
                         const NumberBlock& block = nullptr);
  std::int32_t intValueFromCacheWithKey(const std::string& key, std::int32_t defaultValue,
                                        std::int32_t maxValue, std::int32_t minValue);
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue,
                                          std::int64_t maxValue, std::int64_t minValue);
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue);
  // Delivered in milliseconds; default and range in seconds.
  double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                               double maxValue, double minValue);
  bool boolValueFromCacheWithKey(const std::string& key, bool defaultValue);

  // A delivered text read as a decimal number, the same in every locale; none (logged) for
  // anything but a string, and none for a string that is not a number.
  std::optional<platform::Value> numberFromString(const std::optional<platform::Value>& object);
  // Stores the value under the name and gives it back; none (logged) for no value or an
  // empty name.
  std::optional<platform::Value> cacheValue(const std::optional<platform::Value>& value,
                                            const std::string& key);

  // Setting name to delivered text or resolved number; the configuration loading fills it.
  // reset() puts a new table in place: a reference taken before it is valid only until then.
  ZULMutableDictionary<std::string, platform::Value>& cachedValueByRemoteConfigKeys();
  // Experiment flag name to value, as last copied from the experiments client; a flag held
  // here wins over its setting. The same holds as for the settings table.
  ZULMutableDictionary<std::string, platform::Value>& cachedExperimentFlags();
  // This SDK's client of the experiment manager; null without a manager.
  std::shared_ptr<APMEClient> experimentClient() const;

  // One per setting, named for it.
  std::int32_t analyticsAccountTimeZoneOffsetMinutes();
  double adIDCacheTime();
  bool isSessionIDEnabled();
  bool gateIDFAOnATTMASEnabled();
  double attributionCacheTTLInterval();
  std::int32_t maxFiltersPerAudience();
  std::int32_t maxFilterResultCount();
  std::int32_t maxAudienceCount();
  std::int32_t maxParametersPerFilter();
  bool efficientEngagementReportingEnabled();
  bool redundantEngagementRemovalEnabled();
  double remoteConfigCacheTimeInterval();
  bool isDeferredDeepLinkEnabled();
  std::int32_t maxDeferredDeepLinkRetryCount();
  bool dcuEventFeatureEnabled();
  std::int32_t maxRealtimeDCUEventCountPerDay();
  bool isEventSamplingEnabled();
  bool itemScopedCustomParameterEnabled();
  bool appBackgroundedEventEnabled();
  bool appInBackgroundParameterEnabled();
  std::int32_t maxTrackedCurrencies();
  double monitoringSamplePeriod();
  bool isNetworkBackgroundSessionEnabled();
  double networkTimeout();
  bool PSMFeatureEnabled();
  std::int32_t hashPrefixBitLengthEmail();
  std::int32_t hashPrefixBitLengthPhone();
  std::int32_t maxPSMRetryCount();
  double PSMRetryInterval();
  std::int32_t maxSignInDelayInDays();
  std::int32_t maxPSMStartCount();
  bool checksumEnabled();
  bool regionalDefaultsEnabled();
  double sessionDefaultMinimumInterval();
  double sessionDefaultTimeoutInterval();
  double sessionEventUserEngagementInterval();
  bool sessionStitchingTokenFeatureEnabled();
  double SKANCVFetchRetryInterval();
  std::int32_t SKANCVFetchRetryLimit();
  double SKANFirstWindowCVFetchRetryInterval();
  std::int32_t SKANFirstWindowCVFetchRetryLimit();
  double SKANFirstWindowCVFetchDelay();
  double SKANFirstWindowUploadInterval();
  double SKANInitialCVFetchDelay();
  bool SKANUpdateConversionValueEnabled();
  std::int32_t maxEventsStored();
  bool tcfFeatureEnabled();
  double uploadingBackoffInterval();
  bool blocklistInternal();
  bool blocklistPublic();
  double uploadingDebugModeInterval();
  bool DMAConsentEnabled();
  double uploadingInitialDelayInterval();
  double uploadingInterval();
  std::int64_t uploadMaxSizeLimitBytes();
  std::int64_t uploadMaxBundlesLimit();
  std::int64_t maxBundlesCreatedPerIteration();
  std::int32_t maxConversionsPerDay();
  std::int32_t maxErrorEventsPerDay();
  std::int32_t maxEventNameCardinality();
  std::int32_t maxPublicEventParameterValueLength();
  std::int64_t uploadMaxEventsPerBundle();
  std::int32_t maxEventsPerDay();
  std::int32_t maxItemScopedCustomParameters();
  std::int32_t maxPublicEventParams();
  std::int32_t maxPublicEventsPerDay();
  std::int32_t maxPublicUserProperties();
  double maxQueueTime();
  std::int32_t maxRealtimeEventCountPerDay();
  double uploadingRealTimeInterval();
  std::int32_t uploadingRetryCount();
  double uploadingRetryInterval();
  double databaseDeleteStaleBundlesInterval();

  // Always on.
  bool maxPublicEventParamValueLimitFeatureEnabled();
  // The larger of maxPublicEventParameterValueLength and 256.
  std::int32_t maxInternalEventParameterValueLength();

 private:
  using SettingsTable = ZULMutableDictionary<std::string, platform::Value>;
  using EventConfigTable = ZULMutableDictionary<std::string, std::shared_ptr<APMPBEventConfig>>;

  // Makes the runner, registers the modules over the given settings table and loads the
  // program; false (the runner dropped) when there is no script engine or the load fails.
  bool loadEventEditingProgram(const std::shared_ptr<APMPBProgram>& program,
                               const std::shared_ptr<SettingsTable>& settings);

  struct State {
    // Guards every member below that is not const or atomic. The tables serialise their own
    // contents; the lock covers only which table is current, which reset() changes.
    mutable std::mutex mutex;
    bool isDefaultInstance = true;
    std::optional<std::string> appID;
    std::weak_ptr<APMDatabase> database;
    std::shared_ptr<SettingsTable> cachedValueByRemoteConfigKeys =
        std::make_shared<SettingsTable>();
    std::shared_ptr<EventConfigTable> cachedEventConfigByEventName =
        std::make_shared<EventConfigTable>();
    std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto;
    std::shared_ptr<APMEClient> experimentClient;
    std::shared_ptr<APMEManager> experimentManager;
    // Tested without the lock before activation, as the callback may set it at any time.
    std::atomic<bool> hasNewSnapshot{false};
    std::shared_ptr<SettingsTable> cachedExperimentFlags = std::make_shared<SettingsTable>();
    std::vector<std::string> cachedDataControls;
    std::shared_ptr<SettingsTable> cachedConsentDefaults = std::make_shared<SettingsTable>();
    std::shared_ptr<SettingsTable> cachedConsentDelegations = std::make_shared<SettingsTable>();
    std::set<std::string> cachedCorePlatformServices;
    bool isDMARegion = true;
    std::shared_ptr<SettingsTable> cachedRegionalDefaults = std::make_shared<SettingsTable>();
    std::shared_ptr<APMPEventEditing> eventEditing;

    std::shared_ptr<SettingsTable> settings() const {
      std::lock_guard lock(mutex);
      return cachedValueByRemoteConfigKeys;
    }
    std::shared_ptr<SettingsTable> flags() const {
      std::lock_guard lock(mutex);
      return cachedExperimentFlags;
    }
  };
  const std::unique_ptr<State> state_;
};
