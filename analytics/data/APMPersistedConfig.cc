#include "analytics/data/APMPersistedConfig.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/messages/APMServices.h"
#include "platform/crypto.h"
#include "platform/run_loop.h"

namespace {

constexpr const char* kSharedName = "com.rerora.viz.measurement";

constexpr const char* kLastDeleteStaleBundlesTimestampKey = "/rerora/measurement/last_delete_stale";
constexpr const char* kSearchAdCampaignValueKey = "/rerora/measurement/is_search_ad_campaign";
constexpr const char* kLastSearchAdLookUpTimestampKey =
    "/rerora/measurement/search_ad_last_attempt_timestamp";
constexpr const char* kSearchAdRetryCountKey = "/rerora/measurement/search_ad_number_of_retries";
constexpr const char* kAppInstanceIDKey = "/rerora/measurement/app_instance_id";
constexpr const char* kAppIDFromVIZKey = "/rerora/measurement/viz_app_id";
constexpr const char* kAppIDFromRiRurKey = "/rerora/measurement/rirur_app_id";
constexpr const char* kHashedResettableDeviceIDKey = "/rerora/measurement/hashed_idfa";
constexpr const char* kDiversionKeyKey = "/rerora/measurement/diversion_key";
constexpr const char* kMeasurementEnabledStateKey = "/rerora/measurement/measurement_enabled_state";
constexpr const char* kLastBackoffTimestampKey = "/rerora/measurement/last_backoff";
constexpr const char* kLastSuccessfulUploadTimestampKey =
    "/rerora/measurement/last_successful_upload";
constexpr const char* kLastFailedUploadTimestampKey = "/rerora/measurement/last_failed_upload";
constexpr const char* kAppVersionKey = "/rerora/measurement/app_version";
constexpr const char* kOSVersionKey = "/rerora/measurement/os_version";
constexpr const char* kMidnightOffsetKey = "/rerora/measurement/midnight_offset";
constexpr const char* kLastMonitorDataSampledTimestampKey =
    "/rerora/measurement/last_monitor_data_sampled_timestamp";
constexpr const char* kFirstOpenTimestampMillisecondsKey =
    "/rerora/measurement/first_open_timestamp_ms";
constexpr const char* kConfigServerLastModifiedStringKey =
    "/rerora/measurement/last_modified_since_key";
constexpr const char* kConfigServerETagKey = "/rerora/measurement/config_etag";
constexpr const char* kLoadTimestampValueKey = "/rerora/measurement/load_timestamp";
constexpr const char* kAllowPersonalizedAdsKey = "/rerora/measurement/allow_personalized_ads";
constexpr const char* kZiruzadaFeatureRolloutsKey = "/rerora/measurement/ziruzada_feature_rollouts";
constexpr const char* kDeferredDeepLinkRetrievalCompleteKey =
    "/rerora/measurement/deep_link_retrieval_complete";
constexpr const char* kDeferredDeepLinkRetryCountKey = "/rerora/measurement/deep_link_retry_count";
constexpr const char* kShouldSetLastAdvertisingIDResetUserPropertyKey =
    "/rerora/measurement/set_last_advertising_id_reset";
constexpr const char* kUnmatchedFirstOpenWithoutIDFAKey =
    "/rerora/measurement/unmatched_first_open";
constexpr const char* kPreviousFirstOpenCountKey = "/rerora/measurement/previous_first_open_count";
constexpr const char* kPreviousBundledConsentSignalsKey =
    "/rerora/measurement/previous_bundled_consent_signals";
constexpr const char* kLastSessionActivityClockTimeKey = "/rerora/measurement/last_engagement_end";
constexpr const char* kSessionNumberKey = "/rerora/measurement/session_number";
constexpr const char* kDefaultEventParametersKey = "/rerora/measurement/default_event_parameters";
constexpr const char* kLastUploadedEventTimestampMillisKey =
    "/rerora/measurement/last_uploaded_event_millis";
constexpr const char* kSKANEvaluationEventTimeMillisKey =
    "/rerora/measurement/skan_evaluation_event_time_millis";
constexpr const char* kSKANEvaluationUpdateBackoffMillisKey =
    "/rerora/measurement/skan_evaluation_update_backoff_millis";

constexpr std::uint32_t kMillisecondsPerDay = 86'400'000;

// Uniform in [0, bound): draws again whenever a draw falls in the short last stretch that
// would favour the low values.
std::uint32_t randomUniform(std::uint32_t bound) {
  const std::uint32_t limit = UINT32_MAX - (UINT32_MAX % bound);
  while (true) {
    const platform::Data bytes = platform::crypto::randomBytes(sizeof(std::uint32_t));
    std::uint32_t draw = 0;
    std::memcpy(&draw, bytes.bytes(), sizeof draw);
    if (draw < limit) return draw % bound;
  }
}

std::optional<platform::Value> stringValue(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return platform::Value(*value);
}

std::optional<platform::Value> dictionaryValue(const std::optional<platform::Dictionary>& value) {
  if (!value) return std::nullopt;
  return platform::Value(*value);
}

}  // namespace

