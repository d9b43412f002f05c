#include "analytics/engine/APMMeasurement.h"

#include "analytics/messages/APMServices.h"

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: lines may still be on their way at exit.
  static const auto* const shared = [] {
    auto* monitor = new std::shared_ptr<APMMonitor>(std::make_shared<APMMonitor>());
    APMServicesSetMonitor(*monitor);
    return monitor;
  }();
  return *shared;
}

void APMMeasurement::load() { monitor(); }
