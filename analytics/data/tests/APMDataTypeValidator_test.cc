// The name and value rules, their failure codes and log lines, and the recording of errors
// in parameter dictionaries and as error events.

#include "analytics/data/APMDataTypeValidator.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::Value;

using Check = std::function<bool(std::int64_t*)>;
using V = APMDataTypeValidator;

std::string repeated(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

Value typed(std::string_view text) { return Value(APMValue::initWithString(Value(text))); }
Value typed(std::int64_t number) { return Value(APMValue::initWithInt64(number)); }
Value typedDouble(double number) { return Value(APMValue::initWithDouble(number)); }

std::int64_t int64At(const Dictionary& parameters, std::string_view key) {
  const APMValuePtr value = APMValueOf(parameters[key]);
  return value && value->isInt64() ? value->int64Value() : -1;
}

std::string stringAt(const Dictionary& parameters, std::string_view key) {
  const APMValuePtr value = APMValueOf(parameters[key]);
  return value && value->isString() ? *value->stringValue() : "<none>";
}

// Every rule starts from the default settings.
class APMDataTypeValidatorTest : public ::testing::Test {
 protected:
  void SetUp() override { APMMeasurementSetRemoteConfig(std::make_shared<APMRemoteConfig>()); }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }

  struct Case {
    std::string label;
    Check check;
    bool passes;
    std::int64_t failure;
    std::int64_t loggedCode;  // 0: nothing logged
    std::int64_t loggedLevel;
  };

  static void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      ScopedMonitor monitor;
      std::int64_t failure = -1;
      EXPECT_EQ(c.check(&failure), c.passes) << c.label;
      EXPECT_EQ(failure, c.failure) << c.label;
      // A null out-parameter is allowed and changes nothing.
      EXPECT_EQ(c.check(nullptr), c.passes) << c.label;
      const auto lines = monitor->lines();
      if (c.loggedCode == 0) {
        EXPECT_TRUE(lines.empty()) << c.label << ": " << lines.front().messageCode;
      } else if (!lines.empty()) {
        EXPECT_EQ(lines.back().messageCode, c.loggedCode) << c.label;
        EXPECT_EQ(lines.back().level, c.loggedLevel) << c.label;
      } else {
        ADD_FAILURE() << c.label << ": nothing logged";
      }
    }
  }
};

TEST_F(APMDataTypeValidatorTest, EventNames) {
  const auto publicName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* failure) { return V::isValidPublicEventName(name, failure); };
  };
  const auto internalName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* failure) { return V::isValidInternalEventName(name, failure); };
  };
  const std::string accents40 = repeated("é", 40);  // 80 UTF-8 bytes, 40 scalars
  expectCases({
      {"40 letters", publicName(Value(repeated("a", 40))), true, 0, 0, 0},
      {"41 letters", publicName(Value(repeated("a", 41))), false, 2, 13000, 0},
      {"40 accented letters", publicName(Value(accents40)), true, 0, 0, 0},
      {"41 accented letters", publicName(Value(accents40 + "é")), false, 2, 13000, 0},
      {"another script", publicName(Value("событие_1")), true, 0, 0, 0},
      {"ideographs", publicName(Value("購入")), true, 0, 0, 0},
      {"leading underscore", publicName(Value("_vs")), false, 3, 13003, 0},
      {"leading underscore, internal", internalName(Value("_vs")), true, 0, 0, 0},
      {"leading digit", publicName(Value("1st_event")), false, 3, 13003, 0},
      {"leading digit, internal", internalName(Value("1st_event")), true, 0, 0, 0},
      {"hyphen", publicName(Value("my-event")), false, 3, 13002, 0},
      {"hyphen, internal", internalName(Value("my-event")), false, 3, 13002, 0},
      {"blank", publicName(Value("my event")), false, 3, 13002, 0},
      {"combining mark", internalName(Value("cafe\u0301")), false, 3, 13002, 0},
      {"emoji", internalName(Value("party_🎉")), false, 3, 13002, 0},
      {"empty", publicName(Value("")), false, 1, 13001, 0},
      {"nil", publicName(std::nullopt), false, 1, 13001, 0},
      {"number", publicName(Value(5)), false, 5, 13000, 0},
      {"reserved name", publicName(Value("first_open")), false, 4, 13006, 0},
      {"reserved name, internal", internalName(Value("first_open")), true, 0, 0, 0},
      {"allowed reserved name", publicName(Value("ad_impression")), true, 0, 0, 0},
      {"screen_view", publicName(Value("screen_view")), true, 0, 0, 0},
      {"prefix rerora_", publicName(Value("rerora_event")), false, 4, 13007, 0},
      {"prefix da_", publicName(Value("da_event")), false, 4, 13007, 0},
      {"prefix ziruzada_", publicName(Value("ziruzada_event")), false, 4, 13007, 0},
      {"da without underscore", publicName(Value("daily_event")), true, 0, 0, 0},
      {"41 letters, internal", internalName(Value(repeated("a", 41))), false, 2, 13000, 0},
  });
}

