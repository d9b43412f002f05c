// The per-event counters in the analytics database and their snapshot: round trips, rows of
// older files, the cap, the public-name count, and taking and restoring the snapshot.

#include "analytics/data/APMDatabaseEventAggregates.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMEventAggregates.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

class TestDatabase final : public APMDatabaseEventAggregates {};

std::string messageOf(const ErrorPtr& error) {
  return error ? error->localizedDescription() : std::string();
}

class APMDatabaseEventAggregatesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ErrorPtr error;
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "measurement.sql").string(), &error))
        << messageOf(error);
  }

  void put(const std::string& name, std::int32_t lifetimeCount, std::int32_t sessionCount = 0) {
    const auto aggregates =
        APMEventAggregates::initWithName(name, lifetimeCount, 0, sessionCount, 1);
    ASSERT_NE(aggregates, nullptr);
    ErrorPtr error;
    ASSERT_TRUE(database_.updateEventAggregates(aggregates.get(), &error)) << messageOf(error);
  }
  std::optional<std::int32_t> lifetime(const std::string& name) {
    const auto row = database_.eventAggregatesWithName(name, nullptr);
    if (row == nullptr) return std::nullopt;
    return row->lifetimeCount();
  }
  void sql(const std::string& statement) {
    ErrorPtr error;
    ASSERT_TRUE(database_.sqliteStore()->executeSQL(statement, &error)) << messageOf(error);
  }
  // Many names at once, each with a lifetime count of 1.
  void fill(const std::string& table, int count, const std::string& prefix) {
    ASSERT_TRUE(database_.performTransaction([&] {
      for (int i = 0; i < count; ++i) {
        sql("INSERT INTO " + table +
            " (name, lifetime_count, current_bundle_count, last_fire_timestamp) VALUES ('" +
            prefix + std::to_string(i) + "', 1, 0, 1)");
      }
      return true;
    }));
  }

  ScopedMonitor monitor_;
  TestDatabase database_;
};

TEST_F(APMDatabaseEventAggregatesTest, EveryFieldRoundTrips) {
  auto aggregates = APMEventAggregates::initWithName("purchase", 5, 2, 3, 100.5);
  ASSERT_NE(aggregates, nullptr);
  aggregates->setLastBundledTimestamp(90.25);
  aggregates->setLastSampledComplexEventID(Value(std::int64_t{1} << 40));
  aggregates->setLastSamplingRate(7);
  aggregates->setLastExemptFromSampling(true);
  aggregates->setLastBundledDay(19000);
  ErrorPtr error;
  ASSERT_TRUE(database_.updateEventAggregates(aggregates.get(), &error)) << messageOf(error);
  put("_e", 1);

  const auto back = database_.eventAggregatesWithName("purchase", &error);
  ASSERT_NE(back, nullptr) << messageOf(error);
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_EQ(back->lifetimeCount(), 5);
  EXPECT_EQ(back->currentBundleCount(), 2);
  EXPECT_EQ(back->currentSessionCount(), 3);
  EXPECT_EQ(back->lastFireTimestamp(), 100.5);
  EXPECT_EQ(back->lastBundledTimestamp(), 90.25);
  EXPECT_EQ(back->lastSampledComplexEventID(), Value(std::int64_t{1} << 40));
  EXPECT_EQ(back->lastSamplingRate(), 7);
  EXPECT_TRUE(back->lastExemptFromSampling());
  EXPECT_EQ(back->lastBundledDay(), 19000);

  const auto plain = database_.eventAggregatesWithName("_e", &error);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->lastSampledComplexEventID().has_value());
  EXPECT_EQ(database_.eventAggregatesWithName("missing", &error), nullptr);

  const auto all = database_.allEventAggregates(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0]->name(), "purchase");
  EXPECT_EQ((*all)[1]->name(), "_e");

  ErrorPtr refused;
  EXPECT_FALSE(database_.updateEventAggregates(nullptr, &refused));
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->code(), 3);
  EXPECT_EQ(messageOf(refused),
            "Received empty event aggregates object for getting dictionary representation");
}

