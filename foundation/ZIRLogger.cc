#include "foundation/ZIRLogger.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ZIRVersion.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"

namespace {

void logWithVarArgs(int level, std::string_view service, std::string_view code,
                    std::string_view format, std::initializer_list<platform::FormatArg> args) {
  ZIRLogMessage(level, service, code, format,
                std::span<const platform::FormatArg>(args.begin(), args.size()));
}

}  // namespace

void ZIRLoggerSetUpOnce() {
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
  });
}

void ZIRLoggerSetLevel(int level) {
  ZIRLoggerSetUpOnce();
  ZULLoggerSetLevel(level);
}

void ZIRLogMessage(int level, std::string_view service, std::string_view code,
                   std::string_view format, ZULLogArguments arguments) {
  ZIRLoggerSetUpOnce();
  ZULLogMessage(level, service, false, code, format, arguments);
}

void ZIRLogAtError(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelError, service, code, format, args);
}

void ZIRLogAtWarning(std::string_view service, std::string_view code, std::string_view format,
                     std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelWarning, service, code, format, args);
}

void ZIRLogAtInfo(std::string_view service, std::string_view code, std::string_view format,
                  std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelInfo, service, code, format, args);
}

void ZIRLogAtDebug(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<platform::FormatArg> args) {
  logWithVarArgs(ZULLoggerLevelDebug, service, code, format, args);
}
