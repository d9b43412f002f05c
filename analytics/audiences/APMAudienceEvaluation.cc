// Evaluation: the stored filters against events and user properties, the results for
// bundling and the session clear.
#include "analytics/audiences/APMAudience.h"

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMUserAttribute.h"

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event,
                                          const APMEventAggregates* eventAggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                     event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string&, const platform::Dictionary&,
                                              const APMEventAggregates*, double,
                                              APMAudienceTimestampsCache*) {
  return true;
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute&,
                                                 APMAudienceTimestampsCache*, double) {
  return true;
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute&,
                                                     APMAudienceTimestampsCache*,
                                                     std::optional<double>) {
  return true;
}

bool APMAudience::resultsForBundling(
    std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>>* results) {
  if (results != nullptr) results->emplace();
  return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() { return true; }

bool APMAudience::isFilterResultTrueForFilterID(const APMFilterResult*, std::int32_t) {
  return false;
}

APMFilterResultPtr APMAudience::updatedFilterResult(std::int32_t, std::int32_t audienceID,
                                                    const APMFilterResult* currentFilterResult,
                                                    std::optional<bool>,
                                                    const APMAudienceTimestampsCache&) {
  auto result = std::make_shared<APMFilterResult>();
  result->audienceID = audienceID;
  if (currentFilterResult != nullptr) result->previousResults = currentFilterResult->previousResults;
  return result;
}

bool APMShouldEvaluateFilter(bool alreadyTrue, const APMEventFilter& filter) {
  return !alreadyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

bool APMShouldEvaluateFilter(bool alreadyTrue, const APMPropertyFilter& filter) {
  return !alreadyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

std::optional<bool> APMEvaluateStoredEventFilter(const APMEventFilter&,
                                                 const platform::Dictionary&,
                                                 const APMEventAggregates*) {
  return std::nullopt;
}

std::optional<bool> APMEvaluateStoredPropertyFilter(bool, const APMPropertyFilter&,
                                                    const APMUserAttribute&) {
  return std::nullopt;
}

bool APMPropertyResultReplacesOld(bool newResult, const APMPropertyFilter& filter) {
  return newResult || (filter.isDynamic() && !filter.isSessionScoped());
}

std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter*, const std::string&,
                                           const platform::Dictionary&,
                                           const APMEventAggregates*) {
  return std::nullopt;
}

std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter*,
                                              const APMUserAttribute*) {
  return std::nullopt;
}

std::shared_ptr<const APMUserAttribute> APMUserAttributeFromNano(const APMPBUserAttribute&) {
  return nullptr;
}
