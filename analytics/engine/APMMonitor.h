// APMMonitor: the analytics client's own diagnostic logger. A call carries a monitor
// level (0 to 8), a message code fixed per call site and up to a few context values; the
// loggable ones become shared-logger lines "I-ACS" plus six digits under the log tag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/messages/APMServices.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMMonitor : public APMMonitorLogging {
 public:
  APMMonitor();

  // The service tag of console lines, "<DedArorarivuva>" at creation.
  std::string logTag() const;
  void setLogTag(std::string logTag);

  // A null context is written "(nil)", any other as its description. Lines reach the
  // shared logger in the order of the calls.
  void logWithLevel(std::int64_t level, std::int64_t messageCode,
                    const std::optional<std::string>& message,
                    const platform::Array& contexts = {}) override;

  // Off at creation.
  bool isDebugModeEnabled() const override;
  void setDebugModeEnabled(bool enabled);

  // "ERROR", "WARNING", "NOTICE" or "DEBUG" for levels 0..7, none otherwise.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
  // Silent levels (2, 5 and any outside 0..8) never reach the console.
  static bool isSilentLevel(std::int64_t level);
  // The shared-logger level of a monitor level (3, 4, 5 or 7; 4 outside 0..8).
  static int ZULLoggerLevelFromLogLevel(std::int64_t level);
  // The console text: the message (or "(Message was nil)" / "(Message was empty)"), then
  // ": " and the contexts joined by ", ".
  static std::string stringWithLogMessage(const std::optional<std::string>& message,
                                          const platform::Array& contexts);

 private:
  platform::QueuePtr monitorQueue_;
  mutable std::mutex mutex_;
  std::string logTag_;
  std::atomic<bool> debugModeEnabled_{false};
};
