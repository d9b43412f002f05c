// RecordingMonitor: a monitor for tests that keeps every line it is handed, installed for
// the lifetime of a ScopedMonitor.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/messages/APMServices.h"
#include "platform/value.h"

namespace analytics_test {

class RecordingMonitor : public APMMonitorLogging {
 public:
  struct Line {
    std::int64_t level;
    std::int64_t messageCode;
    std::optional<std::string> message;
    platform::Array contexts;
  };

  void logWithLevel(std::int64_t level, std::int64_t messageCode,
                    const std::optional<std::string>& message,
                    const platform::Array& contexts) override {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, messageCode, message, contexts});
  }
  bool isDebugModeEnabled() const override { return debugMode_; }
  void setDebugModeEnabled(bool enabled) { debugMode_ = enabled; }

  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  bool debugMode_ = false;
};

// Installs a fresh RecordingMonitor process-wide and takes it out again.
class ScopedMonitor {
 public:
  ScopedMonitor() : monitor_(std::make_shared<RecordingMonitor>()) {
    APMServicesSetMonitor(monitor_);
  }
  ~ScopedMonitor() { APMServicesSetMonitor(nullptr); }
  ScopedMonitor(const ScopedMonitor&) = delete;
  ScopedMonitor& operator=(const ScopedMonitor&) = delete;

  RecordingMonitor& operator*() const { return *monitor_; }
  RecordingMonitor* operator->() const { return monitor_.get(); }

 private:
  std::shared_ptr<RecordingMonitor> monitor_;
};

}  // namespace analytics_test
