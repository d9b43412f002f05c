// Builders of audience definitions for the tests: number and string filters, the Filter that
// wraps one, event and property filters, and audiences, each set field by field so that a
// test can leave any field out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/audiences/APMAudienceComparisons.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/value.h"

namespace audience_test {

// Comparison types and match types as the service sends them.
using APMNumberFilterComparisonTypes::kBetween;
using APMNumberFilterComparisonTypes::kEqual;
using APMNumberFilterComparisonTypes::kGreater;
using APMNumberFilterComparisonTypes::kLess;
using APMNumberFilterComparisonTypes::kUnknown;
inline constexpr std::int32_t kMatchUnknown = APMStringFilterMatchTypes::kUnknown;
using APMStringFilterMatchTypes::kBeginsWith;
using APMStringFilterMatchTypes::kContains;
using APMStringFilterMatchTypes::kEndsWith;
using APMStringFilterMatchTypes::kExact;
using APMStringFilterMatchTypes::kInList;
using APMStringFilterMatchTypes::kRegex;

inline std::shared_ptr<APMPBNumberFilter>
numberFilter(std::optional<std::int32_t> type, std::optional<std::string> value = std::nullopt,
             std::optional<std::string> min = std::nullopt,
             std::optional<std::string> max = std::nullopt, std::optional<bool> asFloat = {}) {
  namespace F = APMPBNumberFilterFields;
  auto message = APMPBNumberFilter::initWithMessageInfo(nullptr);
  if (type) nano_set_int32(message.get(), F::kComparisonType, *type);
  if (asFloat) nano_set_bool_field(message.get(), F::kMatchAsFloat, *asFloat);
  if (value) nano_set_string_field(message.get(), F::kComparisonValue, *value);
  if (min) nano_set_string_field(message.get(), F::kMinComparisonValue, *min);
  if (max) nano_set_string_field(message.get(), F::kMaxComparisonValue, *max);
  return message;
}

inline std::shared_ptr<APMPBStringFilter>
stringFilter(std::optional<std::int32_t> type, std::optional<std::string> expression,
             std::optional<bool> caseSensitive = {}, const std::vector<std::string>& list = {}) {
  namespace F = APMPBStringFilterFields;
  auto message = APMPBStringFilter::initWithMessageInfo(nullptr);
  if (type) nano_set_int32(message.get(), F::kMatchType, *type);
  if (expression) nano_set_string_field(message.get(), F::kExpression, *expression);
  if (caseSensitive) nano_set_bool_field(message.get(), F::kCaseSensitive, *caseSensitive);
  if (!list.empty()) {
    NanoObjectArray entries;
    for (const auto& entry : list) entries.emplace_back(platform::Value(entry));
    nano_set_array(message.get(), F::kExpressionList, &entries);
  }
  return message;
}

// A Filter around a number filter, a string filter, both or neither.
inline std::shared_ptr<APMPBFilter>
filter(const std::shared_ptr<APMPBNumberFilter>& number,
       const std::shared_ptr<APMPBStringFilter>& string = nullptr,
       std::optional<bool> complement = {}, std::optional<std::string> parameterName = {}) {
  namespace F = APMPBFilterFields;
  auto message = APMPBFilter::initWithMessageInfo(nullptr);
  if (number) nano_set_message(message.get(), F::kNumberFilter, number.get());
  if (string) nano_set_message(message.get(), F::kStringFilter, string.get());
  if (complement) nano_set_bool_field(message.get(), F::kComplement, *complement);
  if (parameterName) nano_set_string_field(message.get(), F::kParamName, *parameterName);
  return message;
}

// A parameter filter of an event filter: the named parameter under a number or string filter.
inline std::shared_ptr<APMPBFilter> parameterFilter(const std::string& name,
                                                    std::shared_ptr<APMPBNumberFilter> number,
                                                    std::shared_ptr<APMPBStringFilter> string) {
  return filter(number, string, std::nullopt, name);
}

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

inline std::shared_ptr<APMPBEventFilter>
eventFilter(std::optional<std::int32_t> filterID, std::optional<std::string> eventName,
            const std::vector<std::shared_ptr<APMPBFilter>>& parameterFilters = {},
            const std::shared_ptr<APMPBNumberFilter>& countFilter = nullptr, Flags flags = {}) {
  namespace F = APMPBEventFilterFields;
  auto message = APMPBEventFilter::initWithMessageInfo(nullptr);
  if (filterID) nano_set_int32(message.get(), F::kFilterID, *filterID);
  if (eventName) nano_set_string_field(message.get(), F::kEventName, *eventName);
  if (!parameterFilters.empty()) {
    NanoObjectArray entries(parameterFilters.begin(), parameterFilters.end());
    nano_set_array(message.get(), F::kFilters, &entries);
  }
  if (countFilter) nano_set_message(message.get(), F::kEventCountFilter, countFilter.get());
  if (flags.dynamic) nano_set_bool_field(message.get(), F::kDynamic, true);
  if (flags.sequence) nano_set_bool_field(message.get(), F::kSequence, true);
  if (flags.sessionScoped) nano_set_bool_field(message.get(), F::kSessionScoped, true);
  return message;
}

inline std::shared_ptr<APMPBPropertyFilter>
propertyFilter(std::optional<std::int32_t> filterID, std::optional<std::string> propertyName,
               const std::shared_ptr<APMPBFilter>& condition, Flags flags = {}) {
  namespace F = APMPBPropertyFilterFields;
  auto message = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  if (filterID) nano_set_int32(message.get(), F::kFilterID, *filterID);
  if (propertyName) nano_set_string_field(message.get(), F::kPropertyName, *propertyName);
  if (condition) nano_set_message(message.get(), F::kFilter, condition.get());
  if (flags.dynamic) nano_set_bool_field(message.get(), F::kDynamic, true);
  if (flags.sequence) nano_set_bool_field(message.get(), F::kSequence, true);
  if (flags.sessionScoped) nano_set_bool_field(message.get(), F::kSessionScoped, true);
  return message;
}

inline std::shared_ptr<APMPBAudience>
audience(std::optional<std::int32_t> audienceID,
         const std::vector<std::shared_ptr<APMPBEventFilter>>& eventFilters,
         const std::vector<std::shared_ptr<APMPBPropertyFilter>>& propertyFilters = {}) {
  namespace F = APMPBAudienceFields;
  auto message = APMPBAudience::initWithMessageInfo(nullptr);
  if (audienceID) nano_set_int32(message.get(), F::kAudienceID, *audienceID);
  if (!eventFilters.empty()) {
    NanoObjectArray entries(eventFilters.begin(), eventFilters.end());
    nano_set_array(message.get(), F::kEventFilters, &entries);
  }
  if (!propertyFilters.empty()) {
    NanoObjectArray entries(propertyFilters.begin(), propertyFilters.end());
    nano_set_array(message.get(), F::kPropertyFilters, &entries);
  }
  return message;
}

// An encoded ResultData: status and result words, dynamic times and sequence lists by filter.
inline platform::Data
resultData(const std::vector<std::uint64_t>& status, const std::vector<std::uint64_t>& results,
           const std::map<std::int32_t, std::int64_t>& dynamicTimes = {},
           const std::map<std::int32_t, std::vector<std::int64_t>>& sequenceTimes = {}) {
  auto data = APMPBResultData::initWithMessageInfo(nullptr);
  NanoObjectArray statusArray(status.begin(), status.end());
  NanoObjectArray resultsArray(results.begin(), results.end());
  nano_set_array(data.get(), APMPBResultDataFields::kStatus, &statusArray);
  nano_set_array(data.get(), APMPBResultDataFields::kResults, &resultsArray);
  NanoObjectArray dynamic;
  for (const auto& [filterID, time] : dynamicTimes) {
    auto entry = APMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    nano_set_int32(entry.get(), APMPBResultDataFields::kDynamicFilterID, filterID);
    nano_set_int64(entry.get(), APMPBResultDataFields::kDynamicTimestamp, time);
    dynamic.emplace_back(NanoMessagePtr(entry));
  }
  if (!dynamic.empty())
    nano_set_array(data.get(), APMPBResultDataFields::kDynamicFilterTimestamps, &dynamic);
  NanoObjectArray sequence;
  for (const auto& [filterID, times] : sequenceTimes) {
    auto entry = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    nano_set_int32(entry.get(), APMPBResultDataFields::kSequenceFilterID, filterID);
    NanoObjectArray values(times.begin(), times.end());
    nano_set_array(entry.get(), APMPBResultDataFields::kSequenceEvalTimestamps, &values);
    sequence.emplace_back(NanoMessagePtr(entry));
  }
  if (!sequence.empty())
    nano_set_array(data.get(), APMPBResultDataFields::kSequenceFilterTimestamps, &sequence);
  return data->protoBuffer().value();
}

}  // namespace audience_test
