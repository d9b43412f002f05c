// Reads rows of the audience and conditional-property tables as a damaged analytics database
// may hand them back: any column missing, null, or of any storage class, blobs of any bytes.
// The input is a run of rows; each starts with a byte choosing the table, then its columns,
// each a column choice, a value kind and the value. Every row goes through its table's reader,
// which must refuse it with an error or make an object that writes back into a row reading
// the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics/data/APMDatabaseAudienceFilters.h"
#include "analytics/data/APMDatabaseConditionalProperties.h"
#include "fuzz/fuzz_input.h"
#include "platform/data.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr const char* kEventFilterColumns[] = {"rowid",      "audience_id", "filter_id",
                                               "event_name", "data",        "session_scoped"};
constexpr const char* kPropertyFilterColumns[] = {"rowid",         "audience_id", "filter_id",
                                                  "property_name", "data",        "session_scoped"};
constexpr const char* kFilterResultColumns[] = {"rowid", "audience_id", "current_results",
                                                "previous_results"};
constexpr const char* kConditionalPropertyColumns[] = {"rowid",
                                                       "name",
                                                       "origin",
                                                       "value",
                                                       "creation_timestamp",
                                                       "active",
                                                       "trigger_timeout",
                                                       "triggered_timestamp",
                                                       "time_to_live",
                                                       "trigger_event_name",
                                                       "timed_out_event",
                                                       "triggered_event",
                                                       "expired_event"};

// Rows and columns per input are bounded so that one input stays small work.
constexpr int kMaxRows = 16;
constexpr int kMaxColumns = 16;

platform::Value readValue(fuzz::FuzzInput& input) {
  const unsigned selector = input.byte() % 6;
  if (auto value = fuzz::columnValue(input, selector)) return *value;
  if (selector == 4) {
    // Blobs may be long: a length of two bytes.
    const std::size_t length = static_cast<std::size_t>(input.integer(2));
    return platform::Value(platform::Data::fromString(input.text(length)));
  }
  return platform::Value(static_cast<std::int64_t>(input.byte()));
}

template <std::size_t N>
platform::Dictionary readRecord(fuzz::FuzzInput& input, const char* const (&columns)[N]) {
  platform::Dictionary record;
  const int count = input.byte() % kMaxColumns;
  for (int i = 0; i < count; ++i) {
    const char* column = columns[input.byte() % N];
    record.set(column, readValue(input));
  }
  return record;
}

void checkEventFilter(const platform::Dictionary& record) {
  platform::ErrorPtr error;
  auto filter = APMDatabaseAudienceFilters::eventFilterFromDictionary(record, &error);
  fuzzCheck(filter != nullptr || error != nullptr, "a refused event filter says why");
  if (!filter) return;
  const APMFilterFlags flags = APMEventFilterFlagsFromData(filter->data);
  fuzzCheck(filter->isSessionScoped() == flags.sessionScoped &&
                filter->isDynamic() == flags.dynamic && filter->isSequence() == flags.sequence,
            "an event filter's flags are its message's");
  auto written = APMDatabaseAudienceFilters::dictionaryFromEventFilter(filter.get(), nullptr);
  fuzzCheck(written.has_value() == (!filter->eventName.empty() && !filter->data.empty()),
            "an event filter with name and data writes back");
  if (!written) return;
  auto again = APMDatabaseAudienceFilters::eventFilterFromDictionary(*written, nullptr);
  fuzzCheck(again && again->audienceID == filter->audienceID &&
                again->filterID == filter->filterID && again->eventName == filter->eventName &&
                again->data == filter->data && again->isSessionScoped() == flags.sessionScoped,
            "an event filter written back reads the same");
}

