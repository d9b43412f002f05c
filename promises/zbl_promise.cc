#include "promises/zbl_promise.h"

#include <cmath>
#include <utility>

#include "platform/format.h"
#include "promises/zbl_promise_internal.h"

namespace {

// The class's own lock, which guards the default queue. Never destroyed, like the queues
// and the group: work still running at exit may read them.
std::mutex& classMutex() {
  static auto* const mutex = new std::mutex;
  return *mutex;
}

platform::QueuePtr& defaultQueue() {
  static auto* const queue = new platform::QueuePtr(platform::Queue::main());
  return *queue;
}

}  // namespace

namespace zbl_internal {

bool parameterSatisfied(bool satisfied, const char* name, std::source_location where) {
  if (!satisfied) {
    assertionFailure(std::string("Invalid parameter not satisfying: ") + name, where);
  }
  return satisfied;
}

void assertionFailure(const std::string& description, std::source_location where) {
  platform::AssertionHandler::handleFailure(
      {where.function_name(), where.file_name(), static_cast<int>(where.line()), description});
}

void resolve(const ZBLPromisePtr& promise, const platform::QueuePtr& queue,
             const ZBLObject& resolution) {
  if (ZBLPromisePtr adopted = resolution.asPromise()) {
    adopted->observeOnQueue(
        queue, [promise](const ZBLObject& value) { promise->fulfill(value); },
        [promise](const platform::ErrorPtr& error) { promise->reject(error); });
  } else {
    promise->fulfill(resolution);
  }
}

double truncatedInterval(double seconds) { return std::trunc(seconds * 1e9) / 1e9; }

}  // namespace zbl_internal

using zbl_internal::parameterSatisfied;

ZBLPromise::ZBLPromise(ConstructionKey, State state, ZBLObject value, platform::ErrorPtr error)
    : state_(state), value_(std::move(value)), error_(std::move(error)) {}

ZBLPromise::~ZBLPromise() {
  // Nothing can settle it any more; it leaves the group it entered when it was made.
  if (state_ == State::Pending) dispatchGroup().leave();
  release(std::move(observers_), std::move(pendingObjects_));
}

void ZBLPromise::release(std::unique_ptr<std::vector<Observer>> observers,
                         std::unique_ptr<std::vector<ZBLObject>> held) {
  if (!observers && !held) return;
  // Dropping the head of a long pending chain would otherwise destroy each link from inside
  // the destructor of the one before it, one level of stack per link. Whatever a destruction
  // lets go of joins the queue; only the outermost call works through it.
  struct Remains {
    std::unique_ptr<std::vector<Observer>> observers;
    std::unique_ptr<std::vector<ZBLObject>> held;
  };
  thread_local std::vector<Remains> queue;
  thread_local bool releasing = false;
  queue.push_back({std::move(observers), std::move(held)});
  if (releasing) return;
  releasing = true;
  while (!queue.empty()) {
    // Destroyed at the end of the turn, once it has left the queue.
    Remains remains = std::move(queue.back());
    queue.pop_back();
  }
  releasing = false;
}

platform::QueuePtr ZBLPromise::defaultDispatchQueue() {
  std::lock_guard lock(classMutex());
  return defaultQueue();
}

void ZBLPromise::setDefaultDispatchQueue(platform::QueuePtr queue) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return;
  std::lock_guard lock(classMutex());
  defaultQueue() = std::move(queue);
}

ZBLPromisePtr ZBLPromise::pendingPromise() {
  auto promise =
      std::make_shared<ZBLPromise>(ConstructionKey(), State::Pending, ZBLObject(), nullptr);
  dispatchGroup().enter();
  return promise;
}

ZBLPromisePtr ZBLPromise::resolvedWith(ZBLObject resolution) {
  if (platform::ErrorPtr error = resolution.asError()) {
    return std::make_shared<ZBLPromise>(ConstructionKey(), State::Rejected, ZBLObject(),
                                        std::move(error));
  }
  return std::make_shared<ZBLPromise>(ConstructionKey(), State::Fulfilled, std::move(resolution),
                                      nullptr);
}

platform::Group& ZBLPromise::dispatchGroup() {
  static auto* const group = new platform::Group;
  return *group;
}

void ZBLPromise::fulfill(ZBLObject value) {
  if (value.isError()) {
    reject(value.asError());
    return;
  }
  settle(State::Fulfilled, std::move(value), nullptr);
}

