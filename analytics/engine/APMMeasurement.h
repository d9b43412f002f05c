// APMMeasurement: the measurement core of the analytics client; for now only the way to
// the shared monitor that every analytics class logs through.
#pragma once

#include <memory>

#include "analytics/engine/APMMonitor.h"

class APMMeasurement {
 public:
  // The one monitor of the process, created on first use.
  static std::shared_ptr<APMMonitor> monitor();
};
