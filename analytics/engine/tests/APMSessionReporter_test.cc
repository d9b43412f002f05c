// The session reporter in a process of its own per case: its events reach the recording core
// only once analytics has started, which happens once per process.
#include "analytics/engine/APMSessionReporter.h"

#include <atomic>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/engine/tests/recording_core.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/notification_center.h"
#include "platform/run_loop.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::RecordingCore;
using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::Value;

constexpr double kStart = 1'700'000'000;

std::int64_t integerOf(const Value& value) {
  if (const auto typed = APMValueOf(value)) return typed->int64Value();
  return value.integerValue();
}

// An event as the tests compare it: its name and its integer parameters; screen names
// and classes are compared as strings.
struct Logged {
  std::string name;
  std::map<std::string, std::string> parameters;
  bool operator==(const Logged&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Logged& logged) {
  out << logged.name << "{";
  for (const auto& [name, value] : logged.parameters) out << name << "=" << value << " ";
  return out << "}";
}

std::string textOf(const Value& value) {
  if (const auto typed = APMValueOf(value)) {
    if (const auto text = typed->stringValue()) return *text;
    return std::to_string(typed->int64Value());
  }
  if (value.isString()) return *value.asString();
  return std::to_string(value.integerValue());
}

class APMSessionReporterTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    APMAnalytics::startWithAppID("1:123:ios:abc", "fa", {});
    // Once started, the shared core's own reporter would report beside the one under test.
    RecordingCore::drain();
    if (const auto shared = APMMeasurement::sharedInstance()) {
      if (const auto own = shared->sessionReporter()) own->setReportingEnabled(false);
    }
    APMMeasurementSetRemoteConfig(config_);
    persisted_ = APMPersistedConfig::initWithSuiteName("com.rerora.viz.measurement.tests");
    ASSERT_TRUE(persisted_);
    persisted_->setSessionNumber(4);
    persisted_->setLastSessionActivityClockTime(kStart);
    reporter_ = APMSessionReporter::initWithPersistedConfig(persisted_);
  }
  void TearDown() override {
    reporter_.reset();
    APMMeasurementSetRemoteConfig(nullptr);
  }

  // As the service delivers settings: text, time intervals in milliseconds.
  void set(const char* setting, std::int64_t value) {
    config_->cacheValue(Value(std::to_string(value)), setting);
  }

  // Moves the clock on and runs the engagement timer if it fell due.
  void advance(double seconds) {
    clock_.advance(seconds);
    platform::RunLoop::drain();
  }

  // The session reporter's events since the last call.
  std::vector<Logged> logged() {
    std::vector<Logged> result;
    static const std::set<std::string> kNames{"_s", "_e", "_ab"};
    for (const auto& event : core_->events()) {
      if (!kNames.contains(event.name)) continue;
      EXPECT_EQ(event.origin, "auto");
      EXPECT_FALSE(event.isPublicEvent);
      Logged entry{event.name, {}};
      for (const auto& [name, value] : event.parameters) entry.parameters[name] = textOf(value);
      result.push_back(entry);
    }
    core_->clear();
    return result;
  }

  std::vector<std::int64_t> codes(std::int64_t from, std::int64_t to) const {
    std::vector<std::int64_t> result;
    for (const auto& line : monitor_->lines()) {
      if (line.messageCode >= from && line.messageCode <= to) result.push_back(line.messageCode);
    }
    return result;
  }

  testing_support::ManualClockScope clock_;
  std::shared_ptr<RecordingCore> core_ = RecordingCore::install();
  ScopedMonitor monitor_;
  std::shared_ptr<APMRemoteConfig> config_ = std::make_shared<APMRemoteConfig>();
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMSessionReporter> reporter_;
};

const auto kHome = std::make_shared<const APMScreen>("home", "HomeView", 7);
const auto kCart = std::make_shared<const APMScreen>("cart", "CartView", 8);

