// APMSqliteStore: the one wrapper over a SQLite database file that the analytics client uses.
// It owns one connection to one file: opening with an integrity check (a damaged file is
// deleted and created anew once), table introspection, record writes from dictionaries, reads
// that give rows as dictionaries, a cache of prepared statements, exclusive transactions and
// one way of reporting SQLite failures. The table-schema operations (create, validate, add
// columns, rebuild) are in APMSqliteStoreTableSchema.cc.
//
// Failures return false or nothing and write an error of the measurement domain to the
// error-out when one is given: code 1 a bad argument, 2 the database not open or a table not
// in the needed state, 3 SQLite itself failed.
//
// The store takes no locks: the statement cache and the transactions belong to the
// connection, so each store is used from one serial queue at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "analytics/data/APMSqliteStoreTableSchema.h"
#include "platform/error.h"
#include "platform/sqlite_database.h"
#include "platform/value.h"

struct sqlite3;
struct sqlite3_stmt;

class APMSqliteStore {
 public:
  // Takes the 0-based index of a row and the row; false ends the reading there.
  using RowFilter = std::function<bool(std::int64_t index, const platform::Dictionary& row)>;
  // Runs inside an exclusive transaction; false rolls it back.
  using TransactionBlock = std::function<bool()>;

  // Opens (creating folders and file as needed) and checks the file; a file that cannot be
  // opened or fails the check is deleted and opened anew once. Nothing when that fails too.
  // The file is opened through platform::openSQLiteDatabase, which sets aside a file whose
  // schema is not the one its owner declares; a store given none takes any plain tables.
  static std::unique_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              platform::ErrorPtr* error);
  static std::unique_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              platform::SQLiteSchema schema,
                                                              platform::ErrorPtr* error);
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  sqlite3* sqliteHandle() const { return sqliteHandle_; }
  const std::string& databasePath() const { return databasePath_; }

  // Lifecycle.
  bool openAndValidateDatabase(platform::ErrorPtr* error);
  bool validateDatabaseWithError(platform::ErrorPtr* error);
  void closeDatabase();
  // Closes, then removes the file with its journal, WAL and shared-memory files, so that a
  // new database at the path never meets a stale journal of the old one. A missing file
  // counts as removed.
  bool closeAndDeleteDatabase();
  void finalizeAndClearStatements();

  // Introspection.
  std::optional<bool> tableExists(const std::string& tableName, platform::ErrorPtr* error);
  // Column names in table order; empty for a table that does not exist.
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& tableName,
                                                                  platform::ErrorPtr* error);
  // Column name → declared type (its type word alone, as SQLite reports it).
  std::optional<std::map<std::string, std::string>>
  columnInfoForTableWithName(const std::string& tableName, platform::ErrorPtr* error);

  // Records: a record maps column names to strings, numbers, data or null.
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                       platform::ErrorPtr* error);
  // All rows, or, with a non-empty column name and a value, the rows whose column equals it.
  std::optional<std::int64_t>
  rowCountForTableWithName(const std::string& tableName, const std::string& columnName,
                           const std::optional<platform::Value>& columnValue,
                           platform::ErrorPtr* error);
  bool upsertRecord(const platform::Dictionary& record, const std::string& tableName,
                    platform::ErrorPtr* error);
  bool updateRecord(const platform::Dictionary& record, const std::string& tableName,
                    const std::string& columnName,
                    const std::optional<platform::Value>& columnValue, platform::ErrorPtr* error);
  bool updateAllRecordsInTableWithName(const std::string& tableName, const std::string& columnName,
                                       const std::optional<platform::Value>& columnValue,
                                       platform::ErrorPtr* error);
  bool increaseColumn(const std::string& columnName, std::int64_t value,
                      const std::string& tableName, const std::string& condition,
                      const platform::Array& parameterValues, platform::ErrorPtr* error);
  bool deleteRecordFromTableWithName(const std::string& tableName, const std::string& columnName,
                                     const std::optional<platform::Value>& columnValue,
                                     platform::ErrorPtr* error);
  // The number of rows deleted (0 when none matched), or nothing on failure.
  std::optional<std::int64_t> deleteRecordsFromTableWithName(const std::string& tableName,
                                                             const std::string& condition,
                                                             const platform::Array& parameterValues,
                                                             platform::ErrorPtr* error);
  bool deleteAllRecordsFromTableWithName(const std::string& tableName, platform::ErrorPtr* error);
  std::optional<std::vector<platform::Dictionary>>
  recordsForQuery(const std::string& query, const platform::Array& parameterValues,
                  platform::ErrorPtr* error);
  // A step that fails partway is an error: rows read before it are not handed out as if they
  // were the whole result.
  std::optional<std::vector<platform::Dictionary>>
  recordsForQuery(const std::string& query, const platform::Array& parameterValues,
                  platform::ErrorPtr* error, const RowFilter& filter);
  // The first column of the first row as a number (signed 64-bit or double); nothing for a
  // NULL result (no error) or a result that is not a number.
  std::optional<platform::Value> numberForQuery(const std::string& query,
                                                const platform::Array& parameterValues,
                                                platform::ErrorPtr* error);

  // Transactions: exclusive, and they do not nest.
  bool performTransactionWithError(platform::ErrorPtr* error, const TransactionBlock& block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // Statements. Texts with "?" and texts without a WHERE clause are prepared once and kept;
  // hand every statement obtained here back through cleanUpStatement with the same text.
  sqlite3_stmt* statementForQuery(const std::string& query, platform::ErrorPtr* error);
  sqlite3_stmt* statementForQuery(const std::string& query, const platform::Array& parameterValues,
                                  platform::ErrorPtr* error);
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& query);
  // A new statement, never cached; refuses a text with anything after its first statement.
  sqlite3_stmt* prepareSQL(const std::string& sql, platform::ErrorPtr* error);
  // Both consume the statement.
  bool executeSQL(const std::string& sql, platform::ErrorPtr* error);
  bool executeSQLStatement(sqlite3_stmt* statement, platform::ErrorPtr* error);
  // Blobs are bound without a copy: the values must outlive the statement's steps.
  bool bindValues(const platform::Array& values, sqlite3_stmt* statement,
                  platform::ErrorPtr* error);
  std::optional<platform::Value> valueAtColumn(int column, sqlite3_stmt* statement);
  // Prepared and bound, to be consumed by the caller; they bind the record's own values, so
  // the record must outlive the statement.
  sqlite3_stmt* upsertStatementForRecord(const platform::Dictionary& record,
                                         const std::string& tableName, platform::ErrorPtr* error);
  sqlite3_stmt* updateStatementForRecord(const platform::Dictionary& record,
                                         const std::string& tableName,
                                         const std::string& columnName,
                                         const std::optional<platform::Value>& columnValue,
                                         platform::ErrorPtr* error);

  // Reporting of SQLite failures.
  std::optional<std::string> lastErrorMessage();
  std::optional<std::string> errorDescriptionForDatabaseOperation(const std::string& operation);
  std::string monitorContextForDatabaseOperation(const std::string& operation);
  void setDatabaseError(platform::ErrorPtr* error, const std::string& operation);

  // Table schema maintenance.
  bool ensureTableWithName(const std::string& tableName, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo, platform::ErrorPtr* error);
  // Creates or checks the table, then rebuilds it, rows kept, when the declared types of the
  // columns differ from the database's.
  bool ensureTableWithName(const std::string& tableName, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo,
                           const APMModifyColumnInfo& modifyColumnInfo, platform::ErrorPtr* error);
  bool ensureSchemaOfTableWithName(const std::string& tableName,
                                   const APMColumnInfo& elementaryColumnInfo,
                                   const APMColumnInfo& addOnColumnInfo, platform::ErrorPtr* error);
  // addOnColumns: column name → its ALTER TABLE text (anything else counts as missing).
  bool ensureTableWithName(const std::string& tableName, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const platform::Dictionary& addOnColumns, platform::ErrorPtr* error);
  // Nothing when the table's columns could not be read (or it has none).
  std::optional<bool> validateTableWithName(const std::string& tableName,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const platform::Dictionary& addOnColumns,
                                            platform::ErrorPtr* error);
  bool dropTableWithName(const std::string& tableName, platform::ErrorPtr* error);
  bool renameTable(const std::string& tableName, const std::string& newName,
                   platform::ErrorPtr* error);
  // Copies the rows column by column name: every column of the destination that the source
  // also has, whatever their positions.
  bool copyContentsFromTable(const std::string& sourceTable, const std::string& destinationTable,
                             platform::ErrorPtr* error);
  bool createEmptyTable(const std::string& newTable, const std::string& sourceTable,
                        platform::ErrorPtr* error);

 private:
  // A statement kept by upsertRecord, known by the table and the record's columns in order.
  struct UpsertStatement {
    std::string tableName;
    std::vector<std::string> columns;
    sqlite3_stmt* statement;
  };

  APMSqliteStore(std::string databasePath, platform::SQLiteSchema schema);
  bool bindValuePointers(const std::vector<const platform::Value*>& values, sqlite3_stmt* statement,
                         platform::ErrorPtr* error);
  // SQLite's result of binding one value at a 1-based position; SQLITE_MISUSE for a value of
  // a kind that cannot be stored.
  static int bindValue(sqlite3_stmt* statement, int position, const platform::Value& value);
  // Runs a statement that returns no rows through the statement cache; a failure is the
  // database's error for the operation.
  bool runQuery(const std::string& query, const platform::Array& parameterValues,
                const std::string& operation, platform::ErrorPtr* error);
  // The insert-or-replace text of a record and, in `values`, its values in column order;
  // nothing (with the error or the log line) when it has none.
  std::optional<std::string> upsertTextForRecord(const platform::Dictionary& record,
                                                 const std::string& tableName,
                                                 platform::ErrorPtr* error,
                                                 std::vector<const platform::Value*>* values);
  // The kept statement for the record's table and columns, or the end.
  std::vector<UpsertStatement>::iterator findUpsertStatement(const platform::Dictionary& record,
                                                             const std::string& tableName);
  // The record's columns and values, or nothing (logged with the code) for a value of a kind
  // that cannot be stored.
  bool collectRecord(const platform::Dictionary& record, std::int64_t logCode,
                     const char* logMessage, std::vector<std::string>* columns,
                     std::vector<const platform::Value*>* values);

  sqlite3* sqliteHandle_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
  // upsertRecord's statements, apart from the statement cache so that the statements handed
  // out keep their own rules; few enough (one per table and column set) to be looked through
  // in turn.
  std::vector<UpsertStatement> upsertStatements_;
  std::string databasePath_;
  platform::SQLiteSchema schema_;
};
