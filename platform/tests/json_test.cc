#include "platform/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace platform::json {
namespace {

Value parseOrFail(std::string_view text, ReadOptions options = {}) {
  ErrorPtr error;
  auto value = parse(text, options, &error);
  EXPECT_TRUE(value) << text << ": " << (error ? error->description() : "");
  return value.value_or(Value());
}

std::string writeOrFail(const Value& value, WriteOptions options = {}) {
  ErrorPtr error;
  auto text = write(value, options, &error);
  EXPECT_TRUE(text) << (error ? error->description() : "");
  return text.value_or("");
}

TEST(JSONTest, ParsesKindsInDocumentOrder) {
  const Value value = parseOrFail(
      R"({"z": true, "a": false, "n": null, "i": -12, "u": 18446744073709551615,
          "big": 9223372036854775807, "d": 1.5, "e": 1e2, "s": "text", "l": [1, {"x": []}]})");
  const Dictionary& d = *value.asDictionary();
  EXPECT_EQ(d.keys(),
            (std::vector<std::string>{"z", "a", "n", "i", "u", "big", "d", "e", "s", "l"}));
  EXPECT_EQ(d["z"].type(), Value::Type::Bool);
  EXPECT_EQ(d["z"].asBool(), true);
  EXPECT_EQ(d["a"].asBool(), false);
  EXPECT_TRUE(d["n"].isNull());
  EXPECT_TRUE(d.contains("n"));
  EXPECT_EQ(d["i"].type(), Value::Type::Int);
  EXPECT_EQ(d["i"].asInt(), -12);
  EXPECT_EQ(d["u"].type(), Value::Type::UInt);
  EXPECT_EQ(d["u"].asUInt(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(d["big"].type(), Value::Type::Int);
  EXPECT_EQ(d["d"].type(), Value::Type::Double);
  EXPECT_EQ(d["e"].type(), Value::Type::Double);
  EXPECT_EQ(d["e"].asDouble(), 100.0);
  EXPECT_EQ(d["s"], "text");
  EXPECT_EQ(d["l"], (Array{1, Dictionary{{"x", Array{}}}}));
}

TEST(JSONTest, DuplicateKeysLastWins) {
  const Value value = parseOrFail(R"({"a": 1, "b": 2, "a": 3})");
  EXPECT_EQ(value["a"], 3);
  EXPECT_EQ(value.asDictionary()->keys(), (std::vector<std::string>{"a", "b"}));
}

TEST(JSONTest, Fragments) {
  ErrorPtr error;
  for (const char* fragment : {"3", "\"text\"", "null", "true", "-1.5"}) {
    EXPECT_FALSE(parse(fragment, {}, &error)) << fragment;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_TRUE(parse(fragment, {.allowFragments = true})) << fragment;
  }
  EXPECT_EQ(parseOrFail(" 42 ", {.allowFragments = true}), 42);
  EXPECT_TRUE(parseOrFail("null", {.allowFragments = true}).isNull());

  EXPECT_FALSE(write(Value(3), {}, &error));
  EXPECT_EQ(error->code(), 3840);
  EXPECT_EQ(write(Value(3), {.allowFragments = true}), "3");
  EXPECT_EQ(write(Value("a/b"), {.allowFragments = true}), "\"a\\/b\"");
}

TEST(JSONTest, ParseErrorsComeBackAsErrors) {
  const char* bad[] = {
      "",
      "   ",
      "{",
      "[1,]",
      "{\"a\" 1}",
      "{\"a\": 1,}",
      "[1] [2]",
      "[01]",
      "['a']",
      "{a: 1}",
      "[\"\\x\"]",
      "[\"unterminated]",
      "[\"\\ud800\"]",
      "[\"\xff\"]",
      "[nul]",
      "[1e]",
      "[\"tab\there\"]",
  };
  for (const char* text : bad) {
    ErrorPtr error;
    EXPECT_FALSE(parse(text, {}, &error)) << text;
    ASSERT_TRUE(error) << text;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), 3840);
    const std::string* detail = error->userInfo()["NSDebugDescription"].asString();
    ASSERT_NE(detail, nullptr);
    EXPECT_FALSE(detail->empty());
    EXPECT_EQ(detail->find("json.exception"), std::string::npos) << *detail;
    EXPECT_FALSE(error->localizedDescription().empty());
  }
}

TEST(JSONTest, NestingIsBounded) {
  const std::string deep(100000, '[');
  ErrorPtr error;
  EXPECT_FALSE(parse(deep, {}, &error));
  ASSERT_TRUE(error);
  const std::string ok = std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']');
  EXPECT_TRUE(parse(ok));
}

