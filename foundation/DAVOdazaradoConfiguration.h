// DAVOdazaradoConfiguration: the process-wide switch for analytics collection, persisted
// in the standard user defaults and announced to analytics by a notification.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class DAVOdazaradoConfiguration {
 public:
  // Posted with this configuration as object and {kSetEnabledNotification: Boolean}.
  static constexpr const char* kSetEnabledNotification =
      "DAVOdazaradoConfigurationSetEnabledNotification";
  // Standard user defaults: 1 enabled, 2 disabled, absent when never set.
  static constexpr const char* kMeasurementEnabledStateKey =
      "/rerora/measurement/measurement_enabled_state";

  static std::shared_ptr<DAVOdazaradoConfiguration> sharedInstance();

  // Persists the choice and announces it.
  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled);
  // Announces the choice, and persists it only when asked to.
  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled, bool persistSetting);

  // Posts the notification with {name: value}, from this configuration; nothing when the
  // name is empty or there is no value.
  void postNotificationName(const std::string& name, const std::optional<platform::Value>& value);
};
