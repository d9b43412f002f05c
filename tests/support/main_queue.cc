#include "tests/support/main_queue.h"

#include "platform/run_loop.h"

namespace testing_support {

::testing::AssertionResult pumpMainQueueUntil(const std::function<bool()>& predicate,
                                              double timeoutSeconds) {
  if (platform::RunLoop::runUntil(predicate, timeoutSeconds)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "the condition still did not hold after pumping the main queue for " << timeoutSeconds
         << " s";
}

ManualClockScope::ManualClockScope(platform::Date start, double uptime)
    : clock_(std::make_shared<platform::ManualClock>(start, uptime)) {
  platform::Clock::install(clock_);
}

ManualClockScope::~ManualClockScope() { platform::Clock::install(nullptr); }

}  // namespace testing_support
