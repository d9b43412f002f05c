#include "analytics/engine/APMMeasurement.h"

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: lines may still be on their way at exit.
  static const auto* const shared = new std::shared_ptr<APMMonitor>(std::make_shared<APMMonitor>());
  return *shared;
}
