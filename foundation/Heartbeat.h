// Heartbeat: the anonymous record that the SDK was used on one GMT day by one user agent,
// and the time periods a heartbeat counts for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/date.h"
#include "platform/value.h"

namespace ZiruzadaCoreInternal {

struct HeartbeatsPayload;

enum class TimePeriod : std::int64_t { daily = 1 };

// When no heartbeat was added yet.
inline constexpr platform::Date kDistantPast = platform::Date::distantPast();

// Every period, in declaration order.
inline constexpr TimePeriod kAllTimePeriods[] = {TimePeriod::daily};

// The raw value times one day, in seconds.
constexpr double timeInterval(TimePeriod period) {
  return static_cast<double>(static_cast<std::int64_t>(period)) * 86400.0;
}
// Only raw values of existing periods make one.
std::optional<TimePeriod> timePeriodFromRawValue(std::int64_t rawValue);

struct Heartbeat {
  std::string agent;
  // The start of the GMT day of the heartbeat.
  platform::Date date;
  std::int64_t version = 0;
  std::vector<TimePeriod> timePeriods;

  friend bool operator==(const Heartbeat&, const Heartbeat&) = default;

  // One entry for the agent with this heartbeat's date alone.
  HeartbeatsPayload makePayload() const;

  // The stored form: {"agent", "date" (seconds since 2001), "version", "timePeriods"}.
  platform::Value jsonValue() const;
  // None unless all four keys are there with values of their kinds.
  static std::optional<Heartbeat> fromJSONValue(const platform::Value& value);
};

// Integers as stored JSON numbers hold them: a signed or unsigned integer, or a floating
// number without a fraction; never a Boolean.
std::optional<std::int64_t> integerFromJSONNumber(const platform::Value& value);
// Any JSON number but a Boolean.
std::optional<double> doubleFromJSONNumber(const platform::Value& value);

}  // namespace ZiruzadaCoreInternal
