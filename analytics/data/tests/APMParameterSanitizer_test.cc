// Cleaning event parameters: dropped names and values, the error record, the "items" array
// and its elements, the parameter limits, and the value/currency rule of conversions.

#include "analytics/data/APMParameterSanitizer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/date.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::Value;

class APMParameterSanitizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = std::make_shared<APMRemoteConfig>();
    APMMeasurementSetRemoteConfig(config_);
  }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }

  std::shared_ptr<APMRemoteConfig> config_;
};

APMValuePtr typed(const Dictionary& parameters, std::string_view name) {
  const Value* object = parameters.find(name);
  return object != nullptr ? APMValueOf(*object) : nullptr;
}

std::optional<std::int64_t> errorCode(const Dictionary& parameters) {
  const APMValuePtr value = typed(parameters, "_err");
  if (value == nullptr) return std::nullopt;
  return value->int64Value();
}

std::optional<std::string> errorValue(const Dictionary& parameters) {
  const APMValuePtr value = typed(parameters, "_ev");
  return value != nullptr ? value->stringValue() : std::nullopt;
}

std::optional<std::int64_t> errorLength(const Dictionary& parameters) {
  const APMValuePtr value = typed(parameters, "_el");
  if (value == nullptr) return std::nullopt;
  return value->int64Value();
}

bool logged(const ScopedMonitor& monitor, std::int64_t code) {
  for (const auto& line : monitor->lines())
    if (line.messageCode == code) return true;
  return false;
}

Array items(std::size_t count) {
  Array array;
  for (std::size_t i = 0; i < count; ++i)
    array.emplace_back(Dictionary{{"item_id", Value("id" + std::to_string(i))}});
  return array;
}

TEST_F(APMParameterSanitizerTest, ValuesBecomeTypedAndTypedOnesAreKeptAsTheyAre) {
  EXPECT_EQ(APMSanitizedEventParameters({}, "e", true, false), std::nullopt);

  const APMValuePtr already = APMValue::initWithString(Value("typed"));
  const auto result = APMSanitizedEventParameters(
      {{"s", Value("x")}, {"i", Value(3)}, {"d", Value(1.5)}, {"t", Value(already)}}, "e", true,
      false);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->keys(), (std::vector<std::string>{"s", "i", "d", "t"}));
  EXPECT_EQ(typed(*result, "s")->stringValue(), "x");
  EXPECT_TRUE(typed(*result, "i")->isInt64());
  EXPECT_TRUE(typed(*result, "d")->isDouble());
  EXPECT_EQ(typed(*result, "t"), already);

  // Nothing to repair: the input comes back unchanged.
  const Dictionary clean{{"t", Value(already)}};
  EXPECT_EQ(APMSanitizedEventParameters(clean, "e", true, false), clean);
}

TEST_F(APMParameterSanitizerTest, RefusedNamesRecordTheFirstErrorOnly) {
  struct Case {
    const char* name;
    std::int64_t error;
  };
  const Case cases[] = {
      {"ziruzada_thing", 14}, {"da_thing", 14},
      {"with-hyphen", 3},     {"_internal", 3},  // public names start with a letter
      {"9lives", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = APMSanitizedEventParameters(
        {{c.name, Value(1)}, {"bad name", Value(2)}, {"kept", Value(3)}}, "e", true, false);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->contains(c.name));
    EXPECT_FALSE(result->contains("bad name"));
    EXPECT_TRUE(result->contains("kept"));
    EXPECT_EQ(errorCode(*result), c.error);
    EXPECT_EQ(errorValue(*result), c.name);  // the second refused name records nothing
    EXPECT_EQ(errorLength(*result), std::nullopt);
  }

  // A name over 40 characters is cut in "_ev", its length in "_el".
  const std::string longName(45, 'n');
  const auto result = APMSanitizedEventParameters({{longName, Value(1)}}, "e", true, false);
  ASSERT_TRUE(result);
  EXPECT_EQ(errorCode(*result), 3);
  EXPECT_EQ(errorValue(*result), std::string(40, 'n') + "...");
  EXPECT_EQ(errorLength(*result), 45);
}

