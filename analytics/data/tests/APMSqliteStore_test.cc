// The SQLite store: opening and recovering damaged files, the statement cache, record writes
// and reads, transactions and the way SQLite failures are reported.

#include "analytics/data/APMSqliteStore.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/messages/APMServices.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

void writeBytes(const std::filesystem::path& path, const std::string& bytes, std::streamoff at = 0,
                bool truncate = true) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out |
                              (truncate ? std::ios::trunc : std::ios::openmode{}));
  if (!file) file.open(path, std::ios::binary | std::ios::out);
  file.seekp(at);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// False when the file system keeps no such flag (or we may not set it).
bool setImmutable(const std::filesystem::path& path, bool immutable) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

int preparedStatementCount(sqlite3* handle) {
  int count = 0;
  for (sqlite3_stmt* s = sqlite3_next_stmt(handle, nullptr); s; s = sqlite3_next_stmt(handle, s)) {
    ++count;
  }
  return count;
}

// Collects the text of every statement the connection runs, in order.
void traceStatements(sqlite3* handle, std::vector<std::string>* executed) {
  sqlite3_trace_v2(
      handle, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void*, void* text) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(
            static_cast<const char*>(text));
        return 0;
      },
      executed);
}

bool hasLine(const ScopedMonitor& monitor, std::int64_t code) {
  for (const auto& line : monitor->lines()) {
    if (line.messageCode == code) return true;
  }
  return false;
}

class APMSqliteStoreTest : public testing_support::TemporaryHomeTest {
 protected:
  std::filesystem::path path() const { return home_.path() / "Measurement" / "test.sql"; }

  std::unique_ptr<APMSqliteStore> open(ErrorPtr* error = nullptr) {
    return APMSqliteStore::initWithDatabasePath(path().string(), error);
  }

  // A store with table t (a INTEGER primary key, b REAL, c TEXT, d BLOB).
  std::unique_ptr<APMSqliteStore> openWithTable() {
    auto store = open();
    EXPECT_TRUE(store);
    EXPECT_TRUE(store->executeSQL(
        "CREATE TABLE t (a INTEGER NOT NULL PRIMARY KEY, b REAL, c TEXT, d BLOB)", nullptr));
    return store;
  }

  ScopedMonitor monitor_;
};

TEST_F(APMSqliteStoreTest, OpensANewFileInFoldersItCreates) {
  ErrorPtr error;
  auto store = open(&error);
  ASSERT_TRUE(store) << error->description();
  EXPECT_NE(store->sqliteHandle(), nullptr);
  EXPECT_EQ(store->databasePath(), path().string());
  EXPECT_TRUE(std::filesystem::exists(path()));

  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kAPMErrorDomain);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty database path on init");
}

TEST_F(APMSqliteStoreTest, ADamagedFileIsDeletedAndCreatedAnew) {
  // A file SQLite does not take for a database, and one whose table pages are overwritten.
  const std::vector<std::function<void()>> damages = {
      [&] { writeBytes(path(), std::string(8192, 'x')); },
      [&] {
        {
          auto store = openWithTable();
          for (int i = 0; i < 500; ++i) {
            ASSERT_TRUE(
                store->upsertRecord({{"a", i}, {"c", std::string(100, 'v')}}, "t", nullptr));
          }
        }
        writeBytes(path(), std::string(3000, '\x7f'), 4096 + 8, false);
      },
  };
  for (std::size_t i = 0; i < damages.size(); ++i) {
    SCOPED_TRACE(i);
    std::filesystem::remove_all(path().parent_path());
    std::filesystem::create_directories(path().parent_path());
    damages[i]();
    ErrorPtr error;
    auto store = open(&error);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->tableExists("t", nullptr), std::optional<bool>(false));
    EXPECT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
    EXPECT_TRUE(store->upsertRecord({{"a", 1}}, "t", nullptr));
  }
}

TEST_F(APMSqliteStoreTest, CreationFailsWhenTheSecondOpenFailsTooAndLeavesFoldersAlone) {
  // A folder at the database path: neither opened nor removed.
  std::filesystem::create_directories(path());
  writeBytes(path() / "keep", "kept");
  ErrorPtr error;
  EXPECT_FALSE(open(&error));
  ASSERT_TRUE(error);
  EXPECT_TRUE(std::filesystem::exists(path() / "keep"));
  EXPECT_TRUE(hasLine(monitor_, 34019));
}

