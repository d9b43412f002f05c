#include "foundation/ZULHeartbeatDateStorage.h"

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZULHeartbeatDateStorageUserDefaults.h"
#include "foundation/ZULSecureCoding.h"
#include "platform/data.h"
#include "platform/files.h"
#include "platform/user_defaults.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Date;
using platform::Dictionary;
using platform::Value;

const Date kMonday = Date::fromTimeIntervalSince1970(1700000000);
const Date kTuesday = Date::fromTimeIntervalSince1970(1700086400.5);

// Several threads each setting their own tags through their own store; a set that is not one
// locked read-modify-write loses some of the others' tags.
void setTagsFromThreads(const std::vector<std::shared_ptr<ZULHeartbeatDateStorable>>& stores,
                        int tagsPerThread) {
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < stores.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < tagsPerThread; ++i) {
        stores[t]->setHearbeatDate(kMonday.addingTimeInterval(i),
                                   "tag-" + std::to_string(t) + "-" + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

class ZULHeartbeatDateStorageTest : public testing_support::TemporaryHomeTest {
 protected:
  std::filesystem::path directory() const {
    return platform::applicationSupportDirectory() / "Rerora" / "VEVEza";
  }
};

TEST_F(ZULHeartbeatDateStorageTest, NeedsAFileNameAndTouchesTheDiskOnlyOnFirstUse) {
  EXPECT_EQ(ZULHeartbeatDateStorage::initWithFileName(std::nullopt), nullptr);

  auto storage = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->fileName(), "heartbeats");
  EXPECT_FALSE(std::filesystem::exists(directory()));

  EXPECT_EQ(storage->fileURL(), directory() / "heartbeats");
  EXPECT_TRUE(std::filesystem::is_directory(directory()));
  EXPECT_FALSE(std::filesystem::exists(storage->fileURL()));
}

TEST_F(ZULHeartbeatDateStorageTest, DatesRoundTripThroughTheFileAndAreSharedByName) {
  auto first = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  auto second = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  auto other = ZULHeartbeatDateStorage::initWithFileName("other");

  EXPECT_EQ(first->heartbeatDateForTag("daily"), std::nullopt);
  ASSERT_TRUE(first->setHearbeatDate(kMonday, "daily"));
  ASSERT_TRUE(second->setHearbeatDate(kTuesday, "weekly"));

  EXPECT_EQ(first->heartbeatDateForTag("weekly"), Value(kTuesday));
  EXPECT_EQ(second->heartbeatDateForTag("daily"), Value(kMonday));
  EXPECT_EQ(other->heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_EQ(ZULHeartbeatDateStorage::heartbeatDictionaryWithFileURL(first->fileURL()),
            (Dictionary{{"daily", kMonday}, {"weekly", kTuesday}}));

  ASSERT_TRUE(first->setHearbeatDate(kTuesday, "daily"));
  EXPECT_EQ(second->heartbeatDateForTag("daily"), Value(kTuesday));
}

TEST_F(ZULHeartbeatDateStorageTest, AValueOfAnotherKindReadsAsNone) {
  auto storage = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  ASSERT_TRUE(ZULHeartbeatDateStorage::writeDictionary(
      Dictionary{{"daily", "yesterday"}, {"weekly", kMonday}}, storage->fileURL()));
  EXPECT_EQ(storage->heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_EQ(storage->heartbeatDateForTag("weekly"), Value(kMonday));
}

TEST_F(ZULHeartbeatDateStorageTest, AnUnusableFileReadsEmptyAndIsRewrittenWithTheNewTagOnly) {
  struct Case {
    const char* name;
    platform::Data contents;
  } cases[] = {
      {"empty file", platform::Data()},
      {"not an archive", platform::Data::fromString("not an archive")},
      {"archive whose root is not a dictionary",
       *ZULSecureCoding::archivedDataWithRootObject(Value("yesterday"))},
      {"archive holding a class outside the allowed set",
       *ZULSecureCoding::archivedDataWithRootObject(Value(Dictionary{{"x", 1}}))},
  };
  auto storage = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(platform::writeFileAtomically(storage->fileURL(), c.contents));
    EXPECT_EQ(storage->heartbeatDateForTag("x"), std::nullopt);
    ASSERT_TRUE(storage->setHearbeatDate(kMonday, "daily"));
    EXPECT_EQ(ZULHeartbeatDateStorage::heartbeatDictionaryWithFileURL(storage->fileURL()),
              (Dictionary{{"daily", kMonday}}));
  }
}

TEST_F(ZULHeartbeatDateStorageTest, AFailedWriteAnswersNo) {
  auto storage = ZULHeartbeatDateStorage::initWithFileName("heartbeats");
  // A folder where the file belongs cannot be replaced by the atomic write.
  std::filesystem::create_directories(storage->fileURL());
  EXPECT_FALSE(storage->setHearbeatDate(kMonday, "daily"));

  platform::ErrorPtr error;
  EXPECT_FALSE(ZULHeartbeatDateStorage::writeDictionary(Dictionary{{"daily", kMonday}},
                                                        storage->fileURL(), &error));
  EXPECT_TRUE(error);
}

TEST_F(ZULHeartbeatDateStorageTest, ConcurrentSetsThroughSeveralInstancesLoseNothing) {
  std::vector<std::shared_ptr<ZULHeartbeatDateStorable>> stores;
  for (int i = 0; i < 4; ++i) stores.push_back(ZULHeartbeatDateStorage::initWithFileName("hb"));
  setTagsFromThreads(stores, 8);
  EXPECT_EQ(ZULHeartbeatDateStorage::heartbeatDictionaryWithFileURL(
                ZULHeartbeatDateStorage::directoryPathURL() / "hb")
                .size(),
            32u);
}

class ZULHeartbeatDateStorageUserDefaultsTest : public testing_support::TemporaryHomeTest {
 protected:
  // The suite keeps its first file for the whole process, so each case starts from no keys.
  void SetUp() override {
    defaults_->removeObjectForKey("heartbeat-dates");
    defaults_->removeObjectForKey("other-dates");
  }

  std::shared_ptr<platform::UserDefaults> defaults_ =
      platform::UserDefaults::suite("com.example.heartbeat-dates-test");
};

TEST_F(ZULHeartbeatDateStorageUserDefaultsTest, DatesAreKeptAsOneDictionaryUnderTheKey) {
  ZULHeartbeatDateStorageUserDefaults storage(defaults_, "heartbeat-dates");
  EXPECT_EQ(storage.userDefaults(), defaults_);
  EXPECT_EQ(storage.key(), "heartbeat-dates");
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);

  EXPECT_TRUE(storage.setHearbeatDate(kMonday, "daily"));
  EXPECT_TRUE(storage.setHearbeatDate(kTuesday, "weekly"));
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), Value(kMonday));
  EXPECT_EQ(defaults_->objectForKey("heartbeat-dates"),
            Value(Dictionary{{"daily", kMonday}, {"weekly", kTuesday}}));

  ZULHeartbeatDateStorageUserDefaults otherKey(defaults_, "other-dates");
  EXPECT_EQ(otherKey.heartbeatDateForTag("daily"), std::nullopt);
}

