// Table schema maintenance of the SQLite store: tables created from column lists, checked and
// extended on every open, and rebuilt with their rows when a column's type changes.

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMSqliteStore.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

class APMSqliteStoreTableSchemaTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ErrorPtr error;
    store_ = APMSqliteStore::initWithDatabasePath((home_.path() / "schema.sql").string(), &error);
    ASSERT_TRUE(store_);
    sqlite3_trace_v2(
        store_->sqliteHandle(), SQLITE_TRACE_STMT,
        [](unsigned, void* context, void*, void* text) {
          static_cast<std::vector<std::string>*>(context)->emplace_back(
              static_cast<const char*>(text));
          return 0;
        },
        &executed_);
  }

  bool ran(const std::string& sql) const {
    return std::find(executed_.begin(), executed_.end(), sql) != executed_.end();
  }
  bool ranAnythingContaining(const std::string& part) const {
    for (const std::string& sql : executed_) {
      if (sql.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string> columns(const std::string& table) {
    return store_->columnsForTableWithName(table, nullptr).value_or(std::vector<std::string>{});
  }

  ScopedMonitor monitor_;
  std::unique_ptr<APMSqliteStore> store_;
  std::vector<std::string> executed_;
};

TEST_F(APMSqliteStoreTableSchemaTest, CreatesAMissingTableWithTheExactTextAndAddOnColumns) {
  ErrorPtr error;
  ASSERT_TRUE(store_->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}, {"b", "REAL"}},
                                          {{"c", "TEXT"}}, &error))
      << error->description();
  EXPECT_TRUE(ran("CREATE TABLE IF NOT EXISTS t ( a INTEGER NOT NULL, b REAL);"));
  EXPECT_TRUE(ran("ALTER TABLE t ADD COLUMN c TEXT"));
  EXPECT_EQ(columns("t"), (std::vector<std::string>{"a", "b", "c"}));

  // On the next open the table is only checked: nothing created, nothing added.
  executed_.clear();
  ASSERT_TRUE(store_->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}, {"b", "REAL"}},
                                          {{"c", "TEXT"}}, &error));
  EXPECT_FALSE(ranAnythingContaining("CREATE"));
  EXPECT_FALSE(ranAnythingContaining("ALTER"));

  // A later release adds a column: it arrives through ALTER TABLE, the rows stay.
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}, {"b", 2.0}}, "t", nullptr));
  ASSERT_TRUE(store_->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}, {"b", "REAL"}},
                                          {{"c", "TEXT"}, {"d", "BLOB"}}, &error));
  EXPECT_TRUE(ran("ALTER TABLE t ADD COLUMN d BLOB"));
  EXPECT_EQ(columns("t"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(store_->rowCountForTableWithName("t", nullptr), 1);
}

TEST_F(APMSqliteStoreTableSchemaTest, ValidatesTheColumnsATableHolds) {
  struct Case {
    const char* name;
    const char* create;
    bool valid;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"extra nullable", "CREATE TABLE t1 (a INTEGER NOT NULL, b REAL, x TEXT)", true, nullptr},
      {"extra not null", "CREATE TABLE t2 (a INTEGER NOT NULL, b REAL, x TEXT NOT NULL)", false,
       "Table contains unknown non-optional columns"},
      {"missing required", "CREATE TABLE t3 (a INTEGER NOT NULL)", false,
       "Table is missing required columns"},
  };
  int index = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string table = "t" + std::to_string(index++);
    ASSERT_TRUE(store_->executeSQL(c.create, nullptr));
    ErrorPtr error;
    EXPECT_EQ(
        store_->ensureTableWithName(table, {{"a", "INTEGER NOT NULL"}, {"b", "REAL"}}, {}, &error),
        c.valid);
    if (c.message) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), 2);
      EXPECT_EQ(error->localizedDescription(), c.message);
    }
  }
  // A table with no columns to read gives no answer at all.
  EXPECT_EQ(store_->validateTableWithName("absent", {"a"}, {}, nullptr), std::nullopt);
}