TEST_F(APMSqliteStoreTest, AnImmutableFileIsUnlockedBeforeOpening) {
  { ASSERT_TRUE(openWithTable()); }
  if (!setImmutable(path(), true)) GTEST_SKIP() << "no immutable flag here";
  ErrorPtr error;
  auto store = open(&error);
  setImmutable(path(), false);
  ASSERT_TRUE(store) << error->description();
  // Still the same database, and writable.
  EXPECT_TRUE(store->upsertRecord({{"a", 1}}, "t", &error)) << error->description();
}

TEST_F(APMSqliteStoreTest, DeletingRemovesTheJournalWalAndSharedMemoryFiles) {
  auto store = openWithTable();
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    writeBytes(path().string() + suffix, "stale");
  }
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_EQ(store->sqliteHandle(), nullptr);
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    EXPECT_FALSE(std::filesystem::exists(path().string() + suffix)) << suffix;
  }
  // Nothing left to delete is no failure.
  EXPECT_TRUE(store->closeAndDeleteDatabase());
}

TEST_F(APMSqliteStoreTest, RefusesTextsWithMoreThanOneStatement) {
  auto store = openWithTable();
  for (const std::string sql : {"SELECT 1; SELECT 2", "SELECT 1; ", "SELECT 1;;"}) {
    ErrorPtr error;
    EXPECT_EQ(store->prepareSQL(sql, &error), nullptr) << sql;
    ASSERT_TRUE(error) << sql;
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(), "Query contained more than one SQL statement.");
  }
  sqlite3_stmt* statement = store->prepareSQL("SELECT 1;", nullptr);
  EXPECT_NE(statement, nullptr);
  sqlite3_finalize(statement);
}

