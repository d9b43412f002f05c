#include "analytics/data/APMDatabaseUploadQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/ZULGzip.h"
#include "platform/value.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr std::int32_t kEndTimestampMillisIndex = 5;
constexpr std::int32_t kOSVersionIndex = 9;
constexpr std::int32_t kAppIDIndex = 14;
constexpr std::int32_t kRetryCountIndex = 35;

constexpr double kNow = 1'700'000'000;

// The queue family on a file of its own; the raw-events side of the sweep is a stand-in
// that records its calls and fails on request.
class QueueDatabase final : public APMDatabaseUploadQueue {
 public:
  bool open(const std::string& path, std::shared_ptr<APMPersistedConfig> config) {
    if (!initializeDatabaseResourcesWithContext("Init", path, nullptr)) return false;
    setPersistedConfig(std::move(config));
    return true;
  }
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, ErrorPtr* error) override {
    rawEventSweeps.push_back(maxAge);
    if (failRawEventSweep) APMSetError(error, 2, "raw events sweep failed");
    return !failRawEventSweep;
  }

  std::vector<double> rawEventSweeps;
  bool failRawEventSweep = false;
};

// A bundle that encodes to exactly `size` bytes, padded through a string field.
std::shared_ptr<APMPBMeasurementBundle> bundleOfSize(std::size_t size, std::int64_t endMillis) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  nano_set_string_field(bundle.get(), kAppIDIndex, "1:123:ios:abc");
  nano_set_int64(bundle.get(), kEndTimestampMillisIndex, endMillis);
  std::size_t padding = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    nano_set_string_field(bundle.get(), kOSVersionIndex, std::string(padding, 'p'));
    const std::size_t encoded = bundle->protoBuffer()->length();
    if (encoded == size) return bundle;
    padding = padding + size - encoded;
  }
  ADD_FAILURE() << "no padding gives " << size << " bytes";
  return bundle;
}

std::shared_ptr<APMPBMeasurementBundle> bundleEndingAt(double seconds) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  nano_set_string_field(bundle.get(), kAppIDIndex, "1:123:ios:abc");
  nano_set_int64(bundle.get(), kEndTimestampMillisIndex, static_cast<std::int64_t>(seconds * 1000));
  return bundle;
}

std::vector<std::int64_t> rowIDsOf(const std::vector<APMQueuedBundle>& bundles) {
  std::vector<std::int64_t> ids;
  for (const auto& bundle : bundles) ids.push_back(bundle.rowID);
  return ids;
}

bool logged(const analytics_test::RecordingMonitor& monitor, std::int64_t code) {
  for (const auto& line : monitor.lines()) {
    if (line.messageCode == code) return true;
  }
  return false;
}

class APMDatabaseUploadQueueTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    config_ = APMPersistedConfig::initWithSuiteName("upload-queue-test");
    ASSERT_TRUE(config_);
    // The sweep has just run: inserting bundles does not sweep unless a test says so.
    config_->setLastDeleteStaleBundlesTimestamp(kNow);
    ASSERT_TRUE(database_.open((home_.path() / "queue.sql").string(), config_));
  }

  // A row written past the insertion checks, as a damaged or older file would hold it.
  std::int64_t putRow(Value data, std::int64_t retryCount = 0, double end = kNow) {
    EXPECT_TRUE(database_.sqliteStore()->upsertRecord(Dictionary{{"data", std::move(data)},
                                                                 {"bundle_end_timestamp", end},
                                                                 {"is_realtime", std::int64_t{0}},
                                                                 {"retry_count", retryCount}},
                                                      kAPMQueueTable, nullptr));
    return *database_.sqliteStore()
                ->numberForQuery("SELECT MAX(rowid) FROM queue", {}, nullptr)
                ->asInt();
  }
  std::int64_t putBundle(const APMPBMeasurementBundle& bundle, std::int64_t retryCount = 0) {
    return putRow(*zul_dataByGzippingData(*bundle.protoBuffer()), retryCount);
  }
  std::int64_t retryCountOfRow(std::int64_t rowID) {
    return *database_.sqliteStore()
                ->numberForQuery("SELECT retry_count FROM queue WHERE rowid = ?", {rowID}, nullptr)
                ->asInt();
  }
  std::int64_t rowCount() {
    return *database_.sqliteStore()->rowCountForTableWithName(kAPMQueueTable, nullptr);
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(kNow)};
  ScopedMonitor monitor_;
  std::shared_ptr<APMPersistedConfig> config_;
  QueueDatabase database_;
};

