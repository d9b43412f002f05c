// The event model: construction rules, flags, default and screen parameters, the script
// engine's view, the wire form both ways, and the event predicates.

#include "analytics/data/APMEvent.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "analytics/messages/APMPBFieldIndexes.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Dictionary;
using platform::Value;

using namespace APMPBEventFields;

class APMEventTest : public ::testing::Test {
 protected:
  void SetUp() override { APMMeasurementSetRemoteConfig(std::make_shared<APMRemoteConfig>()); }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }
};

APMValuePtr typed(const APMEvent& event, std::string_view name) {
  const Value* object = event.parameters().find(name);
  return object != nullptr ? APMValueOf(*object) : nullptr;
}

std::optional<std::int64_t> errorCode(const APMEvent& event) {
  const APMValuePtr value = typed(event, "_err");
  if (value == nullptr) return std::nullopt;
  return value->int64Value();
}

std::shared_ptr<APMEvent> event(const Dictionary& parameters = {}, const std::string& name = "e",
                                double timestamp = 10, double previousTimestamp = 0) {
  return APMEvent::initWithOrigin("app", false, name, timestamp, previousTimestamp, parameters);
}

std::vector<std::int64_t> codesOf(const ScopedMonitor& monitor) {
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor->lines()) codes.push_back(line.messageCode);
  return codes;
}

std::vector<std::shared_ptr<APMPBEventParam>> paramsOf(const NANOMessageBase* message,
                                                       std::int32_t index) {
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  const auto array = nano_get_array(message, index, &APMPBEventParam::messageClass());
  if (!array) return params;
  for (const auto& element : *array)
    params.push_back(std::static_pointer_cast<APMPBEventParam>(std::get<NanoMessagePtr>(element)));
  return params;
}

TEST_F(APMEventTest, OriginsMustBeInternalNamesOptionallyForwarded) {
  struct Case {
    std::optional<std::string> origin;
    bool constructs;
  };
  const Case cases[] = {
      {"app", true},
      {"auto", true},
      {"app+rtm", true},
      {"+rtm", false},
      {"", false},
      {std::nullopt, false},
      {"bad origin", false},
      {std::string(32, 'o'), true},
      {std::string(33, 'o'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin.value_or("nil"));
    const auto made = APMEvent::initWithOrigin(c.origin, false, "e", 1, 0, {});
    ASSERT_EQ(made != nullptr, c.constructs);
    if (made) {
      EXPECT_EQ(typed(*made, "_o")->stringValue(), c.origin);
    }
  }
}

TEST_F(APMEventTest, PublicEventsMayNotUseReservedNames) {
  struct Case {
    const char* name;
    bool isPublic;
    bool constructs;
  };
  const Case cases[] = {
      {"screen_view", true, true},
      {"first_open", true, false},
      {"ad_impression", true, true},
      {"rerora_thing", true, false},
      {"_vs", true, false},
      {"_vs", false, true},
      {"", false, false},
      {"bad-name", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(APMEvent::initWithOrigin("app", c.isPublic, c.name, 1, 0, {}) != nullptr,
              c.constructs);
  }
}

TEST_F(APMEventTest, ConstructionKeepsItsInputsAndRepairsTheParameters) {
  ScopedMonitor monitor;
  const auto made = event({{"_o", Value("other")}, {"n", Value(3)}}, "e", 10, 20);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->origin(), "app");
  EXPECT_EQ(made->name(), "e");
  EXPECT_EQ(made->timestamp(), 10);
  EXPECT_EQ(made->previousTimestamp(), 20);
  EXPECT_EQ(typed(*made, "_o")->stringValue(), "app");
  EXPECT_EQ(typed(*made, "n")->int64Value(), 3);
  ASSERT_EQ(codesOf(monitor), std::vector<std::int64_t>{16002});
  EXPECT_EQ(monitor->lines()[0].level, 5);

  // A conversion whose value is not numeric loses the value and the conversion flag.
  const auto conversion =
      event({{"_c", Value(1)}, {"value", Value("abc")}, {"currency", Value("USD")}}, "purchase");
  ASSERT_NE(conversion, nullptr);
  EXPECT_FALSE(conversion->isConversion());
  EXPECT_FALSE(conversion->parameters().contains("value"));
  EXPECT_EQ(errorCode(*conversion), 18);

  // Ad impressions are checked without being conversions.
  const auto impression = event({{"value", Value(2)}}, "_ai");
  ASSERT_NE(impression, nullptr);
  EXPECT_FALSE(impression->parameters().contains("value"));
  EXPECT_EQ(errorCode(*impression), 19);
}

TEST_F(APMEventTest, CopiesAreBaseEventsWithTheGivenChanges) {
  const auto connector = ZOZAZazez::initWithOrigin("app", false, "e", 10, 5, {{"n", Value(1)}});
  ASSERT_NE(connector, nullptr);
  EXPECT_STREQ(connector->className(), "ZOZAZazez");

  const auto copy = connector->copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->className(), "APMEvent");
  EXPECT_EQ(copy->parameters(), connector->parameters());
  EXPECT_EQ(copy->previousTimestamp(), 5);

  EXPECT_EQ(connector->copyWithPreviousTimestamp(7)->previousTimestamp(), 7);
  const auto replaced = connector->copyWithParameters({{"m", Value("x")}});
  ASSERT_NE(replaced, nullptr);
  EXPECT_FALSE(replaced->parameters().contains("n"));
  EXPECT_EQ(typed(*replaced, "m")->stringValue(), "x");
  EXPECT_EQ(typed(*replaced, "_o")->stringValue(), "app");
}

