// The configuration side of APMRemoteConfig: what the service delivered for this app, checked,
// stored, parsed into the caches and answered from. Apart from the settings so that the
// settings' readers link without the database, identity and consent.
#include "analytics/data/APMRemoteConfig.h"

#include <cmath>
#include <mutex>
#include <utility>
#include <variant>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBTypedFields.h"
#include "analytics/messages/APMServices.h"
#include "foundation/ZIRServiceHosts.h"
#include "platform/bundle.h"
#include "platform/date.h"
#include "platform/dispatch.h"

namespace {

using SettingsTable = ZULMutableDictionary<std::string, platform::Value>;
using EventConfigTable = ZULMutableDictionary<std::string, std::shared_ptr<APMPBEventConfig>>;

// DataControl, CorePlatformServiceEntry: the name; the consent entries: type, then status or
// delegate type.
constexpr std::int32_t kFirstField = 0;
constexpr std::int32_t kSecondField = 1;

constexpr const char* kPsmSettingKeys[] = {
    "measurement.psm_prefix_email", "measurement.psm_prefix_phone", "measurement.psm_signin_delay"};

constexpr const char* kAMOrigin = "am";
constexpr std::uint64_t kAppDataConsentStatusAlternativeHost = 3;

void logLine(std::int64_t level, std::int64_t code, const std::string& message,
             const platform::Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return error ? platform::Value(error->description()) : platform::Value();
}

platform::Dictionary snapshot(const SettingsTable& table) {
  platform::Dictionary result;
  for (const auto& [key, value] : table.dictionary()) result.set(key, value);
  return result;
}

// Consent entries, (type, status) or (type, delegate type), by their names; an entry either
// of whose numbers names nothing is skipped, and a later entry of a type replaces an earlier.
template <typename Entry>
void fillConsentTable(SettingsTable& table, const NANOMessageBase* consentConfig,
                      std::int32_t index, std::optional<std::string> (*valueName)(std::int64_t)) {
  table.removeAllObjects();
  for (const auto& entry : APMMessagesAt<Entry>(consentConfig, index)) {
    // The numbers are unsigned on the wire: read back as such before naming them.
    const auto type =
        APMConsentTypeName(static_cast<std::uint32_t>(nano_get_int32(entry.get(), kFirstField)));
    const auto value =
        valueName(static_cast<std::uint32_t>(nano_get_int32(entry.get(), kSecondField)));
    if (type && value) table.setObject(platform::Value(*value), *type);
  }
}

bool sameAppID(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a && b && *a == *b;
}

// The subdomain arrives from the network and becomes part of the upload address: only dot-
// separated host-name labels may, so that no "/", "@", ":" or "?" can move the uploads to
// another host or path.
bool isHostNamePrefix(const std::string& text) {
  constexpr std::size_t kMaxHostNameLength = 253;
  constexpr std::size_t kMaxLabelLength = 63;
  if (text.empty() || text.size() > kMaxHostNameLength) return false;
  std::size_t label = 0;
  for (const char c : text) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!allowed || ++label > kMaxLabelLength) return false;
  }
  return label != 0;
}

}  // namespace

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  static platform::Once once;
  static std::shared_ptr<APMRemoteConfig>* instance = nullptr;
  once.call([] {
    instance = new std::shared_ptr<APMRemoteConfig>(
        initWithAppID(std::nullopt, nullptr, nullptr, nullptr));
  });
  return *instance;
}

