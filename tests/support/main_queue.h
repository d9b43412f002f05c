// Helpers for tests that wait on the main queue or on time: pump the main queue until a
// condition holds, and run a test on a manual clock.
#pragma once

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace testing_support {

// Pumps the main queue (on the main thread) until the predicate holds. Fails, saying how
// long it waited, when the real timeout passes first:
//   ASSERT_TRUE(pumpMainQueueUntil([&] { return done; }));
[[nodiscard]] ::testing::AssertionResult pumpMainQueueUntil(const std::function<bool()>& predicate,
                                                            double timeoutSeconds = 10);

// Installs a ManualClock for its lifetime and the system clock again afterwards.
class ManualClockScope {
 public:
  explicit ManualClockScope(
      platform::Date start = platform::Date::fromTimeIntervalSince1970(1'700'000'000),
      double uptime = 1000);
  ~ManualClockScope();
  ManualClockScope(const ManualClockScope&) = delete;
  ManualClockScope& operator=(const ManualClockScope&) = delete;

  platform::ManualClock& clock() { return *clock_; }
  // Moves the clock on; every delayed block and timer firing then due is on its queue.
  void advance(double seconds) { clock_->advance(seconds); }

 private:
  std::shared_ptr<platform::ManualClock> clock_;
};

}  // namespace testing_support