TEST_F(APMEventTest, TheConversionFlagNeedsAValidValueAndLeavesAnErrorWhenTakenAway) {
  auto plain = event();
  const Dictionary before = plain->parameters();
  plain->setConversion(false);
  EXPECT_EQ(plain->parameters(), before);

  auto withError = event({{"_c", Value(1)}, {"_err", Value(4)}});
  ASSERT_TRUE(withError->isConversion());
  withError->setConversion(false);
  EXPECT_FALSE(withError->isConversion());
  EXPECT_EQ(errorCode(*withError), 4);

  auto limited = event({{"_c", Value(1)}});
  limited->setConversion(false);
  EXPECT_EQ(errorCode(*limited), 10);
  limited->setConversion(true);
  EXPECT_TRUE(limited->isConversion());
  EXPECT_EQ(errorCode(*limited), std::nullopt);

  auto invalid = event({{"value", Value(3)}});
  invalid->setConversion(true);
  EXPECT_FALSE(invalid->isConversion());
  EXPECT_FALSE(invalid->parameters().contains("value"));
  EXPECT_EQ(errorCode(*invalid), 19);
}

TEST_F(APMEventTest, RealtimeAndDebugFlags) {
  auto made = event();
  EXPECT_FALSE(made->isRealtime());
  EXPECT_FALSE(made->isDebug());
  made->setRealtime(true);
  made->setDebug(true);
  EXPECT_TRUE(made->isRealtime());
  EXPECT_TRUE(made->isDebug());
  made->setRealtime(false);
  made->setDebug(false);
  EXPECT_FALSE(made->parameters().contains("_r"));
  EXPECT_FALSE(made->parameters().contains("_dbg"));

  ScopedMonitor monitor;
  EXPECT_FALSE(event({{"_r", Value("yes")}})->isRealtime());
  EXPECT_EQ(codesOf(monitor), std::vector<std::int64_t>{16006});
  EXPECT_FALSE(event({{"_r", Value(2)}})->isRealtime());
}

TEST_F(APMEventTest, DefaultParametersAreCleanedAndTheEventsOwnWin) {
  auto made = event({{"shared", Value("own")}});
  made->applyParameters({{"shared", Value("default")},
                         {"extra", Value(5)},
                         {"_internal", Value(1)}});  // not a public name
  EXPECT_EQ(typed(*made, "shared")->stringValue(), "own");
  EXPECT_EQ(typed(*made, "extra")->int64Value(), 5);
  EXPECT_FALSE(made->parameters().contains("_internal"));
  EXPECT_EQ(typed(*made, "_o")->stringValue(), "app");

  auto unchanged = event();
  const Dictionary before = unchanged->parameters();
  unchanged->applyParameters({{"bad-name", Value(1)}});  // cleans to its error record only
  EXPECT_FALSE(unchanged->parameters().contains("bad-name"));
  unchanged->applyParameters({});
  EXPECT_TRUE(unchanged->parameters().contains("_o"));
}

