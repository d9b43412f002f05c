// APMServices: what the lower analytics subsystems (wire messages, analytics data) use of the
// analytics engine above them: its monitor, as an interface the engine implements and
// installs, and the measurement error domain with its error helpers.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

// The logging side of the engine's monitor. The engine's APMMonitor is the one
// implementation; declaring it here keeps these subsystems from linking upward.
class APMMonitorLogging {
 public:
  virtual ~APMMonitorLogging() = default;
  // Levels 0..8 and a message code unique to the call site; each context is shown after the
  // message in text form, a null one as the null object.
  virtual void logWithLevel(std::int64_t level, std::int64_t messageCode,
                            const std::optional<std::string>& message,
                            const platform::Array& contexts = {}) = 0;
  virtual bool isDebugModeEnabled() const = 0;
};

// The engine's shared monitor, which the experiments' monitor forwards to unchanged. Until
// the engine installs its own, a monitor that drops every line and is never in debug mode,
// so callers never hold a null one.
std::shared_ptr<APMMonitorLogging> APMServicesMonitor();
// For the whole process; nullptr goes back to the dropping monitor.
void APMServicesSetMonitor(std::shared_ptr<APMMonitorLogging> monitor);
// One line through that monitor.
void APMLog(std::int64_t level, std::int64_t messageCode, const std::string& message,
            const platform::Array& contexts = {});

inline constexpr const char* kAPMErrorDomain = "com.rerora.viz.measurement.ErrorDomain";
// The user-info key of an error's monitor context.
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

// An error of the measurement domain; a description or context that is not a non-empty string
// is left out of the user info. Logs nothing.
platform::ErrorPtr apm_errorWithCode(std::int64_t code,
                                     const std::optional<std::string>& description,
                                     const std::optional<platform::Value>& context = std::nullopt);

// Store such an error when the out-parameter is given.
void APMSetError(platform::ErrorPtr* error, std::int64_t code,
                 const std::optional<std::string>& description);
void APMSetErrorWithContext(platform::ErrorPtr* error, std::int64_t code,
                            const std::optional<std::string>& description,
                            const std::optional<platform::Value>& context);

// True when the check passes; otherwise set the error and give false. Callers chain them with
// one out-parameter and stop at the first false.
bool APMCheckCondition(bool condition, platform::ErrorPtr* error, std::int64_t code,
                       const std::optional<std::string>& description);
bool APMCheckNotNull(const void* pointer, platform::ErrorPtr* error, std::int64_t code,
                     const std::optional<std::string>& description);
// Callers pass string lengths.
bool APMCheckNotZero(std::uint64_t value, platform::ErrorPtr* error, std::int64_t code,
                     const std::optional<std::string>& description);

// An error handed to the monitor as a context: shown by its description, encoded by its domain,
// and a measurement-domain error's monitor context reaches the health sample.
class APMErrorContext : public platform::ValueObject {
 public:
  explicit APMErrorContext(platform::ErrorPtr error) : error_(std::move(error)) {}
  // The null Value for no error.
  static platform::Value value(platform::ErrorPtr error);

  const platform::ErrorPtr& error() const { return error_; }
  const char* className() const override { return "NSError"; }
  std::string description() const override;
  bool isEqual(const platform::ValueObject& other) const override;

 private:
  platform::ErrorPtr error_;
};

// A caught exception handed to the monitor as a context. C++ exceptions carry no call-stack
// symbols, so one caught here has none and its name stands in for the analytics symbol: the
// name of a platform::Exception, else the exception's type.
class APMExceptionContext : public platform::ValueObject {
 public:
  APMExceptionContext(std::string name, std::string reason,
                      std::vector<std::string> callStackSymbols = {})
      : name_(std::move(name)), reason_(std::move(reason)),
        callStackSymbols_(std::move(callStackSymbols)) {}
  static platform::Value value(const std::exception& exception);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }
  const char* className() const override { return "NSException"; }
  // The reason, as an exception describes itself.
  std::string description() const override { return reason_; }
  bool isEqual(const platform::ValueObject& other) const override;

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> callStackSymbols_;
};
