#include "analytics/data/APMRemoteConfig.h"

#include <clocale>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/tests/remote_config_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Value;

enum class Kind { Int32, Int64, Time, Bool };

template <auto Accessor> double get(APMRemoteConfig& config) {
  return static_cast<double>((config.*Accessor)());
}

struct Setting {
  const char* key;
  Kind kind;
  double (*read)(APMRemoteConfig&);
  // In the setting's own unit: seconds for time settings, which are delivered in ms.
  double defaultValue;
  double min;
  double max;
};

// Every setting the client reads, with its default and range.
const std::vector<Setting>& settings() {
  static const std::vector<Setting> table{
      {"measurement.account.time_zone_offset_minutes", Kind::Int32,
       &get<&APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes>, 0, -900, 900},
      {"measurement.ad_id_cache_time", Kind::Time, &get<&APMRemoteConfig::adIDCacheTime>, 1, 0,
       86400},
      {"measurement.api.session_id", Kind::Bool, &get<&APMRemoteConfig::isSessionIDEnabled>, 1, 0,
       1},
      {"measurement.attmas_gate", Kind::Bool, &get<&APMRemoteConfig::gateIDFAOnATTMASEnabled>, 0, 0,
       1},
      {"measurement.attribution.cache.ttl", Kind::Time,
       &get<&APMRemoteConfig::attributionCacheTTLInterval>, 604800, 86400, 2592000},
      {"measurement.audience.filter_max_count_per_audience", Kind::Int32,
       &get<&APMRemoteConfig::maxFiltersPerAudience>, 10, 0, 100},
      {"measurement.audience.filter_result_max_count", Kind::Int32,
       &get<&APMRemoteConfig::maxFilterResultCount>, 200, 0, 2000},
      {"measurement.audience.max_count", Kind::Int32, &get<&APMRemoteConfig::maxAudienceCount>, 100,
       0, 500},
      {"measurement.audience.parameter_max_count_filter", Kind::Int32,
       &get<&APMRemoteConfig::maxParametersPerFilter>, 25, 0, 250},
      {"measurement.collection.efficient_engagement_reporting_enabled", Kind::Bool,
       &get<&APMRemoteConfig::efficientEngagementReportingEnabled>, 0, 0, 1},
      {"measurement.collection.redundant_engagement_removal_enabled", Kind::Bool,
       &get<&APMRemoteConfig::redundantEngagementRemovalEnabled>, 0, 0, 1},
      {"measurement.config.cache_time", Kind::Time,
       &get<&APMRemoteConfig::remoteConfigCacheTimeInterval>, 3600, 60, 86400},
      {"measurement.ddl.enabled", Kind::Bool, &get<&APMRemoteConfig::isDeferredDeepLinkEnabled>, 1,
       0, 1},
      {"measurement.ddl.retry_count", Kind::Int32,
       &get<&APMRemoteConfig::maxDeferredDeepLinkRetryCount>, 5, 0, 10},
      {"measurement.dma.dcu_event_enabled", Kind::Bool,
       &get<&APMRemoteConfig::dcuEventFeatureEnabled>, 1, 0, 1},
      {"measurement.dma.dcu_event_max_realtime_daily_count", Kind::Int32,
       &get<&APMRemoteConfig::maxRealtimeDCUEventCountPerDay>, 1, 0, 10},
      {"measurement.event_sampling_enabled", Kind::Bool,
       &get<&APMRemoteConfig::isEventSamplingEnabled>, 0, 0, 1},
      {"measurement.item_scoped_custom_parameter_enabled", Kind::Bool,
       &get<&APMRemoteConfig::itemScopedCustomParameterEnabled>, 1, 0, 1},
      {"measurement.lifecycle.app_backgrounded_tracking", Kind::Bool,
       &get<&APMRemoteConfig::appBackgroundedEventEnabled>, 0, 0, 1},
      {"measurement.lifecycle.app_in_background_parameter", Kind::Bool,
       &get<&APMRemoteConfig::appInBackgroundParameterEnabled>, 1, 0, 1},
      {"measurement.lifetimevalue.max_currency_tracked", Kind::Int32,
       &get<&APMRemoteConfig::maxTrackedCurrencies>, 4, 1, 100},
      {"measurement.monitoring.sample_period_millis", Kind::Time,
       &get<&APMRemoteConfig::monitoringSamplePeriod>, 86400, 0, 604800},
      {"measurement.network.background_session_enabled", Kind::Bool,
       &get<&APMRemoteConfig::isNetworkBackgroundSessionEnabled>, 0, 0, 1},
      {"measurement.network.network_timeout", Kind::Time, &get<&APMRemoteConfig::networkTimeout>,
       60, 30, 3600},
      {"measurement.psm_enabled", Kind::Bool, &get<&APMRemoteConfig::PSMFeatureEnabled>, 1, 0, 1},
      {"measurement.psm_prefix_email", Kind::Int32,
       &get<&APMRemoteConfig::hashPrefixBitLengthEmail>, 14, 6, 20},
      {"measurement.psm_prefix_phone", Kind::Int32,
       &get<&APMRemoteConfig::hashPrefixBitLengthPhone>, 11, 6, 18},
      {"measurement.psm_retry_count", Kind::Int32, &get<&APMRemoteConfig::maxPSMRetryCount>, 5, 0,
       10},
      {"measurement.psm_retry_interval", Kind::Time, &get<&APMRemoteConfig::PSMRetryInterval>, 300,
       30, 1800},
      {"measurement.psm_signin_delay", Kind::Int32, &get<&APMRemoteConfig::maxSignInDelayInDays>,
       60, 7, 90},
      {"measurement.psm_start_count", Kind::Int32, &get<&APMRemoteConfig::maxPSMStartCount>, 3, 0,
       10},
      {"measurement.quality.checksum", Kind::Bool, &get<&APMRemoteConfig::checksumEnabled>, 0, 0,
       1},
      {"measurement.regional_defaults_enabled", Kind::Bool,
       &get<&APMRemoteConfig::regionalDefaultsEnabled>, 1, 0, 1},
      {"measurement.session.default_minimum_interval", Kind::Time,
       &get<&APMRemoteConfig::sessionDefaultMinimumInterval>, 10, 0, 86400},
      {"measurement.session.default_timeout_interval", Kind::Time,
       &get<&APMRemoteConfig::sessionDefaultTimeoutInterval>, 1800, 0, 86400},
      {"measurement.session.event_user_engagement_interval", Kind::Time,
       &get<&APMRemoteConfig::sessionEventUserEngagementInterval>, 3600, 0, 86400},
      {"measurement.session_stitching_token_enabled", Kind::Bool,
       &get<&APMRemoteConfig::sessionStitchingTokenFeatureEnabled>, 0, 0, 1},
      {"measurement.skan.cv_fetch_retry_interval_sec", Kind::Time,
       &get<&APMRemoteConfig::SKANCVFetchRetryInterval>, 120, 30, 3600},
      {"measurement.skan.cv_fetch_retry_limit", Kind::Int32,
       &get<&APMRemoteConfig::SKANCVFetchRetryLimit>, 4, 1, 10},
      {"measurement.skan.first_window.cv_fetch_retry_interval_sec", Kind::Time,
       &get<&APMRemoteConfig::SKANFirstWindowCVFetchRetryInterval>, 120, 30, 3600},
      {"measurement.skan.first_window.cv_fetch_retry_limit", Kind::Int32,
       &get<&APMRemoteConfig::SKANFirstWindowCVFetchRetryLimit>, 4, 1, 10},
      {"measurement.skan.first_window.initial_cv_fetch_delay_sec", Kind::Time,
       &get<&APMRemoteConfig::SKANFirstWindowCVFetchDelay>, 20, 1, 3600},
      {"measurement.skan.first_window.upload_interval_sec", Kind::Time,
       &get<&APMRemoteConfig::SKANFirstWindowUploadInterval>, 1800, 15, 86400},
      {"measurement.skan.initial_cv_fetch_delay_sec", Kind::Time,
       &get<&APMRemoteConfig::SKANInitialCVFetchDelay>, 120, 30, 3600},
      {"measurement.skan.update_conversion_value_enabled", Kind::Bool,
       &get<&APMRemoteConfig::SKANUpdateConversionValueEnabled>, 0, 0, 1},
      {"measurement.store.max_stored_events_per_app", Kind::Int32,
       &get<&APMRemoteConfig::maxEventsStored>, 100000, 0, 1000000},
      {"measurement.tcf_enabled", Kind::Bool, &get<&APMRemoteConfig::tcfFeatureEnabled>, 1, 0, 1},
      {"measurement.upload.backoff_period", Kind::Time,
       &get<&APMRemoteConfig::uploadingBackoffInterval>, 43200, 3600, 604800},
      {"measurement.upload.blacklist_internal", Kind::Bool,
       &get<&APMRemoteConfig::blocklistInternal>, 0, 0, 1},
      {"measurement.upload.blacklist_public", Kind::Bool, &get<&APMRemoteConfig::blocklistPublic>,
       0, 0, 1},
      {"measurement.upload.debug_upload_interval", Kind::Time,
       &get<&APMRemoteConfig::uploadingDebugModeInterval>, 1, 1, 15},
      {"measurement.upload.dma_consent_enabled", Kind::Bool,
       &get<&APMRemoteConfig::DMAConsentEnabled>, 1, 0, 1},
      {"measurement.upload.initial_upload_delay_time", Kind::Time,
       &get<&APMRemoteConfig::uploadingInitialDelayInterval>, 15, 1, 86400},
      {"measurement.upload.interval", Kind::Time, &get<&APMRemoteConfig::uploadingInterval>, 3600,
       15, 86400},
      {"measurement.upload.max_batch_size", Kind::Int64,
       &get<&APMRemoteConfig::uploadMaxSizeLimitBytes>, 65536, 0, 10485760},
      {"measurement.upload.max_bundles", Kind::Int64, &get<&APMRemoteConfig::uploadMaxBundlesLimit>,
       100, 1, 10000},
      {"measurement.upload.max_bundles_created_per_iteration", Kind::Time,
       &get<&APMRemoteConfig::maxBundlesCreatedPerIteration>, 100, 1, 10000},
      {"measurement.upload.max_conversions_per_day", Kind::Int32,
       &get<&APMRemoteConfig::maxConversionsPerDay>, 10000, 0, 1000000},
      {"measurement.upload.max_error_events_per_day", Kind::Int32,
       &get<&APMRemoteConfig::maxErrorEventsPerDay>, 1000, 0, 1000000},
      {"measurement.upload.max_event_name_cardinality", Kind::Int32,
       &get<&APMRemoteConfig::maxEventNameCardinality>, 500, 500, 2000},
      {"measurement.upload.max_event_parameter_value_length", Kind::Int32,
       &get<&APMRemoteConfig::maxPublicEventParameterValueLength>, 100, 100, 500},
      {"measurement.upload.max_events_per_bundle", Kind::Int64,
       &get<&APMRemoteConfig::uploadMaxEventsPerBundle>, 1000, 1, 1000000},
      {"measurement.upload.max_events_per_day", Kind::Int32,
       &get<&APMRemoteConfig::maxEventsPerDay>, 100000, 0, 1000000},
      {"measurement.upload.max_item_scoped_custom_parameters", Kind::Int32,
       &get<&APMRemoteConfig::maxItemScopedCustomParameters>, 27, 10, 35},
      {"measurement.upload.max_public_event_params", Kind::Int32,
       &get<&APMRemoteConfig::maxPublicEventParams>, 25, 25, 100},
      {"measurement.upload.max_public_events_per_day", Kind::Int32,
       &get<&APMRemoteConfig::maxPublicEventsPerDay>, 50000, 0, 1000000},
      {"measurement.upload.max_public_user_properties", Kind::Int32,
       &get<&APMRemoteConfig::maxPublicUserProperties>, 25, 25, 100},
      {"measurement.upload.max_queue_time", Kind::Time, &get<&APMRemoteConfig::maxQueueTime>,
       2419200, 604800, 7862400},
      {"measurement.upload.max_realtime_events_per_day", Kind::Int32,
       &get<&APMRemoteConfig::maxRealtimeEventCountPerDay>, 10, 0, 10},
      {"measurement.upload.realtime_upload_interval", Kind::Time,
       &get<&APMRemoteConfig::uploadingRealTimeInterval>, 10, 10, 15},
      {"measurement.upload.retry_count", Kind::Int32, &get<&APMRemoteConfig::uploadingRetryCount>,
       6, 1, 24},
      {"measurement.upload.retry_time", Kind::Time, &get<&APMRemoteConfig::uploadingRetryInterval>,
       1800, 60, 86400},
      {"measurement.upload.stale_data_deletion_interval", Kind::Time,
       &get<&APMRemoteConfig::databaseDeleteStaleBundlesInterval>, 86400, 3600, 604800},
  };
  return table;
}

