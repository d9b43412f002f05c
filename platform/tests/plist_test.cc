#include "platform/plist.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace platform::plist {
namespace {

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();

// Every kind a property list holds, with the edge values of each.
Value sampleDocument() {
  return Dictionary{
      {"zeta", "first key stays first"},
      {"yes", true},
      {"no", false},
      {"one", 1},
      {"zero", 0},
      {"negative", -5},
      {"int64 min", kInt64Min},
      {"int64 max", kInt64Max},
      {"just above int64", static_cast<std::uint64_t>(kInt64Max) + 1},
      {"uint64 max", kUInt64Max},
      {"real", 0.1},
      {"huge", 1e300},
      {"negative real", -2.5},
      {"text", "caf\xc3\xa9 \xe4\xb8\xad <&> \"quoted\""},
      {"empty", ""},
      {"data", Data::fromString(std::string("\x00\x01\xff", 3))},
      {"no data", Data()},
      {"date", Date::fromTimeIntervalSinceReferenceDate(700'000'000)},
      {"old date", Date::fromTimeIntervalSinceReferenceDate(-86'400 * 365)},
      {"list", Array{1, "two", Array{}, Dictionary{}}},
      {"nested", Dictionary{{"b", 2}, {"a", Array{true, 3.5}}}},
  };
}

// Equality compares numbers across kinds; a round trip must also keep each kind.
void expectSameKinds(const Value& a, const Value& b, const std::string& where) {
  ASSERT_EQ(a.type(), b.type()) << where;
  if (const auto* array = a.asArray()) {
    for (std::size_t i = 0; i < array->size(); ++i) {
      expectSameKinds((*array)[i], b[i], where + "[" + std::to_string(i) + "]");
    }
  } else if (const auto* dictionary = a.asDictionary()) {
    EXPECT_EQ(dictionary->keys(), b.asDictionary()->keys()) << where;
    for (const auto& [key, value] : *dictionary) expectSameKinds(value, b[key], where + "." + key);
  }
}

class PlistFormatTest : public ::testing::TestWithParam<Format> {};

TEST_P(PlistFormatTest, RoundTripsEveryKindWithItsKindAndKeyOrder) {
  const Value document = sampleDocument();
  ErrorPtr error;
  const auto data = write(document, GetParam(), &error);
  ASSERT_TRUE(data) << error->description();
  const auto back = parse(*data, &error);
  ASSERT_TRUE(back) << error->description();
  EXPECT_EQ(*back, document) << back->description();
  expectSameKinds(document, *back, "root");
  EXPECT_EQ((*back)["int64 min"].asInt(), kInt64Min);
  EXPECT_EQ((*back)["uint64 max"].asUInt(), kUInt64Max);
  EXPECT_EQ((*back)["negative"].asInt(), -5);
}

TEST_P(PlistFormatTest, BooleanStaysBooleanAndOneStaysInteger) {
  const auto back = parse(*write(Array{true, 1, false, 0}, GetParam()));
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0].type(), Value::Type::Bool);
  EXPECT_EQ((*back)[1].type(), Value::Type::Int);
  EXPECT_EQ((*back)[2].type(), Value::Type::Bool);
  EXPECT_EQ((*back)[3].type(), Value::Type::Int);
}

TEST_P(PlistFormatTest, ScalarTopLevel) {
  for (const Value& value : {Value("alone"), Value(-7), Value(2.5), Value(true)}) {
    const auto back = parse(*write(value, GetParam()));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, value);
    EXPECT_EQ(back->type(), value.type());
  }
}

TEST_P(PlistFormatTest, WhatAPropertyListCannotHoldFails) {
  const Value invalid[] = {
      Value(),
      Array{1, Value()},
      Dictionary{{"a", Dictionary{{"b", nullptr}}}},
      Array{Date::distantFuture()},
      Array{std::string("nul\0inside", 10)},
      Dictionary{{std::string("k\0ey", 4), 1}},
      // Text that is not UTF-8 would come back as other text.
      Array{std::string("caf\xe9")},
      Array{std::string("\xed\xa0\x80 lone surrogate")},
      Dictionary{{std::string("\xff\xfe"), 1}},
  };
  for (const auto& value : invalid) {
    ErrorPtr error;
    EXPECT_FALSE(write(value, GetParam(), &error)) << value.description();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kWriteInvalidError);
  }
}

