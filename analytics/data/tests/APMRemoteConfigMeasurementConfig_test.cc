// The delivered configuration of one app: checked, stored in the database, parsed into the
// caches that the engine asks, the event-editing program handed to the script engine, and the
// experiment client's snapshots.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/tests/identity_test_support.h"
#include "analytics/data/tests/remote_config_test_support.h"
#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/ZIRServiceHosts.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using namespace analytics_test;
using platform::Dictionary;
using platform::Value;

constexpr const char* kAppID = "1:123:macos:abc";
constexpr const char* kDatabaseName = "rerora-app-measurement.sql";

class APMRemoteConfigMeasurementConfigTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    persisted_ = APMPersistedConfig::initWithSuiteName("remote-config-test");
    ASSERT_TRUE(persisted_);
    platform::ErrorPtr error;
    database_ = APMDatabase::initWithDatabaseName(kDatabaseName, persisted_, &error);
    ASSERT_TRUE(database_) << (error ? error->description() : "");
    APMIdentifiers::sharedInstance().setOrigin("app");
    skipped_ = monitor_->lines().size();
  }
  void TearDown() override {
    APMMeasurementSetSharedInstance(nullptr);
    APMIdentifiers::sharedInstance().setOrigin("app");
  }

  std::shared_ptr<APMRemoteConfig> make(std::shared_ptr<APMEManager> manager = nullptr) {
    auto config = APMRemoteConfig::initWithAppID(std::string(kAppID), database_, manager);
    EXPECT_TRUE(config);
    return config;
  }

  // The codes logged since the last call, without the scheduler's main-thread notice (the
  // test thread is the main thread).
  std::vector<std::int64_t> codes() {
    const auto lines = monitor_->lines();
    std::vector<std::int64_t> result;
    for (std::size_t i = skipped_; i < lines.size(); ++i) {
      if (lines[i].messageCode != 30001) result.push_back(lines[i].messageCode);
    }
    skipped_ = lines.size();
    return result;
  }
  RecordingMonitor::Line lastLine() { return monitor_->lines().back(); }

  bool execute(const std::string& sql) {
    sqlite3* db = nullptr;
    const std::string path = database_->sqliteStore()->databasePath();
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    const bool done = executedSQL(db, sql);
    sqlite3_close(db);
    return done;
  }

  ScopedMonitor monitor_;
  testing_support::ManualClockScope clock_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMDatabase> database_;
  std::size_t skipped_ = 0;
};

using Codes = std::vector<std::int64_t>;