TEST_F(APMSqliteStoreTest, CachesParameterisedAndUnconditionalQueriesOnly) {
  auto store = openWithTable();
  sqlite3* handle = store->sqliteHandle();
  const int baseline = preparedStatementCount(handle);

  struct Case {
    std::string query;
    Array parameters;
    bool cached;
  };
  const std::vector<Case> cases = {
      {"SELECT a FROM t WHERE a=?", {Value(1)}, true},
      {"SELECT count(1) FROM t", {}, true},
      {"SELECT a FROM t where a=1", {}, false},
  };
  int expected = baseline;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    for (int round = 0; round < 2; ++round) {
      sqlite3_stmt* statement = store->statementForQuery(c.query, c.parameters, nullptr);
      ASSERT_NE(statement, nullptr);
      sqlite3_step(statement);
      store->cleanUpStatement(statement, c.query);
    }
    if (c.cached) ++expected;
    EXPECT_EQ(preparedStatementCount(handle), expected);
  }

  ErrorPtr error;
  EXPECT_EQ(store->statementForQuery("SELECT a FROM t WHERE b=?", {}, &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty parameters");

  // A literal condition handed values it has no mark for fails to bind; the statement made
  // for it must not outlive the call.
  error.reset();
  EXPECT_FALSE(store->recordsForQuery("SELECT a FROM t WHERE a=1", {Value(1)}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(preparedStatementCount(handle), expected);

  store->closeDatabase();
  EXPECT_EQ(store->sqliteHandle(), nullptr);
  EXPECT_FALSE(hasLine(monitor_, 34018));
}

TEST_F(APMSqliteStoreTest, BuildsTheUpsertAndUpdateTexts) {
  auto store = openWithTable();
  struct Case {
    Dictionary record;
    std::string sql;
  };
  const std::vector<Case> cases = {
      {{{"a", 1}, {"b", 2.5}}, "INSERT OR REPLACE INTO t (a, b) VALUES (?, ?);"},
      {{{"a", 1}}, "INSERT OR REPLACE INTO t (a) VALUES (?);"},
  };
  for (const Case& c : cases) {
    sqlite3_stmt* statement = store->upsertStatementForRecord(c.record, "t", nullptr);
    ASSERT_NE(statement, nullptr);
    EXPECT_EQ(std::string(sqlite3_sql(statement)), c.sql);
    sqlite3_finalize(statement);
  }
  const Dictionary record{{"b", 1.0}, {"c", "x"}};
  sqlite3_stmt* update = store->updateStatementForRecord(record, "t", "a", Value(1), nullptr);
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(std::string(sqlite3_sql(update)), "UPDATE t SET b=?,c=? WHERE a=?");
  sqlite3_finalize(update);
}

TEST_F(APMSqliteStoreTest, ValuesOfKindsThatCannotBeStoredAreReportedAsErrors) {
  auto store = openWithTable();
  for (const Value& bad : {Value(platform::Date()), Value(Array{Value(1)})}) {
    SCOPED_TRACE(bad.description());
    ErrorPtr error;
    EXPECT_FALSE(store->upsertRecord({{"a", 1}, {"c", bad}}, "t", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(),
              "Failed to bind parameter of unexpected type to upsert statement");

    error = nullptr;
    EXPECT_FALSE(store->updateRecord({{"c", bad}}, "t", "a", Value(1), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(),
              "Failed to bind parameter of unexpected type to update statement");
  }
  EXPECT_TRUE(hasLine(monitor_, 34020));
  EXPECT_TRUE(hasLine(monitor_, 34021));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 0);
}

TEST_F(APMSqliteStoreTest, WritesAndReadsEveryStorageClass) {
  auto store = openWithTable();
  const platform::Data blob = platform::Data::fromString(std::string("\0\1\2", 3));
  // A NUL inside a text is part of it.
  const std::string text("text\0 \xc3\xa9", 8);
  ErrorPtr error;
  ASSERT_TRUE(store->upsertRecord({{"a", 1}, {"b", 2.5}, {"c", text}, {"d", blob}}, "t", &error))
      << error->description();
  ASSERT_TRUE(store->upsertRecord({{"a", 2}, {"b", Value()}, {"c", true}, {"d", platform::Data()}},
                                  "t", &error));

  const auto rows = store->recordsForQuery("SELECT a, b, c, d FROM t ORDER BY a", {}, &error);
  ASSERT_TRUE(rows) << error->description();
  ASSERT_EQ(rows->size(), 2u);
  const Dictionary& first = (*rows)[0];
  EXPECT_EQ(first["a"].type(), Value::Type::Int);
  EXPECT_EQ(first["a"].asInt(), 1);
  EXPECT_EQ(first["b"].type(), Value::Type::Double);
  EXPECT_EQ(first["b"].asDouble(), 2.5);
  EXPECT_EQ(*first["c"].asString(), text);
  ASSERT_TRUE(first["d"].asData());
  EXPECT_EQ(*first["d"].asData(), blob);

  const Dictionary& second = (*rows)[1];
  EXPECT_TRUE(second.contains("b"));
  EXPECT_TRUE(second["b"].isNull());
  // A Boolean binds as its integer, which the TEXT column keeps as text.
  EXPECT_EQ(second["c"], Value("1"));
  // SQLite hands out no pointer for an empty blob: the column is left out of the row.
  EXPECT_FALSE(second.contains("d"));
  EXPECT_TRUE(hasLine(monitor_, 34004));

  // Replace by key, update by key, update all, delete.
  ASSERT_TRUE(store->upsertRecord({{"a", 1}, {"c", "new"}}, "t", nullptr));
  EXPECT_EQ(store->numberForQuery("SELECT b FROM t WHERE a=1", {}, nullptr), std::nullopt);
  ASSERT_TRUE(store->updateRecord({{"b", 7.0}}, "t", "a", Value(2), nullptr));
  EXPECT_EQ(store->numberForQuery("SELECT b FROM t WHERE a=?", {Value(2)}, nullptr), Value(7.0));
  ASSERT_TRUE(store->updateAllRecordsInTableWithName("t", "c", Value("all"), nullptr));
  EXPECT_EQ(store->rowCountForTableWithName("t", "c", Value("all"), nullptr), 2);
  ASSERT_TRUE(store->deleteRecordFromTableWithName("t", "a", Value(1), nullptr));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 1);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a > ?", {Value(100)}, nullptr), 0);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a = ?", {Value(2)}, nullptr), 1);
  ASSERT_TRUE(store->upsertRecord({{"a", 3}}, "t", nullptr));
  ASSERT_TRUE(store->deleteAllRecordsFromTableWithName("t", nullptr));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 0);
}

