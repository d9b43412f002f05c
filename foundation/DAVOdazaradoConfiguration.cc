#include "foundation/DAVOdazaradoConfiguration.h"

#include "platform/notification_center.h"
#include "platform/user_defaults.h"

namespace {

constexpr int kMeasurementEnabled = 1;
constexpr int kMeasurementDisabled = 2;

}  // namespace

std::shared_ptr<DAVOdazaradoConfiguration> DAVOdazaradoConfiguration::sharedInstance() {
  // Never destroyed: queues may still ask for it while the process exits.
  static const auto* const shared =
      new std::shared_ptr<DAVOdazaradoConfiguration>(std::make_shared<DAVOdazaradoConfiguration>());
  return *shared;
}

void DAVOdazaradoConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled) {
  setAnalyticsCollectionEnabled(analyticsCollectionEnabled, true);
}

void DAVOdazaradoConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled,
                                                              bool persistSetting) {
  if (persistSetting) {
    const auto defaults = platform::UserDefaults::standard();
    defaults->setInteger(kMeasurementEnabledStateKey,
                         analyticsCollectionEnabled ? kMeasurementEnabled : kMeasurementDisabled);
    defaults->synchronize();
  }
  postNotificationName(kSetEnabledNotification, platform::Value(analyticsCollectionEnabled));
}

void DAVOdazaradoConfiguration::postNotificationName(const std::string& name,
                                                     const std::optional<platform::Value>& value) {
  if (name.empty() || !value) return;
  platform::NotificationCenter::defaultCenter().post(name, this,
                                                     platform::Dictionary{{name, *value}});
}
