// The chaining operators, the work constructors and the completion adapters of ZBLPromise.
#include <utility>

#include "promises/zbl_promise.h"
#include "promises/zbl_promise_internal.h"

using zbl_internal::parameterSatisfied;

namespace {

// The checks every operator makes of its queue and its callback; all of them report.
bool queueAndCallbackSatisfied(const platform::QueuePtr& queue, bool callback,
                               const char* callbackName) {
  bool satisfied = parameterSatisfied(queue != nullptr, "queue");
  satisfied &= parameterSatisfied(callback, callbackName);
  return satisfied;
}

}  // namespace

ZBLPromisePtr ZBLPromise::then(ChainedFulfill work) {
  return then(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::then(platform::QueuePtr queue, ChainedFulfill work) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(work), "work")) return pendingPromise();
  return chainOnQueue(std::move(queue), std::move(work), nullptr);
}

ZBLPromisePtr ZBLPromise::catch_(OnReject reject) {
  return catch_(defaultDispatchQueue(), std::move(reject));
}

ZBLPromisePtr ZBLPromise::catch_(platform::QueuePtr queue, OnReject reject) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(reject), "reject")) {
    return pendingPromise();
  }
  return chainOnQueue(std::move(queue), nullptr,
                      [reject = std::move(reject)](const platform::ErrorPtr& error) {
                        reject(error);
                        return ZBLObject(error);
                      });
}

ZBLPromisePtr ZBLPromise::always(std::function<void()> work) {
  return always(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::always(platform::QueuePtr queue, std::function<void()> work) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(work), "work")) return pendingPromise();
  return chainOnQueue(
      std::move(queue),
      [work](const ZBLObject& value) {
        work();
        return value;
      },
      [work](const platform::ErrorPtr& error) {
        work();
        return ZBLObject(error);
      });
}

ZBLPromisePtr ZBLPromise::recover(ChainedReject recovery) {
  return recover(defaultDispatchQueue(), std::move(recovery));
}

ZBLPromisePtr ZBLPromise::recover(platform::QueuePtr queue, ChainedReject recovery) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(recovery), "recovery")) {
    return pendingPromise();
  }
  return chainOnQueue(std::move(queue), nullptr, std::move(recovery));
}

ZBLPromisePtr ZBLPromise::validate(std::function<bool(const ZBLObject& value)> predicate) {
  return validate(defaultDispatchQueue(), std::move(predicate));
}

ZBLPromisePtr ZBLPromise::validate(platform::QueuePtr queue,
                                   std::function<bool(const ZBLObject& value)> predicate) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(predicate), "predicate")) {
    return pendingPromise();
  }
  return chainOnQueue(
      std::move(queue),
      [predicate = std::move(predicate)](const ZBLObject& value) {
        if (predicate(value)) return value;
        return ZBLObject(
            platform::makeError(ZBLPromiseErrorDomain, ZBLPromiseErrorCodeValidationFailure));
      },
      nullptr);
}

ZBLPromisePtr ZBLPromise::reduce(ZBLObjectList items, Reducer reducer) {
  return reduce(defaultDispatchQueue(), std::move(items), std::move(reducer));
}

ZBLPromisePtr ZBLPromise::reduce(platform::QueuePtr queue, ZBLObjectList items, Reducer reducer) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(reducer), "reducer")) {
    return pendingPromise();
  }
  ZBLPromisePtr current = shared_from_this();
  for (ZBLObject& item : items) {
    current = current->chainOnQueue(
        queue,
        [reducer, item = std::move(item)](const ZBLObject& value) { return reducer(value, item); },
        nullptr);
  }
  return current;
}

ZBLPromisePtr ZBLPromise::async(AsyncWork work) {
  return async(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::async(platform::QueuePtr queue, AsyncWork work) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(work), "work")) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  // The promise lives while the work runs and then as long as the work keeps its callables.
  zbl_internal::submitInGroup(queue, [promise, queue, work = std::move(work)] {
    work([promise, queue](
             const ZBLObject& resolution) { zbl_internal::resolve(promise, queue, resolution); },
         [promise](const platform::ErrorPtr& error) { promise->reject(error); });
  });
  return promise;
}

