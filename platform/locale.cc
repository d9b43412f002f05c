#include "platform/locale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace platform {

std::string Locale::currentIdentifier() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return identifierFromPOSIXName(value);
  }
  return "";
}

std::string Locale::identifierFromPOSIXName(std::string_view name) {
  std::string_view identifier = name.substr(0, name.find_first_of(".@"));
  if (identifier == "C" || identifier == "POSIX") return "";
  return std::string(identifier);
}

std::string Locale::languageTagFromPOSIXName(std::string_view name) {
  std::string tag = identifierFromPOSIXName(name);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

std::vector<std::string> Locale::preferredLanguages() {
  const char* language = std::getenv("LANGUAGE");
  std::string_view localeName;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      localeName = value;
      break;
    }
  }
  return preferredLanguagesFrom(language ? std::optional<std::string_view>(language) : std::nullopt,
                                localeName);
}

std::vector<std::string> Locale::preferredLanguagesFrom(std::optional<std::string_view> language,
                                                        std::string_view localeName) {
  std::vector<std::string> languages;
  const auto add = [&languages](std::string_view name) {
    std::string tag = languageTagFromPOSIXName(name);
    if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end()) {
      languages.push_back(std::move(tag));
    }
  };
  if (language) {
    std::string_view rest = *language;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      add(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  add(localeName);
  return languages;
}

std::int64_t TimeZone::localSecondsFromGMT(Date at) {
  // The offset in force at that moment, daylight saving included, as the C library reads TZ.
  const std::time_t seconds = static_cast<std::time_t>(std::floor(at.timeIntervalSince1970()));
  std::tm local{};
  tzset();
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace platform
