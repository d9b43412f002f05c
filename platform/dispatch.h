// Dispatch: labelled serial and concurrent queues, groups, semaphores, once and timer
// sources. Every piece of state belongs to one queue and is touched only there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

using Task = std::function<void()>;

// A queue of tasks. Serial queues run one task at a time, in order; concurrent queues
// run tasks in parallel on a shared pool, with barriers for exclusive work. A task waiting
// on a semaphore, a group or a sync gives its place in the pool to others while it waits.
// The main queue runs on the main thread, drained by RunLoop.
class Queue : public std::enable_shared_from_this<Queue> {
 public:
  enum class Kind { Serial, Concurrent, Main };
  enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

  static std::shared_ptr<Queue> serial(std::string label);
  static std::shared_ptr<Queue> concurrent(std::string label);
  // The process-wide concurrent queue of a quality of service.
  static std::shared_ptr<Queue> global(QoS qos = QoS::Default);
  static std::shared_ptr<Queue> main();

  virtual ~Queue() = default;
  virtual Kind kind() const = 0;
  virtual const std::string& label() const = 0;

  virtual void async(Task task) = 0;
  // Runs the task and waits for it. A sync onto the queue that is running the caller
  // (directly or from an enclosing sync) runs inline instead of deadlocking.
  virtual void sync(const Task& task) = 0;
  // On a concurrent queue, waits for the tasks before it and runs alone; on a serial
  // queue the same as async / sync.
  virtual void barrierAsync(Task task) = 0;
  virtual void barrierSync(const Task& task) = 0;
  // Runs the task on this queue once the installed Clock's uptime has advanced by the
  // delay (in seconds; zero or less runs it as async).
  virtual void after(double delaySeconds, Task task) = 0;

  // Suspended queues hold their tasks until resumed; calls nest.
  virtual void suspend() = 0;
  virtual void resume() = 0;

  // Whether the calling thread is running a task of this queue.
  bool isCurrent() const;
  // The label of the queue running the calling thread's task; "" outside any queue,
  // "main-thread" on the main thread.
  static std::string currentLabel();

  // Queue-specific values: set on a queue, read back from any task running on it.
  void setSpecific(const void* key, std::shared_ptr<void> value);
  std::shared_ptr<void> specific(const void* key) const;
  static std::shared_ptr<void> getSpecific(const void* key);
};

using QueuePtr = std::shared_ptr<Queue>;

// Tracks a set of tasks; notifies or wakes waiters when the last one leaves.
class Group {
 public:
  Group();
  void enter();
  void leave();
  void async(const QueuePtr& queue, Task task);
  // Waits in real time; false when the timeout (seconds) passed first. No timeout
  // waits forever.
  bool wait(std::optional<double> timeoutSeconds = std::nullopt);
  // Runs the task on the queue once the group is empty (at once if it is).
  void notify(const QueuePtr& queue, Task task);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  void signal();
  // False when the timeout (seconds, real time) passed first.
  bool wait(std::optional<double> timeoutSeconds = std::nullopt);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Runs a block once per token, whichever thread comes first; the others wait for it.
class Once {
 public:
  template <typename F> void call(F&& f) { std::call_once(flag_, std::forward<F>(f)); }

 private:
  std::once_flag flag_;
};

// A repeating (or one-shot) timer that runs its handler on a queue. It starts
// suspended; resume() starts it, cancel() stops it for good and runs the cancel handler.
class TimerSource : public std::enable_shared_from_this<TimerSource> {
 public:
  static std::shared_ptr<TimerSource> create(QueuePtr queue);
  virtual ~TimerSource() = default;

  // First firing after startDelay seconds (Clock uptime), then every interval seconds
  // (no interval: once). Leeway is how late a firing may come; it is a hint.
  virtual void setTimer(double startDelaySeconds, std::optional<double> intervalSeconds,
                        double leewaySeconds = 0) = 0;
  virtual void setEventHandler(Task handler) = 0;
  virtual void setCancelHandler(Task handler) = 0;
  virtual void resume() = 0;
  virtual void suspend() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

}  // namespace platform
