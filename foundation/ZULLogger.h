// ZULLogger: the utility layer of the shared SDK logger. It owns the level, the debug
// mode and the serial output queue through which every SDK log line reaches the system
// log (and standard error when asked).
#pragma once

#include <concepts>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.h"

// Levels as the system log numbers them; only 3 to 7 are valid.
enum ZULLoggerLevel : int {
  ZULLoggerLevelError = 3,
  ZULLoggerLevelWarning = 4,
  ZULLoggerLevelNotice = 5,
  ZULLoggerLevelInfo = 6,
  ZULLoggerLevelDebug = 7,
};

// The format arguments of one log call. None means the format is the message as it
// stands, never expanded (so "%@" in it is printed as it is).
using ZULLogArguments = std::optional<std::span<const platform::FormatArg>>;

// One argument of a variadic log call, held by reference to the caller's value: the value
// is turned into a format argument only when the line is written, so that a call below
// the level builds nothing. Valid only within the call it is written in.
class ZULLogArgument {
 public:
  template <typename T>
  requires std::constructible_from<platform::FormatArg, const T&> ZULLogArgument(const T& value)
      : value_(std::addressof(value)), makeFormatArg_(&formatArgFrom<T>) {}

  // The format arguments of a call's arguments, in order.
  static std::vector<platform::FormatArg> formatArgs(std::initializer_list<ZULLogArgument> args);

 private:
  template <typename T> static platform::FormatArg formatArgFrom(const void* value) {
    return platform::FormatArg(*static_cast<const T*>(value));
  }

  const void* value_;
  platform::FormatArg (*makeFormatArg_)(const void*);
};

// Runs the one-time set-up (level notice, the output queue "ZULLoggingClientQueue");
// every other entry runs it first, except that a line below the level is dropped before it.
void ZULLoggerSetUpOnce();
// Copies every later line to standard error as well.
void ZULLoggerAddStderr();
// Turns debug mode on (every line written) and raises the level to debug.
void ZULLoggerForceDebugLevel();
// Sets the maximum level written; a level outside 3..7 is logged as an error and ignored.
void ZULLoggerSetLevel(int level);
// Whether a line of this level would be written.
bool ZULLoggerLevelPasses(int level);
// The version printed first on every line ("(null)" until one is registered).
void ZULLoggerRegisterSDKVersion(std::string version);

// Formats the line "<version> - <service>[<code>] <message>" on the caller's thread and
// queues it for writing, unless the level does not pass and force is off.
void ZULLogMessage(int level, std::string_view service, bool force, std::string_view code,
                   std::string_view format, ZULLogArguments arguments);

void ZULLogAtError(std::string_view service, bool force, std::string_view code,
                   std::string_view format, std::initializer_list<ZULLogArgument> args = {});
void ZULLogAtWarning(std::string_view service, bool force, std::string_view code,
                     std::string_view format, std::initializer_list<ZULLogArgument> args = {});
void ZULLogAtNotice(std::string_view service, bool force, std::string_view code,
                    std::string_view format, std::initializer_list<ZULLogArgument> args = {});
void ZULLogAtDebug(std::string_view service, bool force, std::string_view code,
                   std::string_view format, std::initializer_list<ZULLogArgument> args = {});

// Waits until every line queued before the call has been written.
void ZULLoggerFlush();
