#include "analytics/messages/APMServices.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>
#include <utility>

#include "platform/installed.h"

namespace {

class DroppingMonitor : public APMMonitorLogging {
 public:
  void logWithLevel(std::int64_t, std::int64_t, const std::optional<std::string>&,
                    const platform::Array&) override {}
  bool isDebugModeEnabled() const override { return false; }
};

// Never destroyed: code running at exit may still log.
platform::Installed<APMMonitorLogging>& installedMonitor() {
  static auto* const slot = new platform::Installed<APMMonitorLogging>;
  return *slot;
}

const std::shared_ptr<APMMonitorLogging>& droppingMonitor() {
  static const auto* const monitor =
      new std::shared_ptr<APMMonitorLogging>(std::make_shared<DroppingMonitor>());
  return *monitor;
}

// The health sample carries the monitor context as text, so only text is kept.
bool isNonEmptyString(const platform::Value& context) {
  const std::string* text = context.asString();
  return text != nullptr && !text->empty();
}

std::string typeNameOf(const std::exception& exception) {
  const char* mangled = typeid(exception).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : mangled;
  std::free(demangled);
  return name;
}

}  // namespace

std::shared_ptr<APMMonitorLogging> APMServicesMonitor() {
  auto monitor = installedMonitor().get();
  return monitor != nullptr ? monitor : droppingMonitor();
}

void APMServicesSetMonitor(std::shared_ptr<APMMonitorLogging> monitor) {
  installedMonitor().set(std::move(monitor));
}

void APMLog(std::int64_t level, std::int64_t messageCode, const std::string& message,
            const platform::Array& contexts) {
  APMServicesMonitor()->logWithLevel(level, messageCode, message, contexts);
}

platform::ErrorPtr apm_errorWithCode(std::int64_t code,
                                     const std::optional<std::string>& description,
                                     const std::optional<platform::Value>& context) {
  platform::Dictionary userInfo;
  if (description && !description->empty())
    userInfo.set(platform::kLocalizedDescriptionKey, *description);
  if (context && isNonEmptyString(*context)) userInfo.set(kAPMMonitorContextKey, *context);
  return platform::makeError(kAPMErrorDomain, code, std::move(userInfo));
}

void APMSetError(platform::ErrorPtr* error, std::int64_t code,
                 const std::optional<std::string>& description) {
  if (error != nullptr) *error = apm_errorWithCode(code, description);
}

void APMSetErrorWithContext(platform::ErrorPtr* error, std::int64_t code,
                            const std::optional<std::string>& description,
                            const std::optional<platform::Value>& context) {
  if (error != nullptr) *error = apm_errorWithCode(code, description, context);
}

bool APMCheckCondition(bool condition, platform::ErrorPtr* error, std::int64_t code,
                       const std::optional<std::string>& description) {
  if (condition) return true;
  APMSetError(error, code, description);
  return false;
}

bool APMCheckNotNull(const void* pointer, platform::ErrorPtr* error, std::int64_t code,
                     const std::optional<std::string>& description) {
  return APMCheckCondition(pointer != nullptr, error, code, description);
}

bool APMCheckNotZero(std::uint64_t value, platform::ErrorPtr* error, std::int64_t code,
                     const std::optional<std::string>& description) {
  return APMCheckCondition(value != 0, error, code, description);
}

platform::Value APMErrorContext::value(platform::ErrorPtr error) {
  if (!error) return platform::Value();
  return platform::Value(std::make_shared<APMErrorContext>(std::move(error)));
}

std::string APMErrorContext::description() const {
  return error_ ? error_->description() : std::string("(nil)");
}

bool APMErrorContext::isEqual(const platform::ValueObject& other) const {
  const auto* error = dynamic_cast<const APMErrorContext*>(&other);
  if (error == nullptr) return false;
  if (!error->error_ || !error_) return error->error_ == error_;
  return *error->error_ == *error_;
}

platform::Value APMExceptionContext::value(const std::exception& exception) {
  const auto* raised = dynamic_cast<const platform::Exception*>(&exception);
  std::string name = raised != nullptr ? raised->name() : typeNameOf(exception);
  std::string reason = raised != nullptr ? raised->reason() : std::string(exception.what());
  return platform::Value(std::make_shared<APMExceptionContext>(std::move(name), std::move(reason)));
}

bool APMExceptionContext::isEqual(const platform::ValueObject& other) const {
  const auto* exception = dynamic_cast<const APMExceptionContext*>(&other);
  return exception != nullptr && exception->name_ == name_ && exception->reason_ == reason_;
}
