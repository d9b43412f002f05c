// The analytics monitor: which levels reach the console and the health sample, the debug and
// verbose switches, context encoding, the health sample's life and its storage.

#include "analytics/engine/APMMonitor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/tests/memory_config_store.h"
#include "analytics/engine/APMAppDelegateInterceptor.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMMonitorStoredState.h"
#include "analytics/engine/APMNotificationNames.h"
#include "foundation/ZIRLogger.h"
#include "foundation/tests/log_capture.h"
#include "platform/clock.h"
#include "platform/process_info.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Array;
using platform::Date;
using platform::Value;

constexpr double kStart = 1'700'000'000;
constexpr double kPeriod = 3600;

class MonitorTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    platform::ProcessInfo::setArgumentsForTesting({"vilmo"});
    platform::Clock::install(clock_);
  }
  void TearDown() override {
    platform::Clock::install(nullptr);
    platform::ProcessInfo::setArgumentsForTesting({"vilmo"});
    ZIRLoggerSetLevel(ZULLoggerLevelNotice);
  }

  std::shared_ptr<APMMonitor> makeMonitor() {
    APMMonitor::Environment environment;
    environment.isFromAppStore = [this] { return fromAppStore_; };
    environment.classExists = [this](std::string_view name) {
      return hasZIRConfiguration_ && name == "ZIRConfiguration";
    };
    environment.sharedDefaults = shared_;
    environment.monitorDefaults = suite_;
    environment.randomBelow = [this](std::uint64_t bound) {
      std::lock_guard lock(mutex_);
      bounds_.push_back(bound);
      return bound == replaceAtPopulation_ ? 0 : bound - 1;
    };
    return APMMonitor::initWithLogLevel(6, std::make_shared<APMASLLogger>(), 102700, environment);
  }

  // Waits for everything the monitor queued; a dispatch inside the period changes nothing.
  static void drain(APMMonitor& monitor) {
    monitor.monitoringDataForDispatchWithSamplePeriod(1e12, 0);
  }

  std::shared_ptr<platform::ManualClock> clock_ =
      std::make_shared<platform::ManualClock>(Date::fromTimeIntervalSince1970(kStart));
  std::shared_ptr<MemoryConfigStore> shared_ = std::make_shared<MemoryConfigStore>();
  std::shared_ptr<MemoryConfigStore> suite_ = std::make_shared<MemoryConfigStore>();
  bool fromAppStore_ = false;
  bool hasZIRConfiguration_ = false;
  std::mutex mutex_;
  std::vector<std::uint64_t> bounds_;
  std::uint64_t replaceAtPopulation_ = 0;
};

TEST_F(MonitorTest, LevelsDecideConsoleAndSampleUnderTheSwitches) {
  struct Case {
    std::int64_t level;
    bool debug;
    bool verbose;
    bool written;
    bool sampled;
  } const cases[] = {
      {0, false, false, true, false}, {1, false, false, true, true},
      {2, false, false, false, true}, {2, true, false, false, true},
      {4, false, false, true, true},  {5, true, false, false, true},
      {6, false, false, true, false}, {7, false, false, false, false},
      {7, true, false, true, false},  {8, true, false, false, false},
      {8, false, true, true, false},  {9, false, false, false, false},
      {9, false, true, false, true},  {-1, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "level " << c.level << " debug " << c.debug << " verbose " << c.verbose);
    suite_->clearAllData();
    const auto monitor = makeMonitor();
    monitor->setDebugModeEnabled(c.debug);
    monitor->setVerboseLoggingEnabled(c.verbose);
    LogCapture capture;
    monitor->logWithLevel(c.level, 777, "Probe", {Value(5)});
    monitor->logWithLevel(0, 999, "end");
    ASSERT_TRUE(capture.waitFor("[I-ACS000999] end"));
    EXPECT_EQ(capture.contains("[I-ACS000777] Probe: 5"), c.written);

    clock_->advance(kPeriod + 1);
    const auto health = monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0);
    EXPECT_EQ(health.has_value(), c.sampled);
    if (c.sampled && health) {
      const char letter = c.level == 4 || c.level == 5   ? 'W'
                          : c.level <= 2 && c.level >= 0 ? 'E'
                                                         : '?';
      EXPECT_EQ(*health, std::string("1:1") + letter + "_102700:Probe:5");
    }
  }
}

