#include "analytics/data/APMSqliteStore.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/messages/APMServices.h"
#include "platform/files.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr std::int64_t kArgumentError = 1;
constexpr std::int64_t kStateError = 2;
constexpr std::int64_t kDatabaseError = 3;

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
static_assert(kOpenFlags == 0x10006);

// The files SQLite keeps beside a database while it is in use.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

void logToMonitor(std::int64_t level, std::int64_t code, const char* message,
                  const Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

bool containsCaseInsensitive(const std::string& text, const std::string& word) {
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    std::size_t j = 0;
    while (j < word.size() && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                                  std::tolower(static_cast<unsigned char>(word[j]))) {
      ++j;
    }
    if (j == word.size()) return true;
  }
  return false;
}

bool startsWithCaseInsensitive(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool isStorable(const Value& value) {
  return value.isNull() || value.isNumber() || value.isString() || value.isData();
}

// A failed file operation as the file manager reports it.
ErrorPtr fileError(std::int64_t code, const std::string& path, int posixCode) {
  return platform::makeError(platform::kCocoaErrorDomain, code,
                             Dictionary{{platform::kFilePathErrorKey, Value(path)}},
                             platform::makeError(platform::kPOSIXErrorDomain, posixCode));
}

// Clears the file's immutable flag when it is set. A file system that keeps no such flags
// has nothing to clear.
bool clearImmutableFlag(const std::string& path, ErrorPtr* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = fileError(platform::kFileReadUnknownError, path, errno);
    return false;
  }
  bool ok = true;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
    flags &= ~FS_IMMUTABLE_FL;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
      if (error) *error = fileError(platform::kFileWriteNoPermissionError, path, errno);
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

APMSqliteStore::APMSqliteStore(std::string databasePath, platform::SQLiteSchema schema)
    : databasePath_(std::move(databasePath)), schema_(std::move(schema)) {}

APMSqliteStore::~APMSqliteStore() { closeDatabase(); }

std::unique_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     ErrorPtr* error) {
  platform::SQLiteSchema anyPlainTable;
  anyPlainTable.anyPlainTable = true;
  return initWithDatabasePath(path, std::move(anyPlainTable), error);
}

std::unique_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     platform::SQLiteSchema schema,
                                                                     ErrorPtr* error) {
  if (!APMCheckCondition(!path.empty(), error, kArgumentError,
                         "Received empty database path on init")) {
    return nullptr;
  }
  std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path, std::move(schema)));
  if (store->openAndValidateDatabase(error)) return store;
  // A file that cannot be opened or is damaged goes, and a fresh one gets one more try.
  if (store->closeAndDeleteDatabase() && store->openAndValidateDatabase(error)) return store;
  return nullptr;
}

bool APMSqliteStore::openAndValidateDatabase(ErrorPtr* error) {
  struct stat attributes {};
  if (::stat(databasePath_.c_str(), &attributes) == 0) {
    if (!clearImmutableFlag(databasePath_, error)) return false;
  } else if (errno != ENOENT) {
    if (error) *error = fileError(platform::kFileReadUnknownError, databasePath_, errno);
    return false;
  } else {
    const std::filesystem::path parent = std::filesystem::path(databasePath_).parent_path();
    if (!parent.empty() &&
        !platform::createDirectory(parent, true, error, platform::DirectoryAccess::OwnerOnly)) {
      return false;
    }
  }

  platform::SQLiteOpenOptions options;
  options.flags = kOpenFlags;
  options.schema = schema_;
  options.log = [](const std::string& line) {
    logToMonitor(1, 34023, "Damaged database file", {Value(line)});
  };
  sqlite3* handle = nullptr;
  const int result = platform::openSQLiteDatabase(databasePath_, options, &handle);
  sqliteHandle_ = handle;
  if (result != SQLITE_OK) {
    if (handle) {
      setDatabaseError(error, "initialize sqlite handle");
    } else {
      // Without a connection SQLite cannot say more than its code.
      APMSetError(error, kDatabaseError,
                  "Database operation \"initialize sqlite handle\" failed with sqlite code " +
                      std::to_string(result));
    }
    closeDatabase();
    return false;
  }

  ErrorPtr backupError;
  if (!APMExcludePathFromBackup(databasePath_, &backupError)) {
    logToMonitor(4, 34017, "Failed to exclude database file from backup",
                 {backupError ? Value(backupError->description()) : Value()});
  }

  if (!validateDatabaseWithError(error)) {
    closeDatabase();
    return false;
  }
  return true;
}

