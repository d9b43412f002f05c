#include "analytics/data/APMDatabaseCore.h"

#include <utility>

#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/APMDatabaseEventAggregates.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/data/APMSqliteStoreTableSchema.h"

using platform::Array;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

// One table of the schema: the columns a new table is created with, the columns added to an
// older table that lacks them, and the columns whose declared type changed since older files.
struct TableSchema {
  const char* name;
  APMColumnInfo elementaryColumns;
  APMColumnInfo addOnColumns;
  APMModifyColumnInfo modifiedColumns;
};

// Never destroyed: databases are still opened on worker queues while the process exits.
const std::vector<TableSchema>& databaseSchema() {
  static const std::vector<TableSchema>& kSchema = *new std::vector<TableSchema>{
      {kAPMAppMetadataTable,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}},
       {}},
      {kAPMRawEventsMetadataTable,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kAPMRawEventsTable,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kAPMEventsTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kAPMUserAttributesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kAPMQueueTable,
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {kAPMEventFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kAPMPrimaryKeyColumnEntry, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kAPMPropertyFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kAPMPrimaryKeyColumnEntry, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kAPMAudienceFilterValuesTable,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kAPMPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kAPMSubscriptionsTable, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kAPMConditionalPropertiesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kAPMMainEventParamsTable,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return kSchema;
}

// The declared type a CREATE TABLE ... AS SELECT text gives a column copied from one of
// ours: SQLite writes the column's affinity, and nothing for a BLOB.
std::string copiedColumnType(const std::string& declaration) {
  const std::string type = declaration.substr(0, declaration.find(' '));
  if (type == "INTEGER") return "INT";
  if (type == "BLOB") return "";
  return type;
}

// What the file may hold: each table of the schema with its columns as the elementary, the
// modified and the add-on lists have ever declared them, its composite key, and the snapshot
// of "events" made by copying it.
platform::SQLiteSchema fileSchema() {
  platform::SQLiteSchema schema;
  for (const TableSchema& table : databaseSchema()) {
    platform::SQLiteTableShape shape{table.name, {}, {}};
    for (const APMColumnInfo* columns : {&table.elementaryColumns, &table.addOnColumns}) {
      for (const auto& [name, declaration] : *columns) {
        if (name == kAPMPrimaryKeyColumnEntry) {
          shape.constraints.push_back(name + " " + declaration);
          continue;
        }
        std::vector<std::string> declarations{declaration};
        if (const auto modified = table.modifiedColumns.find(name);
            modified != table.modifiedColumns.end()) {
          declarations.push_back(modified->second);
        }
        shape.columns.push_back({name, std::move(declarations)});
      }
    }
    if (shape.name == kAPMEventsTable) {
      platform::SQLiteTableShape snapshot{kAPMEventsSnapshotTable, {}, {}};
      for (const auto& column : shape.columns) {
        snapshot.columns.push_back({column.name, {copiedColumnType(column.declarations[0])}});
      }
      schema.tables.push_back(std::move(snapshot));
    }
    schema.tables.push_back(std::move(shape));
  }
  return schema;
}

void logLine(std::int64_t level, std::int64_t code, const std::string& message,
             const Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

Value errorContext(const ErrorPtr& error) { return error ? Value(error->description()) : Value(); }

}  // namespace

std::optional<std::string> APMRowIDInCondition(const Array& rowIDs, ErrorPtr* error) {
  if (rowIDs.empty()) {
    APMSetError(error, 3, "Received empty row IDs to process");
    return std::nullopt;
  }
  std::string placeholders;
  placeholders.reserve(rowIDs.size() * 2);
  for (const Value& rowID : rowIDs) {
    if (!rowID.isNumber()) {
      APMSetError(error, 3, "Received invalid type for row ID to process");
      return std::nullopt;
    }
    if (!placeholders.empty()) placeholders += ',';
    placeholders += '?';
  }
  return "rowid IN (" + placeholders + ")";
}

APMDatabaseCore::~APMDatabaseCore() = default;

bool APMDatabaseCore::initializeDatabaseResourcesWithContext(const std::string& context,
                                                             const std::string& databasePath,
                                                             ErrorPtr* error) {
  std::unique_ptr<APMSqliteStore> store =
      APMSqliteStore::initWithDatabasePath(databasePath, fileSchema(), error);
  // A store that could not be made leaves the previous one, closed by a reset, in place, so
  // that later calls fail as on a closed database instead of finding no store at all.
  if (!store) return false;
  sqliteStore_ = std::move(store);

  if (!ensureAllTables()) {
    logLine(1, 12002, "Failed to create or validate required database tables (" + context + ")");
    // The store closes first and takes the journal files with it: a file made anew at the
    // path must not meet a journal of the one that failed.
    if (!sqliteStore_->closeAndDeleteDatabase()) {
      ErrorPtr deleteError;
      if (!APMDeleteFileAtPath(databasePath, &deleteError) && deleteError) {
        logLine(4, 12003,
                "Failed to delete old database file after failed validation. Error (" + context +
                    ")",
                {errorContext(deleteError)});
      }
    }
    APMSetError(error, 2, "Failed to create or validate required database tables");
    return false;
  }
  if (!initializeAppMetadata()) {
    logLine(1, 12004, "Failed to initialize App Metadata table (" + context + ")");
    APMSetError(error, 2, "Failed to initialize App Metadata table");
    return false;
  }
  return true;
}

bool APMDatabaseCore::reset(ErrorPtr* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Failed to delete database data");
    return false;
  }
  const std::string databasePath = sqliteStore_->databasePath();
  if (!sqliteStore_->closeAndDeleteDatabase()) {
    APMSetError(error, 2, "Failed to delete database data");
    return false;
  }
  return initializeDatabaseResourcesWithContext("Reset", databasePath, error);
}