TEST_F(ZULHeartbeatDateStorageUserDefaultsTest, AnswersWhateverIsStoredForTheTag) {
  defaults_->setObject("heartbeat-dates", Value(Dictionary{{"daily", "yesterday"}}));
  ZULHeartbeatDateStorageUserDefaults storage(defaults_, "heartbeat-dates");
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), Value("yesterday"));
}

TEST_F(ZULHeartbeatDateStorageUserDefaultsTest, SomethingOtherThanADictionaryIsReplaced) {
  defaults_->setObject("heartbeat-dates", Value("not a dictionary"));
  ZULHeartbeatDateStorageUserDefaults storage(defaults_, "heartbeat-dates");
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_TRUE(storage.setHearbeatDate(kMonday, "daily"));
  EXPECT_EQ(defaults_->objectForKey("heartbeat-dates"), Value(Dictionary{{"daily", kMonday}}));
}

TEST_F(ZULHeartbeatDateStorageUserDefaultsTest, ConcurrentSetsOnOneDefaultsObjectLoseNothing) {
  std::vector<std::shared_ptr<ZULHeartbeatDateStorable>> stores;
  for (int i = 0; i < 4; ++i) {
    stores.push_back(
        std::make_shared<ZULHeartbeatDateStorageUserDefaults>(defaults_, "heartbeat-dates"));
  }
  setTagsFromThreads(stores, 8);
  EXPECT_EQ(defaults_->objectForKey("heartbeat-dates")->count(), 32u);
}

}  // namespace
