#include "analytics/data/APMDatabaseUploadQueue.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "foundation/ZULGzip.h"
#include "platform/clock.h"

namespace {

// Field indexes of the bundle message (tags 6, 14 and 39).
constexpr std::int32_t kBundleEndTimestampMillisIndex = 5;
constexpr std::int32_t kBundleAppIDIndex = 14;
constexpr std::int32_t kBundleRetryCountIndex = 35;

constexpr const char* kQueueColumnData = "data";
constexpr const char* kQueueColumnBundleEndTimestamp = "bundle_end_timestamp";
constexpr const char* kQueueColumnIsRealtime = "is_realtime";
constexpr const char* kQueueColumnRetryCount = "retry_count";

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::optional<bool> boolForNumber(const std::optional<platform::Value>& number) {
  if (!number) return std::nullopt;
  const auto value = number->asInt();
  if (!value) return std::nullopt;
  return *value != 0;
}

// The encoded bytes of the retry count field: its key (tag 39 takes two bytes) and its value
// as a varint, a negative one sign-extended to ten bytes.
std::int64_t retryCountFieldSize(std::int32_t value) {
  auto bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
  std::int64_t size = 2 + 1;
  while (bits >= 0x80) {
    bits >>= 7;
    ++size;
  }
  return size;
}

}  // namespace

std::optional<APMQueuedBundle> APMBundleRowFromRecord(const platform::Dictionary& record,
                                                      platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Cannot process empty rowData");
    return std::nullopt;
  }
  const platform::Value* dataValue = record.find(kQueueColumnData);
  const platform::Data* compressed = dataValue != nullptr ? dataValue->asData() : nullptr;
  if (compressed == nullptr || compressed->length() == 0) {
    APMSetError(error, 3, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  platform::ErrorPtr inflateError;
  const auto inflated = zul_dataByInflatingGzippedData(*compressed, &inflateError);
  if (!inflated || inflated->length() == 0) {
    APMSetError(error, 2,
                inflateError ? std::optional<std::string>(inflateError->localizedDescription())
                             : std::nullopt);
    return std::nullopt;
  }
  auto bundle = APMPBMeasurementBundle::initWithBuffer(&*inflated);
  if (!bundle) {
    APMSetError(error, 2, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  // The inflated bytes are the bundle's encoding; only a retry count written into it changes
  // that, by the size of the field alone, so nothing is encoded again to measure it.
  auto encodedSize = static_cast<std::int64_t>(inflated->length());
  if (const platform::Value* retryCount = record.find(kQueueColumnRetryCount);
      retryCount != nullptr && !retryCount->isNull()) {
    // A damaged row may hold anything here; the message field is 32-bit.
    const std::int64_t count = retryCount->asInt().value_or(0);
    if (count > 0) {
      if (nano_has_field(bundle.get(), kBundleRetryCountIndex))
        encodedSize -= retryCountFieldSize(nano_get_int32(bundle.get(), kBundleRetryCountIndex));
      const auto retries = static_cast<std::int32_t>(std::min(count, kAPMQueuedBundleRetryLimit));
      nano_set_int32(bundle.get(), kBundleRetryCountIndex, retries);
      encodedSize += retryCountFieldSize(retries);
    }
  }
  const platform::Value* rowID = record.find("rowid");
  if (rowID == nullptr || !rowID->asInt()) return std::nullopt;
  return APMQueuedBundle{std::move(bundle), *rowID->asInt(), encodedSize};
}

std::optional<bool> APMDatabaseUploadQueue::isQueuedBundleTableEmpty(platform::ErrorPtr* error) {
  return boolForNumber(
      sqliteStore()->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error));
}

bool APMDatabaseUploadQueue::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                                          platform::ErrorPtr* error) {
  const auto encoded = bundle.protoBuffer();
  if (!encoded || encoded->length() == 0) {
    APMSetError(error, 1, "Failed to insert nil bundle");
    return false;
  }
  const auto appID = nano_get_string(&bundle, kBundleAppIDIndex);
  if (!appID || appID->empty()) {
    APMSetError(error, 1, "Failed to insert bundle without App ID");
    return false;
  }
  const std::int64_t endTimestampMillis = nano_get_int64(&bundle, kBundleEndTimestampMillisIndex);
  if (endTimestampMillis <= 0) {
    APMSetError(error, 1, "Failed to insert bundle without valid timestamp");
    return false;
  }
  if (!maybeDeleteStaleData(error)) return false;

  const double endTimestamp = static_cast<double>(endTimestampMillis) / 1000.0;
  if (std::fabs(now() - endTimestamp) > APMMeasurementRemoteConfig()->maxQueueTime()) {
    APMServicesMonitor()->logWithLevel(4, 12016,
                                       "Storing bundle outside of the max uploading time span");
  }
  auto compressed = zul_dataByGzippingData(*encoded);
  if (!compressed || compressed->length() == 0) {
    APMSetError(error, 2, "Failed to compress bundle");
    return false;
  }
  APMServicesMonitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)",
                                     {std::to_string(compressed->length())});
  const platform::Dictionary record{
      {kQueueColumnBundleEndTimestamp, endTimestamp},
      {kQueueColumnData, std::move(*compressed)},
      {kQueueColumnIsRealtime, static_cast<std::int64_t>(isRealtime ? 1 : 0)},
      {kQueueColumnRetryCount,
       static_cast<std::int64_t>(nano_get_int32(&bundle, kBundleRetryCountIndex))}};
  return sqliteStore()->upsertRecord(record, kAPMQueueTable, error);
}

