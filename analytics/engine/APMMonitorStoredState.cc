#include "analytics/engine/APMMonitorStoredState.h"

#include <algorithm>
#include <initializer_list>

namespace {

bool holdsAny(const std::vector<std::string>& arguments, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* name) {
    return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
  });
}

}  // namespace

APMMonitorSwitches APMMonitorSwitches::fromLaunch(const std::vector<std::string>& arguments,
                                                  bool storedDebugMode, bool storedVerboseLogging,
                                                  bool hasZIRConfiguration) {
  APMMonitorSwitches switches;
  switches.deferToZIRLogger =
      hasZIRConfiguration && holdsAny(arguments, {"-ZIRDebugDisabled", "-ZIRDebugEnabled"});
  if (holdsAny(arguments, {"-noAPMAnalyticsDebugEnabled", "-noDAVOdazaradoDebugEnabled",
                           "-ZIRDebugDisabled"})) {
    switches.debugMode = false;
  } else if (storedDebugMode ||
             holdsAny(arguments, {"-APMAnalyticsDebugEnabled", "-DAVOdazaradoDebugEnabled",
                                  "-ZIRDebugEnabled"})) {
    switches.debugMode = true;
  }
  if (holdsAny(arguments,
               {"-APMAnalyticsVerboseLoggingDisabled", "-DAVOdazaradoVerboseLoggingDisabled"})) {
    switches.verboseLogging = false;
  } else if (storedVerboseLogging || holdsAny(arguments, {"-APMAnalyticsVerboseLoggingEnabled",
                                                          "-DAVOdazaradoVerboseLoggingEnabled"})) {
    switches.verboseLogging = true;
  }
  return switches;
}

void APMMonitorMigrateStoredSample(APMConfigStore& sharedDefaults, APMConfigStore& monitorSuite) {
  std::int64_t state = monitorSuite.integerForKey(kAPMMonitorMigrationStateKey);
  if (state == 0) {
    const std::optional<platform::Array> former = sharedDefaults.arrayForKey(kAPMHealthMonitorKey);
    if (former && !monitorSuite.objectForKey(kAPMHealthMonitorKey)) {
      monitorSuite.setObject(platform::Value(*former), kAPMHealthMonitorKey);
    }
    monitorSuite.setInteger(1, kAPMMonitorMigrationStateKey);
    monitorSuite.synchronize();
    state = 1;
  }
  if (state == 1) {
    sharedDefaults.removeObjectForKey(kAPMHealthMonitorKey);
    sharedDefaults.synchronize();
    monitorSuite.setInteger(2, kAPMMonitorMigrationStateKey);
    monitorSuite.synchronize();
  }
}
