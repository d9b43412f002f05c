#include "analytics/data/APMDataTypeValidator.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMServices.h"
#include "platform/format.h"
#include "platform/keyed_archive.h"
#include "platform/text.h"

namespace {

constexpr std::int64_t kErrorLevel = 0;
constexpr std::int64_t kWarningLevel = 3;

constexpr std::int64_t kStringCode = 13000;
constexpr std::int64_t kMissingCode = 13001;
constexpr std::int64_t kCharactersCode = 13002;
constexpr std::int64_t kStartCode = 13003;
constexpr std::int64_t kNilValueCode = 13004;
constexpr std::int64_t kNotValueCode = 13005;
constexpr std::int64_t kReservedEventNameCode = 13006;
constexpr std::int64_t kReservedEventPrefixCode = 13007;
constexpr std::int64_t kReservedParameterPrefixCode = 13008;
constexpr std::int64_t kReservedUserPropertyNameCode = 13009;
constexpr std::int64_t kReservedUserPropertyPrefixCode = 13010;
constexpr std::int64_t kNumericCode = 13011;
constexpr std::int64_t kCurrencyCode = 13012;
constexpr std::int64_t kArrayParameterCode = 13013;
constexpr std::int64_t kArrayItemCode = 13014;

constexpr std::int64_t kEventNameMaxLength = 40;
constexpr std::int64_t kOriginMaxLength = 32;
constexpr std::int64_t kUserPropertyNameMaxLength = 24;
constexpr std::int64_t kUserPropertyValueMaxLength = 36;
constexpr std::int64_t kLongUserPropertyValueMaxLength = 256;
constexpr std::int64_t kCurrencyCodeLength = 3;
constexpr std::uint64_t kMaxArrayItems = 200;
constexpr std::int64_t kArrayErrorSubjectLimit = 40;

constexpr std::string_view kForwardedOriginSuffix = "+rtm";
constexpr std::array<std::string_view, 3> kReservedPrefixes = {"ziruzada_", "rerora_", "da_"};

void log(std::int64_t level, std::int64_t code, const std::string& message,
         platform::Array contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

void setFailure(std::int64_t* failureCode, std::int64_t value) {
  if (failureCode != nullptr) *failureCode = value;
}

// Parameter and user property values are the caller's data, not the caller's mistakes in
// code, so their rejections are warnings.
std::int64_t levelForKind(std::int64_t type) {
  return type == kAPMValidationKindEventParameterValue ||
                 type == kAPMValidationKindUserPropertyValue
             ? kWarningLevel
             : kErrorLevel;
}

bool isNil(const std::optional<platform::Value>& object) {
  return !object.has_value() || object->isNull();
}

std::int64_t scalarLength(std::string_view text) {
  return static_cast<std::int64_t>(apm_UTF32Length(text));
}

// Well-formed text whose every scalar is a Unicode letter (not a digit, not a mark).
bool isAllLetters(std::string_view text) {
  if (!platform::text::isAlphanumericOr(text, "")) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  for (std::int32_t i = 0; i < length;) {
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || platform::text::isDecimalDigits(text.substr(start, i - start))) return false;
  }
  return true;
}

// The first scalar of non-empty, well-formed text.
std::string_view firstScalar(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  std::int32_t end = 0;
  UChar32 c;
  U8_NEXT(bytes, end, length, c);
  (void)c;
  return text.substr(0, static_cast<std::size_t>(end));
}

// The text of a plain string or of a string APMValue.
std::optional<std::string> stringOf(const platform::Value& object) {
  if (const std::string* text = object.asString()) return *text;
  if (const APMValuePtr value = APMValueOf(object)) return value->stringValue();
  return std::nullopt;
}

// The element count of a plain array or of an array APMValue.
std::optional<std::size_t> arrayCountOf(const platform::Value& object) {
  if (const platform::Array* array = object.asArray()) return array->size();
  if (const APMValuePtr value = APMValueOf(object)) {
    if (const platform::Array* array = value->arrayValue()) return array->size();
  }
  return std::nullopt;
}

// The first `limit` scalars followed by "...". The cut falls between scalars; an ill-formed
// byte sequence counts as one scalar, as in apm_UTF32Length.
std::string trimmedToScalars(std::string_view text, std::int64_t limit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::int64_t end = 0;
  for (std::int64_t count = 0; count < limit && end < length; ++count) {
    UChar32 c;
    U8_NEXT(bytes, end, length, c);
    (void)c;
  }
  std::string trimmed(text.substr(0, static_cast<std::size_t>(end)));
  trimmed += "...";
  return trimmed;
}

platform::Value int64Value(std::int64_t value) {
  return platform::Value(APMValue::initWithInt64(value));
}

}  // namespace

