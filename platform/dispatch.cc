#include "platform/dispatch.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch_internal.h"
#include "platform/run_loop.h"

namespace platform {
namespace {

constexpr const char* kMainQueueLabel = "main-thread";

// Misuse the platform treated as a crash (over-resume, unbalanced group leave).
[[noreturn]] void fatal(const char* message) {
  std::fprintf(stderr, "platform dispatch: %s\n", message);
  std::abort();
}

// Delays beyond this (about 31 years) are treated as "never" rather than overflowing.
constexpr double kLongestDelaySeconds = 1e9;

std::int64_t toNanoseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return std::llround(std::min(seconds, kLongestDelaySeconds) * 1e9);
}

// The queues whose tasks the calling thread is running, innermost last. A sync onto another
// queue pushes that queue on top of the caller's; a main-queue sync from another thread
// carries the caller's list over to the main thread, so that a sync back onto any of them
// runs inline instead of deadlocking.
thread_local std::vector<const Queue*> runningQueues;

class RunningQueueScope {
 public:
  explicit RunningQueueScope(const Queue* queue) : count_(1) { runningQueues.push_back(queue); }
  RunningQueueScope(const std::vector<const Queue*>& callers, const Queue* queue)
      : count_(callers.size() + 1) {
    runningQueues.insert(runningQueues.end(), callers.begin(), callers.end());
    runningQueues.push_back(queue);
  }
  ~RunningQueueScope() { runningQueues.resize(runningQueues.size() - count_); }
  RunningQueueScope(const RunningQueueScope&) = delete;
  RunningQueueScope& operator=(const RunningQueueScope&) = delete;

 private:
  std::size_t count_;
};

// Worker threads shared by every queue. A serial queue borrows one worker while it has
// tasks; each concurrent task takes one. A worker is started whenever a job finds no idle
// one, while fewer than kMaxRunningWorkers are running; a worker blocked in a wait that
// dispatch knows of (a semaphore, a group, a sync onto a queue) is not running, so the work it
// waits for still gets a thread however many workers wait. kMaxWorkers bounds the pool even
// then, and workers above the running limit end once their job is done. Idle workers end after
// kIdleTimeout. Workers are detached and the pool is never destroyed, so that process exit
// neither waits for them nor pulls memory from under them.
class WorkerPool {
 public:
  static WorkerPool& shared() {
    static WorkerPool* const pool = new WorkerPool;
    return *pool;
  }

  void submit(Task job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (!startWorkerIfWanted()) wake_.notify_one();
  }

  // Whether the calling thread is one of the pool's workers.
  static bool isWorker() { return isWorker_; }

  void workerBlocked() {
    std::lock_guard lock(mutex_);
    ++blocked_;
    startWorkerIfWanted();
  }

  void workerUnblocked() {
    std::lock_guard lock(mutex_);
    --blocked_;
  }

 private:
  static constexpr std::size_t kMaxRunningWorkers = 64;
  static constexpr std::size_t kMaxWorkers = detail::kMaxWorkerThreads;
  static constexpr auto kIdleTimeout = std::chrono::seconds(5);

  std::size_t running() const { return threads_ - blocked_; }

  // With mutex_ held: starts a worker for a job that no idle worker will take, within the
  // limits; false when none was started.
  bool startWorkerIfWanted() {
    if (idle_ >= jobs_.size() || running() >= kMaxRunningWorkers || threads_ >= kMaxWorkers) {
      return false;
    }
    try {
      std::thread([this] { work(); }).detach();
      ++threads_;
      return true;
    } catch (const std::system_error&) {
      // Out of threads: the job waits for a running worker, if there is one.
      if (threads_ == 0) fatal("cannot start a worker thread");
      return false;
    }
  }

  void work() {
    isWorker_ = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        bool gotJob = wake_.wait_for(lock, kIdleTimeout, [this] { return !jobs_.empty(); });
        --idle_;
        if (!gotJob) {
          --threads_;
          return;
        }
      }
      Task job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // captured state dies outside the lock
      lock.lock();
      // More workers run than the limit allows: ones started while others were blocked
      // outlast those waits only as long as their job.
      if (running() > kMaxRunningWorkers) {
        --threads_;
        return;
      }
    }
  }

  static thread_local bool isWorker_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> jobs_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
  std::size_t blocked_ = 0;
};

