// The time operators of ZBLPromise (delay, timeout, retry) and ZBLPromiseAwait.
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "promises/zbl_promise.h"
#include "promises/zbl_promise_internal.h"

using zbl_internal::parameterSatisfied;
using zbl_internal::truncatedInterval;

ZBLPromisePtr ZBLPromise::delay(double seconds) { return delay(defaultDispatchQueue(), seconds); }

ZBLPromisePtr ZBLPromise::delay(platform::QueuePtr queue, double seconds) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  const double interval = truncatedInterval(seconds);
  observeOnQueue(
      queue,
      [promise, queue, interval](const ZBLObject& value) {
        queue->after(interval, [promise, value] { promise->fulfill(value); });
      },
      [promise](const platform::ErrorPtr& error) { promise->reject(error); });
  return promise;
}

ZBLPromisePtr ZBLPromise::timeout(double seconds) {
  return timeout(defaultDispatchQueue(), seconds);
}

ZBLPromisePtr ZBLPromise::timeout(platform::QueuePtr queue, double seconds) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  observeOnQueue(
      queue, [promise](const ZBLObject& value) { promise->fulfill(value); },
      [promise](const platform::ErrorPtr& error) { promise->reject(error); });
  // The timer must not keep the promise alive, and is not cancelled when the receiver wins.
  queue->after(truncatedInterval(seconds), [weak = std::weak_ptr<ZBLPromise>(promise)] {
    if (ZBLPromisePtr promise = weak.lock()) {
      promise->reject(platform::makeError(ZBLPromiseErrorDomain, ZBLPromiseErrorCodeTimedOut));
    }
  });
  return promise;
}

namespace {

struct Retry {
  ZBLPromisePtr promise;
  platform::QueuePtr queue;
  ZBLPromise::RetryCondition condition;
  ZBLPromise::RetryWork work;
  double delay;
};

// Runs the work once with `remaining` retries left after it, and schedules the next run
// when it fails and both the count and the condition allow.
void attempt(const std::shared_ptr<const Retry>& retry, std::int64_t remaining) {
  auto handle = [retry, remaining](const ZBLObject& result) {
    platform::ErrorPtr error = result.asError();
    if (!error) {
      retry->promise->fulfill(result);
    } else if (remaining > 0 && (!retry->condition || retry->condition(remaining, error))) {
      retry->queue->after(retry->delay, [retry, remaining] { attempt(retry, remaining - 1); });
    } else {
      retry->promise->reject(error);
    }
  };
  ZBLObject result = retry->work();
  if (ZBLPromisePtr pending = result.asPromise()) {
    pending->observeOnQueue(retry->queue, handle,
                            [handle](const platform::ErrorPtr& error) { handle(error); });
  } else {
    handle(result);
  }
}

}  // namespace

ZBLPromisePtr ZBLPromise::retry(RetryWork work) {
  return retry(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::retry(platform::QueuePtr queue, RetryWork work) {
  return retry(std::move(queue), 1, std::move(work));
}

ZBLPromisePtr ZBLPromise::retry(std::int64_t attempts, RetryWork work) {
  return retry(defaultDispatchQueue(), attempts, std::move(work));
}

ZBLPromisePtr ZBLPromise::retry(platform::QueuePtr queue, std::int64_t attempts, RetryWork work) {
  return retry(std::move(queue), attempts, 1.0, nullptr, std::move(work));
}

ZBLPromisePtr ZBLPromise::retry(std::int64_t attempts, double delaySeconds,
                                RetryCondition condition, RetryWork work) {
  return retry(defaultDispatchQueue(), attempts, delaySeconds, std::move(condition),
               std::move(work));
}

ZBLPromisePtr ZBLPromise::retry(platform::QueuePtr queue, std::int64_t attempts,
                                double delaySeconds, RetryCondition condition, RetryWork work) {
  bool satisfied = parameterSatisfied(queue != nullptr, "queue");
  satisfied &= parameterSatisfied(static_cast<bool>(work), "work");
  if (!satisfied) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  attempt(std::make_shared<const Retry>(Retry{promise, std::move(queue), std::move(condition),
                                              std::move(work), truncatedInterval(delaySeconds)}),
          attempts);
  return promise;
}

ZBLObject ZBLPromiseAwait(const ZBLPromisePtr& promise, platform::ErrorPtr* error) {
  if (!promise) {
    std::fprintf(stderr, "ZBLPromiseAwait: assertion failed: promise\n");
    std::abort();
  }
  static const auto* const queue =
      new platform::QueuePtr(platform::Queue::concurrent("com.rerora.ZBLPromises.Await"));
  platform::Semaphore settled;
  ZBLObject value;
  platform::ErrorPtr failure;
  promise->chainOnQueue(
      *queue,
      [&value, settled](const ZBLObject& result) mutable {
        value = result;
        settled.signal();
        return result;
      },
      [&failure, settled](const platform::ErrorPtr& result) mutable {
        failure = result;
        settled.signal();
        return ZBLObject(result);
      });
  settled.wait();
  if (error) *error = failure;
  return value;
}