// A delayed block that can be called off before it runs.
struct APMPersistedConfig::CancellableBlock {
  std::atomic<bool> cancelled{false};
};

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  // Never destroyed: worker queues may still read it while the process exits.
  static const std::shared_ptr<APMPersistedConfig>& shared = [] {
    const auto& instance =
        *new std::shared_ptr<APMPersistedConfig>(initWithSuiteName(kSharedName));
    // Being never destroyed, its store would never write a change made in its last second.
    if (instance) std::atexit([] { sharedInstance()->userDefaults_->writePendingChanges(); });
    return std::cref(instance);
  }();
  if (!shared) {
    APMServicesMonitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return shared;
}

std::shared_ptr<APMPersistedConfig>
APMPersistedConfig::initWithSuiteName(const std::optional<std::string>& name) {
  if (!name || name->empty()) return nullptr;
  // An older client kept this store as a preference suite.
  APMMigrateDefaultsPlist(*name);
  auto store = APMPersistentDictionary::initWithFileName(*name);
  if (!store) return nullptr;
  return std::make_shared<APMPersistedConfig>(*name, std::move(store));
}

APMPersistedConfig::APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store)
    : name_(std::move(name)), userDefaults_(std::move(store)),
      serialQueue_(platform::Queue::serial("APMPersistedConfig")) {}

APMPersistedConfig::~APMPersistedConfig() { cancelScheduledSynchronize(); }

std::optional<platform::Value> APMPersistedConfig::objectOnQueue(const std::string& key) {
  std::optional<platform::Value> result;
  serialQueue_->sync([&] { result = userDefaults_->objectForKey(key); });
  return result;
}

void APMPersistedConfig::setObjectOnQueue(const std::optional<platform::Value>& value,
                                          const std::string& key) {
  serialQueue_->sync([&] { userDefaults_->setObject(value, key); });
}

bool APMPersistedConfig::boolForKey(const std::string& key) {
  if (key.empty()) return false;
  bool result = false;
  serialQueue_->sync([&] { result = userDefaults_->boolForKey(key); });
  return result;
}

std::int64_t APMPersistedConfig::int64ForKey(const std::string& key) {
  if (key.empty()) return 0;
  std::int64_t result = 0;
  serialQueue_->sync([&] { result = int64ForKey(key, *userDefaults_); });
  return result;
}

std::int64_t APMPersistedConfig::int64ForKey(const std::string& key, APMConfigStore& userDefault) {
  if (key.empty()) return 0;
  const auto object = userDefault.objectForKey(key);
  return object && object->isNumber() ? object->integerValue() : 0;
}

double APMPersistedConfig::doubleForKey(const std::string& key) {
  if (key.empty()) return 0.0;
  double result = 0.0;
  serialQueue_->sync([&] { result = userDefaults_->doubleForKey(key); });
  return result;
}

std::optional<std::string> APMPersistedConfig::stringForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  std::optional<std::string> result;
  serialQueue_->sync([&] { result = userDefaults_->stringForKey(key); });
  return result;
}

std::optional<platform::Dictionary> APMPersistedConfig::dictionaryForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  std::optional<platform::Dictionary> result;
  serialQueue_->sync([&] { result = userDefaults_->dictionaryForKey(key); });
  return result;
}

