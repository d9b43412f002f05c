#include "foundation/ZULKeychainStorage.h"

#include <gtest/gtest.h>

#include "platform/keychain.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

using platform::Data;
using platform::Dictionary;
using platform::Value;

namespace {

class StoredRecord : public platform::SecureCodingObject {
 public:
  std::string token;
  std::string archiveClassName() const override { return "ZULTestKeychainRecord"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("token", Value(token));
  }
};

// A record whose class was never registered, so it cannot be archived.
class UnregisteredRecord : public platform::SecureCodingObject {
 public:
  std::string archiveClassName() const override { return "ZULTestUnregisteredRecord"; }
  void encodeWithCoder(platform::KeyedArchiver&) const override {}
};

class ZULKeychainStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::registerSecureCodingClass(
        "ZULTestKeychainRecord", [](platform::KeyedUnarchiver& coder) -> platform::SecureCodingPtr {
          auto record = std::make_shared<StoredRecord>();
          record->token = coder.decodeString("token").value_or("");
          return record;
        });
  }

  // Waits for the promise and returns it settled.
  static ZBLPromisePtr settled(ZBLPromisePtr promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }
  static ZBLObject valueOf(ZBLPromisePtr promise) {
    promise = settled(promise);
    EXPECT_TRUE(promise->isFulfilled()) << promise->description();
    return promise->value();
  }
  // The item's data as the store holds it, bypassing storage and cache.
  static std::optional<Value> storedItem(const Dictionary& query) {
    Dictionary search = query;
    search.set(platform::kSecReturnAttributes, true);
    search.set(platform::kSecReturnData, true);
    std::optional<Value> result;
    return platform::SecItemCopyMatching(search, &result) == platform::errSecSuccess ? result
                                                                                     : std::nullopt;
  }

  testing_support::TemporaryHome home_;
  ZULKeychainStorage storage_{"com.example.service"};
};

TEST_F(ZULKeychainStorageTest, MissingKeyIsNilAndRemovingItSucceeds) {
  EXPECT_TRUE(valueOf(storage_.getObjectForKey("absent", platform::kStringClassName, {})).isNil());
  EXPECT_EQ(valueOf(storage_.removeObjectForKey("absent", {})), ZBLObject::null());
}

TEST_F(ZULKeychainStorageTest, RecordRoundTripsThroughTheKeychain) {
  auto record = std::make_shared<StoredRecord>();
  record->token = "secret";
  EXPECT_EQ(valueOf(storage_.setObject(platform::SecureCodingPtr(record), "token", {})),
            ZBLObject::null());
  storage_.resetInMemoryCache();
  auto read = valueOf(storage_.getObjectForKey("token", "ZULTestKeychainRecord", {}))
                  .as<platform::SecureCodingObject>();
  ASSERT_TRUE(std::dynamic_pointer_cast<StoredRecord>(read));
  EXPECT_EQ(std::dynamic_pointer_cast<StoredRecord>(read)->token, "secret");

  // Another expected class refuses the stored one.
  storage_.resetInMemoryCache();
  EXPECT_TRUE(
      settled(storage_.getObjectForKey("token", platform::kStringClassName, {}))->isRejected());

  EXPECT_EQ(valueOf(storage_.removeObjectForKey("token", {})), ZBLObject::null());
  EXPECT_FALSE(storedItem(storage_.keychainQueryWithKey("token", {})));
  EXPECT_TRUE(valueOf(storage_.getObjectForKey("token", "ZULTestKeychainRecord", {})).isNil());
}

TEST_F(ZULKeychainStorageTest, CacheAnswersBeforeTheKeychain) {
  valueOf(storage_.setObject(Value("cached"), "key", {}));
  // Take the item away behind the storage's back: the cache still answers.
  ASSERT_EQ(platform::SecItemDelete(storage_.keychainQueryWithKey("key", {})),
            platform::errSecSuccess);
  EXPECT_EQ(valueOf(storage_.getObjectForKey("key", platform::kStringClassName, {})),
            ZBLObject("cached"));
  storage_.resetInMemoryCache();
  EXPECT_TRUE(valueOf(storage_.getObjectForKey("key", platform::kStringClassName, {})).isNil());
}

