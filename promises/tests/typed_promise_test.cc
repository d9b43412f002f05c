// Promise<T>: bridging, PromiseError, Maybe, the typed operators and the typed adapters.
#include "promises/promise.h"

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "promises/tests/promise_test_support.h"
#include "tests/support/main_queue.h"

namespace {

using promise_testing::PromiseTest;
using promise_testing::testError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::pumpMainQueueUntil;

struct Record {
  int id = 0;
  friend bool operator==(const Record&, const Record&) = default;
};

template <typename T> [[nodiscard]] ::testing::AssertionResult settled(const Promise<T>& promise) {
  return promise_testing::settled(promise.objCPromise());
}

class TypedPromiseTest : public PromiseTest {};

// --- PromiseError and Maybe ------------------------------------------------------------

TEST(PromiseErrorTest, StandsForTheOperatorsOwnErrorObjects) {
  for (PromiseError error :
       {PromiseError(PromiseError::timedOut), PromiseError(PromiseError::validationFailure)}) {
    platform::ErrorPtr object = error.error();
    EXPECT_EQ(object->domain(), "com.rerora.ZBLPromises.Error");
    EXPECT_EQ(object->code(), error == PromiseError::timedOut ? 1 : 2);
    EXPECT_TRUE(object->userInfo().empty());
    EXPECT_EQ(PromiseError::from(object), error);
  }
  const struct {
    const char* name;
    platform::ErrorPtr error;
  } others[] = {
      {"code 3", platform::makeError("com.rerora.ZBLPromises.Error", 3)},
      {"code 1 of another domain", platform::makeError("com.rerora.Other", 1)},
      {"null", nullptr},
  };
  for (const auto& other : others)
    EXPECT_EQ(PromiseError::from(other.error), std::nullopt) << other.name;
}

TEST(PromiseErrorTest, ComparesAndHashesByCase) {
  PromiseError timedOut = PromiseError::timedOut;
  EXPECT_EQ(timedOut, PromiseError(PromiseError::timedOut));
  EXPECT_NE(timedOut, PromiseError(PromiseError::validationFailure));
  std::unordered_set<PromiseError> set{PromiseError::timedOut, PromiseError::validationFailure,
                                       PromiseError::timedOut};
  EXPECT_EQ(set.size(), 2u);
}

TEST(MaybeTest, HoldsAValueOrAnErrorAndComparesThem) {
  Maybe<int> value(5);
  Maybe<int> error(testError(1));
  EXPECT_EQ(value.value(), 5);
  EXPECT_EQ(value.error(), nullptr);
  EXPECT_EQ(error.value(), std::nullopt);
  EXPECT_EQ(error.error()->code(), 1);
  const struct {
    const char* name;
    Maybe<int> a, b;
    bool equal;
  } cases[] = {
      {"equal values", 5, 5, true},
      {"different values", 5, 6, false},
      {"equal error objects", testError(1), testError(1), true},
      {"different user info", testError(1), platform::makeError("test.promises", 1, {{"k", 1}}),
       false},
      {"a value and an error", 5, testError(1), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.a != c.b, !c.equal) << c.name;
  }
}

// --- Bridging --------------------------------------------------------------------------

template <typename T> void expectRoundTrip(const T& value, const char* name) {
  SCOPED_TRACE(name);
  auto promise = Promise<T>::pending();
  promise.fulfill(value);
  ASSERT_TRUE(promise.isFulfilled());
  EXPECT_FALSE(promise.objCPromise()->value().isNil());
  ASSERT_TRUE(promise.value().has_value());
  EXPECT_TRUE(*promise.value() == value);
}

TEST_F(TypedPromiseTest, ValuesComeBackAsTheyWentIn) {
  expectRoundTrip(42, "int");
  expectRoundTrip<std::int64_t>(-(std::int64_t{1} << 40), "int64");
  expectRoundTrip<std::uint64_t>(~std::uint64_t{0}, "uint64");
  expectRoundTrip(false, "bool");
  expectRoundTrip(2.5, "double");
  expectRoundTrip(std::string("text"), "string");
  expectRoundTrip(platform::Value(platform::Dictionary{{"k", 1}}), "Value");
  expectRoundTrip(platform::Dictionary{{"k", "v"}}, "Dictionary");
  expectRoundTrip(platform::Array{1, "a"}, "Array");
  expectRoundTrip(std::vector<int>{1, 2, 3}, "vector");
  expectRoundTrip(std::vector<std::optional<int>>{1, std::nullopt}, "vector of optionals");
  expectRoundTrip(std::optional<int>(5), "optional");
  expectRoundTrip(std::tuple<int, std::string>(1, "a"), "tuple");
  expectRoundTrip(Record{4}, "record by value");
  auto record = std::make_shared<Record>(Record{5});
  expectRoundTrip(record, "record by reference");
  expectRoundTrip(ZBLObject("object"), "object");
}

TEST_F(TypedPromiseTest, ValuesAreStoredInTheirObjectForm) {
  auto number = Promise<int>::pending();
  number.fulfill(3);
  EXPECT_EQ(number.objCPromise()->value(), ZBLObject(3));

  auto list = Promise<std::vector<int>>::pending();
  list.fulfill({1, 2});
  EXPECT_EQ(list.objCPromise()->value(), ZBLObject(ZBLObjectList{1, 2}));

  auto record = std::make_shared<Record>();
  auto shared = Promise<std::shared_ptr<Record>>::pending();
  shared.fulfill(record);
  EXPECT_EQ(shared.objCPromise()->value().as<Record>(), record);
}

TEST_F(TypedPromiseTest, AnAbsentOptionalIsStoredAsNil) {
  auto promise = Promise<std::optional<int>>::pending();
  EXPECT_EQ(promise.value(), std::nullopt);
  promise.fulfill(std::nullopt);
  EXPECT_TRUE(promise.isFulfilled());
  EXPECT_TRUE(promise.objCPromise()->value().isNil());
  EXPECT_EQ(promise.value(), std::nullopt) << "as for a pending promise";
  EXPECT_EQ(promise.description(), "Fulfilled: nil");
}

TEST_F(TypedPromiseTest, ErrorsKeepTheirObjectsAndPromiseErrorsReadBack) {
  auto timedOut = Promise<int>::pending();
  timedOut.reject(PromiseError::timedOut);
  EXPECT_EQ(timedOut.error()->domain(), "com.rerora.ZBLPromises.Error");
  EXPECT_EQ(timedOut.error()->code(), 1);
  EXPECT_EQ(PromiseError::from(timedOut.error()), PromiseError::timedOut);

  auto other = platform::makeError("com.rerora.ZBLPromises.Error", 3);
  auto rejected = Promise<int>(other);
  EXPECT_EQ(rejected.error(), other) << "handed on as that very error object";
  EXPECT_EQ(PromiseError::from(rejected.error()), std::nullopt);
}

TEST_F(TypedPromiseTest, AValueProducingCallableSettlesAtOnce) {
  auto same = ZBLPromise::pendingPromise();
  Promise<int> fromValue([] { return 5; });
  Promise<int> fromError([] { return testError(1); });
  Promise<int> fromPromise([&] { return same; });
  Promise<int> fromThrow([]() -> int { throw platform::Error("test.promises", 2); });
  Promise<int> fromPromiseError([]() -> int { throw PromiseError::validationFailure; });
  EXPECT_EQ(fromValue.value(), 5);
  EXPECT_TRUE(fromError.isRejected()) << "an error is not a value";
  EXPECT_EQ(fromError.error()->code(), 1);
  EXPECT_EQ(fromPromise.objCPromise(), same);
  EXPECT_EQ(fromThrow.error()->code(), 2);
  EXPECT_EQ(PromiseError::from(fromPromiseError.error()), PromiseError::validationFailure);
  same->fulfill(8);
  EXPECT_EQ(fromPromise.value(), 8) << "settling the object settles the wrapper";
}

TEST_F(TypedPromiseTest, DescribesItsState) {
  EXPECT_EQ(Promise<int>::pending().description(), "Pending: int");
  EXPECT_EQ(Promise<platform::Value>::pending().description(), "Pending: Value");
  EXPECT_EQ(Promise<int>([] { return 5; }).description(), "Fulfilled: 5");
  EXPECT_THAT(Promise<int>(testError(4)).description(),
              HasSubstr("Rejected: Error Domain=test.promises Code=4"));
}

TEST_F(TypedPromiseTest, AValueOfAnotherTypeBreaksThePrecondition) {
  Promise<int> mistyped(ZBLPromise::resolvedWith("text"));
  EXPECT_THROW(mistyped.value(), platform::Exception);
}

// --- Typed operators -------------------------------------------------------------------

TEST_F(TypedPromiseTest, ThenHasThreeForms) {
  auto source = Promise<int>::pending();
  int seen = 0;
  auto same = source.then([&](int value) { seen = value; });
  auto text = source.then([](int value) { return std::to_string(value); });
  auto adopted =
      source.then([](int value) { return Promise<double>([=] { return value / 2.0; }); });
  auto none = source.then([](int) { return std::optional<std::string>(); });
  auto thrown = source.then([](int) { throw testError(9); });
  static_assert(std::is_same_v<decltype(same), Promise<int>>);
  static_assert(std::is_same_v<decltype(text), Promise<std::string>>);
  static_assert(std::is_same_v<decltype(adopted), Promise<double>>);
  source.fulfill(7);
  ASSERT_TRUE(settled(same));
  ASSERT_TRUE(settled(text));
  ASSERT_TRUE(settled(adopted));
  ASSERT_TRUE(settled(none));
  ASSERT_TRUE(settled(thrown));
  EXPECT_EQ(seen, 7);
  EXPECT_EQ(same.value(), 7);
  EXPECT_EQ(text.value(), "7");
  EXPECT_EQ(adopted.value(), 3.5);
  EXPECT_TRUE(none.isFulfilled());
  EXPECT_EQ(none.value(), std::nullopt);
  EXPECT_EQ(thrown.error()->code(), 9);
}

TEST_F(TypedPromiseTest, ErrorsReachCatchRecoverAndValidate) {
  testing_support::ManualClockScope clock;
  std::optional<PromiseError> caught;
  std::optional<Promise<int>> stalled = Promise<int>::pending();
  auto timedOut = stalled->timeout(1).catch_(
      [&](const platform::ErrorPtr& error) { caught = PromiseError::from(error); });
  clock.advance(1);
  ASSERT_TRUE(settled(timedOut));
  stalled.reset();
  EXPECT_EQ(caught, PromiseError::timedOut);
  EXPECT_EQ(PromiseError::from(timedOut.error()), PromiseError::timedOut);

  auto refused = Promise<int>([] { return 3; }).validate([](int value) { return value > 5; });
  ASSERT_TRUE(settled(refused));
  EXPECT_EQ(PromiseError::from(refused.error()), PromiseError::validationFailure);

  auto failed = Promise<int>(testError(1));
  auto recoveredValue = failed.recover(
      [](const platform::ErrorPtr& error) { return static_cast<int>(error->code()) + 10; });
  auto recoveredPromise =
      failed.recover([](const platform::ErrorPtr&) { return Promise<int>([] { return 20; }); });
  auto rethrown = failed.recover([](const platform::ErrorPtr&) -> int { throw testError(2); });
  int always = 0;
  auto kept = failed.always([&] { ++always; });
  ASSERT_TRUE(promise_testing::promiseActivityFinished());
  EXPECT_EQ(recoveredValue.value(), 11);
  EXPECT_EQ(recoveredPromise.value(), 20);
  EXPECT_EQ(rethrown.error()->code(), 2);
  EXPECT_EQ(kept.error()->code(), 1);
  EXPECT_EQ(always, 1);
}

TEST_F(TypedPromiseTest, RetryConditionSeesTheErrorObject) {
  testing_support::ManualClockScope clock;
  std::vector<platform::ErrorPtr> seen;
  int runs = 0;
  auto retried = Promise<std::string>::retry(
      platform::Queue::main(), 1, 1.0,
      [&](std::int64_t remaining, const platform::ErrorPtr& error) {
        EXPECT_EQ(remaining, 1);
        seen.push_back(error);
        return true;
      },
      [&] {
        ++runs;
        if (runs == 1) return Promise<std::string>(PromiseError::timedOut);
        return Promise<std::string>([] { return std::string("done"); });
      });
  platform::RunLoop::drain();
  clock.advance(1);
  ASSERT_TRUE(settled(retried));
  EXPECT_EQ(retried.value(), "done");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]->domain(), "com.rerora.ZBLPromises.Error");
  EXPECT_EQ(seen[0]->code(), 1);
}