thread_local bool WorkerPool::isWorker_ = false;

using detail::BlockedWorkerScope;

// Waits on the condition in real time; no timeout waits for ever. A worker counts as blocked
// while it waits.
template <typename Predicate>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
             std::optional<double> timeoutSeconds, Predicate ready) {
  if (ready()) return true;
  if (timeoutSeconds && toNanoseconds(*timeoutSeconds) == 0) return false;
  BlockedWorkerScope blocked;
  if (!timeoutSeconds || *timeoutSeconds >= kLongestDelaySeconds) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::nanoseconds(toNanoseconds(*timeoutSeconds)), ready);
}

// A sync caller waiting in a queue's line for its turn to hold the queue.
struct SyncTicket {
  std::condition_variable turn;
  bool granted = false;
};

struct WorkItem {
  Task task;
  SyncTicket* ticket = nullptr;
  bool barrier = false;
};

// What every queue kind shares: label, queue-specific values and delayed blocks. Queued
// tasks keep their queue alive through the worker job that runs them, so dropping the last
// reference does not lose them; a queue dropped while suspended has no such job, and its
// held tasks are destroyed unrun.
class QueueBase : public Queue {
 public:
  explicit QueueBase(std::string label) : label_(std::move(label)) {}
  const std::string& label() const override { return label_; }
  void after(double delaySeconds, Task task) override;

  void setSpecificValue(const void* key, std::shared_ptr<void> value) {
    std::lock_guard lock(specificsMutex_);
    if (value) {
      specifics_[key] = std::move(value);
    } else {
      specifics_.erase(key);
    }
  }
  std::shared_ptr<void> specificValue(const void* key) const {
    std::lock_guard lock(specificsMutex_);
    auto found = specifics_.find(key);
    return found == specifics_.end() ? nullptr : found->second;
  }

 private:
  const std::string label_;
  mutable std::mutex specificsMutex_;
  std::map<const void*, std::shared_ptr<void>> specifics_;
};

// Runs its tasks one at a time, in order, on a borrowed worker. A sync caller waits in the
// same line and, when its turn comes, runs its task on its own thread while the queue is
// held for it.
class SerialQueue final : public QueueBase {
 public:
  using QueueBase::QueueBase;
  Kind kind() const override { return Kind::Serial; }

  void async(Task task) override {
    std::lock_guard lock(mutex_);
    items_.push_back({std::move(task)});
    startDrainIfIdle();
  }

  void sync(const Task& task) override {
    if (isCurrent()) {
      RunningQueueScope running(this);
      task();
      return;
    }
    acquire();
    struct Release {
      SerialQueue* queue;
      ~Release() { queue->release(); }
    } release{this};
    RunningQueueScope running(this);
    task();
  }

  void barrierAsync(Task task) override { async(std::move(task)); }
  void barrierSync(const Task& task) override { sync(task); }

  void suspend() override {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void resume() override {
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) fatal("Queue::resume() without a matching suspend()");
    --suspendCount_;
    startDrainIfIdle();
  }

 private:
  // With mutex_ held.
  void startDrainIfIdle() {
    if (busy_ || suspendCount_ > 0 || items_.empty()) return;
    busy_ = true;
    WorkerPool::shared().submit(
        [self = std::static_pointer_cast<SerialQueue>(shared_from_this())] { self->drain(); });
  }

  void drain() {
    std::unique_lock lock(mutex_);
    while (suspendCount_ == 0 && !items_.empty()) {
      WorkItem item = std::move(items_.front());
      items_.pop_front();
      if (item.ticket) {
        // The queue now belongs to the sync caller, who releases it when done.
        item.ticket->granted = true;
        item.ticket->turn.notify_one();
        return;
      }
      lock.unlock();
      {
        RunningQueueScope running(this);
        item.task();
      }
      item.task = nullptr;
      lock.lock();
    }
    busy_ = false;
  }

