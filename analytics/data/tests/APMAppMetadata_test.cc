// The row models of the metadata row: the bundle sequence with its overflow reset, and the
// daily counters with their day changes, which wrap instead of overflowing.

#include "analytics/data/APMAppMetadata.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(APMAppMetadataTest, BundleIndexStartsAgainAtZeroAfterTheLargestWithOneLog) {
  ScopedMonitor monitor;
  auto metadata = APMAppMetadata::initWithLastBundleIndex(0, 1.5, 2.5);
  ASSERT_TRUE(metadata);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 1);
  EXPECT_TRUE(monitor->lines().empty());

  metadata = APMAppMetadata::initWithLastBundleIndex(kMax, 1.5, 2.5);
  ASSERT_TRUE(metadata);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 5);
  EXPECT_EQ(lines[0].messageCode, 4001);
  EXPECT_EQ(lines[0].message, "Bundle index overflow. Bundle index reset to 0.");
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 1.5);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 2.5);
}

TEST(APMAppMetadataTest, NegativeBundleIndexGivesNoObjectAndIsLogged) {
  ScopedMonitor monitor;
  EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].messageCode, 4000);
  EXPECT_EQ(lines[0].message,
            "Failed to create app metadata object. Received negative last bundle index.");
}

TEST(APMDailyCountsTest, ANewDayZeroesEveryCounterBeforeTheIncrement) {
  auto counts = APMDailyCounts::initWithDay(10, 5, 50, 40, 3, 2, 1);
  counts->incrementCountsForCurrentDay(11, true, true, 3);
  EXPECT_EQ(counts->day(), 11);
  EXPECT_EQ(counts->allEventsCount(), 3);
  EXPECT_EQ(counts->publicEventsCount(), 3);
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->errorEventsCount(), 0);
  EXPECT_EQ(counts->realtimeCount(), 0);
  EXPECT_EQ(counts->dcuRealtimeCount(), 0);

  // Same day: added to; a non-public, non-conversion event counts only among all events.
  counts->incrementCountsForCurrentDay(11, false, false);
  counts->incrementErrorEventsCountForCurrentDay(11);
  counts->incrementRealtimeCountsForCurrentDay(11);
  counts->incrementDCURealtimeCountsForCurrentDay(11);
  EXPECT_EQ(counts->allEventsCount(), 5);
  EXPECT_EQ(counts->publicEventsCount(), 3);
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->errorEventsCount(), 1);
  EXPECT_EQ(counts->realtimeCount(), 1);
  EXPECT_EQ(counts->dcuRealtimeCount(), 1);

  // Every other increment moves to a new day the same way.
  auto errors = APMDailyCounts::initWithDay(11, 7, 7, 7, 7, 7, 7);
  errors->incrementErrorEventsCountForCurrentDay(12);
  EXPECT_EQ(errors->day(), 12);
  EXPECT_EQ(errors->allEventsCount(), 1);
  EXPECT_EQ(errors->errorEventsCount(), 1);
  EXPECT_EQ(errors->conversionsCount() + errors->publicEventsCount() + errors->realtimeCount() +
                errors->dcuRealtimeCount(),
            0);
  auto realtime = APMDailyCounts::initWithDay(11, 7, 7, 7, 7, 7, 7);
  realtime->incrementRealtimeCountsForCurrentDay(12);
  EXPECT_EQ(realtime->day(), 12);
  EXPECT_EQ(realtime->realtimeCount(), 1);
  EXPECT_EQ(realtime->allEventsCount() + realtime->dcuRealtimeCount(), 0);
  auto dcu = APMDailyCounts::initWithDay(11, 7, 7, 7, 7, 7, 7);
  dcu->incrementDCURealtimeCountsForCurrentDay(12);
  EXPECT_EQ(dcu->day(), 12);
  EXPECT_EQ(dcu->dcuRealtimeCount(), 1);
  EXPECT_EQ(dcu->allEventsCount() + dcu->realtimeCount(), 0);
}

