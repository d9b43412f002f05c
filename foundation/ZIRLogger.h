// ZIRLogger: the core layer of the shared SDK logger, which the SDK's libraries call. It
// stamps lines with the SDK version and applies the launch switches "-ZIRDebugEnabled",
// "-ZIRDebugDisabled" and "-ZIRLoggerForceSTDERR" and the persisted debug mode once.
#pragma once

#include <initializer_list>
#include <string_view>

#include "foundation/ZULLogger.h"

// The user-defaults key (standard suite) under which debug mode persists across launches.
inline constexpr const char* kZIRLoggerDebugModeKey = "/rerora/ziruzada/debug_mode";

// The core set-up, once per process; every entry below runs it first.
void ZIRLoggerSetUpOnce();
void ZIRLoggerSetLevel(int level);
// No arguments: the format is written unchanged.
void ZIRLogMessage(int level, std::string_view service, std::string_view code,
                   std::string_view format, ZULLogArguments arguments);

void ZIRLogAtError(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<ZULLogArgument> args = {});
void ZIRLogAtWarning(std::string_view service, std::string_view code, std::string_view format,
                     std::initializer_list<ZULLogArgument> args = {});
void ZIRLogAtInfo(std::string_view service, std::string_view code, std::string_view format,
                  std::initializer_list<ZULLogArgument> args = {});
void ZIRLogAtDebug(std::string_view service, std::string_view code, std::string_view format,
                   std::initializer_list<ZULLogArgument> args = {});
