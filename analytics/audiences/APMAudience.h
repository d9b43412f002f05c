// APMAudience: the on-device audience evaluator. The analytics service defines audiences in
// the measurement configuration as sets of leaf filters over events and user properties; this
// object checks and stores those definitions, evaluates the stored filters against each event
// and user property going into a bundle, keeps per audience one pair of bit words (evaluated,
// true) in the analytics database, and hands the results to the bundle.
//
// It keeps only the database and holds no state between calls; every operation runs on the
// analytics worker queue, inside whatever transaction the caller holds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/audiences/APMAudienceTimestampsCache.h"
#include "analytics/data/APMDatabaseAudienceFilters.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

class APMDatabase;
class APMEvent;
class APMEventAggregates;
class APMUserAttribute;

class APMAudience {
 public:
  // Null for a null database.
  static std::shared_ptr<APMAudience> initWithDatabase(std::shared_ptr<APMDatabase> database);

  const std::shared_ptr<APMDatabase>& database() const { return database_; }

  // ---- Definitions

  // Replaces every stored filter definition by those of the valid audiences; stored results
  // outlive the update. A list longer than the configured limit saves nothing and still
  // succeeds. False when the database refused a step.
  bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  // Deletes the results of audiences that are neither stored nor among the valid ones, but
  // only once the results outnumber their configured limit.
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& validAudienceIDs);

  // ---- Evaluation

  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* eventAggregates,
                               APMAudienceTimestampsCache* cache);
  // Parameters map names to APMValue objects (or plain values); the timestamp is in seconds.
  // Without a cache the call makes its own.
  bool evaluateFiltersForEventName(const std::string& eventName,
                                   const platform::Dictionary& eventParameters,
                                   const APMEventAggregates* eventAggregates,
                                   double eventTimestamp, APMAudienceTimestampsCache* cache);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& userProperty,
                                      APMAudienceTimestampsCache* cache,
                                      double evaluationTimestamp);
  // Without an evaluation time, the property's last-set time.
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& userProperty,
                                          APMAudienceTimestampsCache* cache,
                                          std::optional<double> evaluationTime);
  // The results of every audience with an evaluated filter, for the bundle; each audience's
  // current results then become its previous ones. None (and false) on a database failure.
  bool resultsForBundling(
      std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>>* results);
  // At a new session: forgets the results of session-scoped filters.
  bool clearEvaluationResultsForSessionScopedFilters();

  static bool isFilterResultTrueForFilterID(const APMFilterResult* filterResult,
                                            std::int32_t filterID);
  // The row with the filter's bits set from the new result (none clears its evaluated bit)
  // and the audience's times from the cache; previous results unchanged.
  static APMFilterResultPtr
  updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                      const APMFilterResult* currentFilterResult,
                      std::optional<bool> newEvaluationResult,
                      const APMAudienceTimestampsCache& cache);

 private:
  explicit APMAudience(std::shared_ptr<APMDatabase> database) : database_(std::move(database)) {}

  std::shared_ptr<APMDatabase> database_;
};

// The definition check: false, with the error set (code 9 for the audience, 10 for an event
// filter, 11 for a property filter), for the first rule the audience breaks. Audience ids in
// `acceptedAudienceIDs` count as duplicates.
bool APMValidateAudience(const APMPBAudience* audience,
                         const std::set<std::int32_t>& acceptedAudienceIDs,
                         platform::ErrorPtr* error);

// Filter-level evaluation; none means the filter was not evaluated and nothing changes.
bool APMShouldEvaluateFilter(bool alreadyTrue, const APMEventFilter& filter);
bool APMShouldEvaluateFilter(bool alreadyTrue, const APMPropertyFilter& filter);
std::optional<bool> APMEvaluateStoredEventFilter(const APMEventFilter& filter,
                                                 const platform::Dictionary& eventParameters,
                                                 const APMEventAggregates* eventAggregates);
std::optional<bool> APMEvaluateStoredPropertyFilter(bool alreadyTrue,
                                                    const APMPropertyFilter& filter,
                                                    const APMUserAttribute& userProperty);
bool APMPropertyResultReplacesOld(bool newResult, const APMPropertyFilter& filter);
std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           const std::string& eventName,
                                           const platform::Dictionary& eventParameters,
                                           const APMEventAggregates* eventAggregates);
std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const APMUserAttribute* userProperty);
// The internal form of a wire user property (origin ""); null when it carries no value.
std::shared_ptr<const APMUserAttribute> APMUserAttributeFromNano(const APMPBUserAttribute& property);
