#include "promises/zbl_promise.h"

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "promises/tests/promise_test_support.h"
#include "promises/zbl_object.h"

namespace {

using promise_testing::PromiseTest;
using promise_testing::RecordedAssertions;
using promise_testing::settled;
using promise_testing::testError;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using testing_support::pumpMainQueueUntil;

struct Record {
  int id = 0;
};

struct DescribedRecord {
  std::string description() const { return "record 7"; }
};

// --- ZBLObject -------------------------------------------------------------------------

static_assert(!std::is_constructible_v<ZBLObject, int*>, "a raw pointer is not a Boolean");
static_assert(std::is_constructible_v<ZBLObject, const char*>);

TEST(ZBLObjectTest, HoldsEachKindAndReadsOnlyThatKindBack) {
  auto record = std::make_shared<Record>(Record{3});
  auto promise = ZBLPromise::resolvedWith(1);
  platform::ErrorPtr error = testError(1);
  struct Case {
    const char* name;
    ZBLObject object;
    bool nil, value, placeholder, isError, isPromise, list, isRecord;
  } cases[] = {
      {"nil", ZBLObject(), true, false, false, false, false, false, false},
      {"nullptr", nullptr, true, false, false, false, false, false, false},
      {"null shared_ptr", std::shared_ptr<Record>(), true, false, false, false, false, false,
       false},
      {"number", 42, false, true, false, false, false, false, false},
      {"placeholder", ZBLObject::null(), false, true, true, false, false, false, false},
      {"error", error, false, false, false, true, false, false, false},
      {"promise", promise, false, false, false, false, true, false, false},
      {"list", ZBLObjectList{1, ZBLObject::null()}, false, false, false, false, false, true, false},
      {"record", record, false, false, false, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.object.isNil(), c.nil);
    EXPECT_EQ(c.object.isValue(), c.value);
    EXPECT_EQ(c.object.asValue() != nullptr, c.value);
    EXPECT_EQ(c.object.isNullPlaceholder(), c.placeholder);
    EXPECT_EQ(c.object.isError(), c.isError);
    EXPECT_EQ(c.object.asError() != nullptr, c.isError);
    EXPECT_EQ(c.object.isPromise(), c.isPromise);
    EXPECT_EQ(c.object.asPromise() != nullptr, c.isPromise);
    EXPECT_EQ(c.object.asList() != nullptr, c.list);
    EXPECT_EQ(c.object.is<Record>(), c.isRecord);
    EXPECT_EQ(c.object.as<Record>() != nullptr, c.isRecord);
    EXPECT_FALSE(c.object.is<DescribedRecord>());
  }
  EXPECT_EQ(ZBLObject(record).as<Record>(), record);
  EXPECT_EQ(ZBLObject(promise).asPromise(), promise);
  EXPECT_EQ(ZBLObject(error).asError(), error);
  EXPECT_EQ(ZBLObject(42).asValue()->asInt(), 42);
}

TEST(ZBLObjectTest, AnErrorOfADerivedTypeIsAnError) {
  struct SpecialError : platform::Error {
    SpecialError() : platform::Error("test.special", 9) {}
  };
  ZBLObject object(std::make_shared<SpecialError>());
  ASSERT_TRUE(object.isError());
  EXPECT_EQ(object.asError()->code(), 9);
}

TEST(ZBLObjectTest, EqualityIsThatOfThePlatformObjects) {
  auto record = std::make_shared<Record>();
  auto withInfo = platform::makeError("test.promises", 1, {{"key", "value"}});
  const struct {
    const char* name;
    ZBLObject a, b;
    bool equal;
  } cases[] = {
      {"nil and nil", ZBLObject(), ZBLObject(), true},
      {"nil and placeholder", ZBLObject(), ZBLObject::null(), false},
      {"numbers across kinds", 1, true, true},
      {"different strings", "a", "b", false},
      {"errors with the same domain and code", testError(1), testError(1), true},
      {"errors with different user info", testError(1), withInfo, false},
      {"lists element by element", ZBLObjectList{1, "a"}, ZBLObjectList{1, "a"}, true},
      {"lists of different lengths", ZBLObjectList{1}, ZBLObjectList{1, 2}, false},
      {"the same record", record, record, true},
      {"two records", record, std::make_shared<Record>(), false},
      {"a value and a list", 1, ZBLObjectList{1}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
  }
}

TEST(ZBLObjectTest, DescribesEachKind) {
  EXPECT_EQ(ZBLObject().description(), "(null)");
  EXPECT_EQ(ZBLObject(42).description(), "42");
  EXPECT_EQ(ZBLObject(ZBLObjectList{1, ZBLObject::null()}).description(),
            "(\n    1,\n    <null>\n)");
  EXPECT_EQ(ZBLObject(ZBLObjectList{}).description(), "()");
  EXPECT_EQ(ZBLObject(std::make_shared<DescribedRecord>()).description(), "record 7");
  EXPECT_THAT(ZBLObject(std::make_shared<Record>()).description(),
              MatchesRegex("<.*Record: 0x[0-9a-f]+>"));
  EXPECT_THAT(ZBLObject(testError(3)).description(), HasSubstr("Code=3"));
}

// --- Settling --------------------------------------------------------------------------

class ZBLPromiseTest : public PromiseTest {};

TEST_F(ZBLPromiseTest, SettlesOnceWithTheFirstOutcome) {
  const struct {
    const char* name;
    std::function<void(ZBLPromise&)> settle;
    bool fulfilled;
    ZBLObject value;
    platform::ErrorPtr error;
  } cases[] = {
      {"fulfil", [](ZBLPromise& p) { p.fulfill(1); }, true, 1, nullptr},
      {"fulfil with nil", [](ZBLPromise& p) { p.fulfill(nullptr); }, true, ZBLObject(), nullptr},
      {"fulfil with an error rejects", [](ZBLPromise& p) { p.fulfill(testError(1)); }, false,
       ZBLObject(), testError(1)},
      {"reject", [](ZBLPromise& p) { p.reject(testError(2)); }, false, ZBLObject(), testError(2)},
      {"fulfil twice",
       [](ZBLPromise& p) {
         p.fulfill(1);
         p.fulfill(2);
       },
       true, 1, nullptr},
      {"reject after fulfil",
       [](ZBLPromise& p) {
         p.fulfill(1);
         p.reject(testError(1));
       },
       true, 1, nullptr},
      {"fulfil after reject",
       [](ZBLPromise& p) {
         p.reject(testError(1));
         p.fulfill(1);
       },
       false, ZBLObject(), testError(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = ZBLPromise::pendingPromise();
    std::vector<std::string> calls;
    promise->observeOnQueue(
        platform::Queue::main(),
        [&](const ZBLObject& value) { calls.push_back("fulfil " + value.description()); },
        [&](const platform::ErrorPtr& error) {
          calls.push_back("reject " + std::to_string(error->code()));
        });
    c.settle(*promise);
    EXPECT_TRUE(calls.empty()) << "called inside the settling call";
    ASSERT_TRUE(promise_testing::promiseActivityFinished());
    EXPECT_FALSE(promise->isPending());
    EXPECT_EQ(promise->isFulfilled(), c.fulfilled);
    EXPECT_EQ(promise->isRejected(), !c.fulfilled);
    EXPECT_EQ(promise->value(), c.value);
    EXPECT_TRUE(ZBLErrorsEqual(promise->error(), c.error));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], c.fulfilled ? "fulfil " + c.value.description()
                                    : "reject " + std::to_string(c.error->code()));
  }
}

TEST_F(ZBLPromiseTest, ResolvedWithMakesASettledPromiseOutsideTheGroup) {
  auto pendingElsewhere = ZBLPromise::pendingPromise();
  auto inner = ZBLPromise::pendingPromise();
  auto nilValue = ZBLPromise::resolvedWith(nullptr);
  auto rejected = ZBLPromise::resolvedWith(testError(4));
  auto holdingPromise = ZBLPromise::resolvedWith(inner);
  pendingElsewhere.reset();
  inner->fulfill(1);
  EXPECT_TRUE(ZBLPromise::dispatchGroup().wait(0)) << "settled promises are not in the group";

  EXPECT_TRUE(nilValue->isFulfilled());
  EXPECT_TRUE(nilValue->value().isNil());
  EXPECT_TRUE(rejected->isRejected());
  EXPECT_EQ(rejected->error()->code(), 4);
  EXPECT_TRUE(holdingPromise->isFulfilled()) << "a promise value is held, not adopted";
  EXPECT_EQ(holdingPromise->value().asPromise(), inner);
}

TEST_F(ZBLPromiseTest, ObserversRunOnceInRegistrationOrderOnTheirQueues) {
  auto serial = platform::Queue::serial("test.observers");
  auto promise = ZBLPromise::pendingPromise();
  std::mutex mutex;
  std::vector<std::string> order;
  auto observe = [&](const platform::QueuePtr& queue, std::string name) {
    promise->observeOnQueue(
        queue,
        [&, queue, name](const ZBLObject&) {
          EXPECT_TRUE(queue->isCurrent()) << name;
          std::lock_guard lock(mutex);
          order.push_back(name);
        },
        [](const platform::ErrorPtr&) { ADD_FAILURE() << "rejected"; });
  };
  observe(platform::Queue::main(), "main 1");
  observe(serial, "serial 1");
  observe(platform::Queue::main(), "main 2");
  observe(serial, "serial 2");
  promise->fulfill(1);
  observe(platform::Queue::main(), "main 3 after settling");
  observe(serial, "serial 3 after settling");
  {
    std::lock_guard lock(mutex);
    EXPECT_THAT(order, Each(StartsWith("serial"))) << "main-queue callbacks wait for the run loop";
  }
  ASSERT_TRUE(promise_testing::promiseActivityFinished());

  std::vector<std::string> onMain, onSerial;
  for (const std::string& name : order)
    (name.starts_with("main") ? onMain : onSerial).push_back(name);
  EXPECT_THAT(onMain, ElementsAre("main 1", "main 2", "main 3 after settling"));
  EXPECT_THAT(onSerial, ElementsAre("serial 1", "serial 2", "serial 3 after settling"));
}

TEST_F(ZBLPromiseTest, ChainSettlesFromTheHandlersResolution) {
  enum class Source { Fulfilled, Rejected };
  const struct {
    const char* name;
    Source source;
    ZBLPromise::ChainedFulfill onFulfill;
    ZBLPromise::ChainedReject onReject;
    ZBLObject value;
    platform::ErrorPtr error;
  } cases[] = {
      {"plain value fulfils", Source::Fulfilled,
       [](const ZBLObject& v) { return ZBLObject(v.asValue()->integerValue() + 1); }, nullptr, 2,
       nullptr},
      {"error rejects", Source::Fulfilled, [](const ZBLObject&) { return ZBLObject(testError(5)); },
       nullptr, ZBLObject(), testError(5)},
      {"no fulfil handler passes the value", Source::Fulfilled, nullptr, nullptr, 1, nullptr},
      {"no reject handler passes the error", Source::Rejected,
       [](const ZBLObject&) { return ZBLObject(99); }, nullptr, ZBLObject(), testError(1)},
      {"reject handler recovers with a value", Source::Rejected, nullptr,
       [](const platform::ErrorPtr&) { return ZBLObject("recovered"); }, "recovered", nullptr},
      {"settled promise is adopted", Source::Fulfilled,
       [](const ZBLObject&) { return ZBLObject(ZBLPromise::resolvedWith(7)); }, nullptr, 7,
       nullptr},
      {"rejected promise is adopted", Source::Rejected, nullptr,
       [](const platform::ErrorPtr&) { return ZBLObject(ZBLPromise::resolvedWith(testError(6))); },
       ZBLObject(), testError(6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = c.source == Source::Fulfilled ? ZBLPromise::resolvedWith(1)
                                                : ZBLPromise::resolvedWith(testError(1));
    auto chained = source->chainOnQueue(platform::Queue::main(), c.onFulfill, c.onReject);
    ASSERT_TRUE(settled(chained));
    EXPECT_EQ(chained->value(), c.value);
    EXPECT_TRUE(ZBLErrorsEqual(chained->error(), c.error));
  }
}

TEST_F(ZBLPromiseTest, ChainAdoptsAPendingPromiseOneLevelDeep) {
  auto inner = ZBLPromise::pendingPromise();
  bool handled = false;
  auto chained = ZBLPromise::resolvedWith(1)->chainOnQueue(
      platform::Queue::main(),
      [&](const ZBLObject&) {
        handled = true;
        return ZBLObject(inner);
      },
      nullptr);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return handled; }));
  platform::RunLoop::drain();
  EXPECT_TRUE(chained->isPending()) << "waits for the returned promise";

  auto innermost = ZBLPromise::resolvedWith(3);
  inner->fulfill(innermost);
  ASSERT_TRUE(settled(chained));
  EXPECT_EQ(chained->value().asPromise(), innermost) << "the promise value is not unwrapped";
}

TEST_F(ZBLPromiseTest, HoldsPendingObjectsUntilItSettles) {
  auto promise = ZBLPromise::pendingPromise();
  auto held = std::make_shared<Record>();
  std::weak_ptr<Record> watch = held;
  promise->addPendingObject(std::move(held));
  EXPECT_FALSE(watch.expired());
  promise->fulfill(1);
  EXPECT_TRUE(watch.expired()) << "released at settlement";

  auto late = std::make_shared<Record>();
  std::weak_ptr<Record> lateWatch = late;
  promise->addPendingObject(std::move(late));
  EXPECT_TRUE(lateWatch.expired()) << "a settled promise holds nothing";
}

TEST_F(ZBLPromiseTest, APendingPromiseDestroyedLeavesTheGroupWithoutCallingObservers) {
  auto& group = ZBLPromise::dispatchGroup();
  ASSERT_TRUE(group.wait(0));
  auto promise = ZBLPromise::pendingPromise();
  bool called = false;
  promise->observeOnQueue(
      platform::Queue::main(), [&](const ZBLObject&) { called = true; },
      [&](const platform::ErrorPtr&) { called = true; });
  EXPECT_FALSE(group.wait(0));
  promise.reset();
  EXPECT_TRUE(group.wait(0));
  platform::RunLoop::drain();
  EXPECT_FALSE(called);
}

// Each link is held by the observer of the one before it; letting go of the head must not
// take one level of stack per link.
TEST_F(ZBLPromiseTest, DroppingALongPendingChainDoesNotExhaustTheStack) {
  auto head = ZBLPromise::pendingPromise();
  std::weak_ptr<ZBLPromise> tail;
  {
    ZBLPromisePtr link = head;
    for (int i = 0; i < 20'000; ++i)
      link = link->then([](const ZBLObject& value) { return value; });
    tail = link;
  }
  EXPECT_FALSE(tail.expired());
  head.reset();
  EXPECT_TRUE(tail.expired());
}

TEST_F(ZBLPromiseTest, TheGroupHoldsDeliveriesUntilTheyHaveRun) {
  auto& group = ZBLPromise::dispatchGroup();
  auto promise = ZBLPromise::pendingPromise();
  promise->observeOnQueue(
      platform::Queue::main(), [](const ZBLObject&) {}, [](const platform::ErrorPtr&) {});
  promise->fulfill(1);
  EXPECT_FALSE(group.wait(0)) << "the delivery is still queued";
  platform::RunLoop::drain();
  EXPECT_TRUE(group.wait(0));
}

TEST_F(ZBLPromiseTest, DescribesItsState) {
  auto pending = ZBLPromise::pendingPromise();
  EXPECT_THAT(pending->description(), MatchesRegex("<ZBLPromise 0x[0-9a-f]+> Pending"));
  EXPECT_THAT(ZBLPromise::resolvedWith(42)->description(),
              MatchesRegex("<ZBLPromise 0x[0-9a-f]+> Fulfilled: 42"));
  EXPECT_THAT(ZBLPromise::resolvedWith(nullptr)->description(), HasSubstr("> Fulfilled: (null)"));
  EXPECT_THAT(ZBLPromise::resolvedWith(testError(3))->description(),
              HasSubstr("> Rejected: Error Domain=test.promises Code=3"));
}

TEST_F(ZBLPromiseTest, ThePlainFormsUseTheDefaultQueue) {
  EXPECT_EQ(ZBLPromise::defaultDispatchQueue(), platform::Queue::main());
  auto serial = platform::Queue::serial("test.default");
  ZBLPromise::setDefaultDispatchQueue(serial);
  std::atomic<bool> onSerial{false};
  auto chained = ZBLPromise::resolvedWith(1)->then([&](const ZBLObject& value) {
    onSerial = serial->isCurrent();
    return value;
  });
  ZBLPromise::setDefaultDispatchQueue(platform::Queue::main());
  ASSERT_TRUE(settled(chained));
  EXPECT_TRUE(onSerial);
}

TEST_F(ZBLPromiseTest, FailedArgumentChecksReportAndChangeNothing) {
  RecordedAssertions assertions;
  auto promise = ZBLPromise::pendingPromise();
  promise->observeOnQueue(nullptr, nullptr, nullptr);
  promise->addPendingObject(nullptr);
  EXPECT_TRUE(promise->chainOnQueue(nullptr, nullptr, nullptr)->isPending());
  ZBLPromise::setDefaultDispatchQueue(nullptr);
  EXPECT_THROW(promise->reject(nullptr), platform::Exception);
  EXPECT_THAT(assertions.descriptions(),
              ElementsAre("Invalid parameter not satisfying: queue",
                          "Invalid parameter not satisfying: onFulfill",
                          "Invalid parameter not satisfying: onReject",
                          "Invalid parameter not satisfying: object",
                          "Invalid parameter not satisfying: queue",
                          "Invalid parameter not satisfying: queue", "Invalid error type."));
  EXPECT_TRUE(promise->isPending());
  EXPECT_EQ(ZBLPromise::defaultDispatchQueue(), platform::Queue::main());
}

TEST_F(ZBLPromiseTest, TheDefaultAssertionHandlerRaises) {
  auto promise = ZBLPromise::pendingPromise();
  try {
    promise->observeOnQueue(
        nullptr, [](const ZBLObject&) {}, [](const platform::ErrorPtr&) {});
    FAIL() << "no exception";
  } catch (const platform::Exception& exception) {
    EXPECT_EQ(exception.reason(), "Invalid parameter not satisfying: queue");
  }
  EXPECT_THROW(promise->reject(nullptr), platform::Exception);
  EXPECT_TRUE(promise->isPending());
}

// Many threads settling and observing one promise at once: one outcome wins, and every
// observer runs exactly once with it.
TEST_F(ZBLPromiseTest, ConcurrentSettlingAndObservingIsSafe) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  auto queue = platform::Queue::concurrent("test.concurrent");
  for (int round = 0; round < kRounds; ++round) {
    auto promise = ZBLPromise::pendingPromise();
    std::atomic<int> calls{0};
    std::atomic<int> sawWinner{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        promise->observeOnQueue(
            queue,
            [&](const ZBLObject& value) {
              ++calls;
              if (promise->value() == value) ++sawWinner;
            },
            [&](const platform::ErrorPtr& error) {
              ++calls;
              if (promise->error() == error) ++sawWinner;
            });
        if (i % 2 == 0) {
          promise->fulfill(i);
        } else {
          promise->reject(testError(i));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(promise_testing::promiseActivityFinished());
    EXPECT_EQ(calls, kThreads);
    EXPECT_EQ(sawWinner, kThreads);
  }
}

}  // namespace