  void acquire() {
    std::unique_lock lock(mutex_);
    if (!busy_ && suspendCount_ == 0 && items_.empty()) {
      busy_ = true;
      return;
    }
    SyncTicket ticket;
    items_.push_back({nullptr, &ticket});
    startDrainIfIdle();
    waitFor(ticket.turn, lock, std::nullopt, [&] { return ticket.granted; });
  }

  void release() {
    std::lock_guard lock(mutex_);
    busy_ = false;
    startDrainIfIdle();
  }

  std::mutex mutex_;
  std::deque<WorkItem> items_;
  // A worker or a sync caller holds the queue.
  bool busy_ = false;
  int suspendCount_ = 0;
};

// Runs its tasks in parallel, each on a worker, in the order they were submitted; a barrier
// waits for the tasks before it and holds back the ones after it. The global queues are
// concurrent queues that, as on the platform, ignore suspension and treat barriers as
// plain tasks.
class ConcurrentQueue final : public QueueBase {
 public:
  ConcurrentQueue(std::string label, bool global) : QueueBase(std::move(label)), global_(global) {}
  Kind kind() const override { return Kind::Concurrent; }

  void async(Task task) override { enqueue({std::move(task), nullptr, false}); }
  void barrierAsync(Task task) override { enqueue({std::move(task), nullptr, !global_}); }
  void sync(const Task& task) override { runSync(task, false); }
  void barrierSync(const Task& task) override { runSync(task, !global_); }

  void suspend() override {
    if (global_) return;
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void resume() override {
    if (global_) return;
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) fatal("Queue::resume() without a matching suspend()");
    --suspendCount_;
    startReady();
  }

 private:
  void enqueue(WorkItem item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    startReady();
  }

  // With mutex_ held: starts tasks from the front of the line while the rules allow.
  void startReady() {
    while (suspendCount_ == 0 && !items_.empty() && !barrierRunning_) {
      if (items_.front().barrier) {
        if (running_ > 0) return;
        barrierRunning_ = true;
      } else {
        ++running_;
      }
      WorkItem item = std::move(items_.front());
      items_.pop_front();
      if (item.ticket) {
        item.ticket->granted = true;
        item.ticket->turn.notify_one();
        continue;
      }
      WorkerPool::shared().submit(
          [self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this()),
           task = std::move(item.task), barrier = item.barrier]() mutable {
            {
              RunningQueueScope running(self.get());
              task();
            }
            task = nullptr;
            self->finished(barrier);
          });
    }
  }

  void finished(bool barrier) {
    std::lock_guard lock(mutex_);
    if (barrier) {
      barrierRunning_ = false;
    } else {
      --running_;
    }
    startReady();
  }

  void runSync(const Task& task, bool barrier) {
    if (isCurrent()) {
      RunningQueueScope running(this);
      task();
      return;
    }
    {
      std::unique_lock lock(mutex_);
      bool free =
          suspendCount_ == 0 && items_.empty() && !barrierRunning_ && (!barrier || running_ == 0);
      if (free) {
        if (barrier) {
          barrierRunning_ = true;
        } else {
          ++running_;
        }
      } else {
        SyncTicket ticket;
        items_.push_back({nullptr, &ticket, barrier});
        startReady();
        waitFor(ticket.turn, lock, std::nullopt, [&] { return ticket.granted; });
      }
    }
    struct Finish {
      ConcurrentQueue* queue;
      bool barrier;
      ~Finish() { queue->finished(barrier); }
    } finish{this, barrier};
    RunningQueueScope running(this);
    task();
  }

  const bool global_;
  std::mutex mutex_;
  std::deque<WorkItem> items_;
  std::size_t running_ = 0;
  bool barrierRunning_ = false;
  int suspendCount_ = 0;
};

