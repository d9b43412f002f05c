// APMServices: what the lower analytics subsystems (wire messages, analytics data) use of the
// analytics engine above them: its monitor, as an interface the engine implements and
// installs, and the measurement error domain with its error helpers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

inline constexpr const char* kAPMErrorDomain = "com.rerora.viz.measurement.ErrorDomain";
// The user-info key of an error's monitor context.
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

// An error of the measurement domain; an empty description or context is left out of the
// user info. Logs nothing.
platform::ErrorPtr apm_errorWithCode(std::int64_t code,
                                     const std::optional<std::string>& description,
                                     const std::optional<platform::Value>& context = std::nullopt);

// Store such an error when the out-parameter is given.
void APMSetError(platform::ErrorPtr* error, std::int64_t code,
                 const std::optional<std::string>& description);
void APMSetErrorWithContext(platform::ErrorPtr* error, std::int64_t code,
                            const std::optional<std::string>& description,
                            const std::optional<platform::Value>& context);

// True when the condition holds; otherwise sets the error and gives false. The nil, null and
// zero checks are this one with the test written at the call site.
bool APMCheckCondition(bool condition, platform::ErrorPtr* error, std::int64_t code,
                       const std::optional<std::string>& description);
