#include "analytics/data/APMPersistedConfig.h"

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/tests/memory_config_store.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"
#include "tests/support/child_process.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Value;
namespace fs = std::filesystem;

// A store in memory that counts its synchronizes.
class CountingStore : public MemoryConfigStore {
 public:
  void synchronize() override { ++synchronizes; }

  std::atomic<int> synchronizes{0};
};

std::uint64_t inodeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_ino;
}

class APMPersistedConfigTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    store_ = std::make_shared<CountingStore>();
    config_ = std::make_shared<APMPersistedConfig>("test", store_);
  }
  void settle() {
    config_->serialQueue()->sync([] {});
  }

  testing_support::ManualClockScope clock_;
  std::shared_ptr<CountingStore> store_;
  std::shared_ptr<APMPersistedConfig> config_;
};

TEST_F(APMPersistedConfigTest, CreationNeedsANameAndTakesOverALegacySuiteFile) {
  EXPECT_EQ(APMPersistedConfig::initWithSuiteName(std::nullopt), nullptr);
  EXPECT_EQ(APMPersistedConfig::initWithSuiteName(""), nullptr);

  const fs::path legacy = APMPreferencesPlistPath("legacy");
  fs::create_directories(legacy.parent_path());
  ASSERT_TRUE(platform::plist::writeFile(
      Value(platform::Dictionary{{"/rerora/measurement/app_instance_id", Value("ABC")}}),
      legacy.string(), platform::plist::Format::XML));
  const auto config = APMPersistedConfig::initWithSuiteName("legacy");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name(), "legacy");
  EXPECT_EQ(config->appInstanceID(), "ABC");
  EXPECT_FALSE(fs::exists(legacy));

  const auto shared = APMPersistedConfig::sharedInstance();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, APMPersistedConfig::sharedInstance());
  EXPECT_EQ(shared->name(), "com.rerora.viz.measurement");
  EXPECT_EQ(std::dynamic_pointer_cast<APMPersistentDictionary>(shared->userDefaults())->filePath(),
            APMApplicationSupportPlistPath("com.rerora.viz.measurement"));
}

// Runs in the parent's temporary home and exits well before the delayed write is due.
TEST(APMPersistedConfigExitChild, DISABLED_ChangesTheSharedInstanceAndExits) {
  APMPersistedConfig::sharedInstance()->setString("written at exit", "/test/last_change");
}

TEST_F(APMPersistedConfigTest, TheSharedInstancesLastChangeIsWrittenAtExit) {
  const auto result = testing_support::runTestInChildProcess(
      "APMPersistedConfigExitChild.DISABLED_ChangesTheSharedInstanceAndExits");
  ASSERT_TRUE(result.passed()) << result.output;
  const auto stored = platform::plist::readFile(
      APMApplicationSupportPlistPath("com.rerora.viz.measurement"));
  ASSERT_TRUE(stored && stored->asDictionary());
  const Value* change = stored->asDictionary()->find("/test/last_change");
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(*change, Value("written at exit"));
}

