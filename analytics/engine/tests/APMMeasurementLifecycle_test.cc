// The measurement core's life, one process per case: creation, the enable decision, the set-up
// at the first start, the wipe on an app-identifier change, first open, updates, sessions and
// the non-personalized-ads property. Each "launch" is a core of its own over the same test
// database and persisted configuration.
#include "analytics/engine/APMMeasurement.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMSqliteStore.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/engine/tests/recording_core.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/run_loop.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::RecordingCore;
using analytics_test::ScopedMonitor;
using platform::Value;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr const char* kDatabaseName = "lifecycle-test.sql";
// 2023-11-14 22:13:20 UTC: 13 minutes and 20 seconds into an hour.
constexpr double kMidHour = 1'700'000'000;
constexpr double kWholeHour = 1'699'999'200;

std::int64_t integerOf(const Value& value) {
  if (const auto typed = APMValueOf(value)) return typed->int64Value();
  return value.integerValue();
}

// One raw event as stored, its parameters as integers or texts.
struct Stored {
  std::string name;
  std::map<std::string, Value> parameters;

  std::optional<std::int64_t> integer(const std::string& parameter) const {
    const auto found = parameters.find(parameter);
    if (found == parameters.end()) return std::nullopt;
    return found->second.integerValue();
  }
};

std::vector<Stored> storedEvents(const std::shared_ptr<APMMeasurement>& core) {
  std::vector<Stored> result;
  core->workerQueue()->sync([&] {
    const auto database = core->database();
    ASSERT_TRUE(database);
    platform::ErrorPtr error;
    const auto records = database->sqliteStore()->recordsForQuery(
        "SELECT rowid, * FROM raw_events ORDER BY rowid", {}, &error);
    ASSERT_TRUE(records) << (error ? error->description() : "");
    for (const platform::Dictionary& record : *records) {
      const auto data = database->rawEventDataFromDictionary(&record, &error);
      ASSERT_TRUE(data && data->rawEvent());
      Stored stored{data->rawEvent()->name(), {}};
      for (const auto& [name, value] : data->rawEvent()->parameters()) {
        const auto typed = APMValueOf(value);
        stored.parameters[name] = typed ? typed->value() : value;
      }
      result.push_back(std::move(stored));
    }
  });
  return result;
}

std::vector<std::string> namesOf(const std::vector<Stored>& events) {
  std::vector<std::string> names;
  for (const Stored& event : events) names.push_back(event.name);
  return names;
}

class APMMeasurementLifecycleTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    home_.useBundle({{"CFBundleShortVersionString", "2.0"}, {"CFBundleVersion", "2.0.1"}});
    APMAnalytics::setLoadTimestamp(kMidHour);
    persisted_ = APMPersistedConfig::initWithSuiteName("com.rerora.viz.measurement.lifecycle");
    ASSERT_TRUE(persisted_);
  }
  void TearDown() override {
    if (core_) finish(core_);
    core_.reset();
  }

  // A launch: a new core over the test database and persisted configuration, once its
  // creation's enable request has run.
  std::shared_ptr<APMMeasurement> launch(bool collectionEnabled = true, bool deactivated = false,
                                         const std::string& appID = kAppID) {
    if (core_) finish(core_);
    auto scheduler = std::make_shared<APMScheduler>("lifecycle.worker");
    auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer");
    core_ = APMMeasurement::initWithDatabaseName(
        kDatabaseName, persisted_, nullptr, std::move(scheduler), std::move(alarm), appID,
        collectionEnabled, deactivated, std::nullopt, nullptr);
    finish(core_);
    return core_;
  }
  static void finish(const std::shared_ptr<APMMeasurement>& core) {
    core->workerQueue()->sync([] {});
  }
  void onWorker(const std::function<void()>& work) { core_->workerQueue()->sync(work); }

  std::optional<std::int64_t> property(const std::string& name) {
    platform::ErrorPtr error;
    const auto attribute = core_->database()->userAttributeWithName(name, &error);
    EXPECT_FALSE(error) << name;
    if (!attribute) return std::nullopt;
    return attribute->value()->int64Value();
  }
  std::optional<double> propertySetTime(const std::string& name) {
    platform::ErrorPtr error;
    const auto attribute = core_->database()->userAttributeWithName(name, &error);
    if (!attribute) return std::nullopt;
    return attribute->lastSetTimestamp();
  }
  void storeProperty(const std::string& name, std::int64_t value, double setTime) {
    const auto attribute = APMUserAttribute::initWithOrigin(
        "auto", name, Value(APMValue::initWithInt64(value)), setTime);
    ASSERT_TRUE(attribute);
    platform::ErrorPtr error;
    ASSERT_TRUE(core_->database()->updateUserAttribute(attribute, &error));
  }

  std::vector<std::int64_t> codes(std::int64_t from, std::int64_t to) const {
    std::vector<std::int64_t> result;
    for (const auto& line : monitor_->lines()) {
      if (line.messageCode >= from && line.messageCode <= to) result.push_back(line.messageCode);
    }
    return result;
  }
  std::optional<std::string> message(std::int64_t code) const {
    for (const auto& line : monitor_->lines()) {
      if (line.messageCode == code) return line.message;
    }
    return std::nullopt;
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(kMidHour)};
  // The core's own monitor exists before the recording one takes its place.
  bool monitorMade_ = (APMMeasurement::load(), true);
  ScopedMonitor monitor_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMMeasurement> core_;
};