// Never destroyed: errors are still logged on worker queues while the process exits.
const std::map<std::int64_t, std::string>& APMErrorCodeNames() {
  static const auto& names = *new std::map<std::int64_t, std::string>{
      {kAPMErrorCodeNoError, "NoError"},
      {kAPMErrorCodeInvalidVIZAppID, "InvalidVIZAppID"},
      {kAPMErrorCodeInvalidEventName, "InvalidEventName"},
      {kAPMErrorCodeInvalidParameterName, "InvalidParameterName"},
      {kAPMErrorCodeInvalidParameterValue, "InvalidParameterValue"},
      {kAPMErrorCodeParameterLimitReached, "ParameterLimitReached"},
      {kAPMErrorCodeInvalidUserPropertyName, "InvalidUserPropertyName"},
      {kAPMErrorCodeUserPropertyValueTooLong, "UserPropertyValueTooLong"},
      {kAPMErrorCodeEventLimitReached, "EventLimitReached"},
      {kAPMErrorCodeUserPropertyLimitReached, "UserPropertyLimitReached"},
      {kAPMErrorCodeConversionEventLimitReached, "ConversionEventLimitReached"},
      {kAPMErrorCodeEventIsBlocked, "EventIsBlocked"},
      {kAPMErrorCodeUserPropertyIsBlocked, "UserPropertyIsBlocked"},
      {kAPMErrorCodeEventNameIsReserved, "EventNameIsReserved"},
      {kAPMErrorCodeParameterNameIsReserved, "ParameterNameIsReserved"},
      {kAPMErrorCodeUserPropertyNameIsReserved, "UserPropertyNameIsReserved"},
      {kAPMErrorCodePublicEventLimitReached, "PublicEventLimitReached"},
      {kAPMErrorCodeTooManyExtraParamEvents, "TooManyExtraParamEvents"},
      {kAPMErrorCodeValueIsNotNumeric, "ValueIsNotNumeric"},
      {kAPMErrorCodeCurrencyCodeIsMissingOrInvalid, "CurrencyCodeIsMissingOrInvalid"},
      {kAPMErrorCodeInvalidArrayParamName, "InvalidArrayParamName"},
      {kAPMErrorCodeInvalidArrayParamEventName, "InvalidArrayParamEventName"},
      {kAPMErrorCodeInvalidArrayParamNesting, "InvalidArrayParamNesting"},
      {kAPMErrorCodeCustomParamsInArrayElement, "CustomParamsInArrayElement"},
      {kAPMErrorCodeItemScopedCustomParameterLimitReached, "ItemScopedCustomParameterLimitReached"},
  };
  return names;
}

std::string APMValidationMessage(std::int64_t type, std::string_view suffix) {
  static constexpr std::array<const char*, 10> kSubjects = {
      "Event name",
      "Event origin",
      "Event parameter name",
      "Event parameter value",
      "User property name",
      "User property value",
      "Screen parameter value",
      "Conditional user property origin",
      "Conditional user property name",
      "Conditional user property value",
  };
  std::string message = type >= 0 && type < static_cast<std::int64_t>(kSubjects.size())
                            ? kSubjects[static_cast<std::size_t>(type)]
                            : "Object";
  message += suffix;
  return message;
}

