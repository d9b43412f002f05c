#include "installations/ZIRInstallationsBackoffController.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/crypto.h"

namespace {

constexpr double kUnrecoverableErrorBackoffTime = 24 * 60 * 60;
constexpr double kMaxRecoverableErrorBackoffTime = 30 * 60;

}  // namespace

ZIRInstallationsBackoffEventData::ZIRInstallationsBackoffEventData(
    ZIRInstallationsBackoffEvent event, platform::Date lastEventDate, std::int64_t eventCount)
    : eventType_(event), lastEventDate_(lastEventDate), eventCount_(eventCount),
      backoffTimeInterval_(backoffTimeIntervalWithEvent(event, eventCount)) {}

double
ZIRInstallationsBackoffEventData::backoffTimeIntervalWithEvent(ZIRInstallationsBackoffEvent event,
                                                               std::int64_t eventCount) {
  switch (event) {
  case ZIRInstallationsBackoffEventUnrecoverableFailure:
    return kUnrecoverableErrorBackoffTime;
  case ZIRInstallationsBackoffEventRecoverableFailure:
    return recoverableErrorBackoffTimeForAttemptNumber(eventCount);
  default:
    return 0;
  }
}

double ZIRInstallationsBackoffEventData::recoverableErrorBackoffTimeForAttemptNumber(
    std::int64_t attemptNumber) {
  // 2^attempt overflows to infinity long past the cap, which min then takes care of.
  const double exponential = std::pow(2.0, static_cast<double>(attemptNumber));
  return std::min(kMaxRecoverableErrorBackoffTime, exponential + randomMilliseconds());
}

double ZIRInstallationsBackoffEventData::randomMilliseconds() {
  // Draws below the largest multiple of 1000 are kept, so that every millisecond is as likely.
  constexpr std::uint32_t kLimit =
      std::numeric_limits<std::uint32_t>::max() - std::numeric_limits<std::uint32_t>::max() % 1000;
  std::uint32_t draw = 0;
  do {
    const platform::Data bytes = platform::crypto::randomBytes(sizeof draw);
    std::memcpy(&draw, bytes.bytes(), sizeof draw);
  } while (draw >= kLimit);
  return static_cast<double>(draw % 1000) / 1000.0;
}

ZIRInstallationsBackoffController::ZIRInstallationsBackoffController()
    : ZIRInstallationsBackoffController([] { return platform::Date::now(); }) {}

ZIRInstallationsBackoffController::ZIRInstallationsBackoffController(
    CurrentDateProvider currentDateProvider)
    : currentDateProvider_(std::move(currentDateProvider)) {}

bool ZIRInstallationsBackoffController::isNextRequestAllowed() {
  std::lock_guard lock(mutex_);
  if (!lastEventData_) return true;
  const double elapsed = currentDateProvider_().timeIntervalSince(lastEventData_->lastEventDate());
  return elapsed >= lastEventData_->backoffTimeInterval();
}

void ZIRInstallationsBackoffController::registerEvent(ZIRInstallationsBackoffEvent event) {
  std::lock_guard lock(mutex_);
  const std::int64_t count =
      lastEventData_ && lastEventData_->eventType() == event ? lastEventData_->eventCount() + 1 : 1;
  lastEventData_ = std::make_shared<const ZIRInstallationsBackoffEventData>(
      event, currentDateProvider_(), count);
}

std::shared_ptr<const ZIRInstallationsBackoffEventData>
ZIRInstallationsBackoffController::lastEventData() const {
  std::lock_guard lock(mutex_);
  return lastEventData_;
}