TEST_F(APMParameterSanitizerTest, WhenEveryEntryIsDroppedOnlyTheErrorRecordIsLeft) {
  ScopedMonitor monitor;
  const auto onlyError = APMSanitizedEventParameters(
      {{"bad-name", Value(1)}, {"rerora_x", Value(2)}}, "e", true, false);
  ASSERT_TRUE(onlyError);
  EXPECT_EQ(onlyError->size(), 2u);
  EXPECT_EQ(errorCode(*onlyError), 3);
  EXPECT_EQ(errorValue(*onlyError), "bad-name");
  EXPECT_FALSE(logged(monitor, 18017));

  const auto nothing = APMSanitizedEventParameters(
      {{"date", Value(platform::Date::fromTimeIntervalSince1970(1))}}, "e", true, false);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->empty());
  ASSERT_TRUE(logged(monitor, 18015));
  for (const auto& line : monitor->lines())
    if (line.messageCode == 18015) {
      EXPECT_EQ(line.contexts.at(0), Value("NSDate"));
    }
}

TEST_F(APMParameterSanitizerTest, AValueOverTheLengthLimitIsDroppedWithItsLength) {
  const auto result = APMSanitizedEventParameters(
      {{"long", Value(std::string(101, 'v'))}, {"ok", Value(std::string(100, 'v'))}}, "e", true,
      false);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->contains("long"));
  EXPECT_TRUE(result->contains("ok"));
  EXPECT_EQ(errorCode(*result), 4);
  EXPECT_EQ(errorValue(*result), "long");
  EXPECT_EQ(errorLength(*result), 101);

  // Internal-style events have the internal limit (256 by default); 101 passes.
  const auto internal =
      APMSanitizedEventParameters({{"long", Value(std::string(101, 'v'))}}, "_vs", false, false);
  ASSERT_TRUE(internal);
  EXPECT_TRUE(internal->contains("long"));
  const auto tooLong = APMSanitizedEventParameters({{"long", Value(std::string(257, 'v'))}},
                                                   "screen_view", false, false);
  ASSERT_TRUE(tooLong);
  EXPECT_EQ(errorCode(*tooLong), 4);
  EXPECT_EQ(errorLength(*tooLong), 257);
}

TEST_F(APMParameterSanitizerTest, PublicParametersAreCutToTheLimitFromTheEndOfTheNameOrder) {
  Dictionary parameters;
  for (int i = 25; i >= 0; --i) parameters.set("p" + std::to_string(100 + i), Value(i));
  parameters.set("_c", Value(1));
  parameters.set("_x", Value(2));
  ScopedMonitor monitor;
  const auto result = APMSanitizedEventParameters(parameters, "my_event", false, false);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->contains("p125"));
  EXPECT_TRUE(result->contains("p124"));
  EXPECT_TRUE(result->contains("p100"));
  EXPECT_TRUE(result->contains("_c"));
  EXPECT_TRUE(result->contains("_x"));
  EXPECT_EQ(APMCountPublicParameters(*result, false), 25);
  EXPECT_EQ(errorCode(*result), 5);
  EXPECT_EQ(errorValue(*result), std::nullopt);
  bool found = false;
  for (const auto& line : monitor->lines())
    if (line.messageCode == 18017) {
      found = true;
      EXPECT_EQ(line.level, 1);
      EXPECT_EQ(line.message, "Event cannot contain more than 25 parameters");
    }
  EXPECT_TRUE(found);

  // Exactly at the limit nothing is cut.
  parameters.erase("p125");
  const auto atLimit = APMSanitizedEventParameters(parameters, "my_event", false, false);
  ASSERT_TRUE(atLimit);
  EXPECT_EQ(errorCode(*atLimit), std::nullopt);

  // A configured limit applies.
  config_->cacheValue(Value(30), "measurement.upload.max_public_event_params");
  for (int i = 0; i < 10; ++i) parameters.set("q" + std::to_string(i), Value(i));
  const auto configured = APMSanitizedEventParameters(parameters, "my_event", false, false);
  ASSERT_TRUE(configured);
  EXPECT_EQ(APMCountPublicParameters(*configured, false), 30);
  EXPECT_FALSE(configured->contains("q9"));
}