TEST_F(APMDataTypeValidatorTest, ParameterNamesAndValues) {
  const auto publicName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* f) { return V::isValidPublicEventParameterName(name, f); };
  };
  const auto internalName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* f) { return V::isValidInternalEventParameterName(name, f); };
  };
  const auto publicValue = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidPublicEventParameterValue(value, f); };
  };
  const auto internalValue = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidInternalEventParameterValue(value, f); };
  };
  expectCases({
      {"40 letters", publicName(Value(repeated("p", 40))), true, 0, 0, 0},
      {"41 letters", publicName(Value(repeated("p", 41))), false, 2, 13000, 0},
      {"reserved prefix", publicName(Value("da_param")), false, 4, 13008, 0},
      {"internal", publicName(Value("_et")), false, 3, 13003, 0},
      {"internal, as internal", internalName(Value("_et")), true, 0, 0, 0},
      {"empty value", publicValue(typed("")), true, 0, 0, 0},
      {"100 emoji", publicValue(typed(repeated("😀", 100))), true, 0, 0, 0},
      {"101 characters", publicValue(typed(repeated("x", 101))), false, 2, 13000, 3},
      {"number", publicValue(typed(7)), true, 0, 0, 0},
      {"double", publicValue(typedDouble(1.5)), true, 0, 0, 0},
      {"plain string", publicValue(Value("abc")), false, 5, 13005, 3},
      {"nil value", publicValue(std::nullopt), false, 1, 13004, 3},
      {"256 internal", internalValue(typed(repeated("x", 256))), true, 0, 0, 0},
      {"257 internal", internalValue(typed(repeated("x", 257))), false, 2, 13000, 3},
  });
}

TEST_F(APMDataTypeValidatorTest, ParameterValueLimitIsReadFromTheSettingsAtEveryCheck) {
  auto config = std::make_shared<APMRemoteConfig>();
  config->cacheValue(Value(300), "measurement.upload.max_event_parameter_value_length");
  APMMeasurementSetRemoteConfig(config);
  EXPECT_TRUE(V::isValidPublicEventParameterValue(typed(repeated("x", 300))));
  EXPECT_FALSE(V::isValidPublicEventParameterValue(typed(repeated("x", 301))));
  EXPECT_TRUE(V::isValidInternalEventParameterValue(typed(repeated("x", 300))));
  EXPECT_TRUE(V::isValidScreenParameterValue(Value(repeated("x", 300))));
}

TEST_F(APMDataTypeValidatorTest, UserProperties) {
  const auto publicName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* f) { return V::isValidPublicUserAttributeName(name, f); };
  };
  const auto internalName = [](std::optional<Value> name) -> Check {
    return [name](std::int64_t* f) { return V::isValidInternalUserAttributeName(name, f); };
  };
  const auto publicValue = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidPublicUserAttributeValue(value, f); };
  };
  const auto internalValue = [](std::optional<Value> value, std::string name) -> Check {
    return [value, name](std::int64_t* f) {
      return V::isValidInternalUserAttributeValue(value, Value(name), f);
    };
  };
  const Value hundred = typed(repeated("v", 100));
  expectCases({
      {"24 letters", publicName(Value(repeated("u", 24))), true, 0, 0, 0},
      {"25 letters", publicName(Value(repeated("u", 25))), false, 2, 13000, 0},
      {"25 letters, internal", internalName(Value(repeated("u", 25))), false, 2, 13000, 0},
      {"reserved name", publicName(Value("user_id")), false, 4, 13009, 0},
      {"reserved name first_open_time", publicName(Value("first_open_time")), false, 4, 13009,
       0},
      {"reserved prefix", publicName(Value("ziruzada_x")), false, 4, 13010, 0},
      {"internal name", internalName(Value("_id")), true, 0, 0, 0},
      {"empty value", publicValue(typed("")), false, 1, 0, 0},
      {"36 accented", publicValue(typed(repeated("ü", 36))), true, 0, 0, 0},
      {"37 accented", publicValue(typed(repeated("ü", 37))), false, 2, 13000, 3},
      {"36 emoji", publicValue(typed(repeated("🎉", 36))), true, 0, 0, 0},
      {"37 emoji", publicValue(typed(repeated("🎉", 37))), false, 2, 13000, 3},
      {"number", publicValue(typed(3)), true, 0, 0, 0},
      {"100 for an ordinary name", internalValue(hundred, "_ln"), false, 2, 13000, 3},
      {"100 for _id", internalValue(hundred, "_id"), true, 0, 0, 0},
      {"100 for _gbraid", internalValue(hundred, "_gbraid"), true, 0, 0, 0},
      {"100 for _psmvalue", internalValue(hundred, "_psmvalue"), true, 0, 0, 0},
      {"256 for _id", internalValue(typed(repeated("v", 256)), "_id"), true, 0, 0, 0},
      {"257 for _id", internalValue(typed(repeated("v", 257)), "_id"), false, 2, 13000, 3},
      {"257 for _psmvalue", internalValue(typed(repeated("v", 257)), "_psmvalue"), false, 2,
       13000, 3},
  });
}

