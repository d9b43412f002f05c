#include "platform/keyed_archive.h"

#include <gtest/gtest.h>

#include "platform/plist.h"

namespace platform {
namespace {

// A stored token with a nested record, as the SDK's records look.
class TestToken : public SecureCodingObject {
 public:
  static constexpr const char* kClassName = "KATestToken";

  std::int64_t status = 0;
  std::optional<std::string> token;
  std::optional<Date> expirationDate;
  bool sandbox = false;
  double weight = 0;
  std::shared_ptr<TestToken> previous;

  std::string archiveClassName() const override { return kClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeInt64("status", status);
    if (token) coder.encodeObject("token", Value(*token));
    if (expirationDate) coder.encodeObject("expirationDate", Value(*expirationDate));
    coder.encodeBool("sandbox", sandbox);
    coder.encodeDouble("weight", weight);
    coder.encodeObject("previous", SecureCodingPtr(previous));
  }
  static SecureCodingPtr initWithCoder(KeyedUnarchiver& coder) {
    auto record = std::make_shared<TestToken>();
    record->status = coder.decodeInt64("status");
    record->token = coder.decodeString("token");
    record->expirationDate = coder.decodeDate("expirationDate");
    record->sandbox = coder.decodeBool("sandbox");
    record->weight = coder.decodeDouble("weight");
    record->previous = recordAs<TestToken>(coder.decodeObject("previous", {kClassName}));
    return record;
  }
};

// Registered under its name but refusing fields without a token, as records that "yield
// none" do.
class StrictRecord : public SecureCodingObject {
 public:
  std::optional<std::string> token;
  std::string archiveClassName() const override { return "KAStrictRecord"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    if (token) coder.encodeObject("token", Value(*token));
  }
};

class UnregisteredRecord : public SecureCodingObject {
 public:
  std::string archiveClassName() const override { return "KAUnregistered"; }
  void encodeWithCoder(KeyedArchiver&) const override {}
};

const ClassSet kValueClasses{kStringClassName, kNumberClassName,     kDataClassName, kDateClassName,
                             kArrayClassName,  kDictionaryClassName, kNullClassName};

class KeyedArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerSecureCodingClass(TestToken::kClassName, &TestToken::initWithCoder);
    registerSecureCodingClass("KAStrictRecord", [](KeyedUnarchiver& coder) -> SecureCodingPtr {
      auto token = coder.decodeString("token");
      if (!token) return nullptr;
      auto record = std::make_shared<StrictRecord>();
      record->token = token;
      return record;
    });
  }

  static Data archive(const ArchivedObject& object) {
    ErrorPtr error;
    auto data = KeyedArchiver::archivedData(object, &error);
    EXPECT_TRUE(data) << (error ? error->description() : "");
    return data.value_or(Data());
  }

  static void expectRefused(const ClassSet& allowed, const Data& data) {
    ErrorPtr error;
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject(allowed, data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kCoderReadCorruptError);
  }
};

TEST_F(KeyedArchiveTest, EveryValueKindRoundTripsAndKeepsItsKind) {
  const Date date = Date::fromTimeIntervalSinceReferenceDate(745000000.25);
  const Value values[] = {
      Value(true),
      Value(false),
      Value(std::int64_t{-42}),
      Value(std::uint64_t{18000000000000000000u}),
      Value(2.5),
      Value("text with ünïcode"),
      Value(""),
      Value(Data::fromString(std::string("\0\x01\xff", 3))),
      Value(date),
      Value(nullptr),
      Value(Array{1, "two", Array{3.5}, Dictionary{{"k", date}}}),
      Value(Dictionary{{"b", 1}, {"a", Array{}}, {"nested", Dictionary{{"x", nullptr}}}}),
      Value(Array{}),
      Value(Dictionary{}),
  };
  for (const Value& value : values) {
    SCOPED_TRACE(value.description());
    ErrorPtr error;
    auto object = KeyedUnarchiver::unarchivedObject(kValueClasses, archive(value), &error);
    ASSERT_TRUE(object) << (error ? error->description() : "nil");
    const Value* decoded = valueOf(object);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, value);
    EXPECT_EQ(decoded->type(), value.type());
  }
}

TEST_F(KeyedArchiveTest, DictionaryKeepsKeyOrder) {
  const Value value(Dictionary{{"zeta", 1}, {"alpha", 2}, {"mid", 3}});
  auto object = KeyedUnarchiver::unarchivedObject(kValueClasses, archive(value));
  ASSERT_TRUE(valueOf(object));
  EXPECT_EQ(valueOf(object)->asDictionary()->keys(),
            (std::vector<std::string>{"zeta", "alpha", "mid"}));
}

