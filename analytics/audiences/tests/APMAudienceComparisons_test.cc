#include "analytics/audiences/APMAudienceComparisons.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "analytics/audiences/tests/audience_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/regex.h"

namespace {

using namespace audience_test;
using analytics_test::ScopedMonitor;

// A monitor line reduced to what the tests compare: level, code and text.
struct Logged {
  std::int64_t level;
  std::int64_t code;
  std::string message;
  friend bool operator==(const Logged&, const Logged&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Logged& line) {
    return out << line.level << "/" << line.code << " \"" << line.message << "\"";
  }
};

std::vector<Logged> logged(const ScopedMonitor& monitor) {
  std::vector<Logged> lines;
  for (const auto& line : monitor->lines()) {
    lines.push_back({line.level, line.messageCode, line.message.value_or("")});
  }
  return lines;
}

APMValuePtr number(double value) { return APMValue::initWithDouble(value); }
APMValuePtr integer(std::int64_t value) { return APMValue::initWithInt64(value); }
APMValuePtr text(const std::string& value) { return APMValue::initWithString(value); }

double stepsFrom(double value, int steps) {
  const double direction = steps < 0 ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
  for (int i = 0; i < std::abs(steps); ++i) value = std::nextafter(value, direction);
  return value;
}

TEST(APMAudienceComparisonsTest, NumberFiltersOverDoublesIntegersAndDecimalStrings) {
  const auto between = numberFilter(kBetween, std::nullopt, "1", "5");
  const auto equalTenth = numberFilter(kEqual, "0.1");
  const auto equalHalves = numberFilter(kEqual, "12.5");
  // 2^53 + 1: as doubles both it and 2^53 round to 2^53.
  const auto equalLarge = numberFilter(kEqual, "9007199254740993");
  const auto less = numberFilter(kLess, "-2.5");
  const auto greater = numberFilter(kGreater, "+10.");
  struct Case {
    const char* name;
    std::shared_ptr<APMPBNumberFilter> filter;
    APMValuePtr value;
    std::optional<bool> result;
  };
  const Case cases[] = {
      {"between takes its minimum", between, integer(1), true},
      {"between takes its maximum", between, integer(5), true},
      {"between takes its maximum as a double", between, number(5.0), true},
      {"just above the maximum", between, number(5.0000001), false},
      {"just below the minimum", between, number(0.9999999), false},
      {"between as a decimal string", between, text("5.000"), true},
      {"equal itself", equalTenth, number(0.1), true},
      {"equal one step below", equalTenth, number(stepsFrom(0.1, -1)), true},
      {"equal one step above", equalTenth, number(stepsFrom(0.1, 1)), true},
      {"equal two steps below", equalTenth, number(stepsFrom(0.1, -2)), false},
      {"equal two steps above", equalTenth, number(stepsFrom(0.1, 2)), false},
      {"string read as a decimal", equalHalves, text("12.50"), true},
      {"decimal string compared exactly", equalHalves, text("12.500000000000000000001"), false},
      {"large integer compared exactly", equalLarge, integer(9007199254740993), true},
      {"large integer one below", equalLarge, integer(9007199254740992), false},
      {"less", less, integer(-3), true},
      {"less is strict", less, number(-2.5), false},
      {"greater", greater, number(10.5), true},
      {"greater is strict", greater, integer(10), false},
      {"not a decimal string", equalHalves, text("abc"), std::nullopt},
      {"exponent is not a decimal string", equalHalves, text("1.25e1"), std::nullopt},
      {"not a number", equalHalves, number(std::nan("")), std::nullopt},
      {"infinite", greater, number(std::numeric_limits<double>::infinity()), std::nullopt},
      {"no value", equalHalves, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMEvaluateFilter(filter(c.filter).get(), c.value.get()), c.result) << c.name;
  }
}

TEST(APMAudienceComparisonsTest, ValuesTheFilterCannotTakeAreLoggedAsWarnings) {
  const auto equal = numberFilter(kEqual, "12.5");
  const auto exact = stringFilter(kExact, "abc");
  struct Case {
    std::shared_ptr<APMPBFilter> filter;
    APMValuePtr value;
    Logged line;
  };
  const Case cases[] = {
      {filter(nullptr),
       text("abc"),
       {1, 7000,
        "Filter has neither a number nor string filter. Audience filter will not be evaluated"}},
      {filter(equal),
       text("abc"),
       {3, 7001,
        "String value is not a numeric value. Audience filter will not be evaluated. Value, "
        "filter"}},
      {filter(equal),
       number(std::nan("")),
       {3, 7002, "Value is not within double range. Audience filter will not be evaluated"}},
      {filter(equal),
       number(-std::numeric_limits<double>::infinity()),
       {3, 7002, "Value is not within double range. Audience filter will not be evaluated"}},
      {filter(nullptr, exact),
       integer(3),
       {3, 7003, "Value is not a string. Audience filter will not be evaluated"}},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    EXPECT_EQ(APMEvaluateFilter(c.filter.get(), c.value.get()), std::nullopt) << c.line;
    EXPECT_THAT(logged(monitor), testing::ElementsAre(c.line));
  }
}

TEST(APMAudienceComparisonsTest, ComplementNegatesOnlyEvaluatedResults) {
  const auto equal = numberFilter(kEqual, "3");
  EXPECT_EQ(APMEvaluateFilter(filter(equal, nullptr, true).get(), integer(4).get()), true);
  EXPECT_EQ(APMEvaluateFilter(filter(equal, nullptr, true).get(), integer(3).get()), false);
  EXPECT_EQ(APMEvaluateFilter(filter(equal, nullptr, false).get(), integer(3).get()), true);
  EXPECT_EQ(APMEvaluateFilter(filter(equal, nullptr, true).get(), text("abc").get()), std::nullopt);
  // The number filter wins over a string filter that would have matched.
  EXPECT_EQ(APMEvaluateFilter(filter(equal, stringFilter(kExact, "4")).get(), text("4").get()),
            false);
}

TEST(APMAudienceComparisonsTest, StringMatchTypesInBothCaseModes) {
  struct Case {
    std::int32_t type;
    std::optional<std::string> expression;
    bool caseSensitive;
    std::vector<std::string> list;
    std::string value;
    std::optional<bool> result;
  };
  const Case cases[] = {
      {kExact, "abc", false, {}, "ABC", true},
      {kExact, "abc", false, {}, "ABCD", false},
      {kExact, "abc", true, {}, "ABC", false},
      {kExact, "abc", true, {}, "abc", true},
      {kExact, "äbc", false, {}, "ÄBC", true},
      {kInList, std::nullopt, true, {"a", "b"}, "B", false},
      {kInList, std::nullopt, false, {"a", "b"}, "B", true},
      {kInList, std::nullopt, false, {"a", "b"}, "ab", false},
      {kRegex, "^ab", false, {}, "ABc", true},
      {kRegex, "^ab", true, {}, "ABc", false},
      {kRegex, "b", true, {}, "abc", true},
      {kBeginsWith, "ab", false, {}, "ABc", true},
      {kBeginsWith, "ab", true, {}, "ABc", false},
      {kBeginsWith, "bc", false, {}, "abc", false},
      {kEndsWith, "BC", false, {}, "abc", true},
      {kEndsWith, "BC", true, {}, "abc", false},
      {kEndsWith, "ab", false, {}, "abab", true},
      {kEndsWith, "abcd", false, {}, "abc", false},
      // Outside the basic plane a character takes two UTF-16 units and four UTF-8 bytes.
      {kEndsWith, "XY", false, {}, "\xF0\x9F\x98\x80xy", true},
      {kEndsWith, "\xF0\x9F\x98\x80", false, {}, "a\xF0\x9F\x98\x80", true},
      {kEndsWith, "\xF0\x90\x90\xA8", false, {}, "\xF0\x90\x90\x80", true},
      {kContains, "BC", false, {}, "abcd", true},
      {kContains, "BC", true, {}, "abcd", false},
      {kContains, "bd", false, {}, "abcd", false},
      // An empty expression never matches without case, and follows the string rule with it.
      {kBeginsWith, "", false, {}, "abc", false},
      {kEndsWith, "", false, {}, "abc", false},
      {kContains, "", false, {}, "abc", false},
      {kExact, "", false, {}, "", false},
      {kBeginsWith, "", true, {}, "abc", true},
      {kEndsWith, "", true, {}, "abc", true},
      {kContains, "", true, {}, "abc", true},
      {kExact, "", true, {}, "", true},
      {7, "abc", false, {}, "abc", false},
  };
  for (const Case& c : cases) {
    const auto string = stringFilter(c.type, c.expression, c.caseSensitive, c.list);
    EXPECT_EQ(APMEvaluateFilter(filter(nullptr, string).get(), text(c.value).get()), c.result)
        << c.type << " " << c.expression.value_or("(list)") << " sensitive " << c.caseSensitive
        << " on " << c.value;
  }
}

TEST(APMAudienceComparisonsTest, RunawayRegularExpressionIsNotEvaluated) {
  ScopedMonitor monitor;
  const auto regex = filter(nullptr, stringFilter(kRegex, "(a+)+$"));
  EXPECT_EQ(APMEvaluateFilter(regex.get(), text(std::string(100, 'a') + "b").get()), std::nullopt);
  EXPECT_THAT(logged(monitor),
              testing::ElementsAre(Logged{3, 9009,
                                          "Regular expression evaluation exceeded its time limit. "
                                          "Audience filter will not be evaluated"}));
  // Complement keeps it unevaluated.
  const auto complemented = filter(nullptr, stringFilter(kRegex, "(a+)+$"), true);
  EXPECT_EQ(APMEvaluateFilter(complemented.get(), text(std::string(100, 'a') + "b").get()),
            std::nullopt);
}

TEST(APMAudienceComparisonsTest, NumberFilterValidityNamesEachFault) {
  const char* const kValue = "Numeric filter does not have a valid comparison value. Filter";
  const char* const kMin = "Numeric filter does not have a valid min comparison value. Filter";
  const char* const kMax = "Numeric filter does not have a valid max comparison value. Filter";
  struct Case {
    std::shared_ptr<APMPBNumberFilter> filter;
    std::vector<Logged> lines;
  };
  const Case cases[] = {
      {numberFilter(std::nullopt, "1"), {{1, 8006, "Number filter has no comparison type"}}},
      {numberFilter(kLess), {{1, 8008, kValue}}},
      {numberFilter(kGreater, "1e5"), {{1, 8008, kValue}}},
      {numberFilter(kEqual, ""), {{1, 8008, kValue}}},
      {numberFilter(kBetween, "1", std::nullopt, "5"), {{1, 8009, kMin}}},
      {numberFilter(kBetween, std::nullopt, "1", "five"), {{1, 8010, kMax}}},
      {numberFilter(kBetween), {{1, 8009, kMin}, {1, 8010, kMax}}},
      {numberFilter(kUnknown, "1"), {{1, 8007, "Number filter has unknown comparison type"}}},
      {numberFilter(5, "1"), {{1, 8011, "Number filter has a real unknown comparison type"}}},
      {numberFilter(kGreater, "+3."), {}},
      {numberFilter(kBetween, std::nullopt, "-1", ".5"), {}},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    EXPECT_EQ(APMNumberFilterIsValid(c.filter.get()), c.lines.empty());
    EXPECT_EQ(logged(monitor), c.lines);
  }
}

TEST(APMAudienceComparisonsTest, StringFilterValidityNamesEachFault) {
  struct Case {
    std::shared_ptr<APMPBStringFilter> filter;
    std::optional<Logged> line;
  };
  const Case cases[] = {
      {stringFilter(std::nullopt, "a"), Logged{1, 9000, "String filter has no match type"}},
      {stringFilter(kInList, "a"), Logged{1, 9003, "String filter has no expression list"}},
      {stringFilter(kMatchUnknown, "a"), Logged{1, 9001, "String filter has unknown match type"}},
      {stringFilter(kContains, std::nullopt), Logged{1, 9002, "String filter has no expression"}},
      {stringFilter(kRegex, "(a"), Logged{1, 9004, "Unable to parse regular expression"}},
      {stringFilter(kContains, ""), std::nullopt},
      {stringFilter(kInList, std::nullopt, false, {"a"}), std::nullopt},
      {stringFilter(9, "a"), std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    EXPECT_EQ(APMStringFilterIsValid(c.filter.get()), !c.line.has_value());
    const std::vector<Logged> lines = logged(monitor);
    if (c.line) {
      EXPECT_THAT(lines, testing::ElementsAre(*c.line));
    } else {
      EXPECT_TRUE(lines.empty()) << lines.front();
    }
  }
}

TEST(APMAudienceComparisonsTest, StringFilterValidityHandsBackTheCompiledExpression) {
  std::shared_ptr<const platform::RegularExpression> expression;
  ASSERT_TRUE(APMStringFilterIsValid(stringFilter(kRegex, "^ab").get(), &expression));
  ASSERT_NE(expression, nullptr);
  EXPECT_TRUE(expression->isCaseInsensitive());
  ASSERT_TRUE(APMStringFilterIsValid(stringFilter(kRegex, "^ab", true).get(), &expression));
  ASSERT_NE(expression, nullptr);
  EXPECT_FALSE(expression->isCaseInsensitive());
  EXPECT_EQ(expression->pattern(), "^ab");
  EXPECT_FALSE(APMStringFilterIsValid(stringFilter(kRegex, "(").get(), &expression));
  EXPECT_EQ(expression, nullptr);
}

TEST(APMAudienceComparisonsTest, InvalidFiltersAndUnusableValuesAreNotEvaluated) {
  // Forty-one significant digits pass the decimal pattern but no decimal number holds them;
  // four hundred digits pass it but no double holds them.
  const std::string tooPrecise = "1234567890123456789012345678901234567890.1";
  const std::string tooLarge = "1" + std::string(400, '0');
  const char* const kNotValid =
      "Parsed decimal number comparison values are not valid. Audience filter will not be "
      "evaluated. Filter";
  struct Case {
    const char* name;
    std::function<std::optional<bool>()> call;
    std::vector<std::int64_t> codes;
    std::optional<Logged> last;
  };
  const Case cases[] = {
      {"decimal value too precise",
       [&] { return APMCompareInt64(numberFilter(kEqual, tooPrecise).get(), 1); },
       {26003, 8002, 8015},
       Logged{1, 8015, kNotValid}},
      {"decimal minimum too precise",
       [&] { return APMCompareInt64(numberFilter(kBetween, {}, tooPrecise, "1").get(), 1); },
       {26003, 8004, 8015},
       Logged{1, 8015, kNotValid}},
      {"decimal maximum too precise",
       [&] { return APMCompareInt64(numberFilter(kBetween, {}, "1", tooPrecise).get(), 1); },
       {26003, 8005, 8015},
       Logged{1, 8015, kNotValid}},
      {"double value too large",
       [&] { return APMCompareDouble(numberFilter(kLess, tooLarge).get(), 1.0); },
       {8012},
       Logged{1, 8012,
              "Number filter is invalid, the comparison filter is not valid. Audience filter "
              "will not be evaluated"}},
      {"invalid number filter",
       [&] { return APMCompareDouble(numberFilter(kUnknown).get(), 1); },
       {8007},
       std::nullopt},
      {"missing string",
       [&] { return APMEvaluateStringFilter(stringFilter(kExact, "a").get(), std::nullopt); },
       {9005},
       Logged{1, 9005, "Evaluation string is nil. Audience filter will not be evaluated"}},
      {"invalid string filter",
       [&] { return APMEvaluateStringFilter(stringFilter(kMatchUnknown, "a").get(), "a"); },
       {9001, 9006},
       Logged{1, 9006, "String filter is invalid. Audience filter will not be evaluated"}},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    EXPECT_EQ(c.call(), std::nullopt) << c.name;
    std::vector<std::int64_t> codes;
    for (const Logged& line : logged(monitor)) codes.push_back(line.code);
    EXPECT_EQ(codes, c.codes) << c.name;
    if (c.last && !codes.empty()) {
      EXPECT_EQ(logged(monitor).back(), *c.last) << c.name;
    }
  }
}

}  // namespace
