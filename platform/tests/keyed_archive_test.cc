#include "platform/keyed_archive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

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

// A record of two fields that may refer to the same record, counting how often it is decoded.
class SharedPair : public SecureCodingObject {
 public:
  static constexpr const char* kClassName = "KASharedPair";
  static inline std::atomic<int> decodings{0};

  std::shared_ptr<SharedPair> left;
  std::shared_ptr<SharedPair> right;

  std::string archiveClassName() const override { return kClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject("left", SecureCodingPtr(left));
    coder.encodeObject("right", SecureCodingPtr(right));
  }
  static SecureCodingPtr initWithCoder(KeyedUnarchiver& coder) {
    ++decodings;
    auto record = std::make_shared<SharedPair>();
    record->left = recordAs<SharedPair>(coder.decodeObject("left", {kClassName}));
    record->right = recordAs<SharedPair>(coder.decodeObject("right", {kClassName}));
    return record;
  }
};

// Reads one field as an array of strings and another as an array of arrays only.
class MixedSets : public SecureCodingObject {
 public:
  static constexpr const char* kClassName = "KAMixedSets";
  std::string archiveClassName() const override { return kClassName; }
  void encodeWithCoder(KeyedArchiver&) const override {}
  static SecureCodingPtr initWithCoder(KeyedUnarchiver& coder) {
    coder.decodeObject("wide", {kArrayClassName, kStringClassName});
    coder.decodeObject("narrow", {kArrayClassName});
    return std::make_shared<MixedSets>();
  }
};

Value uid(std::uint64_t index) { return Value(Dictionary{{"CF$UID", index}}); }

// A keyed archive of the given objects (after "$null") whose root is object 1.
Data handMadeArchive(Array objects) {
  objects.insert(objects.begin(), Value("$null"));
  const Value archive(Dictionary{{"$version", 100000},
                                 {"$archiver", "NSKeyedArchiver"},
                                 {"$top", Dictionary{{"root", uid(1)}}},
                                 {"$objects", std::move(objects)}});
  return *plist::write(archive, plist::Format::Binary);
}

Value classEntry(const std::string& name) {
  return Dictionary{{"$classname", name}, {"$classes", Array{name, "NSObject"}}};
}

// Objects 1 to `levels` each refer to the next one twice, through the two keys.
Data doublingArchive(std::size_t levels, const std::string& className, const std::string& first,
                     const std::string& second, bool asArrays) {
  Array objects;
  const std::uint64_t leaf = levels + 1, classIndex = levels + 2;
  for (std::uint64_t i = 1; i <= levels; ++i) {
    if (asArrays) {
      objects.push_back(
          Dictionary{{"NS.objects", Array{uid(i + 1), uid(i + 1)}}, {"$class", uid(classIndex)}});
    } else {
      objects.push_back(
          Dictionary{{first, uid(i + 1)}, {second, uid(i + 1)}, {"$class", uid(classIndex)}});
    }
  }
  objects.push_back(asArrays ? Value("leaf") : Value(Dictionary{{"$class", uid(classIndex)}}));
  objects.push_back(classEntry(className));
  EXPECT_EQ(objects.size(), classIndex);
  (void)leaf;
  return handMadeArchive(std::move(objects));
}

const ClassSet kValueClasses{kStringClassName, kNumberClassName,     kDataClassName, kDateClassName,
                             kArrayClassName,  kDictionaryClassName, kNullClassName};

class KeyedArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerSecureCodingClass(TestToken::kClassName, &TestToken::initWithCoder);
    registerSecureCodingClass(SharedPair::kClassName, &SharedPair::initWithCoder);
    registerSecureCodingClass(MixedSets::kClassName, &MixedSets::initWithCoder);
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
      // Nil inside a collection, which no collection can hold (and which would be rewritten as
      // a null that the same reader refuses).
      {Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(0)}}, {"$class", uid(2)}}),
       classEntry},
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

TEST_F(KeyedArchiveTest, SharedReferencesDecodeOnceAndGiveTheSameRecord) {
  // 26 levels, each record referring to the next one twice: 2^26 decodings if each
  // reference were decoded again.
  constexpr std::size_t kLevels = 26;
  const Data data = doublingArchive(kLevels, SharedPair::kClassName, "left", "right", false);
  EXPECT_LT(data.size(), 1200u);
  SharedPair::decodings = 0;
  ErrorPtr error;
  const auto start = std::chrono::steady_clock::now();
  auto root = recordAs<SharedPair>(
      KeyedUnarchiver::unarchivedObject({SharedPair::kClassName}, data, &error));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(root) << (error ? error->description() : "nil");
  EXPECT_LT(elapsed, std::chrono::milliseconds(500));
  EXPECT_EQ(SharedPair::decodings, static_cast<int>(kLevels + 1));
  std::size_t depth = 0;
  for (auto record = root; record; record = record->left, ++depth) {
    EXPECT_EQ(record->left, record->right) << "level " << depth;
  }
  EXPECT_EQ(depth, kLevels + 1);

  // Archived by this program, a record held twice is written once and read back once.
  auto shared = std::make_shared<SharedPair>();
  auto pair = std::make_shared<SharedPair>();
  pair->left = shared;
  pair->right = shared;
  auto back = recordAs<SharedPair>(
      KeyedUnarchiver::unarchivedObject({SharedPair::kClassName}, archive(SecureCodingPtr(pair))));
  ASSERT_TRUE(back && back->left);
  EXPECT_NE(back->left, back->right);  // the archiver writes each reference of its own
}

TEST_F(KeyedArchiveTest, SharedValuesDecodeWithinTheBudgetAndAreRefusedPastIt) {
  Value expected = "leaf";
  for (int i = 0; i < 10; ++i) expected = Array{expected, expected};
  ErrorPtr error;
  auto small = KeyedUnarchiver::unarchivedObject(
      kValueClasses, doublingArchive(10, kArrayClassName, "", "", true), &error);
  ASSERT_TRUE(valueOf(small)) << (error ? error->description() : "nil");
  EXPECT_EQ(*valueOf(small), expected);

  // 26 levels of arrays stand for 2^26 strings: past the budget, refused quickly.
  const auto start = std::chrono::steady_clock::now();
  expectRefused(kValueClasses, doublingArchive(26, kArrayClassName, "", "", true));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(KeyedArchiveTest, ASharedValueIsCheckedAgainstTheClassesAllowedWhereItIsReferred) {
  // Both fields refer to one array holding a string; the second reader allows no strings.
  const Array objects{
      Dictionary{{"wide", uid(2)}, {"narrow", uid(2)}, {"$class", uid(5)}},
      Dictionary{{"NS.objects", Array{uid(3)}}, {"$class", uid(4)}},
      Value("text"),
      classEntry(kArrayClassName),
      classEntry(MixedSets::kClassName),
  };
  expectRefused({MixedSets::kClassName}, handMadeArchive(objects));
}

TEST_F(KeyedArchiveTest, RecordCyclesAreStillRefused) {
  const Array objects{
      Dictionary{{"left", uid(2)}, {"right", uid(0)}, {"$class", uid(3)}},
      Dictionary{{"left", uid(1)}, {"$class", uid(3)}},
      classEntry(SharedPair::kClassName),
  };
  expectRefused({SharedPair::kClassName}, handMadeArchive(objects));
  const Array selfHeld{
      Dictionary{{"left", uid(1)}, {"$class", uid(2)}},
      classEntry(SharedPair::kClassName),
  };
  expectRefused({SharedPair::kClassName}, handMadeArchive(selfHeld));
}

}  // namespace
}  // namespace platform