TEST_F(APMDatabaseUploadQueueTest, BatchIsBoundedByCountAndByEncodedSize) {
  struct Case {
    const char* name;
    std::vector<std::size_t> sizes;
    std::int64_t countLimit;
    std::int64_t sizeLimit;
    std::size_t taken;
  };
  const Case cases[] = {
      {"two fit", {400, 400, 300}, 10, 1000, 2},
      {"the total may reach the limit", {400, 400, 100}, 10, 1000, 3},
      {"only the first fits", {400, 400, 100}, 10, 700, 1},
      {"all fit exactly", {400, 400, 100}, 10, 900, 3},
      {"one byte short", {400, 400, 100}, 10, 899, 2},
      {"an oversized first bundle goes alone", {5000, 100}, 10, 1000, 1},
      {"a smaller later bundle is not considered", {400, 700, 100}, 10, 1000, 1},
      {"the count bounds first", {100, 100, 100}, 2, 100000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(
        database_.sqliteStore()->deleteAllRecordsFromTableWithName(kAPMQueueTable, nullptr));
    std::vector<std::int64_t> rowIDs;
    for (std::size_t size : c.sizes) {
      rowIDs.push_back(putBundle(*bundleOfSize(size, static_cast<std::int64_t>(kNow) * 1000)));
    }
    ErrorPtr error;
    const auto batch = database_.queryBundlesWithCountLimit(c.countLimit, c.sizeLimit, &error);
    ASSERT_TRUE(batch) << error->description();
    rowIDs.resize(c.taken);
    EXPECT_EQ(rowIDsOf(*batch), rowIDs);
  }
}

TEST_F(APMDatabaseUploadQueueTest, InsertedBundleReadsBackWithItsColumns) {
  auto bundle = bundleEndingAt(kNow - 10);
  nano_set_int32(bundle.get(), kRetryCountIndex, 4);
  ErrorPtr error;
  ASSERT_TRUE(database_.insertBundle(*bundle, true, &error)) << error->description();
  ASSERT_TRUE(database_.insertBundle(*bundleEndingAt(kNow - 5), false, &error));

  const auto rows = *database_.sqliteStore()->recordsForQuery(
      "SELECT rowid, * FROM queue ORDER BY rowid", {}, nullptr);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["bundle_end_timestamp"].asDouble(), kNow - 10);
  EXPECT_EQ(rows[0]["is_realtime"].asInt(), 1);
  EXPECT_EQ(rows[0]["retry_count"].asInt(), 4);
  EXPECT_EQ(rows[1]["is_realtime"].asInt(), 0);
  EXPECT_EQ(rows[1]["retry_count"].asInt(), 0);
  // Stored compressed.
  EXPECT_EQ(*zul_dataByInflatingGzippedData(*rows[0]["data"].asData()), *bundle->protoBuffer());

  const auto batch = *database_.queryBundlesWithCountLimit(10, 100000, nullptr);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(*batch[0].bundle->protoBuffer(), *bundle->protoBuffer());
  EXPECT_EQ(nano_get_int32(batch[0].bundle.get(), kRetryCountIndex), 4);
  // A stored count of 0 leaves the field unset.
  EXPECT_FALSE(nano_has_field(batch[1].bundle.get(), kRetryCountIndex));

  EXPECT_EQ(database_.isQueuedBundleTableEmpty(nullptr), false);
  EXPECT_EQ(database_.containsRealtimeBundlesWithError(nullptr), true);
  EXPECT_EQ(database_.queryLatestBundleTime(nullptr), kNow - 5);
  bool savedLogged = false;
  for (const auto& line : monitor_->lines()) {
    if (line.messageCode != 12018) continue;
    savedLogged = true;
    ASSERT_EQ(line.contexts.size(), 1u);
    EXPECT_TRUE(line.contexts[0].isString());
  }
  EXPECT_TRUE(savedLogged);
  EXPECT_FALSE(logged(*monitor_, 12016));
}