TEST_F(MonitorTest, LaunchArgumentsAndStoredFlagsSetTheSwitches) {
  struct Case {
    std::vector<std::string> arguments;
    bool storedDebug;
    bool storedVerbose;
    bool fromAppStore;
    bool debug;
    bool verbose;
    std::int64_t level;
    bool debugFlagAfter;
    bool verboseFlagAfter;
  } const cases[] = {
      {{"-DAVOdazaradoDebugEnabled", "-noDAVOdazaradoDebugEnabled"},
       true,
       false,
       false,
       false,
       false,
       6,
       false,
       false},
      {{}, true, false, false, true, false, 7, true, false},
      {{}, false, false, false, false, false, 6, false, false},
      {{"-APMAnalyticsDebugEnabled"}, false, false, false, true, false, 7, true, false},
      {{"-ZIRDebugEnabled"}, false, false, false, true, false, 7, true, false},
      {{"-ZIRDebugDisabled"}, true, false, false, false, false, 6, false, false},
      {{"-DAVOdazaradoVerboseLoggingEnabled"}, false, false, false, false, true, 8, false, true},
      {{}, false, true, false, false, true, 8, false, true},
      {{"-APMAnalyticsVerboseLoggingEnabled", "-DAVOdazaradoVerboseLoggingDisabled"},
       false,
       true,
       false,
       false,
       false,
       6,
       false,
       false},
      {{"-DAVOdazaradoDebugEnabled", "-DAVOdazaradoVerboseLoggingEnabled"},
       true,
       true,
       true,
       false,
       false,
       6,
       true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::vector<std::string> arguments{"vilmo"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    platform::ProcessInfo::setArgumentsForTesting(arguments);
    shared_->clearAllData();
    if (c.storedDebug) shared_->setBool(true, kAPMDebugModeKey);
    if (c.storedVerbose) shared_->setBool(true, kAPMVerboseLoggingKey);
    fromAppStore_ = c.fromAppStore;

    const auto monitor = makeMonitor();
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
    EXPECT_EQ(monitor->logLevel(), c.level);
    EXPECT_EQ(shared_->objectForKey(kAPMDebugModeKey).has_value(), c.debugFlagAfter);
    EXPECT_EQ(shared_->objectForKey(kAPMVerboseLoggingKey).has_value(), c.verboseFlagAfter);
  }
}

TEST_F(MonitorTest, TheCoreLoggersSwitchesDeferOnlyWithItsConfigurationClass) {
  for (const bool hasClass : {false, true}) {
    hasZIRConfiguration_ = hasClass;
    for (const char* argument :
         {"-ZIRDebugEnabled", "-ZIRDebugDisabled", "-DAVOdazaradoDebugEnabled"}) {
      platform::ProcessInfo::setArgumentsForTesting({"vilmo", argument});
      EXPECT_EQ(makeMonitor()->deferToZIRLogger(),
                hasClass && std::string(argument).rfind("-ZIR", 0) == 0)
          << argument << " " << hasClass;
    }
  }
}

TEST_F(MonitorTest, SwitchingWritesItsLinesAndMovesTheSharedLoggerLevel) {
  const auto monitor = makeMonitor();
  LogCapture capture;
  monitor->setDebugModeEnabled(true);
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));
  EXPECT_EQ(shared_->objectForKey(kAPMDebugModeKey), Value(true));
  ASSERT_TRUE(capture.waitFor("I-ACS024000"));
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "10.27.0 - <DedArorarivuva>[I-ACS024000] Debug mode is on");
  EXPECT_EQ(entries[0].level, platform::SystemLog::Debug);

  // The line of the first switch-on is dropped: verbose logging is not on yet when it is made.
  monitor->setVerboseLoggingEnabled(true);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 8);
  // Written on the monitor queue, where the shared logger's level then still lets it through.
  ASSERT_TRUE(capture.waitFor("I-ACS024003"));
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_FALSE(shared_->objectForKey(kAPMVerboseLoggingKey));

  // Switched off, the shared logger is back at notice before the debug line is made.
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));
  EXPECT_FALSE(shared_->objectForKey(kAPMDebugModeKey));
  monitor->logWithLevel(0, 999, "end");
  ASSERT_TRUE(capture.waitFor("end"));
  const auto lines = capture.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("I-ACS024003") != l.npos; }),
            1);
  EXPECT_FALSE(capture.contains("I-ACS024001"));
}