TEST_F(APMParameterSanitizerTest, TheItemsArrayIsCheckedAndItsElementsCleaned) {
  struct Case {
    const char* label;
    const char* event;
    const char* parameter;
    std::size_t count;
    std::optional<std::size_t> kept;  // none: the array is dropped
    std::int64_t error;
    const char* subject;
  };
  const Case cases[] = {
      {"too many items", "purchase", "items", 250, 200, 17, "items"},
      {"exactly 200", "purchase", "items", 200, 200, 0, nullptr},
      {"custom event", "my_event", "items", 250, std::nullopt, 21, "my_event"},
      {"not named items", "purchase", "things", 2, std::nullopt, 20, "things"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto result = APMSanitizedEventParameters(
        {{c.parameter, Value(items(c.count))}, {"value", Value(1)}}, c.event, true, false);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->contains("value"));
    const APMValuePtr array = typed(*result, c.parameter);
    if (c.kept) {
      ASSERT_NE(array, nullptr);
      ASSERT_NE(array->arrayValue(), nullptr);
      ASSERT_EQ(array->arrayValue()->size(), *c.kept);
      // Elements are cleaned into typed dictionaries.
      const Dictionary* first = (*array->arrayValue())[0].asDictionary();
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(typed(*first, "item_id")->stringValue(), "id0");
    } else {
      EXPECT_EQ(array, nullptr);
    }
    if (c.error == 0) {
      EXPECT_EQ(errorCode(*result), std::nullopt);
    } else {
      EXPECT_EQ(errorCode(*result), c.error);
      EXPECT_EQ(errorValue(*result), c.subject);
    }
  }
}

TEST_F(APMParameterSanitizerTest, ProblemsInsideElementsAreRecordedWhereTheyBelong) {
  // An element that is not a dictionary is skipped; the event records it.
  const Array mixed{Value(Dictionary{{"item_id", Value("a")}}), Value("not an item"),
                    Value(Dictionary{{"item_id", Value("b")}})};
  const auto result =
      APMSanitizedEventParameters({{"items", Value(mixed)}}, "purchase", true, false);
  ASSERT_TRUE(result);
  ASSERT_EQ(typed(*result, "items")->arrayValue()->size(), 2u);
  EXPECT_EQ(errorCode(*result), 4);
  EXPECT_EQ(errorValue(*result), "items[1]");

  // A nested array is dropped and recorded inside the element.
  const Array nested{Value(Dictionary{{"item_id", Value("a")}, {"items", Value(items(1))}})};
  const auto withNested =
      APMSanitizedEventParameters({{"items", Value(nested)}}, "purchase", true, false);
  ASSERT_TRUE(withNested);
  EXPECT_EQ(errorCode(*withNested), std::nullopt);
  const Dictionary& element = *(*typed(*withNested, "items")->arrayValue())[0].asDictionary();
  EXPECT_FALSE(element.contains("items"));
  EXPECT_EQ(errorCode(element), 22);
}

TEST_F(APMParameterSanitizerTest, CustomParametersOfElementsFollowTheItemScopedSettings) {
  const Array one{
      Value(Dictionary{{"item_id", Value("a")}, {"price", Value(2.5)}, {"colour", Value("red")}})};
  {
    ScopedMonitor monitor;
    config_->cacheValue(Value(0), "measurement.item_scoped_custom_parameter_enabled");
    const auto result =
        APMSanitizedEventParameters({{"items", Value(one)}}, "purchase", true, false);
    ASSERT_TRUE(result);
    const Dictionary& element = *(*typed(*result, "items")->arrayValue())[0].asDictionary();
    EXPECT_FALSE(element.contains("colour"));
    EXPECT_TRUE(element.contains("item_id"));
    EXPECT_TRUE(element.contains("price"));
    EXPECT_EQ(errorCode(element), 23);
    EXPECT_EQ(errorCode(*result), std::nullopt);
    EXPECT_TRUE(logged(monitor, 18016));
  }

  SetUp();  // a fresh configuration: custom parameters on, at most 10
  config_->cacheValue(Value(10), "measurement.upload.max_item_scoped_custom_parameters");
  Dictionary item{{"item_id", Value("a")}};
  for (int i = 0; i < 11; ++i) item.set("custom" + std::to_string(10 + i), Value(i));
  const auto result =
      APMSanitizedEventParameters({{"items", Value(Array{Value(item)})}}, "purchase", true, false);
  ASSERT_TRUE(result);
  const Dictionary& element = *(*typed(*result, "items")->arrayValue())[0].asDictionary();
  EXPECT_FALSE(element.contains("custom20"));
  EXPECT_TRUE(element.contains("custom19"));
  EXPECT_TRUE(element.contains("item_id"));
  EXPECT_EQ(errorCode(element), 28);
}