std::optional<platform::Value> APMPersistedConfig::numberForKey(const std::string& key) {
  return objectOnQueue(key);
}

void APMPersistedConfig::setBool(bool value, const std::string& key) {
  serialQueue_->sync([&] { userDefaults_->setBool(value, key); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setInt64(std::int64_t value, const std::string& key) {
  setObjectOnQueue(platform::Value(value), key);
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setDouble(double value, const std::string& key) {
  serialQueue_->sync([&] { userDefaults_->setDouble(value, key); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
  setObjectOnQueue(stringValue(value), key);
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setDictionary(const std::optional<platform::Dictionary>& value,
                                       const std::string& key) {
  setObjectOnQueue(dictionaryValue(value), key);
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setNumber(const std::optional<platform::Value>& value,
                                   const std::string& key) {
  setObjectOnQueue(value, key);
  scheduleSynchronizeToDisk();
}

double APMPersistedConfig::lastDeleteStaleBundlesTimestamp() {
  return doubleForKey(kLastDeleteStaleBundlesTimestampKey);
}
void APMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) {
  setDouble(value, kLastDeleteStaleBundlesTimestampKey);
}

std::optional<platform::Value> APMPersistedConfig::searchAdCampaignValue() {
  return userDefaults_->objectForKey(kSearchAdCampaignValueKey);
}
void APMPersistedConfig::setSearchAdCampaignValue(const std::optional<platform::Value>& value) {
  if (!value || !value->isNumber()) return;
  userDefaults_->setObject(value, kSearchAdCampaignValueKey);
}

double APMPersistedConfig::lastSearchAdLookUpTimestamp() {
  return doubleForKey(kLastSearchAdLookUpTimestampKey);
}
void APMPersistedConfig::setLastSearchAdLookUpTimestamp(double value) {
  setDouble(value, kLastSearchAdLookUpTimestampKey);
}

std::int64_t APMPersistedConfig::searchAdRetryCount() {
  return int64ForKey(kSearchAdRetryCountKey);
}
void APMPersistedConfig::setSearchAdRetryCount(std::int64_t value) {
  setInt64(value, kSearchAdRetryCountKey);
}

std::optional<std::string> APMPersistedConfig::appInstanceID() {
  return stringForKey(kAppInstanceIDKey);
}
void APMPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
  setString(value, kAppInstanceIDKey);
}

std::optional<std::string> APMPersistedConfig::appIDFromVIZ() {
  return stringForKey(kAppIDFromVIZKey);
}
void APMPersistedConfig::setAppIDFromVIZ(const std::optional<std::string>& value) {
  setString(value, kAppIDFromVIZKey);
}

std::optional<std::string> APMPersistedConfig::appIDFromRiRur() {
  return stringForKey(kAppIDFromRiRurKey);
}
void APMPersistedConfig::setAppIDFromRiRur(const std::optional<std::string>& value) {
  setString(value, kAppIDFromRiRurKey);
}

std::optional<std::string> APMPersistedConfig::hashedResettableDeviceID() {
  return stringForKey(kHashedResettableDeviceIDKey);
}
void APMPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& value) {
  setString(value, kHashedResettableDeviceIDKey);
}

std::optional<std::string> APMPersistedConfig::diversionKey() {
  return stringForKey(kDiversionKeyKey);
}
void APMPersistedConfig::setDiversionKey(const std::optional<std::string>& value) {
  setString(value, kDiversionKeyKey);
}

std::int64_t APMPersistedConfig::measurementEnabledState() {
  return int64ForKey(kMeasurementEnabledStateKey, *APMUserDefaults::sharedUserDefaults());
}
void APMPersistedConfig::setMeasurementEnabledState(std::int64_t value) {
  serialQueue_->sync([&] {
    const auto preferences = APMUserDefaults::sharedUserDefaults();
    preferences->setObject(platform::Value(value), kMeasurementEnabledStateKey);
    preferences->synchronize();
  });
}

double APMPersistedConfig::lastBackoffTimestamp() { return doubleForKey(kLastBackoffTimestampKey); }
void APMPersistedConfig::setLastBackoffTimestamp(double value) {
  setDouble(value, kLastBackoffTimestampKey);
}

double APMPersistedConfig::lastSuccessfulUploadTimestamp() {
  return doubleForKey(kLastSuccessfulUploadTimestampKey);
}
void APMPersistedConfig::setLastSuccessfulUploadTimestamp(double value) {
  setDouble(value, kLastSuccessfulUploadTimestampKey);
}

double APMPersistedConfig::lastFailedUploadTimestamp() {
  return doubleForKey(kLastFailedUploadTimestampKey);
}
void APMPersistedConfig::setLastFailedUploadTimestamp(double value) {
  setDouble(value, kLastFailedUploadTimestampKey);
}

std::optional<std::string> APMPersistedConfig::appVersion() { return stringForKey(kAppVersionKey); }
void APMPersistedConfig::setAppVersion(const std::optional<std::string>& value) {
  setString(value, kAppVersionKey);
}

std::optional<std::string> APMPersistedConfig::osVersion() { return stringForKey(kOSVersionKey); }
void APMPersistedConfig::setOSVersion(const std::optional<std::string>& value) {
  setString(value, kOSVersionKey);
}

double APMPersistedConfig::midnightOffset() {
  const auto stored = objectOnQueue(kMidnightOffsetKey);
  if (stored && stored->isNumber()) return stored->doubleValue();
  const double offset = randomUniform(kMillisecondsPerDay) / 1000.0;
  setDouble(offset, kMidnightOffsetKey);
  return offset;
}

double APMPersistedConfig::lastMonitorDataSampledTimestamp() {
  return doubleForKey(kLastMonitorDataSampledTimestampKey);
}
void APMPersistedConfig::setLastMonitorDataSampledTimestamp(double value) {
  setDouble(value, kLastMonitorDataSampledTimestampKey);
}

std::int64_t APMPersistedConfig::firstOpenTimestampMilliseconds() {
  return int64ForKey(kFirstOpenTimestampMillisecondsKey);
}
void APMPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t value) {
  setInt64(value, kFirstOpenTimestampMillisecondsKey);
}

std::optional<platform::Value> APMPersistedConfig::configServerLastModifiedString() {
  return objectOnQueue(kConfigServerLastModifiedStringKey);
}
void APMPersistedConfig::setConfigServerLastModifiedString(
    const std::optional<std::string>& value) {
  setString(value, kConfigServerLastModifiedStringKey);
}

std::optional<std::string> APMPersistedConfig::configServerETag() {
  return stringForKey(kConfigServerETagKey);
}
void APMPersistedConfig::setConfigServerETag(const std::optional<std::string>& value) {
  setString(value, kConfigServerETagKey);
}

std::optional<platform::Value> APMPersistedConfig::loadTimestampValue() {
  return objectOnQueue(kLoadTimestampValueKey);
}
void APMPersistedConfig::setLoadTimestampValue(const std::optional<platform::Value>& value) {
  setObjectOnQueue(value, kLoadTimestampValueKey);
}

std::optional<platform::Value> APMPersistedConfig::allowPersonalizedAds() {
  return objectOnQueue(kAllowPersonalizedAdsKey);
}
void APMPersistedConfig::setAllowPersonalizedAds(const std::optional<platform::Value>& value) {
  setObjectOnQueue(value, kAllowPersonalizedAdsKey);
}

std::optional<std::string> APMPersistedConfig::ziruzadaFeatureRollouts() {
  return stringForKey(kZiruzadaFeatureRolloutsKey);
}
void APMPersistedConfig::setZiruzadaFeatureRollouts(const std::optional<std::string>& value) {
  setString(value, kZiruzadaFeatureRolloutsKey);
}

std::optional<platform::Value> APMPersistedConfig::deferredDeepLinkRetrievalComplete() {
  return objectOnQueue(kDeferredDeepLinkRetrievalCompleteKey);
}
void APMPersistedConfig::setDeferredDeepLinkRetrievalComplete(
    const std::optional<platform::Value>& value) {
  setObjectOnQueue(value, kDeferredDeepLinkRetrievalCompleteKey);
}

std::int64_t APMPersistedConfig::deferredDeepLinkRetryCount() {
  return int64ForKey(kDeferredDeepLinkRetryCountKey);
}
void APMPersistedConfig::setDeferredDeepLinkRetryCount(std::int64_t value) {
  setInt64(value, kDeferredDeepLinkRetryCountKey);
}

bool APMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return int64ForKey(kShouldSetLastAdvertisingIDResetUserPropertyKey) != 0;
}
void APMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  setInt64(value ? 1 : 0, kShouldSetLastAdvertisingIDResetUserPropertyKey);
}

bool APMPersistedConfig::unmatchedFirstOpenWithoutIDFA() {
  return int64ForKey(kUnmatchedFirstOpenWithoutIDFAKey) != 0;
}
void APMPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
  setInt64(value ? 1 : 0, kUnmatchedFirstOpenWithoutIDFAKey);
}

std::optional<platform::Value> APMPersistedConfig::previousFirstOpenCount() {
  return objectOnQueue(kPreviousFirstOpenCountKey);
}
void APMPersistedConfig::setPreviousFirstOpenCount(const std::optional<platform::Value>& value) {
  setNumber(value, kPreviousFirstOpenCountKey);
}

std::optional<std::string> APMPersistedConfig::previousBundledConsentSignals() {
  return stringForKey(kPreviousBundledConsentSignalsKey);
}
void APMPersistedConfig::setPreviousBundledConsentSignals(const std::optional<std::string>& value) {
  setString(value, kPreviousBundledConsentSignalsKey);
}

double APMPersistedConfig::lastSessionActivityClockTime() {
  return doubleForKey(kLastSessionActivityClockTimeKey);
}
void APMPersistedConfig::setLastSessionActivityClockTime(double value) {
  setDouble(value, kLastSessionActivityClockTimeKey);
}

std::int64_t APMPersistedConfig::sessionNumber() { return int64ForKey(kSessionNumberKey); }
void APMPersistedConfig::setSessionNumber(std::int64_t value) {
  setInt64(value, kSessionNumberKey);
}

std::optional<platform::Dictionary> APMPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(kDefaultEventParametersKey);
}
void APMPersistedConfig::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& value) {
  setDictionary(value, kDefaultEventParametersKey);
}

