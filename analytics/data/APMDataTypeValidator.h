// The rules every name and value must meet before the analytics client accepts it, the
// analytics error codes with which a rejected one is reported, and the ways such an error is
// recorded: inside the parameters of the event that carried it ("_err", "_ev", "_el"), or as
// an internal error event "_err".
//
// Every check returns whether the object passes, writes a failure code through its optional
// out-parameter and logs the reason through the monitor. Objects are passed as they came
// (none is nil); values to check are APMValue objects held in a platform::Value. Lengths are
// counted in Unicode scalar values. The character sets and tables are built once; the checks
// may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// What a check is looking at; it names the subject of the logged messages.
enum APMValidationKind : std::int64_t {
  kAPMValidationKindEventName = 0,
  kAPMValidationKindEventOrigin = 1,
  kAPMValidationKindEventParameterName = 2,
  kAPMValidationKindEventParameterValue = 3,
  kAPMValidationKindUserPropertyName = 4,
  kAPMValidationKindUserPropertyValue = 5,
  kAPMValidationKindScreenParameterValue = 6,
  kAPMValidationKindConditionalUserPropertyOrigin = 7,
  kAPMValidationKindConditionalUserPropertyName = 8,
  kAPMValidationKindConditionalUserPropertyValue = 9,
};

// Failure codes written through the checks' out-parameter; 0 is no failure.
enum APMValidationFailure : std::int64_t {
  kAPMValidationFailureNone = 0,
  kAPMValidationFailureMissing = 1,        // nil, or empty where a character is required
  kAPMValidationFailureTooLong = 2,
  kAPMValidationFailureBadCharacters = 3,  // or a public name not starting with a letter
  kAPMValidationFailureReserved = 4,       // reserved name or reserved prefix
  kAPMValidationFailureWrongType = 5,      // not a string, or not an APMValue
  kAPMValidationFailureNotForwarded = 6,   // origin without the suffix "+rtm"
  kAPMValidationFailureTooShort = 7,
  kAPMValidationFailureNotNumeric = 8,
  kAPMValidationFailureInvalidCurrency = 9,
  kAPMValidationFailureArrayNotEcommerce = 10,
  kAPMValidationFailureArrayNotItems = 11,
  kAPMValidationFailureArrayTooLarge = 12,
  kAPMValidationFailureArrayNested = 13,
  kAPMValidationFailureArrayItemNotDictionary = 14,
};

// Analytics error codes: the value of "_err". 24 to 27 do not exist.
enum APMAnalyticsErrorCode : std::int64_t {
  kAPMErrorCodeNoError = 0,
  kAPMErrorCodeInvalidVIZAppID = 1,
  kAPMErrorCodeInvalidEventName = 2,
  kAPMErrorCodeInvalidParameterName = 3,
  kAPMErrorCodeInvalidParameterValue = 4,
  kAPMErrorCodeParameterLimitReached = 5,
  kAPMErrorCodeInvalidUserPropertyName = 6,
  kAPMErrorCodeUserPropertyValueTooLong = 7,
  kAPMErrorCodeEventLimitReached = 8,
  kAPMErrorCodeUserPropertyLimitReached = 9,
  kAPMErrorCodeConversionEventLimitReached = 10,
  kAPMErrorCodeEventIsBlocked = 11,
  kAPMErrorCodeUserPropertyIsBlocked = 12,
  kAPMErrorCodeEventNameIsReserved = 13,
  kAPMErrorCodeParameterNameIsReserved = 14,
  kAPMErrorCodeUserPropertyNameIsReserved = 15,
  kAPMErrorCodePublicEventLimitReached = 16,
  kAPMErrorCodeTooManyExtraParamEvents = 17,
  kAPMErrorCodeValueIsNotNumeric = 18,
  kAPMErrorCodeCurrencyCodeIsMissingOrInvalid = 19,
  kAPMErrorCodeInvalidArrayParamName = 20,
  kAPMErrorCodeInvalidArrayParamEventName = 21,
  kAPMErrorCodeInvalidArrayParamNesting = 22,
  kAPMErrorCodeCustomParamsInArrayElement = 23,
  kAPMErrorCodeItemScopedCustomParameterLimitReached = 28,
};

// Each analytics error code's name ("NoError", "InvalidVIZAppID", ...), for log output only.
const std::map<std::int64_t, std::string>& APMErrorCodeNames();

// The subject of a kind ("Event name", ...; "Object" above 9) followed by the suffix, which
// begins with a blank; the subject alone for an empty suffix.
std::string APMValidationMessage(std::int64_t type, std::string_view suffix);

// The value must be a non-nil APMValue: failure 1 (code 13004) or 5 (code 13005).
bool APMValueObjectCheck(const std::optional<platform::Value>& object, std::int64_t type,
                         std::int64_t* failureCode = nullptr);

class APMDataTypeValidator {
 public:
  APMDataTypeValidator() = delete;

  // ---- Generic checks; each first sets the failure code to 0.

