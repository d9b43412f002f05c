#include "analytics/engine/APMMeasurement.h"

#include "analytics/messages/APMServices.h"

#include <mutex>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: lines may still be on their way at exit.
  static const auto* const shared = [] {
    auto* monitor = new std::shared_ptr<APMMonitor>(std::make_shared<APMMonitor>());
    APMServicesSetMonitor(*monitor);
    return monitor;
  }();
  return *shared;
}

void APMMeasurement::load() { monitor(); }

namespace {

constexpr std::int64_t kDebugLevel = 7;
constexpr std::int64_t kLoggingEventCode = 23051;
constexpr const char* kWorkerQueueLabel = "com.rerora.raru.worker";

struct SharedCore {
  std::mutex mutex;
  bool initializationRequested = false;
  std::shared_ptr<APMMeasurement> instance;
  std::shared_ptr<APMMeasurement::Recorder> recorder;
};

SharedCore& sharedCore() {
  static SharedCore* const core = new SharedCore;
  return *core;
}

std::shared_ptr<APMMeasurement::Recorder> currentRecorder() {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  return core.recorder;
}

}  // namespace

struct APMMeasurement::State {
  mutable std::mutex mutex;
  bool enabled = false;
  bool didInitializeComponents = false;
  double sessionTimeoutInterval = 1800;
};

APMMeasurement::APMMeasurement(std::string appID, bool enabled)
    : appID_(std::move(appID)), wasEnabledDuringInitialization_(enabled),
      worker_(platform::Queue::serial(kWorkerQueueLabel)), state_(std::make_shared<State>()) {
  state_->enabled = enabled;
}

void APMMeasurement::setRecorder(std::shared_ptr<Recorder> recorder) {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  core.recorder = std::move(recorder);
}

void APMMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::optional<platform::Array>&) {
  SharedCore& core = sharedCore();
  std::shared_ptr<APMMeasurement> created;
  {
    std::lock_guard lock(core.mutex);
    if (core.initializationRequested) return;
    core.initializationRequested = true;
    created = std::shared_ptr<APMMeasurement>(new APMMeasurement(
        appID, isAnalyticsCollectionEnabled && !isAnalyticsCollectionDeactivated));
    core.instance = created;
  }
  // The components are set up by the core's first work on its queue.
  created->worker_->async([state = created->state_] {
    std::lock_guard lock(state->mutex);
    state->didInitializeComponents = true;
  });
}

bool APMMeasurement::hasSharedInstance() {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  return core.initializationRequested && core.instance;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  return core.instance;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  return APMMeasurementRemoteConfig();
}

void APMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                        const std::string& name,
                                        const platform::Dictionary& parameters, double timestamp,
                                        bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                        const Interceptor& interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
  LoggedEvent event{origin,      isPublicEvent,     name,
                    parameters,  timestamp,         enabled,
                    ignoreEnabled, ignoreInterceptor, static_cast<bool>(interceptor),
                    addedScreenParameters};
  worker_->async([event = std::move(event)] {
    monitor()->logWithLevel(kDebugLevel, kLoggingEventCode, "Logging event: origin, name, params",
                            {event.origin, APMEventNameForLog(event.name),
                             APMDescriptionForLog(platform::Value(event.parameters))});
    if (auto recorder = currentRecorder()) recorder->didLogEvent(event);
  });
}

void APMMeasurement::setUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) return;
  worker_->async([attribute] {
    if (auto recorder = currentRecorder()) {
      recorder->didSetUserAttribute(attribute->name(), attribute->value()->value(),
                                    attribute->origin().value_or(""));
    }
  });
}

void APMMeasurement::removeUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) return;
  worker_->async([attribute] {
    if (auto recorder = currentRecorder()) {
      recorder->didSetUserAttribute(attribute->name(), std::nullopt,
                                    attribute->origin().value_or(""));
    }
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string&,
                                                std::function<void(std::int32_t)> callback) {
  // Every origin shares the public limit until the core counts properties per origin.
  worker_->async([callback = std::move(callback)] {
    callback(remoteConfig()->maxPublicUserProperties());
  });
}

void APMMeasurement::setEnabled(bool enabled) {
  worker_->async([state = state_, enabled] {
    std::lock_guard lock(state->mutex);
    state->enabled = enabled;
  });
}

bool APMMeasurement::isEnabled() const {
  std::lock_guard lock(state_->mutex);
  return state_->enabled;
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  worker_->async([state = state_, seconds] {
    std::lock_guard lock(state->mutex);
    state->sessionTimeoutInterval = seconds;
  });
}

double APMMeasurement::sessionTimeoutInterval() const {
  std::lock_guard lock(state_->mutex);
  return state_->sessionTimeoutInterval;
}

bool APMMeasurement::didInitializeComponents() const {
  std::lock_guard lock(state_->mutex);
  return state_->didInitializeComponents;
}

void APMMeasurement::sessionIDWithCompletion(SessionIDCompletion completion) {
  // No sessions are kept yet: there is no session to name.
  worker_->async([completion = std::move(completion)] { completion(0, nullptr); });
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>&) {
  return true;
}

void APMMeasurement::setUserData(const platform::Dictionary& userData) {
  worker_->async([userData] {
    if (auto recorder = currentRecorder()) recorder->didSetUserData(userData);
  });
}

void APMMeasurement::setDefaultEventParameters(const std::optional<platform::Dictionary>&) {}

void APMMeasurement::handleNonFirstOpenEventURL(const std::string&, double) {}