TEST_F(APMDatabaseUploadQueueTest, InsertRefusesBundlesWithoutBytesAppIDOrEndTime) {
  auto empty = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto withoutAppID = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  nano_set_int64(withoutAppID.get(), kEndTimestampMillisIndex, 5000);
  auto withoutEnd = bundleEndingAt(0);
  struct Case {
    std::shared_ptr<APMPBMeasurementBundle> bundle;
    const char* message;
  };
  const Case cases[] = {{empty, "Failed to insert nil bundle"},
                        {withoutAppID, "Failed to insert bundle without App ID"},
                        {withoutEnd, "Failed to insert bundle without valid timestamp"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ErrorPtr error;
    EXPECT_FALSE(database_.insertBundle(*c.bundle, false, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
  EXPECT_EQ(database_.isQueuedBundleTableEmpty(nullptr), true);
}

TEST_F(APMDatabaseUploadQueueTest, BundleOutsideTheMaxQueueTimeIsStoredWithAWarning) {
  const double maxQueueTime = APMMeasurementRemoteConfig()->maxQueueTime();
  ASSERT_TRUE(database_.insertBundle(*bundleEndingAt(kNow - maxQueueTime - 60), false, nullptr));
  EXPECT_TRUE(logged(*monitor_, 12016));
  EXPECT_EQ(rowCount(), 1);
}

TEST_F(APMDatabaseUploadQueueTest, UnreadableRowsAreDeletedAndDoNotBlockTheQueue) {
  const std::int64_t notGzip = putRow(Data::fromString("not gzip at all"));
  const std::int64_t notABundle =
      putRow(*zul_dataByGzippingData(Data::fromString("\xff\xff\xff\xff\xff\xff")));
  const std::int64_t emptyData = putRow(Data());
  const std::int64_t good = putBundle(*bundleEndingAt(kNow));

  const auto batch = database_.queryBundlesWithCountLimit(10, 100000, nullptr);
  ASSERT_TRUE(batch);
  EXPECT_EQ(rowIDsOf(*batch), std::vector<std::int64_t>{good});
  std::vector<Value> deleted;
  for (const auto& line : monitor_->lines()) {
    if (line.messageCode == 12070) deleted.push_back(line.contexts.at(0));
  }
  EXPECT_EQ(deleted, (std::vector<Value>{notGzip, notABundle, emptyData}));
  EXPECT_EQ(rowCount(), 1);

  // Read by row id, the same.
  const std::int64_t bad = putRow(Data::fromString("junk"));
  const auto byID = database_.queryBundlesWithRowIDs({bad, good}, nullptr);
  ASSERT_TRUE(byID);
  EXPECT_EQ(rowIDsOf(*byID), std::vector<std::int64_t>{good});
  EXPECT_EQ(rowCount(), 1);
}

TEST(APMBundleRowFromRecordTest, ADamagedRowIsRefusedWithWhatWentWrong) {
  const Data bundleBytes = *bundleEndingAt(kNow)->protoBuffer();
  struct Case {
    const char* label;
    Dictionary record;
    std::int64_t code;
    // Empty: the inflater's own description, whatever its wording.
    std::string message;
  };
  const Case cases[] = {
      {"empty record", Dictionary{}, 3, "Cannot process empty rowData"},
      {"no data", Dictionary{{"rowid", 1}}, 3, "Cannot decompress an empty bundle data"},
      {"empty data", Dictionary{{"rowid", 1}, {"data", Data()}}, 3,
       "Cannot decompress an empty bundle data"},
      {"data of another kind", Dictionary{{"rowid", 1}, {"data", "text"}}, 3,
       "Cannot decompress an empty bundle data"},
      {"not gzip", Dictionary{{"rowid", 1}, {"data", Data::fromString("not gzip")}}, 2, ""},
      {"not a bundle",
       Dictionary{{"rowid", 1},
                  {"data", *zul_dataByGzippingData(Data::fromString("\xff\xff\xff\xff"))}},
       2, "Unable to parse bundle from decompressed data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ErrorPtr error;
    EXPECT_FALSE(APMBundleRowFromRecord(c.record, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    if (c.message.empty()) {
      EXPECT_FALSE(error->localizedDescription().empty());
    } else {
      EXPECT_EQ(error->localizedDescription(), c.message);
    }
  }

  // A sound bundle without its row id names no queued bundle.
  EXPECT_FALSE(APMBundleRowFromRecord(
      Dictionary{{"data", *zul_dataByGzippingData(bundleBytes)}, {"retry_count", 2}}, nullptr));
}

// The size a batch counts is the encoding of the bundle handed out, retry count included,
// whatever count the stored bytes carried.
TEST(APMBundleRowFromRecordTest, TheEncodedSizeIsThatOfTheBundleHandedOut) {
  const std::optional<std::int32_t> stored[] = {std::nullopt, 0, 3, 300, -1, 2147483647};
  const std::int64_t rows[] = {0, 1, 127, 128, 16384, 2147483647, 5000000000};
  for (const std::optional<std::int32_t>& inBytes : stored) {
    for (const std::int64_t inRow : rows) {
      SCOPED_TRACE(testing::Message() << "stored " << inBytes.value_or(-99) << ", row " << inRow);
      const auto bundle = bundleEndingAt(kNow);
      if (inBytes) nano_set_int32(bundle.get(), kRetryCountIndex, *inBytes);
      const auto row = APMBundleRowFromRecord(
          Dictionary{{"rowid", 1},
                     {"data", *zul_dataByGzippingData(*bundle->protoBuffer())},
                     {"retry_count", inRow}},
          nullptr);
      ASSERT_TRUE(row);
      EXPECT_EQ(row->encodedSize, static_cast<std::int64_t>(row->bundle->protoBuffer()->length()));
    }
  }
}

TEST_F(APMDatabaseUploadQueueTest, RetryCountersGrowForTheGivenRowsUpToTheLimit) {
  std::vector<std::int64_t> rowIDs;
  for (int i = 0; i < 10; ++i) rowIDs.push_back(putBundle(*bundleEndingAt(kNow)));
  const std::int64_t atLimit = putBundle(*bundleEndingAt(kNow), kAPMQueuedBundleRetryLimit);

  ErrorPtr error;
  ASSERT_TRUE(database_.incrementRetryCounterForBundlesWithIDs({rowIDs[4], rowIDs[8]}, &error));
  ASSERT_TRUE(database_.incrementRetryCounterForBundlesWithIDs({rowIDs[4], atLimit}, &error));
  for (std::size_t i = 0; i < rowIDs.size(); ++i) {
    EXPECT_EQ(retryCountOfRow(rowIDs[i]), i == 4 ? 2 : i == 8 ? 1 : 0) << i;
  }
  EXPECT_EQ(retryCountOfRow(atLimit), kAPMQueuedBundleRetryLimit);
  EXPECT_TRUE(logged(*monitor_, 12054));

  const auto read = *database_.queryBundlesWithRowIDs({rowIDs[4], atLimit}, nullptr);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(nano_get_int32(read[0].bundle.get(), kRetryCountIndex), 2);
  EXPECT_EQ(nano_get_int32(read[1].bundle.get(), kRetryCountIndex), kAPMQueuedBundleRetryLimit);

  EXPECT_FALSE(database_.incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Failed to increment retry counter");
}

TEST_F(APMDatabaseUploadQueueTest, RowIDConditionRefusesEmptyAndNonNumberIDs) {
  EXPECT_EQ(APMRowIDInCondition({Value(5), Value(9), Value(12)}, nullptr), "rowid IN (?,?,?)");
  struct Case {
    Array rowIDs;
    const char* message;
  };
  const Case cases[] = {{{}, "Received empty row IDs to process"},
                        {{Value(1), Value("2")}, "Received invalid type for row ID to process"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ErrorPtr error;
    EXPECT_FALSE(APMRowIDInCondition(c.rowIDs, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3);
    EXPECT_EQ(error->localizedDescription(), c.message);
    error.reset();
    EXPECT_FALSE(database_.deleteBundlesWithRowIDs(c.rowIDs, &error));
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
}

TEST_F(APMDatabaseUploadQueueTest, DeletesUploadedBundlesByRowID) {
  const std::int64_t first = putBundle(*bundleEndingAt(kNow));
  const std::int64_t second = putBundle(*bundleEndingAt(kNow));
  const std::int64_t third = putBundle(*bundleEndingAt(kNow));
  ASSERT_TRUE(database_.deleteBundlesWithRowIDs({first, third}, nullptr));
  EXPECT_EQ(rowIDsOf(*database_.queryBundlesWithCountLimit(10, 100000, nullptr)),
            std::vector<std::int64_t>{second});
}

TEST_F(APMDatabaseUploadQueueTest, EmptyQueueAnswersWithoutErrors) {
  ErrorPtr error;
  EXPECT_EQ(database_.isQueuedBundleTableEmpty(&error), true);
  EXPECT_EQ(database_.containsRealtimeBundlesWithError(&error), false);
  EXPECT_EQ(database_.queryLatestBundleTime(&error), std::nullopt);
  const auto batch = database_.queryBundlesWithCountLimit(10, 1000, &error);
  ASSERT_TRUE(batch);
  EXPECT_TRUE(batch->empty());
  EXPECT_FALSE(error);
}

TEST_F(APMDatabaseUploadQueueTest, StaleBundlesAreThoseFurtherFromNowThanTheAge) {
  putRow(*zul_dataByGzippingData(*bundleEndingAt(kNow - 200)->protoBuffer()), 0, kNow - 200);
  const std::int64_t recent =
      putRow(*zul_dataByGzippingData(*bundleEndingAt(kNow - 50)->protoBuffer()), 0, kNow - 50);
  putRow(*zul_dataByGzippingData(*bundleEndingAt(kNow + 200)->protoBuffer()), 0, kNow + 200);

  ErrorPtr error;
  EXPECT_FALSE(database_.deleteStaleBundlesOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(),
            "Cannot delete stale bundles after negative time period");
  EXPECT_EQ(rowCount(), 3);

  ASSERT_TRUE(database_.deleteStaleBundlesOlderThanMaxAge(100, nullptr));
  EXPECT_EQ(rowIDsOf(*database_.queryBundlesWithCountLimit(10, 100000, nullptr)),
            std::vector<std::int64_t>{recent});
}

TEST_F(APMDatabaseUploadQueueTest, SweepRunsOncePerIntervalAndAFailedOneBlocksInsertion) {
  const auto remoteConfig = APMMeasurementRemoteConfig();
  const double interval = remoteConfig->databaseDeleteStaleBundlesInterval();
  const double maxQueueTime = remoteConfig->maxQueueTime();

  EXPECT_EQ(database_.maybeDeleteStaleData(nullptr), false);
  EXPECT_TRUE(database_.rawEventSweeps.empty());

  clock_.advance(interval + 1);
  putRow(*zul_dataByGzippingData(*bundleEndingAt(kNow)->protoBuffer()), 0,
         kNow - maxQueueTime - 10);
  // A failed sweep stops the insertion and keeps the last sweep time.
  database_.failRawEventSweep = true;
  ErrorPtr error;
  EXPECT_FALSE(database_.insertBundle(*bundleEndingAt(kNow), false, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "raw events sweep failed");
  EXPECT_EQ(config_->lastDeleteStaleBundlesTimestamp(), kNow);
  EXPECT_EQ(rowCount(), 1);

  database_.failRawEventSweep = false;
  ASSERT_TRUE(database_.insertBundle(*bundleEndingAt(kNow), false, &error));
  EXPECT_EQ(database_.rawEventSweeps, (std::vector<double>{maxQueueTime, maxQueueTime}));
  EXPECT_EQ(config_->lastDeleteStaleBundlesTimestamp(), kNow + interval + 1);
  // The stale row went, the new one is in.
  EXPECT_EQ(rowCount(), 1);
  EXPECT_EQ(database_.queryLatestBundleTime(nullptr), kNow);

  EXPECT_EQ(database_.maybeDeleteStaleData(nullptr), false);
  EXPECT_EQ(database_.rawEventSweeps.size(), 2u);
}

}  // namespace
