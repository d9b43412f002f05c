// The analytics database's own layer: the thirteen-table schema and its upgrades of older
// files, initialisation with its recovery from a file that cannot be validated, the one
// metadata row, transactions and the generic typed-row operations with their caps.

#include "analytics/data/APMDatabaseCore.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

class TestDatabase final : public APMDatabaseCore {
 public:
  TestDatabase() = default;
};

// Runs statements on a file outside the store, as an older release would have written it.
void runSQL(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_TRUE(analytics_test::executedSQL(db, sql));
  sqlite3_close(db);
}

bool logged(const analytics_test::RecordingMonitor& monitor, std::int64_t code) {
  for (const auto& line : monitor.lines()) {
    if (line.messageCode == code) return true;
  }
  return false;
}

class APMDatabaseCoreTest : public testing_support::TemporaryHomeTest {
 protected:
  std::string path() const { return (home_.path() / "measurement.sql").string(); }

  std::unique_ptr<TestDatabase> open(ErrorPtr* error = nullptr) {
    auto database = std::make_unique<TestDatabase>();
    if (!database->initializeDatabaseResourcesWithContext("Init", path(), error)) return nullptr;
    return database;
  }

  std::vector<Dictionary> rows(TestDatabase& database, const std::string& query) {
    return database.sqliteStore()
        ->recordsForQuery(query, {}, nullptr)
        .value_or(std::vector<Dictionary>{});
  }

  static Dictionary eventRow(const std::string& name, std::int64_t count) {
    return Dictionary{{"name", name},
                      {"lifetime_count", count},
                      {"current_bundle_count", count},
                      {"last_fire_timestamp", 1.5}};
  }

  ScopedMonitor monitor_;
};

// Expected columns of every table: name and declared type text, in table order, elementary
// columns first, then the add-on columns; raw_events' timestamp as modified.
struct ExpectedTable {
  const char* name;
  std::vector<std::pair<std::string, std::string>> columns;
  std::vector<std::string> compositeKey;
};

const std::vector<ExpectedTable>& expectedSchema() {
  static const std::vector<ExpectedTable> kTables = {
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"},
        {"last_bundle_end_timestamp", "REAL NOT NULL"},
        {"last_bundle_start_timestamp", "REAL"},
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
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "REAL NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"is_realtime", "INTEGER"}},
       {}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"},
        {"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"origin", "TEXT"}},
       {}},
      {"queue",
       {{"data", "BLOB NOT NULL"},
        {"bundle_end_timestamp", "REAL NOT NULL"},
        {"is_realtime", "INTEGER"},
        {"retry_count", "INTEGER"}},
       {}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"session_scoped", "INTEGER"}},
       {"audience_id", "filter_id"}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"session_scoped", "INTEGER"}},
       {"audience_id", "filter_id"}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}},
      {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}},
      {"conditional_properties",
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
       {}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {}},
  };
  return kTables;
}

