#include "platform/plist.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <limits>

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
