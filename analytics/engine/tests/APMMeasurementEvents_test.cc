// The road of one event through the measurement core: what is stored as a raw event and under
// which metadata, the daily limits, first-open counting, the dedupes, the safelist, sessions
// of background events, real-time marking, event editing and the checks of bundling.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/APMConditionalUserPropertyController.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMPEvent.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/data/tests/remote_config_test_support.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/date.h"
#include "tests/support/main_queue.h"
#include "analytics/engine/tests/error_events.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr double kStart = 1'700'000'000;
constexpr const char* kAppID = "1:1234567890:ios:0a1b2c3d4e5f";
constexpr const char* kDatabaseName = "pipeline-test.sql";
constexpr std::int32_t kMetadataAppIDIndex = 14;
constexpr std::int32_t kMetadataPlatformIndex = 8;
constexpr std::int32_t kMetadataProtocolVersionIndex = 0;
constexpr std::int32_t kMetadataUserAttributesIndex = 2;
constexpr std::int32_t kMetadataConsentSignalsIndex = 40;

using analytics_test::ErrorEvents;

// One stored raw event as the tests look at it.
struct Stored {
  std::string name;
  std::int64_t fingerprint = 0;
  bool realtime = false;
  std::shared_ptr<APMEvent> event;

  std::optional<Value> parameter(const std::string& parameterName) const {
    const Value* value = event ? event->parameters().find(parameterName) : nullptr;
    if (value == nullptr) return std::nullopt;
    if (const auto typed = APMValueOf(*value)) return typed->value();
    return *value;
  }
};

std::vector<std::string> namesOf(const std::vector<Stored>& stored) {
  std::vector<std::string> names;
  for (const Stored& s : stored) names.push_back(s.name);
  return names;
}

class APMMeasurementEventsTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    home_.useBundle({{"CFBundleShortVersionString", Value("3.1.4")}});
    persisted_ = APMPersistedConfig::initWithSuiteName("pipeline-test");
    ASSERT_TRUE(persisted_);
    makeCore(std::nullopt);
  }

  void TearDown() override {
    if (core_) drain();
    APMMeasurementSetSharedInstance(nullptr);
    APMMeasurementSetRemoteConfig(nullptr);
    APMSetInternalEventLogging(nullptr);
    APMPSetScriptEngine(nullptr);
    APMScreenViewReporter::sharedInstance()->setAppActiveForTesting(true);
  }

  // A started core over this case's database, with what its start stored (first open,
  // session, their properties and counts) cleared, so that each case sees only its own events.
  void makeCore(const std::optional<Array>& safelist) {
    if (core_) drain();
    auto scheduler = std::make_shared<APMScheduler>("pipeline.test.worker");
    auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer");
    core_ = APMMeasurement::initWithDatabaseName(kDatabaseName, persisted_, nullptr, scheduler,
                                                 alarm, kAppID, true, false, safelist, nullptr);
    ASSERT_TRUE(core_);
    drain();
    database_ = core_->database();
    identity_ = core_->identity();
    config_ = core_->remoteConfigInstance();
    reporter_ = core_->sessionReporter();
    ASSERT_TRUE(database_ && identity_ && config_ && reporter_);
    APMMeasurementSetRemoteConfig(config_);
    APMMeasurementSetSharedInstance(core_);
    onWorker([&] {
      for (const char* table : {"raw_events", "raw_events_metadata", "events", "user_attributes"})
        ASSERT_TRUE(database_->sqliteStore()->deleteAllRecordsFromTableWithName(table, nullptr));
      const auto zero = APMDailyCounts::initWithDay(today(), 0, 0, 0, 0, 0, 0);
      ASSERT_TRUE(database_->updateDailyCounts(zero.get(), nullptr));
    });
    core_->setPreviousFirstOpenCount(std::nullopt);
    persisted_->setUnmatchedFirstOpenWithoutIDFA(false);
    persisted_->setZiruzadaFeatureRollouts(std::nullopt);
    errorEvents_ = std::make_shared<ErrorEvents>();
    APMSetInternalEventLogging(errorEvents_);
    monitor_.reset();
    monitor_.emplace();
  }

  // Runs the block on the core's worker queue and waits for it and for what it queued there.
  void onWorker(const std::function<void()>& block) {
    core_->workerQueue()->sync(block);
    drain();
  }
  void drain() {
    core_->workerQueue()->sync([] {});
    core_->workerQueue()->sync([] {});
  }

  void setting(const std::string& key, const std::string& value) {
    config_->cachedValueByRemoteConfigKeys().setObject(Value(value), key);
  }

  std::shared_ptr<APMEvent> event(const std::string& name, Dictionary parameters = {},
                                  const std::string& origin = "app") {
    auto made = APMEvent::initWithOrigin(origin, !name.empty() && name[0] != '_', name, now(), 0,
                                         parameters);
    EXPECT_TRUE(made) << name;
    return made;
  }
  void handle(const std::shared_ptr<APMEvent>& e) {
    onWorker([&] { core_->handleEventOnWorkerQueue(e); });
  }
  void handle(const std::string& name, Dictionary parameters = {},
              const std::string& origin = "app") {
    handle(event(name, std::move(parameters), origin));
  }

  double now() const { return platform::Date::now().timeIntervalSince1970(); }

  std::vector<Stored> stored() {
    std::vector<Stored> result;
    onWorker([&] {
      ErrorPtr error;
      const auto records = database_->sqliteStore()->recordsForQuery(
          "SELECT rowid, * FROM raw_events ORDER BY rowid", {}, &error);
      ASSERT_TRUE(records) << (error ? error->description() : "");
      for (const Dictionary& record : *records) {
        Stored s;
        s.name = *record["name"].asString();
        s.fingerprint = record["metadata_fingerprint"].integerValue();
        s.realtime = record["is_realtime"].integerValue() == 1;
        const auto data = database_->rawEventDataFromDictionary(&record, &error);
        if (data) s.event = data->rawEvent();
        result.push_back(std::move(s));
      }
    });
    return result;
  }

  // Fingerprint to the stored metadata bytes.
  std::map<std::int64_t, platform::Data> storedMetadata() {
    std::map<std::int64_t, platform::Data> result;
    onWorker([&] {
      const auto records = database_->sqliteStore()->recordsForQuery(
          "SELECT metadata_fingerprint, metadata FROM raw_events_metadata", {}, nullptr);
      ASSERT_TRUE(records);
      for (const Dictionary& record : *records) {
        result[record["metadata_fingerprint"].integerValue()] = *record["metadata"].asData();
      }
    });
    return result;
  }

  std::shared_ptr<APMDailyCounts> counts() {
    std::shared_ptr<APMDailyCounts> result;
    onWorker([&] { result = database_->dailyCounts(nullptr); });
    return result;
  }
  void storeCounts(std::int32_t day, std::int32_t all, std::int32_t publicEvents,
                   std::int32_t errors, std::int32_t realtime = 0) {
    onWorker([&] {
      const auto counts =
          APMDailyCounts::initWithDay(day, 0, all, publicEvents, errors, realtime, 0);
      ASSERT_TRUE(database_->updateDailyCounts(counts.get(), nullptr));
    });
  }
  std::int32_t today() { return APMDayNumber(now(), persisted_->midnightOffset()); }

  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> result;
    for (const auto& line : (*monitor_)->lines()) result.push_back(line.messageCode);
    return result;
  }
  bool logged(std::int64_t code) const {
    for (const auto& line : (*monitor_)->lines()) {
      if (line.messageCode == code) return true;
    }
    return false;
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(kStart)};
  // The engine's monitor installs itself when first made (by the listeners' notification, for
  // one): made here, before the recording monitor takes its place.
  const std::shared_ptr<APMMonitor> engineMonitor_ = APMMeasurement::monitor();
  std::optional<ScopedMonitor> monitor_;
  std::shared_ptr<ErrorEvents> errorEvents_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<APMSessionReporter> reporter_;
  std::shared_ptr<APMRemoteConfig> config_;
  std::shared_ptr<APMMeasurement> core_;
};

