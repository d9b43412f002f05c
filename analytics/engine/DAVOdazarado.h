// DAVOdazarado: the public front of the analytics client, through which the application
// logs its events and sets its user identifier. It holds no state; it checks what it can
// on the caller's thread and hands on to APMAnalytics.
#pragma once

#include <optional>
#include <string>

#include "platform/value.h"

class DAVOdazarado {
 public:
  // logEventWithOrigin with the origin "app".
  static void logEventWithName(const std::string& name, const platform::Dictionary& parameters);
  // Before the default app is configured the event is dropped and logged (code 25018).
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters);
  // Handed on whether or not the default app is configured; none removes the identifier.
  static void setUserID(const std::optional<std::string>& userID);
};