TEST_F(APMEventTest, ScreenParametersAreAddedOnlyWhenValidAndNotThereYet) {
  auto made = event();
  EXPECT_TRUE(made->addScreenParameters(
      {{"_si", Value(7)}, {"_sc", Value("Controller")}, {"_sn", Value("Home")}}));
  EXPECT_EQ(typed(*made, "_si")->int64Value(), 7);
  EXPECT_EQ(typed(*made, "_sc")->stringValue(), "Controller");
  EXPECT_EQ(typed(*made, "_sn")->stringValue(), "Home");
  EXPECT_FALSE(made->addScreenParameters({{"_si", Value(8)}}));
  EXPECT_EQ(typed(*made, "_si")->int64Value(), 7);

  struct Case {
    const char* label;
    Dictionary screen;
    std::optional<std::int64_t> code;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt},
      {"no id", {{"_sc", Value("C")}}, std::nullopt},
      {"id as a string", {{"_si", Value("7")}}, std::nullopt},
      {"class not a string", {{"_si", Value(7)}, {"_sc", Value(1)}}, std::nullopt},
      {"class too long", {{"_si", Value(7)}, {"_sc", Value(std::string(101, 'c'))}}, 16003},
      {"name empty", {{"_si", Value(7)}, {"_sn", Value("")}}, 16004},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedMonitor monitor;
    auto target = event();
    const Dictionary before = target->parameters();
    EXPECT_FALSE(target->addScreenParameters(c.screen));
    EXPECT_EQ(target->parameters(), before);
    const auto codes = codesOf(monitor);
    if (c.code) {
      EXPECT_NE(std::find(codes.begin(), codes.end(), *c.code), codes.end());
    }
  }

  // Typed values are accepted as well.
  auto typedScreen = event();
  EXPECT_TRUE(
      typedScreen->addScreenParameters({{"_si", Value(APMValue::initWithInt64(3))},
                                        {"_sc", Value(APMValue::initWithString(Value("C")))}}));
  EXPECT_EQ(typed(*typedScreen, "_sc")->stringValue(), "C");
}

TEST_F(APMEventTest, TheScriptEngineSeesPublicNamesAndPlainValues) {
  const Array items{Value(Dictionary{{"item_id", Value("a")}, {"price", Value(2.5)}})};
  const auto made = APMEvent::initWithOrigin(
      "app", false, "_vs", 12.5, 0,
      {{"s", Value("x")}, {"i", Value(3)}, {"d", Value(1.5)}, {"_o", Value("app")}});
  ASSERT_NE(made, nullptr);
  const APMPEvent edit = made->editEvent();
  EXPECT_EQ(edit.name(), "screen_view");
  EXPECT_EQ(edit.timestamp(), 12.5);
  EXPECT_EQ(edit.parameterForName("s"), Value("x"));
  EXPECT_EQ(edit.parameterForName("i")->type(), Value::Type::Int);
  EXPECT_EQ(edit.parameterForName("d")->type(), Value::Type::Double);
  EXPECT_FALSE(edit.parameterForName("s")->isObject());

  // Items become plain dictionaries, without arrays inside them.
  auto purchase = event({{"items", Value(items)}}, "purchase");
  ASSERT_NE(purchase, nullptr);
  const APMPEvent purchaseEdit = purchase->editEvent();
  EXPECT_EQ(purchaseEdit.name(), "purchase");
  const auto plainItems = purchaseEdit.parameterForName("items");
  ASSERT_TRUE(plainItems && plainItems->isArray());
  EXPECT_EQ((*plainItems)[0]["item_id"], Value("a"));
  EXPECT_EQ((*plainItems)[0]["price"].type(), Value::Type::Double);

  // Back: the public name maps to the internal one, "_o" gives the origin, no previous time.
  APMPEvent changed("screen_view", 20, {{"_o", Value("auto")}, {"n", Value(4)}});
  const auto back = APMEvent::eventFromEditEvent(changed);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->timestamp(), 20);
  EXPECT_EQ(back->previousTimestamp(), 0);
  EXPECT_EQ(typed(*back, "n")->int64Value(), 4);

  const auto fromApp = APMEvent::eventFromEditEvent(APMPEvent("custom", 1, {{"_o", Value(1)}}));
  ASSERT_NE(fromApp, nullptr);
  EXPECT_EQ(fromApp->name(), "custom");
  EXPECT_EQ(fromApp->origin(), "app");
  const auto roundTrip = APMEvent::eventFromEditEvent(purchaseEdit);
  ASSERT_NE(roundTrip, nullptr);
  EXPECT_EQ(APMArrayParameterItemCount(roundTrip.get()), 1);
}