TEST_F(APMMeasurementEventsTest, AnEventIsStoredUnderTheFingerprintOfItsEncodedMetadata) {
  handle("drop_files", {{"count", Value(3)}});
  handle("drop_files", {{"count", Value(4)}});

  auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"drop_files", "drop_files"}));
  EXPECT_EQ(events[0].parameter("count"), Value(3));
  EXPECT_EQ(events[0].parameter("_o"), Value("app"));
  EXPECT_FALSE(events[0].realtime);

  // The same metadata is stored once and both events point at it.
  auto metadata = storedMetadata();
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(events[0].fingerprint, events[1].fingerprint);
  const auto& [fingerprint, bytes] = *metadata.begin();
  EXPECT_EQ(fingerprint, events[0].fingerprint);
  EXPECT_EQ(fingerprint, apm_64LSBMD5(bytes));
  const auto bundle = APMPBMeasurementBundle::initWithBuffer(&bytes);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(nano_get_int32(bundle.get(), kMetadataProtocolVersionIndex), 1);
  EXPECT_EQ(nano_get_string(bundle.get(), kMetadataPlatformIndex), "macos");
  EXPECT_EQ(nano_get_string(bundle.get(), kMetadataAppIDIndex), identity_->appID());
  EXPECT_TRUE(nano_get_string(bundle.get(), kMetadataConsentSignalsIndex));

  // A user property changes the metadata: the next event gets metadata of its own, carrying
  // the property.
  onWorker([&] {
    ASSERT_TRUE(database_->updateUserAttribute(
        APMUserAttribute::initWithOrigin("app", "favourite", APMValue::initWithString(Value("x")),
                                         now()),
        nullptr));
  });
  handle("drop_files");
  events = stored();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_NE(events[2].fingerprint, events[0].fingerprint);
  metadata = storedMetadata();
  ASSERT_EQ(metadata.size(), 2u);
  const auto withProperty =
      APMPBMeasurementBundle::initWithBuffer(&metadata.at(events[2].fingerprint));
  ASSERT_TRUE(withProperty);
  EXPECT_EQ(apm_64LSBMD5(metadata.at(events[2].fingerprint)), events[2].fingerprint);
  const auto properties = nano_get_array(withProperty.get(), kMetadataUserAttributesIndex,
                                         &APMPBUserAttribute::messageClass());
  ASSERT_TRUE(properties);
  EXPECT_EQ(properties->size(), 1u);

  EXPECT_TRUE(logged(23072)) << testing::PrintToString(codes());
}

TEST_F(APMMeasurementEventsTest, EventsAConditionalPropertyTriggersAreStoredAfterTheirTrigger) {
  APMConditionalUserProperty property;
  property.origin = "frc";
  property.value = APMValue::initWithInt64(5);
  property.triggerEventName = "go";
  property.triggerTimeout = 60;
  property.timeToLive = 3600;
  property.triggeredEvent = APMEvent::initWithOrigin("frc", false, "_cup_on", kStart, 0, {});
  ASSERT_TRUE(property.triggeredEvent);
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(&property,
                                                                                     "level_cup");
  drain();
  handle("wait");
  handle("go");

  EXPECT_EQ(namesOf(stored()), (std::vector<std::string>{"wait", "go", "_cup_on"}));
  std::shared_ptr<const APMUserAttribute> attribute;
  onWorker([&] { attribute = database_->userAttributeWithName("level_cup", nullptr); });
  ASSERT_TRUE(attribute);
  EXPECT_EQ(attribute->value()->int64Value(), 5);
}

