// The chaining operators, work constructors and completion adapters of ZBLPromise.
#include <atomic>
#include <functional>
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
using testing_support::pumpMainQueueUntil;

class ZBLOperatorsTest : public PromiseTest {};

// The outcome a promise is expected to settle with.
struct Outcome {
  ZBLObject value;
  platform::ErrorPtr error;
};
Outcome fulfilledWith(ZBLObject value) { return {std::move(value), nullptr}; }
Outcome rejectedWith(platform::ErrorPtr error) { return {ZBLObject(), std::move(error)}; }

void expectOutcome(const ZBLPromisePtr& promise, const Outcome& expected) {
  ASSERT_TRUE(settled(promise));
  if (expected.error) {
    ASSERT_TRUE(promise->isRejected()) << promise->description();
    EXPECT_TRUE(ZBLErrorsEqual(promise->error(), expected.error)) << promise->description();
  } else {
    ASSERT_TRUE(promise->isFulfilled()) << promise->description();
    EXPECT_EQ(promise->value(), expected.value);
  }
}

TEST_F(ZBLOperatorsTest, ChainingOperatorsRunTheirCallbackAndSettleTheNewPromise) {
  auto queue = platform::Queue::serial("test.operators");
  // Each operator is applied on `queue`; `calls` counts its callback, which also checks that
  // it runs there.
  using Apply = std::function<ZBLPromisePtr(const ZBLPromisePtr&, const platform::QueuePtr&,
                                            std::atomic<int>& calls)>;
  auto counted = [](const platform::QueuePtr& queue, std::atomic<int>& calls) {
    EXPECT_TRUE(queue->isCurrent());
    ++calls;
  };
  const Apply thenPlusOne = [&](auto p, auto q, auto& calls) {
    return p->then(q, [&, q](const ZBLObject& v) {
      counted(q, calls);
      return ZBLObject(v.asValue()->integerValue() + 1);
    });
  };
  const Apply thenError = [&](auto p, auto q, auto& calls) {
    return p->then(q, [&, q](const ZBLObject&) {
      counted(q, calls);
      return ZBLObject(testError(7));
    });
  };
  const Apply catchError = [&](auto p, auto q, auto& calls) {
    return p->catch_(q, [&, q](const platform::ErrorPtr& e) {
      counted(q, calls);
      EXPECT_EQ(e->code(), 1);
    });
  };
  const Apply always = [&](auto p, auto q, auto& calls) {
    return p->always(q, [&, q] { counted(q, calls); });
  };
  const Apply recoverValue = [&](auto p, auto q, auto& calls) {
    return p->recover(q, [&, q](const platform::ErrorPtr&) {
      counted(q, calls);
      return ZBLObject("recovered");
    });
  };
  const Apply recoverError = [&](auto p, auto q, auto& calls) {
    return p->recover(q, [&, q](const platform::ErrorPtr&) {
      counted(q, calls);
      return ZBLObject(testError(8));
    });
  };
  const Apply validateTrue = [&](auto p, auto q, auto& calls) {
    return p->validate(q, [&, q](const ZBLObject&) {
      counted(q, calls);
      return true;
    });
  };
  const Apply validateFalse = [&](auto p, auto q, auto& calls) {
    return p->validate(q, [&, q](const ZBLObject&) {
      counted(q, calls);
      return false;
    });
  };
  const auto validationFailure =
      platform::makeError(ZBLPromiseErrorDomain, ZBLPromiseErrorCodeValidationFailure);

  const struct {
    const char* name;
    Apply apply;
    bool sourceFulfilled;  // with 1, else rejected with code 1
    int calls;
    Outcome expected;
  } cases[] = {
      {"then on a value", thenPlusOne, true, 1, fulfilledWith(2)},
      {"then returning an error", thenError, true, 1, rejectedWith(testError(7))},
      {"then on an error passes it", thenPlusOne, false, 0, rejectedWith(testError(1))},
      {"catch on a value passes it", catchError, true, 0, fulfilledWith(1)},
      {"catch on an error keeps it", catchError, false, 1, rejectedWith(testError(1))},
      {"always on a value", always, true, 1, fulfilledWith(1)},
      {"always on an error", always, false, 1, rejectedWith(testError(1))},
      {"recover with a value", recoverValue, false, 1, fulfilledWith("recovered")},
      {"recover with an error", recoverError, false, 1, rejectedWith(testError(8))},
      {"recover on a value passes it", recoverValue, true, 0, fulfilledWith(1)},
      {"validate accepting", validateTrue, true, 1, fulfilledWith(1)},
      {"validate refusing", validateFalse, true, 1, rejectedWith(validationFailure)},
      {"validate on an error passes it", validateFalse, false, 0, rejectedWith(testError(1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = ZBLPromise::pendingPromise();
    std::atomic<int> calls{0};
    auto derived = c.apply(source, queue, calls);
    if (c.sourceFulfilled) {
      source->fulfill(1);
    } else {
      source->reject(testError(1));
    }
    expectOutcome(derived, c.expected);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(ZBLOperatorsTest, ThenWaitsForAReturnedPendingPromise) {
  for (bool fulfil : {true, false}) {
    auto inner = ZBLPromise::pendingPromise();
    bool ran = false;
    auto chained = ZBLPromise::resolvedWith(1)->then([&](const ZBLObject&) {
      ran = true;
      return ZBLObject(inner);
    });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return ran; }));
    platform::RunLoop::drain();
    EXPECT_TRUE(chained->isPending());
    if (fulfil) {
      inner->fulfill("late");
      expectOutcome(chained, fulfilledWith("late"));
    } else {
      inner->reject(testError(2));
      expectOutcome(chained, rejectedWith(testError(2)));
    }
  }
}

TEST_F(ZBLOperatorsTest, ReduceCallsTheReducerLinkByLink) {
  std::vector<std::string> calls;
  auto reducer = [&](const ZBLObject& partial, const ZBLObject& item) {
    calls.push_back(partial.description() + "+" + item.description());
    if (*item.asValue()->asString() == "fail") return ZBLObject(testError(3));
    return ZBLObject(partial.description() + *item.asValue()->asString());
  };
  auto source = ZBLPromise::pendingPromise();
  auto reduced = source->reduce(ZBLObjectList{"a", "b"}, reducer);
  auto failed = source->reduce(ZBLObjectList{"fail", "b"}, reducer);
  EXPECT_TRUE(calls.empty()) << "links are built, not run";
  source->fulfill("v");
  expectOutcome(reduced, fulfilledWith("vab"));
  expectOutcome(failed, rejectedWith(testError(3)));
  ASSERT_TRUE(promise_testing::promiseActivityFinished());
  EXPECT_THAT(calls, ::testing::UnorderedElementsAre("v+a", "va+b", "v+fail"));

  EXPECT_EQ(source->reduce(ZBLObjectList{}, reducer), source) << "no items: the receiver itself";
}

TEST_F(ZBLOperatorsTest, WorkConstructorsRunTheWorkLaterOnTheQueue) {
  auto queue = platform::Queue::serial("test.work");
  auto inner = ZBLPromise::resolvedWith("inner");
  auto onQueue = [queue] { EXPECT_TRUE(queue->isCurrent()); };
  using P = ZBLPromise;
  const struct {
    const char* name;
    std::function<ZBLPromisePtr()> make;
    Outcome expected;
  } cases[] = {
      {"async fulfils",
       [&] {
         return P::async(queue, [&](auto fulfill, auto) {
           onQueue();
           fulfill(1);
         });
       },
       fulfilledWith(1)},
      {"async fulfils with an error",
       [&] { return P::async(queue, [](auto fulfill, auto) { fulfill(testError(2)); }); },
       rejectedWith(testError(2))},
      {"async rejects",
       [&] { return P::async(queue, [](auto, auto reject) { reject(testError(3)); }); },
       rejectedWith(testError(3))},
      {"async keeps the first outcome",
       [&] {
         return P::async(queue, [](auto fulfill, auto reject) {
           fulfill("first");
           reject(testError(4));
         });
       },
       fulfilledWith("first")},
      {"async adopts a promise",
       [&] { return P::async(queue, [&](auto fulfill, auto) { fulfill(inner); }); },
       fulfilledWith("inner")},
      {"do returns a value",
       [&] {
         return P::do_(queue, [&] {
           onQueue();
           return ZBLObject(5);
         });
       },
       fulfilledWith(5)},
      {"do returns an error", [&] { return P::do_(queue, [] { return ZBLObject(testError(6)); }); },
       rejectedWith(testError(6))},
      {"do returns a promise", [&] { return P::do_(queue, [&] { return ZBLObject(inner); }); },
       fulfilledWith("inner")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Semaphore gate;
    queue->async([gate]() mutable { gate.wait(); });
    auto promise = c.make();
    EXPECT_TRUE(promise->isPending()) << "the work has not run inside the call";
    gate.signal();
    expectOutcome(promise, c.expected);
  }
}

TEST_F(ZBLOperatorsTest, AsyncSettlesWhenTheFulfilledPromiseDoes) {
  auto inner = ZBLPromise::pendingPromise();
  std::atomic<bool> ran{false};
  auto promise = ZBLPromise::async([&](auto fulfill, auto) {
    fulfill(inner);
    ran = true;
  });
  ASSERT_TRUE(pumpMainQueueUntil([&] { return ran.load(); }));
  platform::RunLoop::drain();
  EXPECT_TRUE(promise->isPending());
  inner->reject(testError(1));
  expectOutcome(promise, rejectedWith(testError(1)));
}

TEST_F(ZBLOperatorsTest, AsyncWorkThatCallsNeitherCallableStaysPending) {
  std::atomic<bool> ran{false};
  ZBLPromise::Fulfill kept;
  auto promise = ZBLPromise::async([&](ZBLPromise::Fulfill fulfill, ZBLPromise::Reject) {
    kept = fulfill;
    ran = true;
  });
  ASSERT_TRUE(pumpMainQueueUntil([&] { return ran.load(); }));
  platform::RunLoop::drain();
  EXPECT_TRUE(promise->isPending());
  kept(ZBLObject("late"));
  expectOutcome(promise, fulfilledWith("late"));
}

TEST_F(ZBLOperatorsTest, CompletionAdaptersMapTheirHandlerCalls) {
  using P = ZBLPromise;
  auto list = [](ZBLObject a, ZBLObject b) { return ZBLObject(ZBLObjectList{a, b}); };
  const struct {
    const char* name;
    std::function<ZBLPromisePtr()> make;
    Outcome expected;
  } cases[] = {
      {"wrapCompletion", [] { return P::wrapCompletion([](auto done) { done(); }); },
       fulfilledWith(nullptr)},
      {"wrapObjectCompletion", [] { return P::wrapObjectCompletion([](auto done) { done("x"); }); },
       fulfilledWith("x")},
      {"wrapObjectCompletion with an error object",
       [] { return P::wrapObjectCompletion([](auto done) { done(testError(1)); }); },
       rejectedWith(testError(1))},
      {"wrapObjectCompletion with a promise",
       [] { return P::wrapObjectCompletion([](auto done) { done(ZBLPromise::resolvedWith(9)); }); },
       fulfilledWith(9)},
      {"wrapErrorCompletion without an error",
       [] { return P::wrapErrorCompletion([](auto done) { done(nullptr); }); },
       fulfilledWith(nullptr)},
      {"wrapErrorCompletion with an error",
       [] { return P::wrapErrorCompletion([](auto done) { done(testError(2)); }); },
       rejectedWith(testError(2))},
      {"wrapObjectOrErrorCompletion with both",
       [] { return P::wrapObjectOrErrorCompletion([](auto done) { done("x", testError(3)); }); },
       rejectedWith(testError(3))},
      {"wrapObjectOrErrorCompletion with an object",
       [] { return P::wrapObjectOrErrorCompletion([](auto done) { done("x", nullptr); }); },
       fulfilledWith("x")},
      {"wrapErrorOrObjectCompletion with an error",
       [] { return P::wrapErrorOrObjectCompletion([](auto done) { done(testError(4), "x"); }); },
       rejectedWith(testError(4))},
      {"wrapErrorOrObjectCompletion with an object",
       [] { return P::wrapErrorOrObjectCompletion([](auto done) { done(nullptr, "x"); }); },
       fulfilledWith("x")},
      {"wrap2ObjectsOrErrorCompletion with nil first",
       [] {
         return P::wrap2ObjectsOrErrorCompletion(
             [](auto done) { done(nullptr, "second", nullptr); });
       },
       fulfilledWith(list(ZBLObject::null(), "second"))},
      {"wrap2ObjectsOrErrorCompletion with an error",
       [] {
         return P::wrap2ObjectsOrErrorCompletion([](auto done) { done("a", "b", testError(5)); });
       },
       rejectedWith(testError(5))},
      {"wrapBoolCompletion with false",
       [] { return P::wrapBoolCompletion([](auto done) { done(false); }); }, fulfilledWith(false)},
      {"wrapBoolOrErrorCompletion",
       [] { return P::wrapBoolOrErrorCompletion([](auto done) { done(true, nullptr); }); },
       fulfilledWith(true)},
      {"wrapBoolOrErrorCompletion with an error",
       [] { return P::wrapBoolOrErrorCompletion([](auto done) { done(true, testError(6)); }); },
       rejectedWith(testError(6))},
      {"wrapIntegerCompletion",
       [] { return P::wrapIntegerCompletion([](auto done) { done(-42); }); }, fulfilledWith(-42)},
      {"wrapIntegerOrErrorCompletion with an error",
       [] { return P::wrapIntegerOrErrorCompletion([](auto done) { done(1, testError(7)); }); },
       rejectedWith(testError(7))},
      {"wrapDoubleCompletion", [] { return P::wrapDoubleCompletion([](auto done) { done(2.5); }); },
       fulfilledWith(2.5)},
      {"wrapDoubleOrErrorCompletion",
       [] { return P::wrapDoubleOrErrorCompletion([](auto done) { done(2.5, nullptr); }); },
       fulfilledWith(2.5)},
      {"a second handler call is ignored",
       [] {
         return P::wrapIntegerOrErrorCompletion([](auto done) {
           done(1, nullptr);
           done(2, testError(8));
         });
       },
       fulfilledWith(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectOutcome(c.make(), c.expected);
  }
  // The value kinds are kept, not merely compared as numbers.
  auto boolean = P::wrapBoolCompletion([](auto done) { done(false); });
  ASSERT_TRUE(settled(boolean));
  EXPECT_TRUE(boolean->value().asValue()->isBool());
}

TEST_F(ZBLOperatorsTest, AWrapHandlerMayBeCalledFromAnyThread) {
  std::thread caller;
  auto promise = ZBLPromise::wrapObjectOrErrorCompletion(
      [&](auto done) { caller = std::thread([done] { done("from a thread", nullptr); }); });
  expectOutcome(promise, fulfilledWith("from a thread"));
  caller.join();
}

TEST_F(ZBLOperatorsTest, FailedArgumentChecksNameTheParameter) {
  RecordedAssertions assertions;
  auto promise = ZBLPromise::resolvedWith(1);
  promise->then(nullptr, nullptr);
  promise->catch_(nullptr, nullptr);
  promise->always(nullptr, nullptr);
  promise->recover(nullptr, nullptr);
  promise->validate(nullptr, nullptr);
  promise->reduce(nullptr, {}, nullptr);
  ZBLPromise::async(nullptr, nullptr);
  ZBLPromise::do_(nullptr, nullptr);
  ZBLPromise::wrapCompletion(nullptr, nullptr);
  const std::string queue = "Invalid parameter not satisfying: queue";
  auto named = [](const char* name) {
    return std::string("Invalid parameter not satisfying: ") + name;
  };
  EXPECT_THAT(assertions.descriptions(),
              ElementsAre(queue, named("work"), queue, named("reject"), queue, named("work"), queue,
                          named("recovery"), queue, named("predicate"), queue, named("reducer"),
                          queue, named("work"), queue, named("work"), queue, named("work")));
}

}  // namespace