std::int64_t APMPersistedConfig::lastUploadedEventTimestampMillis() {
  return int64ForKey(kLastUploadedEventTimestampMillisKey);
}
void APMPersistedConfig::setLastUploadedEventTimestampMillis(std::int64_t value) {
  setInt64(value, kLastUploadedEventTimestampMillisKey);
}

std::int64_t APMPersistedConfig::SKANEvaluationEventTimeMillis() {
  return int64ForKey(kSKANEvaluationEventTimeMillisKey);
}
void APMPersistedConfig::setSKANEvaluationEventTimeMillis(std::int64_t value) {
  setInt64(value, kSKANEvaluationEventTimeMillisKey);
}

std::int64_t APMPersistedConfig::SKANEvaluationUpdateBackoffMillis() {
  return int64ForKey(kSKANEvaluationUpdateBackoffMillisKey);
}
void APMPersistedConfig::setSKANEvaluationUpdateBackoffMillis(std::int64_t value) {
  setInt64(value, kSKANEvaluationUpdateBackoffMillisKey);
}

void APMPersistedConfig::clearValues() {
  serialQueue_->sync([&] { userDefaults_->clearAllData(); });
}

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  cancelScheduledSynchronize();
  std::lock_guard lock(lock_);
  auto block = std::make_shared<CancellableBlock>();
  synchronizeBlock_ = block;
  serialQueue_->after(1.0, [block, weakSelf = weak_from_this()] {
    if (block->cancelled.load()) return;
    if (const auto strongSelf = weakSelf.lock()) strongSelf->synchronizeToDisk();
  });
}

void APMPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard lock(lock_);
  if (synchronizeBlock_) synchronizeBlock_->cancelled.store(true);
  synchronizeBlock_.reset();
}

void APMPersistedConfig::synchronizeToDisk() {
  // Disk work stays off the main thread.
  if (platform::RunLoop::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  userDefaults_->synchronize();
}
