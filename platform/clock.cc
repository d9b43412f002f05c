#include "platform/clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/dispatch_internal.h"

namespace platform {
namespace {

double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Uptime is CLOCK_MONOTONIC: it stands still while the machine sleeps, as the platform's
// uptime did, and it is the clock std::chrono::steady_clock waits on, so the deadline
// scheduler can sleep exactly until a deadline.
class SystemClock final : public Clock {
 public:
  Date now() const override { return Date::fromTimeIntervalSince1970(readClock(CLOCK_REALTIME)); }
  double uptime() const override { return readClock(CLOCK_MONOTONIC); }
  Date bootTime() const override { return now().addingTimeInterval(-uptime()); }
};

// Never destroyed: worker threads may still read the clock while the process exits.
Clock& systemClock() {
  static Clock* const clock = new SystemClock;
  return *clock;
}

std::atomic<Clock*> installedClock{nullptr};
std::mutex installMutex;

// Every clock ever installed stays alive, because Clock::current() hands out plain
// references that another thread may still hold when a test installs the next clock.
std::vector<std::shared_ptr<Clock>>& keptClocks() {
  static auto* const kept = new std::vector<std::shared_ptr<Clock>>;
  return *kept;
}

std::int64_t toNanoseconds(double seconds) { return std::llround(seconds * 1e9); }

}  // namespace

Clock& Clock::current() {
  Clock* clock = installedClock.load(std::memory_order_acquire);
  return clock ? *clock : systemClock();
}

void Clock::install(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(installMutex);
  Clock* raw = clock.get();
  auto& kept = keptClocks();
  if (clock && std::find(kept.begin(), kept.end(), clock) == kept.end()) {
    kept.push_back(std::move(clock));
  }
  detail::replaceClock([raw] { installedClock.store(raw, std::memory_order_release); });
}

struct ManualClock::State {
  State(double wall, std::int64_t uptime) : wallSeconds(wall), uptimeNanoseconds(uptime) {}
  mutable std::mutex mutex;
  double wallSeconds;
  // Whole nanoseconds, so that advancing by 0.9 and then 0.1 lands exactly on 1.0.
  std::int64_t uptimeNanoseconds;
};

ManualClock::ManualClock(Date start, double uptime)
    : state_(std::make_shared<State>(start.timeIntervalSince1970(), toNanoseconds(uptime))) {}

Date ManualClock::now() const {
  std::lock_guard lock(state_->mutex);
  return Date::fromTimeIntervalSince1970(state_->wallSeconds);
}

double ManualClock::uptime() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<double>(state_->uptimeNanoseconds) / 1e9;
}

Date ManualClock::bootTime() const {
  std::lock_guard lock(state_->mutex);
  return Date::fromTimeIntervalSince1970(state_->wallSeconds -
                                         static_cast<double>(state_->uptimeNanoseconds) / 1e9);
}

void ManualClock::advance(double seconds) {
  // Uptime never runs backwards; a test that needs an earlier wall time uses setNow.
  if (!(seconds > 0)) seconds = 0;
  {
    std::lock_guard lock(state_->mutex);
    state_->wallSeconds += seconds;
    state_->uptimeNanoseconds += toNanoseconds(seconds);
  }
  // Only the installed clock drives delayed blocks and timers; copies share one state.
  auto* installed = dynamic_cast<ManualClock*>(&Clock::current());
  if (installed && installed->state_ == state_) detail::runDueDeadlines();
}

void ManualClock::setNow(Date now) {
  std::lock_guard lock(state_->mutex);
  state_->wallSeconds = now.timeIntervalSince1970();
}

}  // namespace platform
