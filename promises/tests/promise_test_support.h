// Shared by the promise tests: a fixture that insists all promise activity has finished when
// a test ends, an assertion-handler recorder and a few small helpers.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/run_loop.h"
#include "promises/zbl_promise.h"
#include "tests/support/main_queue.h"

namespace promise_testing {

// Generous: a passing test never comes near it.
constexpr double kTimeout = 10;

// A test error; the code tells errors apart.
inline platform::ErrorPtr testError(std::int64_t code) {
  return platform::makeError("test.promises", code);
}

// Pumps the main queue until the promise has settled.
[[nodiscard]] inline ::testing::AssertionResult settled(const ZBLPromisePtr& promise) {
  return testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }, kTimeout);
}

// Pumps the main queue until no promise is pending and no delivery or work is queued.
[[nodiscard]] inline ::testing::AssertionResult promiseActivityFinished() {
  return testing_support::pumpMainQueueUntil([] { return ZBLPromise::dispatchGroup().wait(0); },
                                             kTimeout);
}

// Ends every test by waiting for the promise dispatch group to empty: no pending promise
// left alive (none leaked into a cycle) and no callback still to run against the test's
// locals.
class PromiseTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(promiseActivityFinished()); }
};

// Records failed argument checks instead of throwing, for its lifetime.
class RecordedAssertions {
 public:
  RecordedAssertions() {
    previous_ = platform::AssertionHandler::setHandler(
        [this](const platform::AssertionHandler::Failure& failure) {
          std::lock_guard lock(mutex_);
          descriptions_.push_back(failure.description);
        });
  }
  ~RecordedAssertions() { platform::AssertionHandler::setHandler(std::move(previous_)); }
  RecordedAssertions(const RecordedAssertions&) = delete;
  RecordedAssertions& operator=(const RecordedAssertions&) = delete;

  std::vector<std::string> descriptions() const {
    std::lock_guard lock(mutex_);
    return descriptions_;
  }

 private:
  platform::AssertionHandler::Handler previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> descriptions_;
};

}  // namespace promise_testing
