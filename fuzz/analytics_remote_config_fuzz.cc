// A configuration document of any bytes, as the service may send it: what decodes is handed
// to a remote configuration over a temporary analytics database (as it is, and again with this
// app's ID so that it is taken up), then every question the engine asks of it is asked. Each
// answer keeps its form, and what was stored reads back as the same message.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMScriptServices.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"

namespace {

constexpr const char* kAppID = "1:123:macos:abc";
constexpr std::int32_t kVersionIndex = 0;
constexpr std::int32_t kAppIDIndex = 1;
constexpr std::int32_t kEventConfigsIndex = 4;

// A script engine that takes every program, so that the modules are registered.
class AcceptingEngine : public APMPScriptEngineFactory {
  class Editing : public APMPEventEditing {
   public:
    void setModuleCreator(APMPModuleCreator creator, const std::string&) override {
      fuzz::fuzzCheck(creator() != nullptr, "every module can be made");
    }
    bool loadProgram(const std::shared_ptr<APMPBProgram>& program, platform::ErrorPtr*) override {
      return program != nullptr;
    }
  };
  class Module : public APMPKeyValueStore {};
  class Provider : public APMPObjectProvider {};
  class Logger : public APMPixieLogger {};
  class MessageLogger : public APMPMessageLogger {};

