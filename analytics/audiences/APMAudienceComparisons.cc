#include "analytics/audiences/APMAudienceComparisons.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBTypedFields.h"
#include "analytics/messages/APMServices.h"
#include "platform/regex.h"
#include "platform/text.h"

namespace {

namespace FilterFields = APMPBFilterFields;
namespace NumberFields = APMPBNumberFilterFields;
namespace StringFields = APMPBStringFilterFields;

namespace Comparison = APMNumberFilterComparisonTypes;
namespace Match = APMStringFilterMatchTypes;

constexpr std::int64_t kErrorLevel = 1;
constexpr std::int64_t kWarningLevel = 3;

// A message shown in a log line by its wire bytes, the one form every message has.
platform::Value messageContext(const NANOMessageBase* message) {
  if (message == nullptr) return platform::Value();
  std::optional<platform::Data> bytes = message->protoBuffer();
  return bytes ? platform::Value(std::move(*bytes)) : platform::Value();
}

platform::Value valueContext(const APMValue* value) {
  return value != nullptr ? platform::Value(value->copy()) : platform::Value();
}

bool isDecimalField(const APMPBNumberFilter* filter, std::int32_t index) {
  if (!nano_has_field(filter, index)) return false;
  const std::optional<std::string> text = nano_get_string(filter, index);
  return text && APMIsDecimalNumberString(*text);
}

// The double of a decimal number string, read the same in every locale; none when it does not
// fit a double.
std::optional<double> parsedDouble(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string_view digits = *text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool caseSensitive(const APMPBStringFilter* filter) {
  return nano_has_field(filter, StringFields::kCaseSensitive) &&
         nano_get_bool(filter, StringFields::kCaseSensitive);
}

bool exactMatch(const std::string& string, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return string == expression;
  return platform::text::caseInsensitiveFind(string, expression,
                                             platform::text::SearchAnchor::kStart) == 0u &&
         platform::text::utf16Length(string) == platform::text::utf16Length(expression);
}

}  // namespace

std::optional<bool> APMEvaluateFilter(const APMPBFilter* filter, const APMValue* value) {
  const auto numberFilter = APMMessageAt<APMPBNumberFilter>(filter, FilterFields::kNumberFilter);
  const auto stringFilter = APMMessageAt<APMPBStringFilter>(filter, FilterFields::kStringFilter);
  std::optional<bool> result;
  if (!numberFilter && !stringFilter) {
    APMLog(kErrorLevel, 7000,
           "Filter has neither a number nor string filter. Audience filter will not be evaluated",
           {valueContext(value), messageContext(filter)});
    return std::nullopt;
  }
  if (numberFilter) {
    if (value == nullptr) return std::nullopt;
    if (value->isString()) {
      const std::string string = value->stringValue().value_or("");
      if (!APMIsDecimalNumberString(string)) {
        APMLog(kWarningLevel, 7001,
               "String value is not a numeric value. Audience filter will not be evaluated. Value, "
               "filter",
               {valueContext(value), messageContext(filter)});
        return std::nullopt;
      }
      const std::optional<APMDecimalNumber> decimal = APMDecimalNumberFromString(string);
      if (!decimal) return std::nullopt;
      result = APMCompareDecimal(numberFilter.get(), *decimal);
    } else if (value->isDouble()) {
      const double number = value->doubleValue();
      if (!std::isfinite(number)) {
        APMLog(kWarningLevel, 7002,
               "Value is not within double range. Audience filter will not be evaluated",
               {valueContext(value)});
        return std::nullopt;
      }
      result = APMCompareDouble(numberFilter.get(), number);
    } else if (value->isInt64()) {
      result = APMCompareInt64(numberFilter.get(), value->int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (value == nullptr || !value->isString()) {
      APMLog(kWarningLevel, 7003, "Value is not a string. Audience filter will not be evaluated",
             {valueContext(value)});
      return std::nullopt;
    }
    result = APMEvaluateStringFilter(stringFilter.get(), value->stringValue());
  }
  if (result && nano_has_field(filter, FilterFields::kComplement) &&
      nano_get_bool(filter, FilterFields::kComplement)) {
    result = !*result;
  }
  return result;
}

bool APMNumberFilterIsValid(const APMPBNumberFilter* filter) {
  if (!nano_has_field(filter, NumberFields::kComparisonType)) {
    APMLog(kErrorLevel, 8006, "Number filter has no comparison type");
    return false;
  }
  switch (nano_get_int32(filter, NumberFields::kComparisonType)) {
  case Comparison::kLess:
  case Comparison::kGreater:
  case Comparison::kEqual:
    if (!isDecimalField(filter, NumberFields::kComparisonValue)) {
      APMLog(kErrorLevel, 8008, "Numeric filter does not have a valid comparison value. Filter",
             {messageContext(filter)});
      return false;
    }
    return true;
  case Comparison::kBetween: {
    bool valid = true;
    if (!isDecimalField(filter, NumberFields::kMinComparisonValue)) {
      APMLog(kErrorLevel, 8009, "Numeric filter does not have a valid min comparison value. Filter",
             {messageContext(filter)});
      valid = false;
    }
    if (!isDecimalField(filter, NumberFields::kMaxComparisonValue)) {
      APMLog(kErrorLevel, 8010, "Numeric filter does not have a valid max comparison value. Filter",
             {messageContext(filter)});
      valid = false;
    }
    return valid;
  }
  case Comparison::kUnknown:
    APMLog(kErrorLevel, 8007, "Number filter has unknown comparison type");
    return false;
  default:
    APMLog(kErrorLevel, 8011, "Number filter has a real unknown comparison type");
    return false;
  }
}

bool APMStringFilterIsValid(const APMPBStringFilter* filter) {
  return APMStringFilterIsValid(filter, nullptr);
}

bool APMStringFilterIsValid(const APMPBStringFilter* filter,
                            std::shared_ptr<const platform::RegularExpression>* expression) {
  if (expression != nullptr) expression->reset();
  if (!nano_has_field(filter, StringFields::kMatchType)) {
    APMLog(kErrorLevel, 9000, "String filter has no match type");
    return false;
  }
  const std::int32_t matchType = nano_get_int32(filter, StringFields::kMatchType);
  if (matchType == Match::kInList) {
    const std::optional<NanoObjectArray> list =
        nano_get_array(filter, StringFields::kExpressionList, nullptr);
    if (!list || list->empty()) {
      APMLog(kErrorLevel, 9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  if (matchType == Match::kUnknown) {
    APMLog(kErrorLevel, 9001, "String filter has unknown match type");
    return false;
  }
  if (!nano_has_field(filter, StringFields::kExpression)) {
    APMLog(kErrorLevel, 9002, "String filter has no expression");
    return false;
  }
  if (matchType == Match::kRegex) {
    platform::ErrorPtr error;
    auto compiled = platform::RegularExpression::make(
        nano_get_string(filter, StringFields::kExpression).value_or(""), !caseSensitive(filter),
        &error);
    if (!compiled) {
      APMLog(kErrorLevel, 9004, "Unable to parse regular expression",
             {messageContext(filter), APMErrorContext::value(error)});
      return false;
    }
    if (expression != nullptr) *expression = std::move(compiled);
  }
  return true;
}

std::optional<bool> APMCompareDouble(const APMPBNumberFilter* filter, double value) {
  if (!APMNumberFilterIsValid(filter)) return std::nullopt;
  const std::int32_t type = nano_get_int32(filter, NumberFields::kComparisonType);
  std::optional<double> comparison, minimum, maximum;
  bool parsed;
  if (type == Comparison::kBetween) {
    minimum = parsedDouble(nano_get_string(filter, NumberFields::kMinComparisonValue));
    maximum = parsedDouble(nano_get_string(filter, NumberFields::kMaxComparisonValue));
    parsed = minimum && maximum;
  } else {
    comparison = parsedDouble(nano_get_string(filter, NumberFields::kComparisonValue));
    parsed = comparison.has_value();
  }
  if (!parsed) {
    APMLog(kErrorLevel, 8012,
           "Number filter is invalid, the comparison filter is not valid. Audience filter will not "
           "be evaluated");
    return std::nullopt;
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  switch (type) {
  case Comparison::kLess:
    return value < *comparison;
  case Comparison::kGreater:
    return value > *comparison;
  case Comparison::kEqual: {
    // The value and its nearest representable neighbours count as equal: a value written
    // in decimal and the double it was logged as may differ in the last bit.
    const double below = std::nextafter(std::nextafter(*comparison, -kInfinity), -kInfinity);
    const double above = std::nextafter(std::nextafter(*comparison, kInfinity), kInfinity);
    return below < value && value < above;
  }
  case Comparison::kBetween:
    return *minimum <= value && value <= *maximum;
  case Comparison::kUnknown:
    APMLog(kErrorLevel, 8013,
           "Validated double number filter has unknown comparison type. Audience filter will not "
           "be evaluated");
    return std::nullopt;
  default:
    return false;
  }
}

std::optional<bool> APMCompareInt64(const APMPBNumberFilter* filter, std::int64_t value) {
  return APMCompareDecimal(filter, APMDecimalNumber(value));
}

std::optional<bool> APMCompareDecimal(const APMPBNumberFilter* filter,
                                      const APMDecimalNumber& value) {
  if (!APMNumberFilterIsValid(filter)) return std::nullopt;
  const std::int32_t type = nano_get_int32(filter, NumberFields::kComparisonType);
  APMAudienceComparisonValues values;
  auto fill = [&](std::int32_t index, std::optional<APMDecimalNumber>* slot, std::int64_t code,
                  const char* message) {
    *slot = APMDecimalNumberFromString(nano_get_string(filter, index).value_or(""));
    if (!*slot) {
      APMLog(kErrorLevel, code, message);
      values.valid = false;
    }
  };
  switch (type) {
  case Comparison::kLess:
  case Comparison::kGreater:
  case Comparison::kEqual:
    if (!nano_has_field(filter, NumberFields::kComparisonValue)) {
      APMLog(kErrorLevel, 8001, "Number filter has no comparison value");
      values.valid = false;
    } else {
      fill(NumberFields::kComparisonValue, &values.comparisonValue, 8002,
           "Number filter comparison value is not a number");
    }
    break;
  case Comparison::kBetween:
    if (!nano_has_field(filter, NumberFields::kMinComparisonValue) ||
        !nano_has_field(filter, NumberFields::kMaxComparisonValue)) {
      APMLog(kErrorLevel, 8003, "Number filter does not have both min and max comparison values");
      values.valid = false;
    } else {
      fill(NumberFields::kMinComparisonValue, &values.minComparisonValue, 8004,
           "Number filter min comparison value is not a number");
      fill(NumberFields::kMaxComparisonValue, &values.maxComparisonValue, 8005,
           "Number filter max comparison value is not a number");
    }
    break;
  case Comparison::kUnknown:
    APMLog(kErrorLevel, 8000, "Number filter has unknown comparison type");
    values.valid = false;
    break;
  default:
    break;
  }
  if (!values.isValid()) {
    APMLog(kErrorLevel, 8015,
           "Parsed decimal number comparison values are not valid. Audience filter will not be "
           "evaluated. Filter",
           {messageContext(filter)});
    return std::nullopt;
  }
  switch (type) {
  case Comparison::kLess:
    return value < *values.comparisonValue;
  case Comparison::kGreater:
    return value > *values.comparisonValue;
  case Comparison::kEqual:
    return value == *values.comparisonValue;
  case Comparison::kBetween:
    return value >= *values.minComparisonValue && value <= *values.maxComparisonValue;
  case Comparison::kUnknown:
    APMLog(kErrorLevel, 8016,
           "Validated decimal number for number filter has unknown comparison type. Audience "
           "filter will not be evaluated");
    return std::nullopt;
  default:
    return false;
  }
}

std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter* filter,
                                            const std::optional<std::string>& string) {
  if (!string) {
    APMLog(kErrorLevel, 9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<const platform::RegularExpression> regex;
  if (!APMStringFilterIsValid(filter, &regex)) {
    APMLog(kErrorLevel, 9006, "String filter is invalid. Audience filter will not be evaluated");
    return std::nullopt;
  }
  using platform::text::caseInsensitiveFind;
  using platform::text::SearchAnchor;
  const bool sensitive = caseSensitive(filter);
  const std::string expression = nano_get_string(filter, StringFields::kExpression).value_or("");
  switch (nano_get_int32(filter, StringFields::kMatchType)) {
  case Match::kUnknown:
    APMLog(kErrorLevel, 9007,
           "Validated string filter has unknown comparison type. Audience filter will not be "
           "evaluated");
    return std::nullopt;
  case Match::kRegex: {
    if (!regex) {
      APMLog(kErrorLevel, 9008, "Parsed regex is nil. Audience filter will not be evaluated");
      return std::nullopt;
    }
    // Expressions come from the service; one that backtracks without end must not stall
    // the worker queue, so a search out of time leaves the filter unevaluated.
    const std::optional<bool> found = regex->hasMatch(*string);
    if (!found) {
      APMLog(
          kWarningLevel, 9009,
          "Regular expression search exceeded its time or stack limit. Audience filter will not be "
          "evaluated",
          {messageContext(filter)});
    }
    return found;
  }
  case Match::kBeginsWith:
    if (sensitive) return string->starts_with(expression);
    return caseInsensitiveFind(*string, expression, SearchAnchor::kStart) == 0u;
  case Match::kEndsWith: {
    if (sensitive) return string->ends_with(expression);
    const std::size_t length = platform::text::utf16Length(*string);
    const std::size_t expressionLength = platform::text::utf16Length(expression);
    return expressionLength <= length &&
           caseInsensitiveFind(*string, expression, SearchAnchor::kEnd) ==
               length - expressionLength;
  }
  case Match::kContains:
    if (sensitive) return string->find(expression) != std::string::npos;
    return caseInsensitiveFind(*string, expression).has_value();
  case Match::kExact:
    return exactMatch(*string, expression, sensitive);
  case Match::kInList: {
    const std::optional<NanoObjectArray> list =
        nano_get_array(filter, StringFields::kExpressionList, nullptr);
    for (const NanoObject& entry : list.value_or(NanoObjectArray{})) {
      const auto* value = std::get_if<platform::Value>(&entry);
      const std::string* text = value != nullptr ? value->asString() : nullptr;
      if (text != nullptr && exactMatch(*string, *text, sensitive)) return true;
    }
    return false;
  }
  default:
    return false;
  }
}
