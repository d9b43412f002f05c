// Locale: the user's current locale identifier ("en_US"), read from the environment the
// way the C library chooses the locale of messages.
#pragma once

#include <string>
#include <string_view>

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
};

}  // namespace platform
