#include "analytics/engine/DAVOdazarado.h"

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/tests/recording_core.h"
#include "analytics/messages/APMServices.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/VEVEza.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZIVAzudezu.h"
#include "foundation/tests/log_capture.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::RecordingCore;

class DAVOdazaradoTest : public testing_support::TemporaryHomeTest {
 protected:
  void TearDown() override { APMMeasurement::setRecorder(nullptr); }

  static void configure() {
    VEVEza::configureWithOptions(ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  }

  // Monitor lines pass through the monitor's queue first; a line logged after the others
  // arrives after them.
  static void waitForMonitorLines(LogCapture& capture) {
    APMMeasurement::monitor()->logWithLevel(0, 1, "end of lines");
    ASSERT_TRUE(capture.waitFor("end of lines"));
  }

  std::shared_ptr<RecordingCore> sink_ = RecordingCore::install();
};

TEST_F(DAVOdazaradoTest, EventBeforeConfigureIsDroppedAndLogged) {
  LogCapture capture;
  DAVOdazarado::logEventWithName("app_launch", {{"timestamp", 1700000000}});
  waitForMonitorLines(capture);

  EXPECT_TRUE(sink_->events().empty());
  const auto entries = capture.entries();
  ASSERT_GE(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "10.27.0 - <DedArorarivuva>[I-ACS025018] Event not logged. Call "
                                "+[VEVEza configure]: app_launch");
  EXPECT_EQ(entries[0].level, platform::SystemLog::Warning);
}

TEST_F(DAVOdazaradoTest, EventAfterConfigureReachesTheCoreWithItsOrigin) {
  configure();
  LogCapture capture;
  const platform::Dictionary parameters{{"screen_name", "rename"}, {"count", 3}};
  DAVOdazarado::logEventWithName("drop_files", parameters);
  DAVOdazarado::logEventWithOrigin("auto", "internal", {});
  waitForMonitorLines(capture);

  const auto events = sink_->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(events[0].name, "drop_files");
  EXPECT_EQ(events[0].parameters, parameters);
  EXPECT_EQ(events[1].origin, "auto");
  EXPECT_EQ(events[1].name, "internal");
  EXPECT_FALSE(capture.contains("I-ACS025018"));
}

TEST_F(DAVOdazaradoTest, UserIDIsForwardedWhetherOrNotConfigured) {
  DAVOdazarado::setUserID("8F0C1D2E-0000-4000-8000-000000000001");
  configure();
  DAVOdazarado::setUserID(std::nullopt);
  EXPECT_EQ(sink_->userIDs(), (std::vector<std::optional<std::string>>{
                                  "8F0C1D2E-0000-4000-8000-000000000001", std::nullopt}));
}

TEST_F(DAVOdazaradoTest, WithoutARecorderEverythingIsDroppedQuietly) {
  APMMeasurement::setRecorder(nullptr);
  configure();
  LogCapture capture;
  DAVOdazarado::logEventWithName("app_launch", {});
  DAVOdazarado::setUserID("someone");
  waitForMonitorLines(capture);
  EXPECT_EQ(capture.lines().size(), 1u);  // the end marker only
  EXPECT_TRUE(sink_->events().empty());
}

TEST_F(DAVOdazaradoTest, GuardedOperationsNeedTheDefaultApp) {
  analytics_test::ScopedMonitor monitor;
  DAVOdazarado::setUserPropertyString("x", "favourite");
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c");
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithPhoneNumber("+100");
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(platform::Data());
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(platform::Data());
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor->lines()) {
    EXPECT_EQ(line.level, 3);
    codes.push_back(line.messageCode);
  }
  EXPECT_EQ(codes, (std::vector<std::int64_t>{25019, 25051, 25052, 25053, 25054}));
  EXPECT_EQ(monitor->lines()[0].contexts, platform::Array{"favourite"});
}

TEST_F(DAVOdazaradoTest, OnDeviceConversionHandsOnEmptyValuesForNone) {
  configure();
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithPhoneNumber("");
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(std::nullopt);
  DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(std::nullopt);
  EXPECT_EQ(sink_->userData(), (std::vector<platform::Dictionary>{
                                   {{"email_address", ""}},
                                   {{"phone_number", ""}},
                                   {{"hashed_email_address", platform::Data()}},
                                   {{"hashed_phone_number", platform::Data()}},
                               }));
}

TEST_F(DAVOdazaradoTest, StartOptionsCarryTheConfigurationOnlyWhenThereIsOne) {
  const auto options = ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123");
  const auto without = DAVOdazarado::startOptions(nullptr, *options);
  EXPECT_EQ(without.keys(), (std::vector<std::string>{"ZIRUZADA_ANALYTICS_COLLECTION_DEACTIVATED",
                                                      "ZIRUZADA_ANALYTICS_COLLECTION_ENABLED",
                                                      "app_measurement_log_tag"}));
  EXPECT_EQ(without["app_measurement_log_tag"], platform::Value("ZiruzadaAnalytics"));
  EXPECT_EQ(without["ZIRUZADA_ANALYTICS_COLLECTION_ENABLED"],
            platform::Value(options->isAnalyticsCollectionEnabled()));
  EXPECT_EQ(without["ZIRUZADA_ANALYTICS_COLLECTION_DEACTIVATED"], platform::Value(false));

  const auto configuration = std::make_shared<DAVOdazaradoConfiguration>();
  const auto with = DAVOdazarado::startOptions(configuration, *options);
  EXPECT_EQ(with.size(), 4u);
  const auto box =
      with["ZIRUZADA_ANALYTICS_CONFIGURATION"].asObjectOf<APMAnalyticsConfigurationValue>();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->configuration(), configuration);
  EXPECT_EQ(DAVOdazarado::topLevelVersion(), "10.27.0");
}