ZBLPromisePtr ZBLPromise::do_(DoWork work) { return do_(defaultDispatchQueue(), std::move(work)); }

ZBLPromisePtr ZBLPromise::do_(platform::QueuePtr queue, DoWork work) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(work), "work")) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  zbl_internal::submitInGroup(queue, [promise, queue, work = std::move(work)] {
    zbl_internal::resolve(promise, queue, work());
  });
  return promise;
}

namespace {

// The async work of a completion adapter: hands the caller's work the handler that
// makeHandler builds from the fulfil and reject callables.
template <typename Handler, typename MakeHandler>
ZBLPromisePtr wrap(platform::QueuePtr queue, ZBLPromise::WrapWork<Handler> work,
                   MakeHandler makeHandler) {
  if (!queueAndCallbackSatisfied(queue, static_cast<bool>(work), "work")) {
    return ZBLPromise::pendingPromise();
  }
  return ZBLPromise::async(std::move(queue),
                           [work = std::move(work), makeHandler](const ZBLPromise::Fulfill& fulfill,
                                                                 const ZBLPromise::Reject& reject) {
                             work(Handler(makeHandler(fulfill, reject)));
                           });
}

// For handlers of the shape (value, error): the error, when present, decides.
template <typename T> auto valueOrError() {
  return [](const ZBLPromise::Fulfill& fulfill, const ZBLPromise::Reject& reject) {
    return [fulfill, reject](T value, const platform::ErrorPtr& error) {
      if (error) {
        reject(error);
      } else {
        fulfill(ZBLObject(std::move(value)));
      }
    };
  };
}

template <typename T> auto valueOnly() {
  return [](const ZBLPromise::Fulfill& fulfill, const ZBLPromise::Reject&) {
    return [fulfill](T value) { fulfill(ZBLObject(std::move(value))); };
  };
}

}  // namespace

