#include "analytics/data/APMEnvironmentInfo.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "analytics/data/APMAEU.h"
#include "analytics/messages/APMServices.h"
#include "platform/clock.h"
#include "platform/locale.h"

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  // Never destroyed: worker queues may still ask for it while the process exits.
  static const std::shared_ptr<APMEnvironmentInfo>& instance =
      *new std::shared_ptr<APMEnvironmentInfo>(std::make_shared<APMEnvironmentInfo>());
  return instance;
}

APMEnvironmentInfo::APMEnvironmentInfo(std::function<std::string()> deviceModelSource)
    : deviceModelSource_(deviceModelSource ? std::move(deviceModelSource)
                                           : std::function<std::string()>(&APMAEU::deviceModel)) {}

std::string APMEnvironmentInfo::deviceModel() {
  deviceModelOnce_.call([this] {
    deviceModel_ = deviceModelSource_();
    if (deviceModel_.empty()) {
      const int error = errno;
      APMServicesMonitor()->logWithLevel(2, 14000, "Failed to get device model",
                                         {platform::Value(std::strerror(error))});
    }
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() { return APMAEU::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() {
  std::optional<std::string> language =
      userDefaultLanguageFromPreferredLanguages(platform::Locale::preferredLanguages());
  if (!language) {
    APMServicesMonitor()->logWithLevel(2, 14001, "Failed to get preferred language");
  }
  return language;
}

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguageFromPreferredLanguages(
    const std::vector<std::string>& languages) {
  if (languages.empty()) return std::nullopt;
  std::string language = languages.front();
  for (char& c : language) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return language;
}

std::int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() {
  return timeZoneOffsetMinutesFromSeconds(
      platform::TimeZone::localSecondsFromGMT(platform::Clock::current().now()));
}

std::int32_t APMEnvironmentInfo::timeZoneOffsetMinutesFromSeconds(std::int64_t secondsFromGMT) {
  return static_cast<std::int32_t>(secondsFromGMT / 60);
}
