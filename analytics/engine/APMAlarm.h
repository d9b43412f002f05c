// APMAlarm: a named one-shot timer that runs a block once on its queue after a delay; at most
// one firing is pending, and scheduling again replaces it. Safe to use from any queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/date.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMAlarm : public std::enable_shared_from_this<APMAlarm> {
  struct Passkey {};

 public:
  // An empty name gives "Timer", the prefix of every line the alarm logs.
  static std::shared_ptr<APMAlarm> initWithDispatchQueue(platform::QueuePtr queue,
                                                         const std::string& name);
  APMAlarm(Passkey, platform::QueuePtr queue, const std::string& name);
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Replaces any pending firing; a delay of zero or less fires as soon as the queue gets to
  // it, never inside this call. An empty block is logged and changes nothing. Until it fires
  // or is cancelled, a pending alarm is kept alive even when its owner lets it go.
  void runAfterDelay(double delaySeconds, platform::Task block);
  // Drops the pending firing, if any.
  void cancel();
  bool hasActiveTimer() const;
  // Wall-clock due time of the pending firing; none while idle.
  std::optional<platform::Date> scheduledTimestamp() const;

 private:
  struct Dropped;
  // With mutex_ held.
  Dropped cancelLocked();
  void fire(const platform::TimerSource* source, const platform::Task& block);
  void log(std::int64_t level, std::int64_t messageCode, const char* suffix,
           const platform::Array& contexts = {}) const;

  const platform::QueuePtr queue_;
  const std::string name_;
  mutable std::mutex mutex_;
  std::shared_ptr<platform::TimerSource> timer_;
  std::optional<platform::Date> scheduledTimestamp_;
};