TEST_F(APMDatabaseEventAggregatesTest, RowsOfOlderFilesTakeTheDefaultsAndDamagedRowsAreSkipped) {
  // Written as a release without the add-on columns would have: they stay null.
  sql("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
      "VALUES ('_s', 4, 1, 2.5)");
  sql("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
      "VALUES ('_e', 'many', 1, 2.5)");
  ErrorPtr error;
  const auto old = database_.eventAggregatesWithName("_s", &error);
  ASSERT_NE(old, nullptr) << messageOf(error);
  EXPECT_EQ(old->lifetimeCount(), 4);
  EXPECT_EQ(old->lastSamplingRate(), 1);
  EXPECT_FALSE(old->lastExemptFromSampling());
  EXPECT_EQ(old->lastBundledDay(), 0);
  EXPECT_EQ(old->currentSessionCount(), 0);
  EXPECT_EQ(old->lastBundledTimestamp(), 0);
  EXPECT_FALSE(old->lastSampledComplexEventID().has_value());

  EXPECT_EQ(database_.eventAggregatesWithName("_e", &error), nullptr);
  const auto all = database_.allEventAggregates(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 1u);
  EXPECT_EQ((*all)[0]->name(), "_s");
}

TEST_F(APMDatabaseEventAggregatesTest, PublicNamesAreCountedAndAThousandNamesFillTheTable) {
  put("_s", 1);
  put("_e", 1);
  put("purchase", 1);
  EXPECT_EQ(database_.publicEventCount(nullptr), Value(1));

  fill("events", 996, "n");
  put("_s", 2);    // an existing name is replaced
  put("last", 1);  // the thousandth name
  const auto extra = APMEventAggregates::initWithName("extra", 1, 0, 0, 1);
  ErrorPtr error;
  EXPECT_FALSE(database_.updateEventAggregates(extra.get(), &error));
  EXPECT_EQ(messageOf(error), "Failed to insert data type. Table is full");
  put("_e", 7);
  EXPECT_EQ(lifetime("_e"), 7);
  EXPECT_EQ(database_.publicEventCount(nullptr), Value(998));
  EXPECT_EQ(database_.allEventAggregates(nullptr)->size(), 1000u);
}

TEST_F(APMDatabaseEventAggregatesTest, SessionCountsClearForAllNamesAndEverythingCanBeDeleted) {
  put("a", 1, 4);
  put("b", 1, 9);
  ErrorPtr error;
  ASSERT_TRUE(database_.clearCurrentSessionCounts(&error));
  EXPECT_EQ(database_.eventAggregatesWithName("a", nullptr)->currentSessionCount(), 0);
  EXPECT_EQ(database_.eventAggregatesWithName("b", nullptr)->currentSessionCount(), 0);
  EXPECT_EQ(lifetime("b"), 1);
  ASSERT_TRUE(database_.deleteAllEventAggregates(&error));
  EXPECT_TRUE(database_.allEventAggregates(nullptr)->empty());
}

TEST_F(APMDatabaseEventAggregatesTest, TheSnapshotIsOneCopyOfTheLiveRows) {
  ErrorPtr error;
  // Before any snapshot there is nothing to read, and that is no error.
  EXPECT_EQ(database_.eventAggregatesSnapshotWithName("a", &error), nullptr);
  EXPECT_EQ(error, nullptr);

  put("a", 2);
  put("b", 3);
  ASSERT_TRUE(database_.createEventsSnapshotTable(&error)) << messageOf(error);
  put("a", 5);
  ASSERT_TRUE(database_.createEventsSnapshotTable(&error)) << messageOf(error);
  EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName(kAPMEventsSnapshotTable, nullptr), 2);
  const auto a = database_.eventAggregatesSnapshotWithName("a", &error);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->lifetimeCount(), 5);
  EXPECT_EQ(lifetime("a"), 5);

  ASSERT_TRUE(database_.deleteAllEventAggregatesInSnapshot(&error));
  EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName(kAPMEventsSnapshotTable, nullptr), 0);
}

