// The database the engine opens: by name in the analytics directory, with the engine's second
// attempt after a file that could not be validated, and every family over the one store.

#include "analytics/data/APMDatabase.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr const char* kName = "rerora-app-measurement.sql";

class APMDatabaseTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    config_ = APMPersistedConfig::initWithSuiteName("database-test");
    ASSERT_TRUE(config_);
  }

  analytics_test::ScopedMonitor monitor_;
  std::shared_ptr<APMPersistedConfig> config_;
};

TEST_F(APMDatabaseTest, AnEmptyNameGivesNoDatabase) {
  ErrorPtr error;
  EXPECT_FALSE(APMDatabase::initWithDatabaseName("", config_, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty database name in init");
}

TEST_F(APMDatabaseTest, OpensTheNamedFileInTheAnalyticsDirectoryWithItsRowAndConfig) {
  ErrorPtr error;
  auto database = APMDatabase::initWithDatabaseName(kName, config_, &error);
  ASSERT_TRUE(database) << (error ? error->description() : "");
  EXPECT_EQ(database->persistedConfig(), config_);
  EXPECT_EQ(database->sqliteStore()->databasePath(), APMApplicationSupportPath(kName));
  EXPECT_TRUE(std::filesystem::exists(APMApplicationSupportPath(kName)));
  auto metadata = database->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  ASSERT_TRUE(database->dailyCounts(&error));

  ASSERT_TRUE(database->reset(&error));
  EXPECT_EQ(database->persistedConfig(), config_);
  EXPECT_TRUE(database->queryAppMetadata(&error));
}

TEST_F(APMDatabaseTest, TheSecondAttemptAfterAFileThatFailsValidationWorks) {
  const std::string path = APMApplicationSupportPath(kName);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  // A table lacking a required column: the opener takes it, the table validation does not.
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE queue (data BLOB NOT NULL);", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  ErrorPtr error;
  EXPECT_FALSE(APMDatabase::initWithDatabaseName(kName, config_, &error));
  auto database = APMDatabase::initWithDatabaseName(kName, config_, &error);
  ASSERT_TRUE(database);
  EXPECT_TRUE(database->queryAppMetadata(&error));
}

TEST_F(APMDatabaseTest, TheQueueSweepReachesTheRawEventsOfTheSameStore) {
  ErrorPtr error;
  auto database = APMDatabase::initWithDatabaseName(kName, config_, &error);
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->insertDataType(Dictionary{{"name", "_e"},
                                                  {"timestamp", 1.0},
                                                  {"metadata_fingerprint", 3},
                                                  {"data", platform::Data::fromString("x")}},
                                       kAPMRawEventsTable, &error));
  APMDatabaseUploadQueue& queue = *database;
  EXPECT_TRUE(queue.deleteStaleRawEventsDataOlderThanMaxAge(60, &error));
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kAPMRawEventsTable, nullptr), 0);
}

}  // namespace
