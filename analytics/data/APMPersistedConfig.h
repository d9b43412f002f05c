// APMPersistedConfig: the analytics client's typed store of state that outlives the process
// (upload times, the app instance ID, versions last seen, the configuration's ETag, session
// counters, default event parameters, ...), kept in one persistent dictionary file beside
// the analytics database. Reads and writes are serialised on the object's queue; a write
// schedules a synchronize one second later, and the file itself follows the dictionary's own
// one-second schedule.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/data/APMConfigStore.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  // The store named "com.rerora.viz.measurement", made once; null (logged at every call)
  // when it could not be made.
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // Null for no name or an empty one, or when its file cannot be opened.
  static std::shared_ptr<APMPersistedConfig>
  initWithSuiteName(const std::optional<std::string>& name);
  // A pending delayed synchronize is cancelled.
  ~APMPersistedConfig();
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& name() const { return name_; }
  const std::shared_ptr<APMConfigStore>& userDefaults() const { return userDefaults_; }

  // Typed access, each synchronously on the object's queue, so never from a block already
  // running there. An empty key reads as absent.
  bool boolForKey(const std::string& key);
  std::int64_t int64ForKey(const std::string& key);
  // Against another store, off the queue.
  static std::int64_t int64ForKey(const std::string& key, APMConfigStore& userDefault);
  double doubleForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  std::optional<platform::Dictionary> dictionaryForKey(const std::string& key);
  // The stored object, whatever its kind.
  std::optional<platform::Value> numberForKey(const std::string& key);
  // Each schedules the delayed synchronize.
  void setBool(bool value, const std::string& key);
  void setInt64(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  void setDictionary(const std::optional<platform::Dictionary>& value, const std::string& key);
  void setNumber(const std::optional<platform::Value>& value, const std::string& key);

  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double value);
  // Off the queue, straight on the store; only a number is stored, with no delayed
  // synchronize.
  std::optional<platform::Value> searchAdCampaignValue();
  void setSearchAdCampaignValue(const std::optional<platform::Value>& value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double value);
  std::int64_t searchAdRetryCount();
  void setSearchAdRetryCount(std::int64_t value);
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVIZ();
  void setAppIDFromVIZ(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromRiRur();
  void setAppIDFromRiRur(const std::optional<std::string>& value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(const std::optional<std::string>& value);
  std::optional<std::string> diversionKey();
  void setDiversionKey(const std::optional<std::string>& value);
  // In the app's own preferences, synchronised at once.
  std::int64_t measurementEnabledState();
  void setMeasurementEnabledState(std::int64_t value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion();
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion();
  void setOSVersion(const std::optional<std::string>& value);
  // Seconds into the day, in [0, 86400) with whole milliseconds; drawn and stored at the
  // first read on a store that holds none.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double value);
  std::int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(std::int64_t value);
  // The stored object, whatever its kind.
  std::optional<platform::Value> configServerLastModifiedString();
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  std::optional<std::string> configServerETag();
  void setConfigServerETag(const std::optional<std::string>& value);
  // These three store on the queue without scheduling a synchronize.
  std::optional<platform::Value> loadTimestampValue();
  void setLoadTimestampValue(const std::optional<platform::Value>& value);
  std::optional<platform::Value> allowPersonalizedAds();
  void setAllowPersonalizedAds(const std::optional<platform::Value>& value);
  std::optional<std::string> ziruzadaFeatureRollouts();
  void setZiruzadaFeatureRollouts(const std::optional<std::string>& value);
  std::optional<platform::Value> deferredDeepLinkRetrievalComplete();
  void setDeferredDeepLinkRetrievalComplete(const std::optional<platform::Value>& value);
  std::int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(std::int64_t value);
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  // The stored object, whatever its kind.
  std::optional<platform::Value> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<platform::Value>& value);
  std::optional<std::string> previousBundledConsentSignals();
  void setPreviousBundledConsentSignals(const std::optional<std::string>& value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double value);
  std::int64_t sessionNumber();
  void setSessionNumber(std::int64_t value);
  std::optional<platform::Dictionary> defaultEventParameters();
  void setDefaultEventParameters(const std::optional<platform::Dictionary>& value);
  std::int64_t lastUploadedEventTimestampMillis();
  void setLastUploadedEventTimestampMillis(std::int64_t value);
  std::int64_t SKANEvaluationEventTimeMillis();
  void setSKANEvaluationEventTimeMillis(std::int64_t value);
  std::int64_t SKANEvaluationUpdateBackoffMillis();
  void setSKANEvaluationUpdateBackoffMillis(std::int64_t value);

  // Erases the whole store, without scheduling a synchronize.
  void clearValues();

  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // On the main thread only schedules itself again; elsewhere synchronises the store.
  void synchronizeToDisk();

  const platform::QueuePtr& serialQueue() const { return serialQueue_; }

  // Over any store; made with std::make_shared, so that delayed work can find it again.
  APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store);

 private:
  struct CancellableBlock;

  std::optional<platform::Value> objectOnQueue(const std::string& key);
  void setObjectOnQueue(const std::optional<platform::Value>& value, const std::string& key);

  const std::string name_;
  const std::shared_ptr<APMConfigStore> userDefaults_;
  const platform::QueuePtr serialQueue_;
  std::mutex lock_;
  std::shared_ptr<CancellableBlock> synchronizeBlock_;
};
