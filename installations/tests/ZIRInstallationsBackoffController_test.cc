#include "installations/ZIRInstallationsBackoffController.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tests/support/main_queue.h"

using platform::Date;

namespace {

// A controller whose "now" the test sets.
class ZIRInstallationsBackoffControllerTest : public ::testing::Test {
 protected:
  void registerEvents(ZIRInstallationsBackoffEvent event, int times) {
    for (int i = 0; i < times; ++i) controller_.registerEvent(event);
  }
  const ZIRInstallationsBackoffEventData& last() {
    data_ = controller_.lastEventData();
    EXPECT_TRUE(data_);
    return *data_;
  }

  Date now_ = Date::fromTimeIntervalSince1970(1'700'000'000);
  ZIRInstallationsBackoffController controller_{[this] { return now_; }};
  std::shared_ptr<const ZIRInstallationsBackoffEventData> data_;
};

TEST_F(ZIRInstallationsBackoffControllerTest, WaitingTimeFollowsTheRunOfFailures) {
  struct Case {
    const char* name;
    std::vector<ZIRInstallationsBackoffEvent> events;
    ZIRInstallationsBackoffEvent kind;
    std::int64_t count;
    double minimum;
    double maximum;
  };
  const auto recoverable = ZIRInstallationsBackoffEventRecoverableFailure;
  const auto unrecoverable = ZIRInstallationsBackoffEventUnrecoverableFailure;
  const Case cases[] = {
      {"one recoverable", {recoverable}, recoverable, 1, 2.0, 2.999},
      {"three recoverable", std::vector(3, recoverable), recoverable, 3, 8.0, 8.999},
      {"ten recoverable", std::vector(10, recoverable), recoverable, 10, 1024.0, 1024.999},
      {"eleven recoverable", std::vector(11, recoverable), recoverable, 11, 1800, 1800},
      {"twelve recoverable", std::vector(12, recoverable), recoverable, 12, 1800, 1800},
      {"recoverable then unrecoverable",
       {recoverable, unrecoverable},
       unrecoverable,
       1,
       86400,
       86400},
      {"two unrecoverable", {unrecoverable, unrecoverable}, unrecoverable, 2, 86400, 86400},
      {"failure then success",
       {recoverable, ZIRInstallationsBackoffEventSuccess},
       ZIRInstallationsBackoffEventSuccess,
       1,
       0,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZIRInstallationsBackoffController controller([this] { return now_; });
    for (auto event : c.events) controller.registerEvent(event);
    const auto data = controller.lastEventData();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->eventType(), c.kind);
    EXPECT_EQ(data->eventCount(), c.count);
    EXPECT_EQ(data->lastEventDate(), now_);
    EXPECT_GE(data->backoffTimeInterval(), c.minimum);
    EXPECT_LE(data->backoffTimeInterval(), c.maximum);
  }
}

TEST_F(ZIRInstallationsBackoffControllerTest, RequestsAreAllowedAgainExactlyWhenTheWaitIsOver) {
  EXPECT_TRUE(controller_.isNextRequestAllowed());
  EXPECT_FALSE(controller_.lastEventData());

  registerEvents(ZIRInstallationsBackoffEventUnrecoverableFailure, 1);
  const Date failedAt = now_;
  EXPECT_FALSE(controller_.isNextRequestAllowed());
  now_ = failedAt.addingTimeInterval(86400 - 0.001);
  EXPECT_FALSE(controller_.isNextRequestAllowed());
  now_ = failedAt.addingTimeInterval(86400);
  EXPECT_TRUE(controller_.isNextRequestAllowed());

  registerEvents(ZIRInstallationsBackoffEventRecoverableFailure, 12);
  const Date cappedAt = now_;
  now_ = cappedAt.addingTimeInterval(1800 - 0.001);
  EXPECT_FALSE(controller_.isNextRequestAllowed());
  now_ = cappedAt.addingTimeInterval(1800);
  EXPECT_TRUE(controller_.isNextRequestAllowed());
}

TEST_F(ZIRInstallationsBackoffControllerTest, SuccessAllowsTheNextRequestAtOnce) {
  for (auto failure : {ZIRInstallationsBackoffEventRecoverableFailure,
                       ZIRInstallationsBackoffEventUnrecoverableFailure}) {
    registerEvents(failure, 3);
    EXPECT_FALSE(controller_.isNextRequestAllowed());
    controller_.registerEvent(ZIRInstallationsBackoffEventSuccess);
    EXPECT_TRUE(controller_.isNextRequestAllowed());
    // The next failure starts a new run.
    controller_.registerEvent(failure);
    EXPECT_EQ(last().eventCount(), 1);
    controller_.registerEvent(ZIRInstallationsBackoffEventSuccess);
  }
}

TEST(ZIRInstallationsBackoffEventDataTest, RandomPartIsWholeMillisecondsBelowOneSecond) {
  bool sawNonZero = false;
  for (int i = 0; i < 500; ++i) {
    const double seconds = ZIRInstallationsBackoffEventData::randomMilliseconds();
    ASSERT_GE(seconds, 0.0);
    ASSERT_LE(seconds, 0.999);
    const double milliseconds = seconds * 1000;
    EXPECT_NEAR(milliseconds, std::round(milliseconds), 1e-6);
    sawNonZero = sawNonZero || seconds > 0;
  }
  EXPECT_TRUE(sawNonZero);
}

TEST(ZIRInstallationsBackoffDefaultClockTest, DefaultControllerReadsThePlatformClock) {
  testing_support::ManualClockScope clock;
  ZIRInstallationsBackoffController controller;
  controller.registerEvent(ZIRInstallationsBackoffEventRecoverableFailure);
  EXPECT_EQ(controller.lastEventData()->lastEventDate(), clock.clock().now());
  EXPECT_FALSE(controller.isNextRequestAllowed());
  clock.advance(1.5);
  EXPECT_FALSE(controller.isNextRequestAllowed());
  clock.advance(1.5);
  EXPECT_TRUE(controller.isNextRequestAllowed());
}

}  // namespace