TEST_F(TypedPromiseTest, AllGivesTheValuesInInputOrder) {
  auto number = Promise<int>::pending();
  auto text = Promise<std::string>::pending();
  auto pair = all(number, text);
  static_assert(std::is_same_v<decltype(pair), Promise<std::tuple<int, std::string>>>);
  text.fulfill("text");
  number.fulfill(1);
  ASSERT_TRUE(settled(pair));
  EXPECT_EQ(pair.value(), std::make_tuple(1, std::string("text")));

  auto failing = all(Promise<int>([] { return 1; }), Promise<std::string>(testError(3)),
                     Promise<bool>([] { return true; }));
  ASSERT_TRUE(settled(failing));
  EXPECT_EQ(failing.error()->code(), 3);

  // The list form, as the session and crash code use it.
  std::vector<Promise<bool>> flags{Promise<bool>::pending(), Promise<bool>::pending()};
  auto both = Promise<bool>::all(platform::Queue::main(), flags);
  flags[1].fulfill(false);
  EXPECT_TRUE(both.isPending());
  flags[0].fulfill(true);
  ASSERT_TRUE(settled(both));
  EXPECT_EQ(both.value(), (std::vector<bool>{true, false}));
}

TEST_F(TypedPromiseTest, AnyGivesEachOutcomeInInputOrder) {
  auto outcomes = Promise<int>::any(
      {Promise<int>([] { return 1; }), Promise<int>(testError(2)), Promise<int>([] { return 3; })});
  ASSERT_TRUE(settled(outcomes));
  EXPECT_THAT(*outcomes.value(),
              ElementsAre(Maybe<int>(1), Maybe<int>(testError(2)), Maybe<int>(3)));

  auto mixed =
      any(Promise<int>(testError(1)), Promise<std::string>([] { return std::string("s"); }));
  ASSERT_TRUE(settled(mixed));
  auto [first, second] = *mixed.value();
  EXPECT_EQ(first.error()->code(), 1);
  EXPECT_EQ(second.value(), "s");

  auto none = Promise<int>::any({Promise<int>(testError(1)), Promise<int>(testError(2))});
  ASSERT_TRUE(settled(none));
  EXPECT_TRUE(none.isRejected());
}

