// The combinators all, any and race of ZBLPromise.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "promises/zbl_promise.h"
#include "promises/zbl_promise_internal.h"

using zbl_internal::parameterSatisfied;

namespace {

// The promises an all or any waits for, shared by the observers it puts on each of them.
// Each observer is held by its promise until that promise settles, and holds this list, so
// the list is let go as soon as the combined promise has settled: a member that never
// settles would otherwise keep itself alive through its own observer. The lock also keeps
// deliveries on a concurrent queue from combining at the same time.
struct Members {
  std::mutex mutex;
  std::vector<ZBLPromisePtr> promises;
};

bool anyPending(const std::vector<ZBLPromisePtr>& promises) {
  for (const ZBLPromisePtr& promise : promises) {
    if (promise->isPending()) return true;
  }
  return false;
}

}  // namespace

ZBLObjectList ZBLPromiseCombineValuesAndErrors(const std::vector<ZBLPromisePtr>& promises) {
  ZBLObjectList combined;
  combined.reserve(promises.size());
  for (const ZBLPromisePtr& promise : promises) {
    if (promise->isPending()) {
      std::fprintf(stderr,
                   "ZBLPromiseCombineValuesAndErrors: assertion failed: !promise.isPending\n");
      std::abort();
    }
    if (promise->isFulfilled()) {
      ZBLObject value = promise->value();
      combined.push_back(value.isNil() ? ZBLObject::null() : std::move(value));
    } else {
      combined.push_back(ZBLObject(promise->error()));
    }
  }
  return combined;
}

ZBLPromisePtr ZBLPromise::all(ZBLObjectList promises) {
  return all(defaultDispatchQueue(), std::move(promises));
}

ZBLPromisePtr ZBLPromise::all(platform::QueuePtr queue, ZBLObjectList promises) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return pendingPromise();
  if (promises.empty()) return resolvedWith(ZBLObjectList());
  return async(
      queue, [queue, promises = std::move(promises)](const Fulfill& fulfill, const Reject& reject) {
        auto members = std::make_shared<Members>();
        members->promises.reserve(promises.size());
        for (const ZBLObject& element : promises) {
          if (ZBLPromisePtr promise = element.asPromise()) {
            members->promises.push_back(std::move(promise));
          } else if (platform::ErrorPtr error = element.asError()) {
            reject(error);
            return;
          } else {
            members->promises.push_back(resolvedWith(element));
          }
        }
        // The list is copied: the observers below may settle the combined promise and let the
        // members go while it is still being walked.
        const std::vector<ZBLPromisePtr> observed = members->promises;
        for (const ZBLPromisePtr& promise : observed) {
          promise->observeOnQueue(
              queue,
              [members, fulfill](const ZBLObject&) {
                std::lock_guard lock(members->mutex);
                if (members->promises.empty()) return;
                ZBLObjectList values;
                values.reserve(members->promises.size());
                for (const ZBLPromisePtr& member : members->promises) {
                  if (!member->isFulfilled()) return;
                  ZBLObject value = member->value();
                  values.push_back(value.isNil() ? ZBLObject::null() : std::move(value));
                }
                fulfill(ZBLObject(std::move(values)));
                members->promises.clear();
              },
              [members, reject](const platform::ErrorPtr& error) {
                std::lock_guard lock(members->mutex);
                if (members->promises.empty()) return;
                reject(error);
                members->promises.clear();
              });
        }
      });
}

ZBLPromisePtr ZBLPromise::any(ZBLObjectList promises) {
  return any(defaultDispatchQueue(), std::move(promises));
}

ZBLPromisePtr ZBLPromise::any(platform::QueuePtr queue, ZBLObjectList promises) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return pendingPromise();
  if (promises.empty()) return resolvedWith(ZBLObjectList());
  return async(
      queue, [queue, promises = std::move(promises)](const Fulfill& fulfill, const Reject& reject) {
        auto members = std::make_shared<Members>();
        members->promises.reserve(promises.size());
        for (const ZBLObject& element : promises) {
          ZBLPromisePtr promise = element.asPromise();
          members->promises.push_back(promise ? std::move(promise) : resolvedWith(element));
        }
        // Settles once no member is pending: with the values and errors when one was fulfilled,
        // otherwise with the error of this delivery.
        auto combine = [members, fulfill, reject](const platform::ErrorPtr& error) {
          std::lock_guard lock(members->mutex);
          if (members->promises.empty() || anyPending(members->promises)) return;
          bool fulfilled = !error;
          for (const ZBLPromisePtr& member : members->promises) fulfilled |= member->isFulfilled();
          if (fulfilled) {
            fulfill(ZBLObject(ZBLPromiseCombineValuesAndErrors(members->promises)));
          } else {
            reject(error);
          }
          members->promises.clear();
        };
        const std::vector<ZBLPromisePtr> observed = members->promises;
        for (const ZBLPromisePtr& promise : observed) {
          promise->observeOnQueue(
              queue, [combine](const ZBLObject&) { combine(nullptr); }, combine);
        }
      });
}

ZBLPromisePtr ZBLPromise::race(ZBLObjectList promises) {
  return race(defaultDispatchQueue(), std::move(promises));
}

ZBLPromisePtr ZBLPromise::race(platform::QueuePtr queue, ZBLObjectList promises) {
  bool satisfied = parameterSatisfied(queue != nullptr, "queue");
  if (promises.empty()) {
    zbl_internal::assertionFailure("No promises to observe");
    satisfied = false;
  }
  if (!satisfied) return pendingPromise();
  return async(
      queue, [queue, promises = std::move(promises)](const Fulfill& fulfill, const Reject& reject) {
        for (const ZBLObject& element : promises) {
          if (!element.isPromise()) {
            fulfill(element);
            return;
          }
        }
        for (const ZBLObject& element : promises) {
          element.asPromise()->observeOnQueue(queue, fulfill, reject);
        }
      });
}
