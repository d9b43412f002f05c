// The opener of our SQLite files: what it refuses and sets aside, what it takes as ours, and
// the bounds every connection it makes keeps.
#include "platform/sqlite_database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_log.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Writes a file as another program (or an older release) would, with no bounds at all.
void plant(const fs::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

std::vector<std::string> objectsIn(sqlite3* db) {
  std::vector<std::string> objects;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT type || ' ' || name FROM sqlite_master ORDER BY name",
                               -1, &statement, nullptr),
            SQLITE_OK);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    objects.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  }
  sqlite3_finalize(statement);
  return objects;
}

// The files beside the database whose names say they were set aside.
std::vector<fs::path> setAsideFiles(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A table as two releases wrote it: a composite key, a column whose type changed, a column a
// later release added.
SQLiteSchema declaredSchema() {
  return SQLiteSchema{{{"t",
                        {{"a", {"INTEGER NOT NULL"}},
                         {"b", {"INTEGER NOT NULL", "REAL NOT NULL"}},
                         {"c", {"TEXT"}},
                         {"d", {"BLOB NOT NULL DEFAULT x''"}}},
                        {"PRIMARY KEY (a, b)"}},
                       {"u", {{"id", {"INTEGER PRIMARY KEY AUTOINCREMENT"}}}, {}},
                       {"sqlite_sequence", {{"name", {""}}, {"seq", {""}}}, {}}},
                      false};
}

// A file planted before a test case opens it, named for the case.
struct PlantedFile {
  const char* label;
  std::string sql;
};

const char* const kOurTable = "CREATE TABLE t ( a INTEGER NOT NULL, b INTEGER NOT NULL, "
                              "PRIMARY KEY (a, b));";

class SQLiteDatabaseTest : public testing_support::TemporaryHomeTest {
 protected:
  SQLiteDatabaseTest() {
    SystemLog::setCaptureSink([this](const SystemLog::Entry& entry) {
      std::lock_guard lock(mutex_);
      lines_.push_back(entry.message);
    });
  }
  ~SQLiteDatabaseTest() override {
    SystemLog::setCaptureSink(nullptr);
    if (db_) sqlite3_close(db_);
  }

  fs::path path() const { return home_.path() / "store.db"; }

  int open(const SQLiteSchema& schema = declaredSchema()) {
    if (db_) sqlite3_close(db_);
    SQLiteOpenOptions options;
    options.schema = schema;
    return openSQLiteDatabase(path().string(), options, &db_);
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  // An empty home and log holding only the planted file, for the next case of a table.
  void plantAlone(const PlantedFile& file) {
    fs::remove_all(home_.path());
    fs::create_directories(home_.path());
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    plant(path(), file.sql);
  }

  sqlite3* db_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(SQLiteDatabaseTest, AFileWithAnythingWeNeverWriteIsSetAsideAndAFreshOneOpens) {
  const std::string ours = kOurTable;
  const PlantedFile cases[] = {
      {"trigger", ours + "CREATE TRIGGER g AFTER INSERT ON t BEGIN DELETE FROM t; END;"},
      {"view", ours + "CREATE VIEW v AS SELECT * FROM t;"},
      {"index of our own", ours + "CREATE INDEX i ON t (b);"},
      {"expression index", ours + "CREATE INDEX i ON t (a + b);"},
      {"statistics", ours + "INSERT INTO t VALUES (1, 1); ANALYZE;"},
      {"virtual table", ours + "CREATE VIRTUAL TABLE f USING fts5(x);"},
      {"unknown table", ours + "CREATE TABLE other (a INTEGER);"},
      {"unknown column", "CREATE TABLE t (a INTEGER NOT NULL, e TEXT);"},
      {"other declaration", "CREATE TABLE t (a INTEGER, b INTEGER NOT NULL);"},
      {"other constraint", "CREATE TABLE t (a INTEGER NOT NULL, b REAL NOT NULL, UNIQUE (a));"},
      {"check", "CREATE TABLE t (a INTEGER NOT NULL CHECK (length(randomblob(a)) > 0));"},
      {"table check", "CREATE TABLE t (a INTEGER NOT NULL, CHECK (a > 0));"},
      {"default expression", "CREATE TABLE t (a INTEGER NOT NULL, c TEXT DEFAULT (hex(1)));"},
      {"generated column", "CREATE TABLE t (a INTEGER NOT NULL, c TEXT AS (a * 2));"},
      {"collation", "CREATE TABLE t (a INTEGER NOT NULL, c TEXT COLLATE NOCASE);"},
      {"foreign key", "CREATE TABLE u (id INTEGER PRIMARY KEY AUTOINCREMENT);"
                      "CREATE TABLE t (a INTEGER NOT NULL REFERENCES u (id));"},
      {"quoted name", "CREATE TABLE \"t\" (a INTEGER NOT NULL);"},
      {"comment", "CREATE TABLE t (a INTEGER NOT NULL /* ours? */);"},
      {"without rowid", "CREATE TABLE t (a INTEGER NOT NULL, b INTEGER NOT NULL, "
                        "PRIMARY KEY (a, b)) WITHOUT ROWID;"},
      {"other case", "CREATE TABLE T (a INTEGER NOT NULL);"},
  };
  for (const PlantedFile& c : cases) {
    SCOPED_TRACE(c.label);
    plantAlone(c);
    // A companion left beside the new file would be taken for its own.
    std::ofstream(path().string() + "-shm") << "stale";
    const std::string planted = bytesOf(path());

    ASSERT_EQ(open(), SQLITE_OK);
    EXPECT_TRUE(objectsIn(db_).empty());
    const auto aside = setAsideFiles(home_.path());
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_EQ(aside[0].filename().string().rfind("store.db-shm.damaged-", 0), 0u) << aside[0];
    EXPECT_EQ(bytesOf(aside[0]), "stale");
    EXPECT_EQ(aside[1].filename().string().rfind("store.db.damaged-", 0), 0u) << aside[1];
    EXPECT_EQ(bytesOf(aside[1]), planted);
    EXPECT_FALSE(fs::exists(path().string() + "-shm"));
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("set aside as " + aside[1].string()), std::string::npos)
        << lines()[0];
    // The fresh file is usable as ours.
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, kOurTable, nullptr, nullptr, &message), SQLITE_OK) << message;
    sqlite3_free(message);
  }
}