// The text the service would deliver for a value in the setting's own unit.
std::string delivered(const Setting& setting, double value) {
  const double wire = setting.kind == Kind::Time ? value * 1000 : value;
  return std::to_string(static_cast<std::int64_t>(wire));
}

class APMRemoteConfigTest : public ::testing::Test {
 protected:
  void deliver(const std::string& key, const Value& value) {
    config_->cachedValueByRemoteConfigKeys().setObject(value, key);
  }
  std::optional<Value> held(const std::string& key) {
    return config_->cachedValueByRemoteConfigKeys().objectForKey(key);
  }

  ScopedMonitor monitor_;
  std::unique_ptr<APMRemoteConfig> config_ = std::make_unique<APMRemoteConfig>();
};

TEST_F(APMRemoteConfigTest, EverySettingReadsItsDefaultAndStoresItWhenNotDelivered) {
  ASSERT_EQ(settings().size(), 73u);
  for (const Setting& setting : settings()) {
    SCOPED_TRACE(setting.key);
    EXPECT_EQ(setting.read(*config_), setting.defaultValue);
    const auto stored = held(setting.key);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->doubleValue(), setting.defaultValue);
  }
}

TEST_F(APMRemoteConfigTest, EverySettingTakesItsBoundsAndFallsBackToItsDefaultBeyondThem) {
  for (const Setting& setting : settings()) {
    SCOPED_TRACE(setting.key);
    const struct {
      double value;
      double expected;
    } cases[] = {{setting.min, setting.min},
                 {setting.max, setting.max},
                 {setting.min - 1, setting.defaultValue},
                 {setting.max + 1, setting.defaultValue}};
    for (const auto& c : cases) {
      APMRemoteConfig config;
      config.cachedValueByRemoteConfigKeys().setObject(Value(delivered(setting, c.value)),
                                                       setting.key);
      EXPECT_EQ(setting.read(config), c.expected) << "delivered " << delivered(setting, c.value);
    }
  }
}