TEST_F(APMDataTypeValidatorTest, OriginsScreenValuesAndConditionalProperties) {
  const auto forwarded = [](std::optional<Value> origin) -> Check {
    return [origin](std::int64_t* f) { return V::isValidForwardedEventOrigin(origin, f); };
  };
  const auto internalOrigin = [](std::optional<Value> origin) -> Check {
    return [origin](std::int64_t* f) { return V::isValidInternalEventOrigin(origin, f); };
  };
  const auto screen = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidScreenParameterValue(value, f); };
  };
  expectCases({
      {"origin", internalOrigin(Value("app")), true, 0, 0, 0},
      {"32 origin", internalOrigin(Value(repeated("o", 32))), true, 0, 0, 0},
      {"33 origin", internalOrigin(Value(repeated("o", 33))), false, 2, 13000, 0},
      {"forwarded", forwarded(Value("app+rtm")), true, 0, 0, 0},
      {"32 forwarded", forwarded(Value(repeated("o", 32) + "+rtm")), true, 0, 0, 0},
      {"33 forwarded", forwarded(Value(repeated("o", 33) + "+rtm")), false, 2, 13000, 0},
      {"suffix alone", forwarded(Value("+rtm")), false, 1, 13001, 0},
      {"not forwarded", forwarded(Value("app")), false, 6, 0, 0},
      {"empty forwarded", forwarded(Value("")), false, 1, 0, 0},
      {"nil forwarded", forwarded(std::nullopt), false, 1, 0, 0},
      {"bad forwarded", forwarded(Value("a-b+rtm")), false, 3, 13002, 0},
      {"screen value", screen(Value("Home")), true, 0, 0, 0},
      {"empty screen value", screen(Value("")), false, 1, 13001, 0},
      {"typed screen value", screen(typed("Home")), false, 5, 13000, 0},
      {"101 screen value", screen(Value(repeated("s", 101))), false, 2, 13000, 0},
      {"property origin 33",
       [](std::int64_t* f) {
         return V::isValidConditionalUserPropertyOrigin(Value(repeated("o", 33)), f);
       },
       false, 2, 13000, 0},
      {"property name 24",
       [](std::int64_t* f) {
         return V::isValidConditionalUserPropertyName(Value(repeated("n", 24)), f);
       },
       true, 0, 0, 0},
      {"property name 25",
       [](std::int64_t* f) {
         return V::isValidConditionalUserPropertyName(Value(repeated("n", 25)), f);
       },
       false, 2, 13000, 0},
      {"property value 36",
       [](std::int64_t* f) {
         return V::isValidConditionalUserPropertyValue(typed(repeated("v", 36)), f);
       },
       true, 0, 0, 0},
      {"property value 37",
       [](std::int64_t* f) {
         return V::isValidConditionalUserPropertyValue(typed(repeated("v", 37)), f);
       },
       false, 2, 13000, 0},
  });
  // Callers retry an origin without the suffix as an internal one; "+rtm" alone is not
  // retried, since it failed with 1.
  std::int64_t failure = 0;
  EXPECT_FALSE(V::isValidForwardedEventOrigin(Value("+rtm"), &failure));
  EXPECT_NE(failure, kAPMValidationFailureNotForwarded);
}

