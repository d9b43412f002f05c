// APMNotificationNames: the platform's application and window notification names, as the
// analytics reporters observe them.
#pragma once

#include <string>

std::string APMDidBecomeActiveNotificationName();
std::string APMDidFinishLaunchingNotificationName();
std::string APMWillResignActiveNotificationName();
std::string APMWindowDidResignKeyNotificationName();
