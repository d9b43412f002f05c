// APMRemoteConfig: the settings that the analytics service tunes the client with, as typed
// accessors over one dictionary of setting name to delivered text or resolved number. Each
// setting has a default and, mostly, a range; a delivered value that does not read as a
// number, or reads outside the range, gives the default (never a clamped value). A setting
// is resolved at its first read and serves later reads until the next configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/data/APMDataServices.h"
#include "foundation/ZULMutableDictionary.h"
#include "platform/value.h"

// The reading of a delivered setting text, a decimal number string (APMIsDecimalNumberString:
// an optional sign, decimal digits with at most one '.'): an Int when it is whole and fits 64
// bits, else a Double. No blanks, grouping, exponent, "inf" or "nan", and the same result in
// every locale. None for anything else.
std::optional<platform::Value> APMParseDecimalNumber(std::string_view text);

class APMRemoteConfig {
 public:
  APMRemoteConfig();
  ~APMRemoteConfig();
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
  ZULMutableDictionary<std::string, platform::Value>& cachedValueByRemoteConfigKeys();
  // Experiment flag name to value, as last cached by the configuration loading; a flag held
  // here wins over its setting.
  ZULMutableDictionary<std::string, platform::Value>& cachedExperimentFlags();
  // The experiments client asked for the live flags; none until one is set.
  void setExperimentClientFlags(std::shared_ptr<APMEClientFlags> flags);
  std::shared_ptr<APMEClientFlags> experimentClientFlags() const;

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
  struct State;
  std::unique_ptr<State> state_;
};
