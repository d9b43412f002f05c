// Experiment flags to and from plain values, and the monitor lines of refused input.

#include "analytics/messages/APMPBFlags.h"

#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Value;

std::shared_ptr<APMPBFlag> emptyFlag() { return APMPBFlag::initWithMessageInfo(nullptr); }

TEST(FlagWithNameAndValue, PutsEachKindOfValueInItsField) {
  struct Case {
    Value value;
    std::int32_t field;
  };
  const Case cases[] = {
      {Value(2.5), kAPMPBFlagDoubleValue},
      {Value(true), kAPMPBFlagInt64Value},
      {Value(std::int64_t{-7}), kAPMPBFlagInt64Value},
      {Value(std::uint64_t{42}), kAPMPBFlagInt64Value},
      {Value("on"), kAPMPBFlagStringValue},
      {Value(""), kAPMPBFlagStringValue},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.description());
    ScopedMonitor monitor;
    const auto flag = flagWithNameAndValue(Value("f"), c.value);
    ASSERT_NE(flag, nullptr);
    EXPECT_TRUE(monitor->lines().empty());
    EXPECT_EQ(nano_get_string(flag.get(), kAPMPBFlagName), "f");
    for (std::int32_t field :
         {kAPMPBFlagInt64Value, kAPMPBFlagStringValue, kAPMPBFlagDoubleValue, kAPMPBFlagBoolValue})
      EXPECT_EQ(nano_has_field(flag.get(), field), field == c.field) << field;
    EXPECT_EQ(flagValueObject(flag.get()), c.value);
  }
}

TEST(FlagWithNameAndValue, ABooleanBecomesTheInt64OneAndNeverTheBoolField) {
  const auto flag = flagWithNameAndValue(Value("f"), Value(true));
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(nano_get_int64(flag.get(), kAPMPBFlagInt64Value), 1);
  EXPECT_FALSE(nano_has_field(flag.get(), kAPMPBFlagBoolValue));
}

TEST(FlagWithNameAndValue, AnUnsignedBeyondInt64WrapsAsTheSignedReadingDoes) {
  const auto flag =
      flagWithNameAndValue(Value("f"), Value(std::numeric_limits<std::uint64_t>::max()));
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(nano_get_int64(flag.get(), kAPMPBFlagInt64Value),
            Value(std::numeric_limits<std::uint64_t>::max()).longLongValue());
}

TEST(FlagWithNameAndValue, RefusedInputIsLoggedAtErrorLevelWithItsCodeAndClass) {
  struct Case {
    std::optional<Value> name;
    std::optional<Value> value;
    std::int64_t code;
    std::string message;
    std::optional<Value> context;  // none: no context at all
  };
  const Case cases[] = {
      {std::nullopt, Value(1), 850000, "Flag name must not be nil", std::nullopt},
      {std::nullopt, std::nullopt, 850000, "Flag name must not be nil", std::nullopt},
      {Value(3), Value(1), 850001, "Flag name must be a string", Value("NSNumber")},
      {Value(), Value(1), 850001, "Flag name must be a string", Value("NSNull")},
      {Value("f"), std::nullopt, 850002, "Flag value is invalid", Value()},
      {Value("f"), Value(), 850002, "Flag value is invalid", Value("NSNull")},
      {Value("f"), Value(platform::Array{}), 850002, "Flag value is invalid", Value("NSArray")},
      {Value("f"), Value(platform::Data()), 850002, "Flag value is invalid", Value("NSData")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    ScopedMonitor monitor;
    EXPECT_EQ(flagWithNameAndValue(c.name, c.value), nullptr);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].messageCode, c.code);
    EXPECT_EQ(lines[0].message, c.message);
    if (c.context) {
      ASSERT_EQ(lines[0].contexts.size(), 1u);
      EXPECT_EQ(lines[0].contexts[0].isNull(), c.context->isNull());
      EXPECT_EQ(lines[0].contexts[0], *c.context);
    } else {
      EXPECT_TRUE(lines[0].contexts.empty());
    }
  }
}

TEST(FlagValueObject, TakesTheFirstPresentValueInItsOrder) {
  EXPECT_EQ(flagValueObject(nullptr), std::nullopt);

  const auto flag = emptyFlag();
  ASSERT_NE(flag, nullptr);
  nano_set_string_field(flag.get(), kAPMPBFlagName, "f");
  EXPECT_EQ(flagValueObject(flag.get()), std::nullopt);

  nano_set_bool_field(flag.get(), kAPMPBFlagBoolValue, false);
  EXPECT_EQ(flagValueObject(flag.get()), Value(false));
  nano_set_string_field(flag.get(), kAPMPBFlagStringValue, "s");
  EXPECT_EQ(flagValueObject(flag.get()), Value("s"));
  nano_set_double_field(flag.get(), kAPMPBFlagDoubleValue, 0.25);
  EXPECT_EQ(flagValueObject(flag.get()), Value(0.25));
  nano_set_int64(flag.get(), kAPMPBFlagInt64Value, 9);
  const auto value = flagValueObject(flag.get());
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type(), Value::Type::Int);
  EXPECT_EQ(*value, Value(9));
}

TEST(FlagValueObject, ABoolFlagGivesABooleanNumber) {
  const auto flag = emptyFlag();
  nano_set_bool_field(flag.get(), kAPMPBFlagBoolValue, true);
  const auto value = flagValueObject(flag.get());
  ASSERT_TRUE(value.has_value());
  EXPECT_TRUE(value->isBool());
}

TEST(FlagWithNameAndValue, SurvivesEncodingAndDecoding) {
  const auto flag = flagWithNameAndValue(Value("ratio"), Value(-1.5));
  ASSERT_NE(flag, nullptr);
  const auto bytes = flag->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  const auto decoded = APMPBFlag::initWithBuffer(&*bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(nano_get_string(decoded.get(), kAPMPBFlagName), "ratio");
  EXPECT_EQ(flagValueObject(decoded.get()), Value(-1.5));
  EXPECT_FALSE(nano_has_field(decoded.get(), kAPMPBFlagInt64Value));
}

}  // namespace
