// The table-schema operations of APMSqliteStore: a table described as column lists is created
// when missing, checked and extended when present, and rebuilt with its rows when the declared
// types of its columns changed. Nothing is kept between calls; everything is read back from
// the database each time.
#include <sqlite3.h>

#include <set>
#include <utility>

#include "analytics/data/APMSqliteStore.h"
#include "analytics/messages/APMServices.h"

namespace {

using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr std::int64_t kArgumentError = 1;
constexpr std::int64_t kStateError = 2;

bool isPrimaryKeyEntry(const std::pair<std::string, std::string>& entry) {
  return entry.first == kAPMPrimaryKeyColumnEntry;
}

std::string firstWord(const std::string& declaration) {
  return declaration.substr(0, declaration.find(' '));
}

std::string joined(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return list;
}

}  // namespace

bool APMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for ensure table") ||
      !APMCheckCondition(!elementaryColumnInfo.empty(), error, kArgumentError,
                         "Received empty elementary column info for ensure table")) {
    return false;
  }
  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + tableName + " ( ";
  for (const auto& [name, declaration] : elementaryColumnInfo) {
    createSQL += name + " " + declaration + ", ";
  }
  createSQL.replace(createSQL.size() - 2, 2, ");");

  Dictionary addOnColumns;
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty()) continue;
    addOnColumns.set(name, Value("ALTER TABLE " + tableName + " ADD COLUMN " + name + " " + type));
  }

  std::vector<std::string> requiredColumnNames;
  for (const auto& entry : elementaryColumnInfo) {
    if (!isPrimaryKeyEntry(entry)) requiredColumnNames.push_back(entry.first);
  }
  return ensureTableWithName(tableName, createSQL, requiredColumnNames, addOnColumns, error);
}

bool APMSqliteStore::ensureTableWithName(const std::string& tableName, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const Dictionary& addOnColumns, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for ensure table") ||
      !APMCheckCondition(!requiredColumnNames.empty(), error, kArgumentError,
                         "Received no table columns for ensure table") ||
      !APMCheckCondition(!createSQL.empty(), error, kArgumentError,
                         "Received empty create statement for ensure table") ||
      !APMCheckCondition(sqliteHandle() != nullptr, error, kStateError,
                         "Ensure table failed. Database not open.")) {
    return false;
  }
  const std::optional<bool> exists = tableExists(tableName, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  return validateTableWithName(tableName, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool>
APMSqliteStore::validateTableWithName(const std::string& tableName,
                                      const std::vector<std::string>& requiredColumnNames,
                                      const Dictionary& addOnColumns, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for validate table") ||
      !APMCheckCondition(!requiredColumnNames.empty(), error, kArgumentError,
                         "Received no table columns for validate table") ||
      !APMCheckCondition(sqliteHandle() != nullptr, error, kStateError,
                         "Validate table failed. Database not open.")) {
    return false;
  }
  const auto columns = columnsForTableWithName(tableName, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string> remaining(columns->begin(), columns->end());

  for (const std::string& name : requiredColumnNames) {
    if (!remaining.contains(name)) {
      APMSetError(error, kStateError, "Table is missing required columns");
      return false;
    }
  }
  for (const std::string& name : requiredColumnNames) remaining.erase(name);

  for (const auto& [name, alter] : addOnColumns) {
    if (remaining.erase(name) > 0) continue;
    const std::string* alterSQL = alter.asString();
    if (!alterSQL || !executeSQL(*alterSQL, error)) return false;
  }

  if (remaining.empty()) return true;
  // Columns nobody declared are harmless while they allow NULL: inserts leave them empty.
  const std::string query = "PRAGMA table_info(" + tableName + ")";
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return false;
  bool valid = true;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const std::optional<Value> name = valueAtColumn(1, statement);
    const std::optional<Value> notNull = valueAtColumn(3, statement);
    if (name && name->asString() && remaining.contains(*name->asString()) && notNull &&
        notNull->integerValue() != 0) {
      APMSetError(error, kStateError, "Table contains unknown non-optional columns");
      valid = false;
      break;
    }
  }
  cleanUpStatement(statement, query);
  return valid;
}

bool APMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         const APMModifyColumnInfo& modifyColumnInfo,
                                         ErrorPtr* error) {
  if (!ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;

  auto derive = [&modifyColumnInfo](const APMColumnInfo& columns) {
    APMColumnInfo derived;
    for (const auto& entry : columns) {
      const auto modified = modifyColumnInfo.find(entry.first);
      derived.emplace_back(entry.first,
                           modified == modifyColumnInfo.end() ? entry.second : modified->second);
    }
    return derived;
  };
  // The table-level key stays: a rebuilt table keeps its composite primary key, and with it
  // the replacement of rows by key that its owner relies on.
  return ensureSchemaOfTableWithName(tableName, derive(elementaryColumnInfo),
                                     derive(addOnColumnInfo), error);
}

bool APMSqliteStore::ensureSchemaOfTableWithName(const std::string& tableName,
                                                 const APMColumnInfo& elementaryColumnInfo,
                                                 const APMColumnInfo& addOnColumnInfo,
                                                 ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for ensure table schema") ||
      !APMCheckCondition(!elementaryColumnInfo.empty(), error, kArgumentError,
                         "Received empty column info for ensure table schema")) {
    return false;
  }
  const auto stored = columnInfoForTableWithName(tableName, nullptr);
  if (!APMCheckCondition(stored && !stored->empty(), error, kStateError,
                         "Table does not exist for ensure table schema")) {
    return false;
  }

  std::map<std::string, std::string> expected;
  for (const auto& entry : elementaryColumnInfo) {
    if (isPrimaryKeyEntry(entry) || entry.first.empty() || entry.second.empty()) continue;
    expected[entry.first] = firstWord(entry.second);
  }
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty() || type.empty()) continue;
    expected[name] = type;
  }
  if (*stored == expected) return true;

  const std::string oldName = tableName + "_old";
  ErrorPtr transactionError;
  ErrorPtr stepError;
  const bool migrated = performTransactionWithError(&transactionError, [&] {
    return renameTable(tableName, oldName, &stepError) &&
           ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
           copyContentsFromTable(oldName, tableName, &stepError) &&
           dropTableWithName(oldName, &stepError);
  });
  if (!migrated && error) *error = transactionError ? transactionError : stepError;
  return migrated;
}