TEST_F(APMSqliteStoreTableSchemaTest, APrimaryKeyEntryGoesIntoTheCreateTextButIsNoColumn) {
  const APMColumnInfo elementary = {{"app_id", "TEXT NOT NULL"},
                                    {"name", "TEXT NOT NULL"},
                                    {"count", "INTEGER NOT NULL"},
                                    {"PRIMARY KEY", "(app_id, name)"}};
  ErrorPtr error;
  ASSERT_TRUE(store_->ensureTableWithName("events", elementary, {}, {{"count", "INTEGER"}}, &error))
      << error->description();
  EXPECT_TRUE(ran("CREATE TABLE IF NOT EXISTS events ( app_id TEXT NOT NULL, name TEXT NOT NULL, "
                  "count INTEGER NOT NULL, PRIMARY KEY (app_id, name));"));
  // The stored types match the declared ones: nothing is rebuilt.
  EXPECT_FALSE(ranAnythingContaining("_old"));
  EXPECT_EQ(columns("events"), (std::vector<std::string>{"app_id", "name", "count"}));
}

TEST_F(APMSqliteStoreTableSchemaTest, AChangedTypeRebuildsTheTableKeepingRowsAndItsKey) {
  // The table as an older release left it: an integer timestamp, an add-on column appended by
  // ALTER TABLE, a nullable column nobody declares any more, and a two-column key.
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE raw (app_id TEXT NOT NULL, name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
      "legacy TEXT, PRIMARY KEY (app_id, name))",
      nullptr));
  ASSERT_TRUE(store_->executeSQL("ALTER TABLE raw ADD COLUMN extra BLOB", nullptr));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store_->upsertRecord({{"app_id", "app"},
                                      {"name", "e" + std::to_string(i)},
                                      {"timestamp", 100 + i},
                                      {"legacy", "old"},
                                      {"extra", platform::Data::fromString("x")}},
                                     "raw", nullptr));
  }
  const APMColumnInfo elementary = {{"app_id", "TEXT NOT NULL"},
                                    {"name", "TEXT NOT NULL"},
                                    {"timestamp", "INTEGER NOT NULL"},
                                    {"PRIMARY KEY", "(app_id, name)"}};
  const APMColumnInfo addOn = {{"extra", "BLOB"}};
  executed_.clear();
  ErrorPtr error;
  ASSERT_TRUE(store_->ensureTableWithName("raw", elementary, addOn,
                                          {{"timestamp", "REAL NOT NULL"}}, &error))
      << error->description();

  EXPECT_TRUE(ran("BEGIN EXCLUSIVE TRANSACTION"));
  EXPECT_TRUE(ran("ALTER TABLE raw RENAME TO raw_old"));
  EXPECT_TRUE(ran("CREATE TABLE IF NOT EXISTS raw ( app_id TEXT NOT NULL, name TEXT NOT NULL, "
                  "timestamp REAL NOT NULL, PRIMARY KEY (app_id, name));"));
  EXPECT_TRUE(ran("INSERT INTO raw (app_id, name, timestamp, extra) SELECT app_id, name, "
                  "timestamp, extra FROM raw_old"));
  EXPECT_TRUE(ran("DROP TABLE raw_old"));
  EXPECT_TRUE(ran("END TRANSACTION"));

  const auto info = store_->columnInfoForTableWithName("raw", nullptr);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("timestamp"), "REAL");
  EXPECT_FALSE(info->contains("legacy"));
  EXPECT_EQ(store_->tableExists("raw_old", nullptr), std::optional<bool>(false));
  const auto rows = store_->recordsForQuery("SELECT * FROM raw ORDER BY name", {}, nullptr);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[2]["timestamp"].asDouble(), 102.0);
  EXPECT_EQ((*rows)[2]["extra"], Value(platform::Data::fromString("x")));

  // The composite key survived: a row with the same key replaces, it does not add.
  ASSERT_TRUE(store_->upsertRecord({{"app_id", "app"}, {"name", "e0"}, {"timestamp", 1.5}}, "raw",
                                   nullptr));
  EXPECT_EQ(store_->rowCountForTableWithName("raw", nullptr), 3);

  // Now the stored types match: the next open rebuilds nothing.
  executed_.clear();
  ASSERT_TRUE(store_->ensureTableWithName("raw", elementary, addOn,
                                          {{"timestamp", "REAL NOT NULL"}}, &error));
  EXPECT_FALSE(ranAnythingContaining("_old"));
}