// A sync onto the main queue from another thread: the main thread runs the task and
// signals the waiting caller.
struct MainSync {
  MainSync(const Task* task, std::vector<const Queue*> callers)
      : task(task), callers(std::move(callers)) {}
  const Task* task;
  std::vector<const Queue*> callers;
  bool done = false;
  std::condition_variable finished;
};

struct MainItem {
  Task task;
  MainSync* sync = nullptr;
};

// The main thread's queue: tasks wait here until the main thread drains them (RunLoop).
class MainQueue final : public QueueBase {
 public:
  MainQueue() : QueueBase(kMainQueueLabel) {}
  Kind kind() const override { return Kind::Main; }

  void async(Task task) override {
    {
      std::lock_guard lock(mutex_);
      items_.push_back({std::move(task)});
      ready_.notify_all();
    }
    wakeUp();
  }

  void sync(const Task& task) override {
    if (RunLoop::isMainThread() || isCurrent()) {
      RunningQueueScope running(this);
      task();
      return;
    }
    MainSync sync{&task, runningQueues};
    {
      std::lock_guard lock(mutex_);
      items_.push_back({nullptr, &sync});
      ready_.notify_all();
    }
    wakeUp();
    std::unique_lock lock(mutex_);
    waitFor(sync.finished, lock, std::nullopt, [&] { return sync.done; });
  }

  void barrierAsync(Task task) override { async(std::move(task)); }
  void barrierSync(const Task& task) override { sync(task); }