// Every column of the table in order, with its declared type word, NOT NULL and key position.
void expectTableMatches(APMDatabaseCore& database, const ExpectedTable& table) {
  SCOPED_TRACE(table.name);
  const auto info =
      database.sqliteStore()
          ->recordsForQuery(std::string("SELECT * FROM pragma_table_info('") + table.name + "')",
                            {}, nullptr)
          .value_or(std::vector<Dictionary>{});
  ASSERT_EQ(info.size(), table.columns.size());
  for (std::size_t i = 0; i < info.size(); ++i) {
    const auto& [name, declaration] = table.columns[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(*info[i]["name"].asString(), name);
    EXPECT_EQ(*info[i]["type"].asString(), declaration.substr(0, declaration.find(' ')));
    EXPECT_EQ(info[i]["notnull"].integerValue() != 0,
              declaration.find("NOT NULL") != std::string::npos);
    std::int64_t keyPosition = declaration.find("PRIMARY KEY") != std::string::npos ? 1 : 0;
    for (std::size_t k = 0; k < table.compositeKey.size(); ++k) {
      if (table.compositeKey[k] == name) keyPosition = static_cast<std::int64_t>(k) + 1;
    }
    EXPECT_EQ(info[i]["pk"].integerValue(), keyPosition);
  }
}

TEST_F(APMDatabaseCoreTest, CreatesTheThirteenTablesWithExactlyTheirColumns) {
  auto database = open();
  ASSERT_TRUE(database);

  std::vector<std::string> tables;
  for (const Dictionary& row :
       rows(*database, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")) {
    tables.push_back(*row["name"].asString());
  }
  std::vector<std::string> expectedNames;
  for (const ExpectedTable& table : expectedSchema()) expectedNames.push_back(table.name);
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(tables, expectedNames);

  for (const ExpectedTable& table : expectedSchema()) expectTableMatches(*database, table);
}

TEST_F(APMDatabaseCoreTest, CreatesTheMetadataRowOnceAndLeavesAnExistingOneAlone) {
  {
    auto database = open();
    ASSERT_TRUE(database);
    const auto row = rows(*database, "SELECT rowid, * FROM app_metadata");
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0]["rowid"].integerValue(), 1);
    EXPECT_EQ(row[0]["last_bundle_index"], Value(0));
    EXPECT_EQ(row[0]["last_bundle_start_timestamp"], Value(0.0));
    EXPECT_EQ(row[0]["last_bundle_end_timestamp"], Value(0.0));
    ErrorPtr error;
    ASSERT_TRUE(database->updateDataType(
        Dictionary{{"last_bundle_index", 7}, {"last_bundle_end_timestamp", 12.5}}, "app_metadata",
        "rowid", Value("1"), &error));
  }
  auto database = open();
  ASSERT_TRUE(database);
  const auto row = rows(*database, "SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0]["rowid"].integerValue(), 1);
  EXPECT_EQ(row[0]["last_bundle_index"], Value(7));
  EXPECT_EQ(row[0]["last_bundle_end_timestamp"], Value(12.5));
}

TEST_F(APMDatabaseCoreTest, UpgradesAFileWrittenBeforeTheAddOnColumnsKeepingItsRows) {
  runSQL(path(),
         "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
         "last_bundle_end_timestamp REAL NOT NULL);"
         "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) "
         "VALUES (1, 41, 99.5);"
         "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
         "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
         "INSERT INTO raw_events VALUES ('_e', 1700000000, -5, x'0102');"
         "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
         "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
         "INSERT INTO events VALUES ('_s', 3, 2, 4.0);"
         "CREATE TABLE user_attributes (name TEXT NOT NULL PRIMARY KEY, "
         "set_timestamp REAL NOT NULL, value BLOB NOT NULL);"
         "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
         "CREATE TABLE event_filters (audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, "
         "event_name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, filter_id));"
         "CREATE TABLE property_filters (audience_id INTEGER NOT NULL, "
         "filter_id INTEGER NOT NULL, property_name TEXT NOT NULL, data BLOB NOT NULL, "
         "PRIMARY KEY (audience_id, filter_id));");

  auto database = open();
  ASSERT_TRUE(database);
  for (const ExpectedTable& table : expectedSchema()) expectTableMatches(*database, table);

  const auto rawEvents = rows(*database, "SELECT * FROM raw_events");
  ASSERT_EQ(rawEvents.size(), 1u);
  EXPECT_EQ(rawEvents[0]["name"], Value("_e"));
  EXPECT_EQ(rawEvents[0]["timestamp"], Value(1700000000.0));
  EXPECT_TRUE(rawEvents[0]["timestamp"].asDouble());
  EXPECT_EQ(rawEvents[0]["metadata_fingerprint"], Value(-5));
  EXPECT_TRUE(rawEvents[0]["is_realtime"].isNull());

  // The existing metadata row stays as it was; its new columns read null.
  const auto metadata = rows(*database, "SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0]["last_bundle_index"], Value(41));
  EXPECT_TRUE(metadata[0]["last_bundle_start_timestamp"].isNull());
  EXPECT_EQ(rows(*database, "SELECT * FROM events").size(), 1u);
}

TEST_F(APMDatabaseCoreTest, DeletesAFileThatCannotBeValidatedSoTheSecondAttemptStartsAfresh) {
  // A table lacking required columns, the one it has declared as we write it: the opener
  // takes the file, and the table validation refuses it.
  runSQL(path(),
         "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY); INSERT INTO events VALUES ('x');");

  ErrorPtr error;
  EXPECT_FALSE(open(&error));
  EXPECT_TRUE(error);
  EXPECT_TRUE(logged(*monitor_, 12047));
  EXPECT_TRUE(logged(*monitor_, 12002));
  EXPECT_FALSE(logged(*monitor_, 12003));
  EXPECT_FALSE(std::filesystem::exists(path()));

  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(rows(*database, "SELECT name FROM sqlite_master WHERE type = 'table'").size(), 13u);
  EXPECT_TRUE(rows(*database, "SELECT * FROM events").empty());
  EXPECT_EQ(rows(*database, "SELECT * FROM app_metadata").size(), 1u);
}

// The files beside the database whose names say they were set aside.
std::vector<std::filesystem::path> setAsideFiles(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) {
      files.push_back(entry.path());
    }
  }
  return files;
}

