#include "analytics/data/APMEnvironmentInfo.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMAEU.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/scoped_environment.h"

namespace {

using testing_support::ScopedEnvironment;

TEST(APMEnvironmentInfoTest, UserDefaultLanguageIsTheFirstPreferredOneLowerCased) {
  struct Case {
    std::vector<std::string> languages;
    std::optional<std::string> language;
  } cases[] = {
      {{"EN-GB", "fr"}, "en-gb"},
      {{"de"}, "de"},
      {{"zh-Hant-TW"}, "zh-hant-tw"},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMEnvironmentInfo::userDefaultLanguageFromPreferredLanguages(c.languages),
              c.language);
  }
}

TEST(APMEnvironmentInfoTest, UserDefaultLanguageFromTheEnvironment) {
  APMEnvironmentInfo info;
  {
    analytics_test::ScopedMonitor monitor;
    ScopedEnvironment language("LANGUAGE", "EN_gb:fr");
    ScopedEnvironment all("LC_ALL", std::nullopt);
    ScopedEnvironment messages("LC_MESSAGES", std::nullopt);
    ScopedEnvironment lang("LANG", "de_DE.UTF-8");
    EXPECT_EQ(info.userDefaultLanguage(), "en-gb");
    EXPECT_TRUE(monitor->lines().empty());
  }
  {
    analytics_test::ScopedMonitor monitor;
    ScopedEnvironment language("LANGUAGE", std::nullopt);
    ScopedEnvironment all("LC_ALL", "C");
    EXPECT_EQ(info.userDefaultLanguage(), std::nullopt);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].messageCode, 14001);
    EXPECT_EQ(lines[0].message, "Failed to get preferred language");
  }
}

TEST(APMEnvironmentInfoTest, TimeZoneOffsetMinutes) {
  struct Case {
    std::int64_t seconds;
    std::int32_t minutes;
  } cases[] = {{-12600, -210}, {20700, 345}, {0, 0}, {-59, 0}, {119, 1}, {-50400, -840}};
  for (const Case& c : cases) {
    EXPECT_EQ(APMEnvironmentInfo::timeZoneOffsetMinutesFromSeconds(c.seconds), c.minutes);
  }

  APMEnvironmentInfo info;
  struct Zone {
    const char* tz;
    std::int32_t minutes;
  } zones[] = {{"<-0330>3:30", -210}, {"<+0545>-5:45", 345}, {"UTC0", 0}};
  for (const Zone& zone : zones) {
    ScopedEnvironment tz("TZ", zone.tz);
    EXPECT_EQ(info.timeZoneOffsetMinutes(), zone.minutes) << zone.tz;
  }
}

TEST(APMEnvironmentInfoTest, DeviceFacts) {
  analytics_test::ScopedMonitor monitor;
  APMEnvironmentInfo info;
  const std::string model = info.deviceModel();
  EXPECT_EQ(model, APMAEU::deviceModel());
  EXPECT_FALSE(model.empty());
  EXPECT_EQ(info.deviceModel(), model);
  EXPECT_EQ(info.deviceOSVersion(), APMAEU::systemVersion());
  EXPECT_TRUE(monitor->lines().empty());
}

// A machine that names no model is reported once, with the system's error, and its empty
// model is kept rather than asked for again.
TEST(APMEnvironmentInfoTest, AMissingDeviceModelIsLoggedOnce) {
  analytics_test::ScopedMonitor monitor;
  int asked = 0;
  APMEnvironmentInfo info([&asked] {
    ++asked;
    errno = ENOENT;
    return std::string();
  });
  EXPECT_EQ(info.deviceModel(), "");
  EXPECT_EQ(info.deviceModel(), "");
  EXPECT_EQ(asked, 1);

  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].messageCode, 14000);
  EXPECT_EQ(lines[0].message, "Failed to get device model");
  ASSERT_EQ(lines[0].contexts.size(), 1u);
  EXPECT_EQ(lines[0].contexts[0], platform::Value(std::strerror(ENOENT)));
}

}  // namespace