TEST_F(APMMeasurementEventsTest, ADisabledCoreStoresNothing) {
  onWorker([&] { core_->setEnabledOnWorkerQueue(false); });
  handle("drop_files");
  EXPECT_TRUE(stored().empty());
  EXPECT_TRUE(logged(23049));
}

Array threeItems() {
  return Array{Value(Dictionary{{"item_id", Value("a")}}),
               Value(Dictionary{{"item_id", Value("b")}}),
               Value(Dictionary{{"item_id", Value("c")}})};
}

TEST_F(APMMeasurementEventsTest, DailyLimitsDropAndCountEventsAsTheTableSays) {
  setting("measurement.upload.max_events_per_day", "5");
  setting("measurement.upload.max_public_events_per_day", "3");
  setting("measurement.upload.max_error_events_per_day", "2");
  struct Counts {
    std::int32_t all;
    std::int32_t publicEvents;
    std::int32_t errors;
  };
  struct Case {
    const char* what;
    const char* name;
    bool withItems;
    std::int32_t dayOffset;  // of the stored counts, from today
    Counts before;
    bool kept;
    Counts after;
    std::optional<std::int64_t> limitLine;
    std::vector<std::int64_t> errorEvents;
  };
  const Case cases[] = {
      {"at the all-events limit", "tap", false, 0, {5, 0, 0}, false, {6, 1, 0}, 23055, {}},
      {"one over the all-events limit", "tap", false, 0, {6, 0, 0}, false, {7, 1, 0}, {}, {}},
      {"1000 over the all-events limit",
       "tap",
       false,
       0,
       {1005, 0, 0},
       false,
       {1006, 1, 0},
       23055,
       {}},
      {"an array of 3 items counts 4", "view_item", true, 0, {0, 0, 0}, true, {4, 4, 0}, {}, {}},
      {"at the public limit", "tap", false, 0, {0, 3, 0}, false, {0, 4, 0}, 23057, {16}},
      {"at the public limit, 3 items",
       "view_item",
       true,
       0,
       {0, 3, 0},
       false,
       {3, 7, 0},
       23057,
       {16}},
      {"one over the public limit", "tap", false, 0, {0, 4, 0}, false, {0, 5, 0}, {}, {16}},
      {"an error event at its limit", "_err", false, 0, {0, 0, 2}, false, {0, 0, 3}, 23056, {}},
      {"an error event under its limit", "_err", false, 0, {0, 0, 1}, true, {1, 0, 2}, {}, {}},
      {"an internal event", "_x", false, 0, {0, 3, 0}, true, {1, 3, 0}, {}, {}},
      {"the day changed", "tap", false, -1, {5, 3, 2}, true, {1, 1, 0}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedMonitor monitor;
    const auto errorEventsBefore = errorEvents_->codes().size();
    onWorker([&] {
      database_->sqliteStore()->deleteAllRecordsFromTableWithName("raw_events", nullptr);
    });
    storeCounts(today() + c.dayOffset, c.before.all, c.before.publicEvents, c.before.errors);
    Dictionary parameters;
    if (c.withItems) parameters.set("items", Value(threeItems()));
    if (std::string(c.name) == "_err") parameters.set("_err", Value(13));
    const auto e = event(c.name, parameters, c.name[0] == '_' ? "auto" : "app");
    ASSERT_TRUE(e);
    ASSERT_EQ(APMArrayParameterItemCount(e.get()), c.withItems ? 3 : 0);
    handle(e);

    EXPECT_EQ(stored().size(), c.kept ? 1u : 0u);
    const auto after = counts();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->day(), today());
    EXPECT_EQ(after->allEventsCount(), c.after.all);
    EXPECT_EQ(after->publicEventsCount(), c.after.publicEvents);
    EXPECT_EQ(after->errorEventsCount(), c.after.errors);
    std::vector<std::int64_t> limitLines;
    for (const auto& line : monitor->lines()) {
      if (line.messageCode == 23055 || line.messageCode == 23056 || line.messageCode == 23057) {
        limitLines.push_back(line.messageCode);
        EXPECT_EQ(line.level, 1);
      }
    }
    EXPECT_EQ(limitLines,
              c.limitLine ? std::vector<std::int64_t>{*c.limitLine} : std::vector<std::int64_t>{});
    const auto errorEvents = errorEvents_->codes();
    EXPECT_EQ(std::vector<std::int64_t>(errorEvents.begin() + errorEventsBefore, errorEvents.end()),
              c.errorEvents);
  }
}

TEST_F(APMMeasurementEventsTest, ANewPublicNameAtTheCardinalityLimitIsRefused) {
  onWorker([&] {
    for (int i = 0; i < 500; ++i) {
      const auto aggregates =
          APMEventAggregates::initWithName("name_" + std::to_string(i), 1, 0, 0, kStart);
      ASSERT_TRUE(database_->updateEventAggregates(aggregates.get(), nullptr));
    }
  });
  handle("one_too_many");
  handle("name_7");
  handle("_internal", {}, "auto");

  EXPECT_EQ(namesOf(stored()), (std::vector<std::string>{"name_7", "_internal"}));
  EXPECT_TRUE(logged(23065));
  EXPECT_EQ(errorEvents_->codes(), std::vector<std::int64_t>{8});
}

