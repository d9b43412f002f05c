// APMEnvironmentInfo: the device model, OS version, preferred language and time-zone offset
// as they go into upload bundles.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"

class APMEnvironmentInfo {
 public:
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();
  // Over the machine's model identifier; another source lets a machine that gives none be
  // stood in for.
  explicit APMEnvironmentInfo(std::function<std::string()> deviceModelSource = nullptr);

  // Worked out at the first call (logged when empty) and kept.
  std::string deviceModel();
  std::string deviceOSVersion();
  // The first preferred language, lower-cased; none (logged) when there is none.
  std::optional<std::string> userDefaultLanguage();
  // The local time zone's current offset from GMT in minutes.
  std::int32_t timeZoneOffsetMinutes();

  static std::optional<std::string>
  userDefaultLanguageFromPreferredLanguages(const std::vector<std::string>& languages);
  // Seconds east of GMT to minutes, truncated toward zero.
  static std::int32_t timeZoneOffsetMinutesFromSeconds(std::int64_t secondsFromGMT);

 private:
  const std::function<std::string()> deviceModelSource_;
  platform::Once deviceModelOnce_;
  std::string deviceModel_;
};
