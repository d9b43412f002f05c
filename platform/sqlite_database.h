// SQLiteDatabase: the one opener of every SQLite file we keep, which treats the file found on
// disk as hostile, since its schema is code that runs inside our own statements.
//
// The connection runs in defensive mode with an untrusted schema, views off, SQLite limits
// sized for our own statements, and a progress handler that interrupts any one run of a
// statement after a fixed amount of work. Before any other statement, the objects in
// sqlite_master are compared with what the owner declares:
//
// - only tables and the indexes SQLite makes for their keys ("sqlite_autoindex_..."); no view,
//   trigger, virtual table or index of our own making;
// - each table's CREATE text is read token by token and must be of the plain form we write:
//   "CREATE TABLE name (column declaration, ..., [table constraint])", nothing after the
//   closing parenthesis, no comments or quoted names. A declaration is made only of type
//   words, NOT NULL, PRIMARY KEY [ASC|DESC] [AUTOINCREMENT], UNIQUE and DEFAULT with a
//   literal, so no CHECK, COLLATE, REFERENCES, generated column or expression can pass;
// - with a declared schema, each table must be one the owner names and each of its columns
//   one of that table's, declared exactly as some release wrote it (tokens compared, case and
//   spacing aside), and each table constraint one the owner lists. A file may hold less than
//   declared, tables or columns missing (older releases wrote fewer; the owner adds them),
//   never more or other;
// - the column list SQLite itself reports for each table (table_xinfo, hidden columns
//   included) must be the one read from the text, so the two readings cannot differ.
//
// A file that fails this, or that SQLite finds damaged or too large for the bounds while it
// is read, is set aside (renamed with its -journal, -wal and -shm files to "<name>.damaged-
// <UTC time>", never replacing a file) and a new empty file is opened in its place, with one
// log line. A file that cannot be read for a passing reason (locked, I/O error) is left alone
// and the open fails. A missing file is created 0600.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;

namespace platform {

// One table a store may find in its file.
struct SQLiteTableShape {
  struct Column {
    std::string name;
    // Every declaration the column has been written with, as in a CREATE or ALTER TABLE
    // text ("TEXT NOT NULL", "BLOB NOT NULL DEFAULT x''"); "" for a column without a type.
    std::vector<std::string> declarations;
  };
  std::string name;
  std::vector<Column> columns;
  // Table constraints as written after the columns, e.g. "PRIMARY KEY (a, b)".
  std::vector<std::string> constraints;
};

// What a store keeps in its file. A store whose owner declares no tables (the generic
// analytics store when no owner gives it one) accepts tables of any name and columns, still
// only in the plain form.
struct SQLiteSchema {
  std::vector<SQLiteTableShape> tables;
  bool anyPlainTable = false;
};

struct SQLiteOpenOptions {
  // Flags of sqlite3_open_v2; 0 means read-write and create.
  int flags = 0;
  SQLiteSchema schema;
  // How long a statement waits for another process's lock, the schema read included.
  int busyTimeoutMilliseconds = 0;
  // Receives the one line written when a file is set aside or cannot be; the system log's
  // warning level when empty.
  std::function<void(const std::string&)> log;
};

// Virtual-machine steps one run of a statement may take before it is interrupted: far more
// than any statement of ours needs on the largest files we keep (a second or two of work).
inline constexpr std::int64_t kSQLiteStatementStepBudget = 50'000'000;
// Bytes SQLite may allocate beyond what it already uses, process-wide, while a file is
// checked.
inline constexpr std::int64_t kSQLiteValidationHeapAllowance = 64 << 20;

// Opens the file as described above. SQLITE_OK with the connection in *handle, or an SQLite
// result code; as with sqlite3_open_v2, *handle may then still hold a connection whose error
// message tells more, which the caller closes with sqlite3_close.
int openSQLiteDatabase(const std::string& path, const SQLiteOpenOptions& options, sqlite3** handle);

// Bounds what SQLite may allocate in the whole process while a file read from disk is
// checked (the schema comparison and an integrity check): the allowance above the memory in
// use when the first scope began. Scopes may overlap across threads; the bound is lifted
// when the last one ends.
class SQLiteValidationScope {
 public:
  SQLiteValidationScope();
  ~SQLiteValidationScope();
  SQLiteValidationScope(const SQLiteValidationScope&) = delete;
  SQLiteValidationScope& operator=(const SQLiteValidationScope&) = delete;
};

}  // namespace platform