TEST_F(APMMeasurementLifecycleTest, AnEmptyAppIdentifierMakesNoInstanceEver) {
  APMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  APMMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_FALSE(APMMeasurement::sharedInstance());

  EXPECT_FALSE(APMMeasurement::initWithAppID("", true, false, std::nullopt, nullptr));
  ASSERT_EQ(codes(23170, 23170).size(), 1u);
  EXPECT_EQ(message(23170), "Cannot start Measurement. App ID is empty.");
}

TEST_F(APMMeasurementLifecycleTest, TheSharedInstanceIsMadeOnceAndLogsItsStartAndHints) {
  APMMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
  const auto first = APMMeasurement::sharedInstance();
  ASSERT_TRUE(first);
  APMMeasurement::initializeSharedInstanceWithAppID("1:999:ios:other", true, false, std::nullopt);
  EXPECT_EQ(APMMeasurement::sharedInstance(), first);
  EXPECT_EQ(first->appID(), kAppID);
  EXPECT_EQ(APMMeasurementSharedInstance(), first);
  finish(first);
  EXPECT_TRUE(first->didInitializeComponents());
  EXPECT_EQ(APMMeasurementRemoteConfig(), first->remoteConfigInstance());
  EXPECT_EQ(APMMeasurement::remoteConfig(), first->remoteConfigInstance());

  EXPECT_EQ(message(23007), "Analytics v.102700000 started");
  EXPECT_EQ(message(23008), "To enable debug logging set the following application argument: "
                            "-APMAnalyticsDebugEnabled (https://vilmo.invalid/help/analytics)");
  EXPECT_EQ(message(23009), "Debug logging enabled");
  EXPECT_EQ(message(23207),
            "To enable verbose logging set the following application argument: "
            "-APMAnalyticsVerboseLoggingEnabled (https://vilmo.invalid/help/analytics)");
  EXPECT_EQ(message(23016), "Analytics is ready to receive events");
  EXPECT_EQ(message(23012), "Analytics collection enabled");
}

