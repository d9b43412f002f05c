// Locale: the user's current locale identifier ("en_US") and preferred languages, read from
// the environment the way the C library chooses the locale of messages; TimeZone: the local
// time zone's offset from GMT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date.h"

namespace platform {

class Locale {
 public:
  // The identifier of the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty,
  // read afresh at each call. "" when none is set or the locale is "C" or "POSIX": those
  // name neither a language nor a region, so there is no identifier to give.
  static std::string currentIdentifier();

  // The identifier in a POSIX locale name: the name without its ".codeset" and
  // "@modifier" parts ("en_US.UTF-8" → "en_US", "de_DE@euro" → "de_DE", "fr" → "fr"),
  // and "" for "C", "POSIX", "C.UTF-8" and the empty name.
  static std::string identifierFromPOSIXName(std::string_view name);

  // The user's preferred languages, most wanted first, as tags ("en-GB"): each entry of
  // LANGUAGE (colon-separated), then the locale of LC_ALL, LC_MESSAGES or LANG; read afresh
  // at each call, repeats and "C"/"POSIX" left out. Empty when nothing names a language.
  static std::vector<std::string> preferredLanguages();
  static std::vector<std::string> preferredLanguagesFrom(std::optional<std::string_view> language,
                                                         std::string_view localeName);
  // "en_GB.UTF-8" → "en-GB", "fr" → "fr"; "" where identifierFromPOSIXName gives "".
  static std::string languageTagFromPOSIXName(std::string_view name);
};

class TimeZone {
 public:
  // Seconds east of GMT of the local time zone (TZ, else the system's) at that moment.
  static std::int64_t localSecondsFromGMT(Date at);
};

}  // namespace platform
