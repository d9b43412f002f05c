#include "installations/ZIRInstallationsStore.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "foundation/ZULSecureCoding.h"
#include "installations/ZIRInstallationsErrors.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

using platform::Date;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

constexpr const char* kAppID = "1:2:ios:3";
constexpr const char* kAppName = "__VEVEZA_DEFAULT";
// What the controller names the app's keychain service.
constexpr const char* kService = "com.ziruzada.ZIRInstallations.installations.1:2:ios:3";

std::shared_ptr<ZIRInstallationsItem> registeredItem() {
  auto item = std::make_shared<ZIRInstallationsItem>(kAppID, kAppName);
  item->setZiruzadaInstallationID("fwABAgMEBQYHCAkKCwwNDg");
  item->setRefreshToken("refresh");
  auto token = std::make_shared<ZIRInstallationsStoredAuthToken>();
  token->setStatus(ZIRInstallationsAuthTokenStatusTokenReceived);
  token->setToken("token");
  token->setExpirationDate(Date::fromTimeIntervalSince1970(1'700'003'600.5));
  item->setAuthToken(token);
  item->setRegistrationStatus(ZIRInstallationStatusRegistered);
  item->setIIDDefaultToken("legacy");
  return item;
}

class ZIRInstallationsStoreTest : public ::testing::Test {
 protected:
  static ZBLPromisePtr settled(ZBLPromisePtr promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }
  static ZBLObject valueOf(ZBLPromisePtr promise) {
    promise = settled(promise);
    EXPECT_TRUE(promise->isFulfilled()) << promise->description();
    return promise->value();
  }
  static ErrorPtr errorOf(ZBLPromisePtr promise) {
    promise = settled(promise);
    EXPECT_TRUE(promise->isRejected()) << promise->description();
    return promise->error();
  }
  // The keychain row of the app's record, bypassing storage and cache.
  static std::optional<Dictionary> keychainRow(const std::optional<std::string>& group = {}) {
    Dictionary query;
    query.set(platform::kSecClass, platform::kSecClassGenericPassword);
    query.set(platform::kSecAttrService, kService);
    query.set(platform::kSecAttrAccount, std::string(kAppID) + kAppName);
    if (group) query.set(platform::kSecAttrAccessGroup, *group);
    query.set(platform::kSecReturnAttributes, true);
    query.set(platform::kSecReturnData, true);
    std::optional<Value> result;
    if (platform::SecItemCopyMatching(query, &result) != platform::errSecSuccess || !result) {
      return std::nullopt;
    }
    return *result->asDictionary();
  }
  static bool hasMarker(const std::string& suite) {
    return ZULUserDefaults(suite).objectForKey(std::string(kAppID) + kAppName).has_value();
  }
  ZIRInstallationsStore makeStore(std::optional<std::string> group = {}) {
    return ZIRInstallationsStore(storage_, std::move(group));
  }

  testing_support::TemporaryHome home_;
  std::shared_ptr<ZULKeychainStorage> storage_ = std::make_shared<ZULKeychainStorage>(kService);
};

TEST_F(ZIRInstallationsStoreTest, SavedItemReadsBackFromTheKeychain) {
  auto store = makeStore();
  const auto item = registeredItem();
  EXPECT_EQ(valueOf(store.saveInstallation(item)), ZBLObject::null());

  // The record is the archived stored item under the app's service and key.
  const auto row = keychainRow();
  ASSERT_TRUE(row);
  const platform::Data* data = (*row)[platform::kSecValueData].asData();
  ASSERT_TRUE(data);
  const auto archived = platform::recordAs<ZIRInstallationsStoredItem>(
      ZULSecureCoding::unarchivedObjectOfClass(ZIRInstallationsStoredItemClassName, *data));
  ASSERT_TRUE(archived);
  EXPECT_EQ(archived->ziruzadaInstallationID, "fwABAgMEBQYHCAkKCwwNDg");
  EXPECT_TRUE(hasMarker(ZIRInstallationsStoreUserDefaultsSuite));

  // Read through the keychain, not the storage's cache.
  storage_->resetInMemoryCache();
  const auto read =
      valueOf(store.installationForAppID(kAppID, kAppName)).as<ZIRInstallationsItem>();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->appID(), kAppID);
  EXPECT_EQ(read->ziruzadaAppName(), kAppName);
  EXPECT_EQ(read->ziruzadaInstallationID(), item->ziruzadaInstallationID());
  EXPECT_EQ(read->refreshToken(), "refresh");
  ASSERT_TRUE(read->authToken());
  EXPECT_EQ(read->authToken()->token(), "token");
  EXPECT_EQ(read->authToken()->expirationDate(), item->authToken()->expirationDate());
  EXPECT_EQ(read->authToken()->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
  EXPECT_EQ(read->registrationStatus(), ZIRInstallationStatusRegistered);
  EXPECT_EQ(read->IIDDefaultToken(), "legacy");
}

TEST_F(ZIRInstallationsStoreTest, AccessGroupNamesTheMarkerSuiteAndTheKeychainGroup) {
  auto store = makeStore("G");
  EXPECT_EQ(valueOf(store.saveInstallation(registeredItem())), ZBLObject::null());
  EXPECT_TRUE(hasMarker("G"));
  EXPECT_FALSE(hasMarker(ZIRInstallationsStoreUserDefaultsSuite));
  const auto row = keychainRow("G");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)[platform::kSecAttrAccessGroup], Value("G"));

  // Without the group neither the marker nor the record is found.
  EXPECT_TRUE(errorOf(makeStore().installationForAppID(kAppID, kAppName)));
}

