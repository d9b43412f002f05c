#include "vilmo/UsageEvents.h"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "platform/plist.h"
#include "platform/process_info.h"
#include "platform/uuid.h"
#include "tests/support/main_queue.h"
#include "vilmo/tests/content_view_test_support.h"

namespace {

using vilmo_test::AppEnvironmentTest;

const char* const kCommonKeys[] = {"country", "os_version", "app_version", "device_id",
                                   "device_type"};

TEST(UsageEventsTest, CountryIsTheLastPieceOfTheLocaleIdentifier) {
  struct Case {
    const char* identifier;
    const char* country;
  } cases[] = {
      {"en_US", "US"},      {"en", "en"},   {"", "unknown"}, {"_", "unknown"},
      {"zh_Hant_TW", "TW"}, {"en__", "en"}, {"__GB", "GB"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(countryFromLocaleIdentifier(c.identifier), c.country) << c.identifier;
  }
}

TEST(UsageEventsTest, ScreenNamesCountFromTheFlowsFirstStep) {
  EXPECT_EQ(renameScreenName(1001), "rename_step_1");
  EXPECT_EQ(renameScreenName(1003), "rename_step_3");
  EXPECT_EQ(reorgScreenName(2002), "reorg_step_2");
  EXPECT_EQ(renameScreenName(-1), "rename_step_-1001");
  // The difference stays exact where it leaves the 64-bit range.
  EXPECT_EQ(renameScreenName(std::numeric_limits<std::int64_t>::min()),
            "rename_step_-9223372036854776808");
  EXPECT_EQ(reorgScreenName(std::numeric_limits<std::int64_t>::max()),
            "reorg_step_9223372036854773807");
}

class UsageEventsEnvironmentTest : public AppEnvironmentTest {};

TEST_F(UsageEventsEnvironmentTest, CommonParameters) {
  setenv("LC_ALL", "de_CH.UTF-8", 1);
  platform::Dictionary common = commonEventParameters();
  unsetenv("LC_ALL");

  EXPECT_EQ(common.keys(),
            std::vector<std::string>(std::begin(kCommonKeys), std::end(kCommonKeys)));
  EXPECT_EQ(common["country"], platform::Value("CH"));
  EXPECT_EQ(common["os_version"],
            platform::Value(platform::ProcessInfo::processInfo().operatingSystemVersionString()));
  EXPECT_EQ(common["app_version"], platform::Value("1.0.0"));
  EXPECT_EQ(common["device_type"], platform::Value("Mac"));
  ASSERT_TRUE(common["device_id"].isString());
  EXPECT_EQ(platform::UUID::fromString(*common["device_id"].asString())->string(),
            *common["device_id"].asString());
}

TEST_F(UsageEventsEnvironmentTest, CountryIsUnknownWithoutALocale) {
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(commonEventParameters()["country"], platform::Value("unknown"));
  unsetenv("LC_ALL");
}

TEST_F(UsageEventsEnvironmentTest, AppVersionIsUnknownUnlessTheBundleHasAString) {
  struct Case {
    const char* label;
    std::optional<platform::Value> version;
  } cases[] = {
      {"no key", std::nullopt},
      {"a number", platform::Value(2)},
      {"a string", platform::Value("2.5")},
  };
  for (const Case& c : cases) {
    std::filesystem::path bundle = home_.path() / c.label;
    std::filesystem::create_directories(bundle);
    platform::Dictionary info{{"CFBundleIdentifier", "com.vilmo.app"}};
    if (c.version) info.set("CFBundleShortVersionString", *c.version);
    ASSERT_TRUE(platform::plist::writeFile(info, (bundle / "Info.plist").string(),
                                           platform::plist::Format::XML));
    platform::Bundle::setMainForTesting(bundle);
    EXPECT_EQ(commonEventParameters()["app_version"],
              platform::Value(c.version && c.version->isString() ? "2.5" : "unknown"))
        << c.label;
  }
  // No Info.plist at all.
  platform::Bundle::setMainForTesting(home_.path() / "empty");
  EXPECT_EQ(commonEventParameters()["app_version"], platform::Value("unknown"));
}

TEST_F(UsageEventsEnvironmentTest, LoggedEventCarriesCommonParametersAndTimestamp) {
  testing_support::ManualClockScope clock(
      platform::Date::fromTimeIntervalSince1970(1'700'000'000.25));
  logUsageEvent("settings_start", {{"screen_name", "rename_step_2"}});

  auto events = sink_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(events[0].name, "settings_start");
  EXPECT_EQ(events[0].parameters.keys(),
            (std::vector<std::string>{"country", "os_version", "app_version", "device_id",
                                      "device_type", "timestamp", "screen_name"}));
  EXPECT_EQ(events[0].parameters["timestamp"].type(), platform::Value::Type::Double);
  EXPECT_DOUBLE_EQ(events[0].parameters["timestamp"].doubleValue(), 1'700'000'000.25);
  EXPECT_EQ(events[0].parameters["screen_name"], platform::Value("rename_step_2"));
}

TEST_F(UsageEventsEnvironmentTest, CallerParametersWinAndListsAreDropped) {
  logUsageEvent("app_close", {{"timestamp", 12},
                              {"country", "XX"},
                              {"paths", platform::Array{"a", "b"}},
                              {"total_run_time", 3.5},
                              {"flag", true}});

  auto events = sink_->events();
  ASSERT_EQ(events.size(), 1u);
  const platform::Dictionary& parameters = events[0].parameters;
  EXPECT_EQ(parameters["timestamp"].type(), platform::Value::Type::Int);
  EXPECT_EQ(parameters["timestamp"], platform::Value(12));
  EXPECT_EQ(parameters["country"], platform::Value("XX"));
  EXPECT_FALSE(parameters.contains("paths"));
  EXPECT_EQ(parameters["total_run_time"], platform::Value(3.5));
  EXPECT_EQ(parameters["flag"].type(), platform::Value::Type::Bool);
  EXPECT_EQ(parameters.size(), 5u + 1u + 2u);
}

TEST_F(UsageEventsEnvironmentTest, EveryEventHasItsOwnDeviceID) {
  logUsageEvent("app_launch");
  logUsageEvent("app_launch");
  auto events = sink_->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[0].parameters["device_id"], events[1].parameters["device_id"]);
}

}  // namespace
