#include "analytics/data/APMInfoPlistFileUtil.h"

#include "platform/bundle.h"
#include "platform/plist.h"

std::optional<std::string> APMInfoPlistFileUtil::reroraServiceInfoPlistPath() {
  // The code and the app share the main bundle here, so there is no second bundle to ask.
  const auto path = platform::Bundle::main().pathForResource("ReroraService-Info", "plist");
  if (!path) return std::nullopt;
  return path->string();
}

std::optional<platform::Dictionary> APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist() {
  const auto path = reroraServiceInfoPlistPath();
  if (!path) return std::nullopt;
  return platform::plist::readDictionaryFile(*path);
}