TEST_F(APMRemoteConfigMeasurementConfigTest, CreationNeedsAnAppIDAndADatabase) {
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(std::nullopt, database_, nullptr));
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(std::string(), database_, nullptr));
  EXPECT_EQ(codes(), (Codes{29000, 29000}));
  EXPECT_EQ(lastLine().level, 1);
  EXPECT_EQ(lastLine().message, "Cannot init remote configuration without valid Rerora App ID");
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(std::string(kAppID), nullptr, nullptr));
  EXPECT_EQ(codes(), Codes{29001});
  EXPECT_EQ(lastLine().message, "Cannot init remote configuration without valid database");

  // Nothing stored yet: said at level 7, and the instance starts without a configuration.
  const auto config = make();
  EXPECT_FALSE(config->isDefaultInstance());
  EXPECT_EQ(codes(), Codes{29017});
  EXPECT_EQ(lastLine().level, 7);
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->uploadSubdomain(), std::nullopt);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, TheDefaultInstanceRefusesEveryConfigurationQuestion) {
  const auto instance = APMRemoteConfig::defaultInstance();
  ASSERT_TRUE(instance);
  EXPECT_EQ(APMRemoteConfig::defaultInstance(), instance);
  EXPECT_TRUE(instance->isDefaultInstance());

  EXPECT_FALSE(instance->updateMeasurementConfig(makeMeasurementConfig(std::nullopt)));
  EXPECT_EQ(instance->measurementConfigFromDatabase(), nullptr);
  EXPECT_EQ(instance->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_FALSE(instance->isExpired());
  EXPECT_EQ(codes(), (Codes{29002, 29015, 29008, 29007}));
  const auto lines = monitor_->lines();
  const auto texts = [&](std::int64_t code) {
    for (const auto& line : lines)
      if (line.messageCode == code) return line.message.value_or("");
    return std::string();
  };
  EXPECT_EQ(texts(29002), "Cannot update the default measurement configuration");
  EXPECT_EQ(texts(29015),
            "Cannot retrieve a measurement configuration from the database for the default "
            "instance");
  EXPECT_EQ(texts(29008),
            "Cannot fetch the last configuration update timestamp from the default instance");
  EXPECT_EQ(texts(29007), "Cannot fetch the last update timestamp from the default configuration");
  EXPECT_EQ(instance->version(), -1);
  EXPECT_EQ(instance->eventConfigWithName("purchase"), nullptr);
  EXPECT_EQ(instance->uploadingInterval(), 3600);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, UpdateTakesOnlyAConfigurationOfThisApp) {
  struct Case {
    const char* what;
    std::optional<std::string> origin;
    std::optional<std::string> appID;
    std::optional<std::string> riRurAppID;
    bool accepted;
    std::int64_t code;
  } cases[] = {
      {"another app", "app", "1:999:macos:other", std::nullopt, false, 29004},
      {"no app ID", "app", std::nullopt, kAppID, false, 29004},
      {"this app", "app", kAppID, std::nullopt, true, 0},
      {"am: no RiRur app ID", "am", kAppID, std::nullopt, false, 29022},
      {"am: another RiRur app ID", "am", kAppID, "other", false, 29022},
      {"am: RiRur matches, app ID does not", "am", "1:999:macos:other", kAppID, false, 29004},
      {"am: both match", "am", kAppID, kAppID, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto config = make();
    codes();
    APMIdentifiers::sharedInstance().setOrigin(c.origin);
    auto delivered = makeMeasurementConfig(c.appID, 42);
    if (c.riRurAppID) {
      nano_set_string_field(delivered.get(), APMPBMeasurementConfigFields::kRiRurAppID,
                            *c.riRurAppID);
    }
    setSettings(delivered.get(), {{"measurement.upload.interval", "60000"}});
    EXPECT_EQ(config->updateMeasurementConfig(delivered), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(config->version(), 42);
      EXPECT_EQ(config->uploadingInterval(), 60);
    } else {
      EXPECT_EQ(codes().front(), c.code);
      EXPECT_EQ(lastLine().level, 2);
      EXPECT_EQ(config->version(), -1);
      EXPECT_EQ(config->uploadingInterval(), 3600);
    }
    // Start the next case from an empty database.
    platform::ErrorPtr error;
    ASSERT_TRUE(database_->reset(&error));
  }

  const auto config = make();
  codes();
  EXPECT_FALSE(config->updateMeasurementConfig(nullptr));
  EXPECT_EQ(codes(), Codes{29003});
  EXPECT_EQ(lastLine().level, 5);
  EXPECT_EQ(lastLine().message, "Cannot set empty measurement config to database");
}

TEST_F(APMRemoteConfigMeasurementConfigTest, AnAcceptedConfigurationIsStoredAndTakenUpNextTime) {
  // Refused work on the main thread is only logged: the update still goes on.
  auto delivered = makeMeasurementConfig(kAppID, 7);
  setSettings(delivered.get(), {{"measurement.upload.retry_count", "9"}});
  setEventConfigs(delivered.get(), {{"purchase", true, std::nullopt, std::nullopt}});
  EXPECT_TRUE(make()->updateMeasurementConfig(delivered));
  const auto lines = monitor_->lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const RecordingMonitor::Line& line) {
    return line.messageCode == 30001 &&
           line.message == "Method updateMeasurementConfig: should execute on background thread";
  }));

  const auto next = make();
  EXPECT_EQ(next->version(), 7);
  EXPECT_EQ(next->uploadingRetryCount(), 9);
  EXPECT_TRUE(next->isEventBlocklisted("purchase"));
  const auto stored = next->measurementConfigFromDatabase();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->protoBuffer(), delivered->protoBuffer());

  // A stored configuration that no longer decodes is an error, and the instance starts empty.
  ASSERT_TRUE(execute("UPDATE app_metadata SET remote_config_data = x'ffffffff'"));
  codes();
  const auto damaged = make();
  EXPECT_EQ(damaged->version(), -1);
  EXPECT_EQ(damaged->uploadingRetryCount(), 6);
  EXPECT_EQ(codes(), Codes{29016});
  EXPECT_EQ(lastLine().message, "Cannot retrieve configuration data from database. Error");
  ASSERT_EQ(lastLine().contexts.size(), 1u);
  EXPECT_TRUE(lastLine().contexts[0].isString());
}

