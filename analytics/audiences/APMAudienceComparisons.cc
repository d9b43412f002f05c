#include "analytics/audiences/APMAudienceComparisons.h"

std::optional<bool> APMEvaluateFilter(const APMPBFilter*, const APMValue*) { return std::nullopt; }

bool APMNumberFilterIsValid(const APMPBNumberFilter*) { return false; }

bool APMStringFilterIsValid(const APMPBStringFilter* filter) {
  return APMStringFilterIsValid(filter, nullptr);
}

bool APMStringFilterIsValid(const APMPBStringFilter*,
                            std::shared_ptr<const platform::RegularExpression>*) {
  return false;
}

std::optional<bool> APMCompareDouble(const APMPBNumberFilter*, double) { return std::nullopt; }

std::optional<bool> APMCompareInt64(const APMPBNumberFilter* filter, std::int64_t value) {
  return APMCompareDecimal(filter, APMDecimalNumber(value));
}

std::optional<bool> APMCompareDecimal(const APMPBNumberFilter*, const APMDecimalNumber&) {
  return std::nullopt;
}

std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter*,
                                            const std::optional<std::string>&) {
  return std::nullopt;
}