bool APMValueObjectCheck(const std::optional<platform::Value>& object, std::int64_t type,
                         std::int64_t* failureCode) {
  setFailure(failureCode, kAPMValidationFailureNone);
  if (isNil(object)) {
    setFailure(failureCode, kAPMValidationFailureMissing);
    log(kWarningLevel, kNilValueCode, APMValidationMessage(type, " cannot be nil"));
    return false;
  }
  if (!APMValueOf(*object)) {
    setFailure(failureCode, kAPMValidationFailureWrongType);
    log(kWarningLevel, kNotValueCode,
        APMValidationMessage(type, " must be a APMValue instance. value"),
        {platform::classNameOf(*object)});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidString(const std::optional<platform::Value>& object,
                                         std::int64_t minLength, std::int64_t maxLength,
                                         std::int64_t type, std::int64_t* failureCode) {
  setFailure(failureCode, kAPMValidationFailureNone);
  const std::int64_t level = levelForKind(type);
  if (isNil(object)) {
    setFailure(failureCode, kAPMValidationFailureMissing);
    log(level, kMissingCode, APMValidationMessage(type, " is required and can't be nil"));
    return false;
  }
  const std::string* string = object->asString();
  if (string == nullptr) {
    setFailure(failureCode, kAPMValidationFailureWrongType);
    log(level, kStringCode, APMValidationMessage(type, " must be of type NSString"), {*object});
    return false;
  }
  if (minLength >= 1 && string->empty()) {
    setFailure(failureCode, kAPMValidationFailureMissing);
    // An empty value is an ordinary way of having none; only empty names are mistakes.
    if (type != kAPMValidationKindEventParameterValue &&
        type != kAPMValidationKindUserPropertyValue) {
      log(level, kMissingCode, APMValidationMessage(type, " is required and can't be empty"));
    }
    return false;
  }
  const std::int64_t length = scalarLength(*string);
  if (length > maxLength) {
    setFailure(failureCode, kAPMValidationFailureTooLong);
    log(level, kStringCode,
        platform::format(APMValidationMessage(
                             type, " is too long. The maximum supported length is %d"),
                         {maxLength}),
        {*string});
    return false;
  }
  if (length < minLength) {
    setFailure(failureCode, kAPMValidationFailureTooShort);
    log(level, kStringCode,
        platform::format(APMValidationMessage(
                             type, " is too short. The minimum supported length is %d"),
                         {minLength}),
        {*string});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalName(const std::optional<platform::Value>& object,
                                               std::int64_t maxLength, std::int64_t type,
                                               std::int64_t* failureCode) {
  if (!isValidString(object, 1, maxLength, type, failureCode)) return false;
  const std::string& name = *object->asString();
  if (!platform::text::isAlphanumericOr(name, "_")) {
    setFailure(failureCode, kAPMValidationFailureBadCharacters);
    log(kErrorLevel, kCharactersCode,
        APMValidationMessage(type, " must contain only letters, numbers, or underscores"),
        {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidPublicName(const std::optional<platform::Value>& object,
                                             std::int64_t maxLength, std::int64_t type,
                                             std::int64_t* failureCode) {
  if (!isValidInternalName(object, maxLength, type, failureCode)) return false;
  const std::string& name = *object->asString();
  if (!isAllLetters(firstScalar(name))) {
    setFailure(failureCode, kAPMValidationFailureBadCharacters);
    log(kErrorLevel, kStartCode, APMValidationMessage(type, " must start with a letter"), {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidValue(const std::optional<platform::Value>& object,
                                        std::int64_t minLength, std::int64_t maxLength,
                                        std::int64_t type, std::int64_t* failureCode) {
  if (!APMValueObjectCheck(object, type, failureCode)) return false;
  const APMValuePtr value = APMValueOf(*object);
  if (!value->isString()) return true;
  return isValidString(value->value(), minLength, maxLength, type, failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view string) {
  return std::any_of(kReservedPrefixes.begin(), kReservedPrefixes.end(),
                     [&](std::string_view prefix) { return string.starts_with(prefix); });
}

bool APMDataTypeValidator::isValidPublicEventName(const std::optional<platform::Value>& object,
                                                  std::int64_t* failureCode) {
  if (!isValidPublicName(object, kEventNameMaxLength, kAPMValidationKindEventName, failureCode)) {
    return false;
  }
  const std::string& name = *object->asString();
  if (name == "screen_view") return true;
  if (APMEventNameMap().contains(name) &&
      !APMReservedEventNamesAllowedForPublicLogging().contains(name)) {
    setFailure(failureCode, kAPMValidationFailureReserved);
    log(kErrorLevel, kReservedEventNameCode, "Event name is reserved. Ignoring event", {name});
    return false;
  }
  if (hasReservedPrefixes(name)) {
    setFailure(failureCode, kAPMValidationFailureReserved);
    log(kErrorLevel, kReservedEventPrefixCode, "Event name uses reserved prefix. Ignoring event",
        {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventName(const std::optional<platform::Value>& object,
                                                    std::int64_t* failureCode) {
  return isValidInternalName(object, kEventNameMaxLength, kAPMValidationKindEventName,
                             failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  if (!isValidPublicName(object, kEventNameMaxLength, kAPMValidationKindEventParameterName,
                         failureCode)) {
    return false;
  }
  const std::string& name = *object->asString();
  if (hasReservedPrefixes(name)) {
    setFailure(failureCode, kAPMValidationFailureReserved);
    log(kErrorLevel, kReservedParameterPrefixCode,
        "Parameter name uses reserved prefix. Ignoring parameter", {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventParameterName(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidInternalName(object, kEventNameMaxLength, kAPMValidationKindEventParameterName,
                             failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidValue(object, 0, APMMeasurementRemoteConfig()->maxPublicEventParameterValueLength(),
                      kAPMValidationKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidValue(object, 0,
                      APMMeasurementRemoteConfig()->maxInternalEventParameterValueLength(),
                      kAPMValidationKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const std::optional<platform::Value>& object,
                                                      std::int64_t* failureCode) {
  return isValidInternalName(object, kOriginMaxLength, kAPMValidationKindEventOrigin,
                             failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  setFailure(failureCode, kAPMValidationFailureNone);
  const std::string* origin = isNil(object) ? nullptr : object->asString();
  if (isNil(object) || (origin != nullptr && origin->empty())) {
    setFailure(failureCode, kAPMValidationFailureMissing);
    return false;
  }
  if (origin == nullptr || !origin->ends_with(kForwardedOriginSuffix)) {
    setFailure(failureCode, kAPMValidationFailureNotForwarded);
    return false;
  }
  const std::string stripped = origin->substr(0, origin->size() - kForwardedOriginSuffix.size());
  return isValidInternalName(stripped, kOriginMaxLength, kAPMValidationKindEventOrigin,
                             failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  if (!isValidPublicName(object, kUserPropertyNameMaxLength, kAPMValidationKindUserPropertyName,
                         failureCode)) {
    return false;
  }
  const std::string& name = *object->asString();
  if (internalUserPropertyNamesByPublicName().contains(name)) {
    setFailure(failureCode, kAPMValidationFailureReserved);
    log(kErrorLevel, kReservedUserPropertyNameCode,
        "User property name is reserved. Ignoring user property", {name});
    return false;
  }
  if (hasReservedPrefixes(name)) {
    setFailure(failureCode, kAPMValidationFailureReserved);
    log(kErrorLevel, kReservedUserPropertyPrefixCode,
        "User property name uses reserved prefix. Ignoring user property", {name});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidInternalName(object, kUserPropertyNameMaxLength,
                             kAPMValidationKindUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidValue(object, 1, kUserPropertyValueMaxLength, kAPMValidationKindUserPropertyValue,
                      failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(
    const std::optional<platform::Value>& object, const std::optional<platform::Value>& name,
    std::int64_t* failureCode) {
  // The user identifier, the click identifier and the hashed sign-in data are long by nature.
  const std::string* text = name ? name->asString() : nullptr;
  const bool isLong = text != nullptr && (*text == "_id" || *text == "_gbraid" ||
                                          *text == "_psmvalue");
  return isValidValue(object, 1, isLong ? kLongUserPropertyValueMaxLength
                                        : kUserPropertyValueMaxLength,
                      kAPMValidationKindUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidString(object, 1, APMMeasurementRemoteConfig()->maxPublicEventParameterValueLength(),
                       kAPMValidationKindScreenParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidInternalName(object, kOriginMaxLength,
                             kAPMValidationKindConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidInternalName(object, kUserPropertyNameMaxLength,
                             kAPMValidationKindConditionalUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(
    const std::optional<platform::Value>& object, std::int64_t* failureCode) {
  return isValidValue(object, 1, kUserPropertyValueMaxLength,
                      kAPMValidationKindConditionalUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const std::optional<platform::Value>& object,
                                               std::int64_t* failureCode) {
  if (!APMValueObjectCheck(object, kAPMValidationKindEventParameterValue, failureCode)) {
    return false;
  }
  const APMValuePtr value = APMValueOf(*object);
  if (value->isInt64() || value->isDouble()) return true;
  setFailure(failureCode, kAPMValidationFailureNotNumeric);
  log(kWarningLevel, kNumericCode,
      APMValidationMessage(kAPMValidationKindEventParameterValue,
                           " must be specified with a numeric type. value"),
      {value->description()});
  return false;
}

bool APMDataTypeValidator::isValidCurrencyCode(const std::optional<platform::Value>& object,
                                               std::int64_t* failureCode) {
  if (!APMValueObjectCheck(object, kAPMValidationKindEventParameterValue, failureCode)) {
    return false;
  }
  const std::optional<std::string> code = APMValueOf(*object)->stringValue();
  if (code && platform::text::utf16Length(*code) == kCurrencyCodeLength && isAllLetters(*code)) {
    return true;
  }
  setFailure(failureCode, kAPMValidationFailureInvalidCurrency);
  log(kWarningLevel, kCurrencyCode,
      platform::format(APMValidationMessage(kAPMValidationKindEventParameterValue,
                                            " must contain a %d-letter ISO_4217 currency code. "
                                            "value"),
                       {kCurrencyCodeLength}),
      {*object});
  return false;
}

bool APMDataTypeValidator::isValidArrayParamForEvent(std::string_view eventName,
                                                     std::string_view paramName,
                                                     std::uint64_t arrayCount,
                                                     bool isNestedArrayParam,
                                                     std::int64_t* failureCode) {
  setFailure(failureCode, kAPMValidationFailureNone);
  if (isNestedArrayParam) {
    setFailure(failureCode, kAPMValidationFailureArrayNested);
    log(kErrorLevel, kArrayParameterCode, "Nested array parameters are not allowed. Name",
        {paramName});
    return false;
  }
  if (!APMIsEcommerceEventName(eventName)) {
    setFailure(failureCode, kAPMValidationFailureArrayNotEcommerce);
    log(kErrorLevel, kArrayParameterCode,
        "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        {eventName});
    return false;
  }
  if (paramName != "items") {
    setFailure(failureCode, kAPMValidationFailureArrayNotItems);
    log(kErrorLevel, kArrayParameterCode,
        APMValidationMessage(kAPMValidationKindEventParameterName,
                             " is an invalid ecommerce items. The name of array parameters for "
                             "ecommerce should be \"items\". Invalid parameter name"),
        {paramName});
    return false;
  }
  if (arrayCount > kMaxArrayItems) {
    setFailure(failureCode, kAPMValidationFailureArrayTooLarge);
    log(kErrorLevel, kArrayParameterCode,
        platform::format("Array parameter has too many items. The maximum number of supported "
                         "items is %d. Invalid array size",
                         {kMaxArrayItems}),
        {arrayCount});
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidArrayParamItem(const std::optional<platform::Value>& item,
                                                 std::int64_t* failureCode) {
  setFailure(failureCode, kAPMValidationFailureNone);
  if (item && item->isDictionary()) return true;
  setFailure(failureCode, kAPMValidationFailureArrayItemNotDictionary);
  log(kErrorLevel, kArrayItemCode, "Array param must be a dictionary. Parameters",
      {item.value_or(platform::Value())});
  return false;
}

void APMSetErrorCodeIfAbsent(platform::Dictionary& parameters, std::int64_t code) {
  if (!parameters.contains("_err")) parameters.set("_err", int64Value(code));
}

void APMRecordParameterError(platform::Dictionary& parameters, std::int64_t code,
                             const std::optional<platform::Value>& subject, std::int64_t limit,
                             const std::optional<platform::Value>& lengthSource) {
  if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) {
    return;
  }
  parameters.set("_err", int64Value(code));
  APMAddErrorValueParameters(parameters, subject, limit, lengthSource);
}

void APMAddErrorValueParameters(platform::Dictionary& parameters,
                                const std::optional<platform::Value>& subject,
                                std::int64_t limit,
                                const std::optional<platform::Value>& lengthSource) {
  if (parameters.contains("_ev") || parameters.contains("_el")) return;
  std::string text;
  if (isNil(subject)) {
    text = "(nil)";
  } else if (const std::string* string = subject->asString()) {
    text = *string;
  } else {
    text = platform::classNameOf(*subject);
  }
  const std::int64_t cut = std::max<std::int64_t>(limit, 0);
  if (scalarLength(text) > cut) text = trimmedToScalars(text, cut);
  parameters.set("_ev", platform::Value(APMValue::initWithString(text)));

  if (isNil(lengthSource)) return;
  std::int64_t length = 0;
  if (const std::optional<std::string> string = stringOf(*lengthSource)) {
    length = scalarLength(*string);
  } else if (const std::optional<std::size_t> count = arrayCountOf(*lengthSource)) {
    length = static_cast<std::int64_t>(*count);
  }
  parameters.set("_el", int64Value(length));
}

void APMRecordArrayParameterError(platform::Dictionary& parameters, std::int64_t failureCode,
                                  std::string_view parameterName, std::string_view eventName) {
  std::int64_t code = kAPMErrorCodeNoError;
  std::string_view subject = parameterName;
  switch (failureCode) {
    case kAPMValidationFailureArrayNotEcommerce:
      code = kAPMErrorCodeInvalidArrayParamEventName;
      subject = eventName;
      break;
    case kAPMValidationFailureArrayNotItems:
      code = kAPMErrorCodeInvalidArrayParamName;
      break;
    case kAPMValidationFailureArrayTooLarge:
      code = kAPMErrorCodeTooManyExtraParamEvents;
      break;
    case kAPMValidationFailureArrayNested:
      code = kAPMErrorCodeInvalidArrayParamNesting;
      break;
    default:
      return;
  }
  APMRecordParameterError(parameters, code, platform::Value(subject), kArrayErrorSubjectLimit,
                          std::nullopt);
}

void APMLogErrorEvent(std::int64_t code) {
  if (code == kAPMErrorCodeNoError) return;
  APMLogInternalEvent("auto", "_err", platform::Dictionary{{"_err", platform::Value(code)}});
}

void APMLogErrorEventWithValue(std::int64_t code, const std::optional<platform::Value>& subject,
                               std::int64_t limit, const std::optional<platform::Value>& value) {
  if (code == kAPMErrorCodeNoError) return;
  platform::Dictionary parameters{{"_err", int64Value(code)}};
  bool reportLength = false;
  if (!isNil(value)) {
    const std::optional<std::string> string = stringOf(*value);
    reportLength = code == kAPMErrorCodeInvalidParameterValue ||
                   code == kAPMErrorCodeUserPropertyValueTooLong ||
                   (string && scalarLength(*string) > limit);
  }
  APMAddErrorValueParameters(parameters, subject, limit,
                             reportLength ? value : std::optional<platform::Value>());
  APMLogInternalEvent("auto", "_err", parameters);
}