TEST_F(APMMeasurementLifecycleTest, TheStoredEnabledStateBeatsTheSwitchAndDeactivationBeatsBoth) {
  struct Case {
    std::int64_t storedState;
    bool collectionEnabled;
    bool deactivated;
    bool expected;
  };
  const Case cases[] = {
      {0, true, false, true},  {0, false, false, false}, {2, true, false, false},
      {1, false, false, true}, {1, true, true, false},   {0, true, true, false},
  };
  for (const Case& c : cases) {
    persisted_->setMeasurementEnabledState(c.storedState);
    const auto core = launch(c.collectionEnabled, c.deactivated);
    SCOPED_TRACE(testing::Message() << "state " << c.storedState << " switch "
                                    << c.collectionEnabled << " deactivated " << c.deactivated);
    EXPECT_EQ(core->shouldEnableMeasurement(), c.expected);
    EXPECT_EQ(core->wasEnabledDuringInitialization(), c.expected);
    EXPECT_EQ(core->isEnabled(), c.expected);
    EXPECT_EQ(core->didInitializeComponents(), c.expected);
  }

  // Enabling a deactivated core changes nothing.
  persisted_->setMeasurementEnabledState(0);
  const auto core = launch(true, true);
  core->setEnabled(true);
  finish(core);
  EXPECT_FALSE(core->isEnabled());
  EXPECT_FALSE(core->didInitializeComponents());
  EXPECT_EQ(message(23206), "Analytics collection deactivated");
}

TEST_F(APMMeasurementLifecycleTest, FirstOpenStoresTheStartOfTheFollowingHour) {
  struct Case {
    double loadTime;
    std::int64_t expectedMillis;
  };
  // Also a first open exactly at a whole hour stores the start of the hour after it.
  const Case cases[] = {{kMidHour, 1'700'002'800'000}, {kWholeHour, 1'700'002'800'000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loadTime);
    EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(
                  static_cast<std::int64_t>(c.loadTime * 1000)),
              c.expectedMillis);
  }
  EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(0), 3'600'000);

  persisted_->setLoadTimestampValue(Value(kWholeHour));
  launch();
  EXPECT_EQ(core_->initTimestamp(), kWholeHour);
  EXPECT_EQ(property("_fot"), 1'700'002'800'000);
  EXPECT_EQ(propertySetTime("_fot"), kWholeHour);
  EXPECT_EQ(property("_fi"), 1);
  EXPECT_EQ(persisted_->firstOpenTimestampMilliseconds(), 1'699'999'200'000);
  // The load time is kept only until a first open reports it.
  EXPECT_FALSE(persisted_->loadTimestampValue());
  EXPECT_FALSE(APMAnalytics::deferredAnalyticsCollection());
  // The first open starts the first session.
  EXPECT_EQ(persisted_->sessionNumber(), 1);
  EXPECT_EQ(property("_sno"), 1);
  EXPECT_EQ(property("_sid"), static_cast<std::int64_t>(kWholeHour));
  EXPECT_TRUE(codes(23019, 23021).empty());
  EXPECT_TRUE(codes(23161, 23162).empty());

  // The first open, the session it starts and its first engagement, all at the load time.
  const auto events = storedEvents(core_);
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"_f", "_s", "_e"}));
  EXPECT_EQ(events[0].integer("_pfo"), 0);
  EXPECT_EQ(events[0].integer("_uwa"), 0);
  EXPECT_FALSE(events[0].integer("_dac"));
  EXPECT_FALSE(events[0].parameters.contains("_pviz"));
  EXPECT_EQ(events[1].integer("_sno"), 1);
  EXPECT_EQ(events[1].integer("_sid"), static_cast<std::int64_t>(kWholeHour));
  EXPECT_EQ(events[2].integer("_et"), 1);
  EXPECT_EQ(core_->previousFirstOpenCount(), "1");
}

