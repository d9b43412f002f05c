// Test helpers of the transport: the lines written to the system log while a case runs, and
// the transport's minimum log level lowered for the case.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "platform/system_log.h"

namespace transport_testing {

class LogCapture {
 public:
  explicit LogCapture(int minimumLevel = RDTCORLoggingLevelErrors)
      : savedLevel_(RDTCORConsoleLoggerLoggingLevel()) {
    RDTCORSetConsoleLoggerLoggingLevel(minimumLevel);
    previous_ =
        platform::SystemLog::setCaptureSink([this](const platform::SystemLog::Entry& entry) {
          std::lock_guard lock(mutex_);
          lines_.push_back(entry.message);
        });
  }
  ~LogCapture() {
    platform::SystemLog::setCaptureSink(previous_);
    RDTCORSetConsoleLoggerLoggingLevel(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool contains(const std::string& text) const {
    for (const std::string& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  int savedLevel_;
  platform::SystemLog::Sink previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace transport_testing
