#include "platform/operation_queue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "platform/dispatch_internal.h"
#include "platform/error.h"

namespace platform {

struct Operation::State {
  mutable std::mutex mutex;
  std::condition_variable completedChanged;
  Task block;
  Task completion;
  bool started = false;
  bool executing = false;
  bool finished = false;
  bool cancelled = false;
  // Finished and the completion block returned: dependents and queues go on from here.
  bool completed = false;
  bool enqueued = false;
  std::vector<std::shared_ptr<Operation>> dependencies;
  std::vector<std::weak_ptr<Operation>> dependents;
  // Set by the queue holding the operation.
  std::function<void()> readinessChanged;
  std::function<void()> finishedHook;
};

namespace detail {

struct OperationAccess {
  static Operation::State& state(Operation& operation) { return *operation.state_; }

  static bool isCompleted(const Operation& operation) {
    std::lock_guard lock(operation.state_->mutex);
    return operation.state_->completed;
  }

  static void notifyReadinessChanged(Operation& operation) {
    std::function<void()> hook;
    {
      std::lock_guard lock(operation.state_->mutex);
      hook = operation.state_->readinessChanged;
    }
    if (hook) hook();
  }
};

}  // namespace detail

using detail::OperationAccess;

Operation::Operation() : state_(std::make_unique<State>()) {}

Operation::Operation(Task block) : Operation() { state_->block = std::move(block); }

Operation::~Operation() = default;

void Operation::start() {
  bool cancelled;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->finished) return;
    state_->started = true;
    cancelled = state_->cancelled;
    state_->executing = !cancelled;
  }
  if (cancelled) {
    finish();
    return;
  }
  main();
  if (!isAsynchronous()) finish();
}

void Operation::main() {
  Task block;
  {
    std::lock_guard lock(state_->mutex);
    block.swap(state_->block);
  }
  if (block) block();
}

void Operation::finish() {
  Task completion;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->finished) return;
    state_->executing = false;
    state_->finished = true;
    completion.swap(state_->completion);
  }
  if (completion) completion();
  completion = nullptr;

  std::vector<std::weak_ptr<Operation>> dependents;
  std::function<void()> finishedHook;
  {
    std::lock_guard lock(state_->mutex);
    state_->completed = true;
    state_->readinessChanged = nullptr;
    dependents = state_->dependents;
    finishedHook.swap(state_->finishedHook);
    state_->completedChanged.notify_all();
  }
  for (auto& weak : dependents) {
    if (auto dependent = weak.lock()) OperationAccess::notifyReadinessChanged(*dependent);
  }
  // Last: the queue may drop its reference to this operation here.
  if (finishedHook) finishedHook();
}

void Operation::cancel() {
  std::function<void()> hook;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled || state_->finished) return;
    state_->cancelled = true;
    hook = state_->readinessChanged;
  }
  if (hook) hook();
}

bool Operation::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

bool Operation::isExecuting() const {
  std::lock_guard lock(state_->mutex);
  return state_->executing;
}

bool Operation::isFinished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

bool Operation::isReady() const {
  std::vector<std::shared_ptr<Operation>> dependencies;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return true;
    dependencies = state_->dependencies;
  }
  return std::all_of(dependencies.begin(), dependencies.end(), [](const auto& operation) {
    return OperationAccess::isCompleted(*operation);
  });
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation.get() == this) return;
  {
    std::lock_guard lock(state_->mutex);
    auto& dependencies = state_->dependencies;
    if (std::find(dependencies.begin(), dependencies.end(), operation) != dependencies.end())
      return;
    dependencies.push_back(operation);
  }
  std::lock_guard lock(operation->state_->mutex);
  operation->state_->dependents.push_back(weak_from_this());
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
  {
    std::lock_guard lock(state_->mutex);
    auto& dependencies = state_->dependencies;
    dependencies.erase(std::remove(dependencies.begin(), dependencies.end(), operation),
                       dependencies.end());
  }
  OperationAccess::notifyReadinessChanged(*this);
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard lock(state_->mutex);
  return state_->dependencies;
}

void Operation::setCompletionBlock(Task block) {
  std::unique_lock lock(state_->mutex);
  state_->completion.swap(block);
  lock.unlock();  // the old block dies outside the lock
}

void Operation::waitUntilFinished() {
  detail::BlockedWorkerScope blocked;
  std::unique_lock lock(state_->mutex);
  state_->completedChanged.wait(lock, [this] { return state_->completed; });
}