TEST_F(MonitorTest, CreationReadsNothingUntilTheFirstUse) {
  // The shared monitor is made by a class-load hook, before the bundle and the preferences
  // are in place; reading them then would fix the wrong ones for the process.
  int appStoreChecks = 0;
  APMMonitor::Environment environment;
  environment.isFromAppStore = [&] {
    ++appStoreChecks;
    return false;
  };
  environment.sharedDefaults = shared_;
  environment.monitorDefaults = suite_;
  shared_->setBool(true, kAPMDebugModeKey);
  const auto monitor =
      APMMonitor::initWithLogLevel(6, std::make_shared<APMASLLogger>(), 102700, environment);
  EXPECT_EQ(appStoreChecks, 0);
  monitor->logWithLevel(6, 1, "first use");
  EXPECT_EQ(appStoreChecks, 1);
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(appStoreChecks, 1);
}

TEST_F(MonitorTest, AnAppStoreBuildNeverSwitchesOn) {
  fromAppStore_ = true;
  const auto monitor = makeMonitor();
  monitor->setDebugModeEnabled(true);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_FALSE(monitor->isVerboseLoggingEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(shared_->objectForKey(kAPMDebugModeKey));
}

// A store that lets a test act in the middle of a switch setter, at its stored-flag step.
class InterleavingStore : public MemoryConfigStore {
 public:
  std::function<void()> onFirstDebugFlagWrite;

  void setObject(const std::optional<Value>& value, const std::string& key) override {
    MemoryConfigStore::setObject(value, key);
    if (key == kAPMDebugModeKey && value && onFirstDebugFlagWrite) {
      std::exchange(onFirstDebugFlagWrite, nullptr)();
    }
  }
};

TEST_F(MonitorTest, ASwitchSetFromAnotherThreadMidwayWaitsForTheFirst) {
  auto store = std::make_shared<InterleavingStore>();
  shared_ = store;
  const auto monitor = makeMonitor();
  std::thread other;
  std::promise<void> otherDone;
  store->onFirstDebugFlagWrite = [&] {
    other = std::thread([&] {
      monitor->setDebugModeEnabled(false);
      otherDone.set_value();
    });
    // Guarded, the other setter cannot finish inside this one; the wait only gives it the
    // chance to, and ends unfulfilled.
    otherDone.get_future().wait_for(std::chrono::milliseconds(200));
  };
  monitor->setDebugModeEnabled(true);
  other.join();

  // The later setter took effect whole: off, level 6, no stored flag.
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(shared_->objectForKey(kAPMDebugModeKey));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));
}

TEST_F(MonitorTest, TenCallsMakeOneEntryThatDispatchesAfterThePeriod) {
  replaceAtPopulation_ = 4;  // the fourth call takes the entry's place, and no later one
  const auto monitor = makeMonitor();
  for (int i = 0; i < 10; ++i) {
    monitor->logWithLevel(i % 2 == 0 ? 1 : 4, 23000 + i, "Call " + std::to_string(i),
                          {Value("secret"), Value(250 * (i + 1))});
    clock_->advance(10);
  }
  drain(*monitor);
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(bounds_, (std::vector<std::uint64_t>{2, 3, 4, 5, 6, 7, 8, 9, 10}));
  }
  const auto stored = suite_->arrayForKey(kAPMHealthMonitorKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, (Array{Value("-,1000...9999"), Value(10), Value("1W_102700:Call 3"),
                            Value(Date::fromTimeIntervalSince1970(kStart))}));

  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0), std::nullopt);
  clock_->advance(kPeriod);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0),
            "10:1W_102700:Call 3:-,1000...9999");
  EXPECT_FALSE(suite_->objectForKey(kAPMHealthMonitorKey));
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0), std::nullopt);

  monitor->logWithLevel(2, 23001, "No context");
  clock_->advance(kPeriod + 1);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0),
            "1:1E_102700:No context");
}

