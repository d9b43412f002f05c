#include "installations/ZIRInstallationsIIDStore.h"

#include <gtest/gtest.h>

#include "installations/ZIRInstallationsErrors.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/plist.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

constexpr const char* kBundleID = "com.example.vilmo";

class ZIRInstallationsIIDStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.useBundle(); }

  static ZBLPromisePtr settled(ZBLPromisePtr promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }
  static void addKey(const std::string& tag, const std::string& keyData) {
    Dictionary attributes;
    attributes.set(platform::kSecClass, platform::kSecClassKey);
    attributes.set(platform::kSecAttrApplicationTag, Data::fromString(tag));
    attributes.set(platform::kSecAttrKeyType, platform::kSecAttrKeyTypeRSA);
    attributes.set(platform::kSecValueData, Data::fromString(keyData));
    ASSERT_EQ(platform::SecItemAdd(attributes), platform::errSecSuccess);
  }
  static bool hasKey(const std::string& tag) {
    Dictionary query;
    query.set(platform::kSecClass, platform::kSecClassKey);
    query.set(platform::kSecAttrApplicationTag, Data::fromString(tag));
    std::optional<Value> result;
    return platform::SecItemCopyMatching(query, &result) == platform::errSecSuccess;
  }
  void writeMarker(const Dictionary& entries) {
    const auto path = store_.plistPath();
    ASSERT_TRUE(platform::createDirectory(path.parent_path(), true));
    ASSERT_TRUE(
        platform::plist::writeFile(Value(entries), path.string(), platform::plist::Format::XML));
  }
  static Dictionary markerWithFlag() {
    Dictionary marker;
    marker.set("|S|cre", "1500000000");
    marker.set("other", "kept");
    return marker;
  }
  static std::string publicTag() {
    return std::string(ZIRInstallationsIIDKeyPairPublicTagPrefix) + kBundleID;
  }
  static std::string privateTag() {
    return std::string(ZIRInstallationsIIDKeyPairPrivateTagPrefix) + kBundleID;
  }

  testing_support::TemporaryHome home_;
  ZIRInstallationsIIDStore store_;
};

TEST_F(ZIRInstallationsIIDStoreTest, IdentifierIsDerivedFromThePublicKey) {
  EXPECT_EQ(store_.plistPath(), platform::applicationSupportDirectory() / "Rerora" /
                                    "ZiruzadaInstanceID" / "com.rerora.iid-keypair.plist");
  writeMarker(markerWithFlag());
  addKey(publicTag(), "abc");
  // SHA-1 of "abc" is a9 99 3e 36 47 06 81 6a ...; the first byte becomes 0x79.
  const auto promise = settled(store_.existingIID());
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_EQ(promise->value(), ZBLObject("eZk-NkcGgWo"));
}

TEST_F(ZIRInstallationsIIDStoreTest, IdentifiersAreElevenURLSafeCharactersStartingCToF) {
  for (int i = 0; i < 100; ++i) {
    const std::string IID =
        store_.IIDWithPublicKeyData(Data::fromString("key " + std::to_string(i)));
    ASSERT_EQ(IID.size(), 11u) << IID;
    EXPECT_NE(std::string("cdef").find(IID[0]), std::string::npos) << IID;
    EXPECT_EQ(IID.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789-_"),
              std::string::npos)
        << IID;
  }
}

TEST_F(ZIRInstallationsIIDStoreTest, NoIdentifierWithoutMarkerFlagOrKey) {
  struct Case {
    const char* name;
    bool writeMarkerFile;
    bool withFlag;
    bool withKey;
  };
  const Case cases[] = {
      {"no marker file", false, false, true},
      {"marker without the flag", true, false, true},
      {"no public key", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TemporaryHome home;
    home.useBundle();
    if (c.writeMarkerFile) {
      Dictionary marker;
      marker.set("other", "value");
      if (c.withFlag) marker.set("|S|cre", "1");
      writeMarker(marker);
    }
    if (c.withKey) addKey(publicTag(), "abc");
    const auto promise = settled(store_.existingIID());
    ASSERT_TRUE(promise->isRejected());
    EXPECT_EQ(promise->error()->domain(), ZBLPromiseErrorDomain);
    EXPECT_EQ(promise->error()->code(), ZBLPromiseErrorCodeValidationFailure);
  }
}

TEST_F(ZIRInstallationsIIDStoreTest, UnreadableMarkerMeansNoIdentifier) {
  const auto path = store_.plistPath();
  ASSERT_TRUE(platform::createDirectory(path.parent_path(), true));
  ASSERT_TRUE(platform::writeFileAtomically(path, Data::fromString("<plist><dict><key>")));
  addKey(publicTag(), "abc");
  EXPECT_FALSE(store_.hasPlistIIDFlag());
  EXPECT_TRUE(settled(store_.existingIID())->isRejected());
  // Deleting leaves such a file alone and still removes the keys.
  EXPECT_TRUE(settled(store_.deleteExistingIID())->isFulfilled());
  EXPECT_FALSE(hasKey(publicTag()));
}

TEST_F(ZIRInstallationsIIDStoreTest, DeletingWithNothingThereSucceeds) {
  const auto promise = settled(store_.deleteExistingIID());
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_EQ(promise->value(), ZBLObject::null());
}

TEST_F(ZIRInstallationsIIDStoreTest, DeletingRemovesFlagAndBothKeys) {
  writeMarker(markerWithFlag());
  addKey(publicTag(), "public");
  addKey(privateTag(), "private");
  addKey("com.other.key", "unrelated");

  const auto promise = settled(store_.deleteExistingIID());
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_FALSE(hasKey(publicTag()));
  EXPECT_FALSE(hasKey(privateTag()));
  EXPECT_TRUE(hasKey("com.other.key"));
  const auto marker = platform::plist::readDictionaryFile(store_.plistPath().string());
  ASSERT_TRUE(marker);
  EXPECT_FALSE(marker->contains("|S|cre"));
  EXPECT_EQ((*marker)["other"], Value("kept"));
  EXPECT_TRUE(settled(store_.existingIID())->isRejected());
}

TEST_F(ZIRInstallationsIIDStoreTest, WithoutBundleIdentifierNoKeyIsReadOrDeleted) {
  home_.useBundle(Dictionary{{"CFBundleIdentifier", ""}});
  EXPECT_FALSE(store_.keychainKeyTagWithPrefix(ZIRInstallationsIIDKeyPairPublicTagPrefix));
  // Keys an untagged query would reach, among them one tagged with the bare prefix.
  writeMarker(markerWithFlag());
  addKey(ZIRInstallationsIIDKeyPairPublicTagPrefix, "abc");
  addKey(ZIRInstallationsIIDKeyPairPrivateTagPrefix, "private");
  addKey("com.other.key", "unrelated");

  EXPECT_FALSE(store_.IIDPublicKeyData());
  EXPECT_TRUE(settled(store_.existingIID())->isRejected());
  EXPECT_TRUE(settled(store_.deleteExistingIID())->isFulfilled());
  EXPECT_TRUE(hasKey(ZIRInstallationsIIDKeyPairPublicTagPrefix));
  EXPECT_TRUE(hasKey(ZIRInstallationsIIDKeyPairPrivateTagPrefix));
  EXPECT_TRUE(hasKey("com.other.key"));
}

}  // namespace
