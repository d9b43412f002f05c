// APMEventAggregates: one row of the "events" table: how often an event was logged in total,
// in the bundle being built and in the current session, when it last fired and was bundled,
// and the state of event sampling for it. The counters never go negative: creation refuses
// negative counts and each increment starts again at 0 instead of overflowing.
//
// No lock: an object is used on the worker queue that owns the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMEventAggregates {
 public:
  // Null for a name that is not a valid internal event name, or for a negative count
  // (logged). The sampling state starts at rate 1, not exempt, no complex event, day 0.
  static std::shared_ptr<APMEventAggregates>
  initWithName(const std::string& name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
               std::int32_t currentSessionCount, double lastFireTimestamp);

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  // A number (signed 64-bit), or nothing.
  const std::optional<platform::Value>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  void setLastSampledComplexEventID(std::optional<platform::Value> eventID) {
    lastSampledComplexEventID_ = std::move(eventID);
  }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

  // Each adds 1; at the largest 32-bit value the counter becomes 0 and the reset is logged.
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

 private:
  APMEventAggregates() = default;

  std::string name_;
  std::int32_t lifetimeCount_ = 0;
  std::int32_t currentBundleCount_ = 0;
  std::int32_t currentSessionCount_ = 0;
  double lastFireTimestamp_ = 0;
  double lastBundledTimestamp_ = 0;
  std::optional<platform::Value> lastSampledComplexEventID_;
  std::int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::int32_t lastBundledDay_ = 0;
};