TEST_F(MonitorTest, WithoutAnEntryZeroIsSentOnlyForALastSamplingOverAPeriodAway) {
  const auto monitor = makeMonitor();
  struct Case {
    double lastSampled;
    std::optional<std::string> health;
  } const cases[] = {
      {0, std::nullopt},
      {kStart - kPeriod, std::nullopt},
      {kStart - kPeriod - 1, "0:"},
      {kStart + kPeriod + 1, "0:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, c.lastSampled), c.health)
        << c.lastSampled;
  }
}

TEST(APMMonitorContexts, EncodeWithoutShowingUserData) {
  struct Case {
    Value context;
    std::string encoded;
  } const cases[] = {
      {Value(7), "7"},
      {Value(99), "99"},
      {Value(-99), "-99"},
      {Value(100), "100...999"},
      {Value(-100), "-999...-100"},
      {Value(12345), "10000...99999"},
      {Value(-250), "-999...-100"},
      {Value(true), "1"},
      {Value(3.9), "3"},
      {Value(std::int64_t{999'999'999'999'999'999}), "100000000000000000...999999999999999999"},
      {Value(std::numeric_limits<std::int64_t>::max()),
       "1000000000000000000...9999999999999999999"},
      {Value(std::numeric_limits<std::int64_t>::min()),
       "-9999999999999999999...-1000000000000000000"},
      {Value("someone@example.com"), "-"},
      {Value(""), "-"},
      {Value(), ""},
      {APMErrorContext::value(apm_errorWithCode(3, "failed")),
       "com.rerora.viz.measurement.ErrorDomain"},
      {APMErrorContext::value(platform::makeError("", 1)), "-"},
      {APMExceptionContext::value(std::out_of_range("index 4")), "std::out_of_range"},
      {APMExceptionContext::value(platform::Exception("NSInvalidArgumentException", "bad")),
       "NSInvalidArgumentException"},
      {Value(platform::Data::fromString("bytes")), "?"},
      {Value(Date::fromTimeIntervalSince1970(1)), "?"},
      {Value(Array{Value(1)}), "?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMMonitor::encodedStringWithContextObject(c.context), c.encoded)
        << c.context.description();
  }
  const Array contexts{Value("a"), Value(), Value(5)};
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, true), "-, , 5");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, false), "-,,5");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(APMMonitorContexts, ConsoleTextDescribesOrEncodes) {
  const Array contexts{Value("name"), Value(1234), Value(),
                       APMExceptionContext::value(platform::Exception("NSRangeException", "out"))};
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, contexts, false),
            "Failed: name, 1234, (nil), NSRangeException: out");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, contexts, true),
            "Failed: -, 1000...9999, , NSRangeException");
  EXPECT_EQ(APMMonitor::stringWithLogMessage(std::nullopt, 1, {}, true), "(Message was nil)");
}

TEST(APMMonitorContexts, LastAnalyticsSymbolOfACallStack) {
  struct Case {
    std::vector<std::string> symbols;
    std::optional<std::string> symbol;
  } const cases[] = {
      {{}, "NSGenericException"},
      {{"0 CoreFoundation 0x1 __exceptionPreprocess + 1", "1 libobjc 0x2 objc_exception_throw + 2"},
       "NSGenericException"},
      {{"0 a", "1 b", "2 Vilmo 0x3 -[APMDatabase open] + 12",
        "3 Vilmo 0x4 -[APMSqliteStore x] + 1"},
       "-[APMDatabase open]"},
      {{"0 a", "1 b", "2 Vilmo 0x3 main + 12", "3 Vilmo 0x4 apm_helper + 7"}, "apm_helper"},
      {{"0 a", "1 b", "2 short line", "3 Vilmo 0x5 other + 1"}, "NSGenericException"},
  };
  for (const Case& c : cases) {
    const auto exception =
        std::make_shared<const APMExceptionContext>("NSGenericException", "reason", c.symbols);
    EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(exception), c.symbol);
  }
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(nullptr), std::nullopt);
}