TEST_F(KeyedArchiveTest, ArchiveHasTheKeyedArchiveLayout) {
  auto document = plist::parse(archive(Value(Dictionary{{"tag", "v"}})));
  ASSERT_TRUE(document);
  EXPECT_EQ((*document)["$archiver"], Value("NSKeyedArchiver"));
  EXPECT_EQ((*document)["$version"], Value(100000));
  const Value& objects = (*document)["$objects"];
  EXPECT_EQ(objects[std::size_t{0}], Value("$null"));
  const Value& root = (*document)["$top"]["root"];
  const std::uint64_t rootIndex = root["CF$UID"].unsignedLongLongValue();
  const Value& dictionary = objects[rootIndex];
  const std::uint64_t classIndex = dictionary["$class"]["CF$UID"].unsignedLongLongValue();
  EXPECT_EQ(objects[classIndex]["$classname"], Value("NSDictionary"));
  EXPECT_EQ(objects[dictionary["NS.keys"][std::size_t{0}]["CF$UID"].unsignedLongLongValue()],
            Value("tag"));
}

TEST_F(KeyedArchiveTest, RegisteredRecordRoundTripsWithNestedRecord) {
  auto previous = std::make_shared<TestToken>();
  previous->status = 1;
  previous->token = "old";
  auto token = std::make_shared<TestToken>();
  token->status = 2;
  token->token = "abc";
  token->expirationDate = Date::fromTimeIntervalSince1970(1900000000.5);
  token->sandbox = true;
  token->weight = 0.75;
  token->previous = previous;

  ErrorPtr error;
  auto object = KeyedUnarchiver::unarchivedObject({TestToken::kClassName},
                                                  archive(SecureCodingPtr(token)), &error);
  auto decoded = recordAs<TestToken>(object);
  ASSERT_TRUE(decoded) << (error ? error->description() : "nil");
  EXPECT_EQ(decoded->status, 2);
  EXPECT_EQ(decoded->token, "abc");
  EXPECT_EQ(decoded->expirationDate, token->expirationDate);
  EXPECT_TRUE(decoded->sandbox);
  EXPECT_EQ(decoded->weight, 0.75);
  ASSERT_TRUE(decoded->previous);
  EXPECT_EQ(decoded->previous->token, "old");
  EXPECT_FALSE(decoded->previous->expirationDate);
  EXPECT_FALSE(decoded->previous->previous);
}

TEST_F(KeyedArchiveTest, ClassNamesMapOnWritingAndReading) {
  auto previous = std::make_shared<TestToken>();
  previous->token = "old";
  auto token = std::make_shared<TestToken>();
  token->token = "new";
  token->previous = previous;
  ErrorPtr error;
  const auto data = KeyedArchiver::archivedData(
      SecureCodingPtr(token), ClassNameMap{{TestToken::kClassName, "KALegacyToken"}}, &error);
  ASSERT_TRUE(data) << error->description();

  // Both records are written under the mapped name only.
  std::set<std::string> written;
  const auto document = plist::parse(*data);
  ASSERT_TRUE(document);
  for (const Value& object : *(*document)["$objects"].asArray()) {
    if (const Dictionary* fields = object.asDictionary()) {
      if (const Value* name = fields->find("$classname")) written.insert(*name->asString());
    }
  }
  EXPECT_EQ(written, (std::set<std::string>{"KALegacyToken"}));

  const ClassNameMap toTestToken{{"KALegacyToken", TestToken::kClassName}};
  struct Case {
    const char* name;
    ClassSet allowed;
    ClassNameMap classNames;
    bool decodes;
  } cases[] = {
      {"mapped to the registered class", {TestToken::kClassName}, toTestToken, true},
      {"unmapped name is not allowed", {TestToken::kClassName}, {}, false},
      {"unmapped name has no decoder", {"KALegacyToken"}, {}, false},
      {"allowed check sees the mapped name", {"KALegacyToken"}, toTestToken, false},
      {"map for another name changes nothing",
       {TestToken::kClassName},
       {{"KAOther", TestToken::kClassName}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    error.reset();
    auto decoded = recordAs<TestToken>(
        KeyedUnarchiver::unarchivedObject(c.allowed, *data, c.classNames, &error));
    EXPECT_EQ(decoded != nullptr, c.decodes);
    EXPECT_EQ(error != nullptr, !c.decodes);
    if (decoded) {
      EXPECT_EQ(decoded->token, "new");
      ASSERT_TRUE(decoded->previous);
      EXPECT_EQ(decoded->previous->token, "old");
    }
  }
}

TEST_F(KeyedArchiveTest, ANameKeepsItsFirstDecoder) {
  // Registering the same decoder again, as a repeated start-up does, is accepted.
  EXPECT_TRUE(registerSecureCodingClass(TestToken::kClassName, &TestToken::initWithCoder));
  const InitWithCoder others[] = {
      [](KeyedUnarchiver&) -> SecureCodingPtr { return std::make_shared<StrictRecord>(); },
      [](KeyedUnarchiver&) -> SecureCodingPtr { return nullptr; },
  };
  for (const InitWithCoder& other : others) {
    EXPECT_FALSE(registerSecureCodingClass(TestToken::kClassName, other));
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(registerSecureCodingClass(
        "KAReRegistered", [](KeyedUnarchiver&) -> SecureCodingPtr { return nullptr; }));
  }
  auto token = std::make_shared<TestToken>();
  token->token = "first";
  auto decoded = recordAs<TestToken>(
      KeyedUnarchiver::unarchivedObject({TestToken::kClassName}, archive(SecureCodingPtr(token))));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->token, "first");
}

TEST_F(KeyedArchiveTest, ClassOutsideTheAllowedSetFailsAnywhereInTheGraph) {
  auto token = std::make_shared<TestToken>();
  token->token = "abc";
  const Data record = archive(SecureCodingPtr(token));
  const Data dates = archive(Value(Dictionary{{"tag", Date::fromTimeIntervalSince1970(1)}}));
  struct Case {
    const char* name;
    ClassSet allowed;
    const Data* data;
  } cases[] = {
      {"record not allowed", {kDictionaryClassName}, &record},
      {"date inside dictionary", {kDictionaryClassName, kStringClassName}, &dates},
      {"key strings not allowed", {kDictionaryClassName, kDateClassName}, &dates},
      {"empty set", {}, &dates},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectRefused(c.allowed, *c.data);
  }
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(
      {kDictionaryClassName, kStringClassName, kDateClassName}, dates));
}