TEST_F(APMMeasurementLifecycleTest, ASecondLaunchReportsNoFirstOpenButASessionStartOnceExpired) {
  launch();
  ASSERT_EQ(property("_fot"), 1'700'002'800'000);
  ASSERT_EQ(persisted_->sessionNumber(), 1);
  ASSERT_EQ(namesOf(storedEvents(core_)), (std::vector<std::string>{"_f", "_s", "_e"}));

  // Back within the session timeout: neither a first open nor a new session.
  clock_.advance(600);
  launch();
  EXPECT_EQ(property("_fot"), 1'700'002'800'000);
  EXPECT_EQ(propertySetTime("_fot"), kMidHour);
  EXPECT_EQ(persisted_->sessionNumber(), 1);
  EXPECT_EQ(storedEvents(core_).size(), 3u);

  clock_.advance(1801);
  persisted_->setLoadTimestampValue(Value(kMidHour + 2401));
  launch();
  EXPECT_EQ(property("_fot"), 1'700'002'800'000);
  EXPECT_EQ(persisted_->sessionNumber(), 2);
  EXPECT_EQ(property("_sno"), 2);
  EXPECT_EQ(property("_sid"), static_cast<std::int64_t>(kMidHour + 2401));
  // The session start consumed the load time.
  EXPECT_FALSE(persisted_->loadTimestampValue());
  const auto events = storedEvents(core_);
  ASSERT_EQ(namesOf(events), (std::vector<std::string>{"_f", "_s", "_e", "_s"}));
  EXPECT_EQ(events[3].integer("_sno"), 2);
  EXPECT_EQ(events[3].integer("_sid"), static_cast<std::int64_t>(kMidHour + 2401));
  EXPECT_EQ(core_->previousFirstOpenCount(), "1");
}

TEST_F(APMMeasurementLifecycleTest, CollectionOffAtTheFirstDecisionIsRecordedAsDeferred) {
  launch(false);
  EXPECT_FALSE(core_->isEnabled());
  ASSERT_TRUE(APMAnalytics::deferredAnalyticsCollection());
  EXPECT_EQ(APMAnalytics::deferredAnalyticsCollection()->integerValue(), 1);
  EXPECT_FALSE(core_->database());

  // A later enable keeps the first answer and reports the first open, which consumes it.
  core_->setEnabled(true);
  finish(core_);
  EXPECT_TRUE(core_->isEnabled());
  EXPECT_TRUE(property("_fot"));
  EXPECT_FALSE(APMAnalytics::deferredAnalyticsCollection());
  const auto events = storedEvents(core_);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].name, "_f");
  EXPECT_EQ(events[0].integer("_dac"), 1);

  // A deactivated core records nothing.
  APMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  launch(false, true);
  EXPECT_FALSE(APMAnalytics::deferredAnalyticsCollection());
}

TEST_F(APMMeasurementLifecycleTest, TheWipeDecisionFollowsTheFirstRuleThatMatches) {
  struct Case {
    const char* rule;
    std::int64_t retries;
    const char* appID;
    const char* viz;
    const char* riRur;
    const char* persistedVIZ;
    const char* persistedRiRur;
    bool expected;
  };
  const Case cases[] = {
      {"1: a wipe still owed", 1, "a", "v", "", "v", "", true},
      {"1: the ninth retry", 9, "a", "v", "", "v", "", true},
      {"1: given up at ten", 10, "a", "v", "", "v", "", false},
      {"1: given up, rule 2 still applies", 12, "a", "v", "", "w", "", true},
      {"2: options identifier changed", 0, "a", "v", "", "w", "", true},
      {"2: options identifier unchanged", 0, "a", "v", "r", "v", "s", false},
      {"3: options identifier added, ads one dropped", 0, "a", "v", "", "", "r", true},
      {"4: options identifier added, ads one changed", 0, "a", "v", "s", "", "r", true},
      {"4: options identifier added, ads one kept", 0, "a", "v", "r", "", "r", false},
      {"5: only an ads identifier now", 0, "a", "", "r", "v", "", true},
      {"5: ... but started without one", 0, "", "", "r", "v", "", false},
      {"6: started identifier differs from the ads one", 0, "a", "", "", "", "r", true},
      {"6: started identifier is the ads one", 0, "r", "", "", "", "r", false},
      {"6: started without one", 0, "", "", "", "", "r", false},
      {"7: first launch", 0, "a", "v", "", "", "", false},
      {"7: nothing at all", 0, "", "", "", "", "", false},
  };
  launch(false);
  const auto text = [](const char* value) -> std::optional<std::string> {
    if (!*value) return std::nullopt;
    return std::string(value);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    APMAnalytics::setResetRetryCount(c.retries);
    EXPECT_EQ(core_->shouldWipeDataWithAppID(text(c.appID), text(c.viz), text(c.riRur),
                                             text(c.persistedVIZ), text(c.persistedRiRur)),
              c.expected);
  }
  // An empty identifier counts as none (rule 5).
  APMAnalytics::setResetRetryCount(0);
  EXPECT_TRUE(core_->shouldWipeDataWithAppID("a", std::string(), "r", "v", std::string()));
}

