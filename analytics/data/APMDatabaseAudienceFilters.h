// APMDatabaseAudienceFilters: the audience definitions and their evaluation state in the
// analytics database. The audience evaluator keeps each leaf filter of an audience as one row
// of "event_filters" or "property_filters" (keyed by audience id and filter id), looks them up
// by the event or property name it is evaluating, and keeps each audience's results as one
// row of "audience_filter_values".
//
// Rows read back are hostile (a damaged file): a filter whose blob does not decode is still
// handed out, with its three flags false; the evaluator decodes the blob itself and skips it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "platform/data.h"
#include "platform/error.h"
#include "platform/value.h"

// One row of "event_filters": the encoded EventFilter of one audience, and the flags of that
// message that the evaluator asks without decoding it.
struct APMEventFilter {
  std::int32_t audienceID = 0;
  std::int32_t filterID = 0;
  std::string eventName;
  platform::Data data;
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;

  bool isSessionScoped() const { return sessionScoped; }
  bool isDynamic() const { return dynamic; }
  bool isSequence() const { return sequence; }
};

// One row of "property_filters": the encoded PropertyFilter of one audience.
struct APMPropertyFilter {
  std::int32_t audienceID = 0;
  std::int32_t filterID = 0;
  std::string propertyName;
  platform::Data data;
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;

  bool isSessionScoped() const { return sessionScoped; }
  bool isDynamic() const { return dynamic; }
  bool isSequence() const { return sequence; }
};

// One row of "audience_filter_values": the encoded ResultData of an audience now and as last
// reported in a bundle (none, or empty, before the first report).
struct APMFilterResult {
  std::int32_t audienceID = 0;
  platform::Data currentResults;
  std::optional<platform::Data> previousResults;
};

using APMEventFilterPtr = std::shared_ptr<const APMEventFilter>;
using APMPropertyFilterPtr = std::shared_ptr<const APMPropertyFilter>;
using APMFilterResultPtr = std::shared_ptr<const APMFilterResult>;

// The flags of a stored filter, read from its encoded message; all false for bytes that do
// not decode.
struct APMFilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};
APMFilterFlags APMEventFilterFlagsFromData(const platform::Data& data);
APMFilterFlags APMPropertyFilterFlagsFromData(const platform::Data& data);

class APMDatabaseAudienceFilters : public virtual APMDatabaseCore {
 public:
  // Filters of the name, in row-id order; nothing when the query failed.
  std::optional<std::vector<APMEventFilterPtr>>
  eventFiltersForEventName(const std::string& eventName, platform::ErrorPtr* error);
  std::optional<std::vector<APMPropertyFilterPtr>>
  propertyFiltersForPropertyName(const std::string& propertyName, platform::ErrorPtr* error);
  // Every audience that has a filter of either kind, each once.
  std::optional<std::vector<std::int32_t>> allAudienceIDs(platform::ErrorPtr* error);
  // Audience id -> the ids of its session-scoped filters.
  std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
  allSessionScopedFilters(platform::ErrorPtr* error);
  // Null when the audience has no result, the row cannot be read, or the query failed (only
  // the last fills the error).
  APMFilterResultPtr filterResultForAudienceID(std::int32_t audienceID, platform::ErrorPtr* error);
  // Audience id -> its result; nothing when the query failed.
  std::optional<std::map<std::int32_t, APMFilterResultPtr>>
  allFilterResults(platform::ErrorPtr* error);

  // Each writes its elements in order, replacing the row of the same key; the first failure
  // stops with false, leaving earlier elements written (the caller's transaction decides).
  bool updateEventFilters(const std::vector<APMEventFilterPtr>& eventFilters,
                          platform::ErrorPtr* error);
  bool updatePropertyFilters(const std::vector<APMPropertyFilterPtr>& propertyFilters,
                             platform::ErrorPtr* error);
  bool updateFilterResults(const std::vector<APMFilterResultPtr>& filterResults,
                           platform::ErrorPtr* error);

  bool deleteEventFilters(const std::vector<APMEventFilterPtr>& eventFilters,
                          platform::ErrorPtr* error);
  bool deletePropertyFilters(const std::vector<APMPropertyFilterPtr>& propertyFilters,
                             platform::ErrorPtr* error);
  // Deletes the results of the audiences of the given results.
  bool deleteFilterResults(const std::vector<APMFilterResultPtr>& filterResults,
                           platform::ErrorPtr* error);
  bool deleteAllEventFilters(platform::ErrorPtr* error);
  bool deleteAllPropertyFilters(platform::ErrorPtr* error);

  // Row records and back; null (with code 3) for a record or object that cannot convert.
  static std::optional<platform::Dictionary>
  dictionaryFromEventFilter(const APMEventFilter* eventFilter, platform::ErrorPtr* error);
  static std::optional<platform::Dictionary>
  dictionaryFromPropertyFilter(const APMPropertyFilter* propertyFilter, platform::ErrorPtr* error);
  static std::optional<platform::Dictionary>
  dictionaryFromFilterResult(const APMFilterResult* filterResult, platform::ErrorPtr* error);
  static APMEventFilterPtr eventFilterFromDictionary(const platform::Dictionary& record,
                                                     platform::ErrorPtr* error);
  static APMPropertyFilterPtr propertyFilterFromDictionary(const platform::Dictionary& record,
                                                           platform::ErrorPtr* error);
  static APMFilterResultPtr filterResultFromDictionary(const platform::Dictionary& record,
                                                       platform::ErrorPtr* error);
};
