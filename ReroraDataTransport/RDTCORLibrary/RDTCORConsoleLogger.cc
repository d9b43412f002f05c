#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"

#include <atomic>
#include <string>

#include "platform/object_runtime.h"
#include "platform/system_log.h"

namespace {

std::atomic<int> gMinimumLevel{RDTCORLoggingLevelErrors};

constexpr const char* kLogPrefix = "[ReroraDataTransport]";

int systemLogLevel(int level) {
  if (level >= RDTCORLoggingLevelErrors) return platform::SystemLog::Error;
  if (level >= RDTCORLoggingLevelWarnings) return platform::SystemLog::Warning;
  return platform::SystemLog::Debug;
}

}  // namespace

int RDTCORConsoleLoggerLoggingLevel() { return gMinimumLevel.load(); }

void RDTCORSetConsoleLoggerLoggingLevel(int level) { gMinimumLevel.store(level); }

std::string RDTCORMessageCodeString(long code) {
  return platform::format("I-RDTCOR%06ld", {static_cast<std::int64_t>(code)});
}

void RDTCORConsoleLog(long code, int level, std::string_view format,
                      std::initializer_list<platform::FormatArg> args) {
  if (level < gMinimumLevel.load()) return;
  const std::string message = platform::format(format, args);
  platform::SystemLog::write(
      systemLogLevel(level),
      platform::format("%@[%@] %@", {kLogPrefix, RDTCORMessageCodeString(code), message}));
}

void RDTCORConsoleLogAssert(bool isFatal, std::string_view file, long line, std::string_view format,
                            std::initializer_list<platform::FormatArg> args) {
  const long code = isFatal ? RDTCORMCEFatalAssertion : RDTCORMCEGeneralError;
  const std::string message = platform::format(format, args);
  platform::SystemLog::write(
      platform::SystemLog::Error,
      platform::format("%@[%@] (%@:%ld) : %@",
                       {kLogPrefix, RDTCORMessageCodeString(code), std::string(file),
                        static_cast<std::int64_t>(line), message}));
}

RDTCORAssertionBlock RDTCORAssertionBlockLookup() {
  const platform::Class* helper = platform::ObjectRuntime::classNamed(kRDTCORAssertHelperClassName);
  if (!helper) return {};
  const auto assertionBlock =
      helper->classMethod<RDTCORAssertionBlock()>(kRDTCORAssertionBlockSelector);
  return assertionBlock ? assertionBlock() : RDTCORAssertionBlock();
}

void RDTCORAssertionFailed(std::string_view file, long line, std::string_view format,
                           std::initializer_list<platform::FormatArg> args) {
  if (const RDTCORAssertionBlock block = RDTCORAssertionBlockLookup()) {
    block();
    return;
  }
  RDTCORConsoleLogAssert(false, file.empty() ? std::string_view("<Unknown File>") : file, line,
                         format, args);
}