TEST_F(APMPersistedConfigTest, ValuesRoundTripAndAbsentOnesReadEmpty) {
  EXPECT_EQ(config_->lastBackoffTimestamp(), 0.0);
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_FALSE(config_->appInstanceID());
  EXPECT_FALSE(config_->defaultEventParameters());
  EXPECT_FALSE(config_->unmatchedFirstOpenWithoutIDFA());
  EXPECT_FALSE(config_->previousFirstOpenCount());

  config_->setLastBackoffTimestamp(1700000000.25);
  config_->setSessionNumber(INT64_MAX);
  config_->setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
  config_->setOSVersion("12.1");
  config_->setDefaultEventParameters(platform::Dictionary{{"currency", Value("EUR")}});
  config_->setUnmatchedFirstOpenWithoutIDFA(true);
  config_->setPreviousFirstOpenCount(Value("odd"));
  config_->setConfigServerLastModifiedString("Tue, 01 Dec 2026 10:00:00 GMT");

  EXPECT_EQ(config_->lastBackoffTimestamp(), 1700000000.25);
  EXPECT_EQ(config_->sessionNumber(), INT64_MAX);
  EXPECT_EQ(config_->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(config_->osVersion(), "12.1");
  EXPECT_EQ(config_->defaultEventParameters(), (platform::Dictionary{{"currency", Value("EUR")}}));
  EXPECT_TRUE(config_->unmatchedFirstOpenWithoutIDFA());
  // Flags are kept as the numbers 0 and 1, not as Booleans.
  EXPECT_EQ(store_->objectForKey("/rerora/measurement/unmatched_first_open")->type(),
            Value::Type::Int);
  // Read back as stored, whatever the kind.
  EXPECT_EQ(config_->previousFirstOpenCount(), Value("odd"));
  EXPECT_EQ(config_->configServerLastModifiedString(), Value("Tue, 01 Dec 2026 10:00:00 GMT"));

  config_->setAppInstanceID(std::nullopt);
  EXPECT_FALSE(config_->appInstanceID());
}

TEST_F(APMPersistedConfigTest, WrongKindsReadAsAbsent) {
  store_->setObject(Value("12"), "/rerora/measurement/session_number");
  store_->setObject(Value(12), "/rerora/measurement/app_version");
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_EQ(config_->int64ForKey("/rerora/measurement/session_number"), 0);
  EXPECT_FALSE(config_->appVersion());
  EXPECT_EQ(config_->int64ForKey(""), 0);
  EXPECT_FALSE(config_->stringForKey(""));

  config_->setSearchAdCampaignValue(Value("yes"));
  EXPECT_FALSE(config_->searchAdCampaignValue());
  config_->setSearchAdCampaignValue(Value(1));
  EXPECT_EQ(config_->searchAdCampaignValue(), Value(1));
  config_->setSearchAdCampaignValue(Value("no"));
  EXPECT_EQ(config_->searchAdCampaignValue(), Value(1));
}

TEST_F(APMPersistedConfigTest, MidnightOffsetIsDrawnOnceUntilCleared) {
  const double offset = config_->midnightOffset();
  EXPECT_GE(offset, 0.0);
  EXPECT_LT(offset, 86400.0);
  const double milliseconds = offset * 1000;
  EXPECT_NEAR(milliseconds, std::round(milliseconds), 1e-6);
  EXPECT_EQ(config_->midnightOffset(), offset);
  EXPECT_EQ(store_->doubleForKey("/rerora/measurement/midnight_offset"), offset);

  config_->setSessionNumber(3);
  config_->setLoadTimestampValue(Value(1.5));
  config_->clearValues();
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_FALSE(config_->loadTimestampValue());
  EXPECT_FALSE(store_->objectForKey("/rerora/measurement/midnight_offset"));
  const double drawn = config_->midnightOffset();
  EXPECT_EQ(store_->doubleForKey("/rerora/measurement/midnight_offset"), drawn);
}

TEST_F(APMPersistedConfigTest, WritesScheduleOneSynchronizeASecondAfterTheLast) {
  config_->setSessionNumber(1);
  clock_.advance(0.5);
  config_->setSessionNumber(2);  // calls off the first
  clock_.advance(0.9);
  settle();
  EXPECT_EQ(store_->synchronizes, 0);
  clock_.advance(0.1);
  settle();
  EXPECT_EQ(store_->synchronizes, 1);

  // These change the store without a synchronize of their own.
  config_->setLoadTimestampValue(Value(1.0));
  config_->setAllowPersonalizedAds(Value(true));
  config_->setDeferredDeepLinkRetrievalComplete(Value(true));
  config_->setSearchAdCampaignValue(Value(1));
  config_->clearValues();
  clock_.advance(5);
  settle();
  EXPECT_EQ(store_->synchronizes, 1);

  // On the main thread a synchronize only puts itself off; elsewhere it runs.
  config_->synchronizeToDisk();
  EXPECT_EQ(store_->synchronizes, 1);
  clock_.advance(1);
  settle();
  EXPECT_EQ(store_->synchronizes, 2);
  std::thread([&] { config_->synchronizeToDisk(); }).join();
  EXPECT_EQ(store_->synchronizes, 3);

  // Going away calls off what is pending.
  config_->setSessionNumber(3);
  const auto queue = config_->serialQueue();
  config_.reset();
  clock_.advance(2);
  queue->sync([] {});
  EXPECT_EQ(store_->synchronizes, 3);
}

TEST_F(APMPersistedConfigTest, TenWritesWithinHalfASecondMakeOneFileWrite) {
  const auto config = APMPersistedConfig::initWithSuiteName("burst");
  ASSERT_TRUE(config);
  const auto dictionary =
      std::dynamic_pointer_cast<APMPersistentDictionary>(config->userDefaults());
  ASSERT_TRUE(dictionary);
  const std::string path = dictionary->filePath();
  const auto settleFile = [&] { dictionary->serialQueue()->sync([] {}); };

  for (int i = 0; i < 10; ++i) {
    config->setSessionNumber(i + 1);
    clock_.advance(0.05);
  }
  clock_.advance(0.49);
  settleFile();
  EXPECT_FALSE(fs::exists(path));
  clock_.advance(0.01);
  settleFile();
  ASSERT_TRUE(fs::exists(path));
  const std::uint64_t written = inodeOf(path);
  clock_.advance(10);
  config->serialQueue()->sync([] {});
  settleFile();
  EXPECT_EQ(inodeOf(path), written);
  const auto onDisk = platform::plist::readDictionaryFile(path);
  ASSERT_TRUE(onDisk);
  EXPECT_EQ((*onDisk)["/rerora/measurement/session_number"], Value(10));
}

TEST_F(APMPersistedConfigTest, MeasurementEnabledStateLivesInTheAppsPreferences) {
  EXPECT_EQ(config_->measurementEnabledState(), 0);
  config_->setMeasurementEnabledState(2);
  EXPECT_EQ(config_->measurementEnabledState(), 2);
  EXPECT_FALSE(store_->objectForKey("/rerora/measurement/measurement_enabled_state"));
  EXPECT_EQ(platform::UserDefaults::standard()->integerForKey(
                "/rerora/measurement/measurement_enabled_state"),
            2);
}

}  // namespace