TEST_F(TypedPromiseTest, RaceTakesTheFirstOutcome) {
  auto slow = Promise<int>::pending();
  auto fast = Promise<int>::pending();
  auto winner = Promise<int>::race({slow, fast});
  platform::RunLoop::drain();
  fast.fulfill(2);
  platform::RunLoop::drain();
  slow.fulfill(1);
  ASSERT_TRUE(settled(winner));
  EXPECT_EQ(winner.value(), 2);
}

TEST_F(TypedPromiseTest, ReduceChainsOneStepPerItem) {
  auto start = Promise<int>([] { return 0; });
  auto sum = [](int partial, int item) { return Promise<int>([=] { return partial + item; }); };
  EXPECT_EQ(start.reduce(std::vector<int>{}, sum).objCPromise(), start.objCPromise())
      << "no items: the receiver itself";
  auto total = start.reduce(std::vector<int>{1, 2, 3}, sum);
  ASSERT_TRUE(settled(total));
  EXPECT_EQ(total.value(), 6);
}

TEST_F(TypedPromiseTest, ADroppedResultWhoseChainIsPendingStillSettlesItsObservers) {
  auto source = Promise<int>::pending();
  std::optional<int> observed;
  {
    auto doubled = source.then([](int value) { return value * 2; });
    doubled.then([&](int value) { observed = value; });
  }
  source.fulfill(21);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return observed.has_value(); }));
  EXPECT_EQ(observed, 42);
}