TEST_F(APMDataTypeValidatorTest, NumbersCurrenciesAndArrays) {
  const auto numeric = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidNumericValue(value, f); };
  };
  const auto currency = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidCurrencyCode(value, f); };
  };
  const auto array = [](std::string event, std::string name, std::uint64_t count,
                        bool nested) -> Check {
    return [=](std::int64_t* f) {
      return V::isValidArrayParamForEvent(event, name, count, nested, f);
    };
  };
  const auto item = [](std::optional<Value> value) -> Check {
    return [value](std::int64_t* f) { return V::isValidArrayParamItem(value, f); };
  };
  expectCases({
      {"int64", numeric(typed(10)), true, 0, 0, 0},
      {"double", numeric(typedDouble(9.99)), true, 0, 0, 0},
      {"numeric string", numeric(typed("10")), false, 8, 13011, 3},
      {"plain number", numeric(Value(10)), false, 5, 13005, 3},
      {"nil number", numeric(std::nullopt), false, 1, 13004, 3},
      {"USD", currency(typed("USD")), true, 0, 0, 0},
      {"usd", currency(typed("usd")), true, 0, 0, 0},
      {"accented letters", currency(typed("ÉÜR")), true, 0, 0, 0},
      {"digit", currency(typed("US1")), false, 9, 13012, 3},
      {"four letters", currency(typed("USDX")), false, 9, 13012, 3},
      {"two letters", currency(typed("US")), false, 9, 13012, 3},
      {"number", currency(typed(840)), false, 9, 13012, 3},
      {"plain string", currency(Value("USD")), false, 5, 13005, 3},
      {"items on purchase", array("purchase", "items", 3, false), true, 0, 0, 0},
      {"200 items", array("view_item_list", "items", 200, false), true, 0, 0, 0},
      {"201 items", array("purchase", "items", 201, false), false, 12, 13013, 0},
      {"nested", array("purchase", "items", 1, true), false, 13, 13013, 0},
      {"not ecommerce", array("my_event", "items", 1, false), false, 10, 13013, 0},
      {"not items", array("purchase", "products", 1, false), false, 11, 13013, 0},
      {"dictionary element", item(Value(Dictionary{{"item_id", Value("a")}})), true, 0, 0, 0},
      {"string element", item(Value("a")), false, 14, 13014, 0},
      {"nil element", item(std::nullopt), false, 14, 13014, 0},
  });
}

TEST_F(APMDataTypeValidatorTest, MessagesNameTheSubjectAndCarryTheObject) {
  ScopedMonitor monitor;
  V::isValidPublicEventName(Value(repeated("a", 41)));
  V::isValidString(Value(""), 1, 10, kAPMValidationKindConditionalUserPropertyOrigin, nullptr);
  V::isValidString(Value("ab"), 3, 10, 42, nullptr);
  V::isValidCurrencyCode(typed("US"));
  V::isValidArrayParamForEvent("purchase", "products", 1, false);
  V::isValidArrayParamForEvent("purchase", "items", 250, false);
  APMValueObjectCheck(Value(3), kAPMValidationKindUserPropertyValue, nullptr);
  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].message, "Event name is too long. The maximum supported length is 40");
  EXPECT_EQ(lines[0].contexts, (Array{Value(repeated("a", 41))}));
  EXPECT_EQ(lines[1].message, "Conditional user property origin is required and can't be empty");
  EXPECT_EQ(lines[2].message, "Object is too short. The minimum supported length is 3");
  EXPECT_EQ(lines[2].messageCode, 13000);
  EXPECT_EQ(lines[3].message,
            "Event parameter value must contain a 3-letter ISO_4217 currency code. value");
  EXPECT_EQ(lines[4].message,
            "Event parameter name is an invalid ecommerce items. The name of array parameters "
            "for ecommerce should be \"items\". Invalid parameter name");
  EXPECT_EQ(lines[4].contexts, (Array{Value("products")}));
  EXPECT_EQ(lines[5].message,
            "Array parameter has too many items. The maximum number of supported items is 200. "
            "Invalid array size");
  EXPECT_EQ(lines[5].contexts, (Array{Value(250)}));
  EXPECT_EQ(lines[6].message, "User property value must be a APMValue instance. value");
  EXPECT_EQ(lines[6].contexts, (Array{Value("NSNumber")}));

  EXPECT_EQ(APMValidationMessage(kAPMValidationKindEventOrigin, ""), "Event origin");
  EXPECT_EQ(APMValidationMessage(10, " x"), "Object x");
  EXPECT_TRUE(V::hasReservedPrefixes("rerora_"));
  EXPECT_FALSE(V::hasReservedPrefixes("Rerora_x"));
}

