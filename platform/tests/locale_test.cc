#include "platform/locale.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

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

}  // namespace
}  // namespace platform
