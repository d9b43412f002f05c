// APMMonitorStoredState: what the monitor keeps between launches (its health sample, the move
// of that sample into the monitor's own suite, the debug and verbose flags) and how the launch
// arguments and those flags decide the switches.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMConfigStore.h"
#include "platform/value.h"

inline constexpr const char* kAPMMonitorSuiteName = "com.rerora.viz.measurement.monitor";
inline constexpr const char* kAPMHealthMonitorKey = "/rerora/measurement/health_monitor";
inline constexpr const char* kAPMMonitorMigrationStateKey =
    "/rerora/measurement/monitor_migration_state";
inline constexpr const char* kAPMDebugModeKey = "/rerora/measurement/debug_mode";
inline constexpr const char* kAPMVerboseLoggingKey = "/rerora/measurement/verbose_logging";

// What the launch decides. None leaves a switch as it is.
struct APMMonitorSwitches {
  std::optional<bool> debugMode;
  std::optional<bool> verboseLogging;
  bool deferToZIRLogger = false;

  // A switch-off argument wins over a stored flag and over a switch-on argument. The core
  // logger's own switches count only when its configuration class exists.
  static APMMonitorSwitches fromLaunch(const std::vector<std::string>& arguments,
                                       bool storedDebugMode, bool storedVerboseLogging,
                                       bool hasZIRConfiguration);
};

// Moves the sample out of the shared defaults into the monitor's suite, one step per state
// (0, then 1, then done at 2), so that an interrupted move resumes where it stopped.
void APMMonitorMigrateStoredSample(APMConfigStore& sharedDefaults, APMConfigStore& monitorSuite);