TEST_F(APMSessionReporterTest, ANewSessionStartsOnlyOnceTheTimeoutHasPassed) {
  reporter_->setReportingEnabled(true);
  EXPECT_EQ(reporter_->timeoutSessionInterval(), 1800);

  advance(1800);
  reporter_->handleAppDidBecomeActive();
  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(persisted_->sessionNumber(), 4);

  advance(1);
  reporter_->handleAppDidBecomeActive();
  // Both properties are removed before the new values are set.
  const auto attributes = core_->userAttributes();
  EXPECT_EQ(logged(), (std::vector<Logged>{{"_s", {{"_sid", "1700001801"}, {"_sno", "5"}}}}));
  EXPECT_EQ(persisted_->sessionNumber(), 5);
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 1801);
  ASSERT_EQ(attributes.size(), 4u);
  const std::vector<std::string> names{"_sid", "_sno", "_sid", "_sno"};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(attributes[i].name, names[i]);
    EXPECT_EQ(attributes[i].value.has_value(), i >= 2) << i;
  }
  EXPECT_EQ(attributes[2].origin, "auto");
  EXPECT_EQ(attributes[3].origin, "auto");
  EXPECT_EQ(integerOf(*attributes[2].value), 1'700'001'801);
  EXPECT_EQ(integerOf(*attributes[3].value), 5);
}

TEST_F(APMSessionReporterTest, ANegativeTimeoutIsStoredAsZero) {
  reporter_->setReportingEnabled(true);
  reporter_->setTimeoutSessionInterval(-5);
  EXPECT_EQ(reporter_->timeoutSessionInterval(), 0);
  ASSERT_EQ(codes(33001, 33001).size(), 1u);
  for (const auto& line : monitor_->lines()) {
    if (line.messageCode != 33001) continue;
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.message, "Received negative timeout session duration. Setting to 0.0 instead.");
  }

  // Any pause starts a new session; none at all does not, as equal is not expired.
  advance(1);
  reporter_->handleAppDidBecomeActive();
  reporter_->handleAppDidBecomeActive();
  advance(0.5);
  reporter_->handleAppDidBecomeActive();
  const auto events = logged();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].parameters.at("_sno"), "5");
  EXPECT_EQ(events[1].parameters.at("_sno"), "6");
}

TEST_F(APMSessionReporterTest, ContinuousActivityIsReportedOncePerIntervalCappedAtAnHour) {
  int fired = 0;
  const auto token = platform::NotificationCenter::defaultCenter().addObserver(
      APMSessionReporter::kEngagementTimerDidFireNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++fired; });
  reporter_->setReportingEnabled(true);
  reporter_->handleAppDidBecomeActive();
  advance(3599);
  EXPECT_TRUE(logged().empty());
  advance(1);
  advance(3600);
  EXPECT_EQ(logged(),
            (std::vector<Logged>{{"_e", {{"_et", "3600000"}}}, {"_e", {{"_et", "3600000"}}}}));
  EXPECT_EQ(fired, 2);

  // A longer interval still reports no more than an hour at a time.
  set("measurement.session.event_user_engagement_interval", 7200 * 1000);
  reporter_->rescheduleUserEngagementTimer();
  advance(7200);
  EXPECT_EQ(logged(), (std::vector<Logged>{{"_e", {{"_et", "3600000"}}}}));
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 14400);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(APMSessionReporterTest, AScreenChangeReportsThePreviousScreenAfterASecond) {
  reporter_->setReportingEnabled(true);
  reporter_->handleAppDidBecomeActive();
  advance(0.5);
  reporter_->handleScreenDidChangeFromScreen(kHome, kCart);
  reporter_->handleScreenDidChangeFromScreen(nullptr, kCart);
  EXPECT_TRUE(logged().empty());

  advance(1.5);
  reporter_->handleScreenDidChangeFromScreen(kHome, kCart);
  EXPECT_EQ(logged(),
            (std::vector<Logged>{
                {"_e", {{"_et", "2000"}, {"_sn", "home"}, {"_sc", "HomeView"}, {"_si", "7"}}}}));
  // The next measure starts at the change.
  EXPECT_EQ(reporter_->incurredEngagementTime(), 0);
}

