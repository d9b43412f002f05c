// The leaf tests of audience filters: a Filter message holds a number filter or a string
// filter and a complement flag, and is applied to one value (an event parameter or a user
// property). Every function is pure apart from its monitor lines. A result of none means the
// filter was not evaluated, which leaves its stored bits unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMPBMessages.h"

namespace platform {
class RegularExpression;
}

// Comparison types of a number filter and match types of a string filter, as the service
// sends them.
namespace APMNumberFilterComparisonTypes {
enum : std::int32_t { kUnknown = 0, kLess = 1, kGreater = 2, kEqual = 3, kBetween = 4 };
}  // namespace APMNumberFilterComparisonTypes
namespace APMStringFilterMatchTypes {
enum : std::int32_t {
  kUnknown = 0,
  kRegex = 1,
  kBeginsWith = 2,
  kEndsWith = 3,
  kContains = 4,
  kExact = 5,
  kInList = 6
};
}  // namespace APMStringFilterMatchTypes

// The parsed values of one number filter for the decimal path.
struct APMAudienceComparisonValues {
  std::optional<APMDecimalNumber> comparisonValue;
  std::optional<APMDecimalNumber> minComparisonValue;
  std::optional<APMDecimalNumber> maxComparisonValue;
  bool valid = true;
  bool isValid() const { return valid; }
};

// The filter applied to the value; the number filter wins when both are present.
std::optional<bool> APMEvaluateFilter(const APMPBFilter* filter, const APMValue* value);

// Whether the filter can be compared at all; each refusal logs its reason.
bool APMNumberFilterIsValid(const APMPBNumberFilter* filter);
bool APMStringFilterIsValid(const APMPBStringFilter* filter);
// The same check; a valid regular-expression filter also hands back its compiled expression.
bool APMStringFilterIsValid(const APMPBStringFilter* filter,
                            std::shared_ptr<const platform::RegularExpression>* expression);

std::optional<bool> APMCompareDouble(const APMPBNumberFilter* filter, double value);
std::optional<bool> APMCompareInt64(const APMPBNumberFilter* filter, std::int64_t value);
std::optional<bool> APMCompareDecimal(const APMPBNumberFilter* filter,
                                      const APMDecimalNumber& value);

std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter* filter,
                                            const std::optional<std::string>& string);