bool APMSqliteStore::dropTableWithName(const std::string& tableName, ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty table name for drop table")) {
    return false;
  }
  return executeSQL("DROP TABLE " + tableName, error);
}

bool APMSqliteStore::renameTable(const std::string& tableName, const std::string& newName,
                                 ErrorPtr* error) {
  if (!APMCheckCondition(!tableName.empty(), error, kArgumentError,
                         "Received empty old name for rename table") ||
      !APMCheckCondition(!newName.empty(), error, kArgumentError,
                         "Received empty new name for rename table") ||
      !APMCheckCondition(tableName != newName, error, kArgumentError,
                         "Received duplicate name for rename table")) {
    return false;
  }
  return executeSQL("ALTER TABLE " + tableName + " RENAME TO " + newName, error);
}

bool APMSqliteStore::copyContentsFromTable(const std::string& sourceTable,
                                           const std::string& destinationTable, ErrorPtr* error) {
  if (!APMCheckCondition(!sourceTable.empty(), error, kArgumentError,
                         "Received empty source name for copy table") ||
      !APMCheckCondition(!destinationTable.empty(), error, kArgumentError,
                         "Received empty destination name for copy table") ||
      !APMCheckCondition(sourceTable != destinationTable, error, kArgumentError,
                         "Received duplicate name for copy table")) {
    return false;
  }
  // By name, not by position: a column added by ALTER TABLE sits last in the old table and
  // may sit elsewhere in the rebuilt one, and a copy by position would put values into the
  // wrong columns.
  const auto sourceColumns = columnsForTableWithName(sourceTable, error);
  if (!sourceColumns) return false;
  const auto destinationColumns = columnsForTableWithName(destinationTable, error);
  if (!destinationColumns) return false;
  const std::set<std::string> inSource(sourceColumns->begin(), sourceColumns->end());
  std::vector<std::string> common;
  for (const std::string& column : *destinationColumns) {
    if (inSource.contains(column)) common.push_back(column);
  }
  if (!APMCheckCondition(!common.empty(), error, kStateError,
                         "Tables have no columns in common for copy table")) {
    return false;
  }
  const std::string columns = joined(common);
  return executeSQL("INSERT INTO " + destinationTable + " (" + columns + ") SELECT " + columns +
                        " FROM " + sourceTable,
                    error);
}

bool APMSqliteStore::createEmptyTable(const std::string& newTable, const std::string& sourceTable,
                                      ErrorPtr* error) {
  if (!APMCheckCondition(!sourceTable.empty(), error, kArgumentError,
                         "Received empty source name for create empty copy") ||
      !APMCheckCondition(!newTable.empty(), error, kArgumentError,
                         "Received empty destination name for create empty copy") ||
      !APMCheckCondition(newTable != sourceTable, error, kArgumentError,
                         "Received duplicate name for create empty copy")) {
    return false;
  }
  return executeSQL("CREATE TABLE IF NOT EXISTS " + newTable + " AS SELECT * FROM " + sourceTable +
                        " WHERE false",
                    error);
}
