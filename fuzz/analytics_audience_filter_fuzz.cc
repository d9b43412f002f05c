// Applies a leaf filter of an audience definition, as the configuration service delivers it,
// to a value of any kind: the filter's validity checks, each numeric path and the string match
// types, regular expressions from the input included (they run under their time limit). The
// checks hold the outcomes to one another: an invalid filter is never evaluated, and the
// filter's answer is its comparison's, negated only by its complement.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/audiences/APMAudienceComparisons.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBTypedFields.h"
#include "fuzz/fuzz_input.h"
#include "platform/regex.h"

namespace {

std::optional<bool> negatedBy(const APMPBFilter* filter, std::optional<bool> result) {
  const bool complement = nano_has_field(filter, APMPBFilterFields::kComplement) &&
                          nano_get_bool(filter, APMPBFilterFields::kComplement);
  if (result && complement) return !*result;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  APMValuePtr value;
  switch (input.byte() % 4) {
  case 0:
    break;
  case 1:
    value = APMValue::initWithDouble(input.real());
    break;
  case 2:
    value = APMValue::initWithInt64(static_cast<std::int64_t>(input.integer(8)));
    break;
  default:
    value = APMValue::initWithString(platform::Value(input.shortText()));
    break;
  }
  const platform::Data bytes(platform::Data::fromString(input.rest()));
  const auto filter = APMPBFilter::initWithBuffer(&bytes);
  if (!filter) return 0;

  const std::optional<bool> result = APMEvaluateFilter(filter.get(), value.get());
  const auto number = APMMessageAt<APMPBNumberFilter>(filter.get(), APMPBFilterFields::kNumberFilter);
  const auto string = APMMessageAt<APMPBStringFilter>(filter.get(), APMPBFilterFields::kStringFilter);

  if (number) {
    const bool valid = APMNumberFilterIsValid(number.get());
    const std::optional<bool> asDouble = APMCompareDouble(number.get(), 1.5);
    const std::optional<bool> asInteger =
        APMCompareInt64(number.get(), value && value->isInt64() ? value->int64Value() : -7);
    fuzz::fuzzCheck(valid || (!asDouble && !asInteger && !result),
                    "an invalid number filter is never evaluated");
    if (value && value->isInt64()) {
      fuzz::fuzzCheck(result == negatedBy(filter.get(), asInteger),
                      "an integer takes the decimal path");
    }
  }
  if (string) {
    std::shared_ptr<const platform::RegularExpression> expression;
    const bool valid = APMStringFilterIsValid(string.get(), &expression);
    const std::optional<std::string> text =
        value && value->isString() ? value->stringValue() : std::nullopt;
    const std::optional<bool> matched = APMEvaluateStringFilter(string.get(), text);
    fuzz::fuzzCheck(valid || !matched, "an invalid string filter is never evaluated");
    fuzz::fuzzCheck(!expression || valid, "only a valid filter hands back an expression");
    if (!number && text) {
      // A regular expression may run out of time in one search and not in the other.
      const bool regex = expression != nullptr;
      fuzz::fuzzCheck(regex || result == negatedBy(filter.get(), matched),
                      "a string takes the string filter's answer");
    }
  }
  if (!number && !string) fuzz::fuzzCheck(!result, "a filter without a test is not evaluated");
  return 0;
}