  void suspend() override {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void resume() override {
    {
      std::lock_guard lock(mutex_);
      if (suspendCount_ == 0) fatal("Queue::resume() without a matching suspend()");
      if (--suspendCount_ > 0 || items_.empty()) return;
      ready_.notify_all();
    }
    wakeUp();
  }

  bool runNext() {
    std::unique_lock lock(mutex_);
    if (suspendCount_ > 0 || items_.empty()) return false;
    MainItem item = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    if (!item.sync) {
      {
        RunningQueueScope running(this);
        item.task();
      }
      item.task = nullptr;
      return true;
    }
    struct Signal {
      MainQueue* queue;
      MainSync* sync;
      ~Signal() {
        std::lock_guard lock(queue->mutex_);
        sync->done = true;
        sync->finished.notify_one();
      }
    } signal{this, item.sync};
    RunningQueueScope running(item.sync->callers, this);
    (*item.sync->task)();
    return true;
  }

  void waitForTask(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    ready_.wait_until(lock, until, [this] { return suspendCount_ == 0 && !items_.empty(); });
  }

  void setWakeUpHook(std::function<void()> hook) {
    auto shared = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
    std::lock_guard lock(hookMutex_);
    hook_.swap(shared);
  }

 private:
  void wakeUp() {
    std::shared_ptr<const std::function<void()>> hook;
    {
      std::lock_guard lock(hookMutex_);
      hook = hook_;
    }
    if (hook) (*hook)();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<MainItem> items_;
  int suspendCount_ = 0;
  std::mutex hookMutex_;
  std::shared_ptr<const std::function<void()>> hook_;
};

MainQueue& mainQueue() { return static_cast<MainQueue&>(*Queue::main()); }

// Holds the deadlines of delayed blocks and timer firings, measured in nanoseconds of the
// installed Clock's uptime. One thread waits for the earliest: with a real clock it sleeps
// until then; while a ManualClock is installed it sleeps until woken and only hands over
// deadlines already due (a timer set to start now), ManualClock::advance handing over the
// rest itself. Passes over due deadlines never overlap, so when advance returns every due
// deadline has been handed to its queue.
class DeadlineScheduler {
 public:
  // Called with how late (nanoseconds) the deadline was handed over.
  using Fire = std::function<void(std::int64_t lateNanoseconds)>;

  static DeadlineScheduler& shared() {
    static DeadlineScheduler* const scheduler = new DeadlineScheduler;
    return *scheduler;
  }

  std::uint64_t schedule(std::int64_t delayNanoseconds, Fire fire) {
    std::lock_guard lock(mutex_);
    if (!threadStarted_) {
      threadStarted_ = true;
      std::thread([this] { loop(); }).detach();
    }
    Key key{now() + delayNanoseconds, ++lastId_};
    if (entries_.empty() || key < entries_.begin()->first) wakeLocked();
    entries_.emplace(key, std::move(fire));
    deadlines_.emplace(key.id, key.deadline);
    return key.id;
  }

  void cancel(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto found = deadlines_.find(id);
    if (found == deadlines_.end()) return;
    entries_.erase(Key{found->second, id});
    deadlines_.erase(found);
  }

  void replaceClock(const std::function<void()>& swap) {
    std::lock_guard lock(mutex_);
    std::int64_t before = now();
    swap();
    std::int64_t shift = now() - before;
    if (shift != 0 && !entries_.empty()) {
      std::map<Key, Fire> shifted;
      for (auto& [key, fire] : entries_) {
        shifted.emplace(Key{key.deadline + shift, key.id}, std::move(fire));
        deadlines_[key.id] = key.deadline + shift;
      }
      entries_.swap(shifted);
    }
    wakeLocked();
  }

  void runDue() {
    std::lock_guard pass(passMutex_);
    for (;;) {
      std::unique_lock lock(mutex_);
      if (entries_.empty()) return;
      auto first = entries_.begin();
      std::int64_t current = now();
      if (first->first.deadline > current) return;
      std::int64_t late = current - first->first.deadline;
      Fire fire = std::move(first->second);
      deadlines_.erase(first->first.id);
      entries_.erase(first);
      lock.unlock();
      fire(late);
    }
  }

 private:
  struct Key {
    std::int64_t deadline;
    std::uint64_t id;  // keeps equal deadlines in the order they were scheduled
    friend auto operator<=>(const Key&, const Key&) = default;
  };

  static std::int64_t now() { return std::llround(Clock::current().uptime() * 1e9); }

  void wakeLocked() {
    woken_ = true;
    wake_.notify_one();
  }

  void loop() {
    for (;;) {
      runDue();
      std::unique_lock lock(mutex_);
      if (!woken_) {
        bool manual = dynamic_cast<const ManualClock*>(&Clock::current()) != nullptr;
        if (entries_.empty() || manual) {
          wake_.wait(lock, [this] { return woken_; });
        } else {
          std::int64_t wait = entries_.begin()->first.deadline - now();
          if (wait > 0) {
            wake_.wait_for(lock, std::chrono::nanoseconds(wait), [this] { return woken_; });
          }
        }
      }
      woken_ = false;
    }
  }

  std::mutex passMutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  bool threadStarted_ = false;
  std::uint64_t lastId_ = 0;
  std::map<Key, Fire> entries_;
  std::unordered_map<std::uint64_t, std::int64_t> deadlines_;
};

void QueueBase::after(double delaySeconds, Task task) {
  std::int64_t delay = toNanoseconds(delaySeconds);
  if (delay == 0) {
    async(std::move(task));
    return;
  }
  // The pending block keeps the queue alive, as a queued task would.
  DeadlineScheduler::shared().schedule(
      delay, [queue = shared_from_this(), task = std::move(task)](std::int64_t) mutable {
        queue->async(std::move(task));
      });
}

// A timer armed on the deadline scheduler. Firings that come while it is suspended are
// remembered and delivered once on resume; firings that come while an earlier event still
// waits on the queue merge into it. A repeating timer keeps its phase when a firing comes
// on time; when it missed whole intervals it fires once and counts the next interval from
// now. Leeway is not used: firings are never deliberately late. cancel() puts the cancel
// handler on the queue at once, suspended or not. The scheduler and queued events hold the
// timer weakly: dropping the last reference without cancel() stops it at once, without
// running the cancel handler.
class Timer final : public TimerSource {
 public:
  explicit Timer(QueuePtr queue) : queue_(std::move(queue)) {}

  ~Timer() override {
    if (entry_ != 0) DeadlineScheduler::shared().cancel(entry_);
  }

  void setTimer(double startDelaySeconds, std::optional<double> intervalSeconds,
                double /*leewaySeconds*/) override {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    interval_ = 0;
    if (intervalSeconds && *intervalSeconds > 0) {
      interval_ = std::max<std::int64_t>(1, toNanoseconds(*intervalSeconds));
    }
    pending_ = false;
    arm(toNanoseconds(startDelaySeconds));
  }

  void setEventHandler(Task handler) override {
    std::unique_lock lock(mutex_);
    if (!cancelled_) handler_.swap(handler);
    lock.unlock();  // the old handler dies outside the lock
  }

  void setCancelHandler(Task handler) override {
    std::unique_lock lock(mutex_);
    if (!cancelled_) cancelHandler_.swap(handler);
    lock.unlock();
  }

  void resume() override {
    std::unique_lock lock(mutex_);
    if (suspendCount_ == 0) fatal("TimerSource::resume() without a matching suspend()");
    if (--suspendCount_ > 0 || !pending_ || cancelled_) return;
    pending_ = false;
    deliver(lock);
  }

  void suspend() override {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void cancel() override {
    Task handler;
    Task cancelHandler;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      if (entry_ != 0) DeadlineScheduler::shared().cancel(entry_);
      entry_ = 0;
      handler.swap(handler_);
      cancelHandler.swap(cancelHandler_);
    }
    if (cancelHandler) queue_->async(std::move(cancelHandler));
  }

  bool isCancelled() const override {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  // With mutex_ held.
  void arm(std::int64_t delay) {
    auto& scheduler = DeadlineScheduler::shared();
    if (entry_ != 0) scheduler.cancel(entry_);
    entry_ = scheduler.schedule(
        delay, [weak = weak_from_this(), generation = ++generation_](std::int64_t late) {
          if (auto self = std::static_pointer_cast<Timer>(weak.lock())) {
            self->fired(generation, late);
          }
        });
  }

  void fired(std::uint64_t generation, std::int64_t late) {
    std::unique_lock lock(mutex_);
    if (cancelled_ || generation != generation_) return;
    entry_ = 0;
    if (interval_ > 0) arm(late < interval_ ? interval_ - late : interval_);
    if (suspendCount_ > 0) {
      pending_ = true;
      return;
    }
    deliver(lock);
  }

  // Puts one event on the queue unless one is already waiting there; releases the lock.
  void deliver(std::unique_lock<std::mutex>& lock) {
    if (eventQueued_) return;
    eventQueued_ = true;
    lock.unlock();
    queue_->async([weak = weak_from_this()] {
      if (auto self = std::static_pointer_cast<Timer>(weak.lock())) self->runEvent();
    });
  }

  void runEvent() {
    Task handler;
    {
      std::lock_guard lock(mutex_);
      eventQueued_ = false;
      if (cancelled_) return;
      handler = handler_;
    }
    if (handler) handler();
  }

  const QueuePtr queue_;
  mutable std::mutex mutex_;
  Task handler_;
  Task cancelHandler_;
  std::int64_t interval_ = 0;  // 0: one-shot
  std::uint64_t entry_ = 0;
  std::uint64_t generation_ = 0;
  int suspendCount_ = 1;
  bool pending_ = false;
  bool eventQueued_ = false;
  bool cancelled_ = false;
};

const Queue* innermostQueue() {
  if (!runningQueues.empty()) return runningQueues.back();
  return RunLoop::isMainThread() ? Queue::main().get() : nullptr;
}

}  // namespace

QueuePtr Queue::serial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

QueuePtr Queue::concurrent(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label), false);
}

