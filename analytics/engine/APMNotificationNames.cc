#include "analytics/engine/APMNotificationNames.h"

#include "platform/application.h"

std::string APMDidBecomeActiveNotificationName() {
  return platform::kApplicationDidBecomeActiveNotification;
}

std::string APMDidFinishLaunchingNotificationName() {
  return platform::kApplicationDidFinishLaunchingNotification;
}

std::string APMWillResignActiveNotificationName() {
  return platform::kApplicationWillResignActiveNotification;
}

std::string APMWindowDidResignKeyNotificationName() {
  return platform::kWindowDidResignKeyNotification;
}