TEST_F(DAVOdazaradoTest, ConfiguringStartsAnalyticsThroughTheRegisteredStartMethod) {
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  configure();
  RecordingCore::drain();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  EXPECT_TRUE(APMMeasurement::sharedInstance()->wasEnabledDuringInitialization());
  DAVOdazarado::sharedInstance()->logInternalEventWithOriginOnInstance("am", "_ae",
                                                                       {{"_aeid", "123"}});
  const auto events = sink_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "am");
  const auto adEventID = APMValueOf(events[0].parameters["_aeid"]);
  ASSERT_TRUE(adEventID);
  EXPECT_EQ(adEventID->int64Value(), 123);
}

class APMMonitorTest : public testing_support::TemporaryHomeTest {};

TEST_F(APMMonitorTest, LevelsDecideWhatReachesTheSharedLogger) {
  struct Case {
    std::int64_t level;
    int written;  // the shared-logger level, or 0 when not written
  } const cases[] = {
      {0, 3},  {1, 3}, {2, 0},  // errors; 2 is silent
      {3, 4},  {4, 4}, {5, 0},  // warnings; 5 is silent
      {6, 5},                   // notice
      {7, 0},                   // debug, above the default level
      {8, 0},                   // verbose, off
      {-1, 0}, {9, 0},          // outside the table: silent
  };
  LogCapture capture;
  const auto monitor = APMMeasurement::monitor();
  for (const Case& c : cases) monitor->logWithLevel(c.level, 100 + c.level, "level");
  monitor->logWithLevel(0, 999, "end");
  ASSERT_TRUE(capture.waitFor("end"));

  std::vector<platform::SystemLog::Entry> expected;
  for (const Case& c : cases) {
    if (c.written == 0) continue;
    expected.push_back({c.written, platform::format("10.27.0 - <DedArorarivuva>[I-ACS%06ld] level",
                                                    {100 + c.level})});
  }
  expected.push_back({3, "10.27.0 - <DedArorarivuva>[I-ACS000999] end"});
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(entries[i].level, expected[i].level) << entries[i].message;
    EXPECT_EQ(entries[i].message, expected[i].message);
  }
}

TEST_F(APMMonitorTest, OnceLoadedItIsTheMonitorOfTheWireMessagesAndTheData) {
  APMMeasurement::load();
  const auto monitor = APMMeasurement::monitor();
  EXPECT_EQ(APMServicesMonitor().get(), monitor.get());
  EXPECT_FALSE(APMServicesMonitor()->isDebugModeEnabled());
  monitor->setDebugModeEnabled(true);
  EXPECT_TRUE(APMServicesMonitor()->isDebugModeEnabled());

  LogCapture capture;
  APMServicesMonitor()->logWithLevel(0, 850002, "Flag value is invalid", {"Data"});
  ASSERT_TRUE(capture.waitFor("[I-ACS850002] Flag value is invalid: Data"));
}

TEST_F(APMMonitorTest, DebugLinesFollowTheSharedLoggerLevel) {
  ZIRLoggerSetLevel(7);
  LogCapture capture;
  APMMeasurement::monitor()->logWithLevel(7, 24000, "Debug mode is on");
  ASSERT_TRUE(capture.waitFor("[I-ACS024000] Debug mode is on"));
  EXPECT_EQ(capture.entries()[0].level, platform::SystemLog::Debug);
}

TEST_F(APMMonitorTest, TextShowsMessageAndContextsAndKeepsPercentSigns) {
  struct Case {
    std::optional<std::string> message;
    platform::Array contexts;
    std::string text;
  } const cases[] = {
      {"Plain", {}, "Plain"},
      {std::nullopt, {}, "(Message was nil)"},
      {"", {}, "(Message was empty)"},
      {"With", {"name", 12, platform::Value()}, "With: name, 12, (nil)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMMonitor::stringWithLogMessage(c.message, c.contexts), c.text);
  }

  LogCapture capture;
  const auto monitor = APMMeasurement::monitor();
  monitor->setLogTag("ZiruzadaAnalytics");
  monitor->logWithLevel(0, 25001, "100% of %@ done", {"50%"});
  ASSERT_TRUE(capture.waitFor("I-ACS025001"));
  EXPECT_EQ(capture.lines()[0], "10.27.0 - ZiruzadaAnalytics[I-ACS025001] 100% of %@ done: 50%");
}

TEST(APMMonitorLevels, DescriptionsAndSharedLoggerLevels) {
  const char* const descriptions[] = {"ERROR",   "ERROR",   "ERROR",  "WARNING",
                                      "WARNING", "WARNING", "NOTICE", "DEBUG"};
  for (int level = 0; level < 8; ++level) {
    EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(level), descriptions[level]);
  }
  EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(8), std::nullopt);
  EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(-1), std::nullopt);
  EXPECT_EQ(APMMonitor::ZULLoggerLevelFromLogLevel(8), 7);
  EXPECT_EQ(APMMonitor::ZULLoggerLevelFromLogLevel(42), 4);
  EXPECT_TRUE(APMMonitor::isSilentLevel(42));
  EXPECT_FALSE(APMMonitor::isSilentLevel(8));
}

}  // namespace