TEST_F(APMRemoteConfigMeasurementConfigTest,
       CreationWithAConfigurationStoresItInsteadOfTheStoredOne) {
  auto stored = makeMeasurementConfig(kAppID, 1);
  setSettings(stored.get(), {{"measurement.upload.retry_count", "9"}});
  ASSERT_TRUE(make()->updateMeasurementConfig(stored));

  auto given = makeMeasurementConfig(kAppID, 2);
  setSettings(given.get(), {{"measurement.upload.retry_count", "3"}});
  codes();
  const auto config =
      APMRemoteConfig::initWithAppID(std::string(kAppID), database_, given, nullptr);
  ASSERT_TRUE(config);
  EXPECT_EQ(codes(), Codes{29014});  // parsed, and the database was not asked
  EXPECT_EQ(config->version(), 2);
  EXPECT_EQ(config->uploadingRetryCount(), 3);
  EXPECT_EQ(make()->version(), 2);  // stored for the next start

  // A given configuration of another app is refused like any update: the instance starts
  // without one rather than with the stored one.
  auto other = makeMeasurementConfig("1:999:macos:other", 3);
  setSettings(other.get(), {});
  codes();
  const auto refused =
      APMRemoteConfig::initWithAppID(std::string(kAppID), database_, other, nullptr);
  ASSERT_TRUE(refused);
  EXPECT_EQ(codes(), Codes{29004});
  EXPECT_EQ(refused->version(), -1);
  EXPECT_EQ(refused->uploadingRetryCount(), 6);
  EXPECT_EQ(make()->version(), 2);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, AnInstanceOutlivingItsDatabaseStillTakesUpdates) {
  // The database is held weakly: once it is gone a store fails without an error, which
  // still takes the configuration up for this run.
  const auto config = make();
  database_.reset();
  codes();
  auto delivered = makeMeasurementConfig(kAppID, 4);
  setSettings(delivered.get(), {{"measurement.upload.retry_count", "9"}});
  EXPECT_TRUE(config->updateMeasurementConfig(delivered));
  EXPECT_EQ(config->version(), 4);
  EXPECT_EQ(config->uploadingRetryCount(), 9);
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_TRUE(config->isExpired());
  EXPECT_EQ(config->measurementConfigFromDatabase(), nullptr);
  EXPECT_EQ(codes(), (Codes{29014, 29017}));
}