bool APMDatabaseUploadQueue::incrementRetryCounterForBundlesWithIDs(const platform::Array& rowIDs,
                                                                    platform::ErrorPtr* error) {
  if (rowIDs.empty()) {
    APMSetError(error, 1, "Failed to increment retry counter");
    return false;
  }
  const auto atLimit = boolForNumber(sqliteStore()->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
      {kAPMQueuedBundleRetryLimit}, nullptr));
  if (atLimit.value_or(false)) {
    APMServicesMonitor()->logWithLevel(
        1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  const auto condition = APMRowIDInCondition(rowIDs, error);
  if (!condition) return false;
  platform::Array parameters = rowIDs;
  parameters.emplace_back(kAPMQueuedBundleRetryLimit);
  return sqliteStore()->increaseColumn(kQueueColumnRetryCount, 1, kAPMQueueTable,
                                       *condition + " AND retry_count < ?", parameters, error);
}

namespace {

const APMDatabaseCore::UnreadableRowMessages kUnreadableBundleMessages{
    12070, "Deleting queued bundle that cannot be read. Row ID, error", 12071,
    "Failed to delete unreadable queued bundles"};

// Rebuilds the rows in order; those that do not rebuild are deleted, as left in place they
// would come first in every batch for as long as the maximum queue time. `take` decides
// whether a rebuilt bundle joins the result and whether the rows after it are looked at.
template <typename Take>
std::optional<std::vector<APMQueuedBundle>>
readBundles(APMDatabaseCore& database, const std::string& query, const platform::Array& parameters,
            platform::ErrorPtr* error, Take take) {
  const auto records = database.sqliteStore()->recordsForQuery(query, parameters, error);
  if (!records) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  std::vector<APMDatabaseCore::UnreadableRow> unreadable;
  for (const platform::Dictionary& record : *records) {
    platform::ErrorPtr rowError;
    auto bundle = APMBundleRowFromRecord(record, &rowError);
    if (!bundle) {
      unreadable.push_back({record["rowid"], std::move(rowError)});
      continue;
    }
    if (!take(std::move(*bundle), bundles)) break;
  }
  database.deleteUnreadableRows(kAPMQueueTable, unreadable, kUnreadableBundleMessages);
  return bundles;
}

}  // namespace

std::optional<std::vector<APMQueuedBundle>>
APMDatabaseUploadQueue::queryBundlesWithCountLimit(std::int64_t countLimit, std::int64_t sizeLimit,
                                                   platform::ErrorPtr* error) {
  std::int64_t totalSize = 0;
  return readBundles(*this, "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
                     {countLimit}, error,
                     [&](APMQueuedBundle bundle, std::vector<APMQueuedBundle>& taken) {
                       const std::int64_t size = bundle.encodedSize;
                       if (!taken.empty() && totalSize + size > sizeLimit) return false;
                       totalSize += size;
                       taken.push_back(std::move(bundle));
                       return totalSize <= sizeLimit;
                     });
}

std::optional<std::vector<APMQueuedBundle>>
APMDatabaseUploadQueue::queryBundlesWithRowIDs(const platform::Array& rowIDs,
                                               platform::ErrorPtr* error) {
  const auto condition = APMRowIDInCondition(rowIDs, error);
  if (!condition) return std::nullopt;
  return readBundles(*this, "SELECT rowid, data, retry_count FROM queue WHERE " + *condition,
                     rowIDs, error,
                     [](APMQueuedBundle bundle, std::vector<APMQueuedBundle>& taken) {
                       taken.push_back(std::move(bundle));
                       return true;
                     });
}

bool APMDatabaseUploadQueue::deleteBundlesWithRowIDs(const platform::Array& rowIDs,
                                                     platform::ErrorPtr* error) {
  const auto condition = APMRowIDInCondition(rowIDs, error);
  if (!condition) return false;
  return sqliteStore()
      ->deleteRecordsFromTableWithName(kAPMQueueTable, *condition, rowIDs, error)
      .has_value();
}

std::optional<bool> APMDatabaseUploadQueue::maybeDeleteStaleData(platform::ErrorPtr* error) {
  const auto remoteConfig = APMMeasurementRemoteConfig();
  const double current = now();
  const double lastSweep =
      persistedConfig() ? persistedConfig()->lastDeleteStaleBundlesTimestamp() : 0;
  if (!(std::fabs(current - lastSweep) > remoteConfig->databaseDeleteStaleBundlesInterval())) {
    return false;
  }
  const double maxAge = remoteConfig->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error)) return std::nullopt;
  if (!deleteStaleBundlesOlderThanMaxAge(maxAge, error)) return std::nullopt;
  if (persistedConfig()) persistedConfig()->setLastDeleteStaleBundlesTimestamp(current);
  return true;
}

bool APMDatabaseUploadQueue::deleteStaleBundlesOlderThanMaxAge(double maxAge,
                                                               platform::ErrorPtr* error) {
  if (!(maxAge >= 0)) {
    APMSetError(error, 1, "Cannot delete stale bundles after negative time period");
    return false;
  }
  return sqliteStore()
      ->deleteRecordsFromTableWithName(
          kAPMQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
          {now(), maxAge}, error)
      .has_value();
}

std::optional<double> APMDatabaseUploadQueue::queryLatestBundleTime(platform::ErrorPtr* error) {
  const auto latest =
      sqliteStore()->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
  if (!latest) return std::nullopt;
  return latest->asDouble();
}

std::optional<bool>
APMDatabaseUploadQueue::containsRealtimeBundlesWithError(platform::ErrorPtr* error) {
  return boolForNumber(sqliteStore()->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error));
}