TEST_F(APMMeasurementLifecycleTest, AChangedAppIdentifierWipesTheDataOnce) {
  APMIdentity::sharedInstance()->setAppIDFromVIZ("1:123:ios:new");
  launch();
  storeProperty("planted", 7, kMidHour);
  EXPECT_EQ(persisted_->appIDFromVIZ(), "1:123:ios:new");
  persisted_->setConfigServerETag("etag-1");

  // The same identifier again: nothing is wiped.
  launch();
  EXPECT_EQ(property("planted"), 7);
  EXPECT_EQ(persisted_->configServerETag(), "etag-1");
  EXPECT_TRUE(codes(23171, 23171).empty());

  // Another identifier was stored: the launch wipes database and persisted values, and
  // keeps the identifier it had as the previous one.
  persisted_->setAppIDFromVIZ("1:123:ios:old");
  launch();
  EXPECT_EQ(codes(23171, 23171).size(), 1u);
  EXPECT_FALSE(property("planted"));
  EXPECT_FALSE(persisted_->configServerETag());
  EXPECT_EQ(persisted_->appIDFromVIZ(), "1:123:ios:new");
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  // The wiped store reports its first open again, naming the identifier it had before.
  EXPECT_TRUE(property("_fot"));
  const auto events = storedEvents(core_);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].name, "_f");
  EXPECT_EQ(events[0].parameters.at("_pviz"), Value("1:123:ios:old"));

  launch();
  EXPECT_EQ(codes(23171, 23171).size(), 1u);
}

TEST_F(APMMeasurementLifecycleTest, AnOwedWipeIsRetriedAtEachLaunchUntilItSucceeds) {
  launch();
  storeProperty("planted", 7, kMidHour);
  // A wipe that failed at an earlier launch left the count raised.
  APMAnalytics::setResetRetryCount(4);
  launch();
  EXPECT_FALSE(property("planted"));
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);

  // Raised to ten, the count no longer asks for one.
  storeProperty("planted", 7, kMidHour);
  APMAnalytics::setResetRetryCount(10);
  launch();
  EXPECT_EQ(property("planted"), 7);
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 10);
}

TEST_F(APMMeasurementLifecycleTest, AWipeResetsTheOpenDatabaseAndReplacesTheSessionReporter) {
  launch();
  const auto reporter = core_->sessionReporter();
  ASSERT_TRUE(reporter);
  EXPECT_TRUE(reporter->isReportingEnabled());
  const auto database = core_->database();
  storeProperty("planted", 7, kMidHour);

  bool wiped = false;
  onWorker([&] { wiped = core_->wipeoutAnalyticsDataAndResetComponents(); });
  EXPECT_TRUE(wiped);
  EXPECT_FALSE(property("planted"));
  EXPECT_EQ(core_->database(), database);
  const auto replaced = core_->sessionReporter();
  ASSERT_TRUE(replaced);
  EXPECT_NE(replaced, reporter);
  EXPECT_TRUE(replaced->isReportingEnabled());

  // A disabled core's new reporter stays off.
  core_->setEnabled(false);
  onWorker([&] { wiped = core_->wipeoutAnalyticsDataAndResetComponents(); });
  EXPECT_TRUE(wiped);
  EXPECT_FALSE(core_->sessionReporter()->isReportingEnabled());
}

