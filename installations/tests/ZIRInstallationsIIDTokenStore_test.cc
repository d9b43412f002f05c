#include "installations/ZIRInstallationsIIDTokenStore.h"

#include <gtest/gtest.h>

#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsIIDTokenInfo.h"
#include "platform/keychain.h"
#include "platform/keyed_archive.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

// The record as the messaging client writes it, under its own class name.
class LegacyTokenRecord : public platform::SecureCodingObject {
 public:
  explicit LegacyTokenRecord(std::optional<Value> token) : token(std::move(token)) {}
  std::string archiveClassName() const override { return ZIRInstallationsIIDTokenInfoClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    if (token) coder.encodeObject("token", *token);
    coder.encodeObject("authorizedEntity", Value("123"));
  }
  std::optional<Value> token;
};

Data legacyArchive(std::optional<Value> token) {
  ZIRInstallationsIIDTokenInfo::registerSecureCodingClass();
  auto data = platform::KeyedArchiver::archivedData(
      platform::SecureCodingPtr(std::make_shared<LegacyTokenRecord>(std::move(token))),
      {{ZIRInstallationsIIDTokenInfoClassName, ZIRInstallationsIIDTokenInfoArchivedClassName}});
  EXPECT_TRUE(data);
  return data.value_or(Data());
}

class ZIRInstallationsIIDTokenStoreTest : public ::testing::Test {
 protected:
  static ZBLPromisePtr settled(ZBLPromisePtr promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }
  // Stores the item where the messaging client keeps it.
  static void addTokenItem(const Data& data, const std::string& account = "com.example.vilmo") {
    Dictionary attributes;
    attributes.set(platform::kSecClass, platform::kSecClassGenericPassword);
    attributes.set(platform::kSecAttrGeneric, "com.rerora.iid-tokens");
    attributes.set(platform::kSecAttrAccount, account);
    attributes.set(platform::kSecAttrService, "123:*");
    attributes.set(platform::kSecValueData, data);
    ASSERT_EQ(platform::SecItemAdd(attributes), platform::errSecSuccess);
  }

  testing_support::TemporaryHome home_;
  ZIRInstallationsIIDTokenStore store_{"123"};
};

TEST_F(ZIRInstallationsIIDTokenStoreTest, QueryNamesSenderScopeAndBundle) {
  home_.useBundle();
  Dictionary expected;
  expected.set(platform::kSecClass, platform::kSecClassGenericPassword);
  expected.set(platform::kSecAttrGeneric, "com.rerora.iid-tokens");
  expected.set(platform::kSecAttrAccount, "com.example.vilmo");
  expected.set(platform::kSecAttrService, "123:*");
  EXPECT_EQ(store_.IIDDefaultTokenDataKeychainQuery(), expected);

  home_.useBundle(Dictionary{{"CFBundleIdentifier", ""}});
  expected.erase(platform::kSecAttrAccount);
  EXPECT_EQ(store_.IIDDefaultTokenDataKeychainQuery(), expected);
}

TEST_F(ZIRInstallationsIIDTokenStoreTest, StoredLegacyTokenIsRead) {
  home_.useBundle();
  addTokenItem(legacyArchive(Value("legacy-token")));
  const auto promise = settled(store_.existingIIDDefaultToken());
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_EQ(promise->value(), ZBLObject("legacy-token"));
}

TEST_F(ZIRInstallationsIIDTokenStoreTest, TokenOfAnotherAppOrSenderIsNotRead) {
  home_.useBundle();
  addTokenItem(legacyArchive(Value("other-app")), "com.example.other");
  const auto promise = settled(store_.existingIIDDefaultToken());
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->localizedFailureReason(),
            "IID token data stored in Keychain is corrupted or in an incompatible format.");
}

TEST_F(ZIRInstallationsIIDTokenStoreTest, UnusableArchivesAreRefused) {
  struct Case {
    const char* name;
    Data data;
    std::string domain;
    std::int64_t code;
  };
  const Case cases[] = {
      {"empty token", legacyArchive(Value("")), ZIRInstallationsErrorDomain, 0},
      {"no token", legacyArchive(std::nullopt), ZIRInstallationsErrorDomain, 0},
      {"token of the wrong class", legacyArchive(Value(7)), platform::kCocoaErrorDomain,
       platform::kCoderReadCorruptError},
      {"not an archive", Data::fromString("token"), platform::kCocoaErrorDomain,
       platform::kCoderReadCorruptError},
      {"no data", Data(), platform::kCocoaErrorDomain, platform::kCoderReadCorruptError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto promise = settled(store_.IIDCheckinWithData(c.data));
    ASSERT_TRUE(promise->isRejected());
    EXPECT_EQ(promise->error()->domain(), c.domain);
    EXPECT_EQ(promise->error()->code(), c.code);
  }
}

}  // namespace