TEST_F(MonitorTest, MeasurementErrorContextsJoinTheSampledContext) {
  const auto monitor = makeMonitor();
  monitor->logWithLevel(
      1, 12056, "Transaction failed",
      {Value("table"),
       APMErrorContext::value(
           apm_errorWithCode(2, "Database error", Value("prepare statement,1,A"))),
       APMErrorContext::value(platform::makeError("Other", 1, {{"APMMonitorContext", "ignored"}})),
       APMErrorContext::value(apm_errorWithCode(2, "No context")),
       APMErrorContext::value(apm_errorWithCode(5, "Second", Value("bind,2")))});
  clock_->advance(kPeriod + 1);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0),
            "1:1E_102700:Transaction failed:-,com.rerora.viz.measurement.ErrorDomain,Other,"
            "com.rerora.viz.measurement.ErrorDomain,com.rerora.viz.measurement.ErrorDomain,"
            "prepare statement,1,A,bind,2");
}

TEST(APMMonitoringSampledData, TakesOnlyAnEntryOfExactlyFourTypedElements) {
  const Date when = Date::fromTimeIntervalSince1970(kStart);
  const Value key("1E_102700:message");
  struct Case {
    Array entry;
    bool valid;
  } const cases[] = {
      {{Value("-"), Value(3), key, Value(when)}, true},
      {{Value(""), Value(std::uint64_t{1}), key, Value(when)}, true},
      {{Value("-"), Value(3), key}, false},
      {{Value("-"), Value(3), key, Value(when), Value(1)}, false},
      {{Value(1), Value(3), key, Value(when)}, false},
      {{Value("-"), Value("3"), key, Value(when)}, false},
      {{Value("-"), Value(true), key, Value(when)}, false},
      {{Value("-"), Value(3.0), key, Value(when)}, false},
      {{Value("-"), Value(0), key, Value(when)}, false},
      {{Value("-"), Value(-4), key, Value(when)}, false},
      {{Value("-"), Value(std::numeric_limits<std::int64_t>::max()), key, Value(when)}, false},
      {{Value("-"), Value(3), Value(), Value(when)}, false},
      {{Value("-"), Value(3), key, Value(kStart)}, false},
      {{Value("-"), Value(3), key,
        Value(Date::fromTimeIntervalSince1970(std::numeric_limits<double>::quiet_NaN()))},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Value(c.entry).description());
    EXPECT_EQ(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(c.entry), c.valid);
    const APMMonitoringSampledData sample(c.entry);
    EXPECT_EQ(sample.sampledData().has_value(), c.valid);
  }
  EXPECT_EQ(APMMonitoringSampledData::sampledDataEntryWithKey("k", when, std::nullopt, 1),
            std::nullopt);
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 3, ""), "3:k");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 3, "-"), "3:k:-");
}

TEST(APMMonitoringSampledData, ACountAtTheLargestStopsGrowing) {
  const Date when = Date::fromTimeIntervalSince1970(kStart);
  const std::int64_t largest = std::numeric_limits<std::int32_t>::max();
  APMMonitoringSampledData sample(Array{Value("-"), Value(largest), Value("k"), Value(when)},
                                  [](std::uint64_t) { return 1; });
  sample.insertOrUpdateSampledDataWithKey("other", "");
  ASSERT_TRUE(sample.sampledData());
  EXPECT_EQ((*sample.sampledData())[1], Value(largest));
  EXPECT_EQ((*sample.sampledData())[2], Value("k"));
}