TEST_F(ZULKeychainStorageTest, UpdateChangesDataAndKeepsAttributes) {
  valueOf(storage_.setObject(Value("first"), "key", {}));
  const Dictionary query = storage_.keychainQueryWithKey("key", {});
  ASSERT_EQ(platform::SecItemUpdate(
                query, {{platform::kSecAttrAccessible, platform::kSecAttrAccessibleWhenUnlocked}}),
            platform::errSecSuccess);
  valueOf(storage_.setObject(Value("second"), "key", {}));
  auto item = storedItem(query);
  ASSERT_TRUE(item);
  EXPECT_EQ((*item)[platform::kSecAttrAccessible], Value(platform::kSecAttrAccessibleWhenUnlocked));
  storage_.resetInMemoryCache();
  EXPECT_EQ(valueOf(storage_.getObjectForKey("key", platform::kStringClassName, {})),
            ZBLObject("second"));
}

TEST_F(ZULKeychainStorageTest, NewItemsAreScopedAndAccessibleAfterFirstUnlockOnly) {
  ZULKeychainStorage other("com.example.other");
  valueOf(storage_.setObject(Value("g1"), "key", std::string("group1")));
  valueOf(storage_.setObject(Value("g2"), "key", std::string("group2")));
  valueOf(other.setObject(Value("other service"), "key", std::string("group1")));
  storage_.resetInMemoryCache();
  EXPECT_EQ(
      valueOf(storage_.getObjectForKey("key", platform::kStringClassName, std::string("group1"))),
      ZBLObject("g1"));
  storage_.resetInMemoryCache();
  EXPECT_EQ(
      valueOf(storage_.getObjectForKey("key", platform::kStringClassName, std::string("group2"))),
      ZBLObject("g2"));
  valueOf(storage_.removeObjectForKey("key", std::string("group1")));
  EXPECT_FALSE(storedItem(storage_.keychainQueryWithKey("key", std::string("group1"))));
  EXPECT_TRUE(storedItem(storage_.keychainQueryWithKey("key", std::string("group2"))));
  auto item = storedItem(other.keychainQueryWithKey("key", std::string("group1")));
  ASSERT_TRUE(item);
  EXPECT_EQ((*item)[platform::kSecAttrAccessible],
            Value(platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
}

TEST_F(ZULKeychainStorageTest, UnarchivableObjectRejectsButStaysCached) {
  auto promise = settled(storage_.setObject(
      platform::SecureCodingPtr(std::make_shared<UnregisteredRecord>()), "key", {}));
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->code(), platform::kCoderInvalidValueError);
  EXPECT_TRUE(valueOf(storage_.getObjectForKey("key", platform::kStringClassName, {}))
                  .is<platform::SecureCodingObject>());
  EXPECT_FALSE(storedItem(storage_.keychainQueryWithKey("key", {})));
}

TEST(ZULKeychainCacheTest, HoldsAtMostItsCountLimit) {
  ZULKeychainCache cache(5);
  for (int i = 0; i < 6; ++i) cache.setObject(Value(i), "key" + std::to_string(i));
  EXPECT_FALSE(cache.objectForKey("key0"));
  for (int i = 1; i < 6; ++i) EXPECT_TRUE(cache.objectForKey("key" + std::to_string(i))) << i;
}

TEST(ZULKeychainUtilsTest, ErrorsNameTheCallAndStatus) {
  auto error = ZULKeychainUtils::keychainErrorWithFunction("SecItemAdd", -25299);
  EXPECT_EQ(error->domain(), "com.zul.keychain.ErrorDomain");
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->userInfo(),
            (Dictionary{{platform::kLocalizedFailureReasonErrorKey, "SecItemAdd (-25299)"}}));
}

}  // namespace
