#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/date.h"
#include "platform/dispatch.h"
#include "tests/support/main_queue.h"

namespace platform {
namespace {

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(SystemClockTest, ReadsTheMachineClocks) {
  Clock& clock = Clock::current();
  EXPECT_NEAR(clock.now().timeIntervalSince1970(), wallSeconds(), 1);
  EXPECT_NEAR(clock.uptime(), monotonicSeconds(), 1);
  EXPECT_NEAR(clock.bootTime().timeIntervalSince1970(),
              clock.now().timeIntervalSince1970() - clock.uptime(), 1);
  double first = clock.uptime();
  EXPECT_LE(first, clock.uptime());
}

TEST(ManualClockTest, StandsStillUntilAdvanced) {
  ManualClock clock(Date::fromTimeIntervalSince1970(1000), 50);
  EXPECT_EQ(clock.now(), Date::fromTimeIntervalSince1970(1000));
  EXPECT_EQ(clock.uptime(), 50);
  EXPECT_EQ(clock.bootTime(), Date::fromTimeIntervalSince1970(950));

  clock.advance(2.5);
  EXPECT_EQ(clock.now(), Date::fromTimeIntervalSince1970(1002.5));
  EXPECT_EQ(clock.uptime(), 52.5);
  EXPECT_EQ(clock.bootTime(), Date::fromTimeIntervalSince1970(950));

  clock.advance(-1);
  EXPECT_EQ(clock.uptime(), 52.5);

  // A user changing the system clock: wall time moves, uptime does not.
  clock.setNow(Date::fromTimeIntervalSince1970(500));
  EXPECT_EQ(clock.now(), Date::fromTimeIntervalSince1970(500));
  EXPECT_EQ(clock.uptime(), 52.5);
  EXPECT_EQ(clock.bootTime(), Date::fromTimeIntervalSince1970(447.5));

  ManualClock defaults;
  EXPECT_EQ(defaults.now(), Date::fromTimeIntervalSince1970(1'700'000'000));
  EXPECT_EQ(defaults.uptime(), 1000);
}

TEST(ManualClockTest, SmallStepsAddUpToExactUptimes) {
  ManualClock clock;
  for (int i = 0; i < 10; ++i) clock.advance(0.1);
  EXPECT_EQ(clock.uptime(), 1001);
}

TEST(ClockTest, InstallReplacesTheClockForTheWholeProcess) {
  auto manual = std::make_shared<ManualClock>(Date::fromTimeIntervalSince1970(1234), 5);
  Clock::install(manual);
  EXPECT_EQ(&Clock::current(), manual.get());
  EXPECT_EQ(Date::now(), Date::fromTimeIntervalSince1970(1234));
  manual->advance(6);
  EXPECT_EQ(Date::now(), Date::fromTimeIntervalSince1970(1240));

  Clock::install(nullptr);
  EXPECT_NE(&Clock::current(), manual.get());
  EXPECT_NEAR(Date::now().timeIntervalSince1970(), wallSeconds(), 1);
}

TEST(ClockTest, ReadersOnOtherThreadsSurviveInstalls) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        Clock& clock = Clock::current();
        std::this_thread::yield();
        EXPECT_GT(clock.uptime(), 0);
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    Clock::install(std::make_shared<ManualClock>());
    Clock::install(nullptr);
  }
  stop = true;
  for (auto& reader : readers) reader.join();
}

TEST(ManualClockScopeTest, InstallsAManualClockAndRestoresTheSystemClock) {
  {
    testing_support::ManualClockScope scope(Date::fromTimeIntervalSince1970(42), 7);
    EXPECT_EQ(&Clock::current(), &scope.clock());
    scope.advance(1);
    EXPECT_EQ(Clock::current().uptime(), 8);
  }
  EXPECT_NEAR(Clock::current().uptime(), monotonicSeconds(), 1);
}

TEST(ManualClockTest, OnlyTheInstalledClockHandsOverDueWork) {
  testing_support::ManualClockScope installed;
  ManualClock other;
  auto queue = Queue::serial("test.timers");
  int fired = 0;
  queue->after(1, [&] { ++fired; });
  other.advance(5);
  queue->sync([] {});
  EXPECT_EQ(fired, 0);
  installed.advance(1);
  queue->sync([] {});
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace platform
