#include "analytics/engine/APMMeasurement.h"

#include <cmath>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "analytics/audiences/APMAudience.h"
#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEnvironmentInfo.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMTCFClient.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/engine/DAVOdazarado.h"
#include "analytics/messages/APMServices.h"
#include "foundation/ZIRServiceHosts.h"
#include "foundation/ZULLogger.h"
#include "foundation/ZULNetwork.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/object_runtime.h"

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

void APMMeasurement::log(std::int64_t level, std::int64_t messageCode, const std::string& message,
                         const platform::Array& contexts) {
  load();
  APMServicesMonitor()->logWithLevel(level, messageCode, message, contexts);
}

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

namespace {

constexpr const char* kOrigin = "auto";
constexpr const char* kDeepLinkKey = "/rerora/measurement/deep_link";
constexpr const char* kDeepLinkTimestampKey = "/rerora/measurement/deep_link_timestamp_seconds";
constexpr const char* kNotSet = "(not set)";
constexpr const char* kPublicFrontClassName = "DAVOdazarado";
constexpr const char* kDefaultVersion = "102700000";
constexpr const char* kHelpPage = "https://vilmo.invalid/help/analytics";
constexpr std::int64_t kHourMillis = 3600000;
// A wipe owed since this many launches is given up.
constexpr std::int64_t kMaxResetRetryCount = 10;

platform::Value errorContext(const platform::ErrorPtr& error) {
  return error ? platform::Value(error->description()) : platform::Value();
}

platform::Value int64Value(std::int64_t value) {
  return platform::Value(APMValue::initWithInt64(value));
}

bool isEmpty(const std::optional<std::string>& text) { return !text || text->empty(); }

bool hasPublicFront() { return platform::ObjectRuntime::classNamed(kPublicFrontClassName); }

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::optional<double> deepLinkTimestamp(APMConfigStore& defaults) {
  const auto stored = defaults.numberForKey(kDeepLinkTimestampKey);
  if (!stored) return std::nullopt;
  return stored->doubleValue();
}

// A link whose storage time is unknown never expires.
bool isDeepLinkExpired(APMConfigStore& defaults, double timeToLive) {
  const auto stored = deepLinkTimestamp(defaults);
  return stored && std::fabs(now() - *stored) > timeToLive;
}

void clearDeepLink(APMConfigStore& defaults) {
  defaults.removeObjectForKey(kDeepLinkKey);
  defaults.removeObjectForKey(kDeepLinkTimestampKey);
}

std::int64_t previousHourMillis(std::int64_t milliseconds) {
  return milliseconds / kHourMillis * kHourMillis - kHourMillis;
}

std::optional<std::int64_t> int64FromText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return platform::Value(*text).longLongValue();
}

}  // namespace

// Hands the network client's log lines to the monitor and its reachability changes to the
// core, without the client holding the core.
class APMMeasurement::NetworkDelegate : public ZULNetworkLoggerDelegate,
                                        public ZULNetworkReachabilityDelegate {
 public:
  explicit NetworkDelegate(std::weak_ptr<APMMeasurement> core) : core_(std::move(core)) {}

  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message,
                               std::vector<platform::Value> contexts) override {
    APMServicesMonitor()->logWithLevel(logLevel, messageCode, message,
                                       platform::Array(contexts.begin(), contexts.end()));
  }
  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message,
                               platform::Value context) override {
    APMServicesMonitor()->logWithLevel(logLevel, messageCode, message, {std::move(context)});
  }
  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message) override {
    APMServicesMonitor()->logWithLevel(logLevel, messageCode, message);
  }
  void reachabilityDidChange() override {
    if (const auto core = core_.lock()) core->reachabilityDidChange();
  }

 private:
  const std::weak_ptr<APMMeasurement> core_;
};

APMMeasurement::APMMeasurement(Passkey) {}

APMMeasurement::~APMMeasurement() = default;

void APMMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::optional<platform::Array>& safelisted) {
  SharedCore& core = sharedCore();
  std::shared_ptr<APMMeasurement> created;
  {
    std::lock_guard lock(core.mutex);
    if (core.initializationRequested) return;
    core.initializationRequested = true;
    if (appID.empty()) return;
    monitor();
    // The experiments come with their own issue; until then the core runs without them.
    created = initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                            safelisted, nullptr);
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
  std::unique_lock lock(core.mutex);
  if (!core.initializationRequested && hasPublicFront()) {
    lock.unlock();
    ZULLogAtWarning("<DedArorarivuva>", false, platform::format("I-ACS%06ld", {23147}),
                    "Rerora Analytics for Ziruzada has not been created. Please, configure "
                    "Ziruzada by calling [VEVEza configure]");
    return nullptr;
  }
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
  if (appID.empty()) {
    log(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  const bool front = hasPublicFront();
  const std::string version = front ? DAVOdazarado::topLevelVersion() : kDefaultVersion;
  log(6, 23007, platform::format("Analytics v.%@ started", {version}));
  if (front) {
    log(8, 23222, platform::format("Build %lld", {APMIdentity::dedArorarivuvaLibraryVersion()}));
  }
  const auto shared = monitor();
  const auto hint = [](const char* text, const char* argument) {
    return platform::format(text, {std::string(argument)}) + " (" + kHelpPage + ")";
  };
  if (shared->isDebugModeEnabled()) {
    log(6, 23008,
        hint("To disable debug logging set the following application argument: %@",
             front ? "-noDAVOdazaradoDebugEnabled" : "-noAPMAnalyticsDebugEnabled"));
  } else {
    log(6, 23008,
        hint("To enable debug logging set the following application argument: %@",
             front ? "-DAVOdazaradoDebugEnabled" : "-APMAnalyticsDebugEnabled"));
  }
  log(7, 23009, "Debug logging enabled");
  if (shared->isVerboseLoggingEnabled()) {
    log(7, 23207,
        hint("To disable verbose logging set the following application argument: %@",
             front ? "-DAVOdazaradoVerboseLoggingDisabled"
                   : "-APMAnalyticsVerboseLoggingDisabled"));
  } else {
    log(7, 23207,
        hint("To enable verbose logging set the following application argument: %@",
             front ? "-DAVOdazaradoVerboseLoggingEnabled" : "-APMAnalyticsVerboseLoggingEnabled"));
  }
  auto network = ZULNetwork::initWithReachabilityHost(ZIRServiceHosts::analyticsServiceHost());
  if (network) {
    network->setIsDebugModeEnabled(shared->isDebugModeEnabled());
  } else {
    log(1, 23010, "Failed to initialize network component");
  }
  auto scheduler = std::make_shared<APMScheduler>(kWorkerQueueLabel);
  auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kAlarmName);
  return initWithDatabaseName(kDatabaseName, APMPersistedConfig::sharedInstance(),
                              std::move(network), std::move(scheduler), std::move(alarm), appID,
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
  if (core->network_) {
    core->networkDelegate_ = std::make_shared<NetworkDelegate>(core);
    core->network_->setLoggerDelegate(core->networkDelegate_);
    core->network_->setReachabilityDelegate(core->networkDelegate_);
  }
  const auto stored =
      core->persistedConfig_ ? core->persistedConfig_->loadTimestampValue() : std::nullopt;
  if (stored && stored->isNumber()) {
    core->initTimestamp_ = stored->doubleValue();
  } else {
    core->initTimestamp_ = APMAnalytics::loadTimestamp();
    if (core->persistedConfig_) {
      core->persistedConfig_->setLoadTimestampValue(platform::Value(core->initTimestamp_));
    }
  }
  const bool enabled = core->shouldEnableMeasurement();
  core->setEnabled(enabled);
  core->wasEnabledDuringInitialization_ = enabled;
  return core;
}

bool APMMeasurement::shouldEnableMeasurement() const {
  if (isAnalyticsCollectionDeactivated_) return false;
  switch (persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0) {
  case 1:
    return true;
  case 2:
    return false;
  default:
    return isAnalyticsCollectionEnabled_;
  }
}

void APMMeasurement::setEnabled(bool enabled) {
  scheduleOnWorkerQueueBlockID("APMMeasurement:611", [weak = weak_from_this(), enabled] {
    if (auto self = weak.lock()) self->setEnabledOnWorkerQueue(enabled);
  });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  if (enabled && isAnalyticsCollectionDeactivated_) {
    log(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_ && !APMAnalytics::deferredAnalyticsCollection()) {
    APMAnalytics::setDeferredAnalyticsCollection(platform::Value(enabled ? 0 : 1));
  }
  enabled_ = enabled;
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      log(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    log(6, 23012, "Analytics collection enabled");
    return;
  }
  const auto defaults = APMUserDefaults::sharedUserDefaults();
  if (isDeepLinkExpired(*defaults, remoteConfig()->attributionCacheTTLInterval())) {
    clearDeepLink(*defaults);
  }
  if (alarm_) alarm_->cancel();
  if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
  log(6, 23013, "Analytics collection disabled");
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard lock(initializeComponentsLock_);
    if (!didInitializeComponents()) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      setDidInitializeComponents(true);
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  return true;
}

bool APMMeasurement::didInitializeComponents() const { return didInitializeComponents_; }

void APMMeasurement::setDidInitializeComponents(bool value) { didInitializeComponents_ = value; }

void APMMeasurement::reachabilityDidChange() {
  scheduleOnWorkerQueueBlockID("APMMeasurement:1034", [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

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

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
  auto identity = APMIdentity::sharedInstance();
  if (!identity) return false;
  {
    std::lock_guard lock(componentsMutex_);
    identity_ = identity;
  }
  setProspectiveConsentSettings();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();

  if (shouldWipeDataWithAppID(appID_, identity->appIDFromVIZ(), identity->appIDFromRiRur(),
                              persistedConfig_->appIDFromVIZ(),
                              persistedConfig_->appIDFromRiRur())) {
    // Counted before the attempt, so that a wipe that never returns is still owed next time.
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      APMAnalytics::setResetRetryCount(0);
    } else {
      log(4, 23208, "Failed to wipe out Analytics data");
    }
  }

  identity->updateIdentifiers();
  if (const auto afterReset = APMAnalytics::appInstanceIDAfterReset(); !isEmpty(afterReset)) {
    identity->setAppInstanceID(std::string(*afterReset));
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  updatePersistedAppIDFromVIZAndRiRur();

  platform::ErrorPtr error;
  auto database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  if (!database) {
    database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  }
  if (!database) return false;
  auto configuration = APMRemoteConfig::initWithAppID(appID_, database, experimentManager_);
  if (!configuration) return false;
  auto audience = APMAudience::initWithDatabase(database);
  if (!audience) return false;
  // The reporter reads its timeout from the installed configuration when it is made.
  APMMeasurementSetRemoteConfig(configuration);
  auto reporter = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
  setComponents(identity, database, configuration, audience, reporter);

  log(7, 23016, "Analytics is ready to receive events");
  monitor()->setEncodeContexts(identity->isFromAppStore());
  error.reset();
  if (!database->maybeDeleteStaleData(&error) && error) {
    log(5, 23018, "Unable to delete stale data. Error", {errorContext(error)});
  }
  if (configuration->DMAConsentEnabled()) updateConsentSettingsUtilWithRemoteConfig();

  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();
  if (APMUserDefaults::sharedUserDefaults()->objectForKey(kDeepLinkKey)) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();

  if (configuration->tcfFeatureEnabled()) {
    tcfClient_ = std::make_shared<APMTCFClient>();
    tcfClient_->setIsDMARegion(configuration->isDMARegion());
    tcfClient_->setConsentFromTCFData();
  }
  return true;
}

bool APMMeasurement::shouldWipeDataWithAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromVIZ,
    const std::optional<std::string>& appIDFromRiRur,
    const std::optional<std::string>& persistedAppIDFromVIZ,
    const std::optional<std::string>& persistedAppIDFromRiRur) const {
  const std::int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries < kMaxResetRetryCount) return true;
  if (!isEmpty(persistedAppIDFromVIZ) && !isEmpty(appIDFromVIZ)) {
    return *persistedAppIDFromVIZ != *appIDFromVIZ;
  }
  if (isEmpty(persistedAppIDFromVIZ) && !isEmpty(persistedAppIDFromRiRur) &&
      !isEmpty(appIDFromVIZ)) {
    if (isEmpty(appIDFromRiRur)) return true;
    return *appIDFromRiRur != *persistedAppIDFromRiRur;
  }
  if (!isEmpty(persistedAppIDFromVIZ) && isEmpty(appIDFromVIZ) && !isEmpty(appIDFromRiRur) &&
      isEmpty(persistedAppIDFromRiRur)) {
    return !isEmpty(appID);
  }
  if (isEmpty(appIDFromVIZ) && !isEmpty(persistedAppIDFromRiRur)) {
    return !isEmpty(appID) && *appID != *persistedAppIDFromRiRur;
  }
  return false;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  log(6, 23171, "Resetting App Measurement data");
  previousVIZAppID_ = persistedConfig_->appIDFromVIZ();
  persistedConfig_->clearValues();
  monitor()->clearMonitoringData();
  if (remoteConfig()->DMAConsentEnabled() && APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }
  platform::ErrorPtr error;
  if (const auto database = this->database()) {
    if (!database->reset(&error)) {
      log(1, 23209, "Failed to reset database", {errorContext(error)});
      return false;
    }
    if (const auto configuration = remoteConfigInstance()) configuration->reset();
    // The new reporter is switched before anyone can see it; the old one stops its timer
    // when the last holder lets it go.
    auto reporter = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
    reporter->setReportingEnabled(enabled_);
    std::lock_guard lock(componentsMutex_);
    sessionReporter_ = std::move(reporter);
  } else if (!APMDeleteFileAtPath(APMApplicationSupportPath(databaseName_), &error) && error) {
    log(1, 23014, "Failed to delete old database file. Error", {errorContext(error)});
  }
  if (const auto identity = this->identity()) {
    identity->updateIdentifiersAndWait();
    identity->resetEphemeralAppInstanceID();
    identity->resetSessionStitchingToken();
  }
  return true;
}

void APMMeasurement::updatePersistedAppIDFromVIZAndRiRur() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updatePersistedAppIDFromVIZAndRiRur");
  if (const auto identity = this->identity()) {
    const auto fromVIZ = identity->appIDFromVIZ();
    if (fromVIZ != persistedConfig_->appIDFromVIZ()) persistedConfig_->setAppIDFromVIZ(fromVIZ);
    const auto fromRiRur = identity->appIDFromRiRur();
    if (fromRiRur != persistedConfig_->appIDFromRiRur()) {
      persistedConfig_->setAppIDFromRiRur(fromRiRur);
    }
  }
  const auto origin = APMIdentifiers::sharedInstance().origin();
  if (origin == "fa") {
    persistedConfig_->setAppIDFromVIZ(appID_);
  } else if (origin == "am") {
    persistedConfig_->setAppIDFromRiRur(appID_);
  }
}

void APMMeasurement::setProspectiveConsentSettings() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setProspectiveConsentSettings");
  const auto qualifies = [](const std::optional<platform::Dictionary>& settings,
                            std::int64_t source) {
    return settings && !settings->empty() &&
           APMConsentSettingsUtil::isConsentSourceHigherPriority(source);
  };
  const auto framework = APMAnalytics::consentSettingsTCF();
  const auto api = APMAnalytics::consentSettings3P();
  const std::optional<platform::Dictionary> plist =
      APMConsentSettingsUtil::consentSettingsFromPlist();
  const auto startUp = APMAnalytics::consentSettings1PStart();
  const std::int64_t current = APMConsentSettingsUtil::consentSource();

  std::optional<platform::Dictionary> candidate;
  std::int64_t source = 0;
  if (qualifies(framework, APMConsentSettingsUtil::kSourceTCF) &&
      (!api || api->empty() || current == APMConsentSettingsUtil::kSourceTCF)) {
    candidate = framework;
    source = APMConsentSettingsUtil::kSourceTCF;
  } else if (qualifies(plist, APMConsentSettingsUtil::kSourceInfoPlist)) {
    candidate = plist;
    source = APMConsentSettingsUtil::kSourceInfoPlist;
  } else if (hasPublicFront() && (current == APMConsentSettingsUtil::kSourceRestoredOnStart ||
                                  current == APMConsentSettingsUtil::kSourceInternalCall)) {
    APMAnalytics::clearConsent();
    return;
  } else if (qualifies(startUp, APMConsentSettingsUtil::kSourceRestoredOnStart)) {
    candidate = startUp;
    source = APMConsentSettingsUtil::kSourceRestoredOnStart;
  } else {
    candidate = api;
    source = APMConsentSettingsUtil::kSourcePublicCall;
  }
  if (!qualifies(candidate, source)) return;
  APMConsentSettingsUtil::setConsentSettings(candidate);
  APMConsentSettingsUtil::setConsentSource(source);
  APMAnalytics::persistConsentSettings(candidate, source);
}

void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateConsentSettingsUtilWithRemoteConfig");
  const auto configuration = remoteConfig();
  const bool dma = configuration->DMAConsentEnabled();
  const auto before = APMConsentSettingsUtil::adPersonalization();
  if (dma) {
    const auto defaults = configuration->consentDefaults();
    const auto delegations = configuration->consentDelegations();
    if (!defaults.empty() || !delegations.empty()) {
      APMConsentSettingsUtil::setDefaultSettings(defaults);
      APMConsentSettingsUtil::setDelegatedSettings(delegations);
    }
  }
  if (configuration->regionalDefaultsEnabled()) {
    if (const auto regional = configuration->regionalDefaults(); !regional.empty()) {
      APMConsentSettingsUtil::setRegionalDefaults(regional);
    }
  } else {
    APMConsentSettingsUtil::setRegionalDefaults(std::nullopt);
  }
  const auto after = APMConsentSettingsUtil::adPersonalization();
  if (dma && after && after != before) shouldUpdateNPAUserProperty_ = true;
}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  const auto database = this->database();
  if (!database) return;
  platform::ErrorPtr error;
  const auto hasFirstOpen = database->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen && error) {
    log(1, 23019, "Failed to query first open property. Error", {errorContext(error)});
    return;
  }
  const std::int64_t count = int64FromText(previousFirstOpenCount()).value_or(0);
  if (hasFirstOpen.value_or(false)) {
    if (count < 1) setPreviousFirstOpenCount("1");
    APMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    return;
  }

  const std::int64_t installedHere = count >= 1 ? 1 : (isVersionSameAsOriginalVersion() ? 1 : 0);
  const std::int64_t storedFirstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  const double firstInstallTime =
      storedFirstOpen != 0 ? static_cast<double>(storedFirstOpen) / 1000 : initTimestamp_;
  writeAttribute(APMUserAttribute::initWithOrigin(kOrigin, "_fi", int64Value(installedHere),
                                                  firstInstallTime));
  error.reset();
  const auto hasInstall = database->containsUserAttributeWithName("_fi", &error);
  if (!hasInstall && error) {
    log(1, 23161, "Failed to query first open after install property after setting it. Error",
        {errorContext(error)});
    return;
  }
  if (!hasInstall.value_or(false)) {
    log(1, 23162, "Failed to set first open after install property");
    return;
  }

  const auto millis = static_cast<std::int64_t>(initTimestamp_ * 1000);
  writeAttribute(APMUserAttribute::initWithOrigin(
      kOrigin, "_fot", int64Value(timestampMillisRoundedUpToNextHour(millis)), initTimestamp_));
  error.reset();
  const auto hasFirstOpenNow = database->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpenNow && error) {
    log(1, 23020, "Failed to query first open property after setting it. Error",
        {errorContext(error)});
    return;
  }
  if (!hasFirstOpenNow.value_or(false)) {
    log(1, 23021, "Failed to set first open property");
    return;
  }

  const auto configuration = remoteConfig();
  const bool efficient = configuration->efficientEngagementReportingEnabled();
  const platform::Dictionary screen = APMScreenViewReporter::sharedInstance()->screenParameters();
  platform::Dictionary parameters;
  if (!isEmpty(previousVIZAppID_)) parameters.set("_pviz", *previousVIZAppID_);
  parameters.set("_pfo", int64Value(count < 1 ? 0 : count));
  parameters.set("_uwa", int64Value(1 - installedHere));
  const auto deferred = APMAnalytics::deferredAnalyticsCollection();
  if (deferred && deferred->integerValue() == 1) parameters.set("_dac", int64Value(1));
  if (efficient) parameters.set("_et", int64Value(1));
  if (const auto event =
          APMEvent::initWithOrigin(kOrigin, false, "_f", initTimestamp_, 0, parameters)) {
    event->addScreenParameters(screen);
    handleInternalEventOnWorkerQueue(event);
  }

  APMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  persistedConfig_->setLoadTimestampValue(std::nullopt);
  reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);

  if (!configuration->redundantEngagementRemovalEnabled()) {
    platform::Dictionary engagement{{"_et", int64Value(1)}};
    if (efficient) engagement.set("_fr", int64Value(1));
    if (const auto event =
            APMEvent::initWithOrigin(kOrigin, false, "_e", initTimestamp_, 0, engagement)) {
      event->addScreenParameters(screen);
      handleInternalEventOnWorkerQueue(event);
    }
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(millis);
  reportStoredCampaignEventOnWorkerQueue(millis - 1);
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
  const auto identity = this->identity();
  if (!identity) return;
  const auto current = identity->appVersion();
  const auto previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (isEmpty(previous)) return;
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(kOrigin, "_au", {{"_pv", *previous}});
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
  const std::optional<std::string> current =
      APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  const auto previous = persistedConfig_->osVersion();
  if (current == previous) return;
  persistedConfig_->setOSVersion(current);
  if (isEmpty(previous)) return;
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(kOrigin, "_ou", {{"_po", *previous}});
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueue");
  const auto reporter = sessionReporter();
  if (!reporter || !reporter->isSessionExpired()) return;
  reporter->updatePropertiesForNewSessionStart();
  writeAttribute(reporter->sessionIDPropertyWithTimestamp(timestamp));
  writeAttribute(reporter->sessionNumberProperty());
  const bool inBackground = appInBackground && remoteConfig()->appInBackgroundParameterEnabled();
  if (const auto event = APMSessionStartEvent(int64Value(persistedConfig_->sessionNumber()),
                                              inBackground, timestamp)) {
    handleInternalEventOnWorkerQueue(event);
  }
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<std::int64_t> clickTimestampMillis) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "reportStoredCampaignEventWithClickTimestampInMillisOnWorkerQueue:");
  const auto campaign = takeStoredCampaign(*APMUserDefaults::sharedUserDefaults(),
                                           remoteConfig()->attributionCacheTTLInterval());
  if (!campaign) return;
  handleStoredCampaignLinkOnWorkerQueue(campaign->link, clickTimestampMillis, campaign->storedAt,
                                        campaign->extraParameters);
}