TEST_F(APMSqliteStoreTableSchemaTest, AFailedRebuildIsRolledBackWhole) {
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE t (a INTEGER NOT NULL, b INTEGER)", nullptr));
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}, {"b", Value()}}, "t", nullptr));
  // b becomes NOT NULL, which the stored row cannot satisfy.
  ErrorPtr error;
  EXPECT_FALSE(store_->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}, {"b", "INTEGER"}}, {},
                                           {{"b", "REAL NOT NULL"}}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Transaction failed");
  EXPECT_TRUE(ran("ROLLBACK"));
  const auto info = store_->columnInfoForTableWithName("t", nullptr);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("b"), "INTEGER");
  EXPECT_EQ(store_->tableExists("t_old", nullptr), std::optional<bool>(false));
  EXPECT_EQ(store_->rowCountForTableWithName("t", nullptr), 1);
}

TEST_F(APMSqliteStoreTableSchemaTest, TableHelpersRefuseBadNamesBeforeAnySQLRuns) {
  using Op = std::function<bool(ErrorPtr*)>;
  APMSqliteStore& s = *store_;
  const std::vector<std::pair<Op, const char*>> cases = {
      {[&](ErrorPtr* e) { return s.dropTableWithName("", e); },
       "Received empty table name for drop table"},
      {[&](ErrorPtr* e) { return s.renameTable("t", "t", e); },
       "Received duplicate name for rename table"},
      {[&](ErrorPtr* e) { return s.renameTable("", "u", e); },
       "Received empty old name for rename table"},
      {[&](ErrorPtr* e) { return s.copyContentsFromTable("t", "t", e); },
       "Received duplicate name for copy table"},
      {[&](ErrorPtr* e) { return s.copyContentsFromTable("t", "", e); },
       "Received empty destination name for copy table"},
      {[&](ErrorPtr* e) { return s.createEmptyTable("t", "t", e); },
       "Received duplicate name for create empty copy"},
      {[&](ErrorPtr* e) {
         return s.ensureTableWithName("", {{"a", "INTEGER"}}, {}, e);
       },
       "Received empty table name for ensure table"},
      {[&](ErrorPtr* e) { return s.ensureTableWithName("t", APMColumnInfo{}, {}, e); },
       "Received empty elementary column info for ensure table"},
      {[&](ErrorPtr* e) { return s.ensureTableWithName("t", "CREATE TABLE t (a)", {}, {}, e); },
       "Received no table columns for ensure table"},
      {[&](ErrorPtr* e) { return s.ensureSchemaOfTableWithName("t", {}, {}, e); },
       "Received empty column info for ensure table schema"},
  };
  for (const auto& [op, message] : cases) {
    ErrorPtr error;
    EXPECT_FALSE(op(&error)) << message;
    ASSERT_TRUE(error) << message;
    EXPECT_EQ(error->localizedDescription(), message);
  }
  EXPECT_TRUE(executed_.empty());

  ErrorPtr error;
  EXPECT_FALSE(s.ensureSchemaOfTableWithName("absent", {{"a", "INT"}}, {}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Table does not exist for ensure table schema");

  // The helpers themselves, on real tables.
  ASSERT_TRUE(s.executeSQL("CREATE TABLE t (a INTEGER, b TEXT)", nullptr));
  ASSERT_TRUE(s.upsertRecord({{"a", 1}, {"b", "x"}}, "t", nullptr));
  ASSERT_TRUE(s.createEmptyTable("u", "t", nullptr));
  EXPECT_TRUE(ran("CREATE TABLE IF NOT EXISTS u AS SELECT * FROM t WHERE false"));
  EXPECT_EQ(columns("u"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s.rowCountForTableWithName("u", nullptr), 0);
  ASSERT_TRUE(s.copyContentsFromTable("t", "u", nullptr));
  EXPECT_EQ(s.rowCountForTableWithName("u", nullptr), 1);
  ASSERT_TRUE(s.renameTable("u", "v", nullptr));
  ASSERT_TRUE(s.dropTableWithName("v", nullptr));
  EXPECT_EQ(s.tableExists("v", nullptr), std::optional<bool>(false));
}

}  // namespace
