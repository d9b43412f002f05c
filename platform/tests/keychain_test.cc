#include "platform/keychain.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

Dictionary password(const std::string& service, const std::string& account) {
  return Dictionary{{kSecClass, kSecClassGenericPassword},
                    {kSecAttrService, service},
                    {kSecAttrAccount, account}};
}

Dictionary with(Dictionary dictionary, const char* key, Value value) {
  dictionary.set(key, std::move(value));
  return dictionary;
}

std::optional<Value> readData(const Dictionary& query) {
  std::optional<Value> result;
  OSStatus status = SecItemCopyMatching(with(query, kSecReturnData, true), &result);
  return status == errSecSuccess ? result : std::nullopt;
}

class KeychainTest : public ::testing::Test {
 protected:
  testing_support::TemporaryHome home_;
};

TEST_F(KeychainTest, AddReadUpdateDeleteWithStatusCodes) {
  Dictionary query = password("svc", "acct");
  EXPECT_EQ(SecItemCopyMatching(with(query, kSecReturnData, true), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(query), errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query, {{kSecValueData, Data::fromString("x")}}), errSecItemNotFound);

  EXPECT_EQ(SecItemAdd(with(with(query, kSecValueData, Data::fromString("one")), kSecAttrAccessible,
                            kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly)),
            errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(query, kSecValueData, Data::fromString("two"))), errSecDuplicateItem);
  EXPECT_EQ(readData(query), Value(Data::fromString("one")));

  EXPECT_EQ(SecItemUpdate(query, {{kSecValueData, Data::fromString("two")}}), errSecSuccess);
  std::optional<Value> attributes;
  ASSERT_EQ(SecItemCopyMatching(with(with(query, kSecReturnAttributes, true), kSecReturnData, true),
                                &attributes),
            errSecSuccess);
  EXPECT_EQ((*attributes)[kSecValueData], Value(Data::fromString("two")));
  // An update changes only what it names: the protection class recorded at add stays.
  EXPECT_EQ((*attributes)[kSecAttrAccessible],
            Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));

  EXPECT_EQ(SecItemDelete(query), errSecSuccess);
  EXPECT_EQ(readData(query), std::nullopt);
}

TEST_F(KeychainTest, ItemsAreScopedByServiceAccountAndAccessGroup) {
  struct Case {
    const char* service;
    const char* account;
    const char* group;
    const char* data;
  } cases[] = {
      {"s1", "a", "", "1"}, {"s2", "a", "", "2"}, {"s1", "b", "", "3"}, {"s1", "a", "g", "4"}};
  for (const Case& c : cases) {
    Dictionary item = with(password(c.service, c.account), kSecValueData, Data::fromString(c.data));
    if (*c.group) item.set(kSecAttrAccessGroup, c.group);
    ASSERT_EQ(SecItemAdd(item), errSecSuccess) << c.data;
  }
  for (const Case& c : cases) {
    Dictionary query = with(password(c.service, c.account), kSecAttrAccessGroup, c.group);
    EXPECT_EQ(readData(query), Value(Data::fromString(c.data))) << c.data;
  }
  // Left-out attributes are wildcards; match-all returns every item, match-one the oldest.
  std::optional<Value> all;
  ASSERT_EQ(SecItemCopyMatching({{kSecClass, kSecClassGenericPassword},
                                 {kSecAttrService, "s1"},
                                 {kSecReturnData, true},
                                 {kSecMatchLimit, kSecMatchLimitAll}},
                                &all),
            errSecSuccess);
  EXPECT_EQ(*all,
            Value(Array{Data::fromString("1"), Data::fromString("3"), Data::fromString("4")}));
  EXPECT_EQ(readData({{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "a"}}),
            Value(Data::fromString("1")));

  // Deleting within the group leaves the other items alone.
  EXPECT_EQ(SecItemDelete({{kSecClass, kSecClassGenericPassword}, {kSecAttrAccessGroup, "g"}}),
            errSecSuccess);
  EXPECT_EQ(readData(with(password("s1", "a"), kSecAttrAccessGroup, "g")), std::nullopt);
  EXPECT_EQ(readData(password("s1", "a")), Value(Data::fromString("1")));
  // An update that would give two items one identity is refused.
  EXPECT_EQ(SecItemUpdate(password("s2", "a"), {{kSecAttrService, "s1"}}), errSecDuplicateItem);
}

TEST_F(KeychainTest, KeyItemsAreIdentifiedByApplicationTag) {
  Dictionary key{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, Data::fromString("tag")}};
  EXPECT_EQ(SecItemAdd(with(key, kSecValueData, Data::fromString("k"))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(key, kSecValueData, Data::fromString("k2"))), errSecDuplicateItem);
  EXPECT_EQ(readData(key), Value(Data::fromString("k")));
  // A generic password is another class of item.
  EXPECT_EQ(readData({{kSecClass, kSecClassGenericPassword}}), std::nullopt);
}

TEST_F(KeychainTest, MalformedQueriesAreParameterErrors) {
  const Dictionary queries[] = {
      {{kSecAttrService, "s"}},
      {{kSecClass, "other"}},
      {{kSecClass, kSecClassGenericPassword}, {"unknown", 1}},
      {{kSecClass, kSecClassGenericPassword}, {kSecAttrGeneric, "not data"}},
  };
  for (const Dictionary& query : queries) {
    EXPECT_EQ(SecItemAdd(query), errSecParam);
    EXPECT_EQ(SecItemCopyMatching(query, nullptr), errSecParam);
    EXPECT_EQ(SecItemDelete(query), errSecParam);
  }
}

TEST_F(KeychainTest, StoreIsPrivateToTheUser) {
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), kSecValueData, Data::fromString("x"))),
            errSecSuccess);
  struct stat folder {};
  struct stat file {};
  ASSERT_EQ(::stat((applicationSupportDirectory() / "Keychain").c_str(), &folder), 0);
  ASSERT_EQ(::stat((applicationSupportDirectory() / "Keychain" / "keychain.db").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace platform