std::optional<APMMeasurement::StoredCampaign>
APMMeasurement::takeStoredCampaign(APMConfigStore& defaults, double timeToLive) {
  const auto link = defaults.stringForKey(kDeepLinkKey);
  if (isEmpty(link)) return std::nullopt;
  StoredCampaign campaign{*link, deepLinkTimestamp(defaults).value_or(0), {}};
  if (isDeepLinkExpired(defaults, timeToLive)) {
    campaign.link = kNotSet;
    campaign.extraParameters.set("utm_source", kNotSet);
    campaign.extraParameters.set("utm_medium", kNotSet);
    campaign.extraParameters.set("_cc", int64Value(1));
  } else {
    campaign.extraParameters.set(
        "_cc", int64Value(previousHourMillis(static_cast<std::int64_t>(campaign.storedAt * 1000))));
  }
  clearDeepLink(defaults);
  return campaign;
}

// The attribution of an opened link comes with the deep-link handling; until then the link
// taken from the cache goes no further.
void APMMeasurement::handleStoredCampaignLinkOnWorkerQueue(const std::string&,
                                                           std::optional<std::int64_t>, double,
                                                           const platform::Dictionary&) {}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "setPersonalizedAdsUserPropertyOnWorkerQueue");
  const auto database = this->database();
  if (!database) return;
  const auto disable = shouldDisableAdPersonalization();
  platform::ErrorPtr error;
  const auto stored = database->userAttributeWithName("_npa", &error);
  if (!stored && error) {
    log(1, 23172, "Unable to read personalized ads user property. Error", {errorContext(error)});
    return;
  }
  if (!disable && !stored) return;
  if (!disable) {
    error.reset();
    if (database->deleteUserAttributeWithName("_npa", &error) || !error) {
      log(4, 23180, "No value set for personalized ads. Removing user property.");
      APMConsentSettingsUtil::setDiagnosticSource(0, kAPMConsentTypeAdPersonalization);
    } else {
      log(1, 23173, "Unable to remove personalized ads user property in the database. Error",
          {errorContext(error)});
    }
    return;
  }
  const std::int64_t wanted = *disable ? 1 : 0;
  const bool changed = !stored || stored->value()->int64Value() != wanted;
  if (remoteConfig()->DMAConsentEnabled() && !APMConsentSettingsUtil::adPersonalization()) {
    updateAdPersonalizationConsentFromNPAValue(platform::Value(*disable));
  }
  if (!changed) return;
  writeAttribute(APMUserAttribute::initWithOrigin(kOrigin, "_npa", int64Value(wanted), now()));
}