TEST(JSONTest, StringEscapesRoundTrip) {
  const Value value = parseOrFail(R"(["\u00e9\u4e2d\ud83d\ude00", "\"\\\/\b\f\n\r\t\u0001", "caf)"
                                  "\xc3\xa9\"]");
  EXPECT_EQ(value[0], "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
  EXPECT_EQ(value[1], "\"\\/\b\f\n\r\t\x01");
  EXPECT_EQ(value[2], "caf\xc3\xa9");

  const std::string written = writeOrFail(value);
  EXPECT_EQ(written,
            "[\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\",\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\","
            "\"caf\xc3\xa9\"]");
  EXPECT_EQ(parseOrFail(written), value);
  EXPECT_EQ(writeOrFail(Array{"a/b"}, {.escapeSlashes = false}), "[\"a/b\"]");

  ErrorPtr error;
  EXPECT_FALSE(write(Array{"bad \xff byte"}, {}, &error));
  EXPECT_FALSE(write(Array{"surrogate \xed\xa0\x80"}, {}, &error));
  EXPECT_FALSE(write(Array{"overlong \xc0\xaf"}, {}, &error));
  EXPECT_FALSE(write(Array{"cut \xe4\xb8"}, {}, &error));
  EXPECT_EQ(error->code(), 3840);
}

TEST(JSONTest, NumbersWriteInShortestRoundTripForm) {
  struct Case {
    Value value;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e300, "1e+300"},
      {5e-324, "5e-324"},
      {-0.0, "-0.0"},
      {1.0 / 3.0, "0.3333333333333333"},
      {std::int64_t{9007199254740993}, "9007199254740993"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {true, "true"},
      {false, "false"},
      {Value(), "null"},
  };
  for (const auto& c : cases) {
    const std::string text = writeOrFail(Array{c.value});
    EXPECT_EQ(text, "[" + std::string(c.text) + "]");
    const Value back = parseOrFail(text)[0];
    EXPECT_EQ(back, c.value) << c.text;
    if (c.value.type() == Value::Type::Double) {
      EXPECT_EQ(std::signbit(back.doubleValue()), std::signbit(*c.value.asDouble())) << c.text;
    }
  }
  EXPECT_EQ(parseOrFail("[9007199254740993]")[0].asInt(), 9007199254740993);
  EXPECT_EQ(parseOrFail("[true]")[0].type(), Value::Type::Bool);
  EXPECT_EQ(parseOrFail("[1]")[0].type(), Value::Type::Int);
}

TEST(JSONTest, RejectsWhatJSONCannotHold) {
  const Value invalid[] = {
      Array{std::nan("")},
      Array{std::numeric_limits<double>::infinity()},
      Dictionary{{"d", Data::fromString("x")}},
      Array{Array{Date::fromTimeIntervalSince1970(0)}},
  };
  for (const auto& value : invalid) {
    ErrorPtr error;
    EXPECT_FALSE(write(value, {}, &error)) << value.description();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_FALSE(isValidJSONObject(value));
  }
  EXPECT_TRUE(isValidJSONObject(Dictionary{{"a", Array{1, "x", Value(), true, 2.5}}}));
  EXPECT_FALSE(isValidJSONObject(Value("fragment")));
  EXPECT_FALSE(isValidJSONObject(Value()));
}

TEST(JSONTest, PrettyAndSortedOutput) {
  const Value value = Dictionary{
      {"b", Array{1, Dictionary{{"y", 2}, {"x", "/"}}}}, {"a", Dictionary{}}, {"c", Array{}}};
  EXPECT_EQ(writeOrFail(value), R"({"b":[1,{"y":2,"x":"\/"}],"a":{},"c":[]})");
  EXPECT_EQ(writeOrFail(value, {.sortedKeys = true}),
            R"({"a":{},"b":[1,{"x":"\/","y":2}],"c":[]})");
  EXPECT_EQ(writeOrFail(value, {.pretty = true, .sortedKeys = true}), "{\n"
                                                                      "  \"a\" : {},\n"
                                                                      "  \"b\" : [\n"
                                                                      "    1,\n"
                                                                      "    {\n"
                                                                      "      \"x\" : \"\\/\",\n"
                                                                      "      \"y\" : 2\n"
                                                                      "    }\n"
                                                                      "  ],\n"
                                                                      "  \"c\" : []\n"
                                                                      "}");
  EXPECT_EQ(parseOrFail(writeOrFail(value, {.pretty = true})), value);
}

TEST(JSONTest, DataInAndOut) {
  const auto data = writeData(Dictionary{{"k", "v"}});
  ASSERT_TRUE(data);
  EXPECT_EQ(data->toString(), R"({"k":"v"})");
  EXPECT_EQ(parse(*data), Value(Dictionary{{"k", "v"}}));
  EXPECT_EQ(parse(Data::fromString("\xef\xbb\xbf[1]")), Value(Array{1}));  // byte-order mark
  ErrorPtr error;
  EXPECT_FALSE(parse(Data(), {}, &error));
  EXPECT_EQ(error->code(), 3840);
  EXPECT_FALSE(writeData(Value(1), {}, &error));
}

// Many objects with more keys than the dictionary's index threshold, and every kind,
// through write and parse.
TEST(JSONTest, LargeDocumentRoundTrips) {
  Array records;
  for (int i = 0; i < 1000; ++i) {
    Dictionary record;
    for (int k = 0; k < 20; ++k) record.set("field" + std::to_string(k), i * 20 + k);
    record.set("name", "record/" + std::to_string(i));
    record.set("ratio", i / 7.0);
    record.set("flag", i % 2 == 0);
    records.push_back(std::move(record));
  }
  const Value document = Dictionary{{"records", std::move(records)}};
  const std::string text = writeOrFail(document);
  const Value back = parseOrFail(text);
  EXPECT_EQ(back, document);
  EXPECT_EQ(back["records"][999]["field19"], 999 * 20 + 19);
  EXPECT_EQ(back["records"][0]["flag"].type(), Value::Type::Bool);
  EXPECT_EQ(writeOrFail(back), text);
}

}  // namespace
}  // namespace platform::json
