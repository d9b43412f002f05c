// The one metadata row: bundle sequence, daily counts on the device's day, and the stored
// measurement configuration with its time.

#include "analytics/data/APMDatabaseAppMetadata.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMPersistedConfig.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

constexpr const char* kMidnightOffsetKey = "/rerora/measurement/midnight_offset";
constexpr std::int32_t kAppIDIndex = 1;
constexpr std::int32_t kVersionIndex = 0;

class TestDatabase final : public APMDatabaseAppMetadata {
 public:
  bool open(const std::string& path, std::shared_ptr<APMPersistedConfig> config) {
    if (!initializeDatabaseResourcesWithContext("Init", path, nullptr)) return false;
    setPersistedConfig(std::move(config));
    return true;
  }
};

class APMDatabaseAppMetadataTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    config_ = APMPersistedConfig::initWithSuiteName("app-metadata-test");
    ASSERT_TRUE(config_);
    config_->setDouble(3600, kMidnightOffsetKey);
    ASSERT_TRUE(database_.open((home_.path() / "measurement.sql").string(), config_));
  }

  static std::shared_ptr<APMPBMeasurementConfig> configWithAppID(const std::string& appID,
                                                                 std::int64_t version) {
    auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
    if (!appID.empty()) nano_set_string_field(config.get(), kAppIDIndex, appID);
    nano_set_int64(config.get(), kVersionIndex, version);
    return config;
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(86400 + 3599)};
  std::shared_ptr<APMPersistedConfig> config_;
  TestDatabase database_;
};

TEST_F(APMDatabaseAppMetadataTest, AFreshRowReadsAsZeroesTodayAndNoConfiguration) {
  ErrorPtr error;
  auto metadata = database_.queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 0);

  // 86400 + 3599 s with a midnight offset of 3600 s is still day 0; one second later, day 1.
  auto counts = database_.dailyCounts(&error);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->day(), 0);
  EXPECT_EQ(counts->allEventsCount() + counts->conversionsCount() + counts->publicEventsCount() +
                counts->errorEventsCount() + counts->realtimeCount() + counts->dcuRealtimeCount(),
            0);
  clock_.clock().setNow(platform::Date::fromTimeIntervalSince1970(86400 + 3600));
  EXPECT_EQ(database_.dailyCounts(&error)->day(), 1);

  EXPECT_FALSE(database_.queryMeasurementConfigWithError(&error));
  EXPECT_FALSE(database_.lastRemoteConfigUpdateTimestamp(&error));
  EXPECT_FALSE(error);
}

TEST_F(APMDatabaseAppMetadataTest, BundleSequenceAndDailyCountsAreWrittenAndReadBack) {
  auto metadata = APMAppMetadata::initWithLastBundleIndex(12, 100.25, 200.5);
  ErrorPtr error;
  ASSERT_TRUE(database_.updateAppMetadata(metadata.get(), &error));
  auto read = database_.queryAppMetadata(&error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lastBundleIndex(), 12);
  EXPECT_EQ(read->lastBundleStartTimestamp(), 100.25);
  EXPECT_EQ(read->lastBundleEndTimestamp(), 200.5);

  // A stored day is kept even when today is later.
  auto counts = APMDailyCounts::initWithDay(19000, 1, 2, 3, 4, 5, 6);
  ASSERT_TRUE(database_.updateDailyCounts(counts.get(), &error));
  auto readCounts = database_.dailyCounts(&error);
  ASSERT_TRUE(readCounts);
  EXPECT_EQ(readCounts->day(), 19000);
  EXPECT_EQ(readCounts->conversionsCount(), 1);
  EXPECT_EQ(readCounts->allEventsCount(), 2);
  EXPECT_EQ(readCounts->publicEventsCount(), 3);
  EXPECT_EQ(readCounts->errorEventsCount(), 4);
  EXPECT_EQ(readCounts->realtimeCount(), 5);
  EXPECT_EQ(readCounts->dcuRealtimeCount(), 6);
  // The two groups do not touch each other.
  EXPECT_EQ(database_.queryAppMetadata(&error)->lastBundleIndex(), 12);

  EXPECT_FALSE(database_.updateAppMetadata(nullptr, &error));
  EXPECT_EQ(error->code(), 3);
  EXPECT_FALSE(database_.updateDailyCounts(nullptr, &error));
  EXPECT_EQ(error->code(), 3);
}

