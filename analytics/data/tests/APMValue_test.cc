// The typed value: conversion from what callers hand in, typed reads, copying, equality and
// hashing, and the connector's subclass.

#include "analytics/data/APMValue.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"
#include "platform/date.h"
#include "platform/value.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Value;

std::vector<std::int64_t> codesOf(const ScopedMonitor& monitor) {
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor->lines()) codes.push_back(line.messageCode);
  return codes;
}

TEST(APMValue, NumbersConvertByTheirStoredKind) {
  struct Case {
    Value in;
    APMValue::ValueType type;
    std::int64_t integer;
    double floating;
  };
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const Case cases[] = {
      {Value(true), APMValue::kInt64, 1, 0.0},
      {Value(false), APMValue::kInt64, 0, 0.0},
      {Value(2.5f), APMValue::kDouble, 0, 2.5},
      {Value(-0.125), APMValue::kDouble, 0, -0.125},
      {Value(std::int8_t{-7}), APMValue::kInt64, -7, 0.0},
      {Value(kMax), APMValue::kInt64, kMax, 0.0},
      {Value(kMin), APMValue::kInt64, kMin, 0.0},
      // An unsigned number keeps all 64 bits.
      {Value(std::numeric_limits<std::uint64_t>::max()), APMValue::kInt64, -1, 0.0},
  };
  ScopedMonitor monitor;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.description());
    const APMValuePtr value = APMValue::valueFromObject(c.in);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->valueType(), c.type);
    EXPECT_EQ(value->int64Value(), c.integer);
    EXPECT_EQ(value->doubleValue(), c.floating);
    EXPECT_EQ(value->stringValue(), std::nullopt);
    EXPECT_EQ(value->arrayValue(), nullptr);
  }
  EXPECT_TRUE(monitor->lines().empty());
}

TEST(APMValue, StringsAndAllowedArraysConvertAndAnExistingValueComesBackAsItIs) {
  const APMValuePtr text = APMValue::valueFromObject(Value("abc"));
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->isString());
  EXPECT_EQ(text->stringValue(), "abc");
  EXPECT_EQ(text->int64Value(), 0);
  EXPECT_EQ(text->doubleValue(), 0.0);

  EXPECT_EQ(APMValue::valueFromObject(Value(text)), text);

  const APMValuePtr array =
      APMValue::valueFromObject(Value(platform::Array{Value(1), Value("x")}), true);
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(array->isArray());
  ASSERT_NE(array->arrayValue(), nullptr);
  EXPECT_EQ(array->arrayValue()->size(), 2u);
  EXPECT_EQ(array->stringValue(), std::nullopt);
}

TEST(APMValue, UnsupportedObjectsAndNilAreLoggedAndGiveNull) {
  struct Case {
    std::optional<Value> in;
    std::int64_t code;
  };
  const Case cases[] = {
      {std::nullopt, 35000},
      {Value(), 35001},
      {Value(platform::Date::fromTimeIntervalSince1970(1)), 35001},
      {Value(platform::Dictionary{{"a", Value(1)}}), 35001},
      {Value(platform::Array{Value(1)}), 35001},  // arrays not allowed by default
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ScopedMonitor monitor;
    EXPECT_EQ(APMValue::valueFromObject(c.in), nullptr);
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].messageCode, c.code);
    EXPECT_EQ(lines[0].contexts.size(), c.in ? 1u : 0u);
  }
}

TEST(APMValue, TypedConstructorsRefuseNilAndOtherKinds) {
  ScopedMonitor monitor;
  EXPECT_EQ(APMValue::initWithString(std::nullopt), nullptr);
  EXPECT_EQ(APMValue::initWithString(Value(1)), nullptr);
  EXPECT_EQ(APMValue::initWithArray(std::nullopt), nullptr);
  EXPECT_EQ(APMValue::initWithArray(Value("[]")), nullptr);
  EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{35002, 35003, 35004, 35005}));
}

TEST(APMValue, AnArrayValueIsItsOwnCopy) {
  platform::Array items{Value(platform::Dictionary{{"item_id", Value("a")}})};
  const APMValuePtr value = APMValue::initWithArray(Value(items));
  ASSERT_NE(value, nullptr);
  items.push_back(Value(2));
  *items[0].asDictionary() = platform::Dictionary{{"item_id", Value("changed")}};
  ASSERT_EQ(value->arrayValue()->size(), 1u);
  EXPECT_EQ((*value->arrayValue())[0]["item_id"], Value("a"));
}

TEST(APMValue, EqualityNeedsTheSameTypeAndEqualValuesAndEqualValuesHashAlike) {
  const APMValuePtr one = APMValue::initWithInt64(1);
  EXPECT_TRUE(one->isEqual(*APMValue::initWithInt64(1)));
  EXPECT_EQ(one->hash(), APMValue::initWithInt64(1)->hash());
  EXPECT_FALSE(one->isEqual(*APMValue::initWithDouble(1.0)));
  EXPECT_FALSE(one->isEqual(*APMValue::initWithInt64(2)));
  EXPECT_FALSE(APMValue::initWithString(Value("1"))->isEqual(*one));

  const APMValuePtr text = APMValue::initWithString(Value("abc"));
  EXPECT_TRUE(text->isEqual(*APMValue::initWithString(Value("abc"))));
  EXPECT_EQ(text->hash(), APMValue::initWithString(Value("abc"))->hash());

  const platform::Array items{Value(platform::Dictionary{{"price", APMValue::initWithDouble(2)}})};
  const APMValuePtr array = APMValue::initWithArray(Value(items));
  EXPECT_TRUE(array->isEqual(*APMValue::initWithArray(Value(items))));
  EXPECT_EQ(array->hash(), APMValue::initWithArray(Value(items))->hash());

  EXPECT_TRUE(APMValue::initWithDouble(0.0)->isEqual(*APMValue::initWithDouble(-0.0)));
  EXPECT_EQ(APMValue::initWithDouble(0.0)->hash(), APMValue::initWithDouble(-0.0)->hash());

  // A value stored without checks in another number kind still hashes like its equal.
  const APMValuePtr unchecked = APMValue::initWithValueType(APMValue::kInt64, Value(1u));
  ASSERT_TRUE(unchecked->isEqual(*one));
  EXPECT_EQ(unchecked->hash(), one->hash());
}

TEST(APMValue, ACopySharesTheValueAndIsAlwaysABaseValue) {
  const APMValuePtr text = APMValue::initWithString(Value("abc"));
  const APMValuePtr copy = text->copy();
  EXPECT_NE(copy, text);
  EXPECT_TRUE(copy->isEqual(*text));
  EXPECT_EQ(copy->description(), "abc");

  const auto connector = DERUVuzev::initWithValueType(APMValue::kString, Value("abc"));
  EXPECT_FALSE(connector->isEqual(*text));
  EXPECT_FALSE(text->isEqual(*connector));
  EXPECT_FALSE(connector->isEqual(*connector));
  EXPECT_FALSE(connector->isEqual(*DERUVuzev::initWithValueType(APMValue::kString, Value("abc"))));
  EXPECT_EQ(connector->stringValue(), "abc");

  const APMValuePtr connectorCopy = connector->copy();
  EXPECT_STREQ(connectorCopy->className(), "APMValue");
  EXPECT_TRUE(connectorCopy->isEqual(*text));
}

}  // namespace