TEST_F(APMRemoteConfigTest, DeliveredTextsResolveAsTheServiceIntends) {
  const struct {
    const char* key;
    const char* text;
    double (*read)(APMRemoteConfig&);
    double expected;
  } cases[] = {
      {"measurement.upload.interval", "60000", &get<&APMRemoteConfig::uploadingInterval>, 60},
      {"measurement.upload.interval", "5000", &get<&APMRemoteConfig::uploadingInterval>, 3600},
      {"measurement.upload.interval", "soon", &get<&APMRemoteConfig::uploadingInterval>, 3600},
      {"measurement.upload.max_events_per_day", "2000000", &get<&APMRemoteConfig::maxEventsPerDay>,
       100000},
      {"measurement.account.time_zone_offset_minutes", "-900",
       &get<&APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes>, -900},
      {"measurement.account.time_zone_offset_minutes", "-901",
       &get<&APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes>, 0},
      {"measurement.upload.max_bundles", "12.7", &get<&APMRemoteConfig::uploadMaxBundlesLimit>, 12},
      {"measurement.quality.checksum", "1", &get<&APMRemoteConfig::checksumEnabled>, 1},
      {"measurement.api.session_id", "0", &get<&APMRemoteConfig::isSessionIDEnabled>, 0},
      {"measurement.api.session_id", "2", &get<&APMRemoteConfig::isSessionIDEnabled>, 1},
      {"measurement.quality.checksum", "2", &get<&APMRemoteConfig::checksumEnabled>, 0},
      {"measurement.quality.checksum", "true", &get<&APMRemoteConfig::checksumEnabled>, 0},
      {"measurement.upload.max_bundles_created_per_iteration", "50000",
       &get<&APMRemoteConfig::maxBundlesCreatedPerIteration>, 50},
      {"measurement.upload.max_bundles_created_per_iteration", "50",
       &get<&APMRemoteConfig::maxBundlesCreatedPerIteration>, 100},
      {"measurement.upload.max_bundles_created_per_iteration", "1234567",
       &get<&APMRemoteConfig::maxBundlesCreatedPerIteration>, 1234},
      {"measurement.upload.max_event_parameter_value_length", "300",
       &get<&APMRemoteConfig::maxInternalEventParameterValueLength>, 300},
      {"measurement.upload.max_event_parameter_value_length", "150",
       &get<&APMRemoteConfig::maxInternalEventParameterValueLength>, 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.text);
    APMRemoteConfig config;
    config.cachedValueByRemoteConfigKeys().setObject(Value(c.text), c.key);
    EXPECT_EQ(c.read(config), c.expected);
  }
  EXPECT_TRUE(config_->maxPublicEventParamValueLimitFeatureEnabled());
}

