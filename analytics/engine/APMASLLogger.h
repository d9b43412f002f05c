// APMASLLogger: writes the monitor's console lines into the shared SDK logger, under a service
// tag and the code "I-ACS" plus six digits.
#pragma once

#include <cstdint>
#include <string>

class APMASLLogger {
 public:
  virtual ~APMASLLogger() = default;

  // The text goes out verbatim ("%" is never read as a format); debug-level lines are forced.
  virtual void logMessage(const std::string& message, const std::string& logTag,
                          std::int64_t messageCode, std::int64_t logLevel);

  // The shared-logger level of a monitor level: 3, 4, 5 or 7; 4 outside 0..8.
  static int ZULLoggerLevelFromLogLevel(std::int64_t logLevel);
};
