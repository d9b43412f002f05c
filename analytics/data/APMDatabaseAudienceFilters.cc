#include "analytics/data/APMDatabaseAudienceFilters.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <utility>

#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/APMServices.h"

namespace {

// SQLite nests each OR of a condition one level deeper and refuses expressions deeper than
// 1000 levels, so the deletion of many filters goes out in groups well below that.
constexpr std::size_t kFiltersPerDeletion = 200;

std::int32_t int32FromRecord(const platform::Dictionary& record, const char* column) {
  return record[column].intValue();
}

platform::Data dataFromRecord(const platform::Dictionary& record, const char* column) {
  const platform::Data* data = record[column].asData();
  return data != nullptr ? *data : platform::Data();
}

std::string stringFromRecord(const platform::Dictionary& record, const char* column) {
  const std::string* text = record[column].asString();
  return text != nullptr ? *text : std::string();
}

template <typename Filter>
bool deleteFilters(APMSqliteStore* store, const std::vector<std::shared_ptr<const Filter>>& filters,
                   const char* tableName, const char* emptyMessage, const char* unknownMessage,
                   platform::ErrorPtr* error) {
  if (filters.empty()) {
    APMSetError(error, 1, emptyMessage);
    return false;
  }
  std::vector<std::string> conditions;
  conditions.reserve(filters.size());
  for (const auto& filter : filters) {
    if (!filter) {
      APMSetError(error, 1, unknownMessage);
      return false;
    }
    conditions.push_back("(audience_id=" + std::to_string(filter->audienceID) +
                         " AND filter_id=" + std::to_string(filter->filterID) + ")");
  }
  for (std::size_t start = 0; start < conditions.size(); start += kFiltersPerDeletion) {
    std::string condition;
    const std::size_t end = std::min(conditions.size(), start + kFiltersPerDeletion);
    for (std::size_t i = start; i < end; ++i) {
      if (i > start) condition += " OR ";
      condition += conditions[i];
    }
    if (!store->deleteRecordsFromTableWithName(tableName, condition, {}, error)) return false;
  }
  return true;
}

}  // namespace

APMFilterFlags APMEventFilterFlagsFromData(const platform::Data& data) {
  APMFilterFlags flags;
  auto message = APMPBEventFilter::initWithBuffer(&data);
  if (!message) return flags;
  flags.sessionScoped = nano_get_bool(message.get(), APMPBEventFilterFields::kSessionScoped);
  flags.dynamic = nano_get_bool(message.get(), APMPBEventFilterFields::kDynamic);
  flags.sequence = nano_get_bool(message.get(), APMPBEventFilterFields::kSequence);
  return flags;
}

APMFilterFlags APMPropertyFilterFlagsFromData(const platform::Data& data) {
  APMFilterFlags flags;
  auto message = APMPBPropertyFilter::initWithBuffer(&data);
  if (!message) return flags;
  flags.sessionScoped = nano_get_bool(message.get(), APMPBPropertyFilterFields::kSessionScoped);
  flags.dynamic = nano_get_bool(message.get(), APMPBPropertyFilterFields::kDynamic);
  flags.sequence = nano_get_bool(message.get(), APMPBPropertyFilterFields::kSequence);
  return flags;
}

// Readers.

