#include "foundation/Heartbeat.h"

#include <cmath>

namespace ZiruzadaCoreInternal {

std::optional<TimePeriod> timePeriodFromRawValue(std::int64_t rawValue) {
  for (TimePeriod period : kAllTimePeriods) {
    if (static_cast<std::int64_t>(period) == rawValue) return period;
  }
  return std::nullopt;
}

std::optional<std::int64_t> integerFromJSONNumber(const platform::Value& value) {
  switch (value.type()) {
  case platform::Value::Type::Int:
  case platform::Value::Type::UInt:
    return value.asInt();
  case platform::Value::Type::Double: {
    const double d = *value.asDouble();
    // 2^63 is the first double past the signed range.
    if (std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
  }
  default:
    return std::nullopt;
  }
}

std::optional<double> doubleFromJSONNumber(const platform::Value& value) {
  if (value.isBool()) return std::nullopt;
  return value.asDouble();
}

platform::Value Heartbeat::jsonValue() const {
  platform::Array periods;
  for (TimePeriod period : timePeriods) periods.emplace_back(static_cast<std::int64_t>(period));
  return platform::Dictionary{
      {"agent", agent},
      {"date", date.timeIntervalSinceReferenceDate()},
      {"version", version},
      {"timePeriods", std::move(periods)},
  };
}

std::optional<Heartbeat> Heartbeat::fromJSONValue(const platform::Value& value) {
  if (!value.isDictionary()) return std::nullopt;
  const std::string* agent = value["agent"].asString();
  const auto date = doubleFromJSONNumber(value["date"]);
  const auto version = integerFromJSONNumber(value["version"]);
  const platform::Array* periods = value["timePeriods"].asArray();
  if (!agent || !date || !version || !periods) return std::nullopt;
  Heartbeat heartbeat{
      *agent, platform::Date::fromTimeIntervalSinceReferenceDate(*date), *version, {}};
  for (const platform::Value& element : *periods) {
    const auto raw = integerFromJSONNumber(element);
    const auto period = raw ? timePeriodFromRawValue(*raw) : std::nullopt;
    if (!period) return std::nullopt;
    heartbeat.timePeriods.push_back(*period);
  }
  return heartbeat;
}

}  // namespace ZiruzadaCoreInternal