TEST_P(PlistFormatTest, KeyedArchiveReferencesRoundTrip) {
  const Value archive = Dictionary{{"$top", Dictionary{{"root", Dictionary{{"CF$UID", 1}}}}}};
  const auto back = parse(*write(archive, GetParam()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, archive);
}

INSTANTIATE_TEST_SUITE_P(Formats, PlistFormatTest, ::testing::Values(Format::XML, Format::Binary),
                         [](const auto& info) {
                           return info.param == Format::XML ? "XML" : "Binary";
                         });

TEST(PlistTest, FormatsAreWhatTheyClaim) {
  const auto xml = write(Dictionary{{"k", 1}}, Format::XML);
  const auto binary = write(Dictionary{{"k", 1}}, Format::Binary);
  ASSERT_TRUE(xml && binary);
  EXPECT_EQ(xml->toString().rfind("<?xml", 0), 0u);
  EXPECT_NE(xml->toString().find("<key>k</key>"), std::string::npos);
  EXPECT_EQ(binary->toString().rfind("bplist00", 0), 0u);
}

TEST(PlistTest, DatePrecisionPerFormat) {
  const Date fractional = Date::fromTimeIntervalSinceReferenceDate(700'000'000.25);
  const Date beforeReference = Date::fromTimeIntervalSinceReferenceDate(-1000.5);
  const auto binary = parse(*write(Array{fractional, beforeReference}, Format::Binary));
  ASSERT_TRUE(binary);
  EXPECT_EQ((*binary)[0].asDate(), fractional);
  EXPECT_EQ((*binary)[1].asDate(), beforeReference);
  // XML dates carry whole seconds.
  const auto xml = parse(*write(Array{fractional}, Format::XML));
  ASSERT_TRUE(xml);
  EXPECT_EQ((*xml)[0].asDate(), Date::fromTimeIntervalSinceReferenceDate(700'000'000));
}

TEST(PlistTest, ReadsHandWrittenXML) {
  const auto value = parse(Data::fromString(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.app</string>
  <key>Count</key><integer>-3</integer>
  <key>Big</key><integer>18446744073709551615</integer>
  <key>Enabled</key><true/>
  <key>When</key><date>2001-01-02T00:00:00Z</date>
  <key>Blob</key><data>AAEC</data>
</dict>
</plist>)"));
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["CFBundleIdentifier"], "com.example.app");
  EXPECT_EQ((*value)["Count"].asInt(), -3);
  EXPECT_EQ((*value)["Big"].asUInt(), kUInt64Max);
  EXPECT_EQ((*value)["Enabled"].type(), Value::Type::Bool);
  EXPECT_EQ((*value)["When"].asDate(), Date::fromTimeIntervalSinceReferenceDate(86400));
  EXPECT_EQ((*value)["Blob"], Data::fromString(std::string("\0\1\2", 3)));
}

TEST(PlistTest, RealsReadTheSameInEveryLocale) {
  const char* chosen = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (!chosen) chosen = std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  if (!chosen) GTEST_SKIP() << "no locale with a decimal comma installed";
  const auto back = parse(*write(Array{0.5, -2.25}, Format::XML));
  std::setlocale(LC_NUMERIC, "C");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Value(Array{0.5, -2.25}));
}

TEST(PlistTest, CorruptDataIsAnError) {
  const Data truncated = [] {
    Data binary = *write(sampleDocument(), Format::Binary);
    binary.vector().resize(binary.size() / 2);
    return binary;
  }();
  for (const Data& bad : {Data(), Data::fromString("hello"), Data::fromString("bplist00"),
                          Data::fromString("{\"json\": 1}"), truncated}) {
    ErrorPtr error;
    EXPECT_FALSE(parse(bad, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kReadCorruptError);
  }
}

// --- Hostile input -------------------------------------------------------------------
// Binary lists made by hand: "bplist00", the objects (object i is the i-th), the offset table
// and the 32-byte trailer.

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int value : values) out.push_back(static_cast<char>(value));
  return out;
}

