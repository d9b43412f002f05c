#include "platform/locale.h"

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(LocaleTest, IdentifierFromPOSIXName) {
  struct Case {
    const char* name;
    const char* identifier;
  } cases[] = {
      {"en_US.UTF-8", "en_US"},
      {"de_DE@euro", "de_DE"},
      {"sr_RS.UTF-8@latin", "sr_RS"},
      {"fr", "fr"},
      {"zh_Hant_TW", "zh_Hant_TW"},
      {"C", ""},
      {"POSIX", ""},
      {"C.UTF-8", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Locale::identifierFromPOSIXName(c.name), c.identifier) << c.name;
  }
}

// Sets the three variables for the scope and puts back what was there.
class LocaleEnvironment {
 public:
  LocaleEnvironment(std::optional<std::string> all, std::optional<std::string> messages,
                    std::optional<std::string> lang) {
    set("LC_ALL", all);
    set("LC_MESSAGES", messages);
    set("LANG", lang);
  }
  ~LocaleEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(LocaleTest, CurrentIdentifierFollowsTheCLibraryPrecedence) {
  struct Case {
    std::optional<std::string> all, messages, lang;
    const char* identifier;
  } cases[] = {
      {"de_DE.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8", "de_DE"},
      {std::nullopt, "fr_FR.UTF-8", "en_US.UTF-8", "fr_FR"},
      {"", "", "en_GB.UTF-8", "en_GB"},  // an empty variable counts as unset
      {std::nullopt, std::nullopt, "en", "en"},
      {std::nullopt, std::nullopt, "C.UTF-8", ""},
      {"POSIX", std::nullopt, "en_US.UTF-8", ""},
      {std::nullopt, std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    LocaleEnvironment environment(c.all, c.messages, c.lang);
    EXPECT_EQ(Locale::currentIdentifier(), c.identifier)
        << c.all.value_or("-") << " " << c.messages.value_or("-") << " " << c.lang.value_or("-");
  }
}

TEST(LocaleTest, PreferredLanguages) {
  struct Case {
    std::optional<std::string> language;
    const char* localeName;
    std::vector<std::string> languages;
  } cases[] = {
      {std::nullopt, "en_GB.UTF-8", {"en-GB"}},
      {"fr_CA:fr:en", "de_DE.UTF-8", {"fr-CA", "fr", "en", "de-DE"}},
      {"de_DE::en", "de_DE@euro", {"de-DE", "en"}},  // empty entries and repeats left out
      {"", "C.UTF-8", {}},
      {std::nullopt, "", {}},
      {"POSIX:sr_RS@latin", "", {"sr-RS"}},
  };
  for (const Case& c : cases) {
    const std::optional<std::string_view> language =
        c.language ? std::optional<std::string_view>(*c.language) : std::nullopt;
    EXPECT_EQ(Locale::preferredLanguagesFrom(language, c.localeName), c.languages)
        << c.language.value_or("-") << " " << c.localeName;
  }

  LocaleEnvironment environment(std::nullopt, "pt_BR.UTF-8", "en_US.UTF-8");
  const char* old = std::getenv("LANGUAGE");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("LANGUAGE", "it", 1);
  EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"it", "pt-BR"}));
  if (saved) {
    setenv("LANGUAGE", saved->c_str(), 1);
  } else {
    unsetenv("LANGUAGE");
  }
}

TEST(TimeZoneTest, LocalOffsetFollowsTZ) {
  // 2026-01-15 and 2026-07-15, noon GMT.
  const Date winter = Date::fromTimeIntervalSince1970(1768478400);
  const Date summer = Date::fromTimeIntervalSince1970(1784116800);
  struct Case {
    const char* tz;
    Date at;
    std::int64_t seconds;
  } cases[] = {
      {"UTC0", winter, 0},
      {"<-0330>3:30", winter, -12600},
      {"<+0545>-5:45", summer, 20700},
      {"CET-1CEST,M3.5.0,M10.5.0/3", winter, 3600},
      {"CET-1CEST,M3.5.0,M10.5.0/3", summer, 7200},
  };
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(TimeZone::localSecondsFromGMT(c.at), c.seconds) << c.tz;
  }
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace platform
