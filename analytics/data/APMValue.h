// APMValue: the one typed value of the analytics client, held by every event parameter, user
// property and conditional user property: a double, a signed 64-bit integer, a string or an
// array. Immutable once made. Values travel inside plain dictionaries and arrays as
// platform::Value objects, beside the plain values that callers hand in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMValue;
using APMValuePtr = std::shared_ptr<const APMValue>;

class APMValue : public platform::ValueObject {
 public:
  enum ValueType : std::int64_t { kDouble = 0, kInt64 = 1, kString = 2, kArray = 3 };

  // A value from what a caller handed in; none (nullopt) is nil. An APMValue comes back as
  // the very same object; a floating-point number becomes a double and every other number
  // (Booleans included) an int64; a string a string; an array only when allowed. Anything
  // else is logged and gives null.
  static APMValuePtr valueFromObject(const std::optional<platform::Value>& object,
                                     bool allowArray = false);

  static APMValuePtr initWithDouble(double value);
  static APMValuePtr initWithInt64(std::int64_t value);
  // Null, logged, unless the object is a string / an array.
  static APMValuePtr initWithString(const std::optional<platform::Value>& object);
  static APMValuePtr initWithArray(const std::optional<platform::Value>& object);
  // Stores both without checks.
  static APMValuePtr initWithValueType(ValueType valueType, platform::Value value);

  ValueType valueType() const { return valueType_; }
  bool isDouble() const { return valueType_ == kDouble; }
  bool isInt64() const { return valueType_ == kInt64; }
  bool isString() const { return valueType_ == kString; }
  bool isArray() const { return valueType_ == kArray; }

  // Each reads its own type only: 0, 0.0 or none for a value of another type.
  double doubleValue() const;
  std::int64_t int64Value() const;
  std::optional<std::string> stringValue() const;
  const platform::Array* arrayValue() const;
  // The boxed value: a double, an int64, a string or an array.
  const platform::Value& value() const { return value_; }

  // Always of this base class, sharing the boxed value.
  APMValuePtr copy() const;
  std::size_t hash() const;

  const char* className() const override { return "APMValue"; }
  std::string description() const override { return value_.description(); }
  // Only another object of exactly this class, of the same type and an equal boxed value:
  // an int64 1 is not a double 1.0.
  bool isEqual(const platform::ValueObject& other) const override;

 protected:
  APMValue(ValueType valueType, platform::Value value)
      : valueType_(valueType), value_(std::move(value)) {}

 private:
  ValueType valueType_;
  platform::Value value_;
};

// The values the analytics connector creates: no field or operation of its own, and never
// equal to any value.
class DERUVuzev : public APMValue {
 public:
  static std::shared_ptr<const DERUVuzev> initWithValueType(ValueType valueType,
                                                            platform::Value value);
  const char* className() const override { return "DERUVuzev"; }

 private:
  using APMValue::APMValue;
};

// The APMValue inside a plain value, or null when it holds none.
inline APMValuePtr APMValueOf(const platform::Value& object) {
  return object.asObjectOf<APMValue>();
}