 public:
  std::shared_ptr<APMPEventEditing> makeEventEditing() override {
    return std::make_shared<Editing>();
  }
  std::shared_ptr<APMPKeyValueStore>
  makeKeyValueStore(const std::string&,
                    std::function<std::optional<std::string>(const std::string&)> block) override {
    for (const char* key : {"measurement.upload.interval", "", "absent"}) block(key);
    return std::make_shared<Module>();
  }
  std::shared_ptr<APMPObjectProvider>
  makeObjectProvider(const std::string&, std::function<platform::Dictionary()> block) override {
    fuzz::fuzzCheck(block().find("platform") != nullptr, "the app facts name the platform");
    return std::make_shared<Provider>();
  }
  std::shared_ptr<APMPixieLogger> makePixieLogger() override { return std::make_shared<Logger>(); }
  std::shared_ptr<APMPMessageLogger>
  makeMessageLogger(const std::shared_ptr<APMPixieLogger>&) override {
    return std::make_shared<MessageLogger>();
  }
};

// The analytics directory in a folder of the target's own, removed at exit, and one database
// there for every input.
std::shared_ptr<APMDatabase> makeDatabase() {
  std::string folder =
      (platform::temporaryDirectory() / "vilmo-fuzz-remote-config-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  for (const char* variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
    setenv(variable, folder.c_str(), 1);
  }
  APMPSetScriptEngine(std::make_shared<AcceptingEngine>());
  const auto persisted = APMPersistedConfig::initWithSuiteName("fuzz-remote-config");
  fuzz::fuzzCheck(persisted != nullptr, "the persisted configuration is made");
  platform::ErrorPtr error;
  auto database =
      APMDatabase::initWithDatabaseName("rerora-app-measurement.sql", persisted, &error);
  fuzz::fuzzCheck(database != nullptr, "the database is made");
  return database;
}

template <auto Accessor> double read(APMRemoteConfig& config) {
  return static_cast<double>((config.*Accessor)());
}

void askEverything(APMRemoteConfig& config, const APMPBMeasurementConfig& delivered) {
  static constexpr double (*const kSettings[])(APMRemoteConfig&) = {
      &read<&APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes>,
      &read<&APMRemoteConfig::adIDCacheTime>,
      &read<&APMRemoteConfig::isSessionIDEnabled>,
      &read<&APMRemoteConfig::gateIDFAOnATTMASEnabled>,
      &read<&APMRemoteConfig::attributionCacheTTLInterval>,
      &read<&APMRemoteConfig::maxFiltersPerAudience>,
      &read<&APMRemoteConfig::maxFilterResultCount>,
      &read<&APMRemoteConfig::maxAudienceCount>,
      &read<&APMRemoteConfig::maxParametersPerFilter>,
      &read<&APMRemoteConfig::efficientEngagementReportingEnabled>,
      &read<&APMRemoteConfig::redundantEngagementRemovalEnabled>,
      &read<&APMRemoteConfig::remoteConfigCacheTimeInterval>,
      &read<&APMRemoteConfig::isDeferredDeepLinkEnabled>,
      &read<&APMRemoteConfig::maxDeferredDeepLinkRetryCount>,
      &read<&APMRemoteConfig::dcuEventFeatureEnabled>,
      &read<&APMRemoteConfig::maxRealtimeDCUEventCountPerDay>,
      &read<&APMRemoteConfig::isEventSamplingEnabled>,
      &read<&APMRemoteConfig::itemScopedCustomParameterEnabled>,
      &read<&APMRemoteConfig::appBackgroundedEventEnabled>,
      &read<&APMRemoteConfig::appInBackgroundParameterEnabled>,
      &read<&APMRemoteConfig::maxTrackedCurrencies>,
      &read<&APMRemoteConfig::monitoringSamplePeriod>,
      &read<&APMRemoteConfig::isNetworkBackgroundSessionEnabled>,
      &read<&APMRemoteConfig::networkTimeout>,
      &read<&APMRemoteConfig::PSMFeatureEnabled>,
      &read<&APMRemoteConfig::hashPrefixBitLengthEmail>,
      &read<&APMRemoteConfig::hashPrefixBitLengthPhone>,
      &read<&APMRemoteConfig::maxPSMRetryCount>,
      &read<&APMRemoteConfig::PSMRetryInterval>,
      &read<&APMRemoteConfig::maxSignInDelayInDays>,
      &read<&APMRemoteConfig::maxPSMStartCount>,
      &read<&APMRemoteConfig::checksumEnabled>,
      &read<&APMRemoteConfig::regionalDefaultsEnabled>,
      &read<&APMRemoteConfig::sessionDefaultMinimumInterval>,
      &read<&APMRemoteConfig::sessionDefaultTimeoutInterval>,
      &read<&APMRemoteConfig::sessionEventUserEngagementInterval>,
      &read<&APMRemoteConfig::sessionStitchingTokenFeatureEnabled>,
      &read<&APMRemoteConfig::SKANCVFetchRetryInterval>,
      &read<&APMRemoteConfig::SKANCVFetchRetryLimit>,
      &read<&APMRemoteConfig::SKANFirstWindowCVFetchRetryInterval>,
      &read<&APMRemoteConfig::SKANFirstWindowCVFetchRetryLimit>,
      &read<&APMRemoteConfig::SKANFirstWindowCVFetchDelay>,
      &read<&APMRemoteConfig::SKANFirstWindowUploadInterval>,
      &read<&APMRemoteConfig::SKANInitialCVFetchDelay>,
      &read<&APMRemoteConfig::SKANUpdateConversionValueEnabled>,
      &read<&APMRemoteConfig::maxEventsStored>,
      &read<&APMRemoteConfig::tcfFeatureEnabled>,
      &read<&APMRemoteConfig::uploadingBackoffInterval>,
      &read<&APMRemoteConfig::blocklistInternal>,
      &read<&APMRemoteConfig::blocklistPublic>,
      &read<&APMRemoteConfig::uploadingDebugModeInterval>,
      &read<&APMRemoteConfig::DMAConsentEnabled>,
      &read<&APMRemoteConfig::uploadingInitialDelayInterval>,
      &read<&APMRemoteConfig::uploadingInterval>,
      &read<&APMRemoteConfig::uploadMaxSizeLimitBytes>,
      &read<&APMRemoteConfig::uploadMaxBundlesLimit>,
      &read<&APMRemoteConfig::maxBundlesCreatedPerIteration>,
      &read<&APMRemoteConfig::maxConversionsPerDay>,
      &read<&APMRemoteConfig::maxErrorEventsPerDay>,
      &read<&APMRemoteConfig::maxEventNameCardinality>,
      &read<&APMRemoteConfig::maxPublicEventParameterValueLength>,
      &read<&APMRemoteConfig::uploadMaxEventsPerBundle>,
      &read<&APMRemoteConfig::maxEventsPerDay>,
      &read<&APMRemoteConfig::maxItemScopedCustomParameters>,
      &read<&APMRemoteConfig::maxPublicEventParams>,
      &read<&APMRemoteConfig::maxPublicEventsPerDay>,
      &read<&APMRemoteConfig::maxPublicUserProperties>,
      &read<&APMRemoteConfig::maxQueueTime>,
      &read<&APMRemoteConfig::maxRealtimeEventCountPerDay>,
      &read<&APMRemoteConfig::uploadingRealTimeInterval>,
      &read<&APMRemoteConfig::uploadingRetryCount>,
      &read<&APMRemoteConfig::uploadingRetryInterval>,
      &read<&APMRemoteConfig::databaseDeleteStaleBundlesInterval>,
      &read<&APMRemoteConfig::maxInternalEventParameterValueLength>,
  };
  for (const auto setting : kSettings) {
    fuzz::fuzzCheck(std::isfinite(setting(config)), "a setting reads as a finite number");
  }

  const auto eventConfigs =
      nano_get_array(&delivered, kEventConfigsIndex, &APMPBEventConfig::messageClass());
  std::vector<std::string> names{"", "first_open", "_f", "purchase", "my_event"};
  if (eventConfigs) {
    for (const NanoObject& object : *eventConfigs) {
      if (const auto* message = std::get_if<NanoMessagePtr>(&object)) {
        names.push_back(nano_get_string(message->get(), 0).value_or(""));
      }
    }
  }
  for (const std::string& name : names) {
    config.eventConfigWithName(name);
    config.isEventBlocklisted(name);
    config.isEventCustomConversion(name);
    const std::int32_t rate = config.samplingRateForEvent(name);
    fuzz::fuzzCheck(rate >= 1 && rate <= 65535, "a sampling rate lies in 1..65535");
    fuzz::fuzzCheck(config.eventHasSamplingRate(name) || rate == 1,
                    "an event without a rate samples every event");
  }

  for (const std::string& control : config.dataControls()) {
    fuzz::fuzzCheck(!control.empty(), "a data control names something");
  }
  for (const auto& table :
       {config.consentDefaults(), config.consentDelegations(), config.regionalDefaults()}) {
    for (const auto& [type, value] : table) {
      fuzz::fuzzCheck(value.isString(), "consent values are names");
      fuzz::fuzzCheck(type.find('_') != std::string::npos, "consent types are names");
    }
  }
  config.corePlatformServices();
  config.isDMARegion();
  config.uploadSubdomain();
  fuzz::fuzzCheck(config.uploadURL().rfind("https://", 0) == 0, "uploads go over TLS");
  fuzz::fuzzCheck(config.remoteConfigURLWithPlatform("macos", 1, 2).has_value(),
                  "a configuration address is made for a platform");
  config.lastRemoteConfigUpdateTimestamp();
  config.isExpired();
  config.experimentIDs();
  config.eventEditing();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One database for every input: each accepted configuration replaces the stored one.
  static const std::shared_ptr<APMDatabase> database = makeDatabase();

  const platform::Data bytes(data, size);
  const auto delivered = APMPBMeasurementConfig::initWithBuffer(&bytes);
  if (!delivered) return 0;

  const auto config = APMRemoteConfig::initWithAppID(std::string(kAppID), database, nullptr);
  fuzz::fuzzCheck(config != nullptr, "a remote configuration is made over a database");
  const bool accepted = config->updateMeasurementConfig(delivered);
  fuzz::fuzzCheck(!accepted || nano_get_string(delivered.get(), kAppIDIndex) == kAppID,
                  "only this app's configuration is taken");
  askEverything(*config, *delivered);
  config->parseRemoteConfigFromMeasurementConfig(delivered);

  nano_set_string_field(delivered.get(), kAppIDIndex, kAppID);
  if (config->updateMeasurementConfig(delivered)) {
    fuzz::fuzzCheck(config->version() == (nano_has_field(delivered.get(), kVersionIndex)
                                              ? nano_get_int64(delivered.get(), kVersionIndex)
                                              : -1),
                    "the version is the configuration's");
    askEverything(*config, *delivered);
    // What was stored is taken up by the next instance as the same message.
    const auto next = APMRemoteConfig::initWithAppID(std::string(kAppID), database, nullptr);
    const auto stored = next->measurementConfigFromDatabase();
    fuzz::fuzzCheck(stored && stored->protoBuffer() == delivered->protoBuffer(),
                    "the stored configuration reads back the same");
    askEverything(*next, *stored);
  }
  config->reset();
  fuzz::fuzzCheck(config->version() == -1 && config->isDMARegion(), "a reset empties it");
  return 0;
}