void ZBLPromise::reject(platform::ErrorPtr error) {
  if (!error) {
    zbl_internal::assertionFailure("Invalid error type.");
    throw platform::Exception("NSInternalInconsistencyException", "Invalid error type.");
  }
  settle(State::Rejected, ZBLObject(), std::move(error));
}

void ZBLPromise::settle(State state, ZBLObject value, platform::ErrorPtr error) {
  // Released only after the lock: a held object or an observer may own the last reference
  // to this promise, and their destructors may do anything.
  std::unique_ptr<std::vector<Observer>> observers;
  std::unique_ptr<std::vector<ZBLObject>> held;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Pending) return;
    state_ = state;
    value_ = std::move(value);
    error_ = std::move(error);
    held = std::move(pendingObjects_);
    observers = std::move(observers_);
    if (observers) {
      // Each delivery enters the group before this promise leaves it, so the group never
      // looks empty while a callback is still to run.
      for (Observer& observer : *observers) {
        if (state == State::Fulfilled) {
          zbl_internal::submitInGroup(observer.queue, [onFulfill = std::move(observer.onFulfill),
                                                       value = value_] { onFulfill(value); });
        } else {
          zbl_internal::submitInGroup(observer.queue, [onReject = std::move(observer.onReject),
                                                       error = error_] { onReject(error); });
        }
      }
    }
  }
  dispatchGroup().leave();
  release(std::move(observers), std::move(held));
}

bool ZBLPromise::isInState(State state) const {
  std::lock_guard lock(mutex_);
  return state_ == state;
}

bool ZBLPromise::isPending() const { return isInState(State::Pending); }
bool ZBLPromise::isFulfilled() const { return isInState(State::Fulfilled); }
bool ZBLPromise::isRejected() const { return isInState(State::Rejected); }

ZBLObject ZBLPromise::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

platform::ErrorPtr ZBLPromise::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void ZBLPromise::addPendingObject(ZBLObject object) {
  if (!parameterSatisfied(!object.isNil(), "object")) return;
  std::lock_guard lock(mutex_);
  if (state_ != State::Pending) return;
  if (!pendingObjects_) pendingObjects_ = std::make_unique<std::vector<ZBLObject>>();
  pendingObjects_->push_back(std::move(object));
}

void ZBLPromise::observeOnQueue(platform::QueuePtr queue, OnFulfill onFulfill, OnReject onReject) {
  // Every check reports, as each would on its own.
  bool satisfied = parameterSatisfied(queue != nullptr, "queue");
  satisfied &= parameterSatisfied(static_cast<bool>(onFulfill), "onFulfill");
  satisfied &= parameterSatisfied(static_cast<bool>(onReject), "onReject");
  if (!satisfied) return;

  std::unique_lock lock(mutex_);
  switch (state_) {
  case State::Pending:
    if (!observers_) observers_ = std::make_unique<std::vector<Observer>>();
    observers_->push_back({std::move(queue), std::move(onFulfill), std::move(onReject)});
    return;
  case State::Fulfilled:
    zbl_internal::submitInGroup(
        queue, [onFulfill = std::move(onFulfill), value = value_] { onFulfill(value); });
    return;
  case State::Rejected:
    zbl_internal::submitInGroup(
        queue, [onReject = std::move(onReject), error = error_] { onReject(error); });
    return;
  }
}

ZBLPromisePtr ZBLPromise::chainOnQueue(platform::QueuePtr queue, ChainedFulfill chainedFulfill,
                                       ChainedReject chainedReject) {
  if (!parameterSatisfied(queue != nullptr, "queue")) return pendingPromise();
  ZBLPromisePtr promise = pendingPromise();
  observeOnQueue(
      queue,
      [promise, queue, chainedFulfill = std::move(chainedFulfill)](const ZBLObject& value) {
        zbl_internal::resolve(promise, queue, chainedFulfill ? chainedFulfill(value) : value);
      },
      [promise, queue, chainedReject = std::move(chainedReject)](const platform::ErrorPtr& error) {
        zbl_internal::resolve(promise, queue,
                              chainedReject ? chainedReject(error) : ZBLObject(error));
      });
  return promise;
}

std::string ZBLPromise::description() const {
  const void* address = this;
  if (isFulfilled()) {
    return platform::format("<%@ %p> Fulfilled: %@",
                            {"ZBLPromise", address, value().description()});
  }
  if (isRejected()) {
    return platform::format("<%@ %p> Rejected: %@",
                            {"ZBLPromise", address, error()->description()});
  }
  return platform::format("<%@ %p> Pending", {"ZBLPromise", address});
}
