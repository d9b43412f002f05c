#include "analytics/data/APMValue.h"

#include <functional>
#include <typeinfo>

#include "analytics/messages/APMServices.h"

namespace {

constexpr std::int64_t kErrorLevel = 0;

void logFailure(std::int64_t code, const char* message, const platform::Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(kErrorLevel, code, message, contexts);
}

// A value that can be made public as an APMValue from outside the class.
class MadeValue : public APMValue {
 public:
  MadeValue(ValueType valueType, platform::Value value) : APMValue(valueType, std::move(value)) {}
};

std::size_t hashOf(const platform::Value& value) {
  // Numbers of every kind hash by their double reading: the platform compares numbers by
  // value across kinds, and two numbers equal by value have the same double reading.
  if (value.isNumber()) return std::hash<double>{}(value.doubleValue());
  if (const std::string* text = value.asString()) return std::hash<std::string>{}(*text);
  // Arrays hash by their size, which equal arrays share.
  return value.count();
}

}  // namespace

APMValuePtr APMValue::initWithValueType(ValueType valueType, platform::Value value) {
  return std::make_shared<const MadeValue>(valueType, std::move(value));
}

APMValuePtr APMValue::initWithDouble(double value) { return initWithValueType(kDouble, value); }

APMValuePtr APMValue::initWithInt64(std::int64_t value) {
  return initWithValueType(kInt64, value);
}

APMValuePtr APMValue::initWithString(const std::optional<platform::Value>& object) {
  if (!object) {
    logFailure(35002, "Cannot create String value with nil");
    return nullptr;
  }
  if (!object->isString()) {
    logFailure(35003, "Cannot create String value with non-string value. Value", {*object});
    return nullptr;
  }
  return initWithValueType(kString, *object);
}

APMValuePtr APMValue::initWithArray(const std::optional<platform::Value>& object) {
  if (!object) {
    logFailure(35004, "Cannot create Array value with nil");
    return nullptr;
  }
  if (!object->isArray()) {
    logFailure(35005, "Cannot create Array value with non-array value. Value", {*object});
    return nullptr;
  }
  // A plain array is a value type, so keeping it is a deep copy; values inside are
  // immutable and shared.
  return initWithValueType(kArray, *object);
}

APMValuePtr APMValue::valueFromObject(const std::optional<platform::Value>& object,
                                      bool allowArray) {
  if (!object) {
    logFailure(35000, "Cannot create Value type with nil value");
    return nullptr;
  }
  if (APMValuePtr value = APMValueOf(*object)) return value;
  switch (object->type()) {
  case platform::Value::Type::String:
    return initWithString(object);
  case platform::Value::Type::Double:
    return initWithDouble(*object->asDouble());
  case platform::Value::Type::Bool:
    return initWithInt64(*object->asBool() ? 1 : 0);
  case platform::Value::Type::Int:
    return initWithInt64(*object->asInt());
  case platform::Value::Type::UInt:
    // All 64 bits are kept.
    return initWithInt64(static_cast<std::int64_t>(*object->asUInt()));
  case platform::Value::Type::Array:
    if (allowArray) return initWithArray(object);
    break;
  default:
    break;
  }
  logFailure(35001,
             "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
             "NSString or NSArray (if supported). Value",
             {*object});
  return nullptr;
}

double APMValue::doubleValue() const {
  return valueType_ == kDouble ? value_.asDouble().value_or(0.0) : 0.0;
}

std::int64_t APMValue::int64Value() const {
  return valueType_ == kInt64 ? value_.asInt().value_or(0) : 0;
}

std::optional<std::string> APMValue::stringValue() const {
  if (valueType_ != kString) return std::nullopt;
  if (const std::string* text = value_.asString()) return *text;
  return std::nullopt;
}

const platform::Array* APMValue::arrayValue() const {
  return valueType_ == kArray ? value_.asArray() : nullptr;
}

APMValuePtr APMValue::copy() const { return initWithValueType(valueType_, value_); }

std::size_t APMValue::hash() const {
  return static_cast<std::size_t>(valueType_ * 31) ^ hashOf(value_);
}

bool APMValue::isEqual(const platform::ValueObject& other) const {
  // Exactly the base class on both sides: a connector value never equals any value.
  if (typeid(other) != typeid(MadeValue) || typeid(*this) != typeid(MadeValue)) return false;
  const auto& value = static_cast<const APMValue&>(other);
  if (value.valueType_ != valueType_) return false;
  // Kinds are fixed by the type, so the platform's cross-kind number equality never applies.
  return value.value_ == value_;
}

std::shared_ptr<const DERUVuzev> DERUVuzev::initWithValueType(ValueType valueType,
                                                              platform::Value value) {
  return std::shared_ptr<const DERUVuzev>(new DERUVuzev(valueType, std::move(value)));
}