TEST_F(APMMeasurementEventsTest, EachStoredFirstOpenRaisesTheFirstOpenCount) {
  EXPECT_EQ(core_->previousFirstOpenCount(), std::nullopt);
  handle("_f", {}, "auto");
  EXPECT_EQ(core_->previousFirstOpenCount(), "1");
  handle("_f", {}, "auto");
  EXPECT_EQ(core_->previousFirstOpenCount(), "2");
  // Stored without an advertising identifier: the consented first open is still owed.
  EXPECT_TRUE(persisted_->unmatchedFirstOpenWithoutIDFA());

  // Counts below 1 start again at 1; the largest count stays where it is.
  const struct {
    const char* stored;
    const char* next;
  } counts[] = {{"-4", "1"}, {"0", "1"}, {"9223372036854775807", "9223372036854775807"}};
  for (const auto& c : counts) {
    SCOPED_TRACE(c.stored);
    core_->setPreviousFirstOpenCount(c.stored);
    handle("_f", {}, "auto");
    EXPECT_EQ(core_->previousFirstOpenCount(), c.next);
  }
}

TEST_F(APMMeasurementEventsTest, TheConsentedFirstOpenIsAWriteOfItsOwnAfterTheEvent) {
  core_->setPreviousFirstOpenCount("3");
  persisted_->setUnmatchedFirstOpenWithoutIDFA(true);
  onWorker([&] {
    ASSERT_TRUE(database_->updateUserAttribute(
        APMUserAttribute::initWithOrigin("auto", "_fi", APMValue::initWithInt64(0), now()),
        nullptr));
  });
  onWorker([&] {
    core_->logFirstOpenConsentedEvent(kStart - 60);
    // Queued behind this block: nothing is stored yet.
    ErrorPtr error;
    EXPECT_EQ(database_->isRawEventsTableEmpty(&error), Value(1));
  });
  const auto events = stored();
  ASSERT_EQ(namesOf(events), std::vector<std::string>{"_fx"});
  EXPECT_TRUE(events[0].realtime);
  EXPECT_EQ(events[0].parameter("_pfo"), Value(2));
  EXPECT_EQ(events[0].parameter("_uwa"), Value(1));
  EXPECT_EQ(events[0].parameter("_o"), Value("auto"));
  EXPECT_EQ(events[0].event->timestamp(), kStart - 60);
  EXPECT_FALSE(persisted_->unmatchedFirstOpenWithoutIDFA());
}

TEST_F(APMMeasurementEventsTest, ASafelistKeepsOnlyItsEventsAndMarksThem) {
  makeCore(Array{Value("a")});
  handle("b");
  handle("a");
  const auto events = stored();
  ASSERT_EQ(namesOf(events), std::vector<std::string>{"a"});
  EXPECT_EQ(events[0].parameter("da_safelisted"), Value(1));
  EXPECT_TRUE(logged(23174));
}

TEST_F(APMMeasurementEventsTest, RolloutSessionStartsAreDroppedWhenTheyRepeatTheStoredValue) {
  struct Case {
    std::optional<std::string> stored;
    std::optional<Value> value;  // of "_ffr"
    bool kept;
    std::optional<std::string> storedAfter;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, false, std::nullopt},
      {"r1", Value("r1"), false, "r1"},
      {std::nullopt, Value(""), false, std::nullopt},
      {"r1", Value("r2"), true, "r2"},
      {std::nullopt, Value("r1"), true, "r1"},
      {"r1", std::nullopt, true, std::nullopt},
      {"r1", Value(""), true, std::nullopt},
      {"r1", Value(5), true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stored.value_or("(none)") << " / "
                                    << (c.value ? c.value->description() : "(none)"));
    ScopedMonitor monitor;
    onWorker([&] {
      database_->sqliteStore()->deleteAllRecordsFromTableWithName("raw_events", nullptr);
    });
    persisted_->setZiruzadaFeatureRollouts(c.stored);
    Dictionary parameters;
    if (c.value) parameters.set("_ffr", *c.value);
    handle("_ssr", parameters, "auto");
    EXPECT_EQ(stored().size(), c.kept ? 1u : 0u);
    EXPECT_EQ(persisted_->ziruzadaFeatureRollouts(), c.storedAfter);
    bool duplicateLine = false, notStringLine = false;
    for (const auto& line : monitor->lines()) {
      duplicateLine = duplicateLine || line.messageCode == 23191;
      notStringLine = notStringLine || line.messageCode == 23190;
    }
    EXPECT_EQ(duplicateLine, !c.kept);
    EXPECT_EQ(notStringLine, c.value && !c.value->isString());
  }
}

TEST_F(APMMeasurementEventsTest, StoredRolloutsGoWithSessionStartsAndAppExceptions) {
  persisted_->setZiruzadaFeatureRollouts("r1");
  handle("_s", {}, "auto");
  handle("_ae", {}, "auto");
  const auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"_ssr", "_s", "_ae"}));
  EXPECT_EQ(events[0].parameter("_ffr"), Value("r1"));
  EXPECT_EQ(events[0].parameter("_o"), Value("auto"));
  EXPECT_EQ(events[1].parameter("_ffr"), std::nullopt);
  EXPECT_EQ(events[2].parameter("_ffr"), Value("r1"));
  // The session start's own rollout event does not pass the dedupe: the value stays.
  EXPECT_EQ(persisted_->ziruzadaFeatureRollouts(), "r1");
}

