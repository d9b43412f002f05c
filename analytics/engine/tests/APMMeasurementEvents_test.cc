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
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/data/tests/remote_config_test_support.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/date.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

// Hands the core the components its start would set up, so that each case sees only the
// events it logs itself.
class APMMeasurementEventsTestAccess {
 public:
  static void setComponents(APMMeasurement& core, std::shared_ptr<APMIdentity> identity,
                            std::shared_ptr<APMDatabase> database,
                            std::shared_ptr<APMRemoteConfig> remoteConfig,
                            std::shared_ptr<APMSessionReporter> sessionReporter) {
    core.setComponents(std::move(identity), std::move(database), std::move(remoteConfig),
                       std::move(sessionReporter));
  }
};

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

// The error events ("_err") the pipeline logs, by their codes.
class ErrorEvents : public APMInternalEventLogging {
 public:
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const Dictionary& parameters) override {
    if (origin != "auto" || name != "_err") return;
    std::lock_guard lock(mutex_);
    const Value& code = parameters["_err"];
    const auto typed = APMValueOf(code);
    codes_.push_back(typed ? typed->int64Value() : code.integerValue());
  }
  std::vector<std::int64_t> codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> codes_;
};

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
    APMSetInternalEventLogging(errorEvents_);
    persisted_ = APMPersistedConfig::initWithSuiteName("pipeline-test");
    ASSERT_TRUE(persisted_);
    ErrorPtr error;
    database_ = APMDatabase::initWithDatabaseName(kDatabaseName, persisted_, &error);
    ASSERT_TRUE(database_) << (error ? error->description() : "");
    identity_ = APMIdentity::initWithPersistedConfig(persisted_);
    ASSERT_TRUE(identity_);
    reporter_ = APMSessionReporter::initWithPersistedConfig(persisted_);
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

  // A core over this case's database, with a fresh configuration unless one is given.
  void makeCore(const std::optional<Array>& safelist,
                std::shared_ptr<APMRemoteConfig> config = nullptr) {
    if (core_) drain();
    if (!config) config = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
    ASSERT_TRUE(config);
    config_ = config;
    auto scheduler = std::make_shared<APMScheduler>("pipeline.test.worker");
    auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer");
    core_ = APMMeasurement::initWithDatabaseName(kDatabaseName, persisted_, nullptr, scheduler,
                                                 alarm, kAppID, true, false, safelist, nullptr);
    ASSERT_TRUE(core_);
    drain();
    APMMeasurementEventsTestAccess::setComponents(*core_, identity_, database_, config_, reporter_);
    APMMeasurementSetRemoteConfig(config_);
    APMMeasurementSetSharedInstance(core_);
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
    for (const auto& line : monitor_->lines()) result.push_back(line.messageCode);
    return result;
  }
  bool logged(std::int64_t code) const {
    for (const auto& line : monitor_->lines()) {
      if (line.messageCode == code) return true;
    }
    return false;
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(kStart)};
  // The engine's monitor installs itself when first made (by the listeners' notification, for
  // one): made here, before the recording monitor takes its place.
  const std::shared_ptr<APMMonitor> engineMonitor_ = APMMeasurement::monitor();
  ScopedMonitor monitor_;
  std::shared_ptr<ErrorEvents> errorEvents_ = std::make_shared<ErrorEvents>();
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

TEST_F(APMMeasurementEventsTest, ADisabledCoreStoresNothing) {
  onWorker([&] { core_->setEnabledOnWorkerQueue(false); });
  handle("drop_files");
  EXPECT_TRUE(stored().empty());
  EXPECT_TRUE(logged(23049));
}

}  // namespace