bool APMDatabaseCore::performTransaction(const TransactionBlock& block) {
  ErrorPtr error;
  if (sqliteStore_ == nullptr) {
    error = apm_errorWithCode(2, "Database not open");
  } else if (sqliteStore_->performTransactionWithError(&error, block)) {
    return true;
  }
  logLine(1, 12056,
          "Transaction failed. " + (error ? error->localizedDescription() : std::string()));
  return false;
}

bool APMDatabaseCore::ensureAllTables() {
  if (!sqliteStore_) return false;
  for (const TableSchema& table : databaseSchema()) {
    ErrorPtr error;
    if (!sqliteStore_->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns,
                                           table.modifiedColumns, &error)) {
      // A failure without an error is a failure all the same.
      logLine(1, 12047, "Failed to ensure table. Table, error",
              {Value(table.name), errorContext(error)});
      return false;
    }
  }
  return true;
}

bool APMDatabaseCore::initializeAppMetadata() {
  return performTransaction([this]() {
    ErrorPtr error;
    auto rows = dataTypesFromTableWithName<APMAppMetadata>(
        kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn, Value(kAPMAppMetadataRowID), &error,
        APMAppMetadataFromRecord);
    if (!rows) {
      logLine(1, 12005, "Failed to query app metadata");
      return false;
    }
    if (!rows->empty()) return true;

    auto appMetadata = APMAppMetadata::initWithLastBundleIndex(0, 0, 0);
    auto record = APMAppMetadataRecord(appMetadata.get(), &error);
    if (!record || !upsertDataType(record, kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn,
                                   Value(kAPMAppMetadataRowID), 1, &error)) {
      logLine(1, 12006, "Unable to update the app metadata. Error", {errorContext(error)});
      return false;
    }
    return true;
  });
}

void APMDatabaseCore::deleteUnreadableRows(const std::string& tableName,
                                           const std::vector<UnreadableRow>& rows,
                                           const UnreadableRowMessages& messages) {
  Array rowIDs;
  for (const UnreadableRow& row : rows) {
    if (!row.rowID.asInt()) continue;
    logLine(2, messages.rowCode, messages.rowText,
            {row.rowID, row.error ? Value(row.error->localizedDescription()) : Value()});
    rowIDs.push_back(row.rowID);
  }
  if (rowIDs.empty()) return;
  ErrorPtr error;
  const auto condition = APMRowIDInCondition(rowIDs, &error);
  if (!condition || !sqliteStore_ ||
      !sqliteStore_->deleteRecordsFromTableWithName(tableName, *condition, rowIDs, &error)) {
    logLine(1, messages.deleteFailureCode, messages.deleteFailureText,
            {error ? Value(error->localizedDescription()) : Value()});
  }
}