TEST_F(KeyedArchiveTest, RecordFieldOfRefusedClassFailsTheWholeArchive) {
  // A string where the reader expects a record: the field's class check fails the archive
  // even though the record's own decoder would go on.
  auto token = std::make_shared<TestToken>();
  auto data = archive(SecureCodingPtr(token));
  auto document = plist::parse(data);
  ASSERT_TRUE(document);
  Array objects = *(*document)["$objects"].asArray();
  objects.push_back(Value("not a record"));
  for (Value& object : objects) {
    if (Dictionary* fields = object.asDictionary(); fields && fields->contains("status")) {
      fields->set("previous", Dictionary{{"CF$UID", objects.size() - 1}});
    }
  }
  Dictionary forged = *document->asDictionary();
  forged.set("$objects", objects);
  expectRefused({TestToken::kClassName}, *plist::write(Value(forged), plist::Format::Binary));
}

TEST_F(KeyedArchiveTest, DataThatIsNotAnArchiveFails) {
  const Value notArchives[] = {
      Value(Dictionary{{"a", 1}}),
      Value(Dictionary{{"$archiver", "NSKeyedArchiver"}, {"$objects", Array{"$null"}}}),
      Value(Array{1, 2}),
  };
  expectRefused(kValueClasses, Data());
  expectRefused(kValueClasses, Data::fromString("definitely not a property list"));
  for (const Value& value : notArchives) {
    SCOPED_TRACE(value.description());
    expectRefused(kValueClasses, *plist::write(value, plist::Format::Binary));
  }
}

TEST_F(KeyedArchiveTest, HostileReferencesFailInsteadOfLooping) {
  auto uid = [](std::uint64_t n) { return Value(Dictionary{{"CF$UID", n}}); };
  const Value classEntry(
      Dictionary{{"$classname", "NSArray"}, {"$classes", Array{"NSArray", "NSObject"}}});
  const Array graphs[] = {
      // An array that holds itself.
      {Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(1)}}, {"$class", uid(2)}}),
       classEntry},
      // A reference past the end of the objects.
      {Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(9)}}, {"$class", uid(2)}}),
       classEntry},
      // A class reference that is not a class entry.
      {Value("$null"), Value(Dictionary{{"NS.objects", Array{}}, {"$class", uid(0)}})},
  };
  for (const Array& objects : graphs) {
    const Value archive(Dictionary{{"$version", 100000},
                                   {"$archiver", "NSKeyedArchiver"},
                                   {"$top", Dictionary{{"root", uid(1)}}},
                                   {"$objects", objects}});
    expectRefused(kValueClasses, *plist::write(archive, plist::Format::Binary));
  }
}

TEST_F(KeyedArchiveTest, NilRootAndRefusingRecordGiveNoneWithoutError) {
  auto strict = std::make_shared<StrictRecord>();
  for (const ArchivedObject& root :
       {ArchivedObject(SecureCodingPtr()), ArchivedObject(SecureCodingPtr(strict))}) {
    ErrorPtr error;
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject({"KAStrictRecord"}, archive(root), &error));
    EXPECT_FALSE(error);
  }
  strict->token = "t";
  auto decoded = recordAs<StrictRecord>(
      KeyedUnarchiver::unarchivedObject({"KAStrictRecord"}, archive(SecureCodingPtr(strict))));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->token, "t");
}

TEST_F(KeyedArchiveTest, ArchivingFailsForUnregisteredClassAndUnstorableValue) {
  const ArchivedObject objects[] = {
      SecureCodingPtr(std::make_shared<UnregisteredRecord>()),
      Value(Array{Value(std::string("nul\0inside", 10))}),
      // Text that is not UTF-8 would read back as other text.
      Value(std::string("caf\xe9")),
      Value(Dictionary{{std::string("\xff"), 1}}),
  };
  for (const auto& object : objects) {
    ErrorPtr error;
    EXPECT_FALSE(KeyedArchiver::archivedData(object, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kCoderInvalidValueError);
  }
}

}  // namespace
}  // namespace platform