TEST_F(APMRemoteConfigTest, FirstReadFixesTheValueAndNumbersAreServedWithoutRangeTest) {
  deliver("measurement.upload.interval", Value("60000"));
  EXPECT_EQ(config_->uploadingInterval(), 60);
  const auto resolved = held("measurement.upload.interval");
  ASSERT_TRUE(resolved && resolved->isNumber());
  EXPECT_EQ(resolved->doubleValue(), 60);
  EXPECT_EQ(config_->uploadingInterval(), 60);

  // Delivered as numbers (the PSM settings): served as they are, outside the range too.
  deliver("measurement.psm_prefix_email", Value(40));
  EXPECT_EQ(config_->hashPrefixBitLengthEmail(), 40);
}

// Locales whose decimal separator is a comma must not change what a setting reads as.
class APMRemoteConfigLocaleTest : public APMRemoteConfigTest {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8";
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(APMRemoteConfigLocaleTest, NumbersReadTheSameUnderADecimalCommaLocale) {
  deliver("measurement.upload.max_bundles", Value("12.7"));
  EXPECT_EQ(config_->uploadMaxBundlesLimit(), 12);
  deliver("measurement.upload.interval", Value("60000.9"));
  EXPECT_EQ(config_->uploadingInterval(), 60);
  // The local way of writing it is no number to the service's client.
  deliver("measurement.upload.retry_count", Value("12,5"));
  EXPECT_EQ(config_->uploadingRetryCount(), 6);
  const auto half = config_->numberFromString(Value("0.5"));
  ASSERT_TRUE(half.has_value());
  EXPECT_EQ(half->doubleValue(), 0.5);
}

TEST_F(APMRemoteConfigTest, NumberFromStringReadsPlainDecimalsOnly) {
  const struct {
    std::string text;
    std::optional<Value> expected;
  } cases[] = {
      {"42", Value(42)},
      {"-7", Value(-7)},
      {"+7", Value(7)},
      {"12.5", Value(12.5)},
      {" 12.5", std::nullopt},
      {"5.", Value(5.0)},
      {".5", Value(0.5)},
      {"-9223372036854775808", Value(INT64_MIN)},
      {"9223372036854775808", Value(9223372036854775808.0)},
      {"", std::nullopt},
      {"-", std::nullopt},
      {".", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"1 000", std::nullopt},
      {"12abc", std::nullopt},
      {"--1", std::nullopt},
      {std::string(300, '1'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto number = config_->numberFromString(Value(c.text));
    ASSERT_EQ(number.has_value(), c.expected.has_value());
    if (number) {
      EXPECT_EQ(number->type(), c.expected->type());
      EXPECT_EQ(*number, *c.expected);
    }
  }
  EXPECT_TRUE(monitor_->lines().empty());
}

TEST_F(APMRemoteConfigTest, RefusalsAreLoggedWithTheirCodes) {
  EXPECT_FALSE(config_->numberFromString(Value(5)).has_value());
  EXPECT_FALSE(config_->cacheValue(std::nullopt, "measurement.some").has_value());
  EXPECT_FALSE(config_->cacheValue(Value(1), "").has_value());
  EXPECT_FALSE(config_->numberFromCacheWithKey("", Value(3), std::nullopt, std::nullopt));
  EXPECT_EQ(config_->intValueFromCacheWithKey("", 3, 10, 0), 0);
  EXPECT_EQ(config_->timeIntervalInSecondsFromCacheWithKey("", 3, 10, 0), 0.0);
  EXPECT_FALSE(config_->boolValueFromCacheWithKey("", true));

  const auto lines = monitor_->lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].messageCode, 29018);
  EXPECT_EQ(lines[0].message, "Cannot parse number from non-string");
  ASSERT_EQ(lines[0].contexts.size(), 1u);
  EXPECT_EQ(lines[0].contexts[0], Value(5));
  for (int i : {1, 2}) {
    EXPECT_EQ(lines[i].level, 5);
    EXPECT_EQ(lines[i].messageCode, 29019);
    EXPECT_EQ(lines[i].message, "Cannot cache empty configuration value");
  }
  for (int i : {3, 4, 5, 6}) {
    EXPECT_EQ(lines[i].level, 7);
    EXPECT_EQ(lines[i].messageCode, 29020);
    EXPECT_EQ(lines[i].message, "Cannot get setting with empty key from cache");
  }
  EXPECT_EQ(config_->cachedValueByRemoteConfigKeys().count(), 0u);
}

TEST_F(APMRemoteConfigTest, AHeldValueOfAnotherKindGivesTheDefault) {
  deliver("measurement.upload.retry_count", Value(platform::Array{Value("3")}));
  EXPECT_EQ(config_->uploadingRetryCount(), 6);
  ASSERT_FALSE(monitor_->lines().empty());
  EXPECT_EQ(monitor_->lines()[0].messageCode, 29018);
  EXPECT_EQ(held("measurement.upload.retry_count"), Value(6));
}

TEST_F(APMRemoteConfigTest, DebugModeStartsPSMTenTimes) {
  deliver("measurement.psm_start_count", Value("2"));
  monitor_->setDebugModeEnabled(true);
  EXPECT_EQ(config_->maxPSMStartCount(), 10);
  monitor_->setDebugModeEnabled(false);
  EXPECT_EQ(config_->maxPSMStartCount(), 2);
}

TEST_F(APMRemoteConfigTest, ExperimentFlagsWinOverTheirSettings) {
  const auto manager = std::make_shared<analytics_test::FakeExperimentManager>();
  const auto config = APMRemoteConfig::initWithAppID(std::nullopt, nullptr, nullptr, manager);
  auto& settings = config->cachedValueByRemoteConfigKeys();
  settings.setObject(Value("1"), "measurement.dma.dcu_event_enabled");
  settings.setObject(Value("1"), "measurement.session_stitching_token_enabled");
  // Without flags: the settings.
  EXPECT_TRUE(config->dcuEventFeatureEnabled());
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->SKANUpdateConversionValueEnabled());

  const platform::Dictionary flags{{"dcu_event_feature_enabled", Value(false)},
                                   {"regional_defaults_enabled", Value(false)},
                                   {"session_stitching_token_feature_enabled", Value(false)},
                                   {"skan_update_conversion_value_feature_enabled", Value(true)}};
  manager->client()->setActiveFlags(flags);
  // Two flags are asked of the client at every read, two only through the copies.
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_TRUE(config->SKANUpdateConversionValueEnabled());
  EXPECT_TRUE(config->dcuEventFeatureEnabled());
  config->updateCachedExperimentFlags();
  EXPECT_FALSE(config->dcuEventFeatureEnabled());
  EXPECT_FALSE(config->regionalDefaultsEnabled());

  // A client without the flags leaves the settings in charge again.
  manager->client()->setActiveFlags({});
  config->updateCachedExperimentFlags();
  EXPECT_EQ(config->cachedExperimentFlags().count(), 0u);
  EXPECT_TRUE(config->dcuEventFeatureEnabled());
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->SKANUpdateConversionValueEnabled());
}

}  // namespace
