#include "foundation/HeartbeatController.h"

#include <cmath>
#include <utility>
#include <vector>

#include "foundation/HeartbeatStorage.h"

namespace ZiruzadaCoreInternal {

platform::Date startOfDayGMT(platform::Date date) {
  constexpr double kSecondsPerDay = 86400.0;
  return platform::Date::fromTimeIntervalSince1970(
      std::floor(date.timeIntervalSince1970() / kSecondsPerDay) * kSecondsPerDay);
}

HeartbeatController::HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage,
                                         DateProvider dateSource)
    : storage_(std::move(storage)),
      dateProvider_([source = std::move(dateSource)] { return startOfDayGMT(source()); }) {}

HeartbeatController::HeartbeatController(const std::string& id)
    : HeartbeatController(HeartbeatStorage::instance(id), [] { return platform::Date::now(); }) {}

void HeartbeatController::log(const std::string& agent) {
  // The day is the caller's, not that of the later write.
  const platform::Date date = dateProvider_();
  const std::int64_t capacity = heartbeatsStorageCapacity_;
  storage_->updateAsync([agent, date, capacity](std::optional<HeartbeatsBundle> stored) {
    HeartbeatsBundle bundle = stored ? std::move(*stored) : HeartbeatsBundle(capacity);
    std::vector<TimePeriod> due;
    for (const auto& [period, lastAdded] : bundle.lastAddedHeartbeatDates()) {
      if (date.timeIntervalSince(lastAdded) >= timeInterval(period)) due.push_back(period);
    }
    if (!due.empty()) bundle.append(Heartbeat{agent, date, 0, std::move(due)});
    return std::optional<HeartbeatsBundle>(std::move(bundle));
  });
}

HeartbeatsPayload HeartbeatController::flush() {
  const std::int64_t capacity = heartbeatsStorageCapacity_;
  const HeartbeatsSwapResult swapped = storage_->swapSync(
      [capacity](std::optional<HeartbeatsBundle> stored) -> std::optional<HeartbeatsBundle> {
        if (!stored) return std::nullopt;
        // The dates stay, so that a later log on the same day still finds nothing due.
        return HeartbeatsBundle(capacity, stored->lastAddedHeartbeatDates());
      });
  if (swapped.failure || !swapped.previous) return HeartbeatsPayload::emptyPayload();
  return swapped.previous->makePayload();
}

HeartbeatsPayload HeartbeatController::flushHeartbeatFromToday() {
  const platform::Date today = dateProvider_();
  std::optional<Heartbeat> todaysHeartbeat;
  storage_->updateSync(
      [&](std::optional<HeartbeatsBundle> stored) -> std::optional<HeartbeatsBundle> {
        if (!stored) return std::nullopt;
        todaysHeartbeat = stored->removeHeartbeat(today);
        return stored;
      });
  return todaysHeartbeat ? todaysHeartbeat->makePayload() : HeartbeatsPayload::emptyPayload();
}

}  // namespace ZiruzadaCoreInternal

ZIRHeartbeatController::ZIRHeartbeatController(const std::string& heartbeatID)
    : heartbeatController_(
          std::make_unique<ZiruzadaCoreInternal::HeartbeatController>(heartbeatID)) {}

ZIRHeartbeatController::ZIRHeartbeatController(
    std::unique_ptr<ZiruzadaCoreInternal::HeartbeatController> heartbeatController)
    : heartbeatController_(std::move(heartbeatController)) {}

void ZIRHeartbeatController::log(const std::string& agent) { heartbeatController_->log(agent); }

std::shared_ptr<ZIRHeartbeatsPayload> ZIRHeartbeatController::flush() {
  return std::make_shared<ZIRHeartbeatsPayload>(heartbeatController_->flush());
}

std::shared_ptr<ZIRHeartbeatsPayload> ZIRHeartbeatController::flushHeartbeatFromToday() {
  return std::make_shared<ZIRHeartbeatsPayload>(heartbeatController_->flushHeartbeatFromToday());
}
