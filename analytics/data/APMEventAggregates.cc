#include "analytics/data/APMEventAggregates.h"

#include <limits>

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/messages/APMServices.h"

namespace {

// Adds 1, or starts again at 0 (logged) from the largest value instead of overflowing.
void incrementCount(std::int32_t* count, std::int64_t code, const char* message) {
  if (*count == std::numeric_limits<std::int32_t>::max()) {
    *count = 0;
    APMServicesMonitor()->logWithLevel(5, code, message);
    return;
  }
  ++*count;
}

}  // namespace

std::shared_ptr<APMEventAggregates>
APMEventAggregates::initWithName(const std::string& name, std::int32_t lifetimeCount,
                                 std::int32_t currentBundleCount, std::int32_t currentSessionCount,
                                 double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(platform::Value(name))) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    APMServicesMonitor()->logWithLevel(
        5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  std::shared_ptr<APMEventAggregates> aggregates(new APMEventAggregates);
  aggregates->name_ = name;
  aggregates->lifetimeCount_ = lifetimeCount;
  aggregates->currentBundleCount_ = currentBundleCount;
  aggregates->currentSessionCount_ = currentSessionCount;
  aggregates->lastFireTimestamp_ = lastFireTimestamp;
  return aggregates;
}

void APMEventAggregates::incrementLifetimeCount() {
  incrementCount(&lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  incrementCount(&currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
  incrementCount(&currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}
