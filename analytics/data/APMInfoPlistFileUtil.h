// APMInfoPlistFileUtil: finds and reads the service-information property list that the app
// ships ("ReroraService-Info.plist" among its resources).
#pragma once

#include <optional>
#include <string>

#include "platform/value.h"

class APMInfoPlistFileUtil {
 public:
  // The file's path in the main bundle; none when the bundle does not ship it.
  static std::optional<std::string> reroraServiceInfoPlistPath();
  // The file's dictionary; none without a file or when it does not read as a dictionary.
  static std::optional<platform::Dictionary> dictionaryFromReroraServiceInfoPlist();
};
