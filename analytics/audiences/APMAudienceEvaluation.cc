// Evaluation: the stored filters against events and user properties, the results for
// bundling and the session clear.
#include "analytics/audiences/APMAudience.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <variant>

#include "analytics/audiences/APMAudienceComparisons.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMServices.h"

namespace {

using platform::Array;
using platform::Value;
namespace RD = APMPBResultDataFields;

// The configuration never allows more filters per audience than this, so a filter ID at or
// beyond it (or below 0) comes from a damaged row; refusing it keeps a stored int32 from
// growing the bit words to gigabytes.
constexpr std::int32_t kMaxFilterIDBound = 100;

bool isPlausibleFilterID(std::int32_t filterID) {
  return filterID >= 0 && filterID < kMaxFilterIDBound;
}

using Words = std::vector<std::uint64_t>;

Words wordsOf(const APMPBResultData* data, std::int32_t index) {
  Words words;
  const auto array = nano_get_array(data, index, nullptr);
  if (!array) return words;
  words.reserve(array->size());
  for (const auto& element : *array) {
    const auto* value = std::get_if<Value>(&element);
    words.push_back(value != nullptr ? value->unsignedLongLongValue() : 0);
  }
  return words;
}

void setWords(APMPBResultData* data, std::int32_t index, const Words& words) {
  NanoObjectArray array;
  array.reserve(words.size());
  for (const auto word : words) array.emplace_back(Value(word));
  nano_set_array(data, index, &array);
}

bool allZero(const Words& words) {
  return std::all_of(words.begin(), words.end(), [](std::uint64_t word) { return word == 0; });
}

std::shared_ptr<APMPBResultData> decodeResultData(const platform::Data& data) {
  return APMPBResultData::initWithBuffer(&data);
}

platform::Data encoded(const NANOMessageBase& message) {
  return message.protoBuffer().value_or(platform::Data());
}

// A row and its decoded bit words. Evaluation asks the same row about one filter after
// another, so the words are decoded once per row and kept in step with each update instead of
// being decoded again for every filter.
class RowWords {
 public:
  explicit RowWords(const APMFilterResult* row) {
    if (row == nullptr) return;
    row_ = std::make_shared<APMFilterResult>(*row);
    if (row->currentResults.empty()) return;
    const auto data = decodeResultData(row->currentResults);
    status_ = wordsOf(data.get(), RD::kStatus);
    results_ = wordsOf(data.get(), RD::kResults);
    missingWords_ = status_.empty() || results_.empty();
  }

  const APMFilterResultPtr& row() const { return row_; }

  bool isTrue(std::int32_t filterID) const {
    if (row_ == nullptr || row_->currentResults.empty() || filterID < 0) return false;
    if (missingWords_) {
      APMLog(2, 6023,
             "Audience filter result is non-nil and is missing status or results array. Audience "
             "result will not be bundled. Audience ID, result data",
             {Value(row_->audienceID), Value(row_->currentResults)});
      return false;
    }
    const auto word = static_cast<std::size_t>(filterID / 64);
    const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
    if (word >= status_.size() || (status_[word] & bit) == 0) return false;
    return word < results_.size() && (results_[word] & bit) != 0;
  }

  // Sets the filter's bits; the row takes them, with the cache's times, at `finish`.
  void update(std::int32_t filterID, std::int32_t audienceID, std::optional<bool> value) {
    pending_ = true;
    audienceID_ = audienceID;
    if (!isPlausibleFilterID(filterID)) return;
    bitsChanged_ = true;
    const auto word = static_cast<std::size_t>(filterID / 64);
    const auto length = std::max({status_.size(), results_.size(), word + 1});
    status_.resize(length, 0);
    results_.resize(length, 0);
    missingWords_ = false;
    const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
    if (value) {
      status_[word] |= bit;
      if (*value) {
        results_[word] |= bit;
      } else {
        results_[word] &= ~bit;
      }
    } else {
      status_[word] &= ~bit;
    }
  }

