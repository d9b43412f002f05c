// APMAppMetadata and APMDailyCounts: the two groups of state kept in the single row of
// "app_metadata" — the bundle sequence, and the per-day event counters that the engine checks
// against its daily limits — with the conversions between that row and the objects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/value.h"

class APMAppMetadata {
 public:
  // Null (logged) for a negative index.
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double value) { lastBundleStartTimestamp_ = value; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double value) { lastBundleEndTimestamp_ = value; }

  // Starts again at 0 after the largest index rather than going negative.
  void incrementLastBundleIndex();

 private:
  APMAppMetadata(std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                 double lastBundleEndTimestamp)
      : lastBundleIndex_(lastBundleIndex), lastBundleStartTimestamp_(lastBundleStartTimestamp),
        lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

// The counters are taken as given; their arithmetic wraps around as 32-bit values would
// rather than overflowing.
class APMDailyCounts {
 public:
  // The values as given, unchecked.
  static std::shared_ptr<APMDailyCounts>
  initWithDay(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
              std::int32_t publicEventsCount, std::int32_t errorEventsCount,
              std::int32_t realtimeCount, std::int32_t dcuRealtimeCount);

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }
  std::int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  // Each increment first moves to the given day (all counters back to 0) when it differs.
  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion);
  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                    std::int32_t effectiveEventCount);
  void incrementErrorEventsCountForCurrentDay(std::int32_t day);
  void incrementRealtimeCountsForCurrentDay(std::int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(std::int32_t day);
  // Never below 0.
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);

 private:
  APMDailyCounts() = default;

  std::int32_t day_ = 0;
  std::int32_t conversionsCount_ = 0;
  std::int32_t allEventsCount_ = 0;
  std::int32_t publicEventsCount_ = 0;
  std::int32_t errorEventsCount_ = 0;
  std::int32_t realtimeCount_ = 0;
  std::int32_t dcuRealtimeCount_ = 0;
};

// Row key of the one "app_metadata" row.
inline constexpr const char* kAPMAppMetadataRowIDColumn = "rowid";
inline constexpr const char* kAPMAppMetadataRowID = "1";

// Row record <-> object. The bundle sequence's record carries the row key, so that the same
// record creates the row and updates it.
std::shared_ptr<APMAppMetadata> APMAppMetadataFromRecord(const platform::Dictionary& record,
                                                         platform::ErrorPtr* error);
std::optional<platform::Dictionary> APMAppMetadataRecord(const APMAppMetadata* appMetadata,
                                                         platform::ErrorPtr* error);
// A day column that holds no number takes currentDay; a null counter reads as 0.
std::shared_ptr<APMDailyCounts> APMDailyCountsFromRecord(const platform::Dictionary& record,
                                                         std::int32_t currentDay,
                                                         platform::ErrorPtr* error);
std::optional<platform::Dictionary> APMDailyCountsRecord(const APMDailyCounts* dailyCounts,
                                                         platform::ErrorPtr* error);
// floor((now - midnightOffset) / 86400): days that change at the device's local midnight.
std::int32_t APMDayNumber(double now, double midnightOffset);
