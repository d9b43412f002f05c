#include "analytics/engine/APMASLLogger.h"

#include <span>

#include "analytics/engine/APMMonitor.h"
#include "foundation/ZULLogger.h"
#include "platform/format.h"

namespace {

// The text is handed on as the format of an empty argument list: doubled, its own "%" signs
// come out as written.
std::string escapingPercentSigns(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return escaped;
}

}  // namespace

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              std::int64_t messageCode, std::int64_t logLevel) {
  const std::string code = platform::format("I-ACS%06ld", {messageCode});
  ZULLogMessage(ZULLoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7, code,
                escapingPercentSigns(message), std::span<const platform::FormatArg>());
}

int APMASLLogger::ZULLoggerLevelFromLogLevel(std::int64_t logLevel) {
  return APMMonitor::sharedLoggerLevelOf(logLevel);
}
