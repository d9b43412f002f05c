#include "analytics/engine/APMAlarm.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/run_loop.h"

namespace {

using analytics_test::RecordingMonitor;
using analytics_test::ScopedMonitor;
using platform::Date;

// A monitor line as the tests compare it.
struct Line {
  std::int64_t level;
  std::int64_t messageCode;
  std::string message;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << "{" << line.level << ", " << line.messageCode << ", \"" << line.message << "\"}";
}

class APMAlarmTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::Clock::install(clock_);
    // The core's monitor is made first, so that the recording one stays in its place.
    APMMeasurement::load();
    monitor_.emplace();
  }
  void TearDown() override {
    monitor_.reset();
    platform::Clock::install(nullptr);
  }

  // Hands every due firing to the queue and waits until the queue has run it.
  void advance(double seconds) {
    clock_->advance(seconds);
    queue_->sync([] {});
  }

  std::vector<Line> lines() const {
    std::vector<Line> result;
    for (const RecordingMonitor::Line& line : (*monitor_)->lines()) {
      result.push_back({line.level, line.messageCode, line.message.value_or("(nil)")});
    }
    return result;
  }
  std::vector<platform::Array> contexts() const {
    std::vector<platform::Array> result;
    for (const RecordingMonitor::Line& line : (*monitor_)->lines()) {
      result.push_back(line.contexts);
    }
    return result;
  }

  const Date start_ = Date::fromTimeIntervalSince1970(1'700'000'000);
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(start_);
  std::optional<ScopedMonitor> monitor_;
  platform::QueuePtr queue_ = platform::Queue::serial("com.rerora.raru.worker");
};

TEST_F(APMAlarmTest, SchedulingTwiceLeavesOnePendingFiringDueAtTheSecondDelay) {
  const auto alarm = APMAlarm::initWithDispatchQueue(queue_, "Measurement timer");
  std::vector<std::string> ran;
  alarm->runAfterDelay(10, [&] { ran.push_back("first"); });
  alarm->runAfterDelay(30, [&] { ran.push_back("second"); });

  EXPECT_EQ(alarm->scheduledTimestamp(), start_.addingTimeInterval(30));
  EXPECT_TRUE(alarm->hasActiveTimer());
  EXPECT_EQ(lines(), (std::vector<Line>{
                         {7, 2002, "Measurement timer scheduled to fire in approx. (s)"},
                         {7, 2003, "Measurement timer canceled"},
                         {7, 2002, "Measurement timer scheduled to fire in approx. (s)"},
                     }));
  EXPECT_EQ(contexts()[0], (platform::Array{10.0}));
  EXPECT_EQ(contexts()[2], (platform::Array{30.0}));

  advance(10);
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(alarm->hasActiveTimer());

  advance(20);
  EXPECT_EQ(ran, std::vector<std::string>{"second"});
  EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt);
  EXPECT_FALSE(alarm->hasActiveTimer());
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 5u);
  EXPECT_EQ(logged[3], (Line{7, 2001, "Measurement timer fired"}));
  EXPECT_EQ(logged[4], (Line{7, 2003, "Measurement timer canceled"}));

  // One-shot: nothing more, however long the wait.
  advance(3600);
  EXPECT_EQ(ran.size(), 1u);
  EXPECT_EQ(lines().size(), 5u);
}

TEST_F(APMAlarmTest, EveryLineStartsWithTheNameOrTimerWhenItIsEmpty) {
  struct Case {
    std::string name;
    std::string prefix;
  } const cases[] = {{"", "Timer"}, {"Engagement timer", "Engagement timer"}};
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    const auto alarm = APMAlarm::initWithDispatchQueue(queue_, c.name);
    alarm->runAfterDelay(5, [] {});
    alarm->cancel();
    alarm->runAfterDelay(1, {});
    alarm->runAfterDelay(5, [] {});
    advance(5);

    std::vector<Line> logged;
    for (const RecordingMonitor::Line& line : monitor->lines()) {
      logged.push_back({line.level, line.messageCode, line.message.value_or("(nil)")});
    }
    EXPECT_EQ(logged, (std::vector<Line>{
                          {7, 2002, c.prefix + " scheduled to fire in approx. (s)"},
                          {7, 2003, c.prefix + " canceled"},
                          {1, 2000, c.prefix + " tried to schedule an empty block"},
                          {7, 2002, c.prefix + " scheduled to fire in approx. (s)"},
                          {7, 2001, c.prefix + " fired"},
                          {7, 2003, c.prefix + " canceled"},
                      }))
        << "name \"" << c.name << "\"";
  }
}

