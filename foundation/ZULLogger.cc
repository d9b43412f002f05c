#include "foundation/ZULLogger.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/ZULAppEnvironmentUtil.h"
#include "platform/dispatch.h"
#include "platform/system_log.h"

namespace {

constexpr int kMinimumLevel = ZULLoggerLevelError;
constexpr int kMaximumLevel = ZULLoggerLevelDebug;

// Read on the caller's thread without a lock, as the level test comes before the set-up
// and any formatting; atomics keep those reads well defined. Constant-initialised, so the
// test needs no guard of its own. Until the set-up has run the level is notice, which is
// what the set-up sets, so testing it first drops nothing the set-up would have passed.
constinit std::atomic<int> maximumLevel{ZULLoggerLevelNotice};
constinit std::atomic<bool> debugMode{false};
constinit std::atomic<bool> setUpDone{false};

bool levelPasses(int level) {
  return maximumLevel.load(std::memory_order_relaxed) >= level ||
         debugMode.load(std::memory_order_relaxed);
}

struct LoggerState {
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

void runSetUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    maximumLevel = ZULLoggerLevelNotice;
    state().queue = platform::Queue::serial("ZULLoggingClientQueue");
    setUpDone.store(true, std::memory_order_release);
  });
}

// Once the set-up is done this is one load, not a trip through the once-flag, and it stays
// inline in this file's entries.
void setUpOnce() {
  if (!setUpDone.load(std::memory_order_acquire)) runSetUp();
}

// Whether a variadic call writes its line. The entries ask before they touch their
// arguments at all, so that a dropped call never reads the list the caller built.
bool writes(int level, bool force) { return force || levelPasses(level); }

// Takes the entry's parameters by reference so that the entry, for a dropped call, never
// loads the ones the caller passed on the stack (loads the compiler would otherwise hoist
// above the level test).
void writeWithVarArgs(int level, const std::string_view& service, bool force,
                      const std::string_view& code, const std::string_view& format,
                      const std::initializer_list<ZULLogArgument>& args) {
  const std::vector<platform::FormatArg> formatArgs = ZULLogArgument::formatArgs(args);
  ZULLogMessage(level, service, force, code, format, formatArgs);
}

}  // namespace

std::vector<platform::FormatArg>
ZULLogArgument::formatArgs(std::initializer_list<ZULLogArgument> args) {
  std::vector<platform::FormatArg> formatArgs;
  formatArgs.reserve(args.size());
  for (const ZULLogArgument& arg : args) formatArgs.push_back(arg.makeFormatArg_(arg.value_));
  return formatArgs;
}

void ZULLoggerSetUpOnce() { setUpOnce(); }

void ZULLoggerAddStderr() {
  setUpOnce();
  state().queue->async([] { state().toStandardError = true; });
}

void ZULLoggerForceDebugLevel() {
  if (ZULAppEnvironmentUtil::isFromAppStore()) return;
  debugMode = true;
  ZULLoggerSetLevel(ZULLoggerLevelDebug);
}

void ZULLoggerSetLevel(int level) {
  if (level < kMinimumLevel || level > kMaximumLevel) {
    ZULLogAtError("[ZULLogger]", false, "I-COR000023", "Invalid logger level, %ld", {level});
    return;
  }
  setUpOnce();
  if (level >= ZULLoggerLevelNotice && ZULAppEnvironmentUtil::isFromAppStore()) return;
  maximumLevel = level;
}

bool ZULLoggerLevelPasses(int level) {
  setUpOnce();
  return levelPasses(level);
}

void ZULLoggerRegisterSDKVersion(std::string version) {
  LoggerState& s = state();
  std::lock_guard lock(s.versionMutex);
  s.version = std::move(version);
}

void ZULLogMessage(int level, std::string_view service, bool force, std::string_view code,
                   std::string_view format, ZULLogArguments arguments) {
  if (!force && !levelPasses(level)) return;
  setUpOnce();
  LoggerState& s = state();

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
                   std::string_view format, std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelError, force)) {
    writeWithVarArgs(ZULLoggerLevelError, service, force, code, format, args);
  }
}

void ZULLogAtWarning(std::string_view service, bool force, std::string_view code,
                     std::string_view format, std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelWarning, force)) {
    writeWithVarArgs(ZULLoggerLevelWarning, service, force, code, format, args);
  }
}

void ZULLogAtNotice(std::string_view service, bool force, std::string_view code,
                    std::string_view format, std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelNotice, force)) {
    writeWithVarArgs(ZULLoggerLevelNotice, service, force, code, format, args);
  }
}

void ZULLogAtDebug(std::string_view service, bool force, std::string_view code,
                   std::string_view format, std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelDebug, force)) {
    writeWithVarArgs(ZULLoggerLevelDebug, service, force, code, format, args);
  }
}

void ZULLoggerFlush() {
  setUpOnce();
  state().queue->sync([] {});
}