TEST_F(TypedPromiseTest, WorkConstructorsAndAwait) {
  auto queue = platform::Queue::serial("test.typed");
  Promise<int> async(queue,
                     [](Promise<int>::Fulfill fulfill, Promise<int>::Reject) { fulfill(1); });
  Promise<int> asyncThrows(queue, [](auto, auto) { throw testError(2); });
  Promise<int> doValue(queue, [] { return 3; });
  Promise<int> doPromise(queue, [] { return Promise<int>([] { return 4; }); });
  Promise<int> doThrows(queue, []() -> int { throw PromiseError::timedOut; });
  EXPECT_EQ(Promise<int>::await(async), 1);
  EXPECT_EQ(Promise<int>::await(doValue), 3);
  EXPECT_EQ(Promise<int>::await(doPromise), 4);
  try {
    Promise<int>::await(asyncThrows);
    ADD_FAILURE() << "await did not throw";
  } catch (const platform::ErrorPtr& error) {
    EXPECT_EQ(error->code(), 2);
  }
  try {
    Promise<int>::await(doThrows);
    ADD_FAILURE() << "await did not throw";
  } catch (const platform::ErrorPtr& error) {
    EXPECT_EQ(PromiseError::from(error), PromiseError::timedOut);
  }
}

TEST_F(TypedPromiseTest, DelayPostponesTheValue) {
  testing_support::ManualClockScope clock;
  auto delayed = Promise<int>([] { return 1; }).delay(2);
  platform::RunLoop::drain();
  clock.advance(1.5);
  platform::RunLoop::drain();
  EXPECT_TRUE(delayed.isPending());
  clock.advance(0.5);
  ASSERT_TRUE(settled(delayed));
  EXPECT_EQ(delayed.value(), 1);
}

