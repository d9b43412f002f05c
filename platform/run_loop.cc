#include "platform/run_loop.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch_internal.h"

namespace platform {
namespace {

// 0 until setMainThread(): then the main thread is the process's initial thread (the one
// whose id is the process id), which is where both the application and the test runner
// start. Deciding by identity rather than by who touches the run loop first keeps a worker
// that happens to post to the main queue first from being taken for the main thread.
std::atomic<pid_t> mainThreadId{0};

pid_t currentThreadId() {
  thread_local const pid_t id = gettid();
  return id;
}

void requireMainThread(const char* function) {
  if (!RunLoop::isMainThread()) {
    std::fprintf(stderr, "platform: RunLoop::%s called off the main thread\n", function);
    std::abort();
  }
}

// How long runUntil sleeps at most between looks at its predicate, which may be waiting on
// work that never touches the main queue.
constexpr auto kPredicatePollInterval = std::chrono::milliseconds(2);

}  // namespace

void RunLoop::setMainThread() { mainThreadId.store(currentThreadId(), std::memory_order_release); }

bool RunLoop::isMainThread() {
  pid_t main = mainThreadId.load(std::memory_order_acquire);
  return currentThreadId() == (main != 0 ? main : getpid());
}

std::size_t RunLoop::drain() {
  requireMainThread("drain");
  std::size_t ran = 0;
  while (detail::runNextMainQueueTask()) ++ran;
  return ran;
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  requireMainThread("runUntil");
  using Clock = std::chrono::steady_clock;
  // Beyond about 31 years is for ever; keeps the deadline from overflowing.
  auto timeout = std::chrono::duration<double>(std::clamp(timeoutSeconds, 0.0, 1e9));
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
  for (;;) {
    if (predicate()) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    if (!detail::runNextMainQueueTask()) {
      detail::waitForMainQueueTask(std::min(deadline, now + kPredicatePollInterval));
    }
  }
}

void RunLoop::runFor(double seconds) {
  runUntil([] { return false; }, seconds);
}

void RunLoop::setWakeUpHook(std::function<void()> hook) {
  detail::setMainQueueWakeUpHook(std::move(hook));
}

}  // namespace platform
