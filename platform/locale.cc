#include "platform/locale.h"

#include <cstdlib>

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

}  // namespace platform
