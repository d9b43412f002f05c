#include "analytics/data/APMRemoteConfig.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>

#include "analytics/data/APMLogUtilities.h"
#include "analytics/messages/APMServices.h"

namespace {

// Longer texts are no setting a server would send; refusing them bounds the work per value.
constexpr std::size_t kMaxNumberTextLength = 256;

// Negative when a < b, 0 when equal, positive when a > b; numbers only.
int compareNumbers(const platform::Value& a, const platform::Value& b) {
  const auto ai = a.asInt();
  const auto bi = b.asInt();
  if (ai && bi) return *ai < *bi ? -1 : (*ai > *bi ? 1 : 0);
  const double ad = a.asDouble().value_or(0.0);
  const double bd = b.asDouble().value_or(0.0);
  return ad < bd ? -1 : (ad > bd ? 1 : 0);
}

}  // namespace

std::optional<platform::Value> APMParseDecimalNumber(std::string_view text) {
  if (text.size() > kMaxNumberTextLength || !APMIsDecimalNumberString(text)) return std::nullopt;
  const bool negative = text.front() == '-';
  if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
  if (text.find('.') == std::string_view::npos) {
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec == std::errc() && end == text.data() + text.size()) {
      constexpr auto kMaxPositive =
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      if (!negative && magnitude <= kMaxPositive) {
        return platform::Value(static_cast<std::int64_t>(magnitude));
      }
      if (negative && magnitude <= kMaxPositive + 1) {
        return platform::Value(static_cast<std::int64_t>(0 - magnitude));
      }
    }
  }
  // A fraction, or an integer too large for 64 bits: read as a double.
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return platform::Value(negative ? -value : value);
}

APMRemoteConfig::APMRemoteConfig() : state_(std::make_unique<State>()) {}

APMRemoteConfig::~APMRemoteConfig() = default;

ZULMutableDictionary<std::string, platform::Value>&
APMRemoteConfig::cachedValueByRemoteConfigKeys() {
  return *state_->settings();
}

ZULMutableDictionary<std::string, platform::Value>& APMRemoteConfig::cachedExperimentFlags() {
  return *state_->flags();
}

std::shared_ptr<APMEClient> APMRemoteConfig::experimentClient() const {
  std::lock_guard lock(state_->mutex);
  return state_->experimentClient;
}

std::optional<platform::Value>
APMRemoteConfig::numberFromString(const std::optional<platform::Value>& object) {
  const std::string* text = object ? object->asString() : nullptr;
  if (text == nullptr) {
    APMServicesMonitor()->logWithLevel(2, 29018, "Cannot parse number from non-string",
                                       {object.value_or(platform::Value())});
    return std::nullopt;
  }
  return APMParseDecimalNumber(*text);
}

std::optional<platform::Value>
APMRemoteConfig::cacheValue(const std::optional<platform::Value>& value, const std::string& key) {
  if (!value || value->isNull() || key.empty()) {
    APMServicesMonitor()->logWithLevel(5, 29019, "Cannot cache empty configuration value");
    return std::nullopt;
  }
  state_->settings()->setObject(*value, key);
  return value;
}

