// The combinators all, any and race of ZBLPromise.
#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "promises/tests/promise_test_support.h"
#include "promises/zbl_promise.h"

namespace {

using promise_testing::PromiseTest;
using promise_testing::RecordedAssertions;
using promise_testing::settled;
using promise_testing::testError;
using ::testing::ElementsAre;

class ZBLCombinatorsTest : public PromiseTest {};

using Combinator = ZBLPromisePtr (*)(platform::QueuePtr, ZBLObjectList);
constexpr Combinator kAll = &ZBLPromise::all;
constexpr Combinator kAny = &ZBLPromise::any;
constexpr Combinator kRace = &ZBLPromise::race;

// One input of a combination: a promise that settles (or not) at a given step, or a plain
// object in the list.
struct Input {
  enum Kind { Fulfil, Reject, Pending, Plain } kind;
  ZBLObject outcome;  // the value, the error, or the plain object
  int step = 0;       // the order in which the promises settle
};
Input fulfil(ZBLObject value, int step) { return {Input::Fulfil, std::move(value), step}; }
Input reject(std::int64_t code, int step) { return {Input::Reject, testError(code), step}; }
Input pending() { return {Input::Pending, ZBLObject()}; }
Input plain(ZBLObject object) { return {Input::Plain, std::move(object)}; }

TEST_F(ZBLCombinatorsTest, CombineInInputOrderAndSettleOnce) {
  using List = ZBLObjectList;
  const struct {
    const char* name;
    Combinator combine;
    std::vector<Input> inputs;
    ZBLObject value;
    platform::ErrorPtr error;
  } cases[] = {
      {"all of nothing", kAll, {}, List{}, nullptr},
      {"any of nothing", kAny, {}, List{}, nullptr},
      {"all with a plain value", kAll, {fulfil(1, 0), plain(2)}, List{1, 2}, nullptr},
      {"all with a plain error", kAll, {pending(), plain(testError(5))}, ZBLObject(), testError(5)},
      {"all fulfilled in reverse order",
       kAll,
       {fulfil("a", 2), fulfil("b", 1), fulfil("c", 0)},
       List{"a", "b", "c"},
       nullptr},
      {"all with a nil value",
       kAll,
       {fulfil(1, 0), fulfil(nullptr, 1)},
       List{1, ZBLObject::null()},
       nullptr},
      {"all with a rejection",
       kAll,
       {fulfil(1, 0), reject(2, 1), pending()},
       ZBLObject(),
       testError(2)},
      {"any with a rejection and a value",
       kAny,
       {reject(1, 0), fulfil("v", 1)},
       List{testError(1), "v"},
       nullptr},
      {"any with a plain error",
       kAny,
       {fulfil(1, 0), plain(testError(3))},
       List{1, testError(3)},
       nullptr},
      {"any where all reject", kAny, {reject(1, 0), reject(2, 1)}, ZBLObject(), testError(2)},
      {"race with a plain value", kRace, {pending(), plain("v")}, "v", nullptr},
      {"race with a plain error",
       kRace,
       {pending(), plain(testError(4))},
       ZBLObject(),
       testError(4)},
      {"race: the first delivered wins",
       kRace,
       {fulfil("late", 1), fulfil("early", 0)},
       "early",
       nullptr},
      {"race: a first rejection wins",
       kRace,
       {fulfil("late", 1), reject(6, 0)},
       ZBLObject(),
       testError(6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZBLObjectList list;
    std::vector<std::pair<int, std::function<void()>>> steps;
    for (const Input& input : c.inputs) {
      if (input.kind == Input::Plain) {
        list.push_back(input.outcome);
        continue;
      }
      auto promise = ZBLPromise::pendingPromise();
      list.push_back(promise);
      if (input.kind == Input::Fulfil) {
        steps.emplace_back(input.step, [promise, input] { promise->fulfill(input.outcome); });
      } else if (input.kind == Input::Reject) {
        steps.emplace_back(input.step,
                           [promise, input] { promise->reject(input.outcome.asError()); });
      }
    }
    std::sort(steps.begin(), steps.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    auto combined = c.combine(platform::Queue::main(), list);
    int notified = 0;
    combined->observeOnQueue(
        platform::Queue::main(), [&](const ZBLObject&) { ++notified; },
        [&](const platform::ErrorPtr&) { ++notified; });
    // Each promise settles in its own turn of the main queue, so deliveries arrive in step
    // order.
    platform::RunLoop::drain();
    for (auto& [step, settle] : steps) {
      settle();
      platform::RunLoop::drain();
    }
    ASSERT_TRUE(settled(combined));
    list.clear();  // the pending inputs go, so the group can empty
    ASSERT_TRUE(promise_testing::promiseActivityFinished());
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(combined->value(), c.value) << combined->description();
    EXPECT_TRUE(ZBLErrorsEqual(combined->error(), c.error)) << combined->description();
  }
}

TEST_F(ZBLCombinatorsTest, ARaceOverNothingFailsItsCheck) {
  RecordedAssertions assertions;
  ZBLPromise::race({});
  ZBLPromise::all(nullptr, {});
  ZBLPromise::any(nullptr, {});
  EXPECT_THAT(assertions.descriptions(),
              ElementsAre("No promises to observe", "Invalid parameter not satisfying: queue",
                          "Invalid parameter not satisfying: queue"));
}

TEST_F(ZBLCombinatorsTest, CombiningValuesAndErrorsNeedsSettledPromises) {
  auto combined = ZBLPromiseCombineValuesAndErrors(
      {ZBLPromise::resolvedWith(nullptr), ZBLPromise::resolvedWith(testError(1))});
  EXPECT_THAT(combined, ElementsAre(ZBLObject::null(), ZBLObject(testError(1))));

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ZBLPromiseCombineValuesAndErrors({ZBLPromise::pendingPromise()}),
               "!promise.isPending");
}

// Eight threads settle the inputs at the same moment while deliveries run on a concurrent
// queue: the combined promise settles once, with the values in input order.
TEST_F(ZBLCombinatorsTest, SettleOnceUnderConcurrentSettling) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  auto queue = platform::Queue::concurrent("test.combinators");
  const struct {
    const char* name;
    Combinator combine;
  } combinators[] = {{"all", kAll}, {"any", kAny}, {"race", kRace}};
  for (const auto& c : combinators) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < kRounds; ++round) {
      std::vector<ZBLPromisePtr> inputs;
      ZBLObjectList list;
      for (int i = 0; i < kThreads; ++i) {
        inputs.push_back(ZBLPromise::pendingPromise());
        list.push_back(inputs.back());
      }
      auto combined = c.combine(queue, list);
      std::atomic<int> notified{0};
      for (int observer = 0; observer < 3; ++observer) {
        combined->observeOnQueue(
            queue, [&](const ZBLObject&) { ++notified; },
            [&](const platform::ErrorPtr&) { ++notified; });
      }
      std::latch start(kThreads);
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
          start.arrive_and_wait();
          inputs[i]->fulfill(i);
        });
      }
      for (std::thread& thread : threads) thread.join();
      ASSERT_TRUE(promise_testing::promiseActivityFinished());
      EXPECT_EQ(notified, 3);
      ASSERT_TRUE(combined->isFulfilled());
      ZBLObject value = combined->value();
      if (c.combine == kRace) {
        std::int64_t winner = value.asValue()->integerValue();
        EXPECT_TRUE(winner >= 0 && winner < kThreads);
      } else {
        ZBLObjectList expected;
        for (int i = 0; i < kThreads; ++i) expected.push_back(i);
        EXPECT_EQ(value, ZBLObject(expected));
      }
    }
  }
}

}  // namespace
