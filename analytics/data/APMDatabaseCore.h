// APMDatabaseCore: the state and generic typed-row operations of the analytics database, on
// which each family of queries (raw events, upload queue, aggregates, user attributes, the
// metadata row, audience filters, conditional properties, purchases) is built. Every family
// derives from it virtually, so that APMDatabase, which joins them all, holds one store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMSqliteStore.h"
#include "analytics/messages/APMServices.h"
#include "platform/error.h"
#include "platform/value.h"

class APMPersistedConfig;

// The tables of the analytics database.
inline constexpr const char* kAPMAppMetadataTable = "app_metadata";
inline constexpr const char* kAPMRawEventsMetadataTable = "raw_events_metadata";
inline constexpr const char* kAPMRawEventsTable = "raw_events";
inline constexpr const char* kAPMEventsTable = "events";
inline constexpr const char* kAPMUserAttributesTable = "user_attributes";
inline constexpr const char* kAPMQueueTable = "queue";
inline constexpr const char* kAPMEventFiltersTable = "event_filters";
inline constexpr const char* kAPMPropertyFiltersTable = "property_filters";
inline constexpr const char* kAPMAudienceFilterValuesTable = "audience_filter_values";
inline constexpr const char* kAPMPurchaseTransactionsTable = "purchase_transactions";
inline constexpr const char* kAPMSubscriptionsTable = "subscriptions";
inline constexpr const char* kAPMConditionalPropertiesTable = "conditional_properties";
inline constexpr const char* kAPMMainEventParamsTable = "main_event_params";

// "rowid IN (?,?,...)" with one placeholder per row id; none with code 3 for an empty array
// or an element that is not a number.
std::optional<std::string> APMRowIDInCondition(const platform::Array& rowIDs,
                                               platform::ErrorPtr* error);

class APMDatabaseCore {
 public:
  // Turns one row record ("rowid" and the table's columns) into an object of the caller's;
  // null leaves the row out.
  template <typename T>
  using CreateDataTypeBlock =
      std::function<std::shared_ptr<T>(const platform::Dictionary& record, platform::ErrorPtr*)>;
  using TransactionBlock = std::function<bool()>;

  // A row met by a read that does not rebuild: its row id and why.
  struct UnreadableRow {
    platform::Value rowID;
    platform::ErrorPtr error;
  };
  // What a read logs of such rows: one line each (level 2, row id and error), and one line
  // when deleting them fails (level 1, the error).
  struct UnreadableRowMessages {
    std::int64_t rowCode;
    const char* rowText;
    std::int64_t deleteFailureCode;
    const char* deleteFailureText;
  };

  virtual ~APMDatabaseCore();
  APMDatabaseCore(const APMDatabaseCore&) = delete;
  APMDatabaseCore& operator=(const APMDatabaseCore&) = delete;

  APMSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  // A new store on the path, its tables ensured and its metadata row in place; the context
  // word ("Init" or "Reset") goes into the log lines.
  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath,
                                              platform::ErrorPtr* error);
  // Closes and deletes the file, then builds a fresh store and schema on the same path.
  bool reset(platform::ErrorPtr* error);
  // One exclusive transaction around the block: committed when it returns true.
  bool performTransaction(const TransactionBlock& block);
  bool ensureAllTables();
  bool initializeAppMetadata();

  // The five generic typed-row operations. A table limit of -1 reads every row.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>>
  allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                platform::ErrorPtr* error,
                                const CreateDataTypeBlock<T>& createDataTypeBlock);
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>>
  dataTypesFromTableWithName(const std::string& tableName, const std::string& columnName,
                             const std::optional<platform::Value>& columnValue,
                             platform::ErrorPtr* error,
                             const CreateDataTypeBlock<T>& createDataTypeBlock);
  bool insertDataType(const std::optional<platform::Dictionary>& record,
                      const std::string& tableName, platform::ErrorPtr* error);
  bool upsertDataType(const std::optional<platform::Dictionary>& record,
                      const std::string& tableName, const std::string& columnName,
                      const platform::Value& columnValue, std::int64_t tableLimit,
                      platform::ErrorPtr* error);
  bool updateDataType(const std::optional<platform::Dictionary>& record,
                      const std::string& tableName, const std::string& columnName,
                      const platform::Value& columnValue, platform::ErrorPtr* error);

  // The objects of the records (each with its "rowid"), in order. A row that does not rebuild
  // never will, and left in place it would fail every later read that meets it, so it is
  // logged and deleted and the read goes on with the others.
  template <typename T>
  std::vector<std::shared_ptr<T>> readableDataTypesFromRecords(
      const std::string& tableName, const std::vector<platform::Dictionary>& records,
      const UnreadableRowMessages& messages, const CreateDataTypeBlock<T>& createDataTypeBlock);
  // Logs and deletes the rows; a row without a usable row id is only left out. A failed
  // delete is logged and nothing more: the caller's read has its answer either way.
  void deleteUnreadableRows(const std::string& tableName, const std::vector<UnreadableRow>& rows,
                            const UnreadableRowMessages& messages);

  // The untyped forms the templates above are made of: the records of the rows, in row-id
  // order, or none when the query failed.
  std::optional<std::vector<platform::Dictionary>>
  allRecordsFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                              platform::ErrorPtr* error, bool hasBlock);
  std::optional<std::vector<platform::Dictionary>>
  recordsFromTableWithName(const std::string& tableName, const std::string& columnName,
                           const std::optional<platform::Value>& columnValue,
                           platform::ErrorPtr* error, bool hasBlock);

 protected:
  APMDatabaseCore() = default;
  // Keeps the persisted configuration once initialisation succeeded.
  void setPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {
    persistedConfig_ = std::move(persistedConfig);
  }

 private:
  std::unique_ptr<APMSqliteStore> sqliteStore_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

template <typename T>
std::optional<std::vector<std::shared_ptr<T>>>
APMDatabaseCore::allDataTypesFromTableWithName(const std::string& tableName,
                                               std::int64_t tableLimit, platform::ErrorPtr* error,
                                               const CreateDataTypeBlock<T>& createDataTypeBlock) {
  auto records = allRecordsFromTableWithName(tableName, tableLimit, error,
                                             static_cast<bool>(createDataTypeBlock));
  if (!records) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const platform::Dictionary& record : *records) {
    if (auto object = createDataTypeBlock(record, error)) objects.push_back(std::move(object));
  }
  return objects;
}

template <typename T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabaseCore::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName,
    const std::optional<platform::Value>& columnValue, platform::ErrorPtr* error,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
  auto records = recordsFromTableWithName(tableName, columnName, columnValue, error,
                                          static_cast<bool>(createDataTypeBlock));
  if (!records) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const platform::Dictionary& record : *records) {
    if (auto object = createDataTypeBlock(record, error)) objects.push_back(std::move(object));
  }
  if (!records->empty() && objects.empty()) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return objects;
}

template <typename T>
std::vector<std::shared_ptr<T>> APMDatabaseCore::readableDataTypesFromRecords(
    const std::string& tableName, const std::vector<platform::Dictionary>& records,
    const UnreadableRowMessages& messages, const CreateDataTypeBlock<T>& createDataTypeBlock) {
  std::vector<std::shared_ptr<T>> objects;
  objects.reserve(records.size());
  std::vector<UnreadableRow> unreadable;
  for (const platform::Dictionary& record : records) {
    platform::ErrorPtr rowError;
    if (auto object = createDataTypeBlock(record, &rowError)) {
      objects.push_back(std::move(object));
    } else {
      unreadable.push_back({record["rowid"], std::move(rowError)});
    }
  }
  deleteUnreadableRows(tableName, unreadable, messages);
  return objects;
}