TEST_F(SQLiteDatabaseTest, FilesSQLiteCannotReadAreSetAsideAndEarlierOnesAreNeverReplaced) {
  for (int round = 1; round <= 2; ++round) {
    std::ofstream(path()) << std::string(8192, 'x');
    ASSERT_EQ(open(), SQLITE_OK);
    EXPECT_TRUE(objectsIn(db_).empty());
    EXPECT_EQ(setAsideFiles(home_.path()).size(), static_cast<std::size_t>(round));
  }
  for (const fs::path& aside : setAsideFiles(home_.path())) {
    EXPECT_EQ(bytesOf(aside), std::string(8192, 'x'));
  }
}

TEST_F(SQLiteDatabaseTest, EveryShapeOurReleasesWroteOpensAsItIs) {
  const PlantedFile cases[] = {
      {"empty file", ""},
      {"as declared", "CREATE TABLE IF NOT EXISTS t ( a INTEGER NOT NULL, b INTEGER NOT NULL, "
                      "PRIMARY KEY (a, b));"
                      "ALTER TABLE t ADD COLUMN c TEXT;"
                      "ALTER TABLE t ADD COLUMN d BLOB NOT NULL DEFAULT x'';"
                      "INSERT INTO t (a, b) VALUES (1, 2);"},
      {"older type and fewer columns", "CREATE TABLE t (a INTEGER NOT NULL, b REAL NOT NULL);"},
      {"missing table, other spelling", "create table t (A integer not null)"},
      {"autoincrement keys", "CREATE TABLE u (id INTEGER PRIMARY KEY AUTOINCREMENT);"
                             "INSERT INTO u DEFAULT VALUES;"},
  };
  for (const PlantedFile& c : cases) {
    SCOPED_TRACE(c.label);
    plantAlone(c);
    sqlite3* before = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &before), SQLITE_OK);
    const auto objects = objectsIn(before);
    sqlite3_close(before);

    ASSERT_EQ(open(), SQLITE_OK);
    EXPECT_EQ(objectsIn(db_), objects);
    EXPECT_TRUE(setAsideFiles(home_.path()).empty());
    EXPECT_TRUE(lines().empty()) << lines()[0];
  }
}

