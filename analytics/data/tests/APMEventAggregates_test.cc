// The per-event counters: what creation refuses, the starting sampling state, and the
// increments that start again at 0 instead of overflowing.

#include "analytics/data/APMEventAggregates.h"

#include <limits>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(APMEventAggregatesTest, StartsWithRateOneNotExemptAndNothingBundled) {
  const auto aggregates = APMEventAggregates::initWithName("_e", 0, 0, 0, 12.5);
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->name(), "_e");
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
  EXPECT_EQ(aggregates->lastFireTimestamp(), 12.5);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_FALSE(aggregates->lastSampledComplexEventID().has_value());
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
}

TEST(APMEventAggregatesTest, RefusesInvalidNamesSilentlyAndNegativeCountsWithALog) {
  ScopedMonitor monitor;
  EXPECT_EQ(APMEventAggregates::initWithName("", 1, 1, 1, 0), nullptr);
  EXPECT_EQ(APMEventAggregates::initWithName("bad name", 1, 1, 1, 0), nullptr);
  // The name checks log for themselves; this class adds nothing of its own.
  for (const auto& line : monitor->lines()) EXPECT_NE(line.messageCode, 17000);

  const std::int32_t counts[][3] = {{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
  for (const auto& c : counts) {
    ScopedMonitor negative;
    EXPECT_EQ(APMEventAggregates::initWithName("e", c[0], c[1], c[2], 0), nullptr);
    const auto lines = negative->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[0].messageCode, 17000);
    EXPECT_EQ(lines[0].message,
              "Failed to create event aggregates object. Received negative count.");
  }
}

TEST(APMEventAggregatesTest, EachIncrementWrapsToZeroAtTheLargestCountWithItsOwnLog) {
  struct Case {
    void (APMEventAggregates::*increment)();
    std::int32_t (APMEventAggregates::*count)() const;
    std::int64_t code;
    const char* message;
    std::int32_t lifetime, bundle, session;
  };
  const Case cases[] = {
      {&APMEventAggregates::incrementLifetimeCount, &APMEventAggregates::lifetimeCount, 17001,
       "Lifetime count overflow. Lifetime count reset to 0.", kMax, 0, 0},
      {&APMEventAggregates::incrementCurrentBundleCount, &APMEventAggregates::currentBundleCount,
       17002, "Bundle count overflow. Bundle count reset to 0.", 0, kMax, 0},
      {&APMEventAggregates::incrementCurrentSessionCount, &APMEventAggregates::currentSessionCount,
       17003, "Session count overflow. Session count reset to 0.", 0, 0, kMax},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const auto atMax = APMEventAggregates::initWithName("e", c.lifetime, c.bundle, c.session, 0);
    ASSERT_NE(atMax, nullptr);
    ScopedMonitor monitor;
    ((*atMax).*c.increment)();
    EXPECT_EQ(((*atMax).*c.count)(), 0);
    ((*atMax).*c.increment)();
    EXPECT_EQ(((*atMax).*c.count)(), 1);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[0].messageCode, c.code);
    EXPECT_EQ(lines[0].message, c.message);
    // The other counters are untouched.
    EXPECT_EQ(atMax->lifetimeCount() + atMax->currentBundleCount() + atMax->currentSessionCount(),
              1);
  }
}

}  // namespace
