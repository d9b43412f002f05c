// The heartbeat controller on a manual clock, and the logger front the apps hold.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "foundation/HeartbeatController.h"
#include "foundation/HeartbeatStorage.h"
#include "foundation/ZIRHeartbeatLogger.h"
#include "foundation/ZIRZiruzadaUserAgent.h"
#include "foundation/ZULGzip.h"
#include "platform/base64.h"
#include "platform/files.h"
#include "platform/json.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace ZiruzadaCoreInternal {
namespace {

using platform::Date;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr double kDay = 86400;
constexpr double kHour = 3600;
// 2023-11-14 00:00:00 GMT.
const Date kDay0 = Date::fromTimeIntervalSince1970(1'699'920'000);

Date day(int n) { return kDay0.addingTimeInterval(n * kDay); }

class HeartbeatControllerTest : public testing_support::TemporaryHomeTest {
 protected:
  // What is stored for the id, read in turn after everything queued before.
  static std::optional<HeartbeatsBundle> storedBundle(const std::string& id = kAppID) {
    std::optional<HeartbeatsBundle> seen;
    HeartbeatStorage::instance(id)->updateSync([&](std::optional<HeartbeatsBundle> stored) {
      seen = stored;
      return stored;
    });
    return seen;
  }
  static std::vector<Heartbeat> storedHeartbeats(const std::string& id = kAppID) {
    auto bundle = storedBundle(id);
    return bundle ? bundle->buffer().elements() : std::vector<Heartbeat>{};
  }

  testing_support::ManualClockScope clock_{kDay0.addingTimeInterval(10 * kHour)};
};

// Sets TZ for its lifetime.
class TimeZoneScope {
 public:
  explicit TimeZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZoneScope() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(HeartbeatControllerTest, TheFirstLogStoresADailyHeartbeatForTheGMTDay) {
  HeartbeatController controller(kAppID);
  EXPECT_EQ(controller.heartbeatsStorageCapacity(), 30);
  controller.log("agent/1");
  const auto bundle = storedBundle();
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->capacity(), 30);
  EXPECT_EQ(bundle->buffer().elements(),
            (std::vector<Heartbeat>{{"agent/1", day(0), 0, {TimePeriod::daily}}}));
  EXPECT_EQ(bundle->lastAddedHeartbeatDates().at(TimePeriod::daily), day(0));
}

// The day boundary is midnight GMT, wherever the device is.
TEST_F(HeartbeatControllerTest, OneHeartbeatPerGMTDayInEveryTimeZone) {
  const char* zones[] = {"UTC", "Pacific/Kiritimati", "America/Los_Angeles", "Asia/Kathmandu",
                         "Pacific/Pago_Pago"};
  for (const char* zone : zones) {
    TimeZoneScope timeZone(zone);
    const std::string id = std::string("zone:") + zone;
    HeartbeatController controller(id);
    clock_.clock().setNow(day(0).addingTimeInterval(-kDay + 60));  // 00:01 the day before
    controller.log("a");
    clock_.clock().setNow(day(0).addingTimeInterval(-60));  // 23:59 the same GMT day
    controller.log("a");
    EXPECT_EQ(storedHeartbeats(id).size(), 1u) << zone;
    clock_.clock().setNow(day(0).addingTimeInterval(60));  // 00:01 the next GMT day
    controller.log("a");
    controller.log("a");
    const auto heartbeats = storedHeartbeats(id);
    ASSERT_EQ(heartbeats.size(), 2u) << zone;
    EXPECT_EQ(heartbeats[0].date, day(-1)) << zone;
    EXPECT_EQ(heartbeats[1].date, day(0)) << zone;
  }
}

TEST_F(HeartbeatControllerTest, AClockSetBackAddsNothingUntilADayPastTheLastHeartbeat) {
  HeartbeatController controller(kAppID);
  clock_.clock().setNow(day(5));
  controller.log("a");
  for (Date back :
       {day(3), day(4).addingTimeInterval(23 * kHour), day(5).addingTimeInterval(kHour)}) {
    clock_.clock().setNow(back);
    controller.log("a");
  }
  EXPECT_EQ(storedHeartbeats().size(), 1u);
  clock_.clock().setNow(day(6));
  controller.log("a");
  EXPECT_EQ(storedHeartbeats().size(), 2u);
}

TEST_F(HeartbeatControllerTest, FlushTakesEverythingButRemembersTheDay) {
  HeartbeatController controller(kAppID);
  controller.log("b/1");
  clock_.clock().setNow(day(1));
  controller.log("a/1");
  const HeartbeatsPayload payload = controller.flush();
  EXPECT_EQ(payload, (HeartbeatsPayload{{{"a/1", {day(1)}}, {"b/1", {day(0)}}}, 2}));
  EXPECT_TRUE(storedHeartbeats().empty());
  EXPECT_EQ(storedBundle()->lastAddedHeartbeatDates().at(TimePeriod::daily), day(1));

  controller.log("a/1");
  EXPECT_TRUE(controller.flush().isEmpty());
  clock_.clock().setNow(day(2));
  controller.log("a/1");
  EXPECT_EQ(controller.flush(), (HeartbeatsPayload{{{"a/1", {day(2)}}}, 2}));
}

TEST_F(HeartbeatControllerTest, FlushWithNothingStoredLeavesAnEmptyFile) {
  HeartbeatController controller(kAppID);
  EXPECT_EQ(controller.flush(), HeartbeatsPayload::emptyPayload());
  const auto file = FileStorage::fileURL(kAppID);
  EXPECT_TRUE(platform::fileExists(file));
  EXPECT_EQ(platform::fileSize(file), 0u);
}

TEST_F(HeartbeatControllerTest, FlushAnswersEmptyWhenTheResetCannotBeSaved) {
  HeartbeatController controller(kAppID);
  controller.log("a");
  ASSERT_EQ(storedHeartbeats().size(), 1u);
  const auto folder = FileStorage::fileURL(kAppID).parent_path();
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(platform::writeFileAtomically(folder, platform::Data::fromString("in the way")));
  EXPECT_EQ(controller.flush(), HeartbeatsPayload::emptyPayload());
}

TEST_F(HeartbeatControllerTest, FlushingTodaysHeartbeatLeavesTheOlderOnes) {
  HeartbeatController controller(kAppID);
  controller.log("old");
  clock_.clock().setNow(day(1).addingTimeInterval(5 * kHour));
  controller.log("today");
  EXPECT_EQ(controller.flushHeartbeatFromToday(), (HeartbeatsPayload{{{"today", {day(1)}}}, 2}));
  EXPECT_EQ(controller.flushHeartbeatFromToday(), HeartbeatsPayload::emptyPayload());
  EXPECT_EQ(controller.flush(), (HeartbeatsPayload{{{"old", {day(0)}}}, 2}));
}

class ZIRHeartbeatLoggerTest : public HeartbeatControllerTest {};

TEST_F(ZIRHeartbeatLoggerTest, TodaysCodeIsTwoOnceThenZero) {
  ZIRHeartbeatLogger logger(kAppID, [] { return std::string("agent/1"); });
  EXPECT_EQ(logger.heartbeatCodeForToday(), 0);
  logger.log();
  EXPECT_EQ(logger.heartbeatCodeForToday(), 2);
  EXPECT_EQ(logger.heartbeatCodeForToday(), 0);
}

TEST_F(ZIRHeartbeatLoggerTest, TheHeaderValueCarriesTheStoredHeartbeats) {
  int calls = 0;
  ZIRHeartbeatLogger logger(kAppID, [&calls] { return "agent/" + std::to_string(++calls); });
  auto empty = logger.flushHeartbeatsIntoPayload();
  EXPECT_TRUE(empty->isEmpty());
  EXPECT_EQ(ZIRHeartbeatHeaderValueFromPayload(*empty), std::nullopt);

  // The provider is asked at every log.
  logger.log();
  clock_.clock().setNow(day(1));
  logger.log();
  auto payload = logger.flushHeartbeatsIntoPayload();
  const auto header = ZIRHeartbeatHeaderValueFromPayload(*payload);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(*header, payload->headerValue());
  const auto json = zul_dataByInflatingGzippedData(
      *platform::base64::decode(*header, platform::base64::Alphabet::URLSafe));
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(platform::json::parse(*json),
            platform::json::parse(R"({"heartbeats":[{"agent":"agent/1","dates":["2023-11-14"]},)"
                                  R"({"agent":"agent/2","dates":["2023-11-15"]}],"version":2})"));
}

TEST_F(ZIRHeartbeatLoggerTest, TheDefaultAgentIsTheSDKUserAgent) {
  ZIRHeartbeatLogger logger(kAppID);
  logger.log();
  const auto payload = logger.flushHeartbeatsIntoPayload()->heartbeatsPayload();
  ASSERT_EQ(payload.userAgentPayloads.size(), 1u);
  EXPECT_EQ(payload.userAgentPayloads[0].agent,
            ZIRZiruzadaUserAgent::sharedUserAgent()->ziruzadaUserAgent());
}

}  // namespace
}  // namespace ZiruzadaCoreInternal