QueuePtr Queue::global(QoS qos) {
  // Never destroyed: tasks may still be submitted while the process exits.
  static const auto* const queues = new std::array<QueuePtr, 5>{
      std::make_shared<ConcurrentQueue>("global.background-qos", true),
      std::make_shared<ConcurrentQueue>("global.utility-qos", true),
      std::make_shared<ConcurrentQueue>("global.default-qos", true),
      std::make_shared<ConcurrentQueue>("global.user-initiated-qos", true),
      std::make_shared<ConcurrentQueue>("global.user-interactive-qos", true),
  };
  return (*queues)[static_cast<std::size_t>(qos)];
}

QueuePtr Queue::main() {
  static const auto* const queue = new QueuePtr(std::make_shared<MainQueue>());
  return *queue;
}

bool Queue::isCurrent() const {
  for (const Queue* queue : runningQueues) {
    if (queue == this) return true;
  }
  // The main thread holds the main queue whatever else it is running.
  return kind() == Kind::Main && RunLoop::isMainThread();
}

std::string Queue::currentLabel() {
  const Queue* queue = innermostQueue();
  return queue ? queue->label() : std::string();
}

void Queue::setSpecific(const void* key, std::shared_ptr<void> value) {
  if (auto* queue = dynamic_cast<QueueBase*>(this)) queue->setSpecificValue(key, std::move(value));
}