TEST_F(SQLiteDatabaseTest, AStoreWithoutDeclaredTablesStillTakesOnlyThePlainForm) {
  SQLiteSchema anyPlainTable;
  anyPlainTable.anyPlainTable = true;
  plant(path(), "CREATE TABLE anything (x integer not null, y, z TEXT UNIQUE DEFAULT 'z', "
                "PRIMARY KEY (x, y));");
  ASSERT_EQ(open(anyPlainTable), SQLITE_OK);
  EXPECT_EQ(objectsIn(db_).size(), 3u);  // the table and the indexes of its key and UNIQUE
  EXPECT_TRUE(setAsideFiles(home_.path()).empty());

  sqlite3_close(db_);
  db_ = nullptr;
  plant(path(), "CREATE TABLE other (x INTEGER CHECK (x > 0));");
  ASSERT_EQ(open(anyPlainTable), SQLITE_OK);
  EXPECT_TRUE(objectsIn(db_).empty());
  EXPECT_EQ(setAsideFiles(home_.path()).size(), 1u);
}

TEST_F(SQLiteDatabaseTest, AFileLockedByAnotherWriterIsLeftAlone) {
  plant(path(), kOurTable);
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; INSERT INTO t VALUES (1, 1);", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  EXPECT_EQ(open() & 0xff, SQLITE_BUSY);
  EXPECT_TRUE(setAsideFiles(home_.path()).empty());
  EXPECT_TRUE(lines().empty());
  sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  EXPECT_EQ(open(), SQLITE_OK);
  EXPECT_EQ(objectsIn(db_).size(), 2u);
}

TEST_F(SQLiteDatabaseTest, NewFilesArePrivate) {
  ASSERT_EQ(open(), SQLITE_OK);
  struct stat attributes {};
  ASSERT_EQ(::stat(path().c_str(), &attributes), 0);
  EXPECT_EQ(attributes.st_mode & 0777, 0600u);

  sqlite3_close(db_);
  db_ = nullptr;
  plant(path(), "CREATE VIEW v AS SELECT 1;");
  ::chmod(path().c_str(), 0644);
  ASSERT_EQ(open(), SQLITE_OK);
  ASSERT_EQ(::stat(path().c_str(), &attributes), 0);
  EXPECT_EQ(attributes.st_mode & 0777, 0600u);
}

TEST_F(SQLiteDatabaseTest, EachRunOfAStatementIsBounded) {
  ASSERT_EQ(open(), SQLITE_OK);
  struct Case {
    const char* label;
    const char* sql;
    int result;
  };
  const Case cases[] = {
      {"endless",
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
       "SELECT count(*) FROM c",
       SQLITE_INTERRUPT},
      {"huge value", "SELECT length(randomblob(100000000))", SQLITE_TOOBIG},
      {"attached file", "ATTACH ':memory:' AS other", SQLITE_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db_, c.sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    EXPECT_EQ(rc, c.result) << sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
  }

  // The bound is per run: a statement run again and again, far past the bound in all, is
  // never stopped.
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db_,
                               "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                               "LIMIT 2000000) SELECT count(*) FROM c",
                               -1, &statement, nullptr),
            SQLITE_OK);
  std::int64_t steps = 0;
  while (steps <= kSQLiteStatementStepBudget) {
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW) << sqlite3_errmsg(db_);
    steps += sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_VM_STEP, 1);
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
}

TEST_F(SQLiteDatabaseTest, TheValidationHeapLimitHoldsWhileAnyCheckRuns) {
  ASSERT_EQ(sqlite3_hard_heap_limit64(-1), 0);
  ASSERT_EQ(sqlite3_soft_heap_limit64(-1), 0);
  {
    SQLiteValidationScope outer;
    const sqlite3_int64 limit = sqlite3_hard_heap_limit64(-1);
    EXPECT_GT(limit, sqlite3_memory_used());
    EXPECT_LE(limit, sqlite3_memory_used() + kSQLiteValidationHeapAllowance);
    {
      SQLiteValidationScope inner;
      EXPECT_NE(sqlite3_hard_heap_limit64(-1), 0);
    }
    EXPECT_NE(sqlite3_hard_heap_limit64(-1), 0);
  }
  EXPECT_EQ(sqlite3_hard_heap_limit64(-1), 0);
  EXPECT_EQ(sqlite3_soft_heap_limit64(-1), 0);
}

}  // namespace
}  // namespace platform
