// delay, timeout, retry and await of ZBLPromise, on a manual clock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "promises/tests/promise_test_support.h"
#include "promises/zbl_promise.h"
#include "tests/support/main_queue.h"

namespace {

using promise_testing::PromiseTest;
using promise_testing::settled;
using promise_testing::testError;
using ::testing::ElementsAre;

class ZBLTimeTest : public PromiseTest {
 protected:
  double uptime() const { return platform::Clock::current().uptime(); }

  testing_support::ManualClockScope clock_;
};

bool isTimedOut(const platform::ErrorPtr& error) {
  return error && error->domain() == "com.rerora.ZBLPromises.Error" && error->code() == 1 &&
         error->userInfo().empty();
}

TEST_F(ZBLTimeTest, DelayPostponesOnlyAFulfilment) {
  auto delayed = ZBLPromise::resolvedWith("v")->delay(1.0);
  platform::RunLoop::drain();
  clock_.advance(0.999);
  platform::RunLoop::drain();
  EXPECT_TRUE(delayed->isPending());
  clock_.advance(0.001);
  ASSERT_TRUE(settled(delayed));
  EXPECT_EQ(delayed->value(), ZBLObject("v"));

  auto rejected = ZBLPromise::resolvedWith(testError(1))->delay(3600);
  ASSERT_TRUE(settled(rejected)) << "a rejection is not delayed";
  EXPECT_EQ(rejected->error()->code(), 1);

  auto immediate = ZBLPromise::resolvedWith(2)->delay(0);
  EXPECT_TRUE(immediate->isPending()) << "still asynchronous";
  ASSERT_TRUE(settled(immediate));
  EXPECT_EQ(immediate->value(), ZBLObject(2));
}

TEST_F(ZBLTimeTest, TimeoutTakesWhicheverComesFirst) {
  const struct {
    const char* name;
    std::function<void(ZBLPromise&)> beforeTheInterval;  // or nothing
    std::function<void(ZBLPromise&)> afterTheInterval;
    std::optional<std::int64_t> fulfilledWith;
    bool timedOut;
  } cases[] = {
      {"fulfilled in time", [](ZBLPromise& p) { p.fulfill(1); }, nullptr, 1, false},
      {"rejected in time", [](ZBLPromise& p) { p.reject(testError(2)); }, nullptr, std::nullopt,
       false},
      {"never settled", nullptr, nullptr, std::nullopt, true},
      {"fulfilled too late", nullptr, [](ZBLPromise& p) { p.fulfill(3); }, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = ZBLPromise::pendingPromise();
    auto limited = source->timeout(1.0);
    int notified = 0;
    limited->observeOnQueue(
        platform::Queue::main(), [&](const ZBLObject&) { ++notified; },
        [&](const platform::ErrorPtr&) { ++notified; });
    clock_.advance(0.5);
    if (c.beforeTheInterval) c.beforeTheInterval(*source);
    platform::RunLoop::drain();
    clock_.advance(0.5);
    ASSERT_TRUE(settled(limited));
    if (c.afterTheInterval) c.afterTheInterval(*source);
    clock_.advance(5);
    source.reset();
    ASSERT_TRUE(promise_testing::promiseActivityFinished());
    EXPECT_EQ(notified, 1);
    if (c.fulfilledWith) {
      EXPECT_EQ(limited->value(), ZBLObject(*c.fulfilledWith));
    } else if (c.timedOut) {
      EXPECT_TRUE(isTimedOut(limited->error())) << limited->description();
    } else {
      EXPECT_EQ(limited->error()->code(), 2);
    }
  }
}

TEST_F(ZBLTimeTest, TheTimeoutTimerDoesNotKeepThePromiseAlive) {
  auto source = ZBLPromise::pendingPromise();
  std::weak_ptr<ZBLPromise> watch = source->timeout(10);
  EXPECT_FALSE(watch.expired()) << "held by the source's observer";
  source.reset();
  EXPECT_TRUE(watch.expired());
  clock_.advance(10);
  platform::RunLoop::drain();
}

TEST_F(ZBLTimeTest, RetryRunsAgainAfterTheDelayWhileAllowed) {
  auto queue = platform::Queue::serial("test.retry");
  using Make = std::function<ZBLPromisePtr(ZBLPromise::RetryWork, ZBLPromise::RetryCondition)>;
  struct Case {
    const char* name;
    Make retry;
    double delay;
    // What each run returns: a code > 0 fails with that error code, 0 succeeds with "ok";
    // wrapped in a settled promise when `promises` is set.
    std::vector<int> runs;
    bool promises;
    bool conditionAgrees;
    std::vector<std::string> conditionCalls;
    std::optional<int> failsWith;
  };
  const Case cases[] = {
      {"defaults, always failing",
       [&](auto work, auto) { return ZBLPromise::retry(queue, std::move(work)); },
       1.0,
       {1, 2},
       false,
       true,
       {},
       2},
      {"count with the default delay",
       [&](auto work, auto) { return ZBLPromise::retry(queue, 2, std::move(work)); },
       1.0,
       {1, 2, 0},
       false,
       true,
       {},
       std::nullopt},
      {"condition refusing at once",
       [&](auto work, auto condition) {
         return ZBLPromise::retry(queue, 3, 1.0, std::move(condition), std::move(work));
       },
       1.0,
       {1},
       false,
       false,
       {"3:1"},
       1},
      {"first run succeeds",
       [&](auto work, auto) { return ZBLPromise::retry(queue, std::move(work)); },
       1.0,
       {0},
       false,
       true,
       {},
       std::nullopt},
      {"count 0 never asks the condition",
       [&](auto work, auto condition) {
         return ZBLPromise::retry(queue, 0, 1.0, std::move(condition), std::move(work));
       },
       1.0,
       {1},
       false,
       true,
       {},
       1},
      {"negative count runs once",
       [&](auto work, auto condition) {
         return ZBLPromise::retry(queue, -2, 1.0, std::move(condition), std::move(work));
       },
       1.0,
       {1},
       false,
       true,
       {},
       1},
      {"succeeds on the third run",
       [&](auto work, auto condition) {
         return ZBLPromise::retry(queue, 3, 0.25, std::move(condition), std::move(work));
       },
       0.25,
       {1, 2, 0},
       false,
       true,
       {"3:1", "2:2"},
       std::nullopt},
      {"failing promises",
       [&](auto work, auto condition) {
         return ZBLPromise::retry(queue, 1, 2.0, std::move(condition), std::move(work));
       },
       2.0,
       {1, 3},
       true,
       true,
       {"1:1"},
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<std::size_t> runs{0};
    std::vector<double> runTimes;
    std::vector<std::string> conditionCalls;
    bool insideCall = true;
    auto work = [&]() -> ZBLObject {
      EXPECT_EQ(insideCall, runs == 0) << "only the first run is inside the call";
      if (runs > 0) {
        EXPECT_TRUE(queue->isCurrent());
      }
      runTimes.push_back(uptime());
      int code = c.runs.at(runs++);
      ZBLObject result = code == 0 ? ZBLObject("ok") : ZBLObject(testError(code));
      return c.promises ? ZBLObject(ZBLPromise::resolvedWith(result)) : result;
    };
    auto condition = [&](std::int64_t remaining, const platform::ErrorPtr& error) {
      conditionCalls.push_back(std::to_string(remaining) + ":" + std::to_string(error->code()));
      return c.conditionAgrees;
    };
    auto promise = c.retry(work, condition);
    insideCall = false;
    EXPECT_EQ(runs, 1u);
    if (c.runs == std::vector<int>{0}) {
      EXPECT_TRUE(promise->isFulfilled()) << "settled at once";
    }

    // A run and the handling of its result are tasks on the queue; once both are done the
    // next retry (if any) waits on the clock.
    auto flush = [&] {
      queue->sync([] {});
      queue->sync([] {});
    };
    flush();
    for (int turn = 0; turn < 10 && promise->isPending(); ++turn) {
      clock_.advance(c.delay);
      flush();
    }
    ASSERT_FALSE(promise->isPending());
    EXPECT_EQ(runs, c.runs.size());
    for (std::size_t i = 1; i < runTimes.size(); ++i) {
      EXPECT_DOUBLE_EQ(runTimes[i] - runTimes[i - 1], c.delay);
    }
    EXPECT_EQ(conditionCalls, c.conditionCalls);
    if (c.failsWith) {
      ASSERT_TRUE(promise->isRejected());
      EXPECT_EQ(promise->error()->code(), *c.failsWith);
    } else {
      EXPECT_EQ(promise->value(), ZBLObject("ok"));
    }
  }
}

class ZBLAwaitTest : public PromiseTest {};

TEST_F(ZBLAwaitTest, ReturnsTheValueOrTheError) {
  platform::ErrorPtr error = testError(99);
  EXPECT_EQ(ZBLPromiseAwait(ZBLPromise::resolvedWith(5), &error), ZBLObject(5));
  EXPECT_EQ(error, nullptr);

  EXPECT_TRUE(ZBLPromiseAwait(ZBLPromise::resolvedWith(testError(2)), &error).isNil());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(ZBLPromiseAwait(ZBLPromise::resolvedWith("no error place")),
            ZBLObject("no error place"));
}

// The main thread blocks while the work settling the promise runs on other queues; the main
// queue is never pumped.
TEST_F(ZBLAwaitTest, DoesNotNeedTheBlockedThread) {
  auto first = platform::Queue::serial("test.await.first");
  auto second = platform::Queue::serial("test.await.second");
  auto promise = ZBLPromise::async(first, [second](auto fulfill, auto) {
                   second->async([fulfill] { fulfill(1); });
                 })->then(second, [](const ZBLObject& value) {
    return ZBLObject(value.asValue()->integerValue() + 1);
  });
  EXPECT_EQ(ZBLPromiseAwait(promise), ZBLObject(2));

  std::thread settler;
  auto pending = ZBLPromise::pendingPromise();
  settler = std::thread([pending] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pending->reject(testError(3));
  });
  platform::ErrorPtr error;
  ZBLPromiseAwait(pending, &error);
  settler.join();
  EXPECT_EQ(error->code(), 3);
}

// Twice as many worker tasks as workers may run at once await one promise. Every wait is
// bounded, so that a pool left without a thread for the wake-ups fails instead of hanging.
TEST_F(ZBLAwaitTest, ManyWorkerTasksAwaitAtOnce) {
  constexpr int kTasks = 128;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto secondsLeft = [&] {
    return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
  };
  auto promise = ZBLPromise::pendingPromise();
  platform::Semaphore started;
  auto woken = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < kTasks; ++i) {
    platform::Queue::global()->async([promise, started, woken]() mutable {
      started.signal();
      if (ZBLPromiseAwait(promise) == ZBLObject(7)) ++*woken;
    });
  }
  int awaiting = 0;
  while (awaiting < kTasks && started.wait(secondsLeft())) ++awaiting;
  EXPECT_EQ(awaiting, kTasks);
  promise->fulfill(7);
  EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return *woken == kTasks; },
                                                  std::max(secondsLeft(), 1.0)));
}

TEST(ZBLAwaitDeathTest, ANullPromiseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ZBLPromiseAwait(nullptr), "promise");
}

}  // namespace