std::optional<std::vector<APMEventFilterPtr>>
APMDatabaseAudienceFilters::eventFiltersForEventName(const std::string& eventName,
                                                     platform::ErrorPtr* error) {
  if (eventName.empty()) {
    APMSetError(error, 1, "Received empty event name for getting event filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<const APMEventFilter>(
      kAPMEventFiltersTable, "event_name", platform::Value(eventName), error,
      [](const platform::Dictionary& record, platform::ErrorPtr* rowError) {
        return eventFilterFromDictionary(record, rowError);
      });
}

std::optional<std::vector<APMPropertyFilterPtr>>
APMDatabaseAudienceFilters::propertyFiltersForPropertyName(const std::string& propertyName,
                                                           platform::ErrorPtr* error) {
  if (propertyName.empty()) {
    APMSetError(error, 1, "Received empty property name for getting property filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<const APMPropertyFilter>(
      kAPMPropertyFiltersTable, "property_name", platform::Value(propertyName), error,
      [](const platform::Dictionary& record, platform::ErrorPtr* rowError) {
        return propertyFilterFromDictionary(record, rowError);
      });
}

std::optional<std::vector<std::int32_t>>
APMDatabaseAudienceFilters::allAudienceIDs(platform::ErrorPtr* error) {
  auto rows = sqliteStore()->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!rows) return std::nullopt;
  std::vector<std::int32_t> audienceIDs;
  audienceIDs.reserve(rows->size());
  for (const platform::Dictionary& row : *rows) {
    const platform::Value& audienceID = row["audience_id"];
    if (!audienceID.isNumber()) {
      APMSetError(error, 1, "Received nil audience ID for querying all audience IDs");
      return std::nullopt;
    }
    audienceIDs.push_back(audienceID.intValue());
  }
  return audienceIDs;
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
APMDatabaseAudienceFilters::allSessionScopedFilters(platform::ErrorPtr* error) {
  auto rows = sqliteStore()->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, std::vector<std::int32_t>> filters;
  for (const platform::Dictionary& row : *rows) {
    const platform::Value& audienceID = row["audience_id"];
    const platform::Value& filterID = row["filter_id"];
    // A damaged row without its ids names no filter to clear.
    if (!audienceID.isNumber() || !filterID.isNumber()) continue;
    filters[audienceID.intValue()].push_back(filterID.intValue());
  }
  return filters;
}

APMFilterResultPtr
APMDatabaseAudienceFilters::filterResultForAudienceID(std::int32_t audienceID,
                                                      platform::ErrorPtr* error) {
  auto results = dataTypesFromTableWithName<const APMFilterResult>(
      kAPMAudienceFilterValuesTable, "audience_id", platform::Value(audienceID), error,
      [](const platform::Dictionary& record, platform::ErrorPtr* rowError) {
        return filterResultFromDictionary(record, rowError);
      });
  if (!results || results->empty()) return nullptr;
  return results->front();
}

std::optional<std::map<std::int32_t, APMFilterResultPtr>>
APMDatabaseAudienceFilters::allFilterResults(platform::ErrorPtr* error) {
  auto results = allDataTypesFromTableWithName<const APMFilterResult>(
      kAPMAudienceFilterValuesTable, -1, error,
      [](const platform::Dictionary& record, platform::ErrorPtr* rowError) {
        return filterResultFromDictionary(record, rowError);
      });
  if (!results) return std::nullopt;
  std::map<std::int32_t, APMFilterResultPtr> resultsByAudience;
  for (auto& result : *results) resultsByAudience[result->audienceID] = std::move(result);
  return resultsByAudience;
}

// Writers.

bool APMDatabaseAudienceFilters::updateEventFilters(
    const std::vector<APMEventFilterPtr>& eventFilters, platform::ErrorPtr* error) {
  if (eventFilters.empty()) {
    APMSetError(error, 1, "Received empty event filters to update");
    return false;
  }
  for (const auto& eventFilter : eventFilters) {
    auto record = dictionaryFromEventFilter(eventFilter.get(), error);
    if (!record || !insertDataType(record, kAPMEventFiltersTable, error)) return false;
  }
  return true;
}

bool APMDatabaseAudienceFilters::updatePropertyFilters(
    const std::vector<APMPropertyFilterPtr>& propertyFilters, platform::ErrorPtr* error) {
  if (propertyFilters.empty()) {
    APMSetError(error, 1, "Received empty property filters to update");
    return false;
  }
  for (const auto& propertyFilter : propertyFilters) {
    auto record = dictionaryFromPropertyFilter(propertyFilter.get(), error);
    if (!record || !insertDataType(record, kAPMPropertyFiltersTable, error)) return false;
  }
  return true;
}

bool APMDatabaseAudienceFilters::updateFilterResults(
    const std::vector<APMFilterResultPtr>& filterResults, platform::ErrorPtr* error) {
  if (filterResults.empty()) {
    APMSetError(error, 1, "Received empty filter results to update");
    return false;
  }
  for (const auto& filterResult : filterResults) {
    auto record = dictionaryFromFilterResult(filterResult.get(), error);
    if (!record || !insertDataType(record, kAPMAudienceFilterValuesTable, error)) return false;
  }
  return true;
}

bool APMDatabaseAudienceFilters::deleteEventFilters(
    const std::vector<APMEventFilterPtr>& eventFilters, platform::ErrorPtr* error) {
  return deleteFilters(sqliteStore(), eventFilters, kAPMEventFiltersTable,
                       "Received empty event filters to delete",
                       "Received unknown type to delete event filter", error);
}

bool APMDatabaseAudienceFilters::deletePropertyFilters(
    const std::vector<APMPropertyFilterPtr>& propertyFilters, platform::ErrorPtr* error) {
  return deleteFilters(sqliteStore(), propertyFilters, kAPMPropertyFiltersTable,
                       "Received empty property filters to delete",
                       "Received unknown type to delete property filter", error);
}

bool APMDatabaseAudienceFilters::deleteFilterResults(
    const std::vector<APMFilterResultPtr>& filterResults, platform::ErrorPtr* error) {
  if (filterResults.empty()) {
    APMSetError(error, 1, "Received empty filter results to delete");
    return false;
  }
  std::set<std::int32_t> audienceIDs;
  for (const auto& filterResult : filterResults) {
    if (!filterResult) {
      APMSetError(error, 1, "Received unknown type to delete filter result");
      return false;
    }
    audienceIDs.insert(filterResult->audienceID);
  }
  std::string list;
  for (std::int32_t audienceID : audienceIDs) {
    if (!list.empty()) list += ",";
    list += std::to_string(audienceID);
  }
  const std::string condition = std::string("audience_id") + " IN (" + list + ")";
  return sqliteStore()
      ->deleteRecordsFromTableWithName(kAPMAudienceFilterValuesTable, condition, {}, error)
      .has_value();
}

bool APMDatabaseAudienceFilters::deleteAllEventFilters(platform::ErrorPtr* error) {
  return sqliteStore()->deleteAllRecordsFromTableWithName(kAPMEventFiltersTable, error);
}

bool APMDatabaseAudienceFilters::deleteAllPropertyFilters(platform::ErrorPtr* error) {
  return sqliteStore()->deleteAllRecordsFromTableWithName(kAPMPropertyFiltersTable, error);
}

// Records.

std::optional<platform::Dictionary>
APMDatabaseAudienceFilters::dictionaryFromEventFilter(const APMEventFilter* eventFilter,
                                                      platform::ErrorPtr* error) {
  if (eventFilter == nullptr) {
    APMSetError(error, 3, "Received empty event filter for getting dictionary representation");
    return std::nullopt;
  }
  if (eventFilter->eventName.empty()) {
    APMSetError(error, 3,
                "Received event filter with empty event name for getting dictionary "
                "representation");
    return std::nullopt;
  }
  if (eventFilter->data.empty()) {
    APMSetError(error, 3,
                "Received event filter with empty data for getting dictionary representation");
    return std::nullopt;
  }
  return platform::Dictionary{{"audience_id", eventFilter->audienceID},
                              {"filter_id", eventFilter->filterID},
                              {"event_name", eventFilter->eventName},
                              {"data", eventFilter->data},
                              {"session_scoped", eventFilter->sessionScoped ? 1 : 0}};
}

std::optional<platform::Dictionary>
APMDatabaseAudienceFilters::dictionaryFromPropertyFilter(const APMPropertyFilter* propertyFilter,
                                                         platform::ErrorPtr* error) {
  if (propertyFilter == nullptr) {
    APMSetError(error, 3, "Received empty property filter for getting dictionary representation");
    return std::nullopt;
  }
  if (propertyFilter->propertyName.empty()) {
    APMSetError(error, 3,
                "Received property filter with empty property name for getting dictionary "
                "representation");
    return std::nullopt;
  }
  if (propertyFilter->data.empty()) {
    APMSetError(error, 3,
                "Received property filter with empty data for getting dictionary "
                "representation");
    return std::nullopt;
  }
  return platform::Dictionary{{"audience_id", propertyFilter->audienceID},
                              {"filter_id", propertyFilter->filterID},
                              {"property_name", propertyFilter->propertyName},
                              {"data", propertyFilter->data},
                              {"session_scoped", propertyFilter->sessionScoped ? 1 : 0}};
}

std::optional<platform::Dictionary>
APMDatabaseAudienceFilters::dictionaryFromFilterResult(const APMFilterResult* filterResult,
                                                       platform::ErrorPtr* error) {
  if (filterResult == nullptr) {
    APMSetError(error, 3, "Received empty filter result for getting dictionary representation");
    return std::nullopt;
  }
  if (filterResult->currentResults.empty()) {
    APMSetError(error, 3,
                "Received filter result with empty data for getting dictionary representation");
    return std::nullopt;
  }
  platform::Value previousResults;
  if (filterResult->previousResults && !filterResult->previousResults->empty())
    previousResults = platform::Value(*filterResult->previousResults);
  return platform::Dictionary{{"audience_id", filterResult->audienceID},
                              {"current_results", filterResult->currentResults},
                              {"previous_results", std::move(previousResults)}};
}

APMEventFilterPtr
APMDatabaseAudienceFilters::eventFilterFromDictionary(const platform::Dictionary& record,
                                                      platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting event filter");
    return nullptr;
  }
  auto eventFilter = std::make_shared<APMEventFilter>();
  eventFilter->audienceID = int32FromRecord(record, "audience_id");
  eventFilter->filterID = int32FromRecord(record, "filter_id");
  eventFilter->eventName = stringFromRecord(record, "event_name");
  eventFilter->data = dataFromRecord(record, "data");
  const APMFilterFlags flags = APMEventFilterFlagsFromData(eventFilter->data);
  eventFilter->sessionScoped = flags.sessionScoped;
  eventFilter->dynamic = flags.dynamic;
  eventFilter->sequence = flags.sequence;
  return eventFilter;
}

APMPropertyFilterPtr
APMDatabaseAudienceFilters::propertyFilterFromDictionary(const platform::Dictionary& record,
                                                         platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting property filter");
    return nullptr;
  }
  auto propertyFilter = std::make_shared<APMPropertyFilter>();
  propertyFilter->audienceID = int32FromRecord(record, "audience_id");
  propertyFilter->filterID = int32FromRecord(record, "filter_id");
  propertyFilter->propertyName = stringFromRecord(record, "property_name");
  propertyFilter->data = dataFromRecord(record, "data");
  const APMFilterFlags flags = APMPropertyFilterFlagsFromData(propertyFilter->data);
  propertyFilter->sessionScoped = flags.sessionScoped;
  propertyFilter->dynamic = flags.dynamic;
  propertyFilter->sequence = flags.sequence;
  return propertyFilter;
}

APMFilterResultPtr
APMDatabaseAudienceFilters::filterResultFromDictionary(const platform::Dictionary& record,
                                                       platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting filter result");
    return nullptr;
  }
  auto filterResult = std::make_shared<APMFilterResult>();
  filterResult->audienceID = int32FromRecord(record, "audience_id");
  if (const platform::Data* current = record["current_results"].asData())
    filterResult->currentResults = *current;
  if (const platform::Data* previous = record["previous_results"].asData())
    filterResult->previousResults = *previous;
  return filterResult;
}