struct OperationQueue::State : std::enable_shared_from_this<State> {
  struct Running {
    std::shared_ptr<Operation> operation;
    bool holdsSlot;  // cancelled operations start without taking a slot: they do no work
  };

  mutable std::mutex mutex;
  std::condition_variable idle;
  std::string name;
  long maxCount = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;
  std::deque<std::shared_ptr<Operation>> waiting;
  std::vector<Running> running;
  std::size_t slotsInUse = 0;

  // Starts, in the order added, every waiting operation that is ready and has a slot.
  // Cancelled operations need no slot, so only a scan for them must read the whole line; the
  // callers that cannot have made one (an operation that was not cancelled joined the line,
  // one finished) stop once the slots are full, or each addition to a long line of waiting
  // operations would read the whole line again.
  void startReady(bool untilSlotsAreFull = false) {
    std::vector<std::shared_ptr<Operation>> starting;
    {
      std::lock_guard lock(mutex);
      if (suspended) return;
      for (auto it = waiting.begin(); it != waiting.end();) {
        const auto& operation = *it;
        bool slotFree = maxCount < 0 || slotsInUse < static_cast<std::size_t>(maxCount);
        if (!slotFree && untilSlotsAreFull) break;
        bool cancelled = operation->isCancelled();
        if ((!cancelled && !slotFree) || !operation->isReady()) {
          ++it;
          continue;
        }
        running.push_back({operation, !cancelled});
        if (!cancelled) ++slotsInUse;
        {
          auto& state = OperationAccess::state(*operation);
          std::lock_guard operationLock(state.mutex);
          state.finishedHook = [self = shared_from_this(), raw = operation.get()] {
            self->operationFinished(raw);
          };
        }
        starting.push_back(operation);
        it = waiting.erase(it);
      }
    }
    for (auto& operation : starting) {
      Queue::global()->async([operation] { operation->start(); });
    }
  }

  void operationFinished(Operation* operation) {
    std::shared_ptr<Operation> released;  // dies outside the lock
    {
      std::lock_guard lock(mutex);
      auto found = std::find_if(running.begin(), running.end(),
                                [&](const Running& r) { return r.operation.get() == operation; });
      if (found != running.end()) {
        if (found->holdsSlot) --slotsInUse;
        released = std::move(found->operation);
        running.erase(found);
      }
      if (waiting.empty() && running.empty()) idle.notify_all();
    }
    startReady(/*untilSlotsAreFull=*/true);
  }
};

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() = default;

std::string OperationQueue::name() const {
  std::lock_guard lock(state_->mutex);
  return state_->name;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(state_->mutex);
  state_->name = std::move(name);
}

long OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxCount;
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
  {
    std::lock_guard lock(state_->mutex);
    state_->maxCount = count;
  }
  state_->startReady();
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) {
    throw Exception("NSInvalidArgumentException", "cannot add a null operation to a queue");
  }
  {
    auto& state = OperationAccess::state(*operation);
    std::lock_guard lock(state.mutex);
    if (state.enqueued || state.started || state.finished) {
      throw Exception("NSInvalidArgumentException",
                      "operation is finished, is executing or is already in a queue, and "
                      "cannot be enqueued");
    }
    state.enqueued = true;
    state.readinessChanged = [weak = std::weak_ptr<State>(state_)] {
      if (auto queue = weak.lock()) queue->startReady();
    };
  }
  const std::shared_ptr<Operation> added = operation;
  {
    std::lock_guard lock(state_->mutex);
    state_->waiting.push_back(std::move(operation));
  }
  // Read once it is in line: a cancellation before then found nothing to start.
  state_->startReady(/*untilSlotsAreFull=*/!added->isCancelled());
}

void OperationQueue::addOperationWithBlock(Task block) {
  addOperation(std::make_shared<Operation>(std::move(block)));
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
  }
  if (!suspended) state_->startReady();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void OperationQueue::cancelAllOperations() {
  std::vector<std::shared_ptr<Operation>> operations;
  {
    std::lock_guard lock(state_->mutex);
    operations.assign(state_->waiting.begin(), state_->waiting.end());
    for (const auto& running : state_->running) operations.push_back(running.operation);
  }
  for (const auto& operation : operations) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  detail::BlockedWorkerScope blocked;
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [this] { return state_->waiting.empty() && state_->running.empty(); });
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiting.size() + state_->running.size();
}

}  // namespace platform