TEST_F(APMEventTest, TimesGoToTheWireAsTruncatedMilliseconds) {
  struct Case {
    double timestamp;
    double previousTimestamp;
    std::int64_t millis;
    std::optional<std::int64_t> previousMillis;
  };
  const Case cases[] = {
      {0.0015, 0, 1, std::nullopt},
      {-0.0015, 0, -1, std::nullopt},
      {1.2345, 0.0015, 1234, 1},
      {10, 1e-17, 10000, std::nullopt},
      {1e300, 0, std::numeric_limits<std::int64_t>::max(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timestamp);
    const auto proto = event({}, "e", c.timestamp, c.previousTimestamp)->protoEvent();
    ASSERT_NE(proto, nullptr);
    EXPECT_EQ(nano_get_int64(proto.get(), kEventTimestampMillis), c.millis);
    EXPECT_EQ(nano_has_field(proto.get(), kEventPreviousTimestampMillis),
              c.previousMillis.has_value());
    if (c.previousMillis) {
      EXPECT_EQ(nano_get_int64(proto.get(), kEventPreviousTimestampMillis), *c.previousMillis);
    }
  }
}

TEST_F(APMEventTest, TheWireFormHoldsOneParameterPerValueAndItemsTwoLevelsDown) {
  const Array items{Value(Dictionary{{"item_id", Value("a")}, {"quantity", Value(2)}}),
                    Value(Dictionary{{"item_id", Value("b")}, {"price", Value(1.5)}})};
  const auto made = event({{"items", Value(items)}, {"d", Value(0.5)}}, "purchase", 3, 0);
  ASSERT_NE(made, nullptr);
  const auto proto = made->protoEvent();
  EXPECT_EQ(nano_get_string(proto.get(), kEventName), "purchase");

  // Round-trips through bytes, then is read from them.
  const auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes);
  const auto decoded = APMPBEvent::initWithBuffer(&*bytes);
  ASSERT_NE(decoded, nullptr);
  const auto params = paramsOf(decoded.get(), kEventParams);
  ASSERT_EQ(params.size(), 3u);
  EXPECT_EQ(nano_get_string(params[0].get(), kParamName), "items");
  EXPECT_EQ(nano_get_string(params[1].get(), kParamName), "d");
  EXPECT_EQ(nano_get_double(params[1].get(), kParamDoubleValue), 0.5);
  EXPECT_EQ(nano_get_string(params[2].get(), kParamName), "_o");
  EXPECT_EQ(nano_get_string(params[2].get(), kParamStringValue), "app");

  const auto elements = paramsOf(params[0].get(), kParamParamValue);
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_FALSE(nano_has_field(elements[0].get(), kParamName));
  const auto first = paramsOf(elements[0].get(), kParamParamValue);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(nano_get_string(first[0].get(), kParamName), "item_id");
  EXPECT_EQ(nano_get_string(first[0].get(), kParamStringValue), "a");
  EXPECT_EQ(nano_get_int64(first[1].get(), kParamIntValue), 2);

  // Nested parameters are not read back: the items are lost.
  const auto back = APMEvent::initWithEventProto(*decoded);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->timestamp(), 3);
  EXPECT_FALSE(back->parameters().contains("items"));
  EXPECT_EQ(typed(*back, "d")->doubleValue(), 0.5);
}

TEST_F(APMEventTest, ParametersThatCannotBeWrittenAreLeftOutAndLogged) {
  auto made = event({{"n", Value(1)}});
  // An element holding an array of its own, and a plain value where a typed one belongs:
  // neither can be written.
  const Array items{Value(Dictionary{{"item_id", Value(APMValue::initWithString(Value("a")))},
                                     {"inner", Value(APMValue::initWithArray(Value(Array{})))},
                                     {"plain", Value(3)}})};
  made = made->copyWithParameters({{"items", Value(APMValue::initWithArray(Value(items)))}});
  ASSERT_NE(made, nullptr);
  ScopedMonitor monitor;
  const auto proto = made->protoEvent();
  const auto codes = codesOf(monitor);
  EXPECT_EQ(codes, (std::vector<std::int64_t>{16007, 16005}));
  const auto params = paramsOf(proto.get(), kEventParams);
  ASSERT_EQ(params.size(), 2u);
  const auto elements = paramsOf(params[0].get(), kParamParamValue);
  ASSERT_EQ(elements.size(), 1u);
  EXPECT_EQ(paramsOf(elements[0].get(), kParamParamValue).size(), 1u);
}

