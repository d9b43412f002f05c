#include "analytics/engine/APMMonitor.h"

#include <array>
#include <utility>

#include "foundation/ZIRLogger.h"
#include "platform/format.h"

namespace {

struct LevelProperties {
  const char* severity;  // none for the verbose level
  int loggerLevel;
  bool silent;
  bool monitorable;
};

constexpr std::array<LevelProperties, 9> kLevels{{
    {"ERROR", ZULLoggerLevelError, false, false},
    {"ERROR", ZULLoggerLevelError, false, true},
    {"ERROR", ZULLoggerLevelError, true, true},
    {"WARNING", ZULLoggerLevelWarning, false, false},
    {"WARNING", ZULLoggerLevelWarning, false, true},
    {"WARNING", ZULLoggerLevelWarning, true, true},
    {"NOTICE", ZULLoggerLevelNotice, false, false},
    {"DEBUG", ZULLoggerLevelDebug, false, false},
    {nullptr, ZULLoggerLevelDebug, false, false},
}};
// Levels outside the table are never written and always sampled.
constexpr LevelProperties kUnknownLevel{nullptr, ZULLoggerLevelWarning, true, true};
constexpr std::int64_t kVerboseLevel = 8;

const LevelProperties& propertiesOf(std::int64_t level) {
  if (level < 0 || level >= static_cast<std::int64_t>(kLevels.size())) return kUnknownLevel;
  return kLevels[static_cast<std::size_t>(level)];
}

// The console text goes to the shared logger as a format with no arguments.
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

APMMonitor::APMMonitor()
    : monitorQueue_(platform::Queue::serial("APMMonitorQueue")), logTag_("<DedArorarivuva>") {}

std::string APMMonitor::logTag() const {
  std::lock_guard lock(mutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string logTag) {
  std::lock_guard lock(mutex_);
  logTag_ = std::move(logTag);
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              const std::optional<std::string>& message,
                              const platform::Array& contexts) {
  // Console lines are stamped with the SDK version and follow the launch switches, which
  // the core logger applies once; not at creation, which happens at class-load time, before
  // the process may read its settings.
  ZIRLoggerSetUpOnce();
  const LevelProperties& properties = propertiesOf(level);
  const bool loggable = !properties.silent && ZULLoggerLevelPasses(properties.loggerLevel);
  if (!loggable) return;
  // Verbose logging cannot be switched on yet, so verbose lines are never written.
  if (level >= kVerboseLevel) return;

  std::string text = escapingPercentSigns(stringWithLogMessage(message, contexts));
  std::string code = platform::format("I-ACS%06ld", {messageCode});
  monitorQueue_->async([level, loggerLevel = properties.loggerLevel, tag = logTag(),
                        code = std::move(code), text = std::move(text)] {
    ZULLogMessage(loggerLevel, tag, level == 7, code, text, std::span<const platform::FormatArg>());
  });
}

bool APMMonitor::isDebugModeEnabled() const { return debugModeEnabled_.load(); }

void APMMonitor::setDebugModeEnabled(bool enabled) { debugModeEnabled_.store(enabled); }

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  if (level < 0 || level >= kVerboseLevel) return std::nullopt;
  return propertiesOf(level).severity;
}

bool APMMonitor::isSilentLevel(std::int64_t level) { return propertiesOf(level).silent; }

int APMMonitor::ZULLoggerLevelFromLogLevel(std::int64_t level) {
  return propertiesOf(level).loggerLevel;
}

std::string APMMonitor::stringWithLogMessage(const std::optional<std::string>& message,
                                             const platform::Array& contexts) {
  std::string text = !message           ? "(Message was nil)"
                     : message->empty() ? "(Message was empty)"
                                        : *message;
  if (contexts.empty()) return text;
  text += ": ";
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += contexts[i].isNull() ? "(nil)" : contexts[i].description();
  }
  return text;
}