TEST_F(APMMeasurementEventsTest, ARepeatedSubscriptionIsDropped) {
  handle("_assc", {{"_did", Value(7)}}, "auto");
  handle("_assc", {{"_did", Value(7)}}, "auto");
  handle("_assr", {{"_did", Value(8)}}, "auto");
  // Not a subscription: the identifier is not looked at.
  handle("_iap", {{"_did", Value(7)}}, "auto");
  EXPECT_EQ(namesOf(stored()), (std::vector<std::string>{"_assc", "_assr", "_iap"}));
  EXPECT_TRUE(logged(23182));
}

TEST_F(APMMeasurementEventsTest, BackgroundEventsExtendOrEndTheSession) {
  APMScreenViewReporter::sharedInstance()->setAppActiveForTesting(false);
  reporter_->setTimeoutSessionInterval(1800);
  const auto property = [&](const std::string& name) {
    std::shared_ptr<const APMUserAttribute> found;
    onWorker([&] { found = database_->userAttributeWithName(name, nullptr); });
    return found;
  };
  const auto putSessionProperties = [&] {
    onWorker([&] {
      for (const char* name : {"_sid", "_sno", "_se"}) {
        ASSERT_TRUE(database_->updateUserAttribute(
            APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(1), now()),
            nullptr));
      }
    });
  };

  // A live session: "extend_session" = 1 moves its last activity to now.
  persisted_->setLastSessionActivityClockTime(kStart);
  putSessionProperties();
  clock_.advance(1000);
  handle("tap", {{"extend_session", Value(1)}});
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 1000);
  EXPECT_TRUE(property("_sid"));

  // Another value is only reported; the session still runs out and its properties go.
  clock_.advance(1801);
  {
    ScopedMonitor monitor;
    handle("tap", {{"extend_session", Value(2)}});
    bool reserved = false;
    for (const auto& line : monitor->lines()) reserved = reserved || line.messageCode == 23179;
    EXPECT_TRUE(reserved);
  }
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 1000);
  EXPECT_FALSE(property("_sid"));
  EXPECT_FALSE(property("_sno"));
  EXPECT_FALSE(property("_se"));
  EXPECT_EQ(stored().size(), 2u);

  // An expired session with "extend_session" = 1 starts a new one, in the background, before
  // the event is stored; its properties stay.
  persisted_->setSessionNumber(4);
  handle("tap", {{"extend_session", Value(1)}});
  const auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"tap", "tap", "_s", "tap"}));
  EXPECT_EQ(persisted_->sessionNumber(), 5);
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 2801);
  ASSERT_TRUE(property("_sno"));
  EXPECT_EQ(property("_sno")->value()->int64Value(), 5);
  EXPECT_TRUE(property("_sid"));

  // While the application is active, background rules do not apply.
  APMScreenViewReporter::sharedInstance()->setAppActiveForTesting(true);
  clock_.advance(1801);
  putSessionProperties();
  handle("tap", {{"extend_session", Value(1)}});
  EXPECT_TRUE(property("_sid"));
  EXPECT_EQ(persisted_->lastSessionActivityClockTime(), kStart + 2801);
}

TEST_F(APMMeasurementEventsTest, ConversionsAndDebugModeDecideRealTime) {
  setting("measurement.upload.max_realtime_events_per_day", "2");
  const Dictionary purchase{{"value", Value(9.5)}, {"currency", Value("EUR")}};
  // Under the limit a conversion goes out in real time.
  handle("purchase", purchase);
  // At the limit it is still a conversion, but no longer real-time.
  storeCounts(today(), 0, 0, 0, 2);
  handle("purchase", purchase);
  // An event marked real-time loses the mark at the limit; exempt names keep it.
  auto marked = event("tap");
  marked->setRealtime(true);
  handle(marked);
  auto firstOpen = event("_fx", {}, "auto");
  firstOpen->setRealtime(true);
  handle(firstOpen);
  auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"purchase", "purchase", "tap", "_fx"}));
  EXPECT_TRUE(events[0].realtime);
  EXPECT_EQ(events[0].parameter("_c"), Value(1));
  EXPECT_FALSE(events[1].realtime);
  EXPECT_EQ(events[1].parameter("_c"), Value(1));
  EXPECT_FALSE(events[2].realtime);
  EXPECT_EQ(events[2].parameter("_r"), std::nullopt);
  EXPECT_TRUE(logged(23060));
  EXPECT_TRUE(events[3].realtime);

  // In debug mode every event is real-time and debug, whatever the counts.
  (*monitor_)->setDebugModeEnabled(true);
  handle("tap");
  events = stored();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_TRUE(events[4].realtime);
  EXPECT_EQ(events[4].parameter("_r"), Value(1));
  EXPECT_EQ(events[4].parameter("_dbg"), Value(1));
  EXPECT_TRUE(logged(23073));
  // Marking does not count: bundling does.
  EXPECT_EQ(counts()->realtimeCount(), 2);
}

TEST_F(APMMeasurementEventsTest, BlocklistedEventsAreRejected) {
  auto delivered = analytics_test::makeMeasurementConfig(kAppID);
  analytics_test::setEventConfigs(delivered.get(), {{"blocked_one", true, false, 0}});
  ASSERT_TRUE(config_->updateMeasurementConfig(delivered));
  handle("blocked_one");
  handle("fine");
  EXPECT_EQ(namesOf(stored()), std::vector<std::string>{"fine"});
  EXPECT_TRUE(logged(23052));
  EXPECT_EQ(errorEvents_->codes(), std::vector<std::int64_t>{11});

  // Blocked by the blanket switch: rejected without an error event.
  setting("measurement.upload.blacklist_public", "1");
  handle("fine");
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(errorEvents_->codes(), std::vector<std::int64_t>{11});
}