// Other threads (the internal API, the reporters, the data side) read the components while
// a wipe replaces them on the worker queue.
TEST_F(APMMeasurementLifecycleTest, ComponentsAreReadSafelyWhileAWipeReplacesThem) {
  launch();
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop) {
      const auto reporter = core_->sessionReporter();
      if (reporter) (void)reporter->isReportingEnabled();
      (void)core_->database();
      (void)core_->identity();
      (void)core_->remoteConfigInstance();
      (void)core_->sessionTimeoutInterval();
      ++reads;
    }
  });
  std::vector<std::shared_ptr<APMSessionReporter>> seen;
  for (int i = 0; i < 5; ++i) {
    onWorker([&] { EXPECT_TRUE(core_->wipeoutAnalyticsDataAndResetComponents()); });
    seen.push_back(core_->sessionReporter());
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], seen[i - 1]);
}

TEST_F(APMMeasurementLifecycleTest, AFirstSeenVersionIsStoredSilentlyAndTheNextOneReported) {
  const auto recorder = RecordingCore::install();
  APMAnalytics::startWithAppID(kAppID, "fa", {});
  RecordingCore::drain();
  recorder->clear();
  launch();
  EXPECT_EQ(persisted_->appVersion(), "2.0");
  ASSERT_TRUE(persisted_->osVersion());
  EXPECT_FALSE(persisted_->osVersion()->empty());
  const auto updates = [&] {
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> result;
    for (const auto& event : recorder->events()) {
      if (event.name != "_au" && event.name != "_ou") continue;
      EXPECT_EQ(event.origin, "auto");
      std::map<std::string, std::string> parameters;
      for (const auto& [name, value] : event.parameters) {
        if (value.isString()) parameters[name] = *value.asString();
      }
      result.emplace_back(event.name, parameters);
    }
    recorder->clear();
    return result;
  };
  EXPECT_TRUE(updates().empty());

  const std::string os = *persisted_->osVersion();
  persisted_->setAppVersion("1.9");
  persisted_->setOSVersion("0.1");
  launch();
  using Updates = std::vector<std::pair<std::string, std::map<std::string, std::string>>>;
  EXPECT_EQ(updates(), (Updates{{"_au", {{"_pv", "1.9"}}}, {"_ou", {{"_po", "0.1"}}}}));
  EXPECT_EQ(persisted_->appVersion(), "2.0");
  EXPECT_EQ(persisted_->osVersion(), os);

  launch();
  EXPECT_TRUE(updates().empty());
}

TEST_F(APMMeasurementLifecycleTest, AStoredCampaignLinkIsTakenOutOfTheCacheForItsReport) {
  const auto defaults = APMUserDefaults::sharedUserDefaults();
  const auto store = [&](double storedAt) {
    defaults->setObject(Value("https://example.com/?utm_source=mail"),
                        "/rerora/measurement/deep_link");
    defaults->setObject(Value(storedAt), "/rerora/measurement/deep_link_timestamp_seconds");
  };
  const double ttl = 604800;

  store(kMidHour - ttl - 1);
  auto campaign = APMMeasurement::takeStoredCampaign(*defaults, ttl);
  ASSERT_TRUE(campaign);
  EXPECT_EQ(campaign->link, "(not set)");
  EXPECT_EQ(campaign->extraParameters["utm_source"], Value("(not set)"));
  EXPECT_EQ(campaign->extraParameters["utm_medium"], Value("(not set)"));
  EXPECT_EQ(integerOf(campaign->extraParameters["_cc"]), 1);
  EXPECT_FALSE(defaults->objectForKey("/rerora/measurement/deep_link"));
  EXPECT_FALSE(defaults->objectForKey("/rerora/measurement/deep_link_timestamp_seconds"));
  EXPECT_FALSE(APMMeasurement::takeStoredCampaign(*defaults, ttl));

  // A fresh one: "_cc" is the hour before the one it was stored in.
  store(kMidHour - ttl);
  campaign = APMMeasurement::takeStoredCampaign(*defaults, ttl);
  ASSERT_TRUE(campaign);
  EXPECT_EQ(campaign->link, "https://example.com/?utm_source=mail");
  EXPECT_EQ(campaign->storedAt, kMidHour - ttl);
  EXPECT_EQ(campaign->extraParameters.size(), 1u);
  EXPECT_EQ(integerOf(campaign->extraParameters["_cc"]), 1'699'390'800'000);
  EXPECT_FALSE(defaults->objectForKey("/rerora/measurement/deep_link"));

  // Disabling collection drops an expired link and keeps a fresh one; the launch's own report
  // takes what is stored.
  launch();
  store(kMidHour - 10);
  core_->setEnabled(false);
  finish(core_);
  EXPECT_TRUE(defaults->objectForKey("/rerora/measurement/deep_link"));
  store(kMidHour - ttl - 1);
  core_->setEnabled(false);
  finish(core_);
  EXPECT_FALSE(defaults->objectForKey("/rerora/measurement/deep_link"));
  store(kMidHour - 10);
  launch();
  EXPECT_FALSE(defaults->objectForKey("/rerora/measurement/deep_link"));
}