TEST_F(APMSessionReporterTest, EfficientReportingFollowsTheRedundancySettings) {
  set("measurement.collection.efficient_engagement_reporting_enabled", 1);
  reporter_->setReportingEnabled(true);
  reporter_->handleAppDidBecomeActive();

  // A redundant report: marked, and the freeride measure runs on.
  advance(2);
  reporter_->handleScreenDidChangeFromScreen(kHome, kCart);
  EXPECT_EQ(
      logged(),
      (std::vector<Logged>{
          {"_e",
           {{"_et", "2000"}, {"_fr", "1"}, {"_sn", "home"}, {"_sc", "HomeView"}, {"_si", "7"}}}}));
  advance(3);
  EXPECT_EQ(reporter_->incurredEngagementTime(), 5);

  // With redundant reports removed, a screen change says nothing and resignation with
  // backgrounded tracking cuts the freeride time into "_ab" alone.
  set("measurement.collection.redundant_engagement_removal_enabled", 1);
  set("measurement.lifecycle.app_backgrounded_tracking", 1);
  reporter_->handleScreenDidChangeFromScreen(kCart, kHome);
  reporter_->handleAppWillResignActiveWithScreen(kHome);
  EXPECT_EQ(logged(), (std::vector<Logged>{{"_ab", {{"_et", "5000"}}}}));
  EXPECT_EQ(reporter_->incurredEngagementTime(), 0);

  // Without removal, resignation reports the screen redundantly, then "_ab" with its time.
  set("measurement.collection.redundant_engagement_removal_enabled", 0);
  reporter_->handleAppDidBecomeActive();
  advance(4);
  reporter_->handleAppWillResignActiveWithScreen(kHome);
  EXPECT_EQ(
      logged(),
      (std::vector<Logged>{
          {"_e",
           {{"_et", "4000"}, {"_fr", "1"}, {"_sn", "home"}, {"_sc", "HomeView"}, {"_si", "7"}}},
          {"_ab", {{"_et", "4000"}}}}));
}

TEST_F(APMSessionReporterTest, PlainReportingResignsWithAnEngagementEventAndABareBackgroundEvent) {
  struct Case {
    bool backgrounded;
    std::vector<Logged> expected;
  };
  const Logged engagement{"_e",
                          {{"_et", "3000"}, {"_sn", "home"}, {"_sc", "HomeView"}, {"_si", "7"}}};
  const Case cases[] = {{false, {engagement}}, {true, {engagement, {"_ab", {}}}}};
  reporter_->setTimeoutSessionInterval(86400);
  reporter_->setReportingEnabled(true);
  for (const Case& c : cases) {
    set("measurement.lifecycle.app_backgrounded_tracking", c.backgrounded ? 1 : 0);
    reporter_->handleAppDidBecomeActive();
    advance(3);
    reporter_->handleAppWillResignActiveWithScreen(kHome);
    EXPECT_EQ(logged(), c.expected) << c.backgrounded;
    // Resigning stops the timer: an hour later nothing more is reported.
    advance(3600);
    EXPECT_TRUE(logged().empty()) << c.backgrounded;
  }
}

TEST_F(APMSessionReporterTest, NothingIsLoggedWhileTheApplicationIsInactive) {
  set("measurement.lifecycle.app_backgrounded_tracking", 1);
  APMScreenViewReporter::sharedInstance()->setAppActiveForTesting(false);
  // Enabled while inactive, reporting arms no timer.
  reporter_->setReportingEnabled(true);
  advance(4000);
  reporter_->handleAppDidBecomeActive();
  reporter_->logSessionStartEvent();
  reporter_->logUserEngagementEvent();
  advance(2);
  reporter_->handleScreenDidChangeFromScreen(kHome, kCart);
  reporter_->handleAppWillResignActiveWithScreen(kHome);
  APMScreenViewReporter::sharedInstance()->setAppActiveForTesting(true);

  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(persisted_->sessionNumber(), 4);
  EXPECT_EQ(codes(33005, 33008), (std::vector<std::int64_t>{33005, 33006, 33006, 33006, 33008}));
}

TEST_F(APMSessionReporterTest, DisabledReportingLogsNothingButStillMovesTheMeasure) {
  reporter_->handleAppDidBecomeActive();
  advance(5);
  EXPECT_EQ(reporter_->logEngagementEventAndReturnTimeWithScreen(kHome, false), 0);
  EXPECT_EQ(reporter_->incurredEngagementTime(), 0);
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 5);
  reporter_->logSessionStartEvent();
  EXPECT_TRUE(logged().empty());

  // Disabling stops the timer; enabling while active arms it again.
  reporter_->setReportingEnabled(false);
  advance(3600);
  EXPECT_TRUE(logged().empty());
  reporter_->setReportingEnabled(true);
  advance(3600);
  EXPECT_EQ(logged(), (std::vector<Logged>{{"_e", {{"_et", "3600000"}}}}));
}