// Edits events as a loaded program would, the way the case scripts it.
class ScriptedEditing : public analytics_test::FakeEventEditing {
 public:
  ScriptedEditing() : FakeEventEditing(false) {}

  bool handleEvent(const APMPEvent& event, ErrorPtr* error) override {
    seen.push_back(event.name());
    output_ = event;
    if (rename) output_->setName(*rename);
    created_ = create;
    if (fail) {
      if (error != nullptr) *error = platform::makeError("APMPEventEditing", 3);
      return false;
    }
    return hasEdits() || hasCreatedEvents();
  }
  bool hasEdits() const override { return rename.has_value(); }
  bool hasCreatedEvents() const override { return !created_.empty(); }
  std::optional<APMPEvent> outputEvent() const override { return output_; }
  std::vector<APMPEvent> eventsToLog() const override { return created_; }

  std::optional<std::string> rename;
  std::vector<APMPEvent> create;
  bool fail = false;
  std::vector<std::string> seen;

 private:
  std::optional<APMPEvent> output_;
  std::vector<APMPEvent> created_;
};

class ScriptedEngine : public analytics_test::FakeScriptEngine {
 public:
  std::shared_ptr<APMPEventEditing> makeEventEditing() override { return editing; }
  const std::shared_ptr<ScriptedEditing> editing = std::make_shared<ScriptedEditing>();
};

class APMMeasurementEditingTest : public APMMeasurementEventsTest {
 protected:
  void SetUp() override {
    APMMeasurementEventsTest::SetUp();
    APMPSetScriptEngine(engine_);
    auto delivered = analytics_test::makeMeasurementConfig(kAppID);
    analytics_test::setPrograms(delivered.get(), 1);
    ASSERT_TRUE(config_->updateMeasurementConfig(delivered));
    ASSERT_EQ(config_->eventEditing(), engine_->editing);
  }

  ScriptedEditing& editing() { return *engine_->editing; }

  const std::shared_ptr<ScriptedEngine> engine_ = std::make_shared<ScriptedEngine>();
};

TEST_F(APMMeasurementEditingTest, EditingFailureStoresTheUneditedEventAndNothingItCreated) {
  editing().rename = "renamed";
  editing().create = {APMPEvent("made", kStart, {})};
  editing().fail = true;
  handle("select_content", {{"content_type", Value("photo")}});

  EXPECT_EQ(editing().seen, std::vector<std::string>{"select_content"});
  const auto events = stored();
  ASSERT_EQ(namesOf(events), std::vector<std::string>{"select_content"});
  EXPECT_EQ(events[0].parameter("content_type"), Value("photo"));
  std::vector<Array> failures;
  for (const auto& line : (*monitor_)->lines()) {
    if (line.messageCode == 23223) {
      EXPECT_EQ(line.level, 1);
      EXPECT_EQ(line.message, "Event editing failed. Event name");
      failures.push_back(line.contexts);
    }
  }
  EXPECT_EQ(failures, std::vector<Array>{Array{Value("select_content")}});
}

TEST_F(APMMeasurementEditingTest, TheEditedEventIsStoredAndCreatedEventsFollowIt) {
  editing().rename = "tapped";
  editing().create = {APMPEvent("made_here", kStart - 5, {{"_o", Value("fiam")}, {"n", Value(1)}}),
                      APMPEvent("made_there", kStart - 4, {})};
  handle("tap", {{"n", Value(7)}});

  auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"tapped", "made_here", "made_there"}));
  EXPECT_EQ(events[0].parameter("n"), Value(7));
  EXPECT_EQ(events[1].parameter("_o"), Value("fiam"));
  EXPECT_EQ(events[1].parameter("n"), Value(1));
  EXPECT_EQ(events[1].event->timestamp(), kStart - 5);
  EXPECT_EQ(events[2].parameter("_o"), Value("app"));
  EXPECT_FALSE(logged(23223));

  // Without edits the logged event itself is stored.
  editing().rename.reset();
  editing().create.clear();
  handle("tap", {{"n", Value(8)}});
  events = stored();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3].name, "tap");
  EXPECT_EQ(events[3].parameter("n"), Value(8));
}

TEST_F(APMMeasurementEventsTest, TheWorkerQueueEntryRoutesByInterceptionAndEnabling) {
  APMAnalytics::unsuspendOperationQueue();
  std::mutex mutex;
  std::vector<std::string> heard;
  const auto token =
      APMAnalytics::addLogEventListener([&](const std::shared_ptr<const APMEvent>& e) {
        std::lock_guard lock(mutex);
        heard.push_back(e->name());
      });
  std::vector<std::string> intercepted;
  Dictionary interceptedParameters;
  const APMMeasurement::Interceptor interceptor = [&](const std::string&, const std::string& name,
                                                      const Dictionary& parameters, double,
                                                      const Dictionary&) {
    intercepted.push_back(name);
    interceptedParameters = parameters;
  };
  const Dictionary screen{
      {"_sn", Value("Main")}, {"_sc", Value("MainView")}, {"_si", Value(std::int64_t{5})}};
  const auto log = [&](const std::string& origin, bool isPublic, const std::string& name,
                       bool enabled, bool ignoreInterceptor,
                       const Dictionary& added = Dictionary()) {
    onWorker([&] {
      core_->logEventOnWorkerQueueWithOrigin(origin, isPublic, name, {{"p", Value("v")}}, kStart,
                                             enabled, false, ignoreInterceptor, interceptor, added);
    });
  };

  log("app", true, "intercepted", true, false, screen);
  log("app", true, "let_through", true, true);
  log("am", true, "exempt_origin", true, false);
  log("app", true, "not_enabled", false, false);
  log("auto", false, "_internal", true, false);
  {
    ScopedMonitor monitor;
    log("app", true, "9_not_a_name", true, false);
    ASSERT_FALSE(monitor->lines().empty());
    EXPECT_EQ(monitor->lines().back().messageCode, 23219);
  }
  APMAnalytics::queueOperationWithBlockThenWait([] {});
  APMAnalytics::queue()->sync([] {});
  APMAnalytics::removeLogEventListener(token);

  EXPECT_EQ(intercepted, std::vector<std::string>{"intercepted"});
  EXPECT_EQ(interceptedParameters["p"], Value("v"));
  EXPECT_EQ(interceptedParameters["_sn"], Value("Main"));
  const auto events = stored();
  EXPECT_EQ(namesOf(events),
            (std::vector<std::string>{"let_through", "exempt_origin", "not_enabled", "_internal"}));
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard, (std::vector<std::string>{"let_through", "_internal"}));
}