TEST_F(APMAlarmTest, AnEmptyBlockLeavesThePendingFiringInPlace) {
  const auto alarm = APMAlarm::initWithDispatchQueue(queue_, "Search Ad campaign report alarm");
  int ran = 0;
  alarm->runAfterDelay(5, [&] { ++ran; });
  alarm->runAfterDelay(1, {});

  EXPECT_EQ(alarm->scheduledTimestamp(), start_.addingTimeInterval(5));
  EXPECT_TRUE(alarm->hasActiveTimer());
  EXPECT_EQ(lines().back(), (Line{1, 2000,
                                  "Search Ad campaign report alarm tried to schedule an "
                                  "empty block"}));
  advance(1);
  EXPECT_EQ(ran, 0);
  advance(4);
  EXPECT_EQ(ran, 1);
}

TEST_F(APMAlarmTest, CancellingDropsThePendingFiringAndAnIdleAlarmLogsNothing) {
  const auto alarm = APMAlarm::initWithDispatchQueue(queue_, "APMExperimentAlarm");
  alarm->cancel();
  EXPECT_TRUE(lines().empty());

  auto captured = std::make_shared<int>(0);
  alarm->runAfterDelay(5, [&ran = *captured, captured] { ++ran; });
  alarm->cancel();
  alarm->cancel();
  advance(10);

  EXPECT_EQ(*captured, 0);
  EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt);
  EXPECT_FALSE(alarm->hasActiveTimer());
  // The cancelled block, and what it captured, are let go.
  EXPECT_EQ(captured.use_count(), 1);
  EXPECT_EQ(lines(), (std::vector<Line>{
                         {7, 2002, "APMExperimentAlarm scheduled to fire in approx. (s)"},
                         {7, 2003, "APMExperimentAlarm canceled"},
                     }));
}

TEST_F(APMAlarmTest, ZeroOrNegativeDelayFiresOnTheQueueAfterTheCallReturns) {
  struct Case {
    double delay;
    bool mainQueue;
  } const cases[] = {{0, false}, {-3, false}, {0, true}};
  for (const Case& c : cases) {
    const platform::QueuePtr queue = c.mainQueue ? platform::Queue::main() : queue_;
    const auto alarm = APMAlarm::initWithDispatchQueue(queue, "Engagement timer");
    std::atomic<bool> ran{false};
    std::atomic<bool> onQueue{false};
    bool ranInsideTheCall = true;
    // Scheduled from a task of the alarm's own queue, the block cannot run before the task
    // ends unless the call itself ran it.
    queue->sync([&] {
      alarm->runAfterDelay(c.delay, [&] {
        onQueue = queue->isCurrent();
        ran = true;
      });
      ranInsideTheCall = ran;
    });
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return ran.load(); }, 30)) << c.delay;
    EXPECT_FALSE(ranInsideTheCall) << c.delay;
    EXPECT_TRUE(onQueue) << c.delay;
    EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt) << c.delay;
  }
}

TEST_F(APMAlarmTest, APendingAlarmOutlivesItsOwnerUntilItFiresOrIsCancelled) {
  int ran = 0;
  std::weak_ptr<APMAlarm> fired;
  std::weak_ptr<APMAlarm> cancelled;
  {
    const auto alarm = APMAlarm::initWithDispatchQueue(queue_, "Measurement timer");
    alarm->runAfterDelay(5, [&] { ++ran; });
    fired = alarm;
    const auto other = APMAlarm::initWithDispatchQueue(queue_, "Engagement timer");
    other->runAfterDelay(5, [&] { ran += 100; });
    other->cancel();
    cancelled = other;
  }
  EXPECT_TRUE(cancelled.expired());
  EXPECT_FALSE(fired.expired());

  advance(5);
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(fired.expired());
}

// Still pending when the process ends: neither a crash on the way out nor a leak at exit.
TEST_F(APMAlarmTest, AnAlarmPendingAtExitIsNotALeak) {
  APMAlarm::initWithDispatchQueue(queue_, "Measurement timer")->runAfterDelay(3600, [] {});
}

TEST_F(APMAlarmTest, SchedulingCancellingAndFiringFromSeveralThreadsAtOnce) {
  const auto alarm = APMAlarm::initWithDispatchQueue(queue_, "Measurement timer");
  std::atomic<int> firings{0};
  std::atomic<int> schedulings{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        switch ((i + t) % 4) {
        case 0:
        case 1:
          alarm->runAfterDelay((i % 3) * 0.5, [&] { ++firings; });
          ++schedulings;
          break;
        case 2:
          alarm->cancel();
          break;
        default:
          (void)alarm->hasActiveTimer();
          (void)alarm->scheduledTimestamp();
          clock_->advance(0.5);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  // A last scheduling replaces whatever was left pending: it alone fires, once.
  int last = 0;
  alarm->runAfterDelay(1, [&] { ++last; });
  queue_->sync([] {});
  const int before = firings;
  advance(1);
  advance(10);
  EXPECT_EQ(last, 1);
  EXPECT_EQ(firings, before);
  EXPECT_LE(firings, schedulings);
  EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt);
  EXPECT_FALSE(alarm->hasActiveTimer());
}

}  // namespace