TEST_F(APMRemoteConfigMeasurementConfigTest, AFailedStoreKeepsThePreviousConfiguration) {
  const auto config = make();
  auto first = makeMeasurementConfig(kAppID, 1);
  setSettings(first.get(), {{"measurement.upload.retry_count", "9"}});
  ASSERT_TRUE(config->updateMeasurementConfig(first));
  ASSERT_TRUE(execute("DROP TABLE app_metadata"));
  codes();

  auto second = makeMeasurementConfig(kAppID, 2);
  setSettings(second.get(), {{"measurement.upload.retry_count", "3"}});
  EXPECT_FALSE(config->updateMeasurementConfig(second));
  EXPECT_EQ(codes().front(), 29005);
  EXPECT_EQ(lastLine().level, 1);
  EXPECT_EQ(lastLine().message, "Cannot store config into the database");
  EXPECT_EQ(config->version(), 1);
  EXPECT_EQ(config->uploadingRetryCount(), 9);

  // The stored time cannot be read either: logged, and read as never stored.
  codes();
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_EQ(codes(), Codes{29009});
  EXPECT_EQ(lastLine().level, 4);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ExpiryFollowsTheStoredTimeAndTheCacheTime) {
  const auto config = make();
  EXPECT_TRUE(config->isExpired());  // never stored

  auto delivered = makeMeasurementConfig(kAppID, 1);
  setSettings(delivered.get(), {{"measurement.config.cache_time", "600000"}});
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));
  const double storedAt = platform::Date::now().timeIntervalSince1970();
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), storedAt);

  const struct {
    double offset;
    bool expired;
  } cases[] = {{0, false}, {599, false}, {600, true}, {-599, false}, {-600, true}};
  for (const auto& c : cases) {
    clock_.clock().setNow(platform::Date::fromTimeIntervalSince1970(storedAt + c.offset));
    EXPECT_EQ(config->isExpired(), c.expired) << c.offset;
  }
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ParsingFillsEveryCacheFromTheConfiguration) {
  const auto config = make();
  codes();
  EXPECT_TRUE(config->isDMARegion());
  auto delivered = makeMeasurementConfig(kAppID, 12);
  setSettings(delivered.get(), {{"measurement.upload.retry_count", "3"},
                                {"measurement.upload.retry_count", "4"},
                                {std::string(), "5"},
                                {"measurement.upload.max_bundles", std::nullopt},
                                {"measurement.psm_prefix_email", "8"},
                                {"measurement.psm_prefix_phone", "8"}});
  setEventConfigs(delivered.get(), {{"first_open", std::nullopt, true, 10},
                                    {"my_event", false, false, std::nullopt},
                                    {"", true, std::nullopt, std::nullopt},
                                    {"my_event", true, std::nullopt, 20}});
  nano_set_string_field(delivered.get(), APMPBMeasurementConfigFields::kUploadSubdomain, "eu");
  setDataControls(delivered.get(), {"user_id", std::nullopt, "device_model"});
  setConsent(delivered.get(), {{{1, 2}, {2, 1}, {5, 1}, {3, 9}, {1, 1}},
                               {{3, 1}, {4, 7}},
                               {"svc_a", std::nullopt, "svc_b"},
                               std::nullopt,
                               {{4, 2}}});
  setPsm(delivered.get(), 12, std::nullopt, 30);
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));

  // Two logs for the empty name and the missing value, one for the unnamed event, then the
  // version.
  EXPECT_EQ(codes(), (Codes{29019, 29019, 29013, 29014}));
  EXPECT_EQ(lastLine().contexts, platform::Array{Value(12)});

  EXPECT_EQ(config->uploadingRetryCount(), 4);
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 100);
  // The present PSM values replace the settings; the absent one leaves its setting.
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 12);
  EXPECT_EQ(config->hashPrefixBitLengthPhone(), 8);
  EXPECT_EQ(config->maxSignInDelayInDays(), 30);

  const std::string firstOpen = *APMEventNameMap().find("first_open")->asString();
  EXPECT_NE(firstOpen, "first_open");
  EXPECT_EQ(config->eventConfigWithName("first_open"), nullptr);
  EXPECT_TRUE(config->eventConfigWithName(firstOpen));
  EXPECT_TRUE(config->isEventCustomConversion(firstOpen));
  EXPECT_EQ(config->samplingRateForEvent(firstOpen), 10);
  EXPECT_EQ(config->samplingRateForEvent("my_event"), 20);  // the later one

  EXPECT_EQ(config->uploadSubdomain(), "eu");
  EXPECT_EQ(config->dataControls(), (std::vector<std::string>{"user_id", "device_model"}));
  EXPECT_EQ(config->consentDefaults(), (Dictionary{{"ad_storage", Value("granted")},
                                                   {"analytics_storage", Value("granted")}}));
  EXPECT_EQ(config->consentDelegations(), (Dictionary{{"ad_user_data", Value("ad_storage")}}));
  EXPECT_EQ(config->corePlatformServices(), (std::set<std::string>{"svc_a", "svc_b"}));
  EXPECT_FALSE(config->isDMARegion());  // absent reads as false
  EXPECT_EQ(config->regionalDefaults(), (Dictionary{{"ad_personalization", Value("denied")}}));

  // A later configuration without consent configuration leaves those values; one with an
  // empty settings list empties the settings.
  auto later = makeMeasurementConfig(kAppID, std::nullopt);
  setSettings(later.get(), {});
  ASSERT_TRUE(config->updateMeasurementConfig(later));
  EXPECT_EQ(codes(), Codes{});
  EXPECT_EQ(config->uploadingRetryCount(), 6);
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 14);
  EXPECT_EQ(config->eventConfigWithName(firstOpen), nullptr);
  EXPECT_TRUE(config->dataControls().empty());
  EXPECT_EQ(config->consentDelegations().size(), 1u);
  EXPECT_FALSE(config->isDMARegion());
  EXPECT_EQ(config->version(), -1);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ADirectParseOfNothingOrAnotherAppChangesNothing) {
  const auto config = make();
  auto delivered = makeMeasurementConfig(kAppID, 3);
  setSettings(delivered.get(), {{"measurement.upload.retry_count", "9"}});
  setEventConfigs(delivered.get(), {{"my_event", true, std::nullopt, std::nullopt}});
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));
  codes();

  config->parseRemoteConfigFromMeasurementConfig(nullptr);
  EXPECT_EQ(codes(), Codes{29012});
  EXPECT_EQ(lastLine().message, "Cannot parse empty measurement config. Using default values");

  auto other = makeMeasurementConfig("1:999:macos:other", 4);
  setSettings(other.get(), {{"measurement.upload.retry_count", "2"}});
  config->parseRemoteConfigFromMeasurementConfig(other);
  EXPECT_EQ(codes(), Codes{});

  EXPECT_EQ(config->uploadingRetryCount(), 9);
  EXPECT_TRUE(config->eventConfigWithName("my_event"));
}

