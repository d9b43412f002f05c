#include "platform/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <regex>
#include <set>

#include "platform/clock.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/json.h"
#include "platform/keyed_archive.h"
#include "platform/plist.h"
#include "platform/uuid.h"

namespace platform {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();

TEST(ValueTest, ConstructorsKeepKindsApart) {
  EXPECT_EQ(Value().type(), Value::Type::Null);
  EXPECT_EQ(Value(nullptr).type(), Value::Type::Null);
  EXPECT_EQ(Value(static_cast<const char*>(nullptr)).type(), Value::Type::Null);
  EXPECT_EQ(Value(true).type(), Value::Type::Bool);
  EXPECT_EQ(Value(1).type(), Value::Type::Int);
  EXPECT_EQ(Value(short{1}).type(), Value::Type::Int);
  EXPECT_EQ(Value(1u).type(), Value::Type::UInt);
  EXPECT_EQ(Value(std::uint8_t{1}).type(), Value::Type::UInt);
  EXPECT_EQ(Value(1.0).type(), Value::Type::Double);
  EXPECT_EQ(Value(1.0f).type(), Value::Type::Double);
  EXPECT_EQ(Value("a").type(), Value::Type::String);
  EXPECT_EQ(Value(std::string_view("a")).type(), Value::Type::String);
  EXPECT_EQ(Value(Data()).type(), Value::Type::Data);
  EXPECT_EQ(Value(Date()).type(), Value::Type::Date);
  EXPECT_EQ(Value(Array{}).type(), Value::Type::Array);
  EXPECT_EQ(Value(Dictionary{}).type(), Value::Type::Dictionary);
  EXPECT_TRUE(Value(true).isNumber());
  EXPECT_FALSE(Value("1").isNumber());
}

struct EqualityCase {
  const char* name;
  Value a;
  Value b;
  bool equal;
};

TEST(ValueTest, EqualityTable) {
  const EqualityCase cases[] = {
      {"true == 1", true, 1, true},
      {"true == 1.0", true, 1.0, true},
      {"1 == 1.0", 1, 1.0, true},
      {"false == 0u", false, 0u, true},
      {"true != 2", true, 2, false},
      {"Int -1 != UInt max", -1, kUInt64Max, false},
      {"Int 5 == UInt 5", 5, 5u, true},
      {"UInt max == UInt max", kUInt64Max, kUInt64Max, true},
      {"0.5 != 0", 0.5, 0, false},
      {"2^63 as double != Int max", 9223372036854775808.0, kInt64Max, false},
      {"2^64 as double != UInt max", 18446744073709551616.0, kUInt64Max, false},
      {"2^53 as double == Int 2^53", 9007199254740992.0, std::int64_t{9007199254740992}, true},
      {"2^53 as double != Int 2^53+1", 9007199254740992.0, std::int64_t{9007199254740993}, false},
      {"-0.0 == 0", -0.0, 0, true},
      {"NaN != NaN", std::nan(""), std::nan(""), false},
      {"string != number", "1", 1, false},
      {"strings", "a", std::string("a"), true},
      {"null == null", Value(), nullptr, true},
      {"null != 0", Value(), 0, false},
      {"null != empty string", Value(), "", false},
      {"data", Data::fromString("ab"), Data::fromString("ab"), true},
      {"data differs", Data::fromString("ab"), Data::fromString("ac"), false},
      {"dates", Date::fromTimeIntervalSince1970(5),
       Date::fromTimeIntervalSinceReferenceDate(5 - Date::kReferenceDateOffset), true},
      {"date != number", Date::fromTimeIntervalSince1970(5), 5, false},
      {"arrays compare numbers numerically", Array{1, "a"}, Array{1.0, "a"}, true},
      {"array order matters", Array{1, 2}, Array{2, 1}, false},
      {"array length matters", Array{1}, Array{1, 1}, false},
      {"dictionary order does not matter", Dictionary{{"a", 1}, {"b", 2}},
       Dictionary{{"b", 2}, {"a", true}}, true},
      {"dictionary values differ", Dictionary{{"a", 1}}, Dictionary{{"a", 2}}, false},
      {"dictionary keys differ", Dictionary{{"a", 1}}, Dictionary{{"b", 1}}, false},
      {"nested", Dictionary{{"a", Array{Dictionary{{"x", 1}}}}},
       Dictionary{{"a", Array{Dictionary{{"x", 1u}}}}}, true},
      {"empty array != empty dictionary", Array{}, Dictionary{}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.b == c.a, c.equal) << c.name << " (reversed)";
  }
}

TEST(ValueTest, TypedAccessIsExact) {
  EXPECT_EQ(Value(kUInt64Max).asInt(), std::nullopt);
  EXPECT_EQ(Value(5u).asInt(), 5);
  EXPECT_EQ(Value(-1).asUInt(), std::nullopt);
  EXPECT_EQ(Value(7).asUInt(), 7u);
  EXPECT_EQ(Value(1).asBool(), std::nullopt);
  EXPECT_EQ(Value(true).asBool(), true);
  EXPECT_EQ(Value(true).asInt(), std::nullopt);
  EXPECT_EQ(Value(true).asDouble(), 1.0);
  EXPECT_EQ(Value(3).asDouble(), 3.0);
  EXPECT_EQ(Value("3").asDouble(), std::nullopt);
  EXPECT_EQ(Value(3).asString(), nullptr);
  EXPECT_EQ(*Value("x").asString(), "x");
  EXPECT_EQ(Value(1).asArray(), nullptr);
  EXPECT_EQ(Value(1).asDictionary(), nullptr);
  EXPECT_EQ(Value(1).asDate(), std::nullopt);

  Value array = Array{1, 2};
  array.asArray()->push_back(3);
  EXPECT_EQ(array.count(), 3u);
  EXPECT_EQ(array[2], 3);
  EXPECT_TRUE(array[3].isNull());
  EXPECT_TRUE(array["key"].isNull());

  Value dictionary = Dictionary{{"k", "v"}};
  EXPECT_EQ(dictionary["k"], "v");
  EXPECT_TRUE(dictionary["missing"].isNull());
  EXPECT_TRUE(dictionary[0].isNull());
  EXPECT_EQ(Value(5).count(), 0u);
}

struct ReadingCase {
  Value value;
  std::int64_t integer;
  bool boolean;
  double real;
};

TEST(ValueTest, ReadingsTable) {
  const ReadingCase cases[] = {
      {"  42abc", 42, true, 42},
      {"abc", 0, false, 0},
      {"-7", -7, true, -7},
      {"+8", 8, true, 8},
      {"3.9", 3, true, 3.9},
      {"YES", 0, true, 0},
      {"yes", 0, true, 0},
      {"true", 0, true, 0},
      {"T", 0, true, 0},
      {"1", 1, true, 1},
      {"Y", 0, true, 0},
      {"NO", 0, false, 0},
      {"false", 0, false, 0},
      {"0", 0, false, 0},
      {"007", 7, true, 7},
      {"", 0, false, 0},
      {"\t\n 12", 12, true, 12},
      {"1.5e3", 1, true, 1500},
      {".5", 0, false, 0.5},
      {"2e", 2, true, 2},
      {"1e999", 1, true, std::numeric_limits<double>::infinity()},
      {"99999999999999999999", kInt64Max, true, 1e20},
      {"-99999999999999999999", std::numeric_limits<std::int64_t>::min(), true, -1e20},
      {true, 1, true, 1},
      {false, 0, false, 0},
      {3.9, 3, true, 3.9},
      {-3.9, -3, true, -3.9},
      {0.25, 0, true, 0.25},
      {1e300, kInt64Max, true, 1e300},
      {-1e300, std::numeric_limits<std::int64_t>::min(), true, -1e300},
      {std::nan(""), 0, true, std::nan("")},
      {kUInt64Max, -1, true, 18446744073709551615.0},
      {Value(), 0, false, 0},
      {Array{1}, 0, false, 0},
      {Data::fromString("1"), 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    EXPECT_EQ(c.value.integerValue(), c.integer);
    EXPECT_EQ(c.value.longLongValue(), c.integer);
    EXPECT_EQ(c.value.boolValue(), c.boolean);
    if (std::isnan(c.real)) {
      EXPECT_TRUE(std::isnan(c.value.doubleValue()));
    } else {
      EXPECT_EQ(c.value.doubleValue(), c.real);
    }
  }
}

TEST(ValueTest, NarrowAndUnsignedReadings) {
  EXPECT_EQ(Value("99999999999").intValue(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Value("-99999999999").intValue(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Value(std::int64_t{0x100000005}).intValue(), 5);
  EXPECT_EQ(Value(1e300).intValue(), -1);  // saturates to INT64_MAX, then narrows
  EXPECT_EQ(Value(-1).unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value(kUInt64Max).unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value("18446744073709551615").unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value("99999999999999999999").unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value("-1").unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value(1e30).unsignedLongLongValue(), kUInt64Max);
  EXPECT_EQ(Value(2.5).unsignedLongLongValue(), 2u);
}

TEST(DictionaryTest, KeepsInsertionOrderAndReplacesInPlace) {
  Dictionary d{{"c", 1}, {"a", 2}, {"c", 3}};
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(d["c"], 3);  // a repeated key keeps its place and takes the last value

  d.set("b", 4);
  d.set("a", 5);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(d["a"], 5);
  EXPECT_TRUE(d.contains("b"));
  EXPECT_TRUE(d["zzz"].isNull());
  EXPECT_EQ(d.find("zzz"), nullptr);

  EXPECT_TRUE(d.erase("c"));
  EXPECT_FALSE(d.erase("c"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
  *d.find("b") = "changed";
  EXPECT_EQ(d["b"], "changed");

  d.clear();
  EXPECT_TRUE(d.empty());
  EXPECT_FALSE(d.contains("a"));
}

// Large dictionaries switch to a hash index; lookups must stay right through growth,
// erasure (positions shift), shrinking back below the threshold, copies and moves.
TEST(DictionaryTest, LargeDictionaryLookupThroughGrowthEraseCopyAndMove) {
  constexpr int kCount = 1000;
  Dictionary d;
  for (int i = 0; i < kCount; ++i) d.set("key" + std::to_string(i), i);
  ASSERT_EQ(d.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(d["key" + std::to_string(i)], i) << i;
  EXPECT_FALSE(d.contains("key" + std::to_string(kCount)));

  for (int i = 0; i < kCount; i += 3) ASSERT_TRUE(d.erase("key" + std::to_string(i)));
  for (int i = 0; i < kCount; ++i) {
    const Value* value = d.find("key" + std::to_string(i));
    if (i % 3 == 0) {
      ASSERT_EQ(value, nullptr) << i;
    } else {
      ASSERT_NE(value, nullptr) << i;
      ASSERT_EQ(*value, i);
    }
  }
  EXPECT_EQ(d.begin()->first, "key1");  // order survives erasure

  auto copy = std::make_unique<Dictionary>(d);
  d.set("key1", "replaced");
  d.set("new", 1);
  EXPECT_EQ((*copy)["key1"], 1);
  EXPECT_FALSE(copy->contains("new"));
  Dictionary moved = std::move(*copy);
  copy.reset();
  EXPECT_EQ(moved["key2"], 2);
  EXPECT_EQ(moved["key998"], 998);

  Dictionary assigned;
  assigned = moved;
  for (int i = 0; i < kCount; ++i) {
    if (i % 3 != 0) assigned.erase("key" + std::to_string(i));
  }
  EXPECT_TRUE(assigned.empty());
  for (int i = 0; i < 20; ++i) assigned.set(std::to_string(i), i);
  for (int i = 0; i < 5; ++i) assigned.erase(std::to_string(i));
  for (int i = 5; i < 20; ++i) EXPECT_EQ(assigned[std::to_string(i)], i);
}

// An object of the program's own that equals another of its class with the same label.
class Labelled : public ValueObject {
 public:
  explicit Labelled(std::string label) : label_(std::move(label)) {}
  const char* className() const override { return "Labelled"; }
  std::string description() const override { return "<" + label_ + ">"; }
  bool isEqual(const ValueObject& other) const override {
    const auto* labelled = dynamic_cast<const Labelled*>(&other);
    return labelled != nullptr && labelled->label_ == label_;
  }

 private:
  std::string label_;
};

TEST(ValueTest, ObjectsAreHeldComparedAndDescribedByThemselvesAndNeverWritten) {
  const auto a = std::make_shared<Labelled>("a");
  const Value held(a);
  EXPECT_TRUE(held.isObject());
  EXPECT_FALSE(held.isNumber());
  EXPECT_EQ(held.asObjectOf<Labelled>(), a);
  EXPECT_EQ(Value(1).asObject(), nullptr);
  EXPECT_TRUE(Value(std::shared_ptr<Labelled>()).isNull());

  EXPECT_EQ(held, Value(std::make_shared<Labelled>("a")));
  EXPECT_NE(held, Value(std::make_shared<Labelled>("b")));
  EXPECT_NE(held, Value("<a>"));
  EXPECT_NE(held, Value());
  EXPECT_EQ(held.description(), "<a>");
  EXPECT_EQ(Value(Array{held, 1}).description(), "(\n    <a>,\n    1\n)");
  EXPECT_EQ(classNameOf(held), std::string("Labelled"));

  const Value nested(Dictionary{{"object", held}});
  EXPECT_EQ(json::write(nested), std::nullopt);
  EXPECT_EQ(plist::write(nested, plist::Format::Binary), std::nullopt);
  ErrorPtr error;
  EXPECT_EQ(KeyedArchiver::archivedData(nested, &error), std::nullopt);
  EXPECT_NE(error, nullptr);
}

TEST(ValueTest, Description) {
  EXPECT_EQ(Value().description(), "<null>");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(false).description(), "0");
  EXPECT_EQ(Value(-42).description(), "-42");
  EXPECT_EQ(Value(kUInt64Max).description(), "18446744073709551615");
  EXPECT_EQ(Value(1.0).description(), "1");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(1.5).description(), "1.5");
  EXPECT_EQ(Value(1e300).description(), "1e+300");
  EXPECT_EQ(Value("plain text").description(), "plain text");
  EXPECT_EQ(Value(Data::fromString("\x01\x02\x03\x04\xff")).description(), "<01020304 ff>");
  EXPECT_EQ(Value(Date::fromTimeIntervalSinceReferenceDate(0)).description(),
            "2001-01-01 00:00:00 +0000");
  // Dates from outside may hold any double: shown at the calendar's ends, never undefined.
  EXPECT_EQ(Value(Date::fromTimeIntervalSince1970(1e300)).description(),
            "9999-12-31 23:59:59 +0000");
  EXPECT_EQ(Value(Date::fromTimeIntervalSince1970(-1e300)).description(),
            "1-01-01 00:00:00 +0000");
  EXPECT_EQ(Value(Date::fromTimeIntervalSince1970(std::nan(""))).description(),
            "1970-01-01 00:00:00 +0000");

  const Value nested = Dictionary{
      {"name", "two words"},
      {"list", Array{1, "x", Array{}}},
      {"empty", ""},
      {"inner", Dictionary{{"k", 2.5}}},
  };
  EXPECT_EQ(nested.description(), "{\n"
                                  "    name = \"two words\";\n"
                                  "    list = (\n"
                                  "        1,\n"
                                  "        x,\n"
                                  "        (\n"
                                  "        )\n"
                                  "    );\n"
                                  "    empty = \"\";\n"
                                  "    inner = {\n"
                                  "        k = 2.5;\n"
                                  "    };\n"
                                  "}");
}

TEST(DataTest, HexStringAndBasics) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  Data data(bytes, sizeof bytes);
  EXPECT_EQ(data.hexString(), "000fa0ff");
  EXPECT_EQ(Data().hexString(), "");
  data.append(Data::fromString("A"));
  EXPECT_EQ(data.hexString(), "000fa0ff41");
  EXPECT_EQ(data.length(), 5u);
}

TEST(DateTest, ReferenceDateViewAndNowFromTheInstalledClock) {
  const Date date = Date::fromTimeIntervalSinceReferenceDate(10);
  EXPECT_EQ(date.timeIntervalSince1970(), Date::kReferenceDateOffset + 10);
  EXPECT_EQ(date.timeIntervalSinceReferenceDate(), 10);

  auto clock = std::make_shared<ManualClock>(Date::fromTimeIntervalSince1970(1'000'000));
  Clock::install(clock);
  EXPECT_EQ(Date::now(), Date::fromTimeIntervalSince1970(1'000'000));
  EXPECT_EQ(Date::fromTimeIntervalSince1970(1'000'060).timeIntervalSinceNow(), 60);
  clock->advance(30);
  EXPECT_EQ(Date::now(), Date::fromTimeIntervalSince1970(1'000'030));
  Clock::install(nullptr);
}

TEST(UUIDTest, RandomIsVersion4InUpperCaseCanonicalForm) {
  const std::regex canonical("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string text = UUID::random().string();
    EXPECT_TRUE(std::regex_match(text, canonical)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(UUID().string(), "00000000-0000-0000-0000-000000000000");
}

TEST(UUIDTest, FromString) {
  const auto uuid = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(uuid->bytes()[0], 0xE6);
  EXPECT_EQ(uuid->bytes()[15], 0x5F);
  EXPECT_EQ(UUID::fromString(uuid->string()), uuid);

  for (const char* bad : {
           "",
           "E621E1F8C36C495A93FC0C247A3E6E5F",
           "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
           "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF",
           "E621E1F8-C36C-495A-93FC_0C247A3E6E5F",
           "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
           "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",
       }) {
    EXPECT_EQ(UUID::fromString(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace platform
