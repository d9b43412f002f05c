// Hooks shared by the dispatch, run loop and clock sources (the main queue's drain and the
// deadline scheduler behind Queue::after and TimerSource); not for use outside platform/.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace platform::detail {

// The most worker threads the pool ever has, blocked ones included.
inline constexpr std::size_t kMaxWorkerThreads = 256;

// Marks the calling thread, when it is a pool worker, as blocked for the scope's lifetime, so
// that the pool starts another worker for queued work instead of waiting for this one.
class BlockedWorkerScope {
 public:
  BlockedWorkerScope();
  ~BlockedWorkerScope();
  BlockedWorkerScope(const BlockedWorkerScope&) = delete;
  BlockedWorkerScope& operator=(const BlockedWorkerScope&) = delete;

 private:
  const bool worker_;
};

// Runs the next main-queue task on the calling thread; false when none is ready.
bool runNextMainQueueTask();
// Blocks until a main-queue task is ready or the time passes.
void waitForMainQueueTask(std::chrono::steady_clock::time_point until);
void setMainQueueWakeUpHook(std::function<void()> hook);

// Swaps the installed clock (the swap callback stores it). Pending deadlines keep the time
// they still had to wait on the old clock.
void replaceClock(const std::function<void()>& swap);
// Hands every deadline that is due on the installed clock to its queue, in deadline order,
// and returns once all were handed.
void runDueDeadlines();

}  // namespace platform::detail
