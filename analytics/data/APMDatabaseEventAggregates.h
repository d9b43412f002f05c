// APMDatabaseEventAggregates: the per-event counters of the analytics database ("events", one
// row per event name) and their snapshot ("events_snapshot"), in which the live counters are
// set aside while analytics storage is denied and from which they come back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "platform/error.h"
#include "platform/value.h"

class APMEventAggregates;

inline constexpr const char* kAPMEventsSnapshotTable = "events_snapshot";
// Event names with counters, at most.
inline constexpr std::int64_t kAPMEventsTableLimit = 1000;

class APMDatabaseEventAggregates : public virtual APMDatabaseCore {
 public:
  // The number of names that do not begin with "_", or nothing when the query fails.
  std::optional<platform::Value> publicEventCount(platform::ErrorPtr* error);
  // Every row, at most kAPMEventsTableLimit, in row-id order.
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>>
  allEventAggregates(platform::ErrorPtr* error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              platform::ErrorPtr* error);
  // Null without an error when there is no snapshot table.
  std::shared_ptr<APMEventAggregates> eventAggregatesSnapshotWithName(const std::string& name,
                                                                      platform::ErrorPtr* error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              const std::string& tableName,
                                                              platform::ErrorPtr* error);
  // Replaces the row of the name, or adds one while fewer than kAPMEventsTableLimit exist.
  bool updateEventAggregates(const APMEventAggregates* aggregates, platform::ErrorPtr* error);
  bool clearCurrentSessionCounts(platform::ErrorPtr* error);
  bool deleteAllEventAggregates(platform::ErrorPtr* error);
  bool deleteAllEventAggregatesInSnapshot(platform::ErrorPtr* error);
  // The snapshot becomes a copy of "events", replacing any earlier one.
  bool createEventsSnapshotTable(platform::ErrorPtr* error);
  // "events" becomes the snapshot's rows (a first open recorded since the snapshot is kept)
  // and the snapshot is emptied; nothing changes when there is no snapshot or it is empty.
  // Separate statements: the caller wraps them in a transaction to make them atomic.
  bool restoreFromEventsSnapshotTable(platform::ErrorPtr* error);
};