TEST_F(APMRemoteConfigMeasurementConfigTest, EachEventAnswersFromItsConfigurationOrTheSwitches) {
  const auto config = make();
  auto delivered = makeMeasurementConfig(kAppID);
  setSettings(delivered.get(), {});
  setEventConfigs(delivered.get(), {{"rate_0", std::nullopt, std::nullopt, 0},
                                    {"rate_1", std::nullopt, std::nullopt, 1},
                                    {"rate_2", std::nullopt, std::nullopt, 2},
                                    {"rate_max", std::nullopt, std::nullopt, 65535},
                                    {"rate_over", std::nullopt, std::nullopt, 65536},
                                    {"rate_negative", std::nullopt, std::nullopt, -5},
                                    {"listed", true, true, std::nullopt},
                                    {"not_listed", false, false, std::nullopt},
                                    {"_internal", false, std::nullopt, std::nullopt}});
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));

  const struct {
    const char* name;
    bool hasRate;
    std::int32_t rate;
    bool customConversion;
  } rates[] = {{"rate_0", true, 1, false},    {"rate_1", true, 1, false},
               {"rate_2", true, 2, false},    {"rate_max", true, 65535, false},
               {"rate_over", true, 1, false}, {"rate_negative", true, 1, false},
               {"listed", false, 1, true},    {"not_listed", false, 1, false},
               {"unknown", false, 1, false}};
  for (const auto& c : rates) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(config->eventHasSamplingRate(c.name), c.hasRate);
    EXPECT_EQ(config->samplingRateForEvent(c.name), c.rate);
    EXPECT_EQ(config->isEventCustomConversion(c.name), c.customConversion);
  }

  // A configured "true" blocks; otherwise the switch of the name's class decides, even over a
  // configured "false".
  const struct {
    const char* publicSwitch;
    const char* internalSwitch;
    const char* name;
    bool blocked;
  } blocklists[] = {
      {"0", "0", "listed", true},     {"0", "0", "not_listed", false},
      {"1", "0", "not_listed", true}, {"1", "0", "_internal", false},
      {"0", "1", "_internal", true},  {"0", "1", "unknown", false},
      {"1", "0", "unknown", true},
  };
  for (const auto& c : blocklists) {
    SCOPED_TRACE(std::string(c.name) + " public " + c.publicSwitch + " internal " +
                 c.internalSwitch);
    config->cachedValueByRemoteConfigKeys().setObject(Value(c.publicSwitch),
                                                      "measurement.upload.blacklist_public");
    config->cachedValueByRemoteConfigKeys().setObject(Value(c.internalSwitch),
                                                      "measurement.upload.blacklist_internal");
    EXPECT_EQ(config->isEventBlocklisted(c.name), c.blocked);
  }

  codes();
  EXPECT_EQ(config->eventConfigWithName(""), nullptr);
  EXPECT_EQ(codes(), Codes{29006});
  EXPECT_EQ(lastLine().level, 5);
  EXPECT_EQ(lastLine().message, "Cannot find event config with empty event name");
}

TEST_F(APMRemoteConfigMeasurementConfigTest, TheFirstProgramIsLoadedWithTheThreeModules) {
  ScopedScriptEngine engine;
  home_.useBundle({{"CFBundleShortVersionString", Value("2.5")}});
  const auto config = make();
  codes();
  auto delivered = makeMeasurementConfig(kAppID);
  setSettings(delivered.get(),
              {{"measurement.upload.interval", "60000"}, {"custom.text", "hello"}});
  setPrograms(delivered.get(), 2);
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));
  EXPECT_EQ(codes(), (Codes{29014, 29027}));
  EXPECT_EQ(lastLine().contexts, platform::Array{Value(2)});

  ASSERT_EQ(engine->made.size(), 1u);
  const auto& editing = engine->made[0];
  EXPECT_EQ(config->eventEditing(), editing);
  ASSERT_EQ(editing->loaded.size(), 1u);
  ASSERT_EQ(editing->creators.size(), 3u);

  // The settings as text: a delivered string as it is, a resolved number in decimal.
  const auto store =
      std::dynamic_pointer_cast<FakeKeyValueStore>(editing->creators.at("internal.remoteConfig")());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->functionName, "internal.remoteConfig");
  EXPECT_EQ(store->getValue("custom.text"), "hello");
  EXPECT_EQ(store->getValue("measurement.upload.interval"), "60000");
  EXPECT_EQ(config->uploadingInterval(), 60);
  EXPECT_EQ(store->getValue("measurement.upload.interval"), "60");
  EXPECT_EQ(store->getValue("measurement.absent"), std::nullopt);

  const auto provider =
      std::dynamic_pointer_cast<FakeObjectProvider>(editing->creators.at("internal.appMetadata")());
  ASSERT_TRUE(provider);
  EXPECT_EQ(provider->name, "internal.appMetadata");
  const Dictionary expected{
      {"platform", Value("macos")},
      {"package_name", Value("com.example.vilmo")},
      {"viz_version", Value(APMIdentity::dedArorarivuvaLibraryVersion())},
  };
  EXPECT_EQ(provider->block(), expected);  // no engine: no app version
  APMIdentity::Dependencies dependencies;
  dependencies.identitySupport = std::make_shared<FakeIdentitySupport>();
  dependencies.isAnalyticsStorageDenied = [] { return false; };
  dependencies.isAdStorageDenied = [] { return false; };
  APMMeasurementSetSharedInstance(
      std::make_shared<StubEngine>(APMIdentity::initWithPersistedConfig(persisted_, dependencies)));
  Dictionary withVersion = expected;
  withVersion.set("app_version", Value("2.5"));
  EXPECT_EQ(provider->block(), withVersion);

  const auto logger =
      std::dynamic_pointer_cast<FakeMessageLogger>(editing->creators.at("internal.logger")());
  ASSERT_TRUE(logger);
  EXPECT_TRUE(std::dynamic_pointer_cast<FakePixieLogger>(logger->logger));

  // A configuration without programs keeps the loaded one.
  auto later = makeMeasurementConfig(kAppID);
  setSettings(later.get(), {});
  ASSERT_TRUE(config->updateMeasurementConfig(later));
  EXPECT_EQ(config->eventEditing(), editing);
  EXPECT_EQ(engine->made.size(), 1u);

  // After a reset the module still reads the table it was bound to.
  config->cachedValueByRemoteConfigKeys().setObject(Value("kept"), "custom.text");
  config->reset();
  EXPECT_EQ(store->getValue("custom.text"), "kept");
  EXPECT_EQ(config->cachedValueByRemoteConfigKeys().objectForKey("custom.text"), std::nullopt);
  EXPECT_EQ(config->eventEditing(), editing);
}

