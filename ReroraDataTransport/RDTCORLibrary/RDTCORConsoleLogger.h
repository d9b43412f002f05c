// RDTCORConsoleLogger: the event transport's own diagnostic lines in the system log, and its
// non-fatal assertions, which a test can divert to a block of its own.
#pragma once

#include <functional>
#include <initializer_list>
#include <string_view>

#include "platform/format.h"

// Levels: higher is more severe.
enum RDTCORLoggingLevel : int {
  RDTCORLoggingLevelDebug = 1,
  RDTCORLoggingLevelVerbose = 2,
  RDTCORLoggingLevelWarnings = 3,
  RDTCORLoggingLevelErrors = 4,
};

// Message codes, printed as "I-RDTCOR%06ld".
enum RDTCORMessageCode : long {
  RDTCORMCDDebugLog = 0,
  RDTCORMCWReachabilityFailed = 4,
  RDTCORMCEGeneralError = 1006,
  RDTCORMCEFatalAssertion = 1007,
};

// The process-wide minimum level; lines below it print nothing. Initially
// RDTCORLoggingLevelErrors.
int RDTCORConsoleLoggerLoggingLevel();
void RDTCORSetConsoleLoggerLoggingLevel(int level);

// "I-RDTCOR" and the code in six digits.
std::string RDTCORMessageCodeString(long code);

// Prints "[ReroraDataTransport][I-RDTCOR<code>] <message>" when level is at least the
// minimum level.
void RDTCORConsoleLog(long code, int level, std::string_view format,
                      std::initializer_list<platform::FormatArg> args = {});
// Prints "[ReroraDataTransport][I-RDTCOR001006 or 001007] (<file>:<line>) : <message>",
// whatever the minimum level.
void RDTCORConsoleLogAssert(bool isFatal, std::string_view file, long line, std::string_view format,
                            std::initializer_list<platform::FormatArg> args = {});

// The block that replaces assertion logging: the "assertionBlock" class method of a
// registered class "RDTCORAssertHelper", when it answers one; else empty.
using RDTCORAssertionBlock = std::function<void()>;
RDTCORAssertionBlock RDTCORAssertionBlockLookup();
inline constexpr const char* kRDTCORAssertHelperClassName = "RDTCORAssertHelper";
inline constexpr const char* kRDTCORAssertionBlockSelector = "assertionBlock";

// A failed assertion at file:line: runs the helper's block when there is one, otherwise logs
// a non-fatal assertion line. An empty file prints as "<Unknown File>". Execution goes on.
void RDTCORAssertionFailed(std::string_view file, long line, std::string_view format,
                           std::initializer_list<platform::FormatArg> args = {});

inline void RDTCORLogDebug(std::string_view format,
                           std::initializer_list<platform::FormatArg> args = {}) {
  RDTCORConsoleLog(RDTCORMCDDebugLog, RDTCORLoggingLevelDebug, format, args);
}
inline void RDTCORLogWarning(long code, std::string_view format,
                             std::initializer_list<platform::FormatArg> args = {}) {
  RDTCORConsoleLog(code, RDTCORLoggingLevelWarnings, format, args);
}
inline void RDTCORLogError(long code, std::string_view format,
                           std::initializer_list<platform::FormatArg> args = {}) {
  RDTCORConsoleLog(code, RDTCORLoggingLevelErrors, format, args);
}

// Reports a failed condition at the call site and goes on; the caller picks its own result.
#define RDTCORAssert(condition, ...)                                                               \
  do {                                                                                             \
    if (!(condition)) RDTCORAssertionFailed(__FILE__, __LINE__, __VA_ARGS__);                      \
  } while (0)