  // The new row of the updates so far. Only the audience's own filters move its times in the
  // cache, so encoding once after its last update gives what encoding after each would.
  const APMFilterResultPtr& finish(const APMAudienceTimestampsCache& cache) {
    if (!pending_) return row_;
    pending_ = false;
    auto result = row_ != nullptr ? std::make_shared<APMFilterResult>(*row_)
                                  : std::make_shared<APMFilterResult>();
    result->audienceID = audienceID_;
    row_ = result;
    if (!bitsChanged_) return row_;
    auto data = APMPBResultData::initWithMessageInfo(nullptr);
    if (data == nullptr) return row_;
    setWords(data.get(), RD::kStatus, status_);
    setWords(data.get(), RD::kResults, results_);
    const auto dynamic = cache.dynamicTimestampsForAudienceID(audienceID_);
    NanoObjectArray dynamicArray(dynamic.begin(), dynamic.end());
    nano_set_array(data.get(), RD::kDynamicFilterTimestamps, &dynamicArray);
    if (const auto sequence = cache.sequenceTimestampsForAudienceID(audienceID_)) {
      NanoObjectArray sequenceArray(sequence->begin(), sequence->end());
      nano_set_array(data.get(), RD::kSequenceFilterTimestamps, &sequenceArray);
    }
    result->currentResults = encoded(*data);
    return row_;
  }

 private:
  APMFilterResultPtr row_;
  Words status_;
  Words results_;
  bool missingWords_ = false;
  bool pending_ = false;
  // False while every update named a filter no configuration allows: the row stays as read.
  bool bitsChanged_ = false;
  std::int32_t audienceID_ = 0;
};

// The audiences' rows during one evaluation call: what this call updated, else what it
// loaded, else the stored row.
class CurrentResults {
 public:
  explicit CurrentResults(APMDatabase& database) : database_(database) {}

  // Null on a failed read; an audience without a row has a RowWords of no row.
  RowWords* current(std::int32_t audienceID, platform::ErrorPtr* error) {
    if (auto found = updated_.find(audienceID); found != updated_.end()) return &found->second;
    if (auto found = loaded_.find(audienceID); found != loaded_.end()) return &found->second;
    platform::ErrorPtr readError;
    const auto row = database_.filterResultForAudienceID(audienceID, &readError);
    if (row == nullptr && readError != nullptr) {
      if (error != nullptr) *error = readError;
      return nullptr;
    }
    return &loaded_.emplace(audienceID, RowWords(row.get())).first->second;
  }

  // The audience's row was updated: it leaves the loaded ones.
  void markUpdated(std::int32_t audienceID) {
    auto found = loaded_.find(audienceID);
    if (found == loaded_.end()) return;
    updated_.insert_or_assign(audienceID, std::move(found->second));
    loaded_.erase(found);
  }

  // True when nothing needed storing.
  bool store(const APMAudienceTimestampsCache& cache, platform::ErrorPtr* error) {
    if (updated_.empty()) return true;
    std::vector<APMFilterResultPtr> rows;
    rows.reserve(updated_.size());
    for (auto& [audienceID, words] : updated_) rows.push_back(words.finish(cache));
    return database_.updateFilterResults(rows, error);
  }