void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(
    const std::optional<platform::Value>& value) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateAdPersonalizationConsentFromNPAValue");
  const auto consent = APMConsentSettingsUtil::adPersonalization();
  const bool nonPersonalized = value && value->boolValue();
  // Granted goes with a false value: a difference means they agree.
  if (value && consent && (*consent != 0) != nonPersonalized) return;
  APMConsentSettingsUtil::updateSettings(
      {{kAPMConsentTypeAdPersonalization, nonPersonalized ? "denied" : "granted"}});
  if (persistedConfig_->allowPersonalizedAds()) {
    APMConsentSettingsUtil::setDiagnosticSource(5, kAPMConsentTypeAdPersonalization);
  } else if (foundAdPersonalizationPlistFlag_) {
    APMConsentSettingsUtil::setDiagnosticSource(3, kAPMConsentTypeAdPersonalization);
  } else if (const auto defaults = APMConsentSettingsUtil::defaultSettings();
             defaults && defaults->contains(kAPMConsentTypeAdPersonalization)) {
    APMConsentSettingsUtil::setDiagnosticSource(1, kAPMConsentTypeAdPersonalization);
  }
}

void APMMeasurement::backfillSessionNumber() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("backfillSessionNumber");
  if (persistedConfig_->sessionNumber() != 0) return;
  const auto database = this->database();
  if (!database) return;
  platform::ErrorPtr error;
  const auto aggregates = database->eventAggregatesWithName("_s", &error);
  if (!aggregates && error) {
    log(1, 23063, "Unable to query event aggregates. Name, error",
        {APMEventNameForLog(platform::Value("_s")), errorContext(error)});
    return;
  }
  persistedConfig_->setSessionNumber(aggregates ? aggregates->lifetimeCount() : 0);
}