// The bytes written straight from the event are the bytes of the message protoEvent() builds,
// with and without the name, and the parameters that cannot be written are logged alike.
TEST_F(APMEventTest, DirectWireBytesAreTheMessageRuntimesBytes) {
  const auto typedArray = [](const Array& items) {
    return Value(APMValue::initWithArray(Value(items)));
  };
  const auto typedString = [](const std::string& text) {
    return Value(APMValue::initWithString(Value(text)));
  };
  // 200 items of some 150 bytes: the parameter's length takes three bytes.
  Array manyItems;
  for (int i = 0; i < 200; ++i)
    manyItems.push_back(Value(Dictionary{{"item_id", typedString(std::string(60, 'a' + i % 26))},
                                         {"item_name", typedString(std::string(60, 'n'))},
                                         {"quantity", Value(APMValue::initWithInt64(i))}}));
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* label;
    std::string name;
    double timestamp;
    double previousTimestamp;
    Dictionary parameters;
  };
  const Case cases[] = {
      {"no parameters but the origin", "e", 10, 0, {}},
      {"strings",
       "e",
       10,
       0,
       {{"empty", Value("")},
        {"unicode", Value("Grüße ✓ 🎉")},
        {"nul", Value(std::string("a\0b", 3))}}},
      {"integers",
       "e",
       10,
       0,
       {{"zero", Value(0)},
        {"one", Value(1)},
        {"minus", Value(-1)},
        {"big", Value(kMax)},
        {"least", Value(kMin)},
        {"seven bits", Value(127)},
        {"eight bits", Value(128)}}},
      {"doubles",
       "e",
       10,
       0,
       {{"half", Value(0.5)},
        {"negative zero", Value(-0.0)},
        {"nan", Value(kNaN)},
        {"infinity", Value(kInfinity)},
        {"least", Value(std::numeric_limits<double>::denorm_min())},
        {"largest", Value(std::numeric_limits<double>::max())}}},
      {"items",
       "purchase",
       3,
       1,
       {{"items", Value(Array{Value(Dictionary{{"item_id", Value("a")}, {"quantity", Value(2)}}),
                              Value(Dictionary{{"item_id", Value("b")}, {"price", Value(1.5)}})})},
        {"value", Value(9.99)},
        {"currency", Value("EUR")}}},
      {"empty, odd and many items",
       "e",
       10,
       0,
       {{"none", typedArray({})},
        {"odd", typedArray({Value(1), Value("x"), Value(Dictionary{}), Value(Array{})})},
        {"many", typedArray(manyItems)}}},
      {"items that cannot all be written",
       "e",
       10,
       0,
       {{"items",
         typedArray({Value(Dictionary{
             {"item_id", typedString("a")}, {"inner", typedArray({})}, {"plain", Value(3)}})})}}},
      {"a unicode name and no previous time", "ev_ü", 0, 1e-17, {{"s", Value("x")}}},
      {"times at and beyond the limits", "e", 1e300, -5, {}},
      {"negative times", "e", -0.0015, -1, {}},
      {"a previous time beyond the limit", "e", 1e300, 1e300, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto made = APMEvent::initWithOrigin("app", false, c.name, c.timestamp,
                                               c.previousTimestamp, c.parameters);
    ASSERT_NE(made, nullptr);
    std::shared_ptr<APMPBEvent> proto;
    std::vector<std::int64_t> expectedCodes;
    {
      ScopedMonitor monitor;
      proto = made->protoEvent();
      expectedCodes = codesOf(monitor);
    }
    ASSERT_NE(proto, nullptr);
    const auto expected = proto->protoBuffer();
    ASSERT_TRUE(expected);
    nano_clear_field(proto.get(), kEventName);
    const auto expectedWithoutName = proto->protoBuffer();
    ASSERT_TRUE(expectedWithoutName);

    ScopedMonitor monitor;
    const auto bytes = made->protoBytes();
    EXPECT_EQ(codesOf(monitor), expectedCodes);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, *expected);
    const auto withoutName = made->protoBytes(/*withName=*/false);
    ASSERT_TRUE(withoutName);
    EXPECT_EQ(*withoutName, *expectedWithoutName);
  }
  // The large case did reach a three-byte length.
  const auto large =
      APMEvent::initWithOrigin("app", false, "e", 1, 0, {{"many", typedArray(manyItems)}});
  ASSERT_NE(large, nullptr);
  EXPECT_GT(large->protoBytes()->length(), std::size_t{1} << 14);
}