TEST_F(APMMeasurementLifecycleTest, TheNonPersonalizedAdsPropertyIsWrittenOnlyWhenItChanges) {
  launch();
  struct Case {
    const char* name;
    std::optional<std::int64_t> stored;
    std::optional<bool> allowPersonalizedAds;
    std::optional<std::int64_t> expected;
    bool rewritten;
  };
  const Case cases[] = {
      {"stored 1, answer 1", 1, false, 1, false},
      {"none stored, answer 1", std::nullopt, false, 1, true},
      {"stored 0, answer 1", 0, false, 1, true},
      {"stored 1, answer 0", 1, true, 0, true},
      {"stored 1, no answer", 1, std::nullopt, std::nullopt, false},
      {"neither", std::nullopt, std::nullopt, std::nullopt, false},
  };
  constexpr double kStoredAt = kMidHour - 5000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    onWorker([&] {
      platform::ErrorPtr error;
      core_->database()->deleteUserAttributeWithName("_npa", &error);
    });
    if (c.stored) storeProperty("_npa", *c.stored, kStoredAt);
    persisted_->setAllowPersonalizedAds(
        c.allowPersonalizedAds ? std::optional<Value>(*c.allowPersonalizedAds) : std::nullopt);
    const std::size_t removals = codes(23180, 23180).size();
    onWorker([&] { core_->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
    EXPECT_EQ(property("_npa"), c.expected);
    if (c.expected) {
      EXPECT_EQ(propertySetTime("_npa") != kStoredAt, c.rewritten);
    }
    EXPECT_EQ(codes(23180, 23180).size() - removals, c.stored && !c.allowPersonalizedAds ? 1u : 0u);
  }
}

TEST_F(APMMeasurementLifecycleTest, TheSessionNumberIsBackFilledFromTheSessionStartCount) {
  launch(false);
  core_->setEnabled(true);
  finish(core_);
  ASSERT_EQ(persisted_->sessionNumber(), 1);
  onWorker([&] {
    platform::ErrorPtr error;
    const auto aggregates = APMEventAggregates::initWithName("_s", 6, 0, 0, 0);
    ASSERT_TRUE(core_->database()->updateEventAggregates(aggregates.get(), &error));
  });
  persisted_->setSessionNumber(3);
  onWorker([&] { core_->backfillSessionNumber(); });
  EXPECT_EQ(persisted_->sessionNumber(), 3);
  persisted_->setSessionNumber(0);
  onWorker([&] { core_->backfillSessionNumber(); });
  EXPECT_EQ(persisted_->sessionNumber(), 6);
}

TEST_F(APMMeasurementLifecycleTest, FileAttributesAreReadForAnExistingPathOnly) {
  launch(false);
  EXPECT_FALSE(core_->fileAttributesForPath(""));
  EXPECT_FALSE(core_->fileAttributesForPath((home_.path() / "missing").string()));
  EXPECT_EQ(codes(23022, 23022).size(), 1u);
  const auto attributes = core_->fileAttributesForPath(home_.path().string());
  ASSERT_TRUE(attributes);
  EXPECT_EQ((*attributes)["NSFileType"], Value("NSFileTypeDirectory"));
}

// Sessions through the shared core, whose reporter logs through the internal API.
class APMMeasurementSessionTest : public APMMeasurementLifecycleTest {
 protected:
  void SetUp() override {
    APMMeasurementLifecycleTest::SetUp();
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    RecordingCore::drain();
    shared_ = APMMeasurement::sharedInstance();
    ASSERT_TRUE(shared_);
    finish(shared_);
    ASSERT_TRUE(shared_->sessionReporter());
    recorder_->clear();
  }
  void advance(double seconds) {
    clock_.advance(seconds);
    platform::RunLoop::drain();
  }
  // The session events since the last call, with their integer parameters.
  std::vector<std::pair<std::string, std::map<std::string, std::int64_t>>> logged() {
    std::vector<std::pair<std::string, std::map<std::string, std::int64_t>>> result;
    for (const auto& event : recorder_->events()) {
      if (event.name != "_s" && event.name != "_e") continue;
      std::map<std::string, std::int64_t> parameters;
      for (const auto& [name, value] : event.parameters) {
        if (name == "_sid" || name == "_sno" || name == "_et") parameters[name] = integerOf(value);
      }
      result.emplace_back(event.name, parameters);
    }
    recorder_->clear();
    return result;
  }
  using Logged = std::vector<std::pair<std::string, std::map<std::string, std::int64_t>>>;

  std::shared_ptr<RecordingCore> recorder_ = RecordingCore::install();
  std::shared_ptr<APMMeasurement> shared_;
};

TEST_F(APMMeasurementSessionTest, ANewSessionStartsAfterMoreThanThirtyMinutesAway) {
  const auto persisted = APMPersistedConfig::sharedInstance();
  const std::int64_t number = persisted->sessionNumber();
  ASSERT_GE(number, 1);
  const auto reporter = shared_->sessionReporter();
  reporter->handleAppWillResignActiveWithScreen(nullptr);
  logged();

  advance(1800);
  reporter->handleAppDidBecomeActive();
  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(persisted->sessionNumber(), number);

  reporter->handleAppWillResignActiveWithScreen(nullptr);
  logged();
  advance(1801);
  reporter->handleAppDidBecomeActive();
  const std::int64_t started = static_cast<std::int64_t>(kMidHour) + 3601;
  EXPECT_EQ(logged(), (Logged{{"_s", {{"_sid", started}, {"_sno", number + 1}}}}));
  EXPECT_EQ(persisted->sessionNumber(), number + 1);
  const auto events = storedEvents(shared_);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().name, "_s");
  EXPECT_EQ(events.back().integer("_sno"), number + 1);
  EXPECT_EQ(events.back().integer("_sid"), started);
}

TEST_F(APMMeasurementSessionTest, ActivityIsReportedOncePerHourWhileCollectionIsOn) {
  const auto reporter = shared_->sessionReporter();
  reporter->handleAppDidBecomeActive();
  logged();
  advance(3600);
  advance(3600);
  EXPECT_EQ(logged(), (Logged{{"_e", {{"_et", 3'600'000}}}, {"_e", {{"_et", 3'600'000}}}}));
  std::vector<std::int64_t> engagement;
  for (const Stored& event : storedEvents(shared_)) {
    if (event.name == "_e") engagement.push_back(event.integer("_et").value_or(-1));
  }
  // After the first open's own engagement of 1 ms.
  EXPECT_EQ(engagement, (std::vector<std::int64_t>{1, 3'600'000, 3'600'000}));

  // Collection off switches the core's reporter off with it.
  shared_->setEnabled(false);
  finish(shared_);
  EXPECT_FALSE(shared_->sessionReporter()->isReportingEnabled());
  advance(3600);
  EXPECT_TRUE(logged().empty());
}

}  // namespace