TEST(APMDailyCountsTest, CountersWrapAsThirtyTwoBitValuesAndDecrementStopsAtZero) {
  auto counts = APMDailyCounts::initWithDay(1, kMax, kMax, kMax, kMax, kMax, kMax);
  counts->incrementCountsForCurrentDay(1, true, true, 1);
  counts->incrementErrorEventsCountForCurrentDay(1);
  counts->incrementRealtimeCountsForCurrentDay(1);
  counts->incrementDCURealtimeCountsForCurrentDay(1);
  EXPECT_EQ(counts->conversionsCount(), kMin);
  EXPECT_EQ(counts->allEventsCount(), kMin + 1);
  EXPECT_EQ(counts->publicEventsCount(), kMin);
  EXPECT_EQ(counts->errorEventsCount(), kMin);
  EXPECT_EQ(counts->realtimeCount(), kMin);
  EXPECT_EQ(counts->dcuRealtimeCount(), kMin);

  // A large effective count wraps the same way.
  counts = APMDailyCounts::initWithDay(1, 0, kMax, 0, 0, 0, 0);
  counts->incrementCountsForCurrentDay(1, false, false, kMax);
  EXPECT_EQ(counts->allEventsCount(), -2);

  for (std::int32_t start : {kMin, -1, 0, 1}) {
    auto c = APMDailyCounts::initWithDay(1, 0, start, 0, 0, 0, 0);
    c->decrementAllEventsCount();
    EXPECT_EQ(c->allEventsCount(), 0) << start;
  }
  auto c = APMDailyCounts::initWithDay(1, 0, 5, 0, 0, 0, 0);
  c->decrementAllEventsCount();
  EXPECT_EQ(c->allEventsCount(), 4);
}

TEST(APMAppMetadataRecordTest, RecordsRoundTripAndRefuseEmptyInput) {
  ErrorPtr error;
  EXPECT_FALSE(APMAppMetadataFromRecord(Dictionary{}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Received empty dictionary for getting app metadata");
  EXPECT_FALSE(APMAppMetadataRecord(nullptr, &error));
  EXPECT_EQ(error->localizedDescription(),
            "Received empty app metadata for getting dictionary representation");
  EXPECT_FALSE(APMDailyCountsFromRecord(Dictionary{}, 5, &error));
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Received empty dictionary for getting daily counts");
  EXPECT_FALSE(APMDailyCountsRecord(nullptr, &error));
  EXPECT_EQ(error->localizedDescription(),
            "Received empty daily counts for getting dictionary representation");

  auto metadata = APMAppMetadata::initWithLastBundleIndex(3, 4.5, 5.5);
  auto record = APMAppMetadataRecord(metadata.get(), nullptr);
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["rowid"], Value("1"));
  EXPECT_EQ(record->size(), 4u);
  auto back = APMAppMetadataFromRecord(*record, nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->lastBundleIndex(), 3);
  EXPECT_EQ(back->lastBundleStartTimestamp(), 4.5);
  EXPECT_EQ(back->lastBundleEndTimestamp(), 5.5);

  // A row from before the start time existed, or with a null day and counters.
  back = APMAppMetadataFromRecord(Dictionary{{"rowid", 1},
                                             {"last_bundle_index", 2},
                                             {"last_bundle_start_timestamp", nullptr},
                                             {"last_bundle_end_timestamp", 9.0}},
                                  nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->lastBundleStartTimestamp(), 0);
  auto counts = APMDailyCountsFromRecord(
      Dictionary{{"rowid", 1}, {"day", nullptr}, {"daily_events_count", nullptr}}, 77, nullptr);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->day(), 77);
  EXPECT_EQ(counts->allEventsCount(), 0);

  auto original = APMDailyCounts::initWithDay(19000, 1, 2, 3, 4, 5, 6);
  auto countsRecord = APMDailyCountsRecord(original.get(), nullptr);
  ASSERT_TRUE(countsRecord);
  EXPECT_EQ(countsRecord->size(), 7u);
  counts = APMDailyCountsFromRecord(*countsRecord, 20000, nullptr);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->day(), 19000);
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->allEventsCount(), 2);
  EXPECT_EQ(counts->publicEventsCount(), 3);
  EXPECT_EQ(counts->errorEventsCount(), 4);
  EXPECT_EQ(counts->realtimeCount(), 5);
  EXPECT_EQ(counts->dcuRealtimeCount(), 6);
}

TEST(APMAppMetadataRecordTest, DayNumberChangesAtTheOffsetMidnight) {
  EXPECT_EQ(APMDayNumber(86400 + 3599, 3600), 0);
  EXPECT_EQ(APMDayNumber(86400 + 3600, 3600), 1);
  EXPECT_EQ(APMDayNumber(0, 3600), -1);
  EXPECT_EQ(APMDayNumber(1e300, 0), kMax);
  EXPECT_EQ(APMDayNumber(std::numeric_limits<double>::quiet_NaN(), 0), 0);
}

}  // namespace
