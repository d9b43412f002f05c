#include "analytics/engine/APMAlarm.h"

#include <cstdint>
#include <unordered_map>
#include <utility>

#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/APMServices.h"

namespace {

// Pending alarms, each kept alive here until it fires or is cancelled, so that an owner may
// let go of an alarm it has scheduled. Kept here rather than by the timer's handler, so that
// no alarm owns itself through its own timer; never destroyed, so that alarms still pending
// while the process exits are neither torn down under a firing nor reported as lost.
class PendingAlarms {
 public:
  static PendingAlarms& shared() {
    static auto* const pending = new PendingAlarms;
    return *pending;
  }
  void hold(std::shared_ptr<APMAlarm> alarm) {
    std::lock_guard lock(mutex_);
    const APMAlarm* key = alarm.get();
    alarms_[key] = std::move(alarm);
  }
  // The caller lets go of the reference outside its own lock: it may be the last one.
  std::shared_ptr<APMAlarm> release(const APMAlarm* alarm) {
    std::lock_guard lock(mutex_);
    auto found = alarms_.find(alarm);
    if (found == alarms_.end()) return nullptr;
    std::shared_ptr<APMAlarm> held = std::move(found->second);
    alarms_.erase(found);
    return held;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<const APMAlarm*, std::shared_ptr<APMAlarm>> alarms_;
};

}  // namespace

// What a cancellation leaves to do once the alarm's lock is released: cancelling a source
// drops its handler and the block inside it, whose captures may call back into the alarm.
struct APMAlarm::Dropped {
  std::shared_ptr<platform::TimerSource> timer;
  std::shared_ptr<APMAlarm> pending;
  void finish() {
    if (timer) timer->cancel();
    timer.reset();
    pending.reset();
  }
};

std::shared_ptr<APMAlarm> APMAlarm::initWithDispatchQueue(platform::QueuePtr queue,
                                                          const std::string& name) {
  return std::make_shared<APMAlarm>(Passkey{}, std::move(queue), name);
}

APMAlarm::APMAlarm(Passkey, platform::QueuePtr queue, const std::string& name)
    : queue_(std::move(queue)), name_(name.empty() ? "Timer" : name) {
  APMMeasurement::load();
}

APMAlarm::~APMAlarm() { cancel(); }

void APMAlarm::runAfterDelay(double delaySeconds, platform::Task block) {
  if (!block) {
    log(1, 2000, " tried to schedule an empty block");
    return;
  }
  Dropped dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = cancelLocked();
    scheduledTimestamp_ = platform::Date::now().addingTimeInterval(delaySeconds);
    auto timer = platform::TimerSource::create(queue_);
    // The handler may run after this source was cancelled or replaced, once its event is on
    // the queue; the source it belongs to tells fire() whether it is still the pending one.
    timer->setEventHandler(
        [weak = weak_from_this(), source = timer.get(), block = std::move(block)] {
          if (auto self = weak.lock()) self->fire(source, block);
        });
    timer->setTimer(delaySeconds, std::nullopt, 0);
    timer->resume();
    timer_ = std::move(timer);
    PendingAlarms::shared().hold(shared_from_this());
    log(7, 2002, " scheduled to fire in approx. (s)", {delaySeconds});
  }
  dropped.finish();
}

void APMAlarm::cancel() {
  Dropped dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = cancelLocked();
  }
  dropped.finish();
}

bool APMAlarm::hasActiveTimer() const {
  std::lock_guard lock(mutex_);
  return timer_ && !timer_->isCancelled();
}

std::optional<platform::Date> APMAlarm::scheduledTimestamp() const {
  std::lock_guard lock(mutex_);
  return scheduledTimestamp_;
}

APMAlarm::Dropped APMAlarm::cancelLocked() {
  Dropped dropped;
  if (!scheduledTimestamp_) return dropped;
  log(7, 2003, " canceled");
  if (timer_ && !timer_->isCancelled()) {
    dropped.timer = std::move(timer_);
  } else {
    log(4, 2004, " is not active");
  }
  scheduledTimestamp_.reset();
  dropped.pending = PendingAlarms::shared().release(this);
  return dropped;
}

void APMAlarm::fire(const platform::TimerSource* source, const platform::Task& block) {
  Dropped dropped;
  {
    std::lock_guard lock(mutex_);
    if (timer_.get() != source || !scheduledTimestamp_) return;
    log(7, 2001, " fired");
    dropped = cancelLocked();
  }
  dropped.finish();
  block();
}

void APMAlarm::log(std::int64_t level, std::int64_t messageCode, const char* suffix,
                   const platform::Array& contexts) const {
  APMServicesMonitor()->logWithLevel(level, messageCode, name_ + suffix, contexts);
}