TEST_F(APMDatabaseCoreTest, SchemaCodePlantedInTheFileIsSetAsideBeforeItCanRun) {
  // Each would run inside the opening: an endless trigger on the metadata row written at the
  // start, a CHECK the integrity check evaluates on every row, a trigger that writes a large
  // value on every open, a view standing in for a table.
  const std::string endless =
      "(WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT max(x) FROM c)";
  struct Case {
    const char* label;
    std::string sql;
  };
  const Case cases[] = {
      {"endless trigger", "DELETE FROM app_metadata; CREATE TRIGGER t BEFORE INSERT ON "
                          "app_metadata BEGIN SELECT " +
                              endless + "; END;"},
      {"check", "DROP TABLE events; CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, "
                "lifetime_count INTEGER NOT NULL CHECK (length(randomblob(1000)) > 0), "
                "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
                "INSERT INTO events VALUES ('e', 1, 1, 1.0);"},
      {"growing trigger", "DELETE FROM app_metadata; CREATE TRIGGER t AFTER INSERT ON "
                          "app_metadata BEGIN INSERT INTO queue (data, bundle_end_timestamp) "
                          "VALUES (randomblob(1000000), 0); END;"},
      {"view", "DROP TABLE queue; CREATE VIEW queue AS SELECT 1 AS data, " + endless +
                   " AS bundle_end_timestamp;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(home_.path());
    std::filesystem::create_directories(home_.path());
    { ASSERT_TRUE(open()); }
    runSQL(path(), c.sql);

    auto database = open();
    ASSERT_TRUE(database);
    EXPECT_TRUE(logged(*monitor_, 34023));
    EXPECT_EQ(setAsideFiles(home_.path()).size(), 1u);
    EXPECT_EQ(rows(*database, "SELECT name FROM sqlite_master WHERE type = 'table'").size(), 13u);
    EXPECT_TRUE(rows(*database, "SELECT name FROM sqlite_master WHERE type IN ('trigger', "
                                "'view') OR sql LIKE '%CHECK%'")
                    .empty());
    EXPECT_TRUE(rows(*database, "SELECT * FROM queue").empty());
    EXPECT_EQ(rows(*database, "SELECT * FROM app_metadata").size(), 1u);
  }
}

TEST_F(APMDatabaseCoreTest, AFileThisCodeWroteOrUpgradedReopensAsItIs) {
  runSQL(path(),
         "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
         "last_bundle_end_timestamp REAL NOT NULL);"
         "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
         "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
         "INSERT INTO raw_events VALUES ('_e', 1700000000, -5, x'0102');"
         "CREATE TABLE event_filters (audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, "
         "event_name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, filter_id));");
  {
    auto database = open();
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->insertDataType(eventRow("_s", 1), "events", nullptr));
    // The snapshot of the aggregates, which a kill can leave in the file.
    ASSERT_TRUE(database->sqliteStore()->createEmptyTable("events_snapshot", "events", nullptr));
    ASSERT_TRUE(
        database->sqliteStore()->copyContentsFromTable("events", "events_snapshot", nullptr));
  }
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_FALSE(logged(*monitor_, 34023));
  EXPECT_TRUE(setAsideFiles(home_.path()).empty());
  EXPECT_EQ(rows(*database, "SELECT * FROM raw_events").size(), 1u);
  EXPECT_EQ(rows(*database, "SELECT * FROM events_snapshot").size(), 1u);
}

