// The user property model: which names and values construct, and the wire form.

#include "analytics/data/APMUserAttribute.h"

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "analytics/messages/APMPBFieldIndexes.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Value;

using namespace APMPBUserAttributeFields;

class APMUserAttributeTest : public ::testing::Test {
 protected:
  void SetUp() override { APMMeasurementSetRemoteConfig(std::make_shared<APMRemoteConfig>()); }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }
};

Value stringValue(std::size_t length) {
  return Value(APMValue::initWithString(Value(std::string(length, 'v'))));
}

TEST_F(APMUserAttributeTest, NamesAndValuesWithinTheirLimitsConstruct) {
  struct Case {
    std::string name;
    std::optional<Value> value;
    bool constructs;
  };
  const Case cases[] = {
      {std::string(24, 'n'), stringValue(1), true},
      {std::string(25, 'n'), stringValue(1), false},
      {"_ln", stringValue(1), true},
      {"bad-name", stringValue(1), false},
      {"p", stringValue(36), true},
      {"p", stringValue(37), false},
      {"_id", stringValue(256), true},
      {"_id", stringValue(257), false},
      {"_gbraid", stringValue(100), true},
      {"p", Value(APMValue::initWithInt64(-3)), true},
      {"p", Value(APMValue::initWithDouble(2.5)), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + (c.value ? c.value->description() : "nil"));
    const auto attribute = APMUserAttribute::initWithOrigin("app", c.name, c.value, 1);
    EXPECT_EQ(attribute != nullptr, c.constructs);
  }
}

TEST_F(APMUserAttributeTest, RefusedValuesLogByTheirKind) {
  {
    ScopedMonitor monitor;
    EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "p", stringValue(0), 1), nullptr);
    EXPECT_TRUE(monitor->lines().empty());
  }
  {
    ScopedMonitor monitor;
    EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "p", std::nullopt, 1), nullptr);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].messageCode, 13004);
    EXPECT_EQ(lines[0].message, "User property value cannot be nil");
  }
  {
    ScopedMonitor monitor;
    EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "p", Value("plain"), 1), nullptr);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].messageCode, 13005);
  }
}

TEST_F(APMUserAttributeTest, KeepsItsFieldsAndTellsPublicNamesFromInternalOnes) {
  const APMValuePtr value = APMValue::initWithString(Value("v"));
  const auto attribute = APMUserAttribute::initWithOrigin(std::nullopt, "_fot", Value(value), 5);
  ASSERT_NE(attribute, nullptr);
  EXPECT_EQ(attribute->origin(), std::nullopt);
  EXPECT_EQ(attribute->name(), "_fot");
  EXPECT_EQ(attribute->value(), value);  // shared, not copied
  EXPECT_EQ(attribute->lastSetTimestamp(), 5);
  EXPECT_FALSE(attribute->isPublic());
  EXPECT_TRUE(
      APMUserAttribute::initWithOrigin("app", "first_open_time", Value(value), 5)->isPublic());
}

TEST_F(APMUserAttributeTest, TheWireFormHoldsNameTimeAndOneValueField) {
  struct Case {
    APMValuePtr value;
    std::int32_t field;
  };
  const Case cases[] = {
      {APMValue::initWithDouble(2.5), kDoubleValue},
      {APMValue::initWithInt64(-7), kIntValue},
      {APMValue::initWithString(Value("text")), kStringValue},
      {APMValue::initWithArray(Value(platform::Array{})), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value->description());
    const auto attribute = APMUserAttribute::initWithOrigin("app", "prop", Value(c.value), 1.2345);
    ASSERT_NE(attribute, nullptr);
    const auto proto = attribute->protoUserAttribute();
    ASSERT_NE(proto, nullptr);
    EXPECT_EQ(nano_get_string(proto.get(), kName), "prop");
    EXPECT_EQ(nano_get_int64(proto.get(), kSetTimestampMillis), 1234);
    for (const std::int32_t field : {kStringValue, kIntValue, kDoubleValue})
      EXPECT_EQ(nano_has_field(proto.get(), field), field == c.field) << field;
  }
  const auto proto =
      APMUserAttribute::initWithOrigin("app", "prop", Value(APMValue::initWithInt64(-7)), -1.5)
          ->protoUserAttribute();
  EXPECT_EQ(nano_get_int64(proto.get(), kIntValue), -7);
  EXPECT_EQ(nano_get_int64(proto.get(), kSetTimestampMillis), -1500);
  const auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes);
  const auto decoded = APMPBUserAttribute::initWithBuffer(&*bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(nano_get_string(decoded.get(), kName), "prop");
}

}  // namespace
