// APMDatabaseUploadQueue: the bundles that wait in the table "queue" for an upload, each
// stored gzip-compressed with its end time, its real-time flag and its retry count; batches
// bounded by count and by encoded size, retry counters, deletion after upload, and the sweep
// of bundles and raw events older than the maximum queue time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

// A retry counter at this value is not incremented further.
inline constexpr std::int64_t kAPMQueuedBundleRetryLimit = 2147483647;

// A queued bundle as the uploader gets it: decoded, with its stored retry count written into
// the bundle, and the row id that names it towards the queue.
struct APMQueuedBundle {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  std::int64_t rowID = 0;
  // The bundle's encoded, uncompressed size, as the batch's size limit counts it.
  std::int64_t encodedSize = 0;
};

// One "queue" row (rowid, data, retry_count) back to its bundle; none with the error when
// the row is empty, its data not gzip or not a bundle, or its row id missing.
std::optional<APMQueuedBundle> APMBundleRowFromRecord(const platform::Dictionary& record,
                                                      platform::ErrorPtr* error);

class APMDatabaseUploadQueue : public virtual APMDatabaseCore {
 public:
  std::optional<bool> isQueuedBundleTableEmpty(platform::ErrorPtr* error);
  bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                    platform::ErrorPtr* error);
  bool incrementRetryCounterForBundlesWithIDs(const platform::Array& rowIDs,
                                              platform::ErrorPtr* error);
  // Oldest first: at most countLimit bundles whose encoded sizes add up to at most sizeLimit,
  // except that the first one is always taken. Rows that cannot be read back are skipped.
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                         std::int64_t sizeLimit,
                                                                         platform::ErrorPtr* error);
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithRowIDs(const platform::Array& rowIDs,
                                                                     platform::ErrorPtr* error);
  bool deleteBundlesWithRowIDs(const platform::Array& rowIDs, platform::ErrorPtr* error);
  // True when the sweep ran, false when it was not due yet, none when it failed.
  std::optional<bool> maybeDeleteStaleData(platform::ErrorPtr* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::ErrorPtr* error);
  // None without an error when the queue is empty.
  std::optional<double> queryLatestBundleTime(platform::ErrorPtr* error);
  std::optional<bool> containsRealtimeBundlesWithError(platform::ErrorPtr* error);

  // The raw-events side of the sweep, kept by the raw-events family.
  virtual bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                       platform::ErrorPtr* error) = 0;
};
