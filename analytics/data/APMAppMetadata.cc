#include "analytics/data/APMAppMetadata.h"

#include <cmath>
#include <limits>

#include "analytics/messages/APMServices.h"

namespace {

constexpr std::int32_t kMaxInt32 = std::numeric_limits<std::int32_t>::max();

// The counters wrap as 32-bit values do instead of overflowing a signed int.
std::int32_t wrappingAdd(std::int32_t value, std::int32_t amount) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                   static_cast<std::uint32_t>(amount));
}

// A stored column read as a 32-bit counter: numbers only, anything larger cut to its low
// 32 bits as the row model keeps them; a null or another kind gives nothing.
std::optional<std::int32_t> int32Column(const platform::Dictionary& record, const char* column) {
  const platform::Value& value = record[column];
  if (!value.isNumber()) return std::nullopt;
  if (auto integer = value.asInt()) return static_cast<std::int32_t>(*integer);
  if (auto unsignedInteger = value.asUInt()) return static_cast<std::int32_t>(*unsignedInteger);
  const double number = value.doubleValue();
  if (!std::isfinite(number) || number < std::numeric_limits<std::int32_t>::min() ||
      number > kMaxInt32)
    return 0;
  return static_cast<std::int32_t>(number);
}

double doubleColumn(const platform::Dictionary& record, const char* column) {
  const platform::Value& value = record[column];
  return value.isNumber() ? value.doubleValue() : 0;
}

}  // namespace

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMServicesMonitor()->logWithLevel(
        2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::shared_ptr<APMAppMetadata>(
      new APMAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp));
}

void APMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ == kMaxInt32) {
    lastBundleIndex_ = 0;
    APMServicesMonitor()->logWithLevel(5, 4001, "Bundle index overflow. Bundle index reset to 0.");
    return;
  }
  ++lastBundleIndex_;
}

std::shared_ptr<APMDailyCounts>
APMDailyCounts::initWithDay(std::int32_t day, std::int32_t conversionsCount,
                            std::int32_t allEventsCount, std::int32_t publicEventsCount,
                            std::int32_t errorEventsCount, std::int32_t realtimeCount,
                            std::int32_t dcuRealtimeCount) {
  std::shared_ptr<APMDailyCounts> counts(new APMDailyCounts);
  counts->day_ = day;
  counts->conversionsCount_ = conversionsCount;
  counts->allEventsCount_ = allEventsCount;
  counts->publicEventsCount_ = publicEventsCount;
  counts->errorEventsCount_ = errorEventsCount;
  counts->realtimeCount_ = realtimeCount;
  counts->dcuRealtimeCount_ = dcuRealtimeCount;
  return counts;
}

void APMDailyCounts::resetWithNewDay(std::int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent,
                                                  bool isConversion) {
  incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
}

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent,
                                                  bool isConversion,
                                                  std::int32_t effectiveEventCount) {
  if (day != day_) resetWithNewDay(day);
  allEventsCount_ = wrappingAdd(allEventsCount_, effectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = wrappingAdd(publicEventsCount_, effectiveEventCount);
  // A conversion counts once, whatever number of events it stands for.
  if (isConversion) conversionsCount_ = wrappingAdd(conversionsCount_, 1);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  allEventsCount_ = wrappingAdd(allEventsCount_, 1);
  errorEventsCount_ = wrappingAdd(errorEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  realtimeCount_ = wrappingAdd(realtimeCount_, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  dcuRealtimeCount_ = wrappingAdd(dcuRealtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  allEventsCount_ = allEventsCount_ > 1 ? allEventsCount_ - 1 : 0;
}

std::shared_ptr<APMAppMetadata> APMAppMetadataFromRecord(const platform::Dictionary& record,
                                                         platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting app metadata");
    return nullptr;
  }
  // A file from before the start time existed holds null there.
  return APMAppMetadata::initWithLastBundleIndex(
      int32Column(record, "last_bundle_index").value_or(0),
      doubleColumn(record, "last_bundle_start_timestamp"),
      doubleColumn(record, "last_bundle_end_timestamp"));
}

std::optional<platform::Dictionary> APMAppMetadataRecord(const APMAppMetadata* appMetadata,
                                                         platform::ErrorPtr* error) {
  if (appMetadata == nullptr) {
    APMSetError(error, 3, "Received empty app metadata for getting dictionary representation");
    return std::nullopt;
  }
  return platform::Dictionary{
      {kAPMAppMetadataRowIDColumn, kAPMAppMetadataRowID},
      {"last_bundle_index", appMetadata->lastBundleIndex()},
      {"last_bundle_start_timestamp", appMetadata->lastBundleStartTimestamp()},
      {"last_bundle_end_timestamp", appMetadata->lastBundleEndTimestamp()},
  };
}

std::shared_ptr<APMDailyCounts> APMDailyCountsFromRecord(const platform::Dictionary& record,
                                                         std::int32_t currentDay,
                                                         platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting daily counts");
    return nullptr;
  }
  return APMDailyCounts::initWithDay(
      int32Column(record, "day").value_or(currentDay),
      int32Column(record, "daily_conversions_count").value_or(0),
      int32Column(record, "daily_events_count").value_or(0),
      int32Column(record, "daily_public_events_count").value_or(0),
      int32Column(record, "daily_error_events_count").value_or(0),
      int32Column(record, "daily_real_time_conversion_events_count").value_or(0),
      int32Column(record, "daily_real_time_dcu_events_count").value_or(0));
}

std::optional<platform::Dictionary> APMDailyCountsRecord(const APMDailyCounts* dailyCounts,
                                                         platform::ErrorPtr* error) {
  if (dailyCounts == nullptr) {
    APMSetError(error, 3, "Received empty daily counts for getting dictionary representation");
    return std::nullopt;
  }
  return platform::Dictionary{
      {"day", dailyCounts->day()},
      {"daily_conversions_count", dailyCounts->conversionsCount()},
      {"daily_events_count", dailyCounts->allEventsCount()},
      {"daily_public_events_count", dailyCounts->publicEventsCount()},
      {"daily_error_events_count", dailyCounts->errorEventsCount()},
      {"daily_real_time_conversion_events_count", dailyCounts->realtimeCount()},
      {"daily_real_time_dcu_events_count", dailyCounts->dcuRealtimeCount()},
  };
}

std::int32_t APMDayNumber(double now, double midnightOffset) {
  const double day = std::floor((now - midnightOffset) / 86400.0);
  // A clock or offset far out of range must not make the conversion undefined.
  if (!std::isfinite(day)) return 0;
  if (day < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (day > kMaxInt32) return kMaxInt32;
  return static_cast<std::int32_t>(day);
}