TEST_F(APMMeasurementEventsTest, DefaultParametersJoinEventsExceptErrorsAndDirectLogs) {
  onWorker([&] {
    core_->handleSetDefaultEventParametersOnWorkerQueue(
        Dictionary{{"plan", Value("pro")}, {"level", Value(3)}});
  });
  const auto log = [&](const std::string& origin, const std::string& name, bool ignoreInterceptor) {
    Dictionary parameters{{"level", Value(9)}};
    if (name == "_err") parameters.set("_err", Value(13));
    onWorker([&] {
      core_->logEventOnWorkerQueueWithOrigin(origin, origin == "app", name, parameters, kStart,
                                             true, false, ignoreInterceptor, nullptr, {});
    });
  };
  log("app", "tap", false);
  log("app", "direct", true);
  log("auto", "_err", false);
  onWorker([&] {
    core_->handleInternalEventOnWorkerQueue(event("_au", {{"_pv", Value("1.0")}}, "auto"));
    core_->handleInternalEventOnWorkerQueue(event("_err", {{"_err", Value(4)}}, "auto"));
  });

  const auto events = stored();
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"tap", "direct", "_err", "_au", "_err"}));
  EXPECT_EQ(events[0].parameter("plan"), Value("pro"));
  EXPECT_EQ(events[0].parameter("level"), Value(9));
  EXPECT_EQ(events[1].parameter("plan"), std::nullopt);
  EXPECT_EQ(events[2].parameter("plan"), std::nullopt);
  EXPECT_EQ(events[3].parameter("plan"), Value("pro"));
  EXPECT_EQ(events[3].parameter("_pv"), Value("1.0"));
  EXPECT_EQ(events[4].parameter("plan"), std::nullopt);
  // The event's own internal parameters are not checked again as if they were defaults.
  EXPECT_FALSE(logged(13003)) << testing::PrintToString(codes());
}

TEST_F(APMMeasurementEventsTest, TheRecorderHearsEachLoggedEventBeforeItIsStored) {
  class Recorder : public APMMeasurement::Recorder {
   public:
    explicit Recorder(APMDatabase& database) : database_(database) {}
    void didLogEvent(const APMMeasurement::LoggedEvent& event) override {
      names.push_back(event.name);
      storedBefore.push_back(database_.isRawEventsTableEmpty(nullptr) != Value(1));
    }
    void didSetUserAttribute(const std::string&, const std::optional<Value>&,
                             const std::string&) override {}
    std::vector<std::string> names;
    std::vector<bool> storedBefore;

   private:
    APMDatabase& database_;
  };
  const auto recorder = std::make_shared<Recorder>(*database_);
  APMMeasurement::setRecorder(recorder);
  core_->logEventWithOrigin("app", true, "app_launch", {}, kStart, true, false, false, nullptr, {});
  drain();
  APMMeasurement::setRecorder(nullptr);
  EXPECT_EQ(recorder->names, std::vector<std::string>{"app_launch"});
  EXPECT_EQ(recorder->storedBefore, std::vector<bool>{false});
  EXPECT_EQ(namesOf(stored()), std::vector<std::string>{"app_launch"});
}

std::shared_ptr<APMRawEventData> rawEvent(const std::string& name, Dictionary parameters = {},
                                          const std::string& origin = "app") {
  auto event = APMEvent::initWithOrigin(origin, false, name, kStart, kStart - 10, parameters);
  EXPECT_TRUE(event) << name;
  return APMRawEventData::initWithRawEvent(event, 41, -77);
}

TEST_F(APMMeasurementEventsTest, BundlingMapsReservedPublicNamesAndValidatesPurchases) {
  const auto impression = rawEvent("ad_impression", {{"value", Value(1.5)}});
  const auto internal = core_->internalEventFromPublicEvent(impression);
  ASSERT_TRUE(internal);
  EXPECT_EQ(internal->rawEvent()->name(), "_ai");
  EXPECT_EQ(internal->rowID(), 41);
  EXPECT_EQ(internal->metadataFingerprint(), -77);
  EXPECT_EQ(internal->rawEvent()->timestamp(), kStart);
  EXPECT_EQ(internal->rawEvent()->previousTimestamp(), kStart - 10);
  EXPECT_EQ(internal->rawEvent()->parameters(), impression->rawEvent()->parameters());
  const auto tap = rawEvent("tap");
  EXPECT_EQ(core_->internalEventFromPublicEvent(tap), tap);

  // Not a sandbox receipt here: the purchase is handed back rebuilt, without the marker.
  const auto purchase = rawEvent("_iap", {{"value", Value(2.0)}}, "auto");
  const auto validated = core_->validatePurchaseEvent(purchase);
  ASSERT_TRUE(validated);
  EXPECT_EQ(validated->rowID(), 41);
  EXPECT_EQ(validated->metadataFingerprint(), -77);
  EXPECT_FALSE(validated->rawEvent()->parameters().contains("sandbox"));
  EXPECT_EQ(core_->validatePurchaseEvent(tap), tap);
}