std::shared_ptr<void> Queue::specific(const void* key) const {
  auto* queue = dynamic_cast<const QueueBase*>(this);
  return queue ? queue->specificValue(key) : nullptr;
}

std::shared_ptr<void> Queue::getSpecific(const void* key) {
  const Queue* queue = innermostQueue();
  return queue ? queue->specific(key) : nullptr;
}

struct Group::State {
  std::mutex mutex;
  std::condition_variable empty;
  long count = 0;
  std::vector<std::pair<QueuePtr, Task>> notifications;

  void leave() {
    std::vector<std::pair<QueuePtr, Task>> due;
    {
      std::lock_guard lock(mutex);
      if (count == 0) fatal("Group::leave() without a matching enter()");
      if (--count > 0) return;
      due.swap(notifications);
      empty.notify_all();
    }
    for (auto& [queue, task] : due) queue->async(std::move(task));
  }
};

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
}

void Group::leave() { state_->leave(); }

void Group::async(const QueuePtr& queue, Task task) {
  enter();
  queue->async([state = state_, task = std::move(task)]() mutable {
    struct Leave {
      State* state;
      ~Leave() { state->leave(); }
    } leave{state.get()};
    task();
    task = nullptr;
  });
}

bool Group::wait(std::optional<double> timeoutSeconds) {
  std::unique_lock lock(state_->mutex);
  return waitFor(state_->empty, lock, timeoutSeconds, [this] { return state_->count == 0; });
}

void Group::notify(const QueuePtr& queue, Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifications.emplace_back(queue, std::move(task));
      return;
    }
  }
  queue->async(std::move(task));
}

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable signalled;
  long value;
};

Semaphore::Semaphore(long value) : state_(std::make_shared<State>()) { state_->value = value; }

void Semaphore::signal() {
  std::lock_guard lock(state_->mutex);
  ++state_->value;
  state_->signalled.notify_one();
}

bool Semaphore::wait(std::optional<double> timeoutSeconds) {
  std::unique_lock lock(state_->mutex);
  if (!waitFor(state_->signalled, lock, timeoutSeconds, [this] { return state_->value > 0; })) {
    return false;
  }
  --state_->value;
  return true;
}

std::shared_ptr<TimerSource> TimerSource::create(QueuePtr queue) {
  return std::make_shared<Timer>(std::move(queue));
}

namespace detail {

BlockedWorkerScope::BlockedWorkerScope() : worker_(WorkerPool::isWorker()) {
  if (worker_) WorkerPool::shared().workerBlocked();
}

BlockedWorkerScope::~BlockedWorkerScope() {
  if (worker_) WorkerPool::shared().workerUnblocked();
}

bool runNextMainQueueTask() { return mainQueue().runNext(); }

void waitForMainQueueTask(std::chrono::steady_clock::time_point until) {
  mainQueue().waitForTask(until);
}

void setMainQueueWakeUpHook(std::function<void()> hook) {
  mainQueue().setWakeUpHook(std::move(hook));
}

void replaceClock(const std::function<void()>& swap) {
  DeadlineScheduler::shared().replaceClock(swap);
}

void runDueDeadlines() { DeadlineScheduler::shared().runDue(); }

}  // namespace detail
}  // namespace platform