 private:
  APMDatabase& database_;
  std::map<std::int32_t, RowWords> updated_;
  std::map<std::int32_t, RowWords> loaded_;
};

// An event parameter as the comparisons take it; callers hand in APMValue objects or plain
// values.
APMValuePtr parameterValue(const Value& object) {
  if (auto value = APMValueOf(object)) return value;
  return APMValue::valueFromObject(object, /*allowArray=*/true);
}

Value messageContext(const NANOMessageBase* message) {
  return message != nullptr ? Value(std::string(message->className())) : Value();
}

// The loop shared by events and user properties: each stored filter of the name is evaluated
// against its audience's current row unless already settled, its time recorded when true,
// and every updated row stored in one call at the end. `evaluate` gives the filter's result
// (none: not evaluated) and `stored` the value kept from a result and the old bit.
struct FailureLines {
  std::int64_t readCode;
  const char* readMessage;
  std::int64_t saveCode;
  const char* saveMessage;
  Value nameContext;
};

template <typename Filter, typename Evaluate, typename Stored>
bool evaluateStoredFilters(APMDatabase& database,
                           const std::vector<std::shared_ptr<const Filter>>& filters,
                           APMAudienceTimestampsCache* cache, double timestamp,
                           const FailureLines& failure, Evaluate evaluate, Stored stored) {
  APMAudienceTimestampsCache ownCache;
  if (cache == nullptr) cache = &ownCache;
  CurrentResults results(database);
  platform::ErrorPtr error;
  for (const auto& filter : filters) {
    // A filter ID no configuration allows comes from a damaged row and has no bit to keep.
    if (filter == nullptr || !isPlausibleFilterID(filter->filterID)) continue;
    RowWords* current = results.current(filter->audienceID, &error);
    if (current == nullptr) {
      APMLog(1, failure.readCode, failure.readMessage,
             {failure.nameContext, APMErrorContext::value(error)});
      return false;
    }
    const bool alreadyTrue = current->isTrue(filter->filterID);
    if (!APMShouldEvaluateFilter(alreadyTrue, *filter)) continue;
    const std::optional<bool> result = evaluate(*filter, alreadyTrue);
    if (!result) continue;
    cache->populateCachedTimestamps(current->row().get(), filter->audienceID);
    if (*result) cache->addEvaluationTimestamp(timestamp, *filter);
    current->update(filter->filterID, filter->audienceID, stored(*filter, *result, alreadyTrue));
    results.markUpdated(filter->audienceID);
  }
  if (!results.store(*cache, &error)) {
    APMLog(1, failure.saveCode, failure.saveMessage,
           {failure.nameContext, APMErrorContext::value(error)});
    return false;
  }
  return true;
}

}  // namespace

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event,
                                          const APMEventAggregates* eventAggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                     event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName,
                                              const platform::Dictionary& eventParameters,
                                              const APMEventAggregates* eventAggregates,
                                              double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
  const Value nameContext(APMEventNameForLog(Value(eventName)));
  platform::ErrorPtr error;
  const auto filters = database_->eventFiltersForEventName(eventName, &error);
  if (!filters) {
    APMLog(
        1, 6000,
        "Unable to query event filters for event. Event will not be evaluated. Event name, error",
        {nameContext, APMErrorContext::value(error)});
    return false;
  }
  const FailureLines failure{
      6001,
      "Unable to query filter result for audience. Event will not be evaluated. Event name, "
      "error",
      6003,
      "Unable to save updated Audience filter results. Event will not be evaluated. Event name, "
      "error",
      nameContext};
  return evaluateStoredFilters(
      *database_, *filters, cache, eventTimestamp, failure,
      [&](const APMEventFilter& filter, bool) {
        return APMEvaluateStoredEventFilter(filter, eventParameters, eventAggregates);
      },
      // An event filter never goes back from true to false through evaluation.
      [](const APMEventFilter&, bool result, bool alreadyTrue) { return result || alreadyTrue; });
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& userProperty,
                                                 APMAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
  const Value nameContext(APMUserPropertyNameForLog(Value(userProperty.name())));
  platform::ErrorPtr error;
  const auto filters = database_->propertyFiltersForPropertyName(userProperty.name(), &error);
  if (!filters) {
    APMLog(1, 6004,
           "Unable to query property filters for property. Property will not be evaluated. "
           "Property name, error",
           {nameContext, APMErrorContext::value(error)});
    return false;
  }
  const FailureLines failure{
      6005,
      "Unable to query filter result for audience. Property will not be evaluated. Property "
      "name, error",
      6007,
      "Unable to save updated Audience filter results. User property will not be evaluated. "
      "User property name, error",
      nameContext};
  return evaluateStoredFilters(
      *database_, *filters, cache, evaluationTimestamp, failure,
      [&](const APMPropertyFilter& filter, bool alreadyTrue) {
        return APMEvaluateStoredPropertyFilter(alreadyTrue, filter, userProperty);
      },
      [](const APMPropertyFilter& filter, bool result, bool alreadyTrue) {
        return APMPropertyResultReplacesOld(result, filter) ? result : alreadyTrue;
      });
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& userProperty,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
  const auto attribute = APMUserAttributeFromNano(userProperty);
  if (attribute == nullptr) {
    APMLog(2, 6039, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, cache,
                                        evaluationTime.value_or(attribute->lastSetTimestamp()));
}

