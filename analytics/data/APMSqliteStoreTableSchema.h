// How an owner of an APMSqliteStore describes its tables, release after release: the columns
// every row has, the columns later releases added, and the columns whose declaration changed.
// The store compares these with what the database holds on every open (the table-schema
// operations of APMSqliteStore, in APMSqliteStoreTableSchema.cc).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// (column name, declaration) in table order, for example ("metadata_fingerprint",
// "INTEGER NOT NULL PRIMARY KEY"). A table-level key is one more entry named "PRIMARY KEY"
// whose declaration is the parenthesised column list; it goes into the CREATE statement but
// is never a column.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name → new declaration, for columns whose type changed.
using APMModifyColumnInfo = std::map<std::string, std::string>;

// The name of the table-level key entry of an APMColumnInfo.
inline constexpr const char* kAPMPrimaryKeyColumnEntry = "PRIMARY KEY";