TEST_F(APMParameterSanitizerTest, TheErrorValueParameterIsCutNotRefused) {
  const std::string full(300, 'e');
  const auto cut = APMSanitizedEventParameters({{"_ev", Value(full)}}, "_err", false, false);
  ASSERT_TRUE(cut);
  EXPECT_EQ(errorValue(*cut), std::string(256, 'e') + "...");
  EXPECT_EQ(errorLength(*cut), 300);

  const std::string alreadyCut = std::string(256, 'e') + "...";
  const auto kept = APMSanitizedEventParameters({{"_ev", Value(alreadyCut)}, {"_el", Value(300)}},
                                                "_err", false, false);
  ASSERT_TRUE(kept);
  EXPECT_EQ(errorValue(*kept), alreadyCut);
  EXPECT_EQ(errorLength(*kept), 300);
}

TEST_F(APMParameterSanitizerTest, AConversionValueMustBeNumericAndComeWithACurrency) {
  struct Case {
    const char* label;
    Dictionary parameters;
    bool valid;
    std::optional<std::int64_t> error;
    std::optional<std::string> subject;
  };
  auto v = [](Value value) { return Value(APMValue::valueFromObject(value)); };
  const Case cases[] = {
      {"no value", {{"x", v(Value(1))}}, true, std::nullopt, std::nullopt},
      {"number and currency",
       {{"value", v(Value(9.99))}, {"currency", v(Value("usd"))}},
       true,
       std::nullopt,
       std::nullopt},
      {"string value",
       {{"value", v(Value("9.99"))}, {"currency", v(Value("USD"))}},
       false,
       18,
       "value"},
      {"no currency", {{"value", v(Value(5))}}, false, 19, "currency"},
      {"bad currency",
       {{"value", v(Value(5))}, {"currency", v(Value("US1"))}},
       false,
       19,
       "currency"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedMonitor monitor;
    Dictionary parameters = c.parameters;
    EXPECT_EQ(APMValidateValueAndCurrency(parameters), c.valid);
    EXPECT_EQ(parameters.contains("value"), c.valid && c.parameters.contains("value"));
    EXPECT_EQ(errorCode(parameters), c.error);
    EXPECT_EQ(errorValue(parameters), c.subject);
    EXPECT_EQ(logged(monitor, 18014), c.error == 19);
  }
}

TEST_F(APMParameterSanitizerTest, TrimmingSparesInternalAndOptionallyStandardItemParameters) {
  Dictionary parameters{
      {"price", Value(1)}, {"zeta", Value(2)}, {"alpha", Value(3)}, {"_r", Value(1)}};
  EXPECT_EQ(APMCountPublicParameters(parameters, false), 3);
  EXPECT_EQ(APMCountPublicParameters(parameters, true), 2);

  Dictionary spared = parameters;
  APMTrimParametersToLimit(spared, 0, true);
  EXPECT_EQ(spared.keys(), (std::vector<std::string>{"price", "_r"}));

  Dictionary trimmed = parameters;
  APMTrimPublicParameters(trimmed, 1);
  EXPECT_EQ(trimmed.keys(), (std::vector<std::string>{"alpha", "_r"}));
}

}  // namespace
