#include "analytics/data/APMDataServices.h"

#include <utility>

#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMServices.h"
#include "platform/dispatch.h"
#include "platform/installed.h"

namespace {

// Never destroyed: code running at exit may still read settings or log.
template <typename T> platform::Installed<T>& installed() {
  static auto* const slot = new platform::Installed<T>;
  return *slot;
}

}  // namespace

std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig() {
  return installed<APMRemoteConfig>().getOrInstall(
      [] { return std::make_shared<APMRemoteConfig>(); });
}

void APMMeasurementSetRemoteConfig(std::shared_ptr<APMRemoteConfig> remoteConfig) {
  installed<APMRemoteConfig>().set(std::move(remoteConfig));
}

void APMLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters) {
  if (const auto front = installed<APMInternalEventLogging>().get()) {
    front->logInternalEventWithOrigin(origin, name, parameters);
  }
}

void APMSetInternalEventLogging(std::shared_ptr<APMInternalEventLogging> front) {
  installed<APMInternalEventLogging>().set(std::move(front));
}

void APMAnalyticsSetConsent(const platform::Dictionary& consent, const std::string& key) {
  if (const auto front = installed<APMConsentFront>().get()) front->setConsent(consent, key);
}

void APMSetConsentFront(std::shared_ptr<APMConsentFront> front) {
  installed<APMConsentFront>().set(std::move(front));
}

std::shared_ptr<APMMeasurementEngine> APMMeasurementSharedInstance() {
  return installed<APMMeasurementEngine>().get();
}

void APMMeasurementSetSharedInstance(std::shared_ptr<APMMeasurementEngine> engine) {
  installed<APMMeasurementEngine>().set(std::move(engine));
}

bool APMSchedulerCheckOnBackgroundThread(const std::string& methodName) {
  if (!platform::Queue::main()->isCurrent()) return true;
  APMServicesMonitor()->logWithLevel(
      1, 30001,
      "Method " + (methodName.empty() ? std::string("<empty method name>") : methodName) +
          " should execute on background thread");
  return false;
}