TEST_F(ZIRInstallationsStoreTest, RecordWithoutMarkerIsNotFound) {
  auto store = makeStore();
  valueOf(store.saveInstallation(registeredItem()));
  EXPECT_EQ(valueOf(store.setInstallationExists(false, std::string(kAppID) + kAppName)),
            ZBLObject::null());
  ASSERT_TRUE(keychainRow());

  const ErrorPtr error = errorOf(store.installationForAppID(kAppID, kAppName));
  EXPECT_EQ(error->domain(), ZIRInstallationsErrorDomain);
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->localizedFailureReason(),
            "Installation for appID 1:2:ios:3 appName __VEVEZA_DEFAULT not found");
  EXPECT_TRUE(errorOf(store.installationExistsForAppID(kAppID, kAppName)));
}

TEST_F(ZIRInstallationsStoreTest, MarkerWithoutRecordIsNotFound) {
  auto store = makeStore();
  valueOf(store.setInstallationExists(true, std::string(kAppID) + kAppName));
  EXPECT_EQ(valueOf(store.installationExistsForAppID(kAppID, kAppName)), ZBLObject::null());
  const ErrorPtr error = errorOf(store.installationForAppID(kAppID, kAppName));
  EXPECT_EQ(error->localizedFailureReason(),
            "Installation for appID 1:2:ios:3 appName __VEVEZA_DEFAULT not found");
}

TEST_F(ZIRInstallationsStoreTest, RemoveTakesRecordAndMarker) {
  auto store = makeStore();
  valueOf(store.saveInstallation(registeredItem()));
  EXPECT_EQ(valueOf(store.removeInstallationForAppID(kAppID, kAppName)), ZBLObject::null());
  EXPECT_FALSE(keychainRow());
  EXPECT_FALSE(hasMarker(ZIRInstallationsStoreUserDefaultsSuite));
  EXPECT_TRUE(errorOf(store.installationForAppID(kAppID, kAppName)));
  // Removing what is not there succeeds.
  EXPECT_EQ(valueOf(store.removeInstallationForAppID(kAppID, kAppName)), ZBLObject::null());
}

TEST_F(ZIRInstallationsStoreTest, FailedKeychainWriteLeavesNoMarker) {
  // A folder where the keychain file belongs keeps the keychain from opening.
  ASSERT_TRUE(platform::createDirectory(
      platform::applicationSupportDirectory() / "Keychain" / "keychain.db", true));
  auto store = makeStore();
  const ErrorPtr error = errorOf(store.saveInstallation(registeredItem()));
  EXPECT_EQ(error->domain(), ZULKeychainErrorDomain);
  EXPECT_FALSE(hasMarker(ZIRInstallationsStoreUserDefaultsSuite));
}

TEST_F(ZIRInstallationsStoreTest, CorruptRecordFailsWithTheDecodingError) {
  auto store = makeStore();
  valueOf(store.saveInstallation(registeredItem()));
  Dictionary query;
  query.set(platform::kSecClass, platform::kSecClassGenericPassword);
  query.set(platform::kSecAttrService, kService);
  query.set(platform::kSecAttrAccount, std::string(kAppID) + kAppName);
  Dictionary update;
  update.set(platform::kSecValueData, platform::Data::fromString("bplist00 but not really"));
  ASSERT_EQ(platform::SecItemUpdate(query, update), platform::errSecSuccess);
  storage_->resetInMemoryCache();

  const ErrorPtr error = errorOf(store.installationForAppID(kAppID, kAppName));
  EXPECT_EQ(error->domain(), platform::kCocoaErrorDomain);
  EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
}

}  // namespace