bool APMSqliteStore::validateDatabaseWithError(ErrorPtr* error) {
  if (!APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Validate database failed. Database not open.")) {
    return false;
  }
  // The check reads every page of a file found on disk: its memory is bounded like the
  // schema's.
  platform::SQLiteValidationScope heapLimit;
  sqlite3_stmt* statement = prepareSQL("PRAGMA integrity_check", error);
  if (!statement) return false;
  bool valid = false;
  if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    valid = text != nullptr && sqlite3_column_bytes(statement, 0) == 2 &&
            std::memcmp(text, "ok", 2) == 0;
  }
  sqlite3_finalize(statement);
  if (!valid) setDatabaseError(error, "validate database");
  return valid;
}

void APMSqliteStore::closeDatabase() {
  if (!sqliteHandle_) return;
  finalizeAndClearStatements();
  const int result = sqlite3_close(sqliteHandle_);
  if (result != SQLITE_OK) {
    logToMonitor(1, 34018, "Failed to close database. Got error code", {Value(result)});
  }
  sqliteHandle_ = nullptr;
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  bool ok = true;
  // Files only: a folder at the path is not the store's to remove, whatever it holds.
  auto remove = [&ok](const std::string& path) {
    struct stat attributes {};
    if (::lstat(path.c_str(), &attributes) != 0) return;
    if (S_ISREG(attributes.st_mode)) clearImmutableFlag(path, nullptr);
    if (::unlink(path.c_str()) != 0) {
      const ErrorPtr removeError = fileError(platform::kFileWriteUnknownError, path, errno);
      logToMonitor(1, 34019, "Failed to delete database. Error",
                   {Value(removeError->description())});
      ok = false;
    }
  };
  remove(databasePath_);
  for (const char* suffix : kCompanionSuffixes) remove(databasePath_ + suffix);
  return ok;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& [query, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
  for (const UpsertStatement& kept : upsertStatements_) sqlite3_finalize(kept.statement);
  upsertStatements_.clear();
}

// ---- Introspection

std::optional<bool> APMSqliteStore::tableExists(const std::string& tableName, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for table exists") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Table exists failed. Database not open.")) {
    return std::nullopt;
  }
  sqlite3_stmt* statement =
      prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (!statement) return std::nullopt;
  const Array parameters{Value(tableName)};
  if (!bindValues(parameters, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  const bool exists = sqlite3_step(statement) == SQLITE_ROW;
  sqlite3_finalize(statement);
  return exists;
}

std::optional<std::vector<std::string>>
APMSqliteStore::columnsForTableWithName(const std::string& tableName, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for get columns") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Get table columns failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string query = "PRAGMA table_info(" + tableName + ")";
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return std::nullopt;
  std::vector<std::string> columns;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    if (name && *name) columns.emplace_back(reinterpret_cast<const char*>(name));
  }
  cleanUpStatement(statement, query);
  return columns;
}

std::optional<std::map<std::string, std::string>>
APMSqliteStore::columnInfoForTableWithName(const std::string& tableName, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for column info") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Get table column info failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string query = "PRAGMA table_info(" + tableName + ")";
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return std::nullopt;
  std::map<std::string, std::string> info;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    const unsigned char* type = sqlite3_column_text(statement, 2);
    if (!name || !*name || !type || !*type) continue;
    info[reinterpret_cast<const char*>(name)] = reinterpret_cast<const char*>(type);
  }
  cleanUpStatement(statement, query);
  return info;
}

// ---- Records and queries

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     ErrorPtr* error) {
  return rowCountForTableWithName(tableName, std::string(), std::nullopt, error);
}

