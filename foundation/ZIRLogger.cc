#include "foundation/ZIRLogger.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ZIRVersion.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"

namespace {

constinit std::atomic<bool> setUpDone{false};

void runSetUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    ZULLoggerRegisterSDKVersion(ZIRSDKVersionString());

    const std::vector<std::string> arguments = platform::ProcessInfo::processInfo().arguments();
    const auto hasArgument = [&](std::string_view argument) {
      return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    };
    const bool forceStandardError = hasArgument("-ZIRLoggerForceSTDERR");

    bool debugMode = false;
    const auto defaults = platform::UserDefaults::standard();
    if (hasArgument("-ZIRDebugDisabled")) {
      defaults->removeObjectForKey(kZIRLoggerDebugModeKey);
    } else if (defaults->boolForKey(kZIRLoggerDebugModeKey) || hasArgument("-ZIRDebugEnabled")) {
      defaults->setBool(kZIRLoggerDebugModeKey, true);
      debugMode = true;
    }

    ZULLoggerSetUpOnce();
    if (forceStandardError) ZULLoggerAddStderr();
    if (debugMode) ZULLoggerForceDebugLevel();
    setUpDone.store(true, std::memory_order_release);
  });
}

// Once the set-up is done this is one load, not a trip through the once-flag, and it stays
// inline in this file's entries.
void setUpOnce() {
  if (!setUpDone.load(std::memory_order_acquire)) runSetUp();
}

// Whether a variadic call writes its line. The set-up comes first because it may turn
// debug mode on; then the level. The entries ask before they touch their arguments at all:
// most debug lines are dropped, and a dropped call never reads the list the caller built.
bool writes(int level) {
  setUpOnce();
  return ZULLoggerLevelPasses(level);
}

// Takes the entry's parameters by reference so that the entry, for a dropped call, never
// loads the ones the caller passed on the stack.
void writeWithVarArgs(int level, const std::string_view& service, const std::string_view& code,
                      const std::string_view& format,
                      const std::initializer_list<ZULLogArgument>& args) {
  const std::vector<platform::FormatArg> formatArgs = ZULLogArgument::formatArgs(args);
  ZULLogMessage(level, service, false, code, format, formatArgs);
}

}  // namespace

void ZIRLoggerSetUpOnce() { setUpOnce(); }

void ZIRLoggerSetLevel(int level) {
  setUpOnce();
  ZULLoggerSetLevel(level);
}

void ZIRLogMessage(int level, std::string_view service, std::string_view code,
                   std::string_view format, ZULLogArguments arguments) {
  setUpOnce();
  ZULLogMessage(level, service, false, code, format, arguments);
}

void ZIRLogAtError(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelError)) {
    writeWithVarArgs(ZULLoggerLevelError, service, code, format, args);
  }
}

void ZIRLogAtWarning(std::string_view service, std::string_view code, std::string_view format,
                     std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelWarning)) {
    writeWithVarArgs(ZULLoggerLevelWarning, service, code, format, args);
  }
}

void ZIRLogAtInfo(std::string_view service, std::string_view code, std::string_view format,
                  std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelInfo)) {
    writeWithVarArgs(ZULLoggerLevelInfo, service, code, format, args);
  }
}

void ZIRLogAtDebug(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<ZULLogArgument> args) {
  if (writes(ZULLoggerLevelDebug)) {
    writeWithVarArgs(ZULLoggerLevelDebug, service, code, format, args);
  }
}