TEST_F(APMRemoteConfigMeasurementConfigTest, AProgramThatCannotLoadLeavesTheRestOfTheOldValues) {
  const auto config = make();
  auto first = makeMeasurementConfig(kAppID, 1);
  setSettings(first.get(), {{"measurement.upload.retry_count", "9"}});
  setDataControls(first.get(), {"user_id"});
  setConsent(first.get(), {{{1, 2}}, {}, {"svc"}, false, {}});
  setPsm(first.get(), 12, std::nullopt, std::nullopt);
  ASSERT_TRUE(config->updateMeasurementConfig(first));

  const auto deliverSecond = [&] {
    auto second = makeMeasurementConfig(kAppID, 2);
    setSettings(second.get(), {{"measurement.upload.retry_count", "3"}});
    setEventConfigs(second.get(), {{"my_event", true, std::nullopt, std::nullopt}});
    setPrograms(second.get(), 1);
    setDataControls(second.get(), {"device_model"});
    setConsent(second.get(), {{{1, 1}}, {}, {}, true, {}});
    setPsm(second.get(), 15, std::nullopt, std::nullopt);
    codes();
    ASSERT_TRUE(config->updateMeasurementConfig(second));
    EXPECT_EQ(codes(), (Codes{29014, 29026}));
    EXPECT_EQ(lastLine().level, 1);
    EXPECT_EQ(lastLine().message, "Failed to initiate event editing instance");
    EXPECT_EQ(config->eventEditing(), nullptr);
    // Settings and event configurations are already the new ones ...
    EXPECT_EQ(config->version(), 2);
    EXPECT_EQ(config->uploadingRetryCount(), 3);
    EXPECT_TRUE(config->eventConfigWithName("my_event"));
    // ... data controls, consent and PSM values the old ones.
    EXPECT_EQ(config->dataControls(), std::vector<std::string>{"user_id"});
    EXPECT_EQ(config->consentDefaults(), (Dictionary{{"ad_storage", Value("denied")}}));
    EXPECT_EQ(config->corePlatformServices(), std::set<std::string>{"svc"});
    EXPECT_FALSE(config->isDMARegion());
    EXPECT_EQ(config->hashPrefixBitLengthEmail(), 14);
  };
  {
    SCOPED_TRACE("no script engine");
    deliverSecond();
  }
  {
    SCOPED_TRACE("a load that fails");
    ScopedScriptEngine engine;
    engine->failLoads = true;
    deliverSecond();
    ASSERT_EQ(engine->made.size(), 1u);
    EXPECT_EQ(engine->made[0]->loaded.size(), 1u);
  }
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ResetEmptiesEveryCacheAndTheExperiments) {
  const auto manager = std::make_shared<FakeExperimentManager>();
  const auto config = make(manager);
  auto delivered = makeMeasurementConfig(kAppID, 5);
  setSettings(delivered.get(), {{"measurement.upload.retry_count", "9"}});
  setEventConfigs(delivered.get(), {{"my_event", true, std::nullopt, std::nullopt}});
  setDataControls(delivered.get(), {"user_id"});
  setConsent(delivered.get(), {{{1, 2}}, {{3, 1}}, {"svc"}, false, {{2, 2}}});
  ASSERT_TRUE(config->updateMeasurementConfig(delivered));
  manager->client()->setActiveFlags({{"dcu_event_feature_enabled", Value(false)}});
  config->updateCachedExperimentFlags();
  ASSERT_FALSE(config->dcuEventFeatureEnabled());

  config->reset();
  EXPECT_EQ(manager->resets(), 1);
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->uploadSubdomain(), std::nullopt);
  EXPECT_EQ(config->uploadingRetryCount(), 6);
  EXPECT_EQ(config->eventConfigWithName("my_event"), nullptr);
  EXPECT_TRUE(config->dataControls().empty());
  EXPECT_EQ(config->consentDefaults().size(), 0u);
  EXPECT_EQ(config->consentDelegations().size(), 0u);
  EXPECT_EQ(config->regionalDefaults().size(), 0u);
  EXPECT_TRUE(config->corePlatformServices().empty());
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->cachedExperimentFlags().count(), 0u);
  EXPECT_TRUE(config->dcuEventFeatureEnabled());
  // The database row is not this reset's to touch.
  EXPECT_TRUE(config->measurementConfigFromDatabase());
}

