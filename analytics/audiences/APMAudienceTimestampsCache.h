// The evaluation times of dynamic, session-scoped and sequence filters while one bundle is
// evaluated: loaded once per audience from its stored results, advanced by every true
// evaluation, and written back into every result the evaluation produces. A cache belongs to
// one bundling pass (or one evaluation call made without one) and persists nothing itself.
//
// Times are seconds since 1970 while cached; stored results hold them truncated to whole
// seconds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/data/APMDatabaseAudienceFilters.h"
#include "analytics/messages/APMPBMessages.h"

// The times of the sequence filters of one audience, per filter in the order they came.
class APMSequenceTimestampsCache {
 public:
  // Null for no audience.
  static std::shared_ptr<APMSequenceTimestampsCache>
  initWithAudienceID(std::optional<std::int32_t> audienceID);

  std::int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's times; none for an unknown or no filter.
  std::optional<std::vector<double>>
  sequenceTimestampsForFilterID(std::optional<std::int32_t> filterID) const;
  // An event filter's times accumulate, at most one per whole second.
  void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
  // A property filter keeps only its latest time.
  void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
  // One message per filter, in ascending filter order, its times ascending.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
  sequenceFilterResultTimestamps() const;

 private:
  explicit APMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

  std::int32_t audienceID_;
  std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

class APMAudienceTimestampsCache {
 public:
  // Loads the audience's stored times from its current results, once per cache and audience.
  void populateCachedTimestamps(const APMFilterResult* filterResult, std::int32_t audienceID);
  // Records a true evaluation of the filter.
  void addEvaluationTimestamp(double timestamp, const APMEventFilter& filter);
  void addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter);
  // One message per dynamic or session-scoped filter of the audience, ascending by filter.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
  dynamicTimestampsForAudienceID(std::int32_t audienceID) const;
  // None when the audience has no sequence cache.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
  sequenceTimestampsForAudienceID(std::int32_t audienceID) const;

 private:
  // Dynamic and session-scoped filters only move forward in time; others record nothing.
  template <typename Filter> void addDynamicTimestamp(double timestamp, const Filter& filter);
  APMSequenceTimestampsCache& sequenceCacheFor(std::int32_t audienceID);

  // Audience -> filter -> time.
  std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<std::int32_t, std::shared_ptr<APMSequenceTimestampsCache>>
      cachedSequenceEvaluationTimestamps_;
};
