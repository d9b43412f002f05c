#include "analytics/data/APMPEvent.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

bool isFloatingPoint(const platform::Value& value) {
  return value.type() == platform::Value::Type::Double;
}

// A number as a 64-bit integer, truncated toward zero; values beyond the range saturate
// rather than being undefined.
platform::Value truncatedToInt64(const platform::Value& number) {
  if (const auto integer = number.asInt()) return *integer;
  if (number.type() == platform::Value::Type::UInt)
    return static_cast<std::int64_t>(std::min<std::uint64_t>(
        *number.asUInt(), static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
  const double d = number.doubleValue();
  if (std::isnan(d)) return std::int64_t{0};
  if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

}  // namespace

APMPEvent::APMPEvent(std::string name, double timestamp, platform::Dictionary parameters)
    : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

std::optional<platform::Value> APMPEvent::parameterForName(std::string_view name) const {
  if (const platform::Value* value = parameters_.find(name)) return *value;
  return std::nullopt;
}

bool APMPEvent::hasParameterName(std::string_view name) const { return parameters_.contains(name); }

void APMPEvent::setParameter(const std::optional<platform::Value>& value,
                             const std::string& name) {
  if (!value) {
    parameters_.erase(name);
    return;
  }
  if (!value->isNumber()) {
    parameters_.set(name, *value);
    return;
  }
  if (name == "_syn" || name == "_err" || name == "_el") {
    parameters_.set(name, truncatedToInt64(*value));
    return;
  }
  const platform::Value* current = parameters_.find(name);
  if (current != nullptr && current->isNumber()) {
    if (isFloatingPoint(*current)) {
      parameters_.set(name, *value);
    } else if (!name.empty() && name.front() == '_') {
      // The client's own integer parameters cannot be changed by a script.
    } else {
      parameters_.set(name, truncatedToInt64(*value));
    }
    return;
  }
  if (current != nullptr && current->isString()) {
    parameters_.set(name, value->description());
    return;
  }
  parameters_.set(name, *value);
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(timestamp_ - other.timestamp_) > std::numeric_limits<double>::epsilon())
    return false;
  if (name_ != other.name_) return false;
  for (const auto& [name, value] : parameters_) {
    const platform::Value* theirs = other.parameters_.find(name);
    if (theirs == nullptr || !(*theirs == value)) return false;
    if (value.isNumber() && isFloatingPoint(value) != isFloatingPoint(*theirs)) return false;
  }
  return true;
}