void appendBigEndian(std::string& out, std::uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

// An object reference of the given size.
std::string ref(std::uint64_t index, int refSize = 1) {
  std::string out;
  appendBigEndian(out, index, refSize);
  return out;
}

Data binaryList(const std::vector<std::string>& objects, std::uint64_t top = 0, int refSize = 1) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const std::uint64_t tableOffset = out.size();
  const int offsetSize = tableOffset < (1u << 8) ? 1 : tableOffset < (1u << 16) ? 2 : 4;
  for (std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
  out += std::string(6, '\0');
  out.push_back(static_cast<char>(offsetSize));
  out.push_back(static_cast<char>(refSize));
  appendBigEndian(out, objects.size(), 8);
  appendBigEndian(out, top, 8);
  appendBigEndian(out, tableOffset, 8);
  return Data::fromString(out);
}

// The data with `width` bytes at `fromEnd` bytes before its end replaced by the value.
Data patched(const Data& data, std::size_t fromEnd, std::uint64_t value, int width) {
  std::string text = data.toString();
  std::string field;
  appendBigEndian(field, value, width);
  text.replace(text.size() - fromEnd, static_cast<std::size_t>(width), field);
  return Data::fromString(text);
}

void expectRefused(const Data& data, const std::string& what) {
  SCOPED_TRACE(what);
  ErrorPtr error;
  EXPECT_FALSE(parse(data, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), kReadCorruptError);
}

std::string nestedXML(std::size_t depth, const std::string& inner = "") {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  xml.reserve(xml.size() + depth * 15 + 100);
  for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
  xml += inner;
  for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
  return xml + "</plist>";
}

// Arrays each holding the next, the innermost empty: 2-byte references and 3-byte offsets.
Data nestedBinary(std::size_t depth) {
  std::vector<std::string> objects;
  for (std::size_t i = 0; i + 1 < depth; ++i) objects.push_back("\xA1" + ref(i + 1, 2));
  objects.push_back(bytes({0xA0}));
  return binaryList(objects, 0, 2);
}

std::size_t depthOf(const Value& value) {
  std::size_t depth = 0;
  for (const Value* v = &value; v && v->isArray();
       v = v->count() ? &(*v)[std::size_t{0}] : nullptr) {
    ++depth;
  }
  return depth;
}

TEST(PlistHostileTest, BinaryKeyHoldingNulIsRefusedNotAborted) {
  // {"a\0": 1} with a UTF-16 key: the library's key accessor asserted on it.
  const Data utf16Key =
      binaryList({bytes({0xD1, 1, 2}), bytes({0x62, 0, 'a', 0, 0}), bytes({0x10, 0x01})});
  ASSERT_EQ(utf16Key.size(), 53u);
  expectRefused(utf16Key, "UTF-16 key with NUL");
  // The library cut an ASCII key short at the NUL instead.
  expectRefused(binaryList({bytes({0xD1, 1, 2}), bytes({0x53, 'a', 0, 'b'}), bytes({0x10, 1})}),
                "ASCII key with NUL");
  expectRefused(binaryList({bytes({0x53, 'a', 0, 'b'})}), "ASCII string with NUL");
  expectRefused(binaryList({bytes({0x61, 0, 0})}), "UTF-16 string of NUL");
  expectRefused(binaryList({bytes({0xD1, 1, 2}), bytes({0x10, 1}), bytes({0x10, 1})}),
                "key that is not a string");
}

TEST(PlistHostileTest, BrokenUTF16IsRefusedAndPairsDecode) {
  expectRefused(binaryList({bytes({0x61, 0xD8, 0x3D})}), "lone high surrogate at the end");
  expectRefused(binaryList({bytes({0x62, 0xD8, 0x3D, 0x00, 'a'})}),
                "high surrogate, then a letter");
  expectRefused(binaryList({bytes({0x61, 0xDE, 0x00})}), "lone low surrogate");
  expectRefused(binaryList({bytes({0xD1, 1, 2}), bytes({0x61, 0xDC, 0x00}), bytes({0x09})}),
                "key with a lone low surrogate");
  const auto pair = parse(binaryList({bytes({0x63, 0xD8, 0x3D, 0xDE, 0x00, 0x00, 'e'})}));
  ASSERT_TRUE(pair);
  EXPECT_EQ(*pair, Value("\xF0\x9F\x98\x80"
                         "e"));
}

TEST(PlistHostileTest, XMLTextWithNulIsRefused) {
  const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  const std::string cases[] = {
      "<dict><key>a&#0;b</key><string>x</string></dict>",
      "<string>x&#0;y</string>",
      std::string("<dict><key>a\0b</key><string>x</string></dict>", 45),
      std::string("<string>x\0y</string>", 20),
  };
  for (const std::string& body : cases) {
    expectRefused(Data::fromString(head + body + "</plist>"), body);
  }
}

TEST(PlistHostileTest, EightBitTextThatIsNotUTF8IsPassedOnForTheCallerToDrop) {
  // Settings files of older writers hold such text; the settings layer keeps the rest of the
  // file and drops these entries, which the writer refuses.
  const auto xml =
      parse(Data::fromString("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k\xFF</key>"
                             "<string>caf\xE9</string></dict></plist>"));
  ASSERT_TRUE(xml);
  EXPECT_EQ(*xml, Value(Dictionary{{"k\xFF", "caf\xE9"}}));
  EXPECT_EQ(parse(binaryList({bytes({0x52, 0xC3, 0x28})})), Value("\xC3("));
  EXPECT_FALSE(write(*xml, Format::Binary));
}

TEST(PlistHostileTest, NestingPastTheJSONLimitIsRefused) {
  const auto start = std::chrono::steady_clock::now();
  const std::string deepXML = nestedXML(30'000);
  EXPECT_GT(deepXML.size(), 450'000u);
  expectRefused(Data::fromString(deepXML), "30,000-level XML");
  expectRefused(nestedBinary(30'000), "30,000-level binary");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Up to the limit reads; one more does not, in either format.
  for (const Data& data :
       {Data::fromString(nestedXML(kMaxNestingDepth)), nestedBinary(kMaxNestingDepth)}) {
    ErrorPtr error;
    const auto value = parse(data, &error);
    ASSERT_TRUE(value) << error->description();
    EXPECT_EQ(depthOf(*value), kMaxNestingDepth);
  }
  expectRefused(Data::fromString(nestedXML(kMaxNestingDepth + 1)), "XML one past the limit");
  expectRefused(Data::fromString(nestedXML(kMaxNestingDepth, "<dict/>")),
                "XML whose innermost empty dictionary is one past the limit");
  expectRefused(nestedBinary(kMaxNestingDepth + 1), "binary one past the limit");
}

TEST(PlistHostileTest, WritingRefusesWhatReadingWouldRefuse) {
  Value deep = Array{};
  for (std::size_t i = 1; i < kMaxNestingDepth; ++i) {
    Array outer;
    outer.push_back(std::move(deep));
    deep = std::move(outer);
  }
  for (Format format : {Format::XML, Format::Binary}) {
    const auto data = write(deep, format);
    ASSERT_TRUE(data);
    const auto back = parse(*data);
    ASSERT_TRUE(back);
    EXPECT_EQ(depthOf(*back), kMaxNestingDepth);
    Array tooDeep;
    tooDeep.push_back(deep);
    ErrorPtr error;
    EXPECT_FALSE(write(Value(std::move(tooDeep)), format, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kWriteInvalidError);
  }
}

TEST(PlistHostileTest, ObjectTablesThatDoNotHoldTogetherAreRefused) {
  const Data pair = binaryList({bytes({0xA1, 1}), bytes({0x09})});
  ASSERT_EQ(parse(pair), Value(Array{true}));
  // Trailer fields, counted from the end: offset size 26, reference size 25, object count
  // 24, top object 16, offset table 8.
  expectRefused(binaryList({bytes({0xA1, 5}), bytes({0x09})}), "reference out of range");
  expectRefused(binaryList({bytes({0xD1, 1, 7}), bytes({0x51, 'k'})}),
                "dictionary value out of range");
  expectRefused(patched(pair, 16, 2, 8), "top object out of range");
  expectRefused(patched(pair, 24, 0, 8), "no objects");
  expectRefused(patched(pair, 24, std::uint64_t{1} << 62, 8), "more objects than offsets");
  expectRefused(patched(pair, 8, 1'000'000, 8), "offset table past the end");
  expectRefused(patched(pair, 8, 3, 8), "offset table inside the header");
  expectRefused(patched(pair, 26, 0, 1), "offsets of no bytes");
  expectRefused(patched(pair, 25, 9, 1), "references of nine bytes");
  expectRefused(patched(pair, 33, 200, 1), "object offset past the objects");
  expectRefused(patched(pair, 33, 2, 1), "object offset inside the header");
  expectRefused(binaryList({bytes({0xAF, 0x10, 0xFF, 1})}), "array counting more than it holds");
  expectRefused(binaryList({bytes({0xAF, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}),
                "array counting 2^63 elements");
  expectRefused(binaryList({bytes({0x4F, 0x13, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 'x'})}),
                "data longer than the file");
  expectRefused(binaryList({bytes({0x6F, 0x10, 0x80, 0, 'a'})}), "UTF-16 longer than the file");
  expectRefused(binaryList({bytes({0x5F, 0x09, 3, 'a', 'b', 'c'})}),
                "count that is not an integer");
  expectRefused(binaryList({bytes({0x13, 1, 2, 3})}), "integer cut short");
  expectRefused(binaryList({bytes({0x00})}), "null");
  expectRefused(binaryList({bytes({0x0F})}), "fill");
  expectRefused(binaryList({bytes({0x70})}), "unused kind");
  expectRefused(binaryList({bytes({0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}),
                "integer of 32 bytes");
  expectRefused(binaryList({bytes({0x84, 1, 0, 0, 0, 0})}), "UID above 2^32-1");
  expectRefused(binaryList({bytes({0x33, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0})}), "date that is NaN");
  expectRefused(Data::fromString("bplist00"), "header alone");
}

TEST(PlistHostileTest, ReferenceCyclesAreRefused) {
  expectRefused(binaryList({bytes({0xA1, 0})}), "array holding itself");
  expectRefused(binaryList({bytes({0xA1, 1}), bytes({0xA1, 0})}), "two arrays holding each other");
  expectRefused(binaryList({bytes({0xD1, 1, 0}), bytes({0x51, 'k'})}), "dictionary holding itself");
  expectRefused(
      binaryList({bytes({0xA1, 1}), bytes({0xA1, 2}), bytes({0xD1, 3, 1}), bytes({0x51, 'k'})}),
      "cycle three levels down");
}

TEST(PlistHostileTest, SharedObjectsExpandOnlyWithinTheBudget) {
  // Object i holds object i + 1 twice, so the document stands for 2^levels leaves.
  auto doubling = [](std::size_t levels) {
    std::vector<std::string> objects;
    for (std::size_t i = 0; i < levels; ++i) objects.push_back("\xA2" + ref(i + 1) + ref(i + 1));
    objects.push_back(bytes({0x51, 'x'}));
    return binaryList(objects);
  };
  const auto small = parse(doubling(4));
  ASSERT_TRUE(small);
  Value expected = "x";
  for (int i = 0; i < 4; ++i) expected = Array{expected, expected};
  EXPECT_EQ(*small, expected);

  const auto start = std::chrono::steady_clock::now();
  expectRefused(doubling(60), "60 doubling levels");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(PlistHostileTest, BinaryKindsReadAsDocumented) {
  // A set reads as an array; a repeated key keeps its first place and its last value.
  EXPECT_EQ(parse(binaryList({bytes({0xC2, 1, 2}), bytes({0x10, 7}), bytes({0x51, 's'})})),
            Value(Array{7, "s"}));
  const auto repeated =
      parse(binaryList({bytes({0xD3, 1, 2, 1, 3, 4, 5}), bytes({0x51, 'a'}), bytes({0x51, 'b'}),
                        bytes({0x10, 1}), bytes({0x10, 2}), bytes({0x10, 3})}));
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->asDictionary()->keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ((*repeated)["a"], Value(3));
  // 16-byte integers: unsigned above INT64_MAX, negative as written, refused past 64 bits.
  const auto big = parse(binaryList(
      {bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->type(), Value::Type::UInt);
  EXPECT_EQ(big->asUInt(), kUInt64Max);
  const auto minusOne =
      parse(binaryList({bytes({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}));
  ASSERT_TRUE(minusOne);
  EXPECT_EQ(minusOne->asInt(), -1);
  expectRefused(binaryList({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})}),
                "integer of 65 bits");
  // Small integers are unsigned, eight bytes signed; a UID is {"CF$UID": n}.
  EXPECT_EQ(parse(binaryList({bytes({0x11, 0xFF, 0xFF})})), Value(65535));
  EXPECT_EQ(parse(binaryList({bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})})),
            Value(-2));
  EXPECT_EQ(parse(binaryList({bytes({0x81, 0x01, 0x00})})), Value(Dictionary{{"CF$UID", 256}}));
  // A float widens; a date keeps the seconds the document holds.
  EXPECT_EQ(parse(binaryList({bytes({0x22, 0x3F, 0xC0, 0, 0})})), Value(1.5));
  const auto date = parse(binaryList({bytes({0x33, 0xC0, 0x8F, 0x40, 0x00, 0, 0, 0, 0})}));
  ASSERT_TRUE(date && date->asDate());
  EXPECT_EQ(*date->asDate(), Date::fromTimeIntervalSinceReferenceDate(-1000.0));
}

class PlistFileTest : public testing_support::TemporaryHomeTest {
 protected:
  std::string pathOf(const std::string& name) const { return (home_.path() / name).string(); }
};

TEST_F(PlistFileTest, WritesAtomicallyAndReadsBack) {
  const std::string path = pathOf("settings.plist");
  ASSERT_TRUE(writeFile(Dictionary{{"a", 1}}, path, Format::XML));
  ASSERT_TRUE(writeFile(Dictionary{{"b", true}}, path, Format::Binary));
  ErrorPtr error;
  const auto dictionary = readDictionaryFile(path, &error);
  ASSERT_TRUE(dictionary) << error->description();
  EXPECT_EQ(*dictionary, (Dictionary{{"b", true}}));
  // Nothing but the file itself is left in the folder.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(home_.path())) {
    if (entry.path().filename().string()[0] != '.') names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, std::vector<std::string>{"settings.plist"});
}

TEST_F(PlistFileTest, MissingFileIsToldApartFromNotADictionaryAndCorrupt) {
  ErrorPtr error;
  EXPECT_FALSE(readFile(pathOf("missing.plist"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), kFileReadNoSuchFileError);
  EXPECT_EQ(error->userInfo()["NSFilePath"], pathOf("missing.plist"));

  EXPECT_FALSE(readDictionaryFile(pathOf("missing.plist"), &error));
  EXPECT_EQ(error->code(), kFileReadNoSuchFileError);

  const std::string arrayPath = pathOf("array.plist");
  ASSERT_TRUE(writeFile(Array{1, 2}, arrayPath, Format::XML));
  EXPECT_EQ(readFile(arrayPath), Value(Array{1, 2}));
  EXPECT_FALSE(readDictionaryFile(arrayPath, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kFileReadCorruptFileError);

  const std::string corruptPath = pathOf("corrupt.plist");
  std::ofstream(corruptPath) << "not a property list";
  EXPECT_FALSE(readDictionaryFile(corruptPath, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kFileReadCorruptFileError);
  ASSERT_TRUE(error->underlyingError());
  EXPECT_EQ(error->underlyingError()->code(), kReadCorruptError);
}

TEST_F(PlistFileTest, WriteFailuresReportErrors) {
  ErrorPtr error;
  EXPECT_FALSE(
      writeFile(Dictionary{{"a", 1}}, pathOf("no/such/folder/x.plist"), Format::XML, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");

  EXPECT_FALSE(writeFile(Array{Value()}, pathOf("null.plist"), Format::XML, &error));
  EXPECT_EQ(error->code(), kWriteInvalidError);
  EXPECT_FALSE(std::filesystem::exists(pathOf("null.plist")));
}

}  // namespace
}  // namespace platform::plist
