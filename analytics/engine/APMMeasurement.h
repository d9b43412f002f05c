// APMMeasurement: the measurement core of the analytics client; for now only the way to
// the shared monitor that every analytics class logs through.
#pragma once

#include <memory>

#include "analytics/engine/APMMonitor.h"

class APMMeasurement {
 public:
  // The one monitor of the process, created on first use; from then on it is also the
  // monitor that the wire messages and the analytics data log through.
  static std::shared_ptr<APMMonitor> monitor();
  // Class-load hook: makes the monitor before any analytics code runs.
  static void load();
};