// Rows written one after the other with the same columns: each runs the same text with its
// own values, and the table changing between two rows gives the errors and rows a first write
// would give. The store still closes cleanly and deletes its file.
TEST_F(APMSqliteStoreTest, RowsOfTheSameColumnsRunTheSameTextWithTheirOwnValues) {
  auto store = openWithTable();
  std::vector<std::string> executed;
  traceStatements(store->sqliteHandle(), &executed);
  const std::string text = "INSERT OR REPLACE INTO t (a, c, d) VALUES (?, ?, ?);";
  const std::vector<Dictionary> rows = {
      {{"a", 1}, {"c", "one"}, {"d", platform::Data::fromString("blob 1")}},
      {{"a", 2}, {"c", Value()}, {"d", platform::Data::fromString("2")}},
      {{"a", 3}, {"c", "three"}, {"d", Value()}},
  };
  for (const Dictionary& row : rows) ASSERT_TRUE(store->upsertRecord(row, "t", nullptr));
  EXPECT_EQ(executed, std::vector<std::string>(3, text));
  const auto read = store->recordsForQuery("SELECT a, c, d FROM t ORDER BY a", {}, nullptr);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    for (const char* column : {"a", "c", "d"})
      EXPECT_EQ((*read)[i][column], rows[i][column]) << column;
  }

  struct Change {
    const char* sql;
    bool stored;
    const char* operation;
  };
  const std::vector<Change> changes = {
      {"DROP TABLE t", false, "\"prepare statement\" failed with sqlite code 1"},
      {"CREATE TABLE t (c TEXT, d BLOB, a INTEGER PRIMARY KEY)", true, nullptr},
      {"CREATE TABLE t (a INTEGER, c TEXT NOT NULL, d BLOB)", false,
       "\"execute statement\" failed with sqlite code 19"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.sql);
    store->executeSQL("DROP TABLE IF EXISTS t", nullptr);
    if (std::string(change.sql) != "DROP TABLE t") {
      ASSERT_TRUE(store->executeSQL(change.sql, nullptr));
    }
    ErrorPtr error;
    EXPECT_EQ(store->upsertRecord({{"a", 4}, {"c", Value()}, {"d", Value()}}, "t", &error),
              change.stored);
    if (change.operation == nullptr) {
      EXPECT_EQ(store->rowCountForTableWithName("t", "a", Value(4), nullptr), 1);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), 3);
      EXPECT_NE(error->localizedDescription().find(change.operation), std::string::npos)
          << error->localizedDescription();
    }
  }

  store->closeDatabase();
  EXPECT_FALSE(hasLine(monitor_, 34018));
  auto again = open();
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->upsertRecord({{"a", 5}, {"c", "x"}, {"d", Value()}}, "t", nullptr));
  EXPECT_TRUE(again->closeAndDeleteDatabase());
  EXPECT_FALSE(hasLine(monitor_, 34018));
  EXPECT_FALSE(std::filesystem::exists(path()));
}