TEST(APMErrorCodeNames, NamesEveryCodeButTheMissingOnes) {
  const auto& names = APMErrorCodeNames();
  EXPECT_EQ(names.size(), 25u);
  EXPECT_EQ(names.at(0), "NoError");
  EXPECT_EQ(names.at(5), "ParameterLimitReached");
  EXPECT_EQ(names.at(19), "CurrencyCodeIsMissingOrInvalid");
  EXPECT_EQ(names.at(28), "ItemScopedCustomParameterLimitReached");
  for (std::int64_t missing : {24, 25, 26, 27, 29}) EXPECT_FALSE(names.contains(missing));
}

TEST(APMErrorRecording, SubjectIsTrimmedToTheLimitInScalars) {
  struct Case {
    std::string label;
    std::optional<Value> subject;
    std::int64_t limit;
    std::optional<Value> lengthSource;
    std::string ev;
    std::int64_t el;  // -1: absent
  };
  const std::string accents41 = repeated("é", 41);
  const Case cases[] = {
      {"short", Value("name"), 40, std::nullopt, "name", -1},
      {"40 of 40", Value(repeated("n", 40)), 40, std::nullopt, repeated("n", 40), -1},
      {"41 of 40", Value(repeated("n", 41)), 40, Value(repeated("n", 41)),
       repeated("n", 40) + "...", 41},
      {"accents", Value(accents41), 40, Value(accents41), repeated("é", 40) + "...", 41},
      {"emoji", Value(repeated("👍", 5)), 3, Value(repeated("👍", 5)), "👍👍👍...", 5},
      {"nil", std::nullopt, 40, std::nullopt, "(nil)", -1},
      {"number", Value(12), 40, Value(12), "NSNumber", 0},
      {"array length", Value("items"), 40, Value(Array{Value(1), Value(2)}), "items", 2},
      {"typed length", Value("p"), 40, typed(repeated("x", 120)), "p", 120},
  };
  for (const Case& c : cases) {
    Dictionary parameters;
    APMAddErrorValueParameters(parameters, c.subject, c.limit, c.lengthSource);
    EXPECT_EQ(stringAt(parameters, "_ev"), c.ev) << c.label;
    EXPECT_EQ(int64At(parameters, "_el"), c.el) << c.label;
    EXPECT_FALSE(parameters.contains("_err")) << c.label;
  }
  // 40 characters and "...": 43 in all.
  Dictionary parameters;
  APMAddErrorValueParameters(parameters, Value(repeated("n", 41)), 40, std::nullopt);
  EXPECT_EQ(stringAt(parameters, "_ev").size(), 43u);
}

TEST(APMErrorRecording, TheFirstErrorWins) {
  Dictionary parameters;
  APMRecordParameterError(parameters, kAPMErrorCodeInvalidParameterValue, Value("first"), 40,
                          Value("abc"));
  APMRecordParameterError(parameters, kAPMErrorCodeInvalidParameterName, Value("second"), 40,
                          Value("abcdef"));
  APMSetErrorCodeIfAbsent(parameters, kAPMErrorCodeParameterLimitReached);
  APMAddErrorValueParameters(parameters, Value("third"), 40, Value("x"));
  APMRecordArrayParameterError(parameters, kAPMValidationFailureArrayNested, "items", "purchase");
  EXPECT_EQ(int64At(parameters, "_err"), 4);
  EXPECT_EQ(stringAt(parameters, "_ev"), "first");
  EXPECT_EQ(int64At(parameters, "_el"), 3);
  EXPECT_EQ(parameters.size(), 3u);

  // An error code alone blocks a later parameter error.
  Dictionary codeOnly;
  APMSetErrorCodeIfAbsent(codeOnly, kAPMErrorCodeParameterLimitReached);
  APMSetErrorCodeIfAbsent(codeOnly, kAPMErrorCodeInvalidParameterName);
  APMRecordParameterError(codeOnly, kAPMErrorCodeInvalidParameterName, Value("x"), 40,
                          std::nullopt);
  EXPECT_EQ(codeOnly.size(), 1u);
  EXPECT_EQ(int64At(codeOnly, "_err"), 5);

  // So does an "_ev" already there.
  Dictionary valueOnly{{"_ev", typed("earlier")}};
  APMRecordParameterError(valueOnly, kAPMErrorCodeInvalidParameterName, Value("x"), 40,
                          std::nullopt);
  EXPECT_FALSE(valueOnly.contains("_err"));
}