TEST_F(APMDatabaseAppMetadataTest, WithoutTheRowReadsGiveNothingAndUpdatesFail) {
  ASSERT_TRUE(database_.sqliteStore()->deleteAllRecordsFromTableWithName("app_metadata", nullptr));
  ErrorPtr error;
  EXPECT_FALSE(database_.queryAppMetadata(&error));
  EXPECT_FALSE(error);
  auto metadata = APMAppMetadata::initWithLastBundleIndex(1, 0, 0);
  EXPECT_FALSE(database_.updateAppMetadata(metadata.get(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to update record. Item doesn't exist");
  EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName("app_metadata", nullptr), 0);
}

TEST_F(APMDatabaseAppMetadataTest, StoresTheConfigurationWithItsTimeAndRefusesOneWithoutAppID) {
  ErrorPtr error;
  ASSERT_TRUE(database_.updateRemoteConfig(configWithAppID("1:123:ios:abc", 7).get(), &error));
  auto stored = database_.queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(stored);
  EXPECT_EQ(nano_get_string(stored.get(), kAppIDIndex), "1:123:ios:abc");
  EXPECT_EQ(nano_get_int64(stored.get(), kVersionIndex), 7);
  auto time = database_.lastRemoteConfigUpdateTimestamp(&error);
  ASSERT_TRUE(time);
  EXPECT_EQ(time->doubleValue(), 86400 + 3599);

  // Refused: the stored one stays.
  EXPECT_FALSE(database_.updateRemoteConfig(configWithAppID("", 8).get(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Missing Rerora app ID in measurement configuration");
  EXPECT_FALSE(database_.updateRemoteConfig(nullptr, &error));
  EXPECT_EQ(error->localizedDescription(), "Invalid measurement config data");
  EXPECT_EQ(nano_get_int64(database_.queryMeasurementConfigWithError(&error).get(), kVersionIndex),
            7);

  // Setting only the time leaves the bytes as they were.
  const auto before = database_.sqliteStore()->recordsForQuery(
      "SELECT remote_config_data FROM app_metadata", {}, nullptr);
  ASSERT_TRUE(database_.updateRemoteConfigSuccessfulTimestamp(5000.5, &error));
  const auto after = database_.sqliteStore()->recordsForQuery(
      "SELECT remote_config_data FROM app_metadata", {}, nullptr);
  ASSERT_TRUE(before && after);
  EXPECT_EQ((*before)[0]["remote_config_data"], (*after)[0]["remote_config_data"]);
  EXPECT_EQ(database_.lastRemoteConfigUpdateTimestamp(&error)->doubleValue(), 5000.5);
}

TEST_F(APMDatabaseAppMetadataTest, ACorruptStoredConfigurationIsReportedAndKept) {
  const std::uint8_t garbage[] = {0x0a, 0xff, 0xff, 0xff, 0xff, 0x0f};
  ASSERT_TRUE(
      database_.updateDataType(Dictionary{{"remote_config_data", Data(garbage, sizeof garbage)}},
                               "app_metadata", "rowid", Value("1"), nullptr));
  ErrorPtr error;
  EXPECT_FALSE(database_.queryMeasurementConfigWithError(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Remote config data is corrupted");
  EXPECT_EQ(database_.sqliteStore()->rowCountForTableWithName("app_metadata", nullptr), 1);

  // An empty blob counts as none stored.
  ASSERT_TRUE(database_.updateDataType(Dictionary{{"remote_config_data", Data()}}, "app_metadata",
                                       "rowid", Value("1"), nullptr));
  error = nullptr;
  EXPECT_FALSE(database_.queryMeasurementConfigWithError(&error));
  EXPECT_FALSE(error);
}

}  // namespace