std::shared_ptr<APMRemoteConfig>
APMRemoteConfig::initWithAppID(const std::optional<std::string>& appID,
                               const std::shared_ptr<APMDatabase>& database,
                               const std::shared_ptr<APMEManager>& experimentManager) {
  if (!appID || appID->empty()) {
    logLine(1, 29000, "Cannot init remote configuration without valid Rerora App ID");
    return nullptr;
  }
  if (!database) {
    logLine(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr, experimentManager);
}

std::shared_ptr<APMRemoteConfig>
APMRemoteConfig::initWithAppID(const std::optional<std::string>& appID,
                               const std::shared_ptr<APMDatabase>& database,
                               const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
                               const std::shared_ptr<APMEManager>& experimentManager) {
  auto config = std::make_shared<APMRemoteConfig>();
  State& state = *config->state_;
  {
    std::lock_guard lock(state.mutex);
    state.appID = appID;
    state.database = database;
    state.experimentManager = experimentManager;
    state.isDefaultInstance = !database && !appID;
  }
  std::shared_ptr<APMEClient> client;
  if (experimentManager) {
    auto property = std::make_shared<APMESDKProperty>("app_measurement");
    property->setVersion(APMIdentity::dedArorarivuvaLibraryVersion());
    property->setDelegate(config);
    client = experimentManager->registerSDKProperty(property, platform::Dictionary{});
    if (client) client->setDelegate(config);
    std::lock_guard lock(state.mutex);
    state.experimentClient = client;
  }
  if (client) {
    platform::ErrorPtr error;
    if (!client->activateLatestSnapshot(&error) && error) {
      logLine(2, 29023, "Cannot activate stale snapshot. Error", {errorContext(error)});
    }
    config->updateCachedExperimentFlags();
  }
  if (config->isDefaultInstance()) return config;
  if (measurementConfig) {
    config->updateMeasurementConfig(measurementConfig);
  } else if (auto stored = config->measurementConfigFromDatabase()) {
    {
      std::lock_guard lock(state.mutex);
      state.remoteConfigProto = stored;
    }
    config->parseRemoteConfigFromMeasurementConfig(stored);
  }
  return config;
}

bool APMRemoteConfig::isDefaultInstance() const {
  std::lock_guard lock(state_->mutex);
  return state_->isDefaultInstance;
}

bool APMRemoteConfig::updateMeasurementConfig(
    const std::shared_ptr<APMPBMeasurementConfig>& config) {
  APMSchedulerCheckOnBackgroundThread("updateMeasurementConfig:");
  std::optional<std::string> appID;
  std::shared_ptr<APMDatabase> database;
  if (isDefaultInstance()) {
    logLine(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  {
    std::lock_guard lock(state_->mutex);
    appID = state_->appID;
    database = state_->database.lock();
  }
  if (!config) {
    logLine(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (APMIdentifiers::sharedInstance().origin() == kAMOrigin &&
      !sameAppID(nano_get_string(config.get(), APMPBMeasurementConfigFields::kRiRurAppID), appID)) {
    logLine(2, 29022, "Cannot set measurement config when RiRur App ID does not match");
    return false;
  }
  if (!sameAppID(nano_get_string(config.get(), APMPBMeasurementConfigFields::kAppID), appID)) {
    logLine(2, 29004, "Cannot set measurement config when Rerora App ID does not match");
    return false;
  }
  platform::ErrorPtr error;
  // A database that has gone away stores nothing and says nothing, like a failed store
  // without an error: the configuration is still taken up for this run.
  const bool stored = database && database->updateRemoteConfig(config.get(), &error);
  if (!stored && error) {
    logLine(1, 29005, "Cannot store config into the database", {errorContext(error)});
    return false;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->remoteConfigProto = config;
  }
  parseRemoteConfigFromMeasurementConfig(config);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMSchedulerCheckOnBackgroundThread("measurementConfigFromDatabase");
  std::shared_ptr<APMDatabase> database;
  if (isDefaultInstance()) {
    logLine(2, 29015,
            "Cannot retrieve a measurement configuration from the database for the default "
            "instance");
    return nullptr;
  }
  {
    std::lock_guard lock(state_->mutex);
    database = state_->database.lock();
  }
  platform::ErrorPtr error;
  auto config = database ? database->queryMeasurementConfigWithError(&error) : nullptr;
  if (config) return config;
  if (error) {
    logLine(2, 29016, "Cannot retrieve configuration data from database. Error",
            {errorContext(error)});
  } else {
    logLine(7, 29017,
            "Configuration was not found in database. The configuration will be fetched from "
            "the network when necessary");
  }
  return nullptr;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(
    const std::shared_ptr<APMPBMeasurementConfig>& config) {
  const NANOMessageBase* message = config.get();
  const auto settings = APMMessageListAt<APMPBSetting>(message, APMPBMeasurementConfigFields::kSettings);
  if (!settings) {
    logLine(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  std::shared_ptr<SettingsTable> settingsTable;
  std::shared_ptr<EventConfigTable> eventTable;
  {
    std::lock_guard lock(state_->mutex);
    if (!sameAppID(nano_get_string(message, APMPBMeasurementConfigFields::kAppID), state_->appID)) {
      return;
    }
    settingsTable = state_->cachedValueByRemoteConfigKeys;
    eventTable = state_->cachedEventConfigByEventName;
  }

  settingsTable->removeAllObjects();
  for (const auto& setting : *settings) {
    const auto value = nano_get_string(setting.get(), APMPBSettingFields::kValue);
    cacheValue(value ? std::optional<platform::Value>(*value) : std::nullopt,
               nano_get_string(setting.get(), APMPBSettingFields::kName).value_or(""));
  }

  eventTable->removeAllObjects();
  for (const auto& eventConfig :
       APMMessagesAt<APMPBEventConfig>(message, APMPBMeasurementConfigFields::kEventConfigs)) {
    const std::string name =
        nano_get_string(eventConfig.get(), APMPBEventConfigFields::kName).value_or("");
    if (name.empty()) {
      logLine(5, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const platform::Value* internal = APMEventNameMap().find(name);
    const std::string* key = internal != nullptr ? internal->asString() : nullptr;
    eventTable->setObject(eventConfig, key != nullptr ? *key : name);
  }

  if (nano_has_field(message, APMPBMeasurementConfigFields::kVersion)) {
    logLine(7, 29014, "Successfully parsed a configuration. Version",
            {platform::Value(nano_get_int64(message, APMPBMeasurementConfigFields::kVersion))});
  }

  const auto programs = APMMessageListAt<APMPBProgram>(message, APMPBMeasurementConfigFields::kPrograms);
  if (programs && !programs->empty()) {
    if (!loadEventEditingProgram(programs->front(), settingsTable)) {
      logLine(1, 29026, "Failed to initiate event editing instance");
      return;
    }
    logLine(7, 29027, "Loading Event Modification and Creation programs",
            {platform::Value(static_cast<std::int64_t>(programs->size()))});
  }

  std::vector<std::string> dataControls;
  for (const auto& control :
       APMMessagesAt<APMPBDataControl>(message, APMPBMeasurementConfigFields::kDataControls)) {
    const auto name = nano_get_string(control.get(), kFirstField);
    if (name && !name->empty()) dataControls.push_back(*name);
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->cachedDataControls = std::move(dataControls);
  }

  if (const auto consent =
          APMMessageAt<APMPBConsentConfig>(message, APMPBMeasurementConfigFields::kConsentConfig)) {
    std::shared_ptr<SettingsTable> defaults;
    std::shared_ptr<SettingsTable> delegations;
    std::shared_ptr<SettingsTable> regionalDefaults;
    {
      std::lock_guard lock(state_->mutex);
      defaults = state_->cachedConsentDefaults;
      delegations = state_->cachedConsentDelegations;
      regionalDefaults = state_->cachedRegionalDefaults;
    }
    fillConsentTable<APMPBConsentDefaultEntry>(
        *defaults, consent.get(), APMPBConsentConfigFields::kDefaults, &APMConsentStatusName);
    fillConsentTable<APMPBConsentDelegationEntry>(
        *delegations, consent.get(), APMPBConsentConfigFields::kDelegations, &APMConsentTypeName);
    std::set<std::string> services;
    for (const auto& entry : APMMessagesAt<APMPBCorePlatformServiceEntry>(
             consent.get(), APMPBConsentConfigFields::kCorePlatformServices)) {
      const auto name = nano_get_string(entry.get(), kFirstField);
      if (name && !name->empty()) services.insert(*name);
    }
    const bool isDMARegion = nano_get_bool(consent.get(), APMPBConsentConfigFields::kDMARegion);
    fillConsentTable<APMPBConsentDefaultEntry>(*regionalDefaults, consent.get(),
                                               APMPBConsentConfigFields::kRegionalDefaults,
                                               &APMConsentStatusName);
    std::lock_guard lock(state_->mutex);
    state_->cachedCorePlatformServices = std::move(services);
    state_->isDMARegion = isDMARegion;
  }

  if (const auto psm =
          APMMessageAt<APMPBPsmSetting>(message, APMPBMeasurementConfigFields::kPsmSetting)) {
    for (std::int32_t index = 0; index < 3; ++index) {
      if (nano_has_field(psm.get(), index)) {
        cacheValue(platform::Value(nano_get_int32(psm.get(), index)), kPsmSettingKeys[index]);
      }
    }
  }
}

bool APMRemoteConfig::loadEventEditingProgram(const std::shared_ptr<APMPBProgram>& program,
                                              const std::shared_ptr<SettingsTable>& settings) {
  const auto factory = APMPInstalledScriptEngine();
  // Without a script engine there is nothing to run the program: a load that failed.
  std::shared_ptr<APMPEventEditing> editing = factory ? factory->makeEventEditing() : nullptr;
  {
    std::lock_guard lock(state_->mutex);
    state_->eventEditing = editing;
  }
  if (!editing) return false;

  // The runner keeps the creators: held weakly, the engine that made the runner is not kept
  // alive by it (an engine that keeps its runners would otherwise never be freed).
  const std::weak_ptr<APMPScriptEngineFactory> maker = factory;
  editing->setModuleCreator(
      [maker, settings]() -> std::shared_ptr<APMPModule> {
        const auto factory = maker.lock();
        if (!factory) return nullptr;
        return factory->makeKeyValueStore(
            "internal.remoteConfig",
            [settings](const std::string& key) -> std::optional<std::string> {
              const auto value = settings->objectForKey(key);
              if (!value) return std::nullopt;
              if (const std::string* text = value->asString()) return *text;
              if (value->isNumber()) return value->description();
              return std::nullopt;
            });
      },
      "internal.remoteConfig");
  editing->setModuleCreator(
      [maker]() -> std::shared_ptr<APMPModule> {
        const auto factory = maker.lock();
        if (!factory) return nullptr;
        return factory->makeObjectProvider("internal.appMetadata", [] {
          platform::Dictionary metadata;
          metadata.set("platform", platform::Value("macos"));
          metadata.set("package_name",
                       platform::Value(platform::Bundle::main().bundleIdentifier()));
          metadata.set("viz_version", platform::Value(APMIdentity::dedArorarivuvaLibraryVersion()));
          if (const auto engine = APMMeasurementSharedInstance()) {
            if (const auto identity = engine->identity()) {
              if (const auto appVersion = identity->appVersion()) {
                metadata.set("app_version", platform::Value(*appVersion));
              }
            }
          }
          return metadata;
        });
      },
      "internal.appMetadata");
  editing->setModuleCreator(
      [maker]() -> std::shared_ptr<APMPModule> {
        const auto factory = maker.lock();
        if (!factory) return nullptr;
        return factory->makeMessageLogger(factory->makePixieLogger());
      },
      "internal.logger");

  platform::ErrorPtr error;
  if (!editing->loadProgram(program, &error)) {
    std::lock_guard lock(state_->mutex);
    state_->eventEditing = nullptr;
    return false;
  }
  return true;
}

void APMRemoteConfig::reset() {
  std::shared_ptr<APMEManager> manager;
  {
    std::lock_guard lock(state_->mutex);
    state_->cachedValueByRemoteConfigKeys = std::make_shared<SettingsTable>();
    state_->cachedEventConfigByEventName = std::make_shared<EventConfigTable>();
    state_->cachedExperimentFlags = std::make_shared<SettingsTable>();
    state_->cachedConsentDefaults = std::make_shared<SettingsTable>();
    state_->cachedConsentDelegations = std::make_shared<SettingsTable>();
    state_->cachedRegionalDefaults = std::make_shared<SettingsTable>();
    state_->cachedDataControls.clear();
    state_->cachedCorePlatformServices.clear();
    state_->isDMARegion = true;
    if (!state_->isDefaultInstance) state_->remoteConfigProto = nullptr;
    manager = state_->experimentManager;
  }
  if (manager) manager->reset();
}

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(const std::string& name) {
  if (name.empty()) {
    logLine(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  std::shared_ptr<EventConfigTable> table;
  {
    std::lock_guard lock(state_->mutex);
    table = state_->cachedEventConfigByEventName;
  }
  return table->objectForKey(name);
}

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) {
  const auto config = eventConfigWithName(name);
  if (config && nano_has_field(config.get(), APMPBEventConfigFields::kBlocklisted) &&
      nano_get_bool(config.get(), APMPBEventConfigFields::kBlocklisted)) {
    return true;
  }
  return APMIsPublicName(platform::Value(name)) ? blocklistPublic() : blocklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) {
  const auto config = eventConfigWithName(name);
  return config && nano_has_field(config.get(), APMPBEventConfigFields::kCustomConversion) &&
         nano_get_bool(config.get(), APMPBEventConfigFields::kCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) {
  const auto config = eventConfigWithName(name);
  return config && nano_has_field(config.get(), APMPBEventConfigFields::kSamplingRate);
}

std::int32_t APMRemoteConfig::samplingRateForEvent(const std::string& name) {
  const auto config = eventConfigWithName(name);
  if (!config || !nano_has_field(config.get(), APMPBEventConfigFields::kSamplingRate)) return 1;
  const std::int32_t rate = nano_get_int32(config.get(), APMPBEventConfigFields::kSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  std::shared_ptr<APMDatabase> database;
  if (isDefaultInstance()) {
    logLine(2, 29008,
            "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  {
    std::lock_guard lock(state_->mutex);
    database = state_->database.lock();
  }
  if (!database) return 0;
  platform::ErrorPtr error;
  const auto timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && error) {
    logLine(4, 29009, "Failed to query last configuration update timestamp. Error",
            {errorContext(error)});
  }
  return timestamp ? timestamp->doubleValue() : 0;
}

bool APMRemoteConfig::isExpired() {
  if (isDefaultInstance()) {
    logLine(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double elapsed =
      platform::Date::now().timeIntervalSince1970() - lastRemoteConfigUpdateTimestamp();
  return std::fabs(elapsed) >= remoteConfigCacheTimeInterval();
}

std::int64_t APMRemoteConfig::version() {
  std::shared_ptr<APMPBMeasurementConfig> config;
  {
    std::lock_guard lock(state_->mutex);
    config = state_->remoteConfigProto;
  }
  if (!config || !nano_has_field(config.get(), APMPBMeasurementConfigFields::kVersion)) return -1;
  return nano_get_int64(config.get(), APMPBMeasurementConfigFields::kVersion);
}

std::optional<std::string> APMRemoteConfig::uploadSubdomain() {
  std::shared_ptr<APMPBMeasurementConfig> config;
  {
    std::lock_guard lock(state_->mutex);
    config = state_->remoteConfigProto;
  }
  if (!config) return std::nullopt;
  return nano_get_string(config.get(), APMPBMeasurementConfigFields::kUploadSubdomain);
}

std::string APMRemoteConfig::uploadURL() {
  std::string host = APMDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() ==
                             kAppDataConsentStatusAlternativeHost
                         ? ZIRServiceHosts::alternativeAnalyticsServiceHost()
                         : ZIRServiceHosts::analyticsServiceHost();
  if (const auto subdomain = uploadSubdomain(); subdomain && isHostNamePrefix(*subdomain)) {
    host = *subdomain + "." + host;
  }
  return "https://" + host + "/a";
}

std::optional<std::string>
APMRemoteConfig::remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                             std::int64_t SDKVersion, std::int64_t runtimeVersion) {
  if (!platform) {
    logLine(2, 29010, "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  std::string appID;
  {
    std::lock_guard lock(state_->mutex);
    appID = state_->appID.value_or("");
  }
  platform::Dictionary query;
  query.set("platform", platform::Value(*platform));
  query.set("runtime_version", platform::Value(runtimeVersion));
  query.set("viz_version", platform::Value(SDKVersion));
  return "https://" + ZIRServiceHosts::analyticsServiceHost() + "/config/app/" + appID + "?" +
         apm_queryString(query);
}

std::vector<std::string> APMRemoteConfig::dataControls() {
  std::lock_guard lock(state_->mutex);
  return state_->cachedDataControls;
}

platform::Dictionary APMRemoteConfig::consentDefaults() {
  std::shared_ptr<SettingsTable> table;
  {
    std::lock_guard lock(state_->mutex);
    table = state_->cachedConsentDefaults;
  }
  return snapshot(*table);
}

platform::Dictionary APMRemoteConfig::consentDelegations() {
  std::shared_ptr<SettingsTable> table;
  {
    std::lock_guard lock(state_->mutex);
    table = state_->cachedConsentDelegations;
  }
  return snapshot(*table);
}

platform::Dictionary APMRemoteConfig::regionalDefaults() {
  std::shared_ptr<SettingsTable> table;
  {
    std::lock_guard lock(state_->mutex);
    table = state_->cachedRegionalDefaults;
  }
  return snapshot(*table);
}

std::set<std::string> APMRemoteConfig::corePlatformServices() {
  std::lock_guard lock(state_->mutex);
  return state_->cachedCorePlatformServices;
}

bool APMRemoteConfig::isDMARegion() {
  std::lock_guard lock(state_->mutex);
  return state_->isDMARegion;
}

platform::Array APMRemoteConfig::experimentIDs() {
  std::shared_ptr<APMEManager> manager;
  {
    std::lock_guard lock(state_->mutex);
    manager = state_->experimentManager;
  }
  return manager ? manager->experimentIDs() : platform::Array{};
}

bool APMRemoteConfig::activateNewSnapshot() {
  if (!state_->hasNewSnapshot.load()) return false;
  const auto client = experimentClient();
  platform::ErrorPtr error;
  if (!client || !client->activateLatestSnapshot(&error)) {
    logLine(2, 29024, "Cannot activate snapshot. Error", {errorContext(error)});
    return false;
  }
  updateCachedExperimentFlags();
  std::lock_guard lock(state_->mutex);
  state_->hasNewSnapshot = false;
  return true;
}

void APMRemoteConfig::updateCachedExperimentFlags() {
  const auto client = experimentClient();
  const auto flags = state_->flags();
  for (const char* name : {"dcu_event_feature_enabled", "regional_defaults_enabled"}) {
    const auto value = client ? client->objectForKeyedSubscript(name) : std::nullopt;
    if (value && !value->isNull()) {
      flags->setObject(*value, name);
    } else {
      flags->removeObjectForKey(name);
    }
  }
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::eventEditing() const {
  std::lock_guard lock(state_->mutex);
  return state_->eventEditing;
}
