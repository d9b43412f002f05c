#include "analytics/engine/APMMeasurement.h"

#include <mutex>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/messages/APMServices.h"
#include "foundation/ZULNetwork.h"

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: lines may still be on their way at exit.
  static const auto* const shared = [] {
    auto* monitor = new std::shared_ptr<APMMonitor>(
        APMMonitor::initWithLibraryVersion(APMIdentity::dedArorarivuvaLibraryVersion()));
    APMServicesSetMonitor(*monitor);
    return monitor;
  }();
  return *shared;
}

void APMMeasurement::load() { monitor(); }

namespace {

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

}  // namespace

void APMMeasurement::setRecorder(std::shared_ptr<Recorder> recorder) {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  core.recorder = std::move(recorder);
}

std::shared_ptr<APMMeasurement::Recorder> APMMeasurement::recorder() {
  SharedCore& core = sharedCore();
  std::lock_guard lock(core.mutex);
  return core.recorder;
}

APMMeasurement::APMMeasurement(Passkey) {}

APMMeasurement::~APMMeasurement() = default;

void APMMeasurement::initializeSharedInstanceWithAppID(const std::string& appID,
                                                       bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<platform::Array>& safelisted) {
  SharedCore& core = sharedCore();
  std::shared_ptr<APMMeasurement> created;
  {
    std::lock_guard lock(core.mutex);
    if (core.initializationRequested) return;
    core.initializationRequested = true;
    if (appID.empty()) return;
    monitor();
    created = initWithAppID(appID, isAnalyticsCollectionEnabled,
                            isAnalyticsCollectionDeactivated, safelisted, nullptr);
    core.instance = created;
  }
  if (created) APMMeasurementSetSharedInstance(created);
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
  if (auto core = sharedInstance()) {
    if (auto config = core->remoteConfigInstance()) return config;
  }
  return APMMeasurementRemoteConfig();
}

std::shared_ptr<APMMeasurement>
APMMeasurement::initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                              bool isAnalyticsCollectionDeactivated,
                              const std::optional<platform::Array>& safelistedEvents,
                              std::shared_ptr<APMEManager> experimentManager) {
  if (appID.empty()) return nullptr;
  auto scheduler = std::make_shared<APMScheduler>(kWorkerQueueLabel);
  auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kAlarmName);
  return initWithDatabaseName(kDatabaseName, APMPersistedConfig::sharedInstance(), nullptr,
                              std::move(scheduler), std::move(alarm), appID,
                              isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                              safelistedEvents, std::move(experimentManager));
}

std::shared_ptr<APMMeasurement> APMMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<ZULNetwork> network, std::shared_ptr<APMScheduler> scheduler,
    std::shared_ptr<APMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::optional<platform::Array>& safelistedEvents,
    std::shared_ptr<APMEManager> experimentManager) {
  auto core = std::make_shared<APMMeasurement>(Passkey{});
  core->databaseName_ = databaseName;
  core->persistedConfig_ = std::move(persistedConfig);
  core->network_ = std::move(network);
  core->scheduler_ = std::move(scheduler);
  core->alarm_ = std::move(alarm);
  core->appID_ = appID;
  core->isAnalyticsCollectionEnabled_ = isAnalyticsCollectionEnabled;
  core->isAnalyticsCollectionDeactivated_ = isAnalyticsCollectionDeactivated;
  core->experimentManager_ = std::move(experimentManager);
  if (safelistedEvents) {
    std::vector<std::string> names;
    for (const platform::Value& name : *safelistedEvents) {
      if (const std::string* text = name.asString()) names.push_back(*text);
    }
    core->safelistedEvents_ = std::move(names);
  }
  const bool enabled = core->shouldEnableMeasurement();
  core->wasEnabledDuringInitialization_ = enabled;
  core->enabled_ = enabled;
  core->scheduleOnWorkerQueueBlockID("APMMeasurement:40", [weak = std::weak_ptr(core)] {
    if (auto self = weak.lock()) self->setDidInitializeComponents(true);
  });
  return core;
}

bool APMMeasurement::shouldEnableMeasurement() const {
  return isAnalyticsCollectionEnabled_ && !isAnalyticsCollectionDeactivated_;
}

void APMMeasurement::setEnabled(bool enabled) {
  scheduleOnWorkerQueueBlockID("APMMeasurement:611", [weak = weak_from_this(), enabled] {
    if (auto self = weak.lock()) self->setEnabledOnWorkerQueue(enabled);
  });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) { enabled_ = enabled; }

