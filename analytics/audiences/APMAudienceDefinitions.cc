// Definitions: checking, normalising and storing the audiences of a new configuration.
#include "analytics/audiences/APMAudience.h"

#include <utility>

#include "analytics/data/APMDatabase.h"

std::shared_ptr<APMAudience> APMAudience::initWithDatabase(std::shared_ptr<APMDatabase> database) {
  if (!database) return nullptr;
  return std::shared_ptr<APMAudience>(new APMAudience(std::move(database)));
}

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>&) {
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>&) { return true; }

bool APMValidateAudience(const APMPBAudience*, const std::set<std::int32_t>&,
                         platform::ErrorPtr*) {
  return false;
}