  // A string of minLength to maxLength scalars.
  static bool isValidString(const std::optional<platform::Value>& object, std::int64_t minLength,
                            std::int64_t maxLength, std::int64_t type,
                            std::int64_t* failureCode = nullptr);
  // A string of 1 to maxLength letters, decimal digits (of any script) and "_".
  static bool isValidInternalName(const std::optional<platform::Value>& object,
                                  std::int64_t maxLength, std::int64_t type,
                                  std::int64_t* failureCode = nullptr);
  // An internal name that starts with a letter.
  static bool isValidPublicName(const std::optional<platform::Value>& object,
                                std::int64_t maxLength, std::int64_t type,
                                std::int64_t* failureCode = nullptr);
  // An APMValue; a string value must hold minLength to maxLength scalars, numbers and
  // arrays pass.
  static bool isValidValue(const std::optional<platform::Value>& object, std::int64_t minLength,
                           std::int64_t maxLength, std::int64_t type,
                           std::int64_t* failureCode = nullptr);
  // Begins with "ziruzada_", "rerora_" or "da_".
  static bool hasReservedPrefixes(std::string_view string);

  // ---- Specific checks

  // Public name of at most 40, neither a reserved internal event's public name (unless
  // allowed for public logging) nor with a reserved prefix.
  static bool isValidPublicEventName(const std::optional<platform::Value>& object,
                                     std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventName(const std::optional<platform::Value>& object,
                                       std::int64_t* failureCode = nullptr);
  static bool isValidPublicEventParameterName(const std::optional<platform::Value>& object,
                                              std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterName(const std::optional<platform::Value>& object,
                                                std::int64_t* failureCode = nullptr);
  // Up to the configured maxPublicEventParameterValueLength / maxInternal...; empty passes.
  static bool isValidPublicEventParameterValue(const std::optional<platform::Value>& object,
                                               std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterValue(const std::optional<platform::Value>& object,
                                                 std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const std::optional<platform::Value>& object,
                                         std::int64_t* failureCode = nullptr);
  // "<internal name>+rtm". Failure 6 for an origin without the suffix, which callers may
  // still accept as an internal origin.
  static bool isValidForwardedEventOrigin(const std::optional<platform::Value>& object,
                                          std::int64_t* failureCode = nullptr);
  static bool isValidPublicUserAttributeName(const std::optional<platform::Value>& object,
                                             std::int64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(const std::optional<platform::Value>& object,
                                               std::int64_t* failureCode = nullptr);
  static bool isValidPublicUserAttributeValue(const std::optional<platform::Value>& object,
                                              std::int64_t* failureCode = nullptr);
  // At most 36 scalars; 256 for the properties "_id", "_gbraid" and "_psmvalue".
  static bool isValidInternalUserAttributeValue(const std::optional<platform::Value>& object,
                                                const std::optional<platform::Value>& name,
                                                std::int64_t* failureCode = nullptr);
  // A string (not an APMValue).
  static bool isValidScreenParameterValue(const std::optional<platform::Value>& object,
                                          std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyOrigin(const std::optional<platform::Value>& object,
                                                   std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(const std::optional<platform::Value>& object,
                                                 std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(const std::optional<platform::Value>& object,
                                                  std::int64_t* failureCode = nullptr);
  // An int64 or double APMValue.
  static bool isValidNumericValue(const std::optional<platform::Value>& object,
                                  std::int64_t* failureCode = nullptr);
  // A string APMValue of exactly 3 letters.
  static bool isValidCurrencyCode(const std::optional<platform::Value>& object,
                                  std::int64_t* failureCode = nullptr);
  // An array parameter: not nested, on an ecommerce event, named "items", of at most 200
  // elements; the first broken rule gives the failure.
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                        std::uint64_t arrayCount, bool isNestedArrayParam,
                                        std::int64_t* failureCode = nullptr);
  // An element of an array parameter must be a dictionary.
  static bool isValidArrayParamItem(const std::optional<platform::Value>& item,
                                    std::int64_t* failureCode = nullptr);
};

// ---- Recording an error in a parameter dictionary ("_err" int64, "_ev" string, "_el"
// int64, all as APMValue objects). A dictionary keeps the first error recorded.

// Sets "_err" unless it is there.
void APMSetErrorCodeIfAbsent(platform::Dictionary& parameters, std::int64_t code);
// When none of "_ev", "_el", "_err" is there: "_err" and APMAddErrorValueParameters.
void APMRecordParameterError(platform::Dictionary& parameters, std::int64_t code,
                             const std::optional<platform::Value>& subject, std::int64_t limit,
                             const std::optional<platform::Value>& lengthSource);
// Unless "_ev" or "_el" is there: "_ev" = the subject (a non-string gives its class name,
// none "(nil)") cut to limit scalars plus "..." when longer, and, when a length source is
// given, "_el" = its length (scalars of a string, elements of an array, else 0).
void APMAddErrorValueParameters(platform::Dictionary& parameters,
                                const std::optional<platform::Value>& subject,
                                std::int64_t limit,
                                const std::optional<platform::Value>& lengthSource);
// The analytics error for an array-parameter failure (10 → 21 with the event name as
// subject; 11 → 20, 12 → 17, 13 → 22 with the parameter name); nothing for other failures.
void APMRecordArrayParameterError(platform::Dictionary& parameters, std::int64_t failureCode,
                                  std::string_view parameterName, std::string_view eventName);

// ---- Error events: the internal event "_err", origin "auto". Nothing for code 0.

void APMLogErrorEvent(std::int64_t code);
// "_ev" from the subject cut to the limit; "_el" from the value when it is given and either
// the code is 4 or 7 or the value is a string longer than the limit.
void APMLogErrorEventWithValue(std::int64_t code, const std::optional<platform::Value>& subject,
                               std::int64_t limit, const std::optional<platform::Value>& value);
