// ZBLPromise: a single-assignment asynchronous result that settles once (fulfilled with an
// object or rejected with an error), calls its observers on dispatch queues and chains into
// new promises; the result type of every asynchronous flow of the SDK.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "promises/zbl_object.h"

// The errors the operators make themselves, without user information.
inline constexpr const char* ZBLPromiseErrorDomain = "com.rerora.ZBLPromises.Error";
inline constexpr std::int64_t ZBLPromiseErrorCodeTimedOut = 1;
inline constexpr std::int64_t ZBLPromiseErrorCodeValidationFailure = 2;

using ZBLPromisePtr = std::shared_ptr<ZBLPromise>;

// Callbacks run as tasks on the queue given with them, never inside the call that registers
// them and never inside fulfill() or reject(); without a queue they run on
// defaultDispatchQueue(), the main queue. Every operator has a plain form, op(args), and a
// queue form, op(queue, args); these are also what the callable-returning accessors of the
// operators (then / thenOn and so on) amount to. A resolution, which handlers return and
// fulfill() takes, is a plain object (which fulfils), an error (which rejects) or a promise
// (whose outcome is adopted).
//
// Failed argument checks (a null queue or an empty callback) go to platform::AssertionHandler
// as "Invalid parameter not satisfying: <name>"; when the handler returns, the call does
// nothing and an operator returns a promise that never settles.
//
// Every promise made pending is in dispatchGroup() until it settles or is destroyed, and so
// is every queued delivery and async / do work, so waiting on the group waits for all
// promise activity. Observers hold the promises they settle; a pending promise stays alive
// as long as something holds it, and one destroyed while pending never calls its observers.
class ZBLPromise : public std::enable_shared_from_this<ZBLPromise> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  enum class State : std::int64_t { Pending = 0, Fulfilled = 1, Rejected = 2 };

  using OnFulfill = std::function<void(const ZBLObject& value)>;
  using OnReject = std::function<void(const platform::ErrorPtr& error)>;
  // Handlers that return a resolution.
  using ChainedFulfill = std::function<ZBLObject(const ZBLObject& value)>;
  using ChainedReject = std::function<ZBLObject(const platform::ErrorPtr& error)>;

  // The callables async work receives; copyable and callable from any thread. The first
  // call of either settles the promise; later calls are ignored.
  using Fulfill = std::function<void(const ZBLObject& resolution)>;
  using Reject = std::function<void(const platform::ErrorPtr& error)>;
  using AsyncWork = std::function<void(Fulfill fulfill, Reject reject)>;
  using DoWork = std::function<ZBLObject()>;
  using Reducer = std::function<ZBLObject(const ZBLObject& partial, const ZBLObject& item)>;
  using RetryWork = std::function<ZBLObject()>;
  // Given the retries still left and the error of the failed run; false stops retrying.
  using RetryCondition =
      std::function<bool(std::int64_t remainingAttempts, const platform::ErrorPtr& error)>;

  // Handlers of the completion adapters (wrap…Completion), by the shape of the call they
  // stand in for.
  using Completion = std::function<void()>;
  using ObjectCompletion = std::function<void(const ZBLObject& object)>;
  using ErrorCompletion = std::function<void(const platform::ErrorPtr& error)>;
  using ObjectOrErrorCompletion =
      std::function<void(const ZBLObject& object, const platform::ErrorPtr& error)>;
  using ErrorOrObjectCompletion =
      std::function<void(const platform::ErrorPtr& error, const ZBLObject& object)>;
  using TwoObjectsOrErrorCompletion = std::function<void(
      const ZBLObject& first, const ZBLObject& second, const platform::ErrorPtr& error)>;
  using BoolCompletion = std::function<void(bool value)>;
  using BoolOrErrorCompletion = std::function<void(bool value, const platform::ErrorPtr& error)>;
  using IntegerCompletion = std::function<void(std::int64_t value)>;
  using IntegerOrErrorCompletion =
      std::function<void(std::int64_t value, const platform::ErrorPtr& error)>;
  using DoubleCompletion = std::function<void(double value)>;
  using DoubleOrErrorCompletion =
      std::function<void(double value, const platform::ErrorPtr& error)>;
  template <typename Handler> using WrapWork = std::function<void(Handler handler)>;

  ZBLPromise(ConstructionKey, State state, ZBLObject value, platform::ErrorPtr error);
  ~ZBLPromise();
  ZBLPromise(const ZBLPromise&) = delete;
  ZBLPromise& operator=(const ZBLPromise&) = delete;

  // The queue of the plain forms: the main queue unless replaced.
  static platform::QueuePtr defaultDispatchQueue();
  static void setDefaultDispatchQueue(platform::QueuePtr queue);

  // A pending promise; it enters dispatchGroup(). (The accessor `pending` of the class.)
  static ZBLPromisePtr pendingPromise();
  // Rejected when the resolution is an error, otherwise fulfilled with it (nil included; a
  // promise is held as the value, not adopted). Never in the group. (The accessor `resolved`.)
  static ZBLPromisePtr resolvedWith(ZBLObject resolution);
  static platform::Group& dispatchGroup();

  // Settles once; an error rejects. A promise that has settled ignores both.
  void fulfill(ZBLObject value);
  // A null error is a programmer error ("Invalid error type."): the promise is untouched and,
  // if the assertion handler returns, a platform::Exception is thrown.
  void reject(platform::ErrorPtr error);

  bool isPending() const;
  bool isFulfilled() const;
  bool isRejected() const;
  // Nil unless fulfilled.
  ZBLObject value() const;
  // Null unless rejected.
  platform::ErrorPtr error() const;

  // Holds the object until the promise settles; a settled promise does not hold it.
  void addPendingObject(ZBLObject object);

  // Calls onFulfill or onReject, once, as a task on the queue; in registration order among
  // the observers of one promise.
  void observeOnQueue(platform::QueuePtr queue, OnFulfill onFulfill, OnReject onReject);
  // The chaining primitive: a new promise settled from the handler's resolution (adopting a
  // returned promise's outcome, one level deep); an absent handler passes the outcome on.
  ZBLPromisePtr chainOnQueue(platform::QueuePtr queue, ChainedFulfill chainedFulfill,
                             ChainedReject chainedReject);

  // "<ZBLPromise 0x…> Fulfilled: …", "<ZBLPromise 0x…> Rejected: …" or "<ZBLPromise 0x…> Pending".
  std::string description() const;

  // Chaining. then: work's resolution settles the new promise; a rejection passes through.
  ZBLPromisePtr then(ChainedFulfill work);
  ZBLPromisePtr then(platform::QueuePtr queue, ChainedFulfill work);
  // catch: the callback sees the error, which the new promise keeps; a value passes through.
  ZBLPromisePtr catch_(OnReject reject);
  ZBLPromisePtr catch_(platform::QueuePtr queue, OnReject reject);
  // always: work runs on either outcome, which the new promise keeps.
  ZBLPromisePtr always(std::function<void()> work);
  ZBLPromisePtr always(platform::QueuePtr queue, std::function<void()> work);
  // recover: recovery's resolution settles the new promise on rejection; a value passes.
  ZBLPromisePtr recover(ChainedReject recovery);
  ZBLPromisePtr recover(platform::QueuePtr queue, ChainedReject recovery);
  // validate: a value the predicate refuses becomes a validation-failure error (code 2).
  ZBLPromisePtr validate(std::function<bool(const ZBLObject& value)> predicate);
  ZBLPromisePtr validate(platform::QueuePtr queue,
                         std::function<bool(const ZBLObject& value)> predicate);
  // reduce: one then-link per item, all built at once; no items returns this very promise.
  ZBLPromisePtr reduce(ZBLObjectList items, Reducer reducer);
  ZBLPromisePtr reduce(platform::QueuePtr queue, ZBLObjectList items, Reducer reducer);

  // Work constructors: the work runs later as a task on the queue. async settles through the
  // callables it is given (staying pending if it calls neither); do settles from what the
  // work returns.
  static ZBLPromisePtr async(AsyncWork work);
  static ZBLPromisePtr async(platform::QueuePtr queue, AsyncWork work);
  static ZBLPromisePtr do_(DoWork work);
  static ZBLPromisePtr do_(platform::QueuePtr queue, DoWork work);

  // Completion adapters: async work that hands the caller's work a handler of one shape.
  // An error argument that is not null rejects; otherwise the value fulfils (a bool or
  // number as a Value, two objects as a two-element list with nil as the null placeholder).
  static ZBLPromisePtr wrapCompletion(WrapWork<Completion> work);
  static ZBLPromisePtr wrapCompletion(platform::QueuePtr queue, WrapWork<Completion> work);
  static ZBLPromisePtr wrapObjectCompletion(WrapWork<ObjectCompletion> work);
  static ZBLPromisePtr wrapObjectCompletion(platform::QueuePtr queue,
                                            WrapWork<ObjectCompletion> work);
  static ZBLPromisePtr wrapErrorCompletion(WrapWork<ErrorCompletion> work);
  static ZBLPromisePtr wrapErrorCompletion(platform::QueuePtr queue,
                                           WrapWork<ErrorCompletion> work);
  static ZBLPromisePtr wrapObjectOrErrorCompletion(WrapWork<ObjectOrErrorCompletion> work);
  static ZBLPromisePtr wrapObjectOrErrorCompletion(platform::QueuePtr queue,
                                                   WrapWork<ObjectOrErrorCompletion> work);
  static ZBLPromisePtr wrapErrorOrObjectCompletion(WrapWork<ErrorOrObjectCompletion> work);
  static ZBLPromisePtr wrapErrorOrObjectCompletion(platform::QueuePtr queue,
                                                   WrapWork<ErrorOrObjectCompletion> work);
  static ZBLPromisePtr wrap2ObjectsOrErrorCompletion(WrapWork<TwoObjectsOrErrorCompletion> work);
  static ZBLPromisePtr wrap2ObjectsOrErrorCompletion(platform::QueuePtr queue,
                                                     WrapWork<TwoObjectsOrErrorCompletion> work);
  static ZBLPromisePtr wrapBoolCompletion(WrapWork<BoolCompletion> work);
  static ZBLPromisePtr wrapBoolCompletion(platform::QueuePtr queue, WrapWork<BoolCompletion> work);
  static ZBLPromisePtr wrapBoolOrErrorCompletion(WrapWork<BoolOrErrorCompletion> work);
  static ZBLPromisePtr wrapBoolOrErrorCompletion(platform::QueuePtr queue,
                                                 WrapWork<BoolOrErrorCompletion> work);
  static ZBLPromisePtr wrapIntegerCompletion(WrapWork<IntegerCompletion> work);
  static ZBLPromisePtr wrapIntegerCompletion(platform::QueuePtr queue,
                                             WrapWork<IntegerCompletion> work);
  static ZBLPromisePtr wrapIntegerOrErrorCompletion(WrapWork<IntegerOrErrorCompletion> work);
  static ZBLPromisePtr wrapIntegerOrErrorCompletion(platform::QueuePtr queue,
                                                    WrapWork<IntegerOrErrorCompletion> work);
  static ZBLPromisePtr wrapDoubleCompletion(WrapWork<DoubleCompletion> work);
  static ZBLPromisePtr wrapDoubleCompletion(platform::QueuePtr queue,
                                            WrapWork<DoubleCompletion> work);
  static ZBLPromisePtr wrapDoubleOrErrorCompletion(WrapWork<DoubleOrErrorCompletion> work);
  static ZBLPromisePtr wrapDoubleOrErrorCompletion(platform::QueuePtr queue,
                                                   WrapWork<DoubleOrErrorCompletion> work);

  // Combinators over promises and plain objects (a plain object counts as a promise settled
  // with it). all: the values in input order (nil as the null placeholder), or the first
  // rejection delivered; a plain error in the list rejects at once. any: once none is
  // pending, the values and errors in input order if at least one was fulfilled, otherwise
  // the error of that last delivery. race: the first outcome delivered; a plain object in the
  // list decides at once; an empty list fails the check "No promises to observe".
  static ZBLPromisePtr all(ZBLObjectList promises);
  static ZBLPromisePtr all(platform::QueuePtr queue, ZBLObjectList promises);
  static ZBLPromisePtr any(ZBLObjectList promises);
  static ZBLPromisePtr any(platform::QueuePtr queue, ZBLObjectList promises);
  static ZBLPromisePtr race(ZBLObjectList promises);
  static ZBLPromisePtr race(platform::QueuePtr queue, ZBLObjectList promises);

  // Time. Intervals are seconds on platform::Clock, truncated to whole nanoseconds. delay
  // postpones a fulfilment (a rejection passes at once); timeout rejects with the timed-out
  // error (code 1) unless the receiver settles first.
  ZBLPromisePtr delay(double seconds);
  ZBLPromisePtr delay(platform::QueuePtr queue, double seconds);
  ZBLPromisePtr timeout(double seconds);
  ZBLPromisePtr timeout(platform::QueuePtr queue, double seconds);

  // Runs work at once on the calling thread and, while its result is an error (returned, or
  // a promise that rejects), again on the queue after the delay, up to `attempts` more times
  // and while the condition (if any) agrees; the promise takes the first success or the last
  // error. Defaults: 1 attempt, 1 second, no condition.
  static ZBLPromisePtr retry(RetryWork work);
  static ZBLPromisePtr retry(platform::QueuePtr queue, RetryWork work);
  static ZBLPromisePtr retry(std::int64_t attempts, RetryWork work);
  static ZBLPromisePtr retry(platform::QueuePtr queue, std::int64_t attempts, RetryWork work);
  static ZBLPromisePtr retry(std::int64_t attempts, double delaySeconds, RetryCondition condition,
                             RetryWork work);
  static ZBLPromisePtr retry(platform::QueuePtr queue, std::int64_t attempts, double delaySeconds,
                             RetryCondition condition, RetryWork work);

 private:
  struct Observer {
    platform::QueuePtr queue;
    OnFulfill onFulfill;
    OnReject onReject;
  };

  void settle(State state, ZBLObject value, platform::ErrorPtr error);
  // Destroys what a promise lets go of (its observers, which hold the promises chained to
  // it, and its held objects) one after another rather than inside each other.
  static void release(std::unique_ptr<std::vector<Observer>> observers,
                      std::unique_ptr<std::vector<ZBLObject>> held);
  bool isInState(State state) const;

  // Guards everything below. Never held while a caller's callback runs (observers only put
  // tasks on queues), so it need not be re-entrant.
  mutable std::mutex mutex_;
  State state_;
  ZBLObject value_;
  platform::ErrorPtr error_;
  // Made on first use: a promise that is settled from the start allocates neither.
  std::unique_ptr<std::vector<Observer>> observers_;
  std::unique_ptr<std::vector<ZBLObject>> pendingObjects_;
};

// Blocks the calling thread until the promise settles and returns its value (nil when it was
// rejected), storing its error (null when it was fulfilled) into *error when given. The
// callbacks run on the concurrent queue "com.rerora.ZBLPromises.Await", so the promise may be
// settled by work on any queue but the blocked thread's. A null promise stops the process.
ZBLObject ZBLPromiseAwait(const ZBLPromisePtr& promise, platform::ErrorPtr* error = nullptr);

// One entry per promise, in order: its value (the null placeholder for nil) or its error. A
// pending promise stops the process.
ZBLObjectList ZBLPromiseCombineValuesAndErrors(const std::vector<ZBLPromisePtr>& promises);