TEST_F(APMDatabaseCoreTest, AMetadataRowThatCannotBeReadOrWrittenFailsTheOpeningWithItsLines) {
  const std::string table =
      "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
      "last_bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) ";
  struct Case {
    const char* label;
    std::string sql;
    std::int64_t code;
    const char* message;
  };
  const Case cases[] = {
      // Row 1 holds what no metadata object can be made of.
      {"unreadable row", table + "VALUES (1, -1, 0);", 12005, "Failed to query app metadata"},
      // Row 1 is missing, and the one-row table is full with another.
      {"row 1 cannot be added", table + "VALUES (2, 0, 0);", 12006,
       "Unable to update the app metadata. Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(path());
    runSQL(path(), c.sql);
    const std::size_t before = monitor_->lines().size();
    ErrorPtr error;
    EXPECT_FALSE(open(&error));
    EXPECT_TRUE(error);

    const auto lines = monitor_->lines();
    std::vector<std::pair<std::int64_t, std::int64_t>> codes;
    for (std::size_t i = before; i < lines.size(); ++i) {
      const auto& line = lines[i];
      if (line.messageCode == 4000) continue;  // the refused metadata object's own line
      codes.emplace_back(line.level, line.messageCode);
      if (line.messageCode == c.code) {
        EXPECT_EQ(line.message, c.message);
      }
      if (line.messageCode == 12004) {
        EXPECT_EQ(line.message, "Failed to initialize App Metadata table (Init)");
      }
    }
    // The block's own line, the failed transaction, then the failed initialisation.
    EXPECT_EQ(codes, (std::vector<std::pair<std::int64_t, std::int64_t>>{
                         {1, c.code}, {1, 12056}, {1, 12004}}));

    // Nothing was written: the file keeps exactly the row it had.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM app_metadata", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 1);
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
}

TEST_F(APMDatabaseCoreTest, ResetEmptiesTheFileAndRebuildsSchemaAndMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->insertDataType(eventRow("_s", 1), "events", nullptr));
  ASSERT_TRUE(database->updateDataType(Dictionary{{"last_bundle_index", 9}}, "app_metadata",
                                       "rowid", Value("1"), nullptr));
  ErrorPtr error;
  ASSERT_TRUE(database->reset(&error));
  EXPECT_EQ(database->sqliteStore()->databasePath(), path());
  EXPECT_TRUE(rows(*database, "SELECT * FROM events").empty());
  const auto metadata = rows(*database, "SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0]["last_bundle_index"], Value(0));
}

TEST_F(APMDatabaseCoreTest, TransactionCommitsOnTrueAndRollsBackAndLogsOnFalse) {
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_TRUE(database->performTransaction(
      [&] { return database->insertDataType(eventRow("_a", 1), "events", nullptr); }));
  EXPECT_FALSE(database->performTransaction([&] {
    EXPECT_TRUE(database->insertDataType(eventRow("_b", 1), "events", nullptr));
    return false;
  }));
  EXPECT_TRUE(logged(*monitor_, 12056));
  const auto events = rows(*database, "SELECT name FROM events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["name"], Value("_a"));
}

TEST_F(APMDatabaseCoreTest, CappedUpsertReplacesExistingKeysAndRefusesNewOnesAtTheCap) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 999; ++i) {
      if (!database->insertDataType(eventRow("e" + std::to_string(i), 1), "events", nullptr))
        return false;
    }
    return true;
  }));

  ErrorPtr error;
  // 999 rows: a new name still fits, which makes 1000.
  EXPECT_TRUE(
      database->upsertDataType(eventRow("new", 1), "events", "name", Value("new"), 1000, &error));
  // 1000 rows: an existing name is replaced, a new one refused.
  EXPECT_TRUE(
      database->upsertDataType(eventRow("e5", 42), "events", "name", Value("e5"), 1000, &error));
  EXPECT_FALSE(database->upsertDataType(eventRow("another", 1), "events", "name", Value("another"),
                                        1000, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");

  EXPECT_EQ(rows(*database, "SELECT * FROM events").size(), 1000u);
  const auto e5 = rows(*database, "SELECT lifetime_count FROM events WHERE name = 'e5'");
  ASSERT_EQ(e5.size(), 1u);
  EXPECT_EQ(e5[0]["lifetime_count"], Value(42));
}

TEST_F(APMDatabaseCoreTest, UpdateOfAMissingRowFailsAndWritesNothing) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->insertDataType(eventRow("_s", 1), "events", nullptr));
  ErrorPtr error;
  EXPECT_FALSE(database->updateDataType(Dictionary{{"lifetime_count", 5}}, "events", "name",
                                        Value("_missing"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to update record. Item doesn't exist");
  const auto events = rows(*database, "SELECT * FROM events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["lifetime_count"], Value(1));

  // An existing row changes only in the columns the record names.
  EXPECT_TRUE(database->updateDataType(Dictionary{{"lifetime_count", 5}}, "events", "name",
                                       Value("_s"), &error));
  const auto updated = rows(*database, "SELECT * FROM events");
  EXPECT_EQ(updated[0]["lifetime_count"], Value(5));
  EXPECT_EQ(updated[0]["current_bundle_count"], Value(1));
}

TEST_F(APMDatabaseCoreTest, ArgumentChecksComeFirstWithTheirCodesAndMessages) {
  auto database = open();
  ASSERT_TRUE(database);
  using Block = APMDatabaseCore::CreateDataTypeBlock<Dictionary>;
  const Block block = [](const Dictionary& record, ErrorPtr*) {
    return std::make_shared<Dictionary>(record);
  };
  struct Case {
    const char* label;
    std::function<bool(ErrorPtr*)> call;
    std::int64_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"all rows without block",
       [&](ErrorPtr* e) {
         return database->allDataTypesFromTableWithName<Dictionary>("events", -1, e, Block())
             .has_value();
       },
       1, "Received nil block to get all data types"},
      {"by column, empty table",
       [&](ErrorPtr* e) {
         return database->dataTypesFromTableWithName<Dictionary>("", "name", Value("x"), e, block)
             .has_value();
       },
       1, "Received empty table name to create data type from table"},
      {"by column, empty column",
       [&](ErrorPtr* e) {
         return database->dataTypesFromTableWithName<Dictionary>("events", "", Value("x"), e, block)
             .has_value();
       },
       1, "Received empty column name to create data type from table"},
      {"by column, no value",
       [&](ErrorPtr* e) {
         return database
             ->dataTypesFromTableWithName<Dictionary>("events", "name", std::nullopt, e, block)
             .has_value();
       },
       1, "Received nil column value to create data type from table"},
      {"by column, no block",
       [&](ErrorPtr* e) {
         return database
             ->dataTypesFromTableWithName<Dictionary>("events", "name", Value("x"), e, Block())
             .has_value();
       },
       2, "Received nil block to create data type from table"},
      {"insert, empty table",
       [&](ErrorPtr* e) { return database->insertDataType(eventRow("a", 1), "", e); }, 1,
       "Received empty table name for inserting"},
      {"insert, no record",
       [&](ErrorPtr* e) { return database->insertDataType(std::nullopt, "events", e); }, 2,
       "Failed to insert empty record"},
      {"upsert, no record",
       [&](ErrorPtr* e) {
         return database->upsertDataType(std::nullopt, "events", "name", Value("a"), 10, e);
       },
       1, "Received empty data type to upsert"},
      {"upsert, empty table",
       [&](ErrorPtr* e) {
         return database->upsertDataType(eventRow("a", 1), "", "name", Value("a"), 10, e);
       },
       1, "Received empty table name for checking upsert"},
      {"update, no record",
       [&](ErrorPtr* e) {
         return database->updateDataType(std::nullopt, "events", "name", Value("a"), e);
       },
       1, "Received empty data type to update"},
      {"update, empty table",
       [&](ErrorPtr* e) {
         return database->updateDataType(eventRow("a", 1), "", "name", Value("a"), e);
       },
       1, "Received empty table name for updating"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ErrorPtr error;
    EXPECT_FALSE(c.call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
}

TEST_F(APMDatabaseCoreTest, ReadsRowsInRowIdOrderWithLimitsAndLeavesOutRefusedRows) {
  auto database = open();
  ASSERT_TRUE(database);
  for (const char* name : {"c", "a", "b"}) {
    ASSERT_TRUE(database->insertDataType(eventRow(name, 1), "events", nullptr));
  }
  const APMDatabaseCore::CreateDataTypeBlock<std::string> names =
      [](const Dictionary& record, ErrorPtr*) -> std::shared_ptr<std::string> {
    if (record["name"] == Value("a")) return nullptr;
    EXPECT_TRUE(record.contains("rowid"));
    return std::make_shared<std::string>(*record["name"].asString());
  };
  ErrorPtr error;
  auto all = database->allDataTypesFromTableWithName<std::string>("events", -1, &error, names);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(*(*all)[0], "c");
  EXPECT_EQ(*(*all)[1], "b");
  auto limited = database->allDataTypesFromTableWithName<std::string>("events", 1, &error, names);
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->size(), 1u);
  EXPECT_FALSE(
      database->allDataTypesFromTableWithName<std::string>("no_such_table", -1, &error, names));

  // No matching row: an empty result, not an error.
  error = nullptr;
  auto none = database->dataTypesFromTableWithName<std::string>("events", "name", Value("zzz"),
                                                                &error, names);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_FALSE(error);
  // Rows that came back but none became an object: an error.
  auto refused = database->dataTypesFromTableWithName<std::string>("events", "name", Value("a"),
                                                                   &error, names);
  EXPECT_FALSE(refused);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to initialize data types from dictionaries");
}

}  // namespace
