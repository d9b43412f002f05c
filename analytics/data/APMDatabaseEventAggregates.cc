#include "analytics/data/APMDatabaseEventAggregates.h"

#include "analytics/data/APMEventAggregates.h"
#include "analytics/messages/APMServices.h"

namespace {

constexpr const char* kFirstOpenEvent = "_f";

APMSqliteStore* openStore(APMDatabaseCore* database, platform::ErrorPtr* error) {
  APMSqliteStore* store = database->sqliteStore();
  APMCheckCondition(store != nullptr, error, 2, "Database not open");
  return store;
}

// A row of "events" or "events_snapshot"; null for a row that a damaged file left without
// its name, counts or fire time. Add-on columns that an older file lacks read as their
// defaults.
std::shared_ptr<APMEventAggregates> eventAggregatesFromRecord(const platform::Dictionary& record,
                                                              platform::ErrorPtr*) {
  const std::string* name = record["name"].asString();
  const platform::Value& lifetimeCount = record["lifetime_count"];
  const platform::Value& currentBundleCount = record["current_bundle_count"];
  const platform::Value& lastFireTimestamp = record["last_fire_timestamp"];
  if (name == nullptr || !lifetimeCount.isNumber() || !currentBundleCount.isNumber() ||
      !lastFireTimestamp.isNumber()) {
    return nullptr;
  }
  const platform::Value& currentSessionCount = record["current_session_count"];
  auto aggregates = APMEventAggregates::initWithName(
      *name, lifetimeCount.intValue(), currentBundleCount.intValue(),
      currentSessionCount.isNull() ? 0 : currentSessionCount.intValue(),
      lastFireTimestamp.doubleValue());
  if (aggregates == nullptr) return nullptr;

  aggregates->setLastBundledTimestamp(record["last_bundled_timestamp"].doubleValue());
  const platform::Value& complexEventID = record["last_sampled_complex_event_id"];
  if (complexEventID.isNumber()) aggregates->setLastSampledComplexEventID(complexEventID);
  const platform::Value& samplingRate = record["last_sampling_rate"];
  aggregates->setLastSamplingRate(samplingRate.isNull() ? 1 : samplingRate.intValue());
  aggregates->setLastExemptFromSampling(record["last_exempt_from_sampling"].boolValue());
  aggregates->setLastBundledDay(record["last_bundled_day"].intValue());
  return aggregates;
}

}  // namespace

std::optional<platform::Value>
APMDatabaseEventAggregates::publicEventCount(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  return store->numberForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'",
                               {}, error);
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>>
APMDatabaseEventAggregates::allEventAggregates(platform::ErrorPtr* error) {
  return allDataTypesFromTableWithName<APMEventAggregates>(kAPMEventsTable, kAPMEventsTableLimit,
                                                           error, eventAggregatesFromRecord);
}

std::shared_ptr<APMEventAggregates>
APMDatabaseEventAggregates::eventAggregatesWithName(const std::string& name,
                                                    platform::ErrorPtr* error) {
  return eventAggregatesWithName(name, kAPMEventsTable, error);
}

std::shared_ptr<APMEventAggregates>
APMDatabaseEventAggregates::eventAggregatesSnapshotWithName(const std::string& name,
                                                            platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return nullptr;
  const std::optional<bool> exists = store->tableExists(kAPMEventsSnapshotTable, error);
  if (!exists || !*exists) return nullptr;
  return eventAggregatesWithName(name, kAPMEventsSnapshotTable, error);
}

