#include "analytics/messages/APMServices.h"

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

bool isEmptyContext(const platform::Value& context) {
  if (context.isNull()) return true;
  if (const std::string* text = context.asString()) return text->empty();
  if (const platform::Data* data = context.asData()) return data->length() == 0;
  if (context.isArray() || context.isDictionary()) return context.count() == 0;
  return false;
}

}  // namespace

std::shared_ptr<APMMonitorLogging> APMServicesMonitor() {
  auto monitor = installedMonitor().get();
  return monitor != nullptr ? monitor : droppingMonitor();
}

void APMServicesSetMonitor(std::shared_ptr<APMMonitorLogging> monitor) {
  installedMonitor().set(std::move(monitor));
}

platform::ErrorPtr apm_errorWithCode(std::int64_t code,
                                     const std::optional<std::string>& description,
                                     const std::optional<platform::Value>& context) {
  platform::Dictionary userInfo;
  if (description && !description->empty())
    userInfo.set(platform::kLocalizedDescriptionKey, *description);
  if (context && !isEmptyContext(*context)) userInfo.set(kAPMMonitorContextKey, *context);
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
