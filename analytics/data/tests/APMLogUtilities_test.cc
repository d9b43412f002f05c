// Log forms of names and parameters, the decimal number parser and the random integer.

#include "analytics/data/APMLogUtilities.h"

#include <gtest/gtest.h>

#include <set>

#include "analytics/data/APMValue.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/object_runtime.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::Value;

Value typed(std::int64_t number) { return Value(APMValue::initWithInt64(number)); }
Value typed(std::string_view text) { return Value(APMValue::initWithString(Value(text))); }

// The public front is only found once registered, which lasts for the process: this test
// runs on whichever side of that it finds itself.
TEST(APMLogForms, WithoutThePublicFrontNamesStayAsTheyAre) {
  if (platform::ObjectRuntime::classNamed("DAVOdazarado") != nullptr) {
    GTEST_SKIP() << "the public front is registered in this process";
  }
  ScopedMonitor monitor;
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(APMEventNameForLog(Value("_vs")), "_vs");
}

class APMLogFormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ObjectRuntime::registerClass("DAVOdazarado");
    monitor_->setDebugModeEnabled(true);
  }
  ScopedMonitor monitor_;
};

TEST_F(APMLogFormsTest, InternalNamesShowTheirPublicNamesInDebugMode) {
  struct Case {
    std::string (*form)(const std::optional<Value>&);
    std::optional<Value> name;
    std::string debug;
    std::string plain;
  };
  const Case cases[] = {
      {APMEventNameForLog, Value("_vs"), "screen_view (_vs)", "_vs"},
      {APMEventNameForLog, Value("_cmp"), "da_campaign (_cmp)", "_cmp"},
      {APMEventNameForLog, Value("screen_view"), "screen_view", "screen_view"},
      {APMEventNameForLog, Value("_unknown"), "_unknown", "_unknown"},
      {APMEventNameForLog, Value(""), "", ""},
      {APMEventNameForLog, Value(42), "42", "42"},
      {APMEventNameForLog, std::nullopt, "(null)", "(null)"},
      {APMParameterNameForLog, Value("_sn"), "da_screen (_sn)", "_sn"},
      {APMParameterNameForLog, Value("_err"), "da_error (_err)", "_err"},
      {APMParameterNameForLog, Value("_et"), "engagement_time_msec (_et)", "_et"},
      {APMUserPropertyNameForLog, Value("_id"), "user_id (_id)", "_id"},
      {APMUserPropertyNameForLog, Value("_ln"), "ziruzada_last_notification (_ln)", "_ln"},
      {APMUserPropertyNameForLog, Value("_exp_1"), "experiment_id (_exp_1)",
       "experiment_id (_exp_1)"},
  };
  for (const Case& c : cases) {
    const std::string label = c.name ? c.name->description() : "nil";
    monitor_->setDebugModeEnabled(true);
    EXPECT_EQ(c.form(c.name), c.debug) << label;
    monitor_->setDebugModeEnabled(false);
    EXPECT_EQ(c.form(c.name), c.plain) << label;
  }
  monitor_->setDebugModeEnabled(true);
  EXPECT_EQ(APMNameForLog(Value("_vs"), Dictionary()), "_vs");
}

TEST_F(APMLogFormsTest, ParameterDictionariesPrintSortedWithErrorNames) {
  const Dictionary parameters{
      {"Zeta", Value("z")},
      {"_err", typed(5)},
      {"alpha", Value(1)},
      {"_sn", typed("Home")},
  };
  EXPECT_EQ(APMDescriptionForLog(Value(parameters)),
            "{\n"
            "    alpha = 1;\n"
            "    da_error (_err) = ParameterLimitReached (5);\n"
            "    da_screen (_sn) = Home;\n"
            "    Zeta = z;\n"
            "}");
  EXPECT_EQ(APMDescriptionForLogWithIndent(Value(Dictionary{{"_err", typed(24)}}), "  "),
            "  {\n      da_error (_err) = 24;\n  }");
  // An "_err" that is not an int64 value prints as it is.
  EXPECT_EQ(APMDescriptionForLog(Value(Dictionary{{"_err", Value(5)}})),
            "{\n    da_error (_err) = 5;\n}");

  monitor_->setDebugModeEnabled(false);
  EXPECT_EQ(APMDescriptionForLog(Value(parameters)), Value(parameters).description());
}

TEST_F(APMLogFormsTest, ArraysPrintTheirElementsIndented) {
  const Array items{Value(Dictionary{{"item_id", Value("a")}}),
                    Value(Dictionary{{"item_id", Value("b")}})};
  const std::string expected =
      "[\n"
      "    {\n        item_id = a;\n    },\n"
      "    {\n        item_id = b;\n    }\n"
      "    ]";
  EXPECT_EQ(APMArrayDescriptionForLog(Value(items)), expected);
  EXPECT_EQ(APMDescriptionForLog(Value(Dictionary{{"items", Value(items)}})),
            "{\n    items = " + expected + ";\n}");
  const Value typedItems(APMValue::initWithArray(Value(items)));
  EXPECT_EQ(APMDescriptionForLog(Value(Dictionary{{"items", typedItems}})),
            "{\n    items = " + expected + ";\n}");
  EXPECT_EQ(APMArrayDescriptionForLog(Value("text")), "text");
}