// Kept statements are told apart by table and by columns in order: rows of other tables or
// other column lists, written in turn, each run their own text and land where they belong,
// and a value that cannot be stored is refused as on a first write.
TEST_F(APMSqliteStoreTest, RowsRunTheTextOfTheirOwnTableAndColumns) {
  auto store = openWithTable();
  ASSERT_TRUE(store->executeSQL("CREATE TABLE u (a INTEGER PRIMARY KEY, c TEXT)", nullptr));
  std::vector<std::string> executed;
  traceStatements(store->sqliteHandle(), &executed);
  struct Row {
    const char* table;
    Dictionary record;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"t", {{"a", 1}, {"c", "t1"}}, "INSERT OR REPLACE INTO t (a, c) VALUES (?, ?);"},
      {"u", {{"a", 1}, {"c", "u1"}}, "INSERT OR REPLACE INTO u (a, c) VALUES (?, ?);"},
      {"t", {{"c", "t2"}, {"a", 2}}, "INSERT OR REPLACE INTO t (c, a) VALUES (?, ?);"},
      {"t",
       {{"a", 3}, {"c", "t3"}, {"b", 0.5}},
       "INSERT OR REPLACE INTO t (a, c, b) VALUES (?, ?, ?);"},
      {"t", {{"a", 4}}, "INSERT OR REPLACE INTO t (a) VALUES (?);"},
      {"u", {{"a", 2}, {"c", "u2"}}, "INSERT OR REPLACE INTO u (a, c) VALUES (?, ?);"},
      {"t", {{"a", 5}, {"c", "t5"}}, "INSERT OR REPLACE INTO t (a, c) VALUES (?, ?);"},
      {"t", {{"c", "t6"}, {"a", 6}}, "INSERT OR REPLACE INTO t (c, a) VALUES (?, ?);"},
  };
  std::vector<std::string> texts;
  for (const Row& row : rows) {
    ASSERT_TRUE(store->upsertRecord(row.record, row.table, nullptr)) << row.text;
    texts.emplace_back(row.text);
  }
  EXPECT_EQ(executed, texts);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const auto read = store->recordsForQuery(
        std::string("SELECT * FROM ") + row.table + " WHERE a = ?", {row.record["a"]}, nullptr);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 1u);
    for (const auto& [column, value] : row.record) EXPECT_EQ(read->front()[column], value);
  }

  ErrorPtr error;
  EXPECT_FALSE(store->upsertRecord({{"a", 7}, {"c", platform::Date()}}, "t", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(),
            "Failed to bind parameter of unexpected type to upsert statement");
  EXPECT_TRUE(hasLine(monitor_, 34020));
  EXPECT_EQ(store->rowCountForTableWithName("t", "a", Value(7), nullptr), 0);
  // The kept statement still serves the next row.
  ASSERT_TRUE(store->upsertRecord({{"a", 8}, {"c", "t8"}}, "t", nullptr));
  EXPECT_EQ(store->rowCountForTableWithName("t", "a", Value(8), nullptr), 1);
}

TEST_F(APMSqliteStoreTest, ReadsOnlySelectsAndStopsWhereTheFilterSaysNo) {
  auto store = openWithTable();
  for (int a = 0; a < 5; ++a) ASSERT_TRUE(store->upsertRecord({{"a", a}}, "t", nullptr));

  for (const std::string query : {" SELECT a FROM t", "WITH x AS (SELECT 1) SELECT * FROM x"}) {
    ErrorPtr error;
    EXPECT_FALSE(store->recordsForQuery(query, {}, &error)) << query;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Received invalid select query");
  }
  const auto all = store->recordsForQuery("sElEcT a FROM t ORDER BY a", {}, nullptr);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 5u);

  std::vector<std::int64_t> seen;
  const auto firstTwo = store->recordsForQuery("SELECT a FROM t ORDER BY a", {}, nullptr,
                                               [&](std::int64_t index, const Dictionary& row) {
                                                 seen.push_back(index);
                                                 return row["a"].integerValue() < 2;
                                               });
  ASSERT_TRUE(firstTwo);
  EXPECT_EQ(firstTwo->size(), 2u);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_FALSE(hasLine(monitor_, 34005));

  const auto none = store->recordsForQuery("SELECT a FROM t", {}, nullptr,
                                           [](std::int64_t, const Dictionary&) { return false; });
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(hasLine(monitor_, 34005));
}

TEST_F(APMSqliteStoreTest, AStepThatFailsWhileReadingRowsIsAnError) {
  auto store = openWithTable();
  // abs() of the smallest integer overflows, so the third row fails to step.
  for (const std::int64_t a : {1LL, 2LL, static_cast<long long>(INT64_MIN)}) {
    ASSERT_TRUE(store->upsertRecord({{"a", a}}, "t", nullptr));
  }
  ErrorPtr error;
  const auto rows = store->recordsForQuery("SELECT abs(a) AS v FROM t ORDER BY a DESC", {}, &error);
  EXPECT_FALSE(rows);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(error->localizedDescription().find("\"query records\""), std::string::npos);
  // The cached statement was reset and serves the next read.
  EXPECT_TRUE(store->recordsForQuery("SELECT abs(a) AS v FROM t ORDER BY a DESC", {}, nullptr,
                                     [](std::int64_t, const Dictionary&) { return false; }));
}