TEST_F(APMDatabaseEventAggregatesTest, RestoringKeepsAFirstOpenRecordedSinceTheSnapshot) {
  struct Case {
    const char* label;
    std::optional<std::int32_t> snapshotFirstOpen;
    std::optional<std::int32_t> liveFirstOpen;
    std::optional<std::int32_t> restored;
  };
  const Case cases[] = {
      {"snapshot at 0, live at 1", 0, 1, 1},
      {"snapshot at 3, live at 1", 3, 1, 3},
      {"none in the snapshot, live at 1", std::nullopt, 1, 1},
      {"snapshot at 0, none live", 0, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ErrorPtr error;
    ASSERT_TRUE(database_.deleteAllEventAggregates(&error));
    put("kept", 8);
    if (c.snapshotFirstOpen) put("_f", *c.snapshotFirstOpen);
    ASSERT_TRUE(database_.createEventsSnapshotTable(&error));
    ASSERT_TRUE(database_.deleteAllEventAggregates(&error));
    put("gone", 1);
    if (c.liveFirstOpen) put("_f", *c.liveFirstOpen);

    ASSERT_TRUE(database_.restoreFromEventsSnapshotTable(&error)) << messageOf(error);
    EXPECT_EQ(lifetime("_f"), c.restored);
    EXPECT_EQ(lifetime("kept"), 8);
    EXPECT_EQ(lifetime("gone"), std::nullopt);
    EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName(kAPMEventsSnapshotTable, nullptr),
              0);
  }
}

TEST_F(APMDatabaseEventAggregatesTest, RestoringWithoutOrFromAnEmptySnapshotChangesNothing) {
  put("a", 2);
  ErrorPtr error;
  ASSERT_TRUE(database_.restoreFromEventsSnapshotTable(&error));  // no snapshot table
  ASSERT_TRUE(database_.createEventsSnapshotTable(&error));
  ASSERT_TRUE(database_.deleteAllEventAggregatesInSnapshot(&error));
  put("b", 1);
  ASSERT_TRUE(database_.restoreFromEventsSnapshotTable(&error));
  EXPECT_EQ(lifetime("a"), 2);
  EXPECT_EQ(lifetime("b"), 1);
}

TEST_F(APMDatabaseEventAggregatesTest, AFirstOpenThatCannotBeWrittenBackFailsTheRestore) {
  // A full snapshot without "_f" leaves no room for the live one: the restore must say so,
  // and inside the caller's transaction nothing changes.
  fill("events", 1000, "n");
  ErrorPtr error;
  ASSERT_TRUE(database_.createEventsSnapshotTable(&error));
  ASSERT_TRUE(database_.deleteAllEventAggregates(&error));
  put("_f", 1);
  EXPECT_FALSE(database_.performTransaction(
      [&] { return database_.restoreFromEventsSnapshotTable(&error); }));
  EXPECT_EQ(messageOf(error), "Failed to insert data type. Table is full");
  EXPECT_EQ(lifetime("_f"), 1);
  EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName(kAPMEventsSnapshotTable, nullptr),
            1000);
}

TEST_F(APMDatabaseEventAggregatesTest, ASnapshotThatCannotBeMadeIsLogged) {
  sql("DROP TABLE events");
  ErrorPtr error;
  EXPECT_FALSE(database_.createEventsSnapshotTable(&error));
  EXPECT_NE(error, nullptr);
  const auto lines = monitor_->lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().level, 4);
  EXPECT_EQ(lines.back().messageCode, 12058);
  EXPECT_EQ(lines.back().message, "Failed to ensure event snapshot table");
}

}  // namespace
