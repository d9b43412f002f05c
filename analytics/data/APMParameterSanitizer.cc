#include "analytics/data/APMParameterSanitizer.h"

#include <algorithm>
#include <string>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMServices.h"
#include "platform/format.h"
#include "platform/keyed_archive.h"

namespace {

// Names and error subjects are cut at this many scalars.
constexpr std::int64_t kNameLimit = 40;
constexpr std::size_t kMaxArrayElements = 200;

void logLine(std::int64_t level, std::int64_t code, const std::string& message,
             const platform::Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

bool isInternalStyleEvent(std::optional<std::string_view> eventName) {
  if (!eventName) return false;
  return APMEventNameMap().contains(*eventName) ||
         (!eventName->empty() && eventName->front() == '_');
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// An "_ev" that an earlier cleaning already cut to the limit: the limit's scalars and "...".
bool isCutErrorValue(const std::string& text, std::uint64_t length, std::int64_t limit) {
  return static_cast<std::int64_t>(length) == limit + 3 && endsWith(text, "...");
}

}  // namespace

bool APMIsValidParameterName(std::string_view name, bool isPublic,
                             platform::Dictionary& fixParameters) {
  const std::optional<platform::Value> object = platform::Value(name);
  std::int64_t failure = kAPMValidationFailureNone;
  if ((!isPublic || APMDataTypeValidator::isValidPublicEventParameterName(object, &failure)) &&
      APMDataTypeValidator::isValidInternalEventParameterName(object, &failure))
    return true;
  if (failure != kAPMValidationFailureNone && !fixParameters.contains("_err")) {
    const std::int64_t error = failure == kAPMValidationFailureReserved
                                   ? kAPMErrorCodeParameterNameIsReserved
                                   : kAPMErrorCodeInvalidParameterName;
    const std::optional<platform::Value> lengthSource =
        static_cast<std::int64_t>(apm_UTF32Length(name)) > kNameLimit
            ? object
            : std::optional<platform::Value>();
    APMRecordParameterError(fixParameters, error, object, kNameLimit, lengthSource);
  }
  return false;
}

APMValuePtr APMSanitizedArrayParameter(const platform::Array& array, std::string_view parameterName,
                                       std::optional<std::string_view> eventName,
                                       platform::Dictionary& fixParameters, bool isNested,
                                       bool isPublic, std::int64_t* failureCode) {
  std::int64_t failure = kAPMValidationFailureNone;
  const bool valid = APMDataTypeValidator::isValidArrayParamForEvent(
      eventName.value_or(std::string_view()), parameterName, array.size(), isNested, &failure);
  if (failureCode != nullptr) *failureCode = failure;
  if (!valid && failure != kAPMValidationFailureArrayTooLarge) return nullptr;

  const std::size_t kept = std::min(array.size(), kMaxArrayElements);
  platform::Array cleaned;
  cleaned.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    const platform::Value& element = array[i];
    std::int64_t itemFailure = kAPMValidationFailureNone;
    if (APMDataTypeValidator::isValidArrayParamItem(element, &itemFailure)) {
      if (auto item = APMSanitizedEventParameters(*element.asDictionary(), eventName, isPublic,
                                                  /*isItem=*/true))
        cleaned.emplace_back(std::move(*item));
    } else {
      const std::string subject = std::string(parameterName) + "[" + std::to_string(i) + "]";
      APMRecordParameterError(fixParameters, kAPMErrorCodeInvalidParameterValue,
                              platform::Value(subject), kNameLimit, std::nullopt);
    }
  }
  // What initWithArray would store, without its copy of 200 cleaned dictionaries.
  return APMValue::initWithValueType(APMValue::kArray, platform::Value(std::move(cleaned)));
}

std::optional<platform::Dictionary>
APMSanitizedEventParameters(const platform::Dictionary& parameters,
                            std::optional<std::string_view> eventName, bool isPublic, bool isItem) {
  if (parameters.empty()) return std::nullopt;
  const auto remoteConfig = APMMeasurementRemoteConfig();
  const bool internalStyle = isInternalStyleEvent(eventName);

  platform::Dictionary fix;
  // The removal list, by position in the input.
  std::vector<bool> removed(parameters.size(), false);
  std::size_t removedCount = 0;
  std::size_t position = 0;
  for (const auto& [name, object] : parameters) {
    const std::size_t index = position++;
    if (!APMIsValidParameterName(name, isPublic, fix)) {
      removed[index] = true;
      ++removedCount;
      continue;
    }
    APMValuePtr value = APMValue::valueFromObject(object, /*allowArray=*/true);
    if (value == nullptr) {
      removed[index] = true;
      ++removedCount;
      logLine(3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
              {platform::Value(platform::classNameOf(object))});
      continue;
    }
    const bool plainInput = !object.isObject();
    // The array may be refused below, leaving no value to ask.
    const bool isArray = value->isArray();
    std::int64_t failure = kAPMValidationFailureNone;
    bool keep = true;
    if (isPublic &&
        !APMDataTypeValidator::isValidPublicEventParameterValue(platform::Value(value), &failure)) {
      keep = false;
    } else if (name == "_ev") {
      // The error value is cut rather than refused, so that the error it describes survives.
      if (const auto text = value->stringValue()) {
        const std::int64_t limit = remoteConfig->maxInternalEventParameterValueLength();
        const std::uint64_t length = apm_UTF32Length(*text);
        if (static_cast<std::int64_t>(length) > limit && !isCutErrorValue(*text, length, limit))
          APMAddErrorValueParameters(fix, platform::Value(*text), limit, platform::Value(*text));
      }
    } else {
      if (internalStyle && !APMDataTypeValidator::isValidInternalEventParameterValue(
                               platform::Value(value), &failure)) {
        keep = false;
      } else if (isArray && plainInput) {
        const APMValuePtr cleaned = APMSanitizedArrayParameter(
            *value->arrayValue(), name, eventName, fix, isItem, isPublic, &failure);
        keep = cleaned != nullptr;
        if (keep) value = cleaned;
      }
    }

    if (keep) {
      if (isArray && failure != kAPMValidationFailureNone)
        APMRecordArrayParameterError(fix, failure, name, eventName.value_or(std::string_view()));
      // An entry the error record already holds stays: the first error wins.
      if (plainInput && !fix.contains(name)) fix.set(name, platform::Value(value));
      continue;
    }
    removed[index] = true;
    ++removedCount;
    if (failure == kAPMValidationFailureTooLong) {
      const auto text = value->stringValue();
      APMRecordParameterError(fix, kAPMErrorCodeInvalidParameterValue, platform::Value(name),
                              kNameLimit,
                              text ? std::optional<platform::Value>(*text) : std::nullopt);
    }
    if (isArray && failure != kAPMValidationFailureNone)
      APMRecordArrayParameterError(fix, failure, name, eventName.value_or(std::string_view()));
  }

  if (removedCount == parameters.size()) return fix;
  platform::Dictionary result;
  if (removedCount == 0 && fix.empty()) {
    result = parameters;
  } else {
    // The input's order, each entry replaced by its fix where there is one, then the fixes
    // for names the input does not keep.
    position = 0;
    for (const auto& [name, object] : parameters) {
      if (removed[position++]) continue;
      const platform::Value* fixed = fix.find(name);
      result.set(name, fixed != nullptr ? *fixed : object);
    }
    for (auto& [name, value] : fix)
      if (!result.contains(name)) result.set(name, std::move(value));
  }

  if (isItem) {
    const std::int32_t allowance = remoteConfig->itemScopedCustomParameterEnabled()
                                       ? remoteConfig->maxItemScopedCustomParameters()
                                       : 0;
    if (APMCountPublicParameters(result, /*customItemOnly=*/true) > allowance) {
      APMTrimParametersToLimit(result, allowance, /*spareItemParameters=*/true);
      APMSetErrorCodeIfAbsent(result, allowance > 0
                                          ? kAPMErrorCodeItemScopedCustomParameterLimitReached
                                          : kAPMErrorCodeCustomParamsInArrayElement);
      logLine(0, 18016, "Item cannot contain custom parameters");
    }
  } else {
    const std::int32_t limit = remoteConfig->maxPublicEventParams();
    if (APMCountPublicParameters(result, /*customItemOnly=*/false) > limit) {
      APMTrimParametersToLimit(result, limit, /*spareItemParameters=*/false);
      APMSetErrorCodeIfAbsent(result, kAPMErrorCodeParameterLimitReached);
      logLine(1, 18017, platform::format("Event cannot contain more than %d parameters", {limit}));
    }
  }
  return result;
}

bool APMValidateValueAndCurrency(platform::Dictionary& parameters) {
  const platform::Value* value = parameters.find("value");
  if (value == nullptr) return true;
  const std::int64_t limit = APMMeasurementRemoteConfig()->maxInternalEventParameterValueLength();
  if (!APMDataTypeValidator::isValidNumericValue(*value)) {
    parameters.erase("value");
    APMRecordParameterError(parameters, kAPMErrorCodeValueIsNotNumeric, platform::Value("value"),
                            limit, std::nullopt);
    return false;
  }
  const platform::Value* currency = parameters.find("currency");
  if (APMDataTypeValidator::isValidCurrencyCode(
          currency != nullptr ? std::optional<platform::Value>(*currency) : std::nullopt))
    return true;
  logLine(3, 18014,
          "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in "
          "the currency parameter.");
  parameters.erase("value");
  APMRecordParameterError(parameters, kAPMErrorCodeCurrencyCodeIsMissingOrInvalid,
                          platform::Value("currency"), limit, std::nullopt);
  return false;
}

namespace {

bool countsAsPublic(const std::string& name, bool customItemOnly) {
  return APMIsPublicName(platform::Value(name)) &&
         !(customItemOnly && APMIsItemParameterName(name));
}

}  // namespace

std::int32_t APMCountPublicParameters(const platform::Dictionary& parameters, bool customItemOnly) {
  std::int32_t count = 0;
  for (const auto& entry : parameters)
    if (countsAsPublic(entry.first, customItemOnly)) ++count;
  return count;
}

void APMTrimParametersToLimit(platform::Dictionary& parameters, std::int32_t limit,
                              bool spareItemParameters) {
  std::int32_t count = APMCountPublicParameters(parameters, spareItemParameters);
  if (count <= limit) return;
  std::vector<std::string> names = parameters.keys();
  std::sort(names.begin(), names.end());
  for (auto it = names.rbegin(); it != names.rend() && count > limit; ++it) {
    if (!countsAsPublic(*it, spareItemParameters)) continue;
    parameters.erase(*it);
    --count;
  }
}

void APMTrimPublicParameters(platform::Dictionary& parameters, std::int32_t limit) {
  APMTrimParametersToLimit(parameters, limit, /*spareItemParameters=*/false);
}