void checkPropertyFilter(const platform::Dictionary& record) {
  platform::ErrorPtr error;
  auto filter = APMDatabaseAudienceFilters::propertyFilterFromDictionary(record, &error);
  fuzzCheck(filter != nullptr || error != nullptr, "a refused property filter says why");
  if (!filter) return;
  const APMFilterFlags flags = APMPropertyFilterFlagsFromData(filter->data);
  fuzzCheck(filter->isSessionScoped() == flags.sessionScoped &&
                filter->isDynamic() == flags.dynamic && filter->isSequence() == flags.sequence,
            "a property filter's flags are its message's");
  auto written = APMDatabaseAudienceFilters::dictionaryFromPropertyFilter(filter.get(), nullptr);
  fuzzCheck(written.has_value() == (!filter->propertyName.empty() && !filter->data.empty()),
            "a property filter with name and data writes back");
  if (!written) return;
  auto again = APMDatabaseAudienceFilters::propertyFilterFromDictionary(*written, nullptr);
  fuzzCheck(again && again->audienceID == filter->audienceID &&
                again->filterID == filter->filterID &&
                again->propertyName == filter->propertyName && again->data == filter->data,
            "a property filter written back reads the same");
}

void checkFilterResult(const platform::Dictionary& record) {
  platform::ErrorPtr error;
  auto result = APMDatabaseAudienceFilters::filterResultFromDictionary(record, &error);
  fuzzCheck(result != nullptr || error != nullptr, "a refused filter result says why");
  if (!result) return;
  // The stored results are decoded as the evaluator will.
  APMPBResultData::initWithBuffer(&result->currentResults);
  if (result->previousResults) APMPBResultData::initWithBuffer(&*result->previousResults);
  auto written = APMDatabaseAudienceFilters::dictionaryFromFilterResult(result.get(), nullptr);
  fuzzCheck(written.has_value() == !result->currentResults.empty(),
            "a filter result with current results writes back");
  if (!written) return;
  auto again = APMDatabaseAudienceFilters::filterResultFromDictionary(*written, nullptr);
  const bool hadPrevious = result->previousResults && !result->previousResults->empty();
  fuzzCheck(again && again->audienceID == result->audienceID &&
                again->currentResults == result->currentResults &&
                again->previousResults.has_value() == hadPrevious,
            "a filter result written back reads the same");
}

void checkConditionalProperty(const platform::Dictionary& record) {
  platform::ErrorPtr error;
  auto property =
      APMDatabaseConditionalProperties::conditionalUserPropertyFromDictionary(&record, &error);
  fuzzCheck(property != nullptr || error != nullptr, "a refused conditional property says why");
  if (!property) return;
  fuzzCheck(property->value != nullptr, "a conditional property read back has a value");
  auto written = APMDatabaseConditionalProperties::dictionaryFromConditionalUserProperty(
      property.get(), nullptr);
  // An array value is not a storable one; the rest must write back.
  if (!written) {
    fuzzCheck(property->name.empty() || property->origin.empty(),
              "a conditional property with name and origin writes back");
    return;
  }
  auto again =
      APMDatabaseConditionalProperties::conditionalUserPropertyFromDictionary(&*written, nullptr);
  fuzzCheck(again != nullptr, "a conditional property written back reads again");
  fuzzCheck(again->name == property->name && again->origin == property->origin &&
                again->triggerEventName == property->triggerEventName &&
                again->isActive() == property->isActive() &&
                (again->triggeredEvent != nullptr) == (property->triggeredEvent != nullptr) &&
                (again->timedOutEvent != nullptr) == (property->timedOutEvent != nullptr) &&
                (again->expiredEvent != nullptr) == (property->expiredEvent != nullptr),
            "a conditional property written back reads the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  for (int row = 0; row < kMaxRows && size > 0; ++row) {
    switch (input.byte() % 4) {
    case 0:
      checkEventFilter(readRecord(input, kEventFilterColumns));
      break;
    case 1:
      checkPropertyFilter(readRecord(input, kPropertyFilterColumns));
      break;
    case 2:
      checkFilterResult(readRecord(input, kFilterResultColumns));
      break;
    default:
      checkConditionalProperty(readRecord(input, kConditionalPropertyColumns));
      break;
    }
  }
  return 0;
}
