// A stored raw event with its row id and metadata fingerprint: which of them are refused.

#include "analytics/data/APMRawEventData.h"

#include <gtest/gtest.h>

#include "analytics/data/APMEvent.h"
#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;

TEST(APMRawEventDataTest, TakesAnyFingerprintAndRowIDsFromZeroButRefusesNoEventOrANegativeRow) {
  const auto event = APMEvent::initWithOrigin("app", false, "e", 1, 0, {});
  ASSERT_NE(event, nullptr);

  ScopedMonitor monitor;
  const auto first = APMRawEventData::initWithRawEvent(event, 0, -7);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->rawEvent(), event);
  EXPECT_EQ(first->rowID(), 0);
  EXPECT_EQ(first->metadataFingerprint(), -7);
  EXPECT_TRUE(monitor->lines().empty());

  EXPECT_EQ(APMRawEventData::initWithRawEvent(event, -1, 5), nullptr);
  EXPECT_EQ(APMRawEventData::initWithRawEvent(nullptr, 3, 5), nullptr);
  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].messageCode, 28001);
  EXPECT_EQ(lines[0].message, "Failed to create raw event data. Received invalid row ID. Row ID");
  ASSERT_EQ(lines[0].contexts.size(), 1u);
  EXPECT_EQ(lines[0].contexts[0], platform::Value(-1));
  EXPECT_EQ(lines[1].level, 4);
  EXPECT_EQ(lines[1].messageCode, 28000);
  EXPECT_EQ(lines[1].message, "Failed to create raw event data. Received invalid raw event.");
}

}  // namespace
