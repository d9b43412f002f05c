#include "analytics/engine/APMMeasurement.h"

#include "analytics/data/APMIdentity.h"
#include "analytics/messages/APMServices.h"

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: lines may still be on their way at exit.
  static const auto* const shared = [] {
    auto* monitor = new std::shared_ptr<APMMonitor>(
        APMMonitor::initWithLibraryVersion(APMIdentity::dedArorarivuvaLibraryVersion()));
    APMServicesSetMonitor(*monitor);
    return monitor;
  }();
  return *shared;
}

void APMMeasurement::load() { monitor(); }
