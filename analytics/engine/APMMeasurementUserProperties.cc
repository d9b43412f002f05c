// The measurement core's writes of user properties and default event parameters.
#include <utility>

#include "analytics/data/APMUserAttribute.h"
#include "analytics/engine/APMMeasurement.h"

void APMMeasurement::setDefaultEventParameters(const std::optional<platform::Dictionary>&) {}
void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<platform::Dictionary>&) {}
platform::Dictionary APMMeasurement::parametersWithAddedDefaultEventParameters(
    const platform::Dictionary& parameters) const {
  return parameters;
}

void APMMeasurement::setUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) return;
  scheduleOnWorkerQueueBlockID("APMMeasurement:2745", [attribute] {
    if (auto recorder = APMMeasurement::recorder()) {
      recorder->didSetUserAttribute(attribute->name(), attribute->value()->value(),
                                    attribute->origin().value_or(""));
    }
  });
}

void APMMeasurement::removeUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) return;
  scheduleOnWorkerQueueBlockID("APMMeasurement:2700", [attribute] {
    if (auto recorder = APMMeasurement::recorder()) {
      recorder->didSetUserAttribute(attribute->name(), std::nullopt,
                                    attribute->origin().value_or(""));
    }
  });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const std::shared_ptr<const APMUserAttribute>&) {}
void APMMeasurement::removeUserAttributeOnWorkerQueue(
    const std::shared_ptr<const APMUserAttribute>&) {}
bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(
    const std::shared_ptr<const APMUserAttribute>&) {
  return false;
}