std::shared_ptr<APMEventAggregates> APMDatabaseEventAggregates::eventAggregatesWithName(
    const std::string& name, const std::string& tableName, platform::ErrorPtr* error) {
  const auto rows = dataTypesFromTableWithName<APMEventAggregates>(
      tableName, "name", platform::Value(name), error, eventAggregatesFromRecord);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool APMDatabaseEventAggregates::updateEventAggregates(const APMEventAggregates* aggregates,
                                                       platform::ErrorPtr* error) {
  if (!APMCheckCondition(aggregates != nullptr, error, 3,
                         "Received empty event aggregates object for getting dictionary "
                         "representation") ||
      !APMCheckCondition(!aggregates->name().empty(), error, 1,
                         "Received event aggregates object with empty name for getting "
                         "dictionary representation")) {
    return false;
  }
  platform::Dictionary record{
      {"name", platform::Value(aggregates->name())},
      {"lifetime_count", platform::Value(aggregates->lifetimeCount())},
      {"current_bundle_count", platform::Value(aggregates->currentBundleCount())},
      {"last_fire_timestamp", platform::Value(aggregates->lastFireTimestamp())},
      {"last_bundled_timestamp", platform::Value(aggregates->lastBundledTimestamp())},
      {"last_sampling_rate", platform::Value(aggregates->lastSamplingRate())},
      {"last_exempt_from_sampling",
       platform::Value(static_cast<std::int64_t>(aggregates->lastExemptFromSampling() ? 1 : 0))},
      {"last_bundled_day", platform::Value(aggregates->lastBundledDay())},
      {"current_session_count", platform::Value(aggregates->currentSessionCount())}};
  if (const auto& complexEventID = aggregates->lastSampledComplexEventID())
    record.set("last_sampled_complex_event_id", *complexEventID);
  return upsertDataType(record, kAPMEventsTable, "name", platform::Value(aggregates->name()),
                        kAPMEventsTableLimit, error);
}

bool APMDatabaseEventAggregates::clearCurrentSessionCounts(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  return store != nullptr &&
         store->updateAllRecordsInTableWithName(kAPMEventsTable, "current_session_count",
                                                platform::Value(0), error);
}

bool APMDatabaseEventAggregates::deleteAllEventAggregates(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  return store != nullptr && store->deleteAllRecordsFromTableWithName(kAPMEventsTable, error);
}

bool APMDatabaseEventAggregates::deleteAllEventAggregatesInSnapshot(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  return store != nullptr &&
         store->deleteAllRecordsFromTableWithName(kAPMEventsSnapshotTable, error);
}

bool APMDatabaseEventAggregates::createEventsSnapshotTable(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return false;
  if (store->tableExists(kAPMEventsSnapshotTable, nullptr).value_or(false))
    store->dropTableWithName(kAPMEventsSnapshotTable, nullptr);
  if (!store->createEmptyTable(kAPMEventsSnapshotTable, kAPMEventsTable, error)) {
    APMServicesMonitor()->logWithLevel(4, 12058, "Failed to ensure event snapshot table");
    return false;
  }
  return store->copyContentsFromTable(kAPMEventsTable, kAPMEventsSnapshotTable, error);
}

bool APMDatabaseEventAggregates::restoreFromEventsSnapshotTable(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return false;
  const std::optional<bool> exists = store->tableExists(kAPMEventsSnapshotTable, error);
  if (!exists) return false;
  if (!*exists) return true;
  const std::optional<std::int64_t> rows =
      store->rowCountForTableWithName(kAPMEventsSnapshotTable, error);
  if (!rows) return false;
  if (*rows == 0) return true;

  // A damaged live row counts as absent.
  const std::shared_ptr<APMEventAggregates> liveFirstOpen =
      eventAggregatesWithName(kFirstOpenEvent, kAPMEventsTable, nullptr);
  if (!store->deleteAllRecordsFromTableWithName(kAPMEventsTable, error)) return false;
  if (!store->copyContentsFromTable(kAPMEventsSnapshotTable, kAPMEventsTable, error)) return false;

  if (liveFirstOpen != nullptr) {
    const std::shared_ptr<APMEventAggregates> snapshotFirstOpen =
        eventAggregatesWithName(kFirstOpenEvent, kAPMEventsSnapshotTable, nullptr);
    // A first open recorded since the snapshot must not be lost: failing to write it back is
    // a failed restore, which the caller's transaction undoes.
    if ((snapshotFirstOpen == nullptr || snapshotFirstOpen->lifetimeCount() == 0) &&
        !updateEventAggregates(liveFirstOpen.get(), error)) {
      return false;
    }
  }
  return store->deleteAllRecordsFromTableWithName(kAPMEventsSnapshotTable, error);
}