TEST_F(APMMeasurementEventsTest, BundlingCountsConversionsAndRealTimeEventsUpToTheirLimits) {
  setting("measurement.upload.max_conversions_per_day", "1");
  setting("measurement.upload.max_realtime_events_per_day", "1");
  auto delivered = analytics_test::makeMeasurementConfig(kAppID);
  analytics_test::setEventConfigs(delivered.get(), {{"signup", false, true, 0}});
  ASSERT_TRUE(config_->updateMeasurementConfig(delivered));
  setting("measurement.upload.max_conversions_per_day", "1");
  setting("measurement.upload.max_realtime_events_per_day", "1");
  auto counts = APMDailyCounts::initWithDay(today(), 0, 5, 5, 0, 0, 0);

  // A custom conversion is counted once, and only as a conversion.
  const auto first = rawEvent("signup");
  EXPECT_TRUE(core_->checkConversion(first, *counts));
  EXPECT_TRUE(first->rawEvent()->isConversion());
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->allEventsCount(), 5);
  EXPECT_EQ(counts->publicEventsCount(), 5);
  // Over the limit it loses the mark.
  const auto second = rawEvent("signup");
  EXPECT_FALSE(core_->checkConversion(second, *counts));
  EXPECT_FALSE(second->rawEvent()->isConversion());
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_TRUE(logged(23102));
  // Not a conversion: nothing to do.
  EXPECT_FALSE(core_->checkConversion(rawEvent("tap"), *counts));

  struct Case {
    const char* name;
    bool debug;
    std::int32_t realtimeBefore;
    std::int32_t dcuBefore;
    bool changed;
    bool realtimeAfter;
    std::int64_t line;  // 0: none
  };
  const Case cases[] = {
      {"tap", false, 0, 0, true, true, 23103},  {"tap", false, 1, 0, false, false, 23104},
      {"_fx", false, 1, 0, false, true, 23105}, {"_dcu", false, 1, 0, true, true, 0},
      {"_dcu", false, 1, 1, false, false, 0},   {"tap", true, 1, 0, false, true, 23105},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << (c.debug ? " debug" : "") << " "
                                    << c.realtimeBefore << "/" << c.dcuBefore);
    ScopedMonitor monitor;
    monitor->setDebugModeEnabled(c.debug);
    auto dailyCounts =
        APMDailyCounts::initWithDay(today(), 0, 0, 0, 0, c.realtimeBefore, c.dcuBefore);
    const auto data = rawEvent(c.name, {}, c.name[0] == '_' ? "auto" : "app");
    data->rawEvent()->setRealtime(true);
    EXPECT_EQ(core_->checkRealtime(data, *dailyCounts), c.changed);
    EXPECT_EQ(data->rawEvent()->isRealtime(), c.realtimeAfter);
    EXPECT_EQ(dailyCounts->realtimeCount() + dailyCounts->dcuRealtimeCount(),
              c.realtimeBefore + c.dcuBefore + (c.changed ? 1 : 0));
    std::vector<std::int64_t> lines;
    for (const auto& line : monitor->lines()) lines.push_back(line.messageCode);
    EXPECT_EQ(lines, c.line ? std::vector<std::int64_t>{c.line} : std::vector<std::int64_t>{});
  }
  // Neither real-time nor a conversion: not looked at.
  EXPECT_FALSE(core_->checkRealtime(rawEvent("tap"), *counts));
}

TEST_F(APMMeasurementEventsTest, AnalyticsStorageDenialSetsTheEventCountsAsideUntilGranted) {
  const auto bundleWithSignals = [](const std::string& signals) {
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    nano_set_string_field(bundle.get(), kMetadataConsentSignalsIndex, signals);
    return bundle;
  };
  const auto setLifetime = [&](const std::string& name, std::int32_t count) {
    onWorker([&] {
      const auto aggregates = APMEventAggregates::initWithName(name, count, 0, 0, kStart);
      ASSERT_TRUE(database_->updateEventAggregates(aggregates.get(), nullptr));
    });
  };
  const auto lifetime = [&](const std::string& name) -> std::optional<std::int32_t> {
    std::optional<std::int32_t> count;
    onWorker([&] {
      if (const auto aggregates = database_->eventAggregatesWithName(name, nullptr))
        count = aggregates->lifetimeCount();
    });
    return count;
  };
  const auto transition = [&](const std::string& signals) {
    onWorker([&] { core_->handleAnalyticsStorageConsentTransitions(*bundleWithSignals(signals)); });
    EXPECT_EQ(persisted_->previousBundledConsentSignals(), signals);
  };

  setLifetime("tap", 5);
  transition("G111");
  transition("G110");  // denied: the counts are set aside
  setLifetime("tap", 9);
  setLifetime("other", 1);
  transition("G11d");  // still denied: nothing moves
  EXPECT_EQ(lifetime("tap"), 9);
  transition("G111");  // granted again: the counts set aside come back
  EXPECT_EQ(lifetime("tap"), 5);
  EXPECT_EQ(lifetime("other"), std::nullopt);
  EXPECT_FALSE(logged(23266));
  EXPECT_FALSE(logged(23267));
}

}  // namespace