TEST_F(APMRemoteConfigMeasurementConfigTest,
       QueriesFromAnotherThreadSeeWholeEntriesWhileItChanges) {
  // The engine parses and resets on its worker queue while the front asks from its own: every
  // answer is whole, and no table is used after a reset has replaced it.
  const auto config = make();
  const auto deliver = [](const char* retryCount, std::uint32_t status, bool blocklisted) {
    auto delivered = makeMeasurementConfig(kAppID);
    setSettings(delivered.get(), {{"measurement.upload.retry_count", retryCount}});
    setEventConfigs(delivered.get(), {{"my_event", blocklisted, std::nullopt, 7}});
    setDataControls(delivered.get(), {"user_id", "device_model"});
    setConsent(delivered.get(), {{{1, status}, {2, status}}, {{3, 1}}, {"svc"}, false, {}});
    return delivered;
  };
  const std::shared_ptr<APMPBMeasurementConfig> delivered[] = {deliver("3", 1, true),
                                                               deliver("9", 2, false)};
  constexpr int kRounds = 200;
  std::vector<std::string> torn;
  std::thread reader([&] {
    for (int round = 0; round < kRounds; ++round) {
      const std::int32_t retries = config->uploadingRetryCount();
      if (retries != 3 && retries != 9 && retries != 6) torn.push_back("retry count");
      for (const auto& [type, status] : config->consentDefaults()) {
        if (status != Value("granted") && status != Value("denied")) torn.push_back(type);
      }
      const auto controls = config->dataControls();
      if (!controls.empty() && controls.size() != 2) torn.push_back("data controls");
      const std::int32_t rate = config->samplingRateForEvent("my_event");
      if (rate != 7 && rate != 1) torn.push_back("sampling rate");
      config->isEventBlocklisted("my_event");
      config->corePlatformServices();
      config->consentDelegations();
      config->isDMARegion();
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    config->parseRemoteConfigFromMeasurementConfig(delivered[round % 2]);
    if (round % 2 == 0) config->reset();
  }
  reader.join();
  EXPECT_TRUE(torn.empty()) << torn.front();
}

TEST_F(APMRemoteConfigMeasurementConfigTest, TheServiceAddressesAreBuiltOnTheConfiguredHost) {
  home_.useBundle({{ZIRServiceHosts::kAnalyticsServiceHostKey, Value("analytics.example.test")}});
  const auto config = make();
  EXPECT_EQ(config->remoteConfigURLWithPlatform("macos", 11, 140000),
            "https://analytics.example.test/config/app/1:123:macos:abc"
            "?platform=macos&runtime_version=140000&viz_version=11");
  EXPECT_EQ(config->remoteConfigURLWithPlatform("", -1, 0),
            "https://analytics.example.test/config/app/1:123:macos:abc"
            "?platform=&runtime_version=0&viz_version=-1");
  EXPECT_EQ(config->remoteConfigURLWithPlatform("mac os&x", 1, 2),
            "https://analytics.example.test/config/app/1:123:macos:abc"
            "?platform=mac%20os&x&runtime_version=2&viz_version=1");
  codes();
  EXPECT_EQ(config->remoteConfigURLWithPlatform(std::nullopt, 1, 2), std::nullopt);
  EXPECT_EQ(codes(), Codes{29010});
  EXPECT_EQ(lastLine().message, "Cannot create a URL to fetch a configuration with empty platform");

  // Without a platform identity component the consent status is never 3: the usual host.
  EXPECT_EQ(config->uploadURL(), "https://analytics.example.test/a");
  // A subdomain that is not made of host-name labels cannot move the uploads elsewhere.
  const struct {
    const char* subdomain;
    const char* expected;
  } uploads[] = {
      {"", "https://analytics.example.test/a"},
      {"eu", "https://eu.analytics.example.test/a"},
      {"a-1.eu", "https://a-1.eu.analytics.example.test/a"},
      {"evil.test/x?", "https://analytics.example.test/a"},
      {"user@evil.test", "https://analytics.example.test/a"},
      {"evil.test:8080", "https://analytics.example.test/a"},
      {".eu", "https://analytics.example.test/a"},
      {"eu.", "https://analytics.example.test/a"},
      {"e..u", "https://analytics.example.test/a"},
  };
  for (const auto& c : uploads) {
    auto delivered = makeMeasurementConfig(kAppID);
    setSettings(delivered.get(), {});
    nano_set_string_field(delivered.get(), APMPBMeasurementConfigFields::kUploadSubdomain,
                          c.subdomain);
    ASSERT_TRUE(config->updateMeasurementConfig(delivered));
    EXPECT_EQ(config->uploadURL(), c.expected) << c.subdomain;
  }
}

TEST_F(APMRemoteConfigMeasurementConfigTest, RegistersWithTheExperimentsAndActivatesAtCreation) {
  const auto manager = std::make_shared<FakeExperimentManager>();
  manager->client()->setPendingFlags({{"regional_defaults_enabled", Value(false)}});
  manager->setExperimentIDs({Value(101), Value(102)});
  const auto config = make(manager);

  const auto property = manager->property();
  ASSERT_TRUE(property);
  EXPECT_EQ(property->name(), "app_measurement");
  EXPECT_EQ(property->version(), APMIdentity::dedArorarivuvaLibraryVersion());
  EXPECT_EQ(property->delegate(), config);
  EXPECT_EQ(manager->defaultFlags().size(), 0u);
  EXPECT_EQ(manager->client()->delegate(), config);
  EXPECT_EQ(config->experimentClient(), manager->client());
  EXPECT_EQ(manager->client()->activations(), 1);
  EXPECT_FALSE(config->regionalDefaultsEnabled());
  EXPECT_EQ(config->experimentIDs(), (platform::Array{Value(101), Value(102)}));

  // A stale snapshot that cannot be activated is logged and otherwise ignored.
  const auto failing = std::make_shared<FakeExperimentManager>();
  failing->client()->failActivations(platform::makeError("experiments", 4));
  codes();
  const auto second = make(failing);
  ASSERT_TRUE(second);
  EXPECT_EQ(codes(), (Codes{29023, 29017}));
  const auto lines = monitor_->lines();
  const auto stale = std::find_if(lines.begin(), lines.end(),
                                  [](const auto& line) { return line.messageCode == 29023; });
  EXPECT_EQ(stale->level, 2);
  EXPECT_EQ(stale->message, "Cannot activate stale snapshot. Error");
  ASSERT_EQ(stale->contexts.size(), 1u);
  EXPECT_TRUE(stale->contexts[0].isString());

  // One that fails without saying why has nothing to log.
  const auto silent = std::make_shared<FakeExperimentManager>();
  silent->client()->failActivations(nullptr);
  codes();
  ASSERT_TRUE(make(silent));
  EXPECT_EQ(silent->client()->activations(), 1);
  EXPECT_EQ(codes(), Codes{29017});
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ANewSnapshotIsActivatedOnceAndRetriedAfterAFailure) {
  const auto manager = std::make_shared<FakeExperimentManager>();
  const auto client = manager->client();
  const auto config = make(manager);
  const int atCreation = client->activations();

  EXPECT_FALSE(config->activateNewSnapshot());  // none arrived: the client is not asked
  EXPECT_EQ(client->activations(), atCreation);

  client->setPendingFlags({{"dcu_event_feature_enabled", Value(false)}});
  client->failActivations(platform::makeError("experiments", 7));
  config->clientDidReceiveNewSnapshot(client);
  codes();
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(codes(), Codes{29024});
  EXPECT_EQ(lastLine().message, "Cannot activate snapshot. Error");
  EXPECT_TRUE(config->dcuEventFeatureEnabled());

  client->succeedActivations();
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->dcuEventFeatureEnabled());
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(client->activations(), atCreation + 2);

  config->client(client, platform::makeError("experiments", 8));
  config->client(client, nullptr);
  EXPECT_EQ(codes(), Codes{29025});
  EXPECT_EQ(lastLine().level, 2);
  EXPECT_EQ(lastLine().message, "Cannot fetch experiment. Error");
}

TEST_F(APMRemoteConfigMeasurementConfigTest, ExperimentsAreFetchedOnlyWhileMeasurementIsEnabled) {
  const auto manager = std::make_shared<FakeExperimentManager>();
  const auto config = make(manager);
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(manager->client()));
  APMMeasurementSetSharedInstance(std::make_shared<StubEngine>(nullptr, false));
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(manager->client()));
  APMMeasurementSetSharedInstance(std::make_shared<StubEngine>(nullptr, true));
  EXPECT_TRUE(config->shouldFetchExperimentsForClient(manager->client()));
}

}  // namespace