TEST_F(APMSqliteStoreTest, NumbersForQueries) {
  auto store = openWithTable();
  ASSERT_TRUE(store->upsertRecord({{"a", 4}, {"b", 0.5}, {"c", "x"}}, "t", nullptr));
  ErrorPtr error;
  EXPECT_EQ(store->numberForQuery("SELECT a FROM t", {}, &error), Value(4));
  EXPECT_EQ(store->numberForQuery("SELECT b FROM t", {}, &error), Value(0.5));
  EXPECT_EQ(store->numberForQuery("SELECT max(a) FROM t WHERE a > 10", {}, &error), std::nullopt);
  EXPECT_FALSE(error);
  EXPECT_EQ(store->numberForQuery("SELECT c FROM t", {}, &error), std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Found result that was not numeric");
  error = nullptr;
  EXPECT_EQ(store->numberForQuery("SELECT a FROM t WHERE a = 99", {}, &error), std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
}

TEST_F(APMSqliteStoreTest, IncreasesIntegerColumnsOnly) {
  auto store = open();
  ASSERT_TRUE(store->executeSQL(
      "CREATE TABLE c (name TEXT, count integer not null, ratio REAL, label TEXT)", nullptr));
  ASSERT_TRUE(store->upsertRecord({{"name", "x"}, {"count", 1}, {"ratio", 1.0}}, "c", nullptr));
  ErrorPtr error;
  ASSERT_TRUE(store->increaseColumn("count", 5, "c", "name = ?", {Value("x")}, &error))
      << error->description();
  EXPECT_EQ(store->numberForQuery("SELECT count FROM c", {}, nullptr), Value(6));

  struct Case {
    std::string column;
    std::string table;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{{"ratio", "c", "Column type is not integer."},
                                         {"label", "c", "Column type is not integer."},
                                         {"missing", "c", "Invalid column or table name"},
                                         {"count", "nope", "Invalid column or table name"}}) {
    error = nullptr;
    EXPECT_FALSE(store->increaseColumn(c.column, 1, c.table, "1", {}, &error)) << c.column;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
}

TEST_F(APMSqliteStoreTest, TransactionsAreExclusiveRollBackAndDoNotNest) {
  auto store = openWithTable();
  ErrorPtr error;
  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store->upsertRecord({{"a", 1}}, "t", nullptr));
    return false;
  }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Transaction failed");
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 0);

  // While one runs, another connection can neither read nor write the file.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
  ErrorPtr innerError;
  EXPECT_TRUE(store->performTransactionWithError(&error, [&] {
    EXPECT_NE(sqlite3_exec(other, "SELECT count(1) FROM t", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(store->performTransactionWithError(&innerError, [] { return true; }));
    return store->upsertRecord({{"a", 2}}, "t", nullptr);
  }));
  sqlite3_close(other);
  ASSERT_TRUE(innerError);
  EXPECT_EQ(innerError->localizedDescription(), "Failed to begin transaction");
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 1);
}

TEST_F(APMSqliteStoreTest, ReportsSQLiteFailuresWithOperationCodeAndMessage) {
  auto store = openWithTable();
  ErrorPtr error;
  EXPECT_FALSE(store->executeSQL("SELECT * FROM missing", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(),
            "Database operation \"prepare statement\" failed with sqlite code 1 and error message "
            "\"no such table: missing\"");
  EXPECT_EQ(error->userInfo()[kAPMMonitorContextKey], Value("prepare statement,1,A"));
  EXPECT_EQ(store->monitorContextForDatabaseOperation(""), "Unknown operation,1,A");

  error = nullptr;
  ASSERT_TRUE(store->executeSQL("CREATE TABLE n (x TEXT NOT NULL)", nullptr));
  EXPECT_FALSE(store->upsertRecord({{"x", Value()}}, "n", &error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("\"execute statement\" failed with sqlite code 19"),
            std::string::npos);
}

TEST_F(APMSqliteStoreTest, ChecksArgumentsFirstAndRefusesWorkOnAClosedDatabase) {
  auto store = openWithTable();
  store->closeDatabase();
  using Op = std::function<bool(ErrorPtr*)>;
  struct Case {
    const char* name;
    Op op;
    std::int64_t code;
    const char* message;
  };
  APMSqliteStore& s = *store;
  const std::vector<Case> cases = {
      {"upsert empty", [&](ErrorPtr* e) { return s.upsertRecord({}, "t", e); }, 1,
       "Received empty record for upsert"},
      {"upsert table",
       [&](ErrorPtr* e) {
         return s.upsertRecord({{"a", 1}}, "", e);
       },
       1, "Received empty table name for upsert"},
      {"upsert closed",
       [&](ErrorPtr* e) {
         return s.upsertRecord({{"a", 1}}, "t", e);
       },
       2, "Upsert record failed. Database not open."},
      {"update nil",
       [&](ErrorPtr* e) {
         return s.updateRecord({{"a", 1}}, "t", "a", std::nullopt, e);
       },
       1, "Nil column value for update"},
      {"update closed",
       [&](ErrorPtr* e) {
         return s.updateRecord({{"a", 1}}, "t", "a", Value(1), e);
       },
       2, "Update record failed. Database not open."},
      {"row count", [&](ErrorPtr* e) { return s.rowCountForTableWithName("", e).has_value(); }, 1,
       "Received empty table name for row count"},
      {"row count closed",
       [&](ErrorPtr* e) { return s.rowCountForTableWithName("t", e).has_value(); }, 2,
       "Row count failed. Database not open."},
      {"statement closed",
       [&](ErrorPtr* e) { return s.statementForQuery("SELECT 1", e) != nullptr; }, 2,
       "Statement for query failed. Database not open."},
      {"delete nil",
       [&](ErrorPtr* e) { return s.deleteRecordFromTableWithName("t", "a", std::nullopt, e); }, 1,
       "Received nil value for delete record"},
      {"delete closed",
       [&](ErrorPtr* e) { return s.deleteRecordsFromTableWithName("t", "1", {}, e).has_value(); },
       2, "Delete records with condition failed. Database not open."},
      {"records filter",
       [&](ErrorPtr* e) { return s.recordsForQuery("SELECT 1", {}, e, nullptr).has_value(); }, 1,
       "Received empty filter for selecting records"},
      {"transaction block", [&](ErrorPtr* e) { return s.performTransactionWithError(e, nullptr); },
       1, "Received nil transaction block"},
      {"transaction closed",
       [&](ErrorPtr* e) { return s.performTransactionWithError(e, [] { return true; }); }, 2,
       "Database not open"},
      {"execute empty", [&](ErrorPtr* e) { return s.executeSQL("", e); }, 1,
       "Received empty SQL string to execute"},
      {"execute null", [&](ErrorPtr* e) { return s.executeSQLStatement(nullptr, e); }, 1,
       "Execute SQL statement failed. Statement is NULL."},
      {"prepare closed", [&](ErrorPtr* e) { return s.prepareSQL("SELECT 1", e) != nullptr; }, 2,
       "Prepare SQL failed. Database not open."},
      {"bind null", [&](ErrorPtr* e) { return s.bindValues({Value(1)}, nullptr, e); }, 1,
       "Failed to bind to NULL statement"},
      {"validate closed", [&](ErrorPtr* e) { return s.validateDatabaseWithError(e); }, 2,
       "Validate database failed. Database not open."},
      {"exists closed", [&](ErrorPtr* e) { return s.tableExists("t", e).has_value(); }, 2,
       "Table exists failed. Database not open."},
  };
  for (const Case& c : cases) {
    ErrorPtr error;
    EXPECT_FALSE(c.op(&error)) << c.name;
    ASSERT_TRUE(error) << c.name;
    EXPECT_EQ(error->code(), c.code) << c.name;
    EXPECT_EQ(error->localizedDescription(), c.message) << c.name;
  }
  EXPECT_EQ(s.lastErrorMessage(), std::nullopt);
  EXPECT_TRUE(hasLine(monitor_, 34022));
}

}  // namespace