std::optional<std::int64_t>
APMSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                         const std::string& columnName,
                                         const std::optional<Value>& columnValue, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for row count") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Row count failed. Database not open.")) {
    return std::nullopt;
  }
  std::string query = "SELECT count(1) FROM " + tableName;
  Array parameters;
  if (!columnName.empty() && columnValue) {
    query += " WHERE " + columnName + "=?";
    parameters.push_back(*columnValue);
  }
  const std::optional<Value> count = numberForQuery(query, parameters, error);
  if (!count) return std::nullopt;
  return count->integerValue();
}

bool APMSqliteStore::collectRecord(const Dictionary& record, std::int64_t logCode,
                                   const char* logMessage, std::vector<std::string>* columns,
                                   std::vector<const Value*>* values) {
  for (const auto& [key, value] : record) {
    if (!isStorable(value)) {
      logToMonitor(4, logCode, logMessage);
      values->clear();
      return false;
    }
    columns->push_back(key);
    values->push_back(&value);
  }
  return true;
}

std::optional<std::string> APMSqliteStore::upsertTextForRecord(const Dictionary& record,
                                                               const std::string& tableName,
                                                               ErrorPtr* error,
                                                               std::vector<const Value*>* values) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for upsert") ||
      !APMCheckCondition(!record.empty(), error, kArgumentError,
                         "Received empty record for upsert")) {
    return std::nullopt;
  }
  std::vector<std::string> columns;
  if (!collectRecord(record, 34020, "Record has value of unexpected type", &columns, values)) {
    // Reported, so that a caller never takes a dropped record for a stored one.
    APMSetError(error, kArgumentError,
                "Failed to bind parameter of unexpected type to upsert statement");
    return std::nullopt;
  }
  std::string columnList;
  std::string placeholders;
  for (const std::string& column : columns) {
    columnList += column + ", ";
    placeholders += "?, ";
  }
  columnList.replace(columnList.size() - 2, 2, ") VALUES (");
  placeholders.replace(placeholders.size() - 2, 2, ");");
  return "INSERT OR REPLACE INTO " + tableName + " (" + columnList + placeholders;
}

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const Dictionary& record,
                                                       const std::string& tableName,
                                                       ErrorPtr* error) {
  std::vector<const Value*> values;
  const std::optional<std::string> sql = upsertTextForRecord(record, tableName, error, &values);
  if (!sql) return nullptr;
  sqlite3_stmt* statement = prepareSQL(*sql, error);
  if (!statement) return nullptr;
  if (!bindValuePointers(values, statement, error)) {
    cleanUpStatement(statement, *sql);
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const Dictionary& record,
                                                       const std::string& tableName,
                                                       const std::string& columnName,
                                                       const std::optional<Value>& columnValue,
                                                       ErrorPtr* error) {
  if (!APMCheckCondition(!record.empty(), error, kArgumentError, "Empty record for update") ||
      !APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Empty table name for update") ||
      !APMCheckCondition(!columnName.empty(), error, kArgumentError,
                         "Empty column name for update") ||
      !APMCheckCondition(columnValue.has_value(), error, kArgumentError,
                         "Nil column value for update")) {
    return nullptr;
  }
  std::vector<std::string> columns;
  std::vector<const Value*> values;
  if (!collectRecord(record, 34021, "Record has value of unexpected type (update)", &columns,
                     &values)) {
    APMSetError(error, kArgumentError,
                "Failed to bind parameter of unexpected type to update statement");
    return nullptr;
  }
  std::string assignments;
  for (const std::string& column : columns) assignments += column + "=?,";
  assignments.pop_back();
  const std::string sql =
      "UPDATE " + tableName + " SET " + assignments + " WHERE " + columnName + "=?";
  values.push_back(&*columnValue);
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return nullptr;
  if (!bindValuePointers(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::upsertRecord(const Dictionary& record, const std::string& tableName,
                                  ErrorPtr* error) {
  if (!APMCheckCondition(!record.empty(), error, kArgumentError,
                         "Received empty record for upsert") ||
      !APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for upsert") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Upsert record failed. Database not open.")) {
    return false;
  }
  // A row's statement is prepared once per text and kept, unseen by callers: each row runs
  // the same text with its own values. The text follows from the table and the record's
  // columns in order, so a kept statement is found by those without writing the text again;
  // only a step that fails goes the long way below.
  if (auto cached = findUpsertStatement(record, tableName); cached != upsertStatements_.end()) {
    sqlite3_stmt* statement = cached->statement;
    bool allBound = true;
    int position = 0;
    for (const auto& [column, value] : record) {
      if (bindValue(statement, ++position, value) != SQLITE_OK) {
        allBound = false;
        setDatabaseError(error, "bind values");
      }
    }
    if (!allBound) {
      sqlite3_clear_bindings(statement);
      return false;
    }
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (done) return true;
    // The table may have changed under the kept statement: a fresh one fails (or succeeds)
    // the way the row's first statement did, with the same error.
    sqlite3_finalize(statement);
    upsertStatements_.erase(cached);
  }
  std::vector<const Value*> values;
  const std::optional<std::string> sql = upsertTextForRecord(record, tableName, error, &values);
  if (!sql) return false;
  sqlite3_stmt* statement = prepareSQL(*sql, error);
  if (!statement) return false;
  if (!bindValuePointers(values, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  if (sqlite3_step(statement) != SQLITE_DONE) {
    setDatabaseError(error, "execute statement");
    sqlite3_finalize(statement);
    return false;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  std::vector<std::string> columns;
  columns.reserve(record.size());
  for (const auto& [column, value] : record) columns.push_back(column);
  upsertStatements_.push_back({tableName, std::move(columns), statement});
  return true;
}

std::vector<APMSqliteStore::UpsertStatement>::iterator
APMSqliteStore::findUpsertStatement(const Dictionary& record, const std::string& tableName) {
  for (auto kept = upsertStatements_.begin(); kept != upsertStatements_.end(); ++kept) {
    if (kept->tableName != tableName || kept->columns.size() != record.size()) continue;
    bool same = true;
    std::size_t i = 0;
    for (const auto& [column, value] : record) {
      // A value that cannot be stored goes the long way, which reports it.
      if (column != kept->columns[i++] || !isStorable(value)) {
        same = false;
        break;
      }
    }
    if (same) return kept;
  }
  return upsertStatements_.end();
}

bool APMSqliteStore::updateRecord(const Dictionary& record, const std::string& tableName,
                                  const std::string& columnName,
                                  const std::optional<Value>& columnValue, ErrorPtr* error) {
  if (!APMCheckCondition(!record.empty(), error, kArgumentError, "Empty record for update") ||
      !APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Empty table name for update") ||
      !APMCheckCondition(!columnName.empty(), error, kArgumentError,
                         "Empty column name for update") ||
      !APMCheckCondition(columnValue.has_value(), error, kArgumentError,
                         "Nil column value for update") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Update record failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement =
      updateStatementForRecord(record, tableName, columnName, columnValue, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool APMSqliteStore::updateAllRecordsInTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const std::optional<Value>& columnValue,
                                                     ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Empty table name for update") ||
      !APMCheckCondition(!columnName.empty(), error, kArgumentError,
                         "Empty column name for update") ||
      !APMCheckCondition(columnValue.has_value(), error, kArgumentError,
                         "Nil column value for update") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Update record failed. Database not open.")) {
    return false;
  }
  return runQuery("UPDATE " + tableName + " SET " + columnName + "=?", Array{*columnValue},
                  "update all records value", error);
}

bool APMSqliteStore::increaseColumn(const std::string& columnName, std::int64_t value,
                                    const std::string& tableName, const std::string& condition,
                                    const Array& parameterValues, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Empty table name for increase column") ||
      !APMCheckCondition(!columnName.empty(), error, kArgumentError,
                         "Empty column name for increase column") ||
      !APMCheckCondition(!condition.empty(), error, kArgumentError,
                         "Empty condition for increase column") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Increase column failed. Database not open.")) {
    return false;
  }
  const auto info = columnInfoForTableWithName(tableName, nullptr);
  const bool known = info && info->contains(columnName);
  if (!APMCheckCondition(known, error, kArgumentError, "Invalid column or table name")) {
    return false;
  }
  std::string type = info->at(columnName);
  for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!APMCheckCondition(type == "INTEGER", error, kArgumentError, "Column type is not integer.")) {
    return false;
  }
  return runQuery("UPDATE " + tableName + " SET " + columnName + " = " + columnName + " + " +
                      std::to_string(static_cast<long long>(value)) + " WHERE " + condition,
                  parameterValues, "increase records value", error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& tableName,
                                                   const std::string& columnName,
                                                   const std::optional<Value>& columnValue,
                                                   ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for delete record") ||
      !APMCheckCondition(!columnName.empty(), error, kArgumentError,
                         "Received empty column for delete record") ||
      !APMCheckCondition(columnValue.has_value(), error, kArgumentError,
                         "Received nil value for delete record") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Delete record failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement =
      prepareSQL("DELETE FROM " + tableName + " WHERE " + columnName + "=?", error);
  if (!statement) return false;
  if (!bindValuePointers({&*columnValue}, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<std::int64_t>
APMSqliteStore::deleteRecordsFromTableWithName(const std::string& tableName,
                                               const std::string& condition,
                                               const Array& parameterValues, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for delete record") ||
      !APMCheckCondition(!condition.empty(), error, kArgumentError,
                         "Received empty condition for delete record") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Delete records with condition failed. Database not open.")) {
    return std::nullopt;
  }
  const std::string query = "DELETE FROM " + tableName + " WHERE " + condition;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<std::int64_t> deleted;
  if (sqlite3_step(statement) == SQLITE_DONE) {
    deleted = sqlite3_changes(sqliteHandle_);
  } else {
    setDatabaseError(error, "delete records with condition");
  }
  cleanUpStatement(statement, query);
  return deleted;
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& tableName,
                                                       ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for delete all records") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Delete all records failed. Database not open.")) {
    return false;
  }
  return runQuery("DELETE FROM " + tableName, Array(), "delete all records", error);
}

std::optional<std::vector<Dictionary>> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const Array& parameterValues,
                                                                       ErrorPtr* error) {
  return recordsForQuery(query, parameterValues, error,
                         [](std::int64_t, const Dictionary&) { return true; });
}

std::optional<std::vector<Dictionary>> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const Array& parameterValues,
                                                                       ErrorPtr* error,
                                                                       const RowFilter& filter) {
  if (!APMCheckCondition(!query.empty(), error, kArgumentError,
                         "Received empty query for records for query") ||
      !APMCheckCondition(static_cast<bool>(filter), error, kArgumentError,
                         "Received empty filter for selecting records") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Query records failed. Database not open.") ||
      !APMCheckCondition(startsWithCaseInsensitive(query, "select"), error, kArgumentError,
                         "Received invalid select query")) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;

  std::vector<Dictionary> rows;
  std::int64_t index = 0;
  int step = sqlite3_step(statement);
  while (step == SQLITE_ROW) {
    Dictionary row;
    const int columnCount = sqlite3_column_count(statement);
    for (int column = 0; column < columnCount; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (!name) {
        logToMonitor(4, 34003, "Failed to get column name");
        continue;
      }
      std::optional<Value> value = valueAtColumn(column, statement);
      if (!value) {
        logToMonitor(4, 34004, "Value is nil for column", {Value(name)});
        continue;
      }
      row.set(name, std::move(*value));
    }
    if (!filter(index++, row)) break;
    rows.push_back(std::move(row));
    step = sqlite3_step(statement);
  }
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    return std::nullopt;
  }
  if (index > 0 && rows.empty()) {
    logToMonitor(4, 34005, "Database contains records that were all filtered out");
  }
  cleanUpStatement(statement, query);
  return rows;
}

std::optional<Value> APMSqliteStore::numberForQuery(const std::string& query,
                                                    const Array& parameterValues, ErrorPtr* error) {
  if (!APMCheckCondition(!query.empty(), error, kArgumentError,
                         "Received empty query to get numeric result") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Query numeric result failed. Database not open.")) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<Value> number;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    std::optional<Value> value = valueAtColumn(0, statement);
    if (value && value->isNull()) {
      // An empty aggregate: no number, and nothing went wrong.
    } else if (value && value->isNumber()) {
      number = std::move(value);
    } else {
      APMSetError(error, kArgumentError, "Found result that was not numeric");
    }
  } else {
    setDatabaseError(error, "query numeric result");
  }
  cleanUpStatement(statement, query);
  return number;
}

// ---- Transactions

bool APMSqliteStore::performTransactionWithError(ErrorPtr* error, const TransactionBlock& block) {
  if (!APMCheckCondition(static_cast<bool>(block), error, kArgumentError,
                         "Received nil transaction block") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError, "Database not open")) {
    return false;
  }
  if (!beginTransaction()) {
    APMSetError(error, kDatabaseError, "Failed to begin transaction");
    return false;
  }
  if (block()) {
    if (!endTransaction()) {
      APMSetError(error, kDatabaseError, "Failed to end transaction");
      return false;
    }
    return true;
  }
  APMSetError(error, kDatabaseError, "Transaction failed");
  if (!rollbackTransaction()) logToMonitor(1, 34011, "Failed to rollback transaction");
  return false;
}

bool APMSqliteStore::beginTransaction() {
  return sqlite3_exec(sqliteHandle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) ==
         SQLITE_OK;
}

bool APMSqliteStore::endTransaction() {
  return sqlite3_exec(sqliteHandle_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool APMSqliteStore::rollbackTransaction() {
  return sqlite3_exec(sqliteHandle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// ---- Statements

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query, ErrorPtr* error) {
  return statementForQuery(query, Array(), error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query,
                                                const Array& parameterValues, ErrorPtr* error) {
  if (auto cached = statementCache_.find(query); cached != statementCache_.end()) {
    sqlite3_stmt* statement = cached->second;
    if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
      return nullptr;
    }
    return statement;
  }
  if (!APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Statement for query failed. Database not open.")) {
    return nullptr;
  }
  bool cache = false;
  if (query.find('?') != std::string::npos) {
    if (!APMCheckCondition(!parameterValues.empty(), error, kArgumentError,
                           "Received empty parameters")) {
      return nullptr;
    }
    cache = true;
  } else {
    // Literal values in a condition would make every text a new entry.
    cache = !containsCaseInsensitive(query, "WHERE");
  }
  sqlite3_stmt* statement = prepareSQL(query, error);
  if (!statement) return nullptr;
  if (cache) statementCache_[query] = statement;
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    // Nobody else holds an uncached statement: left alone it would keep the connection
    // from closing.
    if (!cache) sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& query) {
  if (!statement) return;
  auto cached = statementCache_.find(query);
  if (cached == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (cached->second != statement) {
    logToMonitor(5, 34016, "Statement is not the same one in the cache");
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

sqlite3_stmt* APMSqliteStore::prepareSQL(const std::string& sql, ErrorPtr* error) {
  if (!APMCheckCondition(!sql.empty(), error, kArgumentError,
                         "Received empty SQL string to prepare") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Prepare SQL failed. Database not open.")) {
    return nullptr;
  }
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(sqliteHandle_, sql.c_str(), -1, &statement, &tail) != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail && *tail) {
    sqlite3_finalize(statement);
    APMSetError(error, kArgumentError, "Query contained more than one SQL statement.");
    return nullptr;
  }
  if (!statement) {
    // Only a comment or white space: nothing to run.
    setDatabaseError(error, "prepare statement");
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::executeSQL(const std::string& sql, ErrorPtr* error) {
  if (!APMCheckCondition(!sql.empty(), error, kArgumentError,
                         "Received empty SQL string to execute") ||
      !APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Execute SQL failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool APMSqliteStore::runQuery(const std::string& query, const Array& parameterValues,
                              const std::string& operation, ErrorPtr* error) {
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  cleanUpStatement(statement, query);
  return done;
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, ErrorPtr* error) {
  if (!APMCheckCondition(statement != nullptr, error, kArgumentError,
                         "Execute SQL statement failed. Statement is NULL.")) {
    return false;
  }
  if (!APMCheckCondition(sqliteHandle_ != nullptr, error, kStateError,
                         "Execute SQL statement failed. Database not open.")) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

bool APMSqliteStore::bindValues(const Array& values, sqlite3_stmt* statement, ErrorPtr* error) {
  std::vector<const Value*> pointers;
  pointers.reserve(values.size());
  for (const Value& value : values) pointers.push_back(&value);
  return bindValuePointers(pointers, statement, error);
}

bool APMSqliteStore::bindValuePointers(const std::vector<const Value*>& values,
                                       sqlite3_stmt* statement, ErrorPtr* error) {
  if (!APMCheckCondition(statement != nullptr, error, kArgumentError,
                         "Failed to bind to NULL statement")) {
    return false;
  }
  sqlite3_clear_bindings(statement);
  bool allBound = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (bindValue(statement, static_cast<int>(i + 1), *values[i]) != SQLITE_OK) {
      allBound = false;
      setDatabaseError(error, "bind values");
    }
  }
  return allBound;
}

int APMSqliteStore::bindValue(sqlite3_stmt* statement, int position, const Value& value) {
  // SQLite binds a null pointer as NULL, so an empty blob points at something.
  static const std::uint8_t kEmptyBlob = 0;
  if (const platform::Data* data = value.asData()) {
    const void* bytes = data->empty() ? &kEmptyBlob : data->bytes();
    return sqlite3_bind_blob(statement, position, bytes, static_cast<int>(data->length()),
                             SQLITE_STATIC);
  }
  if (value.type() == Value::Type::Double)
    return sqlite3_bind_double(statement, position, *value.asDouble());
  if (value.isNumber())
    return sqlite3_bind_int64(statement, position,
                              static_cast<sqlite3_int64>(value.longLongValue()));
  if (const std::string* text = value.asString())
    // With its length: a NUL inside the text is kept, not taken as its end.
    return sqlite3_bind_text(statement, position, text->data(), static_cast<int>(text->size()),
                             SQLITE_TRANSIENT);
  if (value.isNull()) return sqlite3_bind_null(statement, position);
  return SQLITE_MISUSE;
}

std::optional<Value> APMSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  if (!statement) return std::nullopt;
  switch (sqlite3_column_type(statement, column)) {
  case SQLITE_INTEGER:
    return Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
  case SQLITE_FLOAT:
    return Value(sqlite3_column_double(statement, column));
  case SQLITE_TEXT: {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text) return std::nullopt;
    return Value(std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
  }
  case SQLITE_BLOB: {
    const void* blob = sqlite3_column_blob(statement, column);
    if (!blob) return std::nullopt;
    return Value(
        platform::Data(blob, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
  }
  case SQLITE_NULL:
    return Value();
  default:
    return std::nullopt;
  }
}

// ---- Reporting

std::optional<std::string> APMSqliteStore::lastErrorMessage() {
  if (!sqliteHandle_) {
    logToMonitor(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  const char* message = sqlite3_errmsg(sqliteHandle_);
  if (!message) return std::nullopt;
  return std::string(message);
}

std::optional<std::string>
APMSqliteStore::errorDescriptionForDatabaseOperation(const std::string& operation) {
  if (!sqliteHandle_) return std::nullopt;
  const std::optional<std::string> message = lastErrorMessage();
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(sqliteHandle_)) + " and error message \"" +
         message.value_or("(null)") + "\"";
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) {
  const int code = sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_MISUSE;
  const bool writable = ::access(databasePath_.c_str(), W_OK) == 0;
  return (operation.empty() ? std::string("Unknown operation") : operation) + "," +
         std::to_string(code) + "," + (writable ? "A" : "NA");
}

void APMSqliteStore::setDatabaseError(ErrorPtr* error, const std::string& operation) {
  if (!error) return;
  APMSetErrorWithContext(error, kDatabaseError, errorDescriptionForDatabaseOperation(operation),
                         Value(monitorContextForDatabaseOperation(operation)));
}