bool APMAudience::resultsForBundling(
    std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>>* results) {
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> messages;
  if (results != nullptr) results->emplace();
  platform::ErrorPtr error;
  const auto rows = database_->allFilterResults(&error);
  if (!rows) {
    APMLog(1, 6019,
           "Unable to query Audience filter results. Audience results will not be bundled. Error",
           {APMErrorContext::value(error)});
    if (results != nullptr) results->reset();
    return false;
  }
  std::vector<APMFilterResultPtr> prepared;
  for (const auto& [audienceID, row] : *rows) {
    if (row == nullptr) continue;
    const auto current = decodeResultData(row->currentResults);
    if (current == nullptr) {
      APMLog(2, 6020,
             "Current result data is nil. Audience result will not be bundled. Audience ID",
             {Value(audienceID)});
      continue;
    }
    if (allZero(wordsOf(current.get(), RD::kStatus))) {
      APMLog(2, 6021,
             "Current result status is 0. Audience result will not be bundled. Audience ID",
             {Value(audienceID)});
      continue;
    }
    auto message = APMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
    if (message == nullptr) continue;
    nano_set_int32(message.get(), RD::kLeafAudienceID, audienceID);
    std::shared_ptr<APMPBResultData> previous;
    const bool hasPrevious = row->previousResults && !row->previousResults->empty();
    if (hasPrevious) {
      nano_set_bool_field(message.get(), RD::kLeafNoPreviousResults, false);
      previous = decodeResultData(*row->previousResults);
      if (previous != nullptr && encoded(*previous) == encoded(*current)) {
        previous = nullptr;
        // Unchanged since the last bundle: its sequence times were reported already, so only
        // the latest of the first filter's is kept.
        auto sequences = nano_get_array(current.get(), RD::kSequenceFilterTimestamps,
                                        &APMPBSequenceFilterResultTimestamp::messageClass());
        if (sequences && !sequences->empty()) {
          const auto* first = std::get_if<NanoMessagePtr>(&sequences->front());
          if (first != nullptr && *first != nullptr) {
            auto times = nano_get_array(first->get(), RD::kSequenceEvalTimestamps, nullptr);
            if (times && times->size() >= 2) {
              NanoObjectArray last{times->back()};
              nano_set_array(first->get(), RD::kSequenceEvalTimestamps, &last);
              nano_set_array(current.get(), RD::kSequenceFilterTimestamps, &*sequences);
            }
          }
        }
      }
    } else {
      nano_set_bool_field(message.get(), RD::kLeafNoPreviousResults, true);
    }
    nano_set_message(message.get(), RD::kLeafCurrentResults, current.get());
    if (previous != nullptr)
      nano_set_message(message.get(), RD::kLeafPreviousResults, previous.get());
    messages.push_back(std::move(message));

    auto updated = std::make_shared<APMFilterResult>();
    updated->audienceID = audienceID;
    updated->currentResults = encoded(*current);
    updated->previousResults = row->currentResults;
    prepared.push_back(std::move(updated));
  }
  if (!prepared.empty() && !database_->updateFilterResults(prepared, &error)) {
    APMLog(1, 6022,
           "Unable to save updated Audience filter results. Audience results will not be bundled. "
           "Error",
           {APMErrorContext::value(error)});
    if (results != nullptr) results->reset();
    return false;
  }
  if (results != nullptr) *results = std::move(messages);
  return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  platform::ErrorPtr error;
  const auto sessionScoped = database_->allSessionScopedFilters(&error);
  if (!sessionScoped) {
    APMLog(1, 6040,
           "Unable to query all session scoped filters. Session scoped results will not be "
           "cleared. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  const auto rows = database_->allFilterResults(&error);
  if (!rows) {
    APMLog(1, 6041,
           "Unable to query all filter results. Session scoped results will not be cleared. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    const auto found = rows->find(audienceID);
    if (found == rows->end() || found->second == nullptr) continue;
    const auto& row = found->second;
    const auto data = decodeResultData(row->currentResults);
    if (data == nullptr) continue;
    auto status = wordsOf(data.get(), RD::kStatus);
    auto results = wordsOf(data.get(), RD::kResults);
    const std::set<std::int32_t> cleared(filterIDs.begin(), filterIDs.end());
    for (const auto filterID : cleared) {
      if (filterID < 0) continue;
      const auto word = static_cast<std::size_t>(filterID / 64);
      const std::uint64_t mask = ~(std::uint64_t{1} << (filterID % 64));
      if (word < status.size()) status[word] &= mask;
      if (word < results.size()) results[word] &= mask;
    }
    if (allZero(status)) {
      if (!database_->deleteFilterResults({row}, &error)) {
        APMLog(1, 6042,
               "Unable to delete filter results. Session scoped results will not be cleared. Error",
               {APMErrorContext::value(error)});
        return false;
      }
      continue;
    }
    setWords(data.get(), RD::kStatus, status);
    setWords(data.get(), RD::kResults, results);
    const auto keep = [&cleared](const NanoObject& element, std::int32_t index) {
      const auto* message = std::get_if<NanoMessagePtr>(&element);
      return message != nullptr && *message != nullptr &&
             !cleared.contains(nano_get_int32(message->get(), index));
    };
    for (const auto& [field, idIndex, messageClass] :
         {std::tuple{RD::kDynamicFilterTimestamps, RD::kDynamicFilterID,
                     &APMPBDynamicFilterResultTimestamp::messageClass()},
          std::tuple{RD::kSequenceFilterTimestamps, RD::kSequenceFilterID,
                     &APMPBSequenceFilterResultTimestamp::messageClass()}}) {
      const auto entries = nano_get_array(data.get(), field, messageClass);
      if (!entries) continue;
      NanoObjectArray kept;
      for (const auto& entry : *entries)
        if (keep(entry, idIndex)) kept.push_back(entry);
      nano_set_array(data.get(), field, &kept);
    }
    auto updated = std::make_shared<APMFilterResult>();
    updated->audienceID = audienceID;
    updated->currentResults = encoded(*data);
    updated->previousResults = row->currentResults;
    if (!database_->updateFilterResults({updated}, &error)) {
      APMLog(2, 6043,
             "Unable to update filter results. Session scoped results will not be cleared. Error",
             {APMErrorContext::value(error)});
      return false;
    }
  }
  return true;
}

bool APMAudience::isFilterResultTrueForFilterID(const APMFilterResult* filterResult,
                                                std::int32_t filterID) {
  return RowWords(filterResult).isTrue(filterID);
}

APMFilterResultPtr APMAudience::updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                                                    const APMFilterResult* currentFilterResult,
                                                    std::optional<bool> newEvaluationResult,
                                                    const APMAudienceTimestampsCache& cache) {
  RowWords words(currentFilterResult);
  words.update(filterID, audienceID, newEvaluationResult);
  return words.finish(cache);
}

bool APMShouldEvaluateFilter(bool alreadyTrue, const APMEventFilter& filter) {
  return !alreadyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

bool APMShouldEvaluateFilter(bool alreadyTrue, const APMPropertyFilter& filter) {
  return !alreadyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

std::optional<bool> APMEvaluateStoredEventFilter(const APMEventFilter& filter,
                                                 const platform::Dictionary& eventParameters,
                                                 const APMEventAggregates* eventAggregates) {
  const auto message =
      filter.data.empty() ? nullptr : APMPBEventFilter::initWithBuffer(&filter.data);
  if (message == nullptr) {
    APMLog(
        1, 6035,
        "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, "
        "filter ID, audience ID, dynamic",
        {Value(APMEventNameForLog(Value(filter.eventName))), Value(filter.filterID),
         Value(filter.audienceID), Value(filter.isDynamic())});
    return std::nullopt;
  }
  return APMEvaluateEventFilter(message.get(), filter.eventName, eventParameters, eventAggregates);
}

std::optional<bool> APMEvaluateStoredPropertyFilter(bool alreadyTrue,
                                                    const APMPropertyFilter& filter,
                                                    const APMUserAttribute& userProperty) {
  const auto message =
      filter.data.empty() ? nullptr : APMPBPropertyFilter::initWithBuffer(&filter.data);
  if (message == nullptr) {
    APMLog(1, 6036,
           "User property filter contains no data or corrupt data. User property will not be "
           "evaluated. User property name, filter ID, audience ID, dynamic",
           {Value(APMUserPropertyNameForLog(Value(userProperty.name()))), Value(filter.filterID),
            Value(filter.audienceID), Value(filter.isDynamic())});
    return std::nullopt;
  }
  const auto result = APMEvaluatePropertyFilter(message.get(), &userProperty);
  // A plain filter that is already true keeps its result until the session clear.
  if (result && !*result && alreadyTrue && !filter.isDynamic() && !filter.isSequence() &&
      !filter.isSessionScoped())
    return std::nullopt;
  return result;
}

bool APMPropertyResultReplacesOld(bool newResult, const APMPropertyFilter& filter) {
  return newResult || (filter.isDynamic() && !filter.isSessionScoped());
}

std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           const std::string& eventName,
                                           const platform::Dictionary& eventParameters,
                                           const APMEventAggregates* eventAggregates) {
  namespace F = APMPBEventFilterFields;
  if (filter == nullptr) {
    APMLog(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (eventName.empty()) {
    APMLog(1, 7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto filterEventName = nano_get_string(filter, F::kEventName);
  if (!filterEventName || *filterEventName != eventName) {
    APMLog(1, 7006,
           "Event filter name does not match event name. Audience filter will not be "
           "evaluated");
    return std::nullopt;
  }
  const bool hasCountFilter = nano_has_field(filter, F::kEventCountFilter);
  const auto parameterFilters = nano_get_array(filter, F::kFilters, &APMPBFilter::messageClass());
  const bool hasParameterFilters = parameterFilters && !parameterFilters->empty();
  if (!hasCountFilter && !hasParameterFilters) return true;
  if (hasCountFilter) {
    if (eventAggregates == nullptr || eventAggregates->name() != eventName) {
      APMLog(1, 7007,
             "Event aggregates name does not match event name. Audience filter will not be "
             "evaluated",
             {eventAggregates != nullptr ? Value(eventAggregates->name()) : Value(),
              Value(eventName), messageContext(filter)});
      return std::nullopt;
    }
    const std::int32_t count = nano_get_bool(filter, F::kSessionScoped)
                                   ? eventAggregates->currentSessionCount()
                                   : eventAggregates->lifetimeCount();
    const auto countFilter =
        nano_get_message(filter, F::kEventCountFilter, APMPBNumberFilter::messageClass());
    const auto counted =
        APMCompareInt64(static_cast<const APMPBNumberFilter*>(countFilter.get()), count);
    if (!counted || !*counted) return counted;
  }
  if (!hasParameterFilters) return true;
  for (const auto& element : *parameterFilters) {
    const auto* held = std::get_if<NanoMessagePtr>(&element);
    const auto* parameterFilter =
        held != nullptr ? static_cast<const APMPBFilter*>(held->get()) : nullptr;
    const auto name = nano_get_string(parameterFilter, APMPBFilterFields::kParamName);
    if (!name || name->empty()) {
      APMLog(1, 7008,
             "Event filter does not have parameter name. Audience filter will not be "
             "evaluated");
      return std::nullopt;
    }
    const Value* object = eventParameters.find(*name);
    const auto value = object != nullptr ? parameterValue(*object) : nullptr;
    if (value == nullptr) {
      APMLog(3, 7009,
             "Event does not have parameter required by filter. Audience filter will not "
             "be evaluated");
      return std::nullopt;
    }
    if (value->isString() && !nano_has_field(parameterFilter, APMPBFilterFields::kStringFilter)) {
      APMLog(
          3, 7010,
          "Event param is a string and the filter does not have a string filter. Audience filter "
          "will not be evaluated. Event name, event params, filter",
          {Value(APMEventNameForLog(Value(eventName))), Value(eventParameters),
           messageContext(parameterFilter)});
      return std::nullopt;
    }
    const auto result = APMEvaluateFilter(parameterFilter, value.get());
    if (!result || !*result) return result;
  }
  return true;
}

std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const APMUserAttribute* userProperty) {
  namespace F = APMPBPropertyFilterFields;
  if (filter == nullptr) {
    APMLog(1, 7011, "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (userProperty == nullptr) {
    APMLog(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto name = nano_get_string(filter, F::kPropertyName);
  if (!name || *name != userProperty->name()) {
    APMLog(1, 7013,
           "User property name does not match property filter name. Audience filter will "
           "not be evaluated");
    return std::nullopt;
  }
  if (!nano_has_field(filter, F::kFilter)) {
    APMLog(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const auto& value = userProperty->value();
  if (value == nullptr || !(value->isString() || value->isInt64() || value->isDouble())) {
    APMLog(1, 7015,
           "Unknown user property type. Audience filter will not be evaluated. Property Name",
           {Value(APMUserPropertyNameForLog(Value(userProperty->name())))});
    return std::nullopt;
  }
  const auto condition = nano_get_message(filter, F::kFilter, APMPBFilter::messageClass());
  return APMEvaluateFilter(static_cast<const APMPBFilter*>(condition.get()), value.get());
}

std::shared_ptr<const APMUserAttribute>
APMUserAttributeFromNano(const APMPBUserAttribute& property) {
  namespace F = APMPBUserAttributeFields;
  const auto name = nano_get_string(&property, F::kName);
  if (!name) return nullptr;
  APMValuePtr value;
  if (nano_has_field(&property, F::kStringValue)) {
    value =
        APMValue::initWithString(Value(nano_get_string(&property, F::kStringValue).value_or("")));
  } else if (nano_has_field(&property, F::kIntValue)) {
    value = APMValue::initWithInt64(nano_get_int64(&property, F::kIntValue));
  } else if (nano_has_field(&property, F::kDoubleValue)) {
    value = APMValue::initWithDouble(nano_get_double(&property, F::kDoubleValue));
  }
  if (value == nullptr) return nullptr;
  const double lastSet =
      static_cast<double>(nano_get_int64(&property, F::kSetTimestampMillis)) / 1000.0;
  return APMUserAttribute::initWithOrigin(std::string(), *name, Value(value), lastSet);
}
