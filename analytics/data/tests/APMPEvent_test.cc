// The script engine's event: the parameter type rule of setParameter and event equality.

#include "analytics/data/APMPEvent.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/value.h"

namespace {

using platform::Value;

TEST(APMPEvent, SetParameterFollowsTheKindOfTheCurrentValue) {
  struct Case {
    const char* label;
    std::string name;
    std::optional<Value> current;
    Value written;
    Value expected;
    Value::Type expectedType;
  };
  const Case cases[] = {
      {"new number stored as it is", "n", std::nullopt, Value(2.5), Value(2.5),
       Value::Type::Double},
      {"non-number stored as it is over a number", "n", Value(1), Value("x"), Value("x"),
       Value::Type::String},
      {"over a floating number stored as it is", "n", Value(2.5), Value(7.0), Value(7.0),
       Value::Type::Double},
      {"over an integer truncated", "n", Value(3), Value(7.9), Value(7), Value::Type::Int},
      {"negative truncated toward zero", "n", Value(3), Value(-7.9), Value(-7), Value::Type::Int},
      {"internal integer kept", "_c", Value(1), Value(5), Value(1), Value::Type::Int},
      {"internal floating replaced", "_x", Value(1.5), Value(5), Value(5), Value::Type::Int},
      {"over a string its decimal text", "n", Value("a"), Value(42), Value("42"),
       Value::Type::String},
      {"error code always an integer", "_err", std::nullopt, Value(3.7), Value(3),
       Value::Type::Int},
      {"error length always an integer", "_el", Value("long"), Value(12.2), Value(12),
       Value::Type::Int},
      {"_syn always an integer", "_syn", Value(1.5), Value(-2.5), Value(-2), Value::Type::Int},
      {"empty name over an integer truncated", "", Value(1), Value(2.5), Value(2),
       Value::Type::Int},
      {"over another kind stored as it is", "n", Value(platform::Array{}), Value(1.5), Value(1.5),
       Value::Type::Double},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    platform::Dictionary parameters;
    if (c.current) parameters.set(c.name, *c.current);
    APMPEvent event("e", 1.0, parameters);
    event.setParameter(c.written, c.name);
    const auto stored = event.parameterForName(c.name);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, c.expected);
    EXPECT_EQ(stored->type(), c.expectedType);
  }
}

TEST(APMPEvent, NoneRemovesAParameterAndHugeNumbersSaturate) {
  APMPEvent event("e", 1.0, {{"a", Value(1)}, {"b", Value(2)}});
  event.setParameter(std::nullopt, "a");
  EXPECT_FALSE(event.hasParameterName("a"));
  EXPECT_TRUE(event.hasParameterName("b"));

  event.setParameter(Value(1e300), "b");
  EXPECT_EQ(event.parameterForName("b"), Value(std::numeric_limits<std::int64_t>::max()));
  event.setParameter(Value(std::numeric_limits<double>::quiet_NaN()), "_err");
  EXPECT_EQ(event.parameterForName("_err"), Value(0));
  // An unsigned number above the signed range saturates too; it never turns negative.
  event.setParameter(Value(std::numeric_limits<std::uint64_t>::max()), "_el");
  EXPECT_EQ(event.parameterForName("_el"), Value(std::numeric_limits<std::int64_t>::max()));
}

TEST(APMPEvent, EqualityLooksOnlyAtTheReceiversParameters) {
  const platform::Dictionary parameters{{"a", Value(1)}, {"s", Value("x")}};
  const APMPEvent event("e", 10.0, parameters);
  EXPECT_TRUE(event.isEqualToEvent(event));
  EXPECT_TRUE(event.isEqualToEvent(APMPEvent("e", 10.0, parameters)));

  // Timestamps within 2^-52 of each other are the same.
  EXPECT_TRUE(APMPEvent("e", 0.0, {}).isEqualToEvent(APMPEvent("e", 1e-16, {})));
  EXPECT_FALSE(APMPEvent("e", 0.0, {}).isEqualToEvent(APMPEvent("e", 1e-15, {})));
  EXPECT_FALSE(event.isEqualToEvent(APMPEvent("f", 10.0, parameters)));

  // A number equal by value but of the other floating kind differs.
  EXPECT_FALSE(event.isEqualToEvent(APMPEvent("e", 10.0, {{"a", Value(1.0)}, {"s", Value("x")}})));
  EXPECT_FALSE(event.isEqualToEvent(APMPEvent("e", 10.0, {{"a", Value(1)}})));

  // Parameters only the other event has are not looked at.
  APMPEvent wider("e", 10.0, parameters);
  wider.setParameter(Value("extra"), "extra");
  EXPECT_TRUE(event.isEqualToEvent(wider));
  EXPECT_FALSE(wider.isEqualToEvent(event));
}

TEST(APMPEvent, TheEventKeepsItsOwnCopyOfTheParameters) {
  platform::Dictionary parameters{{"a", Value(1)}};
  APMPEvent event("e", 1.0, parameters);
  parameters.set("a", Value(2));
  EXPECT_EQ(event.parameterForName("a"), Value(1));
  event.setName("renamed");
  EXPECT_EQ(event.name(), "renamed");
  EXPECT_EQ(event.timestamp(), 1.0);
}

}  // namespace
