// APMPBFlags: experiment flags (the Flag message) to and from plain values, as the
// experiments component reads and builds them.
#pragma once

#include <memory>
#include <optional>

#include "analytics/messages/APMPBMessages.h"
#include "platform/value.h"

// The Flag fields by index.
enum APMPBFlagField : std::int32_t {
  kAPMPBFlagName = 0,
  kAPMPBFlagInt64Value = 1,
  kAPMPBFlagStringValue = 2,
  kAPMPBFlagDoubleValue = 3,
  kAPMPBFlagBoolValue = 4,
};

// The first present of the int64, double, string and bool values, in that order, as a
// number or string; none for a null flag or one without a value.
std::optional<platform::Value> flagValueObject(const NANOMessageBase* flag);

// A new flag of that name holding a string value as its string and a number as a double
// when it is floating point, else as an int64. A missing or non-string name, or a value that
// is neither a number nor a string, is logged to the monitor and gives none.
std::shared_ptr<APMPBFlag> flagWithNameAndValue(const std::optional<platform::Value>& name,
                                                const std::optional<platform::Value>& value);
