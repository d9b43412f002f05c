#include "analytics/data/APMDataServices.h"

#include <mutex>
#include <utility>

#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMServices.h"
#include "platform/dispatch.h"

namespace {

struct Slots {
  std::mutex mutex;
  std::shared_ptr<APMRemoteConfig> remoteConfig;
  std::shared_ptr<APMInternalEventLogging> front;
  std::shared_ptr<APMConsentFront> consentFront;
  std::shared_ptr<APMMeasurementEngine> engine;
};

// Never destroyed: code running at exit may still read settings or log.
Slots& slots() {
  static auto* const shared = new Slots;
  return *shared;
}

}  // namespace

std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig() {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  if (!s.remoteConfig) s.remoteConfig = std::make_shared<APMRemoteConfig>();
  return s.remoteConfig;
}

void APMMeasurementSetRemoteConfig(std::shared_ptr<APMRemoteConfig> remoteConfig) {
  Slots& s = slots();
  std::shared_ptr<APMRemoteConfig> previous;
  std::lock_guard lock(s.mutex);
  previous = std::exchange(s.remoteConfig, std::move(remoteConfig));
}

void APMLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters) {
  std::shared_ptr<APMInternalEventLogging> front;
  {
    Slots& s = slots();
    std::lock_guard lock(s.mutex);
    front = s.front;
  }
  if (front) front->logInternalEventWithOrigin(origin, name, parameters);
}

void APMSetInternalEventLogging(std::shared_ptr<APMInternalEventLogging> front) {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  s.front = std::move(front);
}

void APMAnalyticsSetConsent(const platform::Dictionary& consent, const std::string& key) {
  std::shared_ptr<APMConsentFront> front;
  {
    Slots& s = slots();
    std::lock_guard lock(s.mutex);
    front = s.consentFront;
  }
  if (front) front->setConsent(consent, key);
}

void APMSetConsentFront(std::shared_ptr<APMConsentFront> front) {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  s.consentFront = std::move(front);
}

std::shared_ptr<APMMeasurementEngine> APMMeasurementSharedInstance() {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  return s.engine;
}

void APMMeasurementSetSharedInstance(std::shared_ptr<APMMeasurementEngine> engine) {
  Slots& s = slots();
  std::shared_ptr<APMMeasurementEngine> previous;
  std::lock_guard lock(s.mutex);
  previous = std::exchange(s.engine, std::move(engine));
}

bool APMSchedulerCheckOnBackgroundThread(const std::string& methodName) {
  if (!platform::Queue::main()->isCurrent()) return true;
  APMServicesMonitor()->logWithLevel(
      1, 30001,
      "Method " + (methodName.empty() ? std::string("<empty method name>") : methodName) +
          " should execute on background thread");
  return false;
}