std::optional<std::vector<Dictionary>>
APMDatabaseCore::allRecordsFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                             ErrorPtr* error, bool hasBlock) {
  if (!APMCheckCondition(hasBlock, error, 1, "Received nil block to get all data types")) {
    return std::nullopt;
  }
  if (!APMCheckCondition(sqliteStore_ != nullptr, error, 2, "Database not open")) {
    return std::nullopt;
  }
  const std::string query =
      "SELECT rowid, * FROM " + tableName + " ORDER BY rowid LIMIT " + std::to_string(tableLimit);
  return sqliteStore_->recordsForQuery(query, {}, error);
}

std::optional<std::vector<Dictionary>> APMDatabaseCore::recordsFromTableWithName(
    const std::string& tableName, const std::string& columnName,
    const std::optional<Value>& columnValue, ErrorPtr* error, bool hasBlock) {
  if (!APMCheckCondition(!tableName.empty(), error, 1,
                         "Received empty table name to create data type from table") ||
      !APMCheckCondition(!columnName.empty(), error, 1,
                         "Received empty column name to create data type from table") ||
      !APMCheckCondition(columnValue.has_value() && !columnValue->isNull(), error, 1,
                         "Received nil column value to create data type from table") ||
      !APMCheckCondition(hasBlock, error, 2, "Received nil block to create data type from table") ||
      !APMCheckCondition(sqliteStore_ != nullptr, error, 2, "Database not open")) {
    return std::nullopt;
  }
  const std::string query = "SELECT rowid, * FROM " + tableName + " WHERE " + columnName + " = ?";
  return sqliteStore_->recordsForQuery(query, {*columnValue}, error);
}

bool APMDatabaseCore::insertDataType(const std::optional<Dictionary>& record,
                                     const std::string& tableName, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, 1, "Received empty table name for inserting") ||
      !APMCheckCondition(record.has_value(), error, 2, "Failed to insert empty record") ||
      !APMCheckCondition(sqliteStore_ != nullptr, error, 2, "Database not open")) {
    return false;
  }
  return sqliteStore_->upsertRecord(*record, tableName, error);
}

bool APMDatabaseCore::upsertDataType(const std::optional<Dictionary>& record,
                                     const std::string& tableName, const std::string& columnName,
                                     const Value& columnValue, std::int64_t tableLimit,
                                     ErrorPtr* error) {
  if (!APMCheckCondition(record.has_value(), error, 1, "Received empty data type to upsert") ||
      !APMCheckCondition(!tableName.empty(), error, 1,
                         "Received empty table name for checking upsert") ||
      !APMCheckCondition(sqliteStore_ != nullptr, error, 2, "Database not open")) {
    return false;
  }
  const auto matchingRows =
      sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!matchingRows) return false;
  const auto allRows = sqliteStore_->rowCountForTableWithName(tableName, error);
  if (!allRows) return false;
  // An existing key is replaced in place; a new one needs room below the cap.
  if (*matchingRows == 0 && *allRows >= tableLimit) {
    APMSetError(error, 2, "Failed to insert data type. Table is full");
    return false;
  }
  return sqliteStore_->upsertRecord(*record, tableName, error);
}

bool APMDatabaseCore::updateDataType(const std::optional<Dictionary>& record,
                                     const std::string& tableName, const std::string& columnName,
                                     const Value& columnValue, ErrorPtr* error) {
  if (!APMCheckCondition(record.has_value(), error, 1, "Received empty data type to update") ||
      !APMCheckCondition(!tableName.empty(), error, 1, "Received empty table name for updating") ||
      !APMCheckCondition(sqliteStore_ != nullptr, error, 2, "Database not open")) {
    return false;
  }
  const auto matchingRows =
      sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!matchingRows) return false;
  if (*matchingRows == 0) {
    APMSetError(error, 2, "Failed to update record. Item doesn't exist");
    return false;
  }
  return sqliteStore_->updateRecord(*record, tableName, columnName, columnValue, error);
}
