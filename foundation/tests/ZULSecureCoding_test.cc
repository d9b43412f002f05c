#include "foundation/ZULSecureCoding.h"

#include <gtest/gtest.h>

using platform::ArchivedObject;
using platform::Date;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

// A record of the shape later subsystems register.
class StoredToken : public platform::SecureCodingObject {
 public:
  std::string token;
  std::string archiveClassName() const override { return "ZULTestStoredToken"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("token", Value(token));
    coder.encodeInt64("storageVersion", 1);
  }
};

class ZULSecureCodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::registerSecureCodingClass(
        "ZULTestStoredToken", [](platform::KeyedUnarchiver& coder) -> platform::SecureCodingPtr {
          auto record = std::make_shared<StoredToken>();
          record->token = coder.decodeString("token").value_or("");
          return record;
        });
  }

  const Value datesByTag{Dictionary{{"tag-a", Date::fromTimeIntervalSince1970(1700000000)},
                                    {"tag-b", Date::fromTimeIntervalSince1970(1700086400.5)}}};
};

TEST_F(ZULSecureCodingTest, DictionaryOfDatesNeedsAllThreeClasses) {
  ErrorPtr error;
  auto data = ZULSecureCoding::archivedDataWithRootObject(datesByTag, &error);
  ASSERT_TRUE(data) << error->description();

  auto decoded = ZULSecureCoding::unarchivedObjectOfClasses(
      {platform::kDictionaryClassName, platform::kDateClassName, platform::kStringClassName}, *data,
      &error);
  ASSERT_TRUE(platform::valueOf(decoded));
  EXPECT_EQ(*platform::valueOf(decoded), datesByTag);

  EXPECT_FALSE(
      ZULSecureCoding::unarchivedObjectOfClass(platform::kDictionaryClassName, *data, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
}

TEST_F(ZULSecureCodingTest, RegisteredRecordRoundTrips) {
  auto token = std::make_shared<StoredToken>();
  token->token = "secret";
  auto data = ZULSecureCoding::archivedDataWithRootObject(platform::SecureCodingPtr(token));
  ASSERT_TRUE(data);
  auto decoded = platform::recordAs<StoredToken>(
      ZULSecureCoding::unarchivedObjectOfClass("ZULTestStoredToken", *data));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->token, "secret");
}

TEST_F(ZULSecureCodingTest, ClassNamesMapBothWays) {
  // A record written under the name another reader gives it, and read back through the map.
  auto token = std::make_shared<StoredToken>();
  token->token = "legacy";
  const platform::ClassNameMap written{{"ZULTestStoredToken", "ZULTestLegacyToken"}};
  const platform::ClassNameMap read{{"ZULTestLegacyToken", "ZULTestStoredToken"}};
  const auto data =
      ZULSecureCoding::archivedDataWithRootObject(platform::SecureCodingPtr(token), written);
  ASSERT_TRUE(data);

  ErrorPtr error;
  EXPECT_FALSE(ZULSecureCoding::unarchivedObjectOfClass("ZULTestStoredToken", *data, &error));
  EXPECT_TRUE(error);
  for (const auto& decoded :
       {ZULSecureCoding::unarchivedObjectOfClass("ZULTestStoredToken", *data, read),
        ZULSecureCoding::unarchivedObjectOfClasses(
            {"ZULTestStoredToken", platform::kStringClassName}, *data, read)}) {
    const auto record = platform::recordAs<StoredToken>(decoded);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->token, "legacy");
  }
}

TEST_F(ZULSecureCodingTest, UnarchivingErrorsPassThrough) {
  const auto dates = *ZULSecureCoding::archivedDataWithRootObject(datesByTag);
  struct Case {
    const char* name;
    platform::Data data;
  } cases[] = {
      {"empty data", platform::Data()},
      {"not an archive", platform::Data::fromString("bplist00 but not really")},
      {"class outside the set", dates},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorPtr error;
    EXPECT_FALSE(ZULSecureCoding::unarchivedObjectOfClass("ZULTestStoredToken", c.data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
  }
}

TEST_F(ZULSecureCodingTest, ArchivingErrorNamesTheException) {
  const ErrorPtr error = ZULSecureCoding::archivingErrorWithException(
      platform::Exception("NSInvalidArgumentException", "bad object"));
  EXPECT_EQ(error->domain(), "ZULSecureCodingError");
  EXPECT_EQ(error->code(), -1);
  EXPECT_EQ(error->userInfo().size(), 1u);
  EXPECT_EQ(error->localizedFailureReason(),
            "NSKeyedArchiver exception with name: NSInvalidArgumentException, reason: bad "
            "object, userInfo: (null)");
}

}  // namespace