TEST(APMDecimalNumber, FormsOfTheDecimalPattern) {
  struct Case {
    std::string text;
    bool matches;
  };
  const Case cases[] = {
      {"12", true},     {"-12", true},   {"+12", true},   {"12.", true},    {"12.5", true},
      {".5", true},     {"-.5", true},   {"+.5", true},   {"0", true},      {"007.500", true},
      {"", false},      {".", false},    {"-", false},    {"+-1", false},   {"1e5", false},
      {"1E5", false},   {"1,000", false}, {" 1", false},  {"1 ", false},    {"1\n", false},
      {"1.2.3", false}, {"--1", false},  {"١٢", false},   {"0x1F", false},  {"1..", false},
  };
  for (const Case& c : cases) EXPECT_EQ(APMIsDecimalNumberString(c.text), c.matches) << c.text;
}

TEST(APMDecimalNumber, ParsesExactlyOrReportsWhy) {
  struct Case {
    std::string text;
    std::optional<std::string> value;  // the number's text; none: refused
    std::int64_t loggedCode;           // 0: nothing logged
  };
  const std::string digits38 = "12345678901234567890123456789012345678";
  const Case cases[] = {
      {"42", "42", 0},
      {"-17.25", "-17.25", 0},
      {"+.5", "0.5", 0},
      {".5", "0.5", 0},
      {"-.5", "-0.5", 0},
      {"7.", "7", 0},
      {"1.50", "1.5", 0},
      {"0012.3400", "12.34", 0},
      {"-0", "0", 0},
      {"0.000", "0", 0},
      {"1200", "1200", 0},
      {digits38, digits38, 0},
      {digits38 + "000", digits38 + "000", 0},
      {"0." + digits38, "0." + digits38, 0},
      {digits38 + "9", std::nullopt, 26003},
      {"1" + std::string(40, '0') + "1", std::nullopt, 26003},
      // Below the smallest power of ten the digits would silently become zero.
      {"0." + std::string(130, '0') + "1", std::nullopt, 26003},
      {"1" + std::string(160, '0'), "1" + std::string(160, '0'), 0},
      {"1" + std::string(170, '0'), std::nullopt, 26002},
      {"1e3", std::nullopt, 26001},
      {"1,000", std::nullopt, 26001},
      {" 1", std::nullopt, 26001},
      {"", std::nullopt, 26001},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    const std::optional<APMDecimalNumber> number = APMDecimalNumberFromString(c.text);
    ASSERT_EQ(number.has_value(), c.value.has_value()) << c.text;
    if (number) {
      EXPECT_EQ(number->description(), *c.value) << c.text;
    }
    const auto lines = monitor->lines();
    if (c.loggedCode == 0) {
      EXPECT_TRUE(lines.empty()) << c.text;
    } else {
      ASSERT_EQ(lines.size(), 1u) << c.text;
      EXPECT_EQ(lines[0].level, 2);
      EXPECT_EQ(lines[0].messageCode, c.loggedCode) << c.text;
      EXPECT_EQ(lines[0].contexts, (Array{Value(c.text)})) << c.text;
    }
  }
}

TEST(APMDecimalNumber, ComparesByValue) {
  const auto parse = [](std::string_view text) { return *APMDecimalNumberFromString(text); };
  EXPECT_EQ(parse("1.50"), parse("1.5"));
  EXPECT_EQ(parse("-0"), parse("0"));
  EXPECT_EQ(parse("100"), APMDecimalNumber(100));
  EXPECT_EQ(parse("-9223372036854775808"), APMDecimalNumber(INT64_MIN));
  EXPECT_LT(parse("-.5"), parse("0"));
  EXPECT_LT(parse("-2"), parse("-1.5"));
  EXPECT_LT(parse("0.099"), parse("0.1"));
  EXPECT_LT(parse("99"), parse("100"));
  EXPECT_GT(parse("12345678901234567890.1"), parse("12345678901234567890"));
  EXPECT_LT(parse("12345678901234567890123"), parse("12345678901234567890124"));
  EXPECT_LT(APMDecimalNumber(INT64_MAX), parse("9223372036854775808"));
  EXPECT_DOUBLE_EQ(parse("-17.25").doubleValue(), -17.25);
  EXPECT_DOUBLE_EQ(parse(".001").doubleValue(), 0.001);
  EXPECT_EQ(APMDecimalNumber().description(), "0");
  EXPECT_EQ(APMDecimalNumber(-1200).description(), "-1200");
}

TEST(APMNumericUtil, RandomIntegersDiffer) {
  ScopedMonitor monitor;
  std::set<std::int64_t> seen;
  for (int i = 0; i < 8; ++i) seen.insert(APMNumericUtil::randomInt64());
  EXPECT_GT(seen.size(), 1u);
  EXPECT_TRUE(monitor->lines().empty());
}

}  // namespace
