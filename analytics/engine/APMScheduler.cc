#include "analytics/engine/APMScheduler.h"

#include <cstdint>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/APMServices.h"
#include "platform/format.h"

namespace {

void log(std::int64_t level, std::int64_t messageCode, const char* message,
         const std::string& blockID) {
  // The core's monitor is the one installed for every analytics class; going through the
  // installed one lets a test stand in for it.
  APMMeasurement::load();
  APMServicesMonitor()->logWithLevel(level, messageCode, platform::format(message, {blockID}));
}

}  // namespace

APMScheduler::APMScheduler(std::string label)
    : workerQueue_(platform::Queue::serial(std::move(label))) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, platform::Task block) {
  if (!block) {
    log(1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID);
    return;
  }
  workerQueue_->async(std::move(block));
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID,
                                                    const platform::Task& block) {
  if (!block) {
    log(1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID);
    return;
  }
  bool finished = false;
  workerQueue_->sync([&] {
    block();
    finished = true;
  });
  if (!finished) log(4, 30004, "Synchronous task failed. Block ID=%@", blockID);
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  APMMeasurement::load();
  return APMSchedulerCheckOnBackgroundThread(methodName);
}