bool APMMeasurement::startMeasurementOnWorkerQueue() { return true; }

bool APMMeasurement::didInitializeComponents() const { return didInitializeComponents_; }

void APMMeasurement::setDidInitializeComponents(bool value) { didInitializeComponents_ = value; }

void APMMeasurement::reachabilityDidChange() {}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  scheduleOnWorkerQueueBlockID("APMMeasurement:1584", [weak = weak_from_this(), seconds] {
    auto self = weak.lock();
    if (!self) return;
    if (auto reporter = self->sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}

double APMMeasurement::sessionTimeoutInterval() const {
  auto reporter = sessionReporter();
  return reporter ? reporter->timeoutSessionInterval() : 1800;
}

bool APMMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&) const {
  return false;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() { return true; }
void APMMeasurement::updatePersistedAppIDFromVIZAndRiRur() {}
void APMMeasurement::setProspectiveConsentSettings() {}
void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {}
void APMMeasurement::reportFirstOpenOnWorkerQueue() {}
void APMMeasurement::reportAppUpdateOnWorkerQueue() {}
void APMMeasurement::reportOSUpdateOnWorkerQueue() {}
void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double, bool) {}
void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t>) {}
void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {}
void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(
    const std::optional<platform::Value>&) {}
void APMMeasurement::backfillSessionNumber() {}

std::int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  return milliseconds / 3600000 * 3600000 + 3600000;
}

bool APMMeasurement::isVersionSameAsOriginalVersion() const { return true; }

std::optional<platform::Dictionary> APMMeasurement::fileAttributesForPath(
    const std::string&) const {
  return std::nullopt;
}

void APMMeasurement::updateSchedule() {}

bool APMMeasurement::initializeComponentsOnWorkerQueue() { return true; }

void APMMeasurement::setComponents(std::shared_ptr<APMIdentity> identity,
                                   std::shared_ptr<APMDatabase> database,
                                   std::shared_ptr<APMRemoteConfig> remoteConfig,
                                   std::shared_ptr<APMSessionReporter> sessionReporter) {
  std::lock_guard lock(componentsMutex_);
  identity_ = std::move(identity);
  database_ = std::move(database);
  remoteConfig_ = std::move(remoteConfig);
  sessionReporter_ = std::move(sessionReporter);
}

std::shared_ptr<APMIdentity> APMMeasurement::identity() const {
  std::lock_guard lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<APMDatabase> APMMeasurement::database() const {
  std::lock_guard lock(componentsMutex_);
  return database_;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigInstance() const {
  std::lock_guard lock(componentsMutex_);
  return remoteConfig_;
}

std::shared_ptr<APMSessionReporter> APMMeasurement::sessionReporter() const {
  std::lock_guard lock(componentsMutex_);
  return sessionReporter_;
}

bool APMMeasurement::isEnabled() const { return enabled_; }

void APMMeasurement::scheduleOnWorkerQueueBlockID(const std::string& blockID,
                                                  std::function<void()> block) {
  scheduler_->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

std::shared_ptr<platform::Queue> APMMeasurement::workerQueue() const {
  return scheduler_->workerQueue();
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string&,
                                                std::function<void(std::int32_t)> callback) {
  // Every origin shares the public limit until the core counts properties per origin.
  scheduleOnWorkerQueueBlockID("APMMeasurement:150", [callback = std::move(callback)] {
    callback(remoteConfig()->maxPublicUserProperties());
  });
}

std::optional<bool> APMMeasurement::shouldDisableAdPersonalization() const {
  // Until consent and the Info.plist default are read here, the stored switch is the answer.
  const auto persisted = persistedConfig_ ? persistedConfig_ : APMPersistedConfig::sharedInstance();
  const auto allowed = persisted ? persisted->allowPersonalizedAds() : std::nullopt;
  if (!allowed) return std::nullopt;
  return !allowed->boolValue();
}

void APMMeasurement::sessionIDWithCompletion(SessionIDCompletion completion) {
  // No sessions are kept yet: there is no session to name.
  scheduleOnWorkerQueueBlockID(
      "APMMeasurement:190", [completion = std::move(completion)] { completion(0, nullptr); });
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>&) {
  return true;
}

void APMMeasurement::setUserData(const platform::Dictionary& userData) {
  scheduleOnWorkerQueueBlockID("APMMeasurement:200", [userData] {
    if (auto recorder = APMMeasurement::recorder()) recorder->didSetUserData(userData);
  });
}

void APMMeasurement::handleNonFirstOpenEventURL(const std::string&, double) {}
