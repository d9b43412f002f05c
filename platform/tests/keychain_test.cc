#include "platform/keychain.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

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

TEST_F(KeychainTest, KeyItemsAreFoundAndDeletedByClassTagAndKeyType) {
  // A key pair as the legacy identifier keeps it: tags given as text, as that code does.
  const Dictionary publicKey{{kSecClass, kSecClassKey},
                             {kSecAttrApplicationTag, "com.example.keypair.public-app"},
                             {kSecAttrKeyType, kSecAttrKeyTypeRSA}};
  const Dictionary privateKey{{kSecClass, kSecClassKey},
                              {kSecAttrApplicationTag, "com.example.keypair.private-app"},
                              {kSecAttrKeyType, kSecAttrKeyTypeRSA}};
  ASSERT_EQ(SecItemAdd(with(publicKey, kSecValueData, Data::fromString("pub"))), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(privateKey, kSecValueData, Data::fromString("priv"))), errSecSuccess);

  EXPECT_EQ(readData(publicKey), Value(Data::fromString("pub")));
  EXPECT_EQ(readData(with(publicKey, kSecAttrKeyType, "ec")), std::nullopt);
  std::optional<Value> attributes;
  ASSERT_EQ(SecItemCopyMatching(with(privateKey, kSecReturnAttributes, true), &attributes),
            errSecSuccess);
  EXPECT_EQ((*attributes)[kSecAttrKeyType], Value(kSecAttrKeyTypeRSA));
  EXPECT_EQ((*attributes)[kSecAttrApplicationTag],
            Value(Data::fromString("com.example.keypair.private-app")));

  EXPECT_EQ(SecItemDelete(with(publicKey, kSecAttrKeyType, "ec")), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(publicKey), errSecSuccess);
  EXPECT_EQ(SecItemDelete(publicKey), errSecItemNotFound);
  EXPECT_EQ(readData(privateKey), Value(Data::fromString("priv")));
}

TEST_F(KeychainTest, ByteAttributesGivenAsTextMatchTheSameBytes) {
  for (const char* attribute : {kSecAttrGeneric, kSecAttrApplicationTag}) {
    SCOPED_TRACE(attribute);
    const Dictionary item{{kSecClass, kSecClassGenericPassword},
                          {kSecAttrService, attribute},
                          {attribute, "com.example.tokens"}};
    ASSERT_EQ(SecItemAdd(with(item, kSecValueData, Data::fromString("d"))), errSecSuccess);
    const Dictionary asBytes = with(item, attribute, Data::fromString("com.example.tokens"));
    EXPECT_EQ(readData(asBytes), Value(Data::fromString("d")));
    EXPECT_EQ(readData(item), Value(Data::fromString("d")));
    EXPECT_EQ(readData(with(item, attribute, "com.example.other")), std::nullopt);
    EXPECT_EQ(SecItemDelete(asBytes), errSecSuccess);
  }
}

TEST_F(KeychainTest, AStoreMadeBeforeTheKeyTypeOpensAndGainsIt) {
  const auto folder = applicationSupportDirectory() / "Keychain";
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "keychain.db").string();
  auto columnsOf = [&] {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA table_info(items)", -1, &statement, nullptr);
    std::multiset<std::string> columns;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      columns.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return columns;
  };
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                           "class TEXT NOT NULL, service TEXT NOT NULL, account TEXT NOT NULL, "
                           "access_group TEXT NOT NULL, generic BLOB NOT NULL, "
                           "application_tag BLOB NOT NULL, accessible TEXT NOT NULL, "
                           "data BLOB NOT NULL);"
                           "INSERT INTO items (class, service, account, access_group, generic, "
                           "application_tag, accessible, data) VALUES ('key', '', '', '', x'', "
                           "x'6f6c64', 'whenUnlocked', x'4b');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const Dictionary oldKey{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, "old"}};
  // A read is enough to add the column for good.
  EXPECT_EQ(readData(oldKey), Value(Data::fromString("K")));
  EXPECT_EQ(columnsOf().count("key_type"), 1u);
  EXPECT_EQ(readData(with(oldKey, kSecAttrKeyType, "")), Value(Data::fromString("K")));
  EXPECT_EQ(readData(with(oldKey, kSecAttrKeyType, kSecAttrKeyTypeRSA)), std::nullopt);

  const Dictionary newKey{{kSecClass, kSecClassKey},
                          {kSecAttrApplicationTag, "new"},
                          {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                          {kSecValueData, Data::fromString("N")}};
  ASSERT_EQ(SecItemAdd(newKey), errSecSuccess);
  std::optional<Value> rsaKeys;
  ASSERT_EQ(SecItemCopyMatching({{kSecClass, kSecClassKey},
                                 {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                                 {kSecReturnData, true},
                                 {kSecMatchLimit, kSecMatchLimitAll}},
                                &rsaKeys),
            errSecSuccess);
  EXPECT_EQ(*rsaKeys, Value(Array{Data::fromString("N")}));
  EXPECT_EQ(columnsOf().count("key_type"), 1u);
}

TEST_F(KeychainTest, APlantedStoreIsSetAsideAndTheKeychainStartsAfresh) {
  // Each would run inside the item calls: a view in place of the items that never ends, a
  // trigger on them, and bytes that are no database at all.
  const std::string endless =
      "(WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT max(x) FROM c)";
  const std::string columns = "'genericPassword' AS class, 'svc' AS service, 'acct' AS account, "
                              "'' AS access_group, x'' AS generic, x'' AS application_tag, "
                              "'' AS accessible, '' AS key_type, x'00' AS data";
  struct Case {
    const char* label;
    std::string sql;
    std::string bytes;
  };
  const Case cases[] = {
      {"endless view", "CREATE VIEW items AS SELECT " + endless + " AS id, " + columns, ""},
      {"trigger",
       "CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT, class TEXT NOT NULL, "
       "data BLOB NOT NULL); CREATE TRIGGER t BEFORE INSERT ON items BEGIN SELECT " +
           endless + "; END;",
       ""},
      {"not a database", "", std::string(4096, '\x5a')},
  };
  const auto folder = applicationSupportDirectory() / "Keychain";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "keychain.db").string();
    if (!c.bytes.empty()) {
      std::ofstream(file, std::ios::binary) << c.bytes;
    } else {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, c.sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }

    EXPECT_EQ(readData(password("svc", "acct")), std::nullopt);
    std::size_t setAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      setAside += entry.path().filename().string().starts_with("keychain.db.damaged-") ? 1 : 0;
    }
    EXPECT_EQ(setAside, 1u);
    ASSERT_EQ(SecItemAdd(with(password("svc", "acct"), kSecValueData, Data::fromString("v"))),
              errSecSuccess);
    EXPECT_EQ(readData(password("svc", "acct")), Value(Data::fromString("v")));
  }
}

TEST_F(KeychainTest, MalformedQueriesAreParameterErrors) {
  const Dictionary queries[] = {
      {{kSecAttrService, "s"}},
      {{kSecClass, "other"}},
      {{kSecClass, kSecClassGenericPassword}, {"unknown", 1}},
      {{kSecClass, kSecClassGenericPassword}, {kSecAttrGeneric, 1}},
      {{kSecClass, kSecClassKey}, {kSecAttrKeyType, Data::fromString("rsa")}},
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