TEST_F(APMEventTest, WireEventsWithoutAStringOriginOrWithUnknownValuesAreRefusedOrSkipped) {
  auto makeParam = [](std::optional<std::string> name) {
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    if (name) nano_set_string_field(param.get(), kParamName, *name);
    return param;
  };
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  nano_set_string_field(proto.get(), kEventName, "e");
  nano_set_int64(proto.get(), kEventTimestampMillis, 1500);
  nano_set_int64(proto.get(), kEventPreviousTimestampMillis, 500);

  {
    auto origin = makeParam("_o");
    nano_set_int64(origin.get(), kParamIntValue, 1);
    const NanoObjectArray params{NanoMessagePtr(origin)};
    nano_set_array(proto.get(), kEventParams, &params);
    ScopedMonitor monitor;
    EXPECT_EQ(APMEvent::initWithEventProto(*proto), nullptr);
    EXPECT_EQ(codesOf(monitor), std::vector<std::int64_t>{15001});
  }

  auto origin = makeParam("_o");
  nano_set_string_field(origin.get(), kParamStringValue, "auto");
  auto floating = makeParam("f");
  nano_set_double_field(floating.get(), kParamFloatValue, 1.0);
  auto unnamed = makeParam(std::nullopt);
  nano_set_int64(unnamed.get(), kParamIntValue, 1);
  auto both = makeParam("both");
  nano_set_int64(both.get(), kParamIntValue, 1);
  nano_set_string_field(both.get(), kParamStringValue, "text");
  const NanoObjectArray params{NanoMessagePtr(floating), NanoMessagePtr(unnamed),
                               NanoMessagePtr(both), NanoMessagePtr(origin)};
  nano_set_array(proto.get(), kEventParams, &params);
  ScopedMonitor monitor;
  const auto made = APMEvent::initWithEventProto(*proto);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{15002, 15000}));
  EXPECT_EQ(made->origin(), "auto");
  EXPECT_EQ(made->timestamp(), 1.5);
  EXPECT_EQ(made->previousTimestamp(), 0.5);
  EXPECT_FALSE(made->parameters().contains("f"));
  EXPECT_EQ(typed(*made, "both")->stringValue(), "text");

  // Without any "_o" there is no origin, and no event.
  auto noOrigin = APMPBEvent::initWithMessageInfo(nullptr);
  nano_set_string_field(noOrigin.get(), kEventName, "e");
  EXPECT_EQ(APMEvent::initWithEventProto(*noOrigin), nullptr);
}

TEST_F(APMEventTest, EventPredicates) {
  EXPECT_TRUE(APMIsErrorEvent(event({}, "_err").get()));
  EXPECT_FALSE(APMIsErrorEvent(event({}, "e").get()));
  {
    ScopedMonitor monitor;
    EXPECT_FALSE(APMIsErrorEvent(nullptr));
    EXPECT_EQ(codesOf(monitor), std::vector<std::int64_t>{18004});
  }

  EXPECT_TRUE(APMIsSubscriptionEvent(event({}, "_assc").get()));
  EXPECT_TRUE(APMIsSubscriptionEvent(event({}, "_assr").get()));
  EXPECT_TRUE(APMIsSubscriptionEvent(event({{"subscription", Value(1)}}, "_iap").get()));
  EXPECT_FALSE(APMIsSubscriptionEvent(event({{"subscription", Value(1.0)}}, "_iap").get()));
  EXPECT_FALSE(APMIsSubscriptionEvent(event({}, "_iap").get()));
  EXPECT_FALSE(APMIsSubscriptionEvent(event({{"subscription", Value(1)}}, "e").get()));

  const Array three{Value(Dictionary{{"item_id", Value("a")}}),
                    Value(Dictionary{{"item_id", Value("b")}}),
                    Value(Dictionary{{"item_id", Value("c")}})};
  EXPECT_EQ(APMArrayParameterItemCount(event({{"items", Value(three)}}, "purchase").get()), 3);
  EXPECT_EQ(APMArrayParameterItemCount(event().get()), 0);
  EXPECT_EQ(APMArrayParameterItemCount(nullptr), 0);
}

}  // namespace
