#include "foundation/ZULLogger.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "foundation/ZULAppEnvironmentUtil.h"
#include "platform/dispatch.h"
#include "platform/system_log.h"

namespace {

constexpr int kMinimumLevel = ZULLoggerLevelError;
constexpr int kMaximumLevel = ZULLoggerLevelDebug;

struct LoggerState {
  // Read on the caller's thread without a lock, as the level test comes before any
  // formatting; atomics keep those reads well defined.
  std::atomic<int> maximumLevel{ZULLoggerLevelNotice};
  std::atomic<bool> debugMode{false};

  std::mutex versionMutex;
  std::optional<std::string> version;

  platform::QueuePtr queue;
  // Touched only on the queue, so that lines queued before the switch are not copied.
  bool toStandardError = false;
};

// Never destroyed: a line still queued at exit must find the state in place.
LoggerState& state() {
  static LoggerState* const loggerState = new LoggerState;
  return *loggerState;
}

void logWithVarArgs(int level, std::string_view service, bool force, std::string_view code,
                    std::string_view format, std::initializer_list<platform::FormatArg> args) {
  ZULLogMessage(level, service, force, code, format,
                std::span<const platform::FormatArg>(args.begin(), args.size()));
}

}  // namespace

void ZULLoggerSetUpOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    LoggerState& s = state();
    s.maximumLevel = ZULLoggerLevelNotice;
    s.queue = platform::Queue::serial("ZULLoggingClientQueue");
  });
}

void ZULLoggerAddStderr() {
  ZULLoggerSetUpOnce();
  state().queue->async([] { state().toStandardError = true; });
}

void ZULLoggerForceDebugLevel() {
  if (ZULAppEnvironmentUtil::isFromAppStore()) return;
  state().debugMode = true;
  ZULLoggerSetLevel(ZULLoggerLevelDebug);
}

void ZULLoggerSetLevel(int level) {
  if (level < kMinimumLevel || level > kMaximumLevel) {
    ZULLogAtError("[ZULLogger]", false, "I-COR000023", "Invalid logger level, %ld", {level});
    return;
  }
  ZULLoggerSetUpOnce();
  if (level >= ZULLoggerLevelNotice && ZULAppEnvironmentUtil::isFromAppStore()) return;
  state().maximumLevel = level;
}

bool ZULLoggerLevelPasses(int level) {
  ZULLoggerSetUpOnce();
  const LoggerState& s = state();
  return s.maximumLevel >= level || s.debugMode;
}

void ZULLoggerRegisterSDKVersion(std::string version) {
  LoggerState& s = state();
  std::lock_guard lock(s.versionMutex);
  s.version = std::move(version);
}

void ZULLogMessage(int level, std::string_view service, bool force, std::string_view code,
                   std::string_view format, ZULLogArguments arguments) {
  ZULLoggerSetUpOnce();
  LoggerState& s = state();
  if (!force && !(s.maximumLevel >= level) && !s.debugMode) return;

  const std::string text = arguments ? platform::format(format, *arguments) : std::string(format);
  std::optional<std::string> version;
  {
    std::lock_guard lock(s.versionMutex);
    version = s.version;
  }
  // The version is null until registered, and prints so.
  std::string line =
      platform::format("%@ - %@[%@] %@", {version ? platform::Value(*version) : platform::Value(),
                                          service, code, text});
  s.queue->async([level, line = std::move(line)] {
    platform::SystemLog::write(level, line, state().toStandardError);
  });
}

void ZULLogAtError(std::string_view service, bool force, std::string_view code,
                   std::string_view format, std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelError, service, force, code, format, args);
}

void ZULLogAtWarning(std::string_view service, bool force, std::string_view code,
                     std::string_view format, std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelWarning, service, force, code, format, args);
}

void ZULLogAtNotice(std::string_view service, bool force, std::string_view code,
                    std::string_view format, std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelNotice, service, force, code, format, args);
}

void ZULLogAtDebug(std::string_view service, bool force, std::string_view code,
                   std::string_view format, std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelDebug, service, force, code, format, args);
}

void ZULLoggerFlush() {
  ZULLoggerSetUpOnce();
  state().queue->sync([] {});
}