TEST(APMMonitorMigration, MovesTheEntryOneStepPerState) {
  const Array entry{Value("-"), Value(2), Value("1E_1:m"),
                    Value(Date::fromTimeIntervalSince1970(5))};
  const Array newer{Value("-"), Value(1), Value("1W_1:n"),
                    Value(Date::fromTimeIntervalSince1970(9))};
  struct Case {
    std::optional<std::int64_t> state;
    bool sharedHolds;
    bool suiteHolds;
    std::optional<Array> suiteAfter;
    bool sharedAfter;
  } const cases[] = {
      {std::nullopt, true, false, entry, false}, {0, true, true, newer, false},
      {0, false, false, std::nullopt, false},    {1, true, false, std::nullopt, false},
      {2, true, false, std::nullopt, true},      {7, true, false, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    MemoryConfigStore shared;
    MemoryConfigStore suite;
    if (c.state) suite.setInteger(*c.state, kAPMMonitorMigrationStateKey);
    if (c.sharedHolds) shared.setObject(Value(entry), kAPMHealthMonitorKey);
    if (c.suiteHolds) suite.setObject(Value(newer), kAPMHealthMonitorKey);
    APMMonitorMigrateStoredSample(shared, suite);
    EXPECT_EQ(suite.arrayForKey(kAPMHealthMonitorKey), c.suiteAfter);
    EXPECT_EQ(shared.objectForKey(kAPMHealthMonitorKey).has_value(), c.sharedAfter);
    const std::int64_t stateAfter = c.state && *c.state > 1 ? *c.state : 2;
    EXPECT_EQ(suite.integerForKey(kAPMMonitorMigrationStateKey), stateAfter);
  }
}

TEST_F(MonitorTest, AMovedEntryIsLoadedAndClearingEmptiesEverything) {
  const Array entry{Value("-"), Value(4), Value("1E_102700:Old"),
                    Value(Date::fromTimeIntervalSince1970(kStart - 10))};
  shared_->setObject(Value(entry), kAPMHealthMonitorKey);
  shared_->setBool(true, kAPMDebugModeKey);
  const auto monitor = makeMonitor();
  ASSERT_TRUE(monitor->isDebugModeEnabled());
  drain(*monitor);
  EXPECT_EQ(suite_->arrayForKey(kAPMHealthMonitorKey), entry);
  EXPECT_FALSE(shared_->objectForKey(kAPMHealthMonitorKey));

  monitor->logWithLevel(1, 1, "New");
  monitor->clearMonitoringData();
  EXPECT_FALSE(suite_->objectForKey(kAPMHealthMonitorKey));
  EXPECT_FALSE(shared_->objectForKey(kAPMDebugModeKey));
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  clock_->advance(kPeriod + 1);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(kPeriod, 0), std::nullopt);
}

TEST_F(MonitorTest, TheSharedMonitorKeepsItsSampleInItsOwnSuite) {
  const auto monitor = APMMeasurement::monitor();
  EXPECT_EQ(monitor->libraryVersion(), 102700);
  EXPECT_EQ(monitor->logLevel(), 6);
  monitor->logWithLevel(
      2, 23001, "Failed to create app metadata object. Received negative last bundle index.");
  drain(*monitor);
  APMUserDefaults suite("com.rerora.viz.measurement.monitor");
  const auto stored = suite.arrayForKey("/rerora/measurement/health_monitor");
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)[2], Value("1E_102700:Failed to create app metadata object. Received "
                                "negative last bundle index."));
}

TEST_F(MonitorTest, ConsoleLoggerForcesDebugLinesOnlyAndKeepsPercentSigns) {
  ZIRLoggerSetLevel(ZULLoggerLevelWarning);
  APMASLLogger logger;
  LogCapture capture;
  logger.logMessage("100% forced", "<T>", 24000, 7);
  logger.logMessage("notice below the level", "<T>", 23007, 6);
  logger.logMessage("verbose below the level", "<T>", 23222, 8);
  logger.logMessage("error", "<T>", 5, 0);
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "10.27.0 - <T>[I-ACS024000] 100% forced");
  EXPECT_EQ(entries[0].level, platform::SystemLog::Debug);
  EXPECT_EQ(entries[1].message, "10.27.0 - <T>[I-ACS000005] error");
  EXPECT_EQ(entries[1].level, platform::SystemLog::Error);
}

TEST(APMMonitorPlatformNames, NamesTheApplicationAndWindowNotifications) {
  EXPECT_EQ(APMDidBecomeActiveNotificationName(), "NSApplicationDidBecomeActiveNotification");
  EXPECT_EQ(APMDidFinishLaunchingNotificationName(), "NSApplicationDidFinishLaunchingNotification");
  EXPECT_EQ(APMWillResignActiveNotificationName(), "NSApplicationWillResignActiveNotification");
  EXPECT_EQ(APMWindowDidResignKeyNotificationName(), "NSWindowDidResignKeyNotification");
  const auto interceptor = APMAppDelegateInterceptor::sharedInstance();
  ASSERT_NE(interceptor, nullptr);
  EXPECT_EQ(APMAppDelegateInterceptor::sharedInstance(), interceptor);
  EXPECT_TRUE(platform::ObjectRuntime::classOf(*interceptor)
                  .conformsToProtocol(platform::kApplicationDelegateProtocolName));
}

}  // namespace