TEST(APMErrorRecording, ArrayFailuresMapToTheirErrors) {
  struct Case {
    std::int64_t failure;
    std::int64_t error;  // -1: nothing recorded
    std::string subject;
  };
  const Case cases[] = {
      {kAPMValidationFailureArrayNotEcommerce, 21, "my_event"},
      {kAPMValidationFailureArrayNotItems, 20, "products"},
      {kAPMValidationFailureArrayTooLarge, 17, "products"},
      {kAPMValidationFailureArrayNested, 22, "products"},
      {kAPMValidationFailureArrayItemNotDictionary, -1, ""},
      {kAPMValidationFailureTooLong, -1, ""},
      {kAPMValidationFailureNone, -1, ""},
  };
  for (const Case& c : cases) {
    Dictionary parameters;
    APMRecordArrayParameterError(parameters, c.failure, "products", "my_event");
    if (c.error < 0) {
      EXPECT_TRUE(parameters.empty()) << c.failure;
      continue;
    }
    EXPECT_EQ(int64At(parameters, "_err"), c.error) << c.failure;
    EXPECT_EQ(stringAt(parameters, "_ev"), c.subject) << c.failure;
    EXPECT_FALSE(parameters.contains("_el")) << c.failure;
  }
  Dictionary longName;
  APMRecordArrayParameterError(longName, kAPMValidationFailureArrayNotItems, repeated("p", 45),
                               "purchase");
  EXPECT_EQ(stringAt(longName, "_ev"), repeated("p", 40) + "...");
}

class RecordingFront : public APMInternalEventLogging {
 public:
  struct Event {
    std::string origin;
    std::string name;
    Dictionary parameters;
  };
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const Dictionary& parameters) override {
    events.push_back({origin, name, parameters});
  }
  std::vector<Event> events;
};

class APMErrorEventTest : public ::testing::Test {
 protected:
  void SetUp() override { APMSetInternalEventLogging(front_); }
  void TearDown() override { APMSetInternalEventLogging(nullptr); }
  std::shared_ptr<RecordingFront> front_ = std::make_shared<RecordingFront>();
};

TEST_F(APMErrorEventTest, CodeZeroLogsNothing) {
  APMLogErrorEvent(0);
  APMLogErrorEventWithValue(0, Value("name"), 40, Value("name"));
  EXPECT_TRUE(front_->events.empty());
}

TEST_F(APMErrorEventTest, ErrorEventCarriesThePlainCode) {
  APMLogErrorEvent(kAPMErrorCodePublicEventLimitReached);
  ASSERT_EQ(front_->events.size(), 1u);
  EXPECT_EQ(front_->events[0].origin, "auto");
  EXPECT_EQ(front_->events[0].name, "_err");
  EXPECT_EQ(front_->events[0].parameters, (Dictionary{{"_err", Value(16)}}));
}

TEST_F(APMErrorEventTest, LengthIsReportedForCodesFourAndSevenOrAnOverlongString) {
  struct Case {
    std::string label;
    std::int64_t code;
    std::optional<Value> value;
    std::int64_t el;  // -1: absent
  };
  const Case cases[] = {
      {"short name, code 2", 2, Value("bad-name"), -1},
      {"long name, code 2", 2, Value(repeated("n", 41)), 41},
      {"short value, code 7", 7, Value("short"), 5},
      {"short value, code 4", 4, Value("abc"), 3},
      {"array, code 4", 4, Value(Array{Value(1)}), 1},
      {"nil value, code 7", 7, std::nullopt, -1},
      {"long number, code 13", 13, Value(123456), -1},
  };
  for (const Case& c : cases) {
    front_->events.clear();
    APMLogErrorEventWithValue(c.code, Value(repeated("n", 41)), 40, c.value);
    ASSERT_EQ(front_->events.size(), 1u) << c.label;
    const Dictionary& parameters = front_->events[0].parameters;
    EXPECT_EQ(int64At(parameters, "_err"), c.code) << c.label;
    EXPECT_EQ(stringAt(parameters, "_ev"), repeated("n", 40) + "...") << c.label;
    EXPECT_EQ(int64At(parameters, "_el"), c.el) << c.label;
  }
}

}  // namespace