TEST_F(APMSessionReporterTest, AnUnreadableBootTimeCountsAsNoEngagement) {
  reporter_->setReportingEnabled(true);
  reporter_->handleAppDidBecomeActive();
  // Without a boot time the uptime reads -1, before the start taken at activation.
  platform::Clock::install(std::make_shared<platform::ManualClock>(
      platform::Date::fromTimeIntervalSince1970(kStart + 10), -1));
  EXPECT_EQ(reporter_->incurredEngagementTime(), 0);
  reporter_->logUserEngagementEvent();
  EXPECT_EQ(logged(), (std::vector<Logged>{{"_e", {{"_et", "0"}}}}));
  ASSERT_EQ(codes(33004, 33004).size(), 2u);
  for (const auto& line : monitor_->lines()) {
    if (line.messageCode != 33004) continue;
    EXPECT_EQ(line.level, 4);
    EXPECT_EQ(line.message, "Incurred engagement time is negative. Setting to 0.0 instead");
  }
}

TEST_F(APMSessionReporterTest, ExtendingKeepsOnlyAnUnexpiredSessionAlive) {
  advance(1000);
  EXPECT_TRUE(reporter_->extendSession());
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 1000);
  advance(1801);
  EXPECT_TRUE(reporter_->isSessionExpired());
  EXPECT_FALSE(reporter_->extendSession());
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 1000);
  // The clock set back counts the same as forward.
  clock_.clock().setNow(platform::Date::fromTimeIntervalSince1970(kStart + 1000 - 1801));
  EXPECT_TRUE(reporter_->isSessionExpired());
}

TEST_F(APMSessionReporterTest, TheWorkerQueuesSessionStartCarriesItsPropertiesAndEvent) {
  struct Case {
    bool inBackground;
    std::map<std::string, std::string> parameters;
  } const cases[] = {
      {false, {{"_sid", "1700000123"}, {"_sno", "9"}, {"_o", "auto"}}},
      {true, {{"_sid", "1700000123"}, {"_sno", "9"}, {"_aib", "1"}, {"_o", "auto"}}},
  };
  for (const Case& c : cases) {
    const auto event = APMSessionStartEvent(Value(9), c.inBackground, kStart + 123.75);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->origin(), "auto");
    EXPECT_EQ(event->name(), "_s");
    EXPECT_EQ(event->timestamp(), kStart + 123.75);
    EXPECT_EQ(event->previousTimestamp(), 0);
    std::map<std::string, std::string> parameters;
    for (const auto& [name, value] : event->parameters()) parameters[name] = textOf(value);
    EXPECT_EQ(parameters, c.parameters) << c.inBackground;
  }

  reporter_->updatePropertiesForNewSessionStart();
  advance(2);
  const auto sessionID = reporter_->sessionIDPropertyWithTimestamp(kStart + 123.75);
  const auto sessionNumber = reporter_->sessionNumberProperty();
  ASSERT_TRUE(sessionID && sessionNumber);
  EXPECT_EQ(sessionID->name(), "_sid");
  EXPECT_EQ(sessionID->origin(), "auto");
  EXPECT_EQ(sessionID->value()->int64Value(), 1'700'000'123);
  EXPECT_EQ(sessionID->lastSetTimestamp(), kStart + 123.75);
  EXPECT_EQ(sessionNumber->name(), "_sno");
  EXPECT_EQ(sessionNumber->value()->int64Value(), 5);
  EXPECT_EQ(sessionNumber->lastSetTimestamp(), kStart + 2);
}

// The timer and activation run on the main thread while the measurement core reads and
// writes the same values from its worker queue.
TEST_F(APMSessionReporterTest, MainAndWorkerQueuesShareTheReporterSafely) {
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      reporter_->setTimeoutSessionInterval(i % 2 == 0 ? 1800 : 900);
      reporter_->isSessionExpired();
      reporter_->incurredEngagementTime();
      reporter_->isReportingEnabled();
    }
    stop = true;
  });
  for (int i = 0; !stop; ++i) {
    reporter_->handleAppDidBecomeActive();
    reporter_->logUserEngagementEvent();
    reporter_->timeoutSessionInterval();
    reporter_->cutFreerideEngagementTimeMillis();
    if (i < 50) reporter_->setReportingEnabled(i % 2 == 0);
  }
  worker.join();
  EXPECT_TRUE(reporter_->timeoutSessionInterval() == 1800 ||
              reporter_->timeoutSessionInterval() == 900);
}

}  // namespace