ZBLPromisePtr ZBLPromise::wrapCompletion(WrapWork<Completion> work) {
  return wrapCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapCompletion(platform::QueuePtr queue, WrapWork<Completion> work) {
  return wrap<Completion>(
      std::move(queue), std::move(work),
      [](const Fulfill& fulfill, const Reject&) { return [fulfill] { fulfill(ZBLObject()); }; });
}

ZBLPromisePtr ZBLPromise::wrapObjectCompletion(WrapWork<ObjectCompletion> work) {
  return wrapObjectCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapObjectCompletion(platform::QueuePtr queue,
                                               WrapWork<ObjectCompletion> work) {
  return wrap<ObjectCompletion>(std::move(queue), std::move(work), valueOnly<ZBLObject>());
}

ZBLPromisePtr ZBLPromise::wrapErrorCompletion(WrapWork<ErrorCompletion> work) {
  return wrapErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapErrorCompletion(platform::QueuePtr queue,
                                              WrapWork<ErrorCompletion> work) {
  return wrap<ErrorCompletion>(std::move(queue), std::move(work),
                               [](const Fulfill& fulfill, const Reject& reject) {
                                 return [fulfill, reject](const platform::ErrorPtr& error) {
                                   if (error) {
                                     reject(error);
                                   } else {
                                     fulfill(ZBLObject());
                                   }
                                 };
                               });
}

ZBLPromisePtr ZBLPromise::wrapObjectOrErrorCompletion(WrapWork<ObjectOrErrorCompletion> work) {
  return wrapObjectOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapObjectOrErrorCompletion(platform::QueuePtr queue,
                                                      WrapWork<ObjectOrErrorCompletion> work) {
  return wrap<ObjectOrErrorCompletion>(std::move(queue), std::move(work),
                                       valueOrError<ZBLObject>());
}

ZBLPromisePtr ZBLPromise::wrapErrorOrObjectCompletion(WrapWork<ErrorOrObjectCompletion> work) {
  return wrapErrorOrObjectCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapErrorOrObjectCompletion(platform::QueuePtr queue,
                                                      WrapWork<ErrorOrObjectCompletion> work) {
  return wrap<ErrorOrObjectCompletion>(
      std::move(queue), std::move(work), [](const Fulfill& fulfill, const Reject& reject) {
        return [fulfill, reject](const platform::ErrorPtr& error, const ZBLObject& object) {
          if (error) {
            reject(error);
          } else {
            fulfill(object);
          }
        };
      });
}

ZBLPromisePtr
ZBLPromise::wrap2ObjectsOrErrorCompletion(WrapWork<TwoObjectsOrErrorCompletion> work) {
  return wrap2ObjectsOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr
ZBLPromise::wrap2ObjectsOrErrorCompletion(platform::QueuePtr queue,
                                          WrapWork<TwoObjectsOrErrorCompletion> work) {
  return wrap<TwoObjectsOrErrorCompletion>(
      std::move(queue), std::move(work), [](const Fulfill& fulfill, const Reject& reject) {
        return [fulfill, reject](const ZBLObject& first, const ZBLObject& second,
                                 const platform::ErrorPtr& error) {
          if (error) {
            reject(error);
            return;
          }
          auto element = [](const ZBLObject& object) {
            return object.isNil() ? ZBLObject::null() : object;
          };
          fulfill(ZBLObjectList{element(first), element(second)});
        };
      });
}

ZBLPromisePtr ZBLPromise::wrapBoolCompletion(WrapWork<BoolCompletion> work) {
  return wrapBoolCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapBoolCompletion(platform::QueuePtr queue,
                                             WrapWork<BoolCompletion> work) {
  return wrap<BoolCompletion>(std::move(queue), std::move(work), valueOnly<bool>());
}

ZBLPromisePtr ZBLPromise::wrapBoolOrErrorCompletion(WrapWork<BoolOrErrorCompletion> work) {
  return wrapBoolOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapBoolOrErrorCompletion(platform::QueuePtr queue,
                                                    WrapWork<BoolOrErrorCompletion> work) {
  return wrap<BoolOrErrorCompletion>(std::move(queue), std::move(work), valueOrError<bool>());
}

ZBLPromisePtr ZBLPromise::wrapIntegerCompletion(WrapWork<IntegerCompletion> work) {
  return wrapIntegerCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapIntegerCompletion(platform::QueuePtr queue,
                                                WrapWork<IntegerCompletion> work) {
  return wrap<IntegerCompletion>(std::move(queue), std::move(work), valueOnly<std::int64_t>());
}

ZBLPromisePtr ZBLPromise::wrapIntegerOrErrorCompletion(WrapWork<IntegerOrErrorCompletion> work) {
  return wrapIntegerOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapIntegerOrErrorCompletion(platform::QueuePtr queue,
                                                       WrapWork<IntegerOrErrorCompletion> work) {
  return wrap<IntegerOrErrorCompletion>(std::move(queue), std::move(work),
                                        valueOrError<std::int64_t>());
}

ZBLPromisePtr ZBLPromise::wrapDoubleCompletion(WrapWork<DoubleCompletion> work) {
  return wrapDoubleCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapDoubleCompletion(platform::QueuePtr queue,
                                               WrapWork<DoubleCompletion> work) {
  return wrap<DoubleCompletion>(std::move(queue), std::move(work), valueOnly<double>());
}

ZBLPromisePtr ZBLPromise::wrapDoubleOrErrorCompletion(WrapWork<DoubleOrErrorCompletion> work) {
  return wrapDoubleOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

ZBLPromisePtr ZBLPromise::wrapDoubleOrErrorCompletion(platform::QueuePtr queue,
                                                      WrapWork<DoubleOrErrorCompletion> work) {
  return wrap<DoubleOrErrorCompletion>(std::move(queue), std::move(work), valueOrError<double>());
}