std::int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  return milliseconds / kHourMillis * kHourMillis + kHourMillis;
}

// The version first seen is the one the persisted configuration kept before this launch
// stored the running one; a store that has seen none is a first install at this version.
bool APMMeasurement::isVersionSameAsOriginalVersion() const {
  const auto identity = this->identity();
  const auto seen = persistedConfig_ ? persistedConfig_->appVersion() : std::nullopt;
  return isEmpty(seen) || !identity || seen == identity->appVersion();
}

std::optional<platform::Dictionary>
APMMeasurement::fileAttributesForPath(const std::string& path) const {
  if (path.empty()) return std::nullopt;
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (code || !std::filesystem::exists(status)) {
    log(5, 23022, "Unable to read attributes of path. Path, error",
        {path, code ? code.message() : std::string("No such file or directory")});
    return std::nullopt;
  }
  platform::Dictionary attributes;
  const bool directory = std::filesystem::is_directory(status);
  attributes.set("NSFileType", directory ? "NSFileTypeDirectory" : "NSFileTypeRegular");
  if (!directory) {
    const auto size = std::filesystem::file_size(path, code);
    if (!code) attributes.set("NSFileSize", static_cast<std::int64_t>(size));
  }
  attributes.set("NSFilePosixPermissions", static_cast<std::int64_t>(status.permissions()) & 07777);
  return attributes;
}

void APMMeasurement::updateSchedule() {}

void APMMeasurement::writeAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (attribute) setUserAttributeOnWorkerQueue(attribute);
}

void APMMeasurement::setComponents(std::shared_ptr<APMIdentity> identity,
                                   std::shared_ptr<APMDatabase> database,
                                   std::shared_ptr<APMRemoteConfig> remoteConfig,
                                   std::shared_ptr<APMAudience> audience,
                                   std::shared_ptr<APMSessionReporter> sessionReporter) {
  std::lock_guard lock(componentsMutex_);
  identity_ = std::move(identity);
  database_ = std::move(database);
  remoteConfig_ = std::move(remoteConfig);
  audience_ = std::move(audience);
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

std::shared_ptr<APMAudience> APMMeasurement::audience() const {
  std::lock_guard lock(componentsMutex_);
  return audience_;
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
  scheduleOnWorkerQueueBlockID("APMMeasurement:190",
                               [completion = std::move(completion)] { completion(0, nullptr); });
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
