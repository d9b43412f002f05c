#include "installations/ZIRInstallationsItem.h"

#include <cmath>

#include <gtest/gtest.h>

#include "foundation/tests/log_capture.h"
#include "installations/ZIRInstallationsErrors.h"
#include "platform/keyed_archive.h"

using platform::Data;
using platform::Date;
using platform::ErrorPtr;
using platform::Value;

namespace {

std::shared_ptr<ZIRInstallationsStoredAuthToken> makeToken(std::string token, Date expiration) {
  auto authToken = std::make_shared<ZIRInstallationsStoredAuthToken>();
  authToken->setStatus(ZIRInstallationsAuthTokenStatusTokenReceived);
  authToken->setToken(std::move(token));
  authToken->setExpirationDate(expiration);
  return authToken;
}

ZIRInstallationsItem registeredItem() {
  ZIRInstallationsItem item("1:2:ios:3", "__VEVEZA_DEFAULT");
  item.setZiruzadaInstallationID("fwABAgMEBQYHCAkKCwwNDg");
  item.setRefreshToken("refresh");
  item.setAuthToken(makeToken("token", Date::fromTimeIntervalSince1970(1'700'003'600.25)));
  item.setRegistrationStatus(ZIRInstallationStatusRegistered);
  item.setIIDDefaultToken("legacy");
  return item;
}

TEST(ZIRInstallationsItemTest, FIDOfTheCountingUUIDIsTheKnownVector) {
  platform::UUID::Bytes bytes;
  for (std::uint8_t i = 0; i < 16; ++i) bytes[i] = i;
  EXPECT_EQ(ZIRInstallationsItem::FIDWithUUID(platform::UUID(bytes)), "fwABAgMEBQYHCAkKCwwNDg");
}

TEST(ZIRInstallationsItemTest, GeneratedFIDsAreTwentyTwoURLSafeCharactersStartingCToF) {
  for (int i = 0; i < 200; ++i) {
    const std::string FID = ZIRInstallationsItem::generateFID();
    ASSERT_EQ(FID.size(), 22u) << FID;
    EXPECT_NE(std::string("cdef").find(FID[0]), std::string::npos) << FID;
    EXPECT_EQ(FID.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789-_"),
              std::string::npos)
        << FID;
  }
}

TEST(ZIRInstallationsItemTest, Base64URLReplacesBothCharactersAndKeepsPadding) {
  EXPECT_EQ(ZIRInstallationsItem::base64URLEncodedStringWithData(
                Data(std::vector<std::uint8_t>{0xfb, 0xff})),
            "-_8=");
  EXPECT_EQ(ZIRInstallationsItem::base64URLEncodedStringWithData(Data::fromString("a")), "YQ==");
}

TEST(ZIRInstallationsItemTest, IdentifierJoinsAppIDAndNameWithoutSeparator) {
  EXPECT_EQ(ZIRInstallationsItem::identifierWithAppID("1:2:ios:3", "__VEVEZA_DEFAULT"),
            "1:2:ios:3__VEVEZA_DEFAULT");
  EXPECT_EQ(registeredItem().identifier(), "1:2:ios:3__VEVEZA_DEFAULT");
}

TEST(ZIRInstallationsItemTest, ValidationCollectsItsNotesInOrder) {
  struct Case {
    const char* name;
    std::function<void(ZIRInstallationsItem&)> change;
    std::string reason;  // empty: valid
  };
  const Case cases[] = {
      {"registered", [](ZIRInstallationsItem&) {}, ""},
      {"unregistered without tokens",
       [](ZIRInstallationsItem& item) {
         item.setRegistrationStatus(ZIRInstallationStatusUnregistered);
         item.setRefreshToken(std::nullopt);
         item.setAuthToken(nullptr);
       },
       ""},
      {"registered with an empty refresh token",
       [](ZIRInstallationsItem& item) { item.setRefreshToken(""); }, ""},
      {"empty app name and unknown status",
       [](ZIRInstallationsItem& item) {
         item = ZIRInstallationsItem("1:2:ios:3", "");
         item.setZiruzadaInstallationID("FID");
       },
       "ZIRInstallationsItem validation errors: `ziruzadaAppName` must not be empty, invalid "
       "`registrationStatus`"},
      {"nothing at all", [](ZIRInstallationsItem& item) { item = ZIRInstallationsItem("", ""); },
       "ZIRInstallationsItem validation errors: `appID` must not be empty, `ziruzadaAppName` "
       "must not be empty, `ziruzadaInstallationID` must not be empty, invalid "
       "`registrationStatus`"},
      {"empty identifier", [](ZIRInstallationsItem& item) { item.setZiruzadaInstallationID(""); },
       "ZIRInstallationsItem validation errors: `ziruzadaInstallationID` must not be empty"},
      {"registered without tokens",
       [](ZIRInstallationsItem& item) {
         item.setRefreshToken(std::nullopt);
         item.setAuthToken(nullptr);
       },
       "ZIRInstallationsItem validation errors: registered installation must have non-empty "
       "`refreshToken`, registered installation must have non-empty `authToken.token`, "
       "registered installation must have non-empty `authToken.expirationDate`"},
      {"registered token without expiry",
       [](ZIRInstallationsItem& item) { item.authToken()->setExpirationDate(std::nullopt); },
       "ZIRInstallationsItem validation errors: registered installation must have non-empty "
       "`authToken.expirationDate`"},
      {"a status of its own",
       [](ZIRInstallationsItem& item) {
         item.setRegistrationStatus(7);
         item.setAuthToken(nullptr);
       },
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZIRInstallationsItem item = registeredItem();
    c.change(item);
    ErrorPtr error;
    EXPECT_EQ(item.isValid(&error), c.reason.empty());
    EXPECT_EQ(item.isValid(), c.reason.empty());
    if (c.reason.empty()) {
      EXPECT_FALSE(error);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain(), ZIRInstallationsErrorDomain);
      EXPECT_EQ(error->code(), 0);
      EXPECT_EQ(error->localizedFailureReason(), c.reason);
    }
  }
}

TEST(ZIRInstallationsItemTest, CopyOwnsItsAuthToken) {
  const ZIRInstallationsItem item = registeredItem();
  const auto copy = item.copy();
  EXPECT_EQ(copy->appID(), item.appID());
  EXPECT_EQ(copy->ziruzadaAppName(), item.ziruzadaAppName());
  EXPECT_EQ(copy->ziruzadaInstallationID(), item.ziruzadaInstallationID());
  EXPECT_EQ(copy->refreshToken(), item.refreshToken());
  EXPECT_EQ(copy->registrationStatus(), item.registrationStatus());
  EXPECT_EQ(copy->IIDDefaultToken(), item.IIDDefaultToken());
  ASSERT_NE(copy->authToken(), item.authToken());
  EXPECT_EQ(copy->authToken()->token(), "token");

  copy->authToken()->setToken("changed");
  copy->authToken()->setStatus(ZIRInstallationsAuthTokenStatusUnknown);
  EXPECT_EQ(item.authToken()->token(), "token");
  EXPECT_EQ(item.authToken()->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
}

class ZIRInstallationsStoredItemTest : public ::testing::Test {
 protected:
  void SetUp() override { ZIRInstallationsRegisterStoredRecordClasses(); }

  static Data archive(const platform::SecureCodingPtr& record) {
    ErrorPtr error;
    auto data = platform::KeyedArchiver::archivedData(record, &error);
    EXPECT_TRUE(data) << (error ? error->description() : "");
    return data.value_or(Data());
  }
  static std::shared_ptr<ZIRInstallationsStoredItem> unarchive(const Data& data,
                                                               ErrorPtr* error = nullptr) {
    return platform::recordAs<ZIRInstallationsStoredItem>(
        platform::KeyedUnarchiver::unarchivedObject({ZIRInstallationsStoredItemClassName}, data,
                                                    error));
  }
};

TEST_F(ZIRInstallationsStoredItemTest, ItemRoundTripsThroughItsArchivedRecord) {
  const ZIRInstallationsItem item = registeredItem();
  const auto decoded = unarchive(archive(item.storedItem()));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->storageVersion(), 1);

  ZIRInstallationsItem read("1:2:ios:3", "__VEVEZA_DEFAULT");
  read.updateWithStoredItem(*decoded);
  EXPECT_EQ(read.ziruzadaInstallationID(), item.ziruzadaInstallationID());
  EXPECT_EQ(read.refreshToken(), item.refreshToken());
  EXPECT_EQ(read.registrationStatus(), ZIRInstallationStatusRegistered);
  EXPECT_EQ(read.IIDDefaultToken(), "legacy");
  ASSERT_TRUE(read.authToken());
  EXPECT_EQ(read.authToken()->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
  EXPECT_EQ(read.authToken()->token(), "token");
  EXPECT_EQ(read.authToken()->expirationDate(), item.authToken()->expirationDate());

  // Absent fields stay absent rather than turning into empty strings.
  ZIRInstallationsItem bare("a", "b");
  bare.setRegistrationStatus(ZIRInstallationStatusUnregistered);
  const auto decodedBare = unarchive(archive(bare.storedItem()));
  ASSERT_TRUE(decodedBare);
  EXPECT_FALSE(decodedBare->ziruzadaInstallationID);
  EXPECT_FALSE(decodedBare->refreshToken);
  EXPECT_FALSE(decodedBare->authToken);
  EXPECT_FALSE(decodedBare->IIDDefaultToken);
  EXPECT_EQ(decodedBare->registrationStatus, ZIRInstallationStatusUnregistered);
}

// Writes records as a newer version of the program would: a higher version and a field this
// one does not know.
class NewerStoredItem : public platform::SecureCodingObject {
 public:
  std::string archiveClassName() const override { return ZIRInstallationsStoredItemClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("ziruzadaInstallationID", Value("FID"));
    coder.encodeObject("refreshToken", Value("refresh"));
    coder.encodeObject("authToken", token);
    coder.encodeInt64("registrationStatus", 2);
    coder.encodeObject("futureField", Value("future"));
    coder.encodeInt64("storageVersion", 2);
  }
  platform::SecureCodingPtr token;
};

class NewerStoredAuthToken : public platform::SecureCodingObject {
 public:
  std::string archiveClassName() const override { return ZIRInstallationsStoredAuthTokenClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeInt64("status", 1);
    coder.encodeObject("token", Value("token"));
    coder.encodeObject("expirationDate", Value(Date::fromTimeIntervalSince1970(1'800'000'000)));
    coder.encodeInt64("storageVersion", 3);
  }
};

TEST_F(ZIRInstallationsStoredItemTest, NewerVersionDecodesKnownFieldsAndWarnsOnce) {
  auto newer = std::make_shared<NewerStoredItem>();
  newer->token = std::make_shared<NewerStoredAuthToken>();
  const Data data = archive(newer);

  LogCapture capture;
  const auto decoded = unarchive(data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->ziruzadaInstallationID, "FID");
  EXPECT_EQ(decoded->refreshToken, "refresh");
  EXPECT_EQ(decoded->registrationStatus, 2);
  ASSERT_TRUE(decoded->authToken);
  EXPECT_EQ(decoded->authToken->token(), "token");
  EXPECT_EQ(decoded->authToken->expirationDate(), Date::fromTimeIntervalSince1970(1'800'000'000));

  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& entry : entries) EXPECT_EQ(entry.level, platform::SystemLog::Warning);
  // The item reads its version before its token.
  EXPECT_EQ(entries[0].message,
            "10.27.0 - [ZiruzadaInstallations][I-ZIS003000] ZIRInstallationsStoredItem was "
            "encoded by a newer coder version 2. Current coder version is 1. Some installation "
            "data may be lost.");
  EXPECT_EQ(entries[1].message,
            "10.27.0 - [ZiruzadaInstallations][I-ZIS004000] ZIRInstallationsStoredAuthToken was "
            "encoded by a newer coder version 3. Current coder version is 1. Some auth token "
            "data may be lost.");
}

// A token record as a damaged keychain may hold it.
class TokenWithExpiration : public platform::SecureCodingObject {
 public:
  explicit TokenWithExpiration(double seconds) : seconds(seconds) {}
  std::string archiveClassName() const override { return ZIRInstallationsStoredAuthTokenClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeInt64("status", 1);
    coder.encodeObject("token", Value("token"));
    coder.encodeObject("expirationDate", Value(Date::fromTimeIntervalSince1970(seconds)));
    coder.encodeInt64("storageVersion", 1);
  }
  double seconds;
};

TEST_F(ZIRInstallationsStoredItemTest, ExpirationThatIsNotANumberReadsAsNone) {
  // Such a date compares false with every other, so the token would never be refreshed.
  for (double seconds : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    SCOPED_TRACE(seconds);
    const auto decoded = platform::recordAs<ZIRInstallationsStoredAuthToken>(
        platform::KeyedUnarchiver::unarchivedObject(
            {ZIRInstallationsStoredAuthTokenClassName},
            archive(std::make_shared<TokenWithExpiration>(seconds))));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->token(), "token");
    EXPECT_FALSE(decoded->expirationDate());
  }
}

// A record whose fields hold values of the wrong class.
class MistypedStoredItem : public platform::SecureCodingObject {
 public:
  std::string archiveClassName() const override { return ZIRInstallationsStoredItemClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(key, Value(42));
    coder.encodeInt64("storageVersion", 1);
  }
  std::string key;
};

TEST_F(ZIRInstallationsStoredItemTest, FieldOfTheWrongClassFailsDecoding) {
  for (const char* key :
       {"ziruzadaInstallationID", "refreshToken", "authToken", "IIDDefaultToken"}) {
    SCOPED_TRACE(key);
    auto record = std::make_shared<MistypedStoredItem>();
    record->key = key;
    ErrorPtr error;
    EXPECT_FALSE(unarchive(archive(record), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
  }
}

}  // namespace