// --- Typed completion adapters ---------------------------------------------------------

TEST_F(TypedPromiseTest, WrapMapsEachHandlerShape) {
  using OptionalInt = Promise<std::optional<int>>;
  using Pair = Promise<std::tuple<std::optional<int>, std::optional<std::string>>>;
  auto nothing = OptionalInt::wrap([](OptionalInt::Completion done) { done(); });
  auto value = Promise<int>::wrap([](Promise<int>::ValueCompletion done) { done(1); });
  auto bothAbsent = OptionalInt::wrap(
      [](OptionalInt::ValueOrErrorCompletion done) { done(std::nullopt, nullptr); });
  auto valueAndError =
      Promise<int>::wrap([](Promise<int>::ValueOrErrorCompletion done) { done(5, testError(1)); });
  auto errorFirst =
      Promise<int>::wrap([](Promise<int>::ErrorOrValueCompletion done) { done(nullptr, 6); });
  auto pair = Pair::wrap(
      [](std::function<void(std::optional<int>, std::optional<std::string>, platform::ErrorPtr)>
             done) { done(std::nullopt, "2", nullptr); });
  auto twice = Promise<int>::wrap([](Promise<int>::ValueOrErrorCompletion done) {
    done(1, nullptr);
    done(2, testError(2));
  });
  auto throwsAfter = Promise<int>::wrap([](Promise<int>::ValueCompletion done) {
    done(1);
    throw testError(3);
  });
  auto throwsBefore = Promise<int>::wrap([](Promise<int>::ValueCompletion) { throw testError(4); });
  ASSERT_TRUE(promise_testing::promiseActivityFinished());

  EXPECT_TRUE(nothing.isFulfilled());
  EXPECT_EQ(nothing.value(), std::nullopt);
  EXPECT_EQ(value.value(), 1);
  EXPECT_TRUE(bothAbsent.isFulfilled());
  EXPECT_EQ(bothAbsent.value(), std::nullopt);
  EXPECT_EQ(valueAndError.error()->code(), 1) << "the value is dropped";
  EXPECT_EQ(errorFirst.value(), 6);
  EXPECT_EQ(pair.value(), std::make_tuple(std::optional<int>(), std::optional<std::string>("2")));
  EXPECT_EQ(twice.value(), 1);
  EXPECT_EQ(throwsAfter.value(), 1);
  EXPECT_EQ(throwsBefore.error()->code(), 4);
}

}  // namespace