std::optional<platform::Value>
APMRemoteConfig::numberFromCacheWithKey(const std::string& key, const platform::Value& defaultValue,
                                        const std::optional<platform::Value>& maxValue,
                                        const std::optional<platform::Value>& minValue,
                                        const NumberBlock& block) {
  if (key.empty()) {
    APMServicesMonitor()->logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  const std::optional<platform::Value> held = state_->settings()->objectForKey(key);
  if (!held) return cacheValue(defaultValue, key);
  // Resolved at an earlier read (or delivered as a number): served as it is.
  if (held->isNumber()) return held;
  std::optional<platform::Value> number = numberFromString(held);
  if (block) number = block(number);
  if (!number || !number->isNumber() || (minValue && compareNumbers(*number, *minValue) < 0) ||
      (maxValue && compareNumbers(*number, *maxValue) > 0)) {
    number = defaultValue;
  }
  return cacheValue(number, key);
}

std::int32_t APMRemoteConfig::intValueFromCacheWithKey(const std::string& key,
                                                       std::int32_t defaultValue,
                                                       std::int32_t maxValue,
                                                       std::int32_t minValue) {
  const auto number = numberFromCacheWithKey(key, platform::Value(defaultValue),
                                             platform::Value(maxValue), platform::Value(minValue));
  return number ? number->intValue() : 0;
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue,
                                                         std::int64_t maxValue,
                                                         std::int64_t minValue) {
  const auto number = numberFromCacheWithKey(key, platform::Value(defaultValue),
                                             platform::Value(maxValue), platform::Value(minValue));
  return number ? number->integerValue() : 0;
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue) {
  const auto number =
      numberFromCacheWithKey(key, platform::Value(defaultValue), std::nullopt, std::nullopt);
  return number ? number->integerValue() : 0;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) {
  // Never destroyed: settings are still read on worker queues while the process exits.
  static const NumberBlock& toSeconds = *new NumberBlock(
      [](const std::optional<platform::Value>& milliseconds) -> std::optional<platform::Value> {
        if (!milliseconds) return std::nullopt;
        return platform::Value(static_cast<double>(milliseconds->integerValue()) / 1000.0);
      });
  const auto number =
      numberFromCacheWithKey(key, platform::Value(defaultValue), platform::Value(maxValue),
                             platform::Value(minValue), toSeconds);
  return number ? number->doubleValue() : 0.0;
}

bool APMRemoteConfig::boolValueFromCacheWithKey(const std::string& key, bool defaultValue) {
  return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

// The settings. Keys are the service's names; limits are the service's documented ranges.

std::int32_t APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() {
  return intValueFromCacheWithKey("measurement.account.time_zone_offset_minutes", 0, 900, -900);
}
double APMRemoteConfig::adIDCacheTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.ad_id_cache_time", 1, 86400, 0);
}
bool APMRemoteConfig::isSessionIDEnabled() {
  return boolValueFromCacheWithKey("measurement.api.session_id", true);
}
bool APMRemoteConfig::gateIDFAOnATTMASEnabled() {
  return boolValueFromCacheWithKey("measurement.attmas_gate", false);
}
double APMRemoteConfig::attributionCacheTTLInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.attribution.cache.ttl", 604800, 2592000,
                                               86400);
}
std::int32_t APMRemoteConfig::maxFiltersPerAudience() {
  return intValueFromCacheWithKey("measurement.audience.filter_max_count_per_audience", 10, 100, 0);
}
std::int32_t APMRemoteConfig::maxFilterResultCount() {
  return intValueFromCacheWithKey("measurement.audience.filter_result_max_count", 200, 2000, 0);
}
std::int32_t APMRemoteConfig::maxAudienceCount() {
  return intValueFromCacheWithKey("measurement.audience.max_count", 100, 500, 0);
}
std::int32_t APMRemoteConfig::maxParametersPerFilter() {
  return intValueFromCacheWithKey("measurement.audience.parameter_max_count_filter", 25, 250, 0);
}
bool APMRemoteConfig::efficientEngagementReportingEnabled() {
  return boolValueFromCacheWithKey("measurement.collection.efficient_engagement_reporting_enabled",
                                   false);
}
bool APMRemoteConfig::redundantEngagementRemovalEnabled() {
  return boolValueFromCacheWithKey("measurement.collection.redundant_engagement_removal_enabled",
                                   false);
}
double APMRemoteConfig::remoteConfigCacheTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.config.cache_time", 3600, 86400, 60);
}
bool APMRemoteConfig::isDeferredDeepLinkEnabled() {
  return boolValueFromCacheWithKey("measurement.ddl.enabled", true);
}
std::int32_t APMRemoteConfig::maxDeferredDeepLinkRetryCount() {
  return intValueFromCacheWithKey("measurement.ddl.retry_count", 5, 10, 0);
}
bool APMRemoteConfig::dcuEventFeatureEnabled() {
  if (const auto flag = state_->flags()->objectForKey("dcu_event_feature_enabled")) {
    return flag->boolValue();
  }
  return boolValueFromCacheWithKey("measurement.dma.dcu_event_enabled", true);
}
std::int32_t APMRemoteConfig::maxRealtimeDCUEventCountPerDay() {
  return intValueFromCacheWithKey("measurement.dma.dcu_event_max_realtime_daily_count", 1, 10, 0);
}
bool APMRemoteConfig::isEventSamplingEnabled() {
  return boolValueFromCacheWithKey("measurement.event_sampling_enabled", false);
}
bool APMRemoteConfig::itemScopedCustomParameterEnabled() {
  return boolValueFromCacheWithKey("measurement.item_scoped_custom_parameter_enabled", true);
}
bool APMRemoteConfig::appBackgroundedEventEnabled() {
  return boolValueFromCacheWithKey("measurement.lifecycle.app_backgrounded_tracking", false);
}
bool APMRemoteConfig::appInBackgroundParameterEnabled() {
  return boolValueFromCacheWithKey("measurement.lifecycle.app_in_background_parameter", true);
}
std::int32_t APMRemoteConfig::maxTrackedCurrencies() {
  return intValueFromCacheWithKey("measurement.lifetimevalue.max_currency_tracked", 4, 100, 1);
}
double APMRemoteConfig::monitoringSamplePeriod() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.monitoring.sample_period_millis", 86400,
                                               604800, 0);
}
bool APMRemoteConfig::isNetworkBackgroundSessionEnabled() {
  return boolValueFromCacheWithKey("measurement.network.background_session_enabled", false);
}
double APMRemoteConfig::networkTimeout() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.network.network_timeout", 60, 3600, 30);
}
bool APMRemoteConfig::PSMFeatureEnabled() {
  return boolValueFromCacheWithKey("measurement.psm_enabled", true);
}
std::int32_t APMRemoteConfig::hashPrefixBitLengthEmail() {
  return intValueFromCacheWithKey("measurement.psm_prefix_email", 14, 20, 6);
}
std::int32_t APMRemoteConfig::hashPrefixBitLengthPhone() {
  return intValueFromCacheWithKey("measurement.psm_prefix_phone", 11, 18, 6);
}
std::int32_t APMRemoteConfig::maxPSMRetryCount() {
  return intValueFromCacheWithKey("measurement.psm_retry_count", 5, 10, 0);
}
double APMRemoteConfig::PSMRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.psm_retry_interval", 300, 1800, 30);
}
std::int32_t APMRemoteConfig::maxSignInDelayInDays() {
  return intValueFromCacheWithKey("measurement.psm_signin_delay", 60, 90, 7);
}
std::int32_t APMRemoteConfig::maxPSMStartCount() {
  if (APMServicesMonitor()->isDebugModeEnabled()) return 10;
  return intValueFromCacheWithKey("measurement.psm_start_count", 3, 10, 0);
}
bool APMRemoteConfig::checksumEnabled() {
  return boolValueFromCacheWithKey("measurement.quality.checksum", false);
}
bool APMRemoteConfig::regionalDefaultsEnabled() {
  if (const auto flag = state_->flags()->objectForKey("regional_defaults_enabled")) {
    return flag->boolValue();
  }
  return boolValueFromCacheWithKey("measurement.regional_defaults_enabled", true);
}
double APMRemoteConfig::sessionDefaultMinimumInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_minimum_interval", 10,
                                               86400, 0);
}
double APMRemoteConfig::sessionDefaultTimeoutInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_timeout_interval", 1800,
                                               86400, 0);
}
double APMRemoteConfig::sessionEventUserEngagementInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.event_user_engagement_interval",
                                               3600, 86400, 0);
}
bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() {
  if (const auto client = experimentClient()) {
    if (const auto flag =
            client->objectForKeyedSubscript("session_stitching_token_feature_enabled");
        flag && !flag->isNull()) {
      return flag->boolValue();
    }
  }
  return boolValueFromCacheWithKey("measurement.session_stitching_token_enabled", false);
}
double APMRemoteConfig::SKANCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.cv_fetch_retry_interval_sec", 120,
                                               3600, 30);
}
std::int32_t APMRemoteConfig::SKANCVFetchRetryLimit() {
  return intValueFromCacheWithKey("measurement.skan.cv_fetch_retry_limit", 4, 10, 1);
}
double APMRemoteConfig::SKANFirstWindowCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.first_window.cv_fetch_retry_interval_sec", 120, 3600, 30);
}
std::int32_t APMRemoteConfig::SKANFirstWindowCVFetchRetryLimit() {
  return intValueFromCacheWithKey("measurement.skan.first_window.cv_fetch_retry_limit", 4, 10, 1);
}
double APMRemoteConfig::SKANFirstWindowCVFetchDelay() {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, 3600, 1);
}
double APMRemoteConfig::SKANFirstWindowUploadInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.first_window.upload_interval_sec",
                                               1800, 86400, 15);
}
double APMRemoteConfig::SKANInitialCVFetchDelay() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.initial_cv_fetch_delay_sec", 120,
                                               3600, 30);
}
bool APMRemoteConfig::SKANUpdateConversionValueEnabled() {
  if (const auto client = experimentClient()) {
    if (const auto flag =
            client->objectForKeyedSubscript("skan_update_conversion_value_feature_enabled");
        flag && !flag->isNull()) {
      return flag->boolValue();
    }
  }
  return boolValueFromCacheWithKey("measurement.skan.update_conversion_value_enabled", false);
}
std::int32_t APMRemoteConfig::maxEventsStored() {
  return intValueFromCacheWithKey("measurement.store.max_stored_events_per_app", 100000, 1000000,
                                  0);
}
bool APMRemoteConfig::tcfFeatureEnabled() {
  return boolValueFromCacheWithKey("measurement.tcf_enabled", true);
}
double APMRemoteConfig::uploadingBackoffInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.backoff_period", 43200, 604800,
                                               3600);
}
bool APMRemoteConfig::blocklistInternal() {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_internal", false);
}
bool APMRemoteConfig::blocklistPublic() {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_public", false);
}
double APMRemoteConfig::uploadingDebugModeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.debug_upload_interval", 1, 15,
                                               1);
}
bool APMRemoteConfig::DMAConsentEnabled() {
  return boolValueFromCacheWithKey("measurement.upload.dma_consent_enabled", true);
}
double APMRemoteConfig::uploadingInitialDelayInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.initial_upload_delay_time", 15,
                                               86400, 1);
}
double APMRemoteConfig::uploadingInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.interval", 3600, 86400, 15);
}
std::int64_t APMRemoteConfig::uploadMaxSizeLimitBytes() {
  return int64ValueFromCacheWithKey("measurement.upload.max_batch_size", 65536, 10485760, 0);
}
std::int64_t APMRemoteConfig::uploadMaxBundlesLimit() {
  return int64ValueFromCacheWithKey("measurement.upload.max_bundles", 100, 10000, 1);
}
std::int64_t APMRemoteConfig::maxBundlesCreatedPerIteration() {
  // A count delivered through the time form: milliseconds-style scaling, then truncated.
  // Saturating: a number stored as it was delivered is served without the range test.
  return platform::Value(timeIntervalInSecondsFromCacheWithKey(
                             "measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1))
      .integerValue();
}
std::int32_t APMRemoteConfig::maxConversionsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_conversions_per_day", 10000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxErrorEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_error_events_per_day", 1000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxEventNameCardinality() {
  return intValueFromCacheWithKey("measurement.upload.max_event_name_cardinality", 500, 2000, 500);
}
std::int32_t APMRemoteConfig::maxPublicEventParameterValueLength() {
  return intValueFromCacheWithKey("measurement.upload.max_event_parameter_value_length", 100, 500,
                                  100);
}
std::int64_t APMRemoteConfig::uploadMaxEventsPerBundle() {
  return int64ValueFromCacheWithKey("measurement.upload.max_events_per_bundle", 1000, 1000000, 1);
}
std::int32_t APMRemoteConfig::maxEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_events_per_day", 100000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxItemScopedCustomParameters() {
  return intValueFromCacheWithKey("measurement.upload.max_item_scoped_custom_parameters", 27, 35,
                                  10);
}
std::int32_t APMRemoteConfig::maxPublicEventParams() {
  return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 25, 100, 25);
}
std::int32_t APMRemoteConfig::maxPublicEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_public_events_per_day", 50000, 1000000,
                                  0);
}
std::int32_t APMRemoteConfig::maxPublicUserProperties() {
  return intValueFromCacheWithKey("measurement.upload.max_public_user_properties", 25, 100, 25);
}
double APMRemoteConfig::maxQueueTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_queue_time", 2419200,
                                               7862400, 604800);
}
std::int32_t APMRemoteConfig::maxRealtimeEventCountPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_realtime_events_per_day", 10, 10, 0);
}
double APMRemoteConfig::uploadingRealTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.realtime_upload_interval", 10,
                                               15, 10);
}
std::int32_t APMRemoteConfig::uploadingRetryCount() {
  return intValueFromCacheWithKey("measurement.upload.retry_count", 6, 24, 1);
}
double APMRemoteConfig::uploadingRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.retry_time", 1800, 86400, 60);
}
double APMRemoteConfig::databaseDeleteStaleBundlesInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.stale_data_deletion_interval",
                                               86400, 604800, 3600);
}

bool APMRemoteConfig::maxPublicEventParamValueLimitFeatureEnabled() { return true; }

std::int32_t APMRemoteConfig::maxInternalEventParameterValueLength() {
  return std::max(maxPublicEventParameterValueLength(), 256);
}

// The experiment client's callbacks.

void APMRemoteConfig::clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) {
  std::lock_guard lock(state_->mutex);
  state_->hasNewSnapshot = true;
}

void APMRemoteConfig::client(const std::shared_ptr<APMEClient>&,
                             const platform::ErrorPtr& didReceiveFetchError) {
  if (didReceiveFetchError) {
    APMServicesMonitor()->logWithLevel(2, 29025, "Cannot fetch experiment. Error",
                                       {platform::Value(didReceiveFetchError->description())});
  }
}

bool APMRemoteConfig::shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) {
  const auto engine = APMMeasurementSharedInstance();
  return engine && engine->isEnabled();
}
