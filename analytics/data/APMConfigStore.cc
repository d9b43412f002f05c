#include "analytics/data/APMConfigStore.h"

bool APMConfigStore::isStorableKind(const platform::Value& value) {
  switch (value.type()) {
  case platform::Value::Type::String:
  case platform::Value::Type::Bool:
  case platform::Value::Type::Int:
  case platform::Value::Type::UInt:
  case platform::Value::Type::Double:
  case platform::Value::Type::Array:
  case platform::Value::Type::Dictionary:
  case platform::Value::Type::Date:
  case platform::Value::Type::Data:
    return true;
  default:
    return false;
  }
}

std::optional<platform::Array> APMConfigStore::arrayForKey(const std::string& key) {
  const auto object = objectForKey(key);
  if (!object || !object->isArray()) return std::nullopt;
  return *object->asArray();
}

std::optional<platform::Dictionary> APMConfigStore::dictionaryForKey(const std::string& key) {
  const auto object = objectForKey(key);
  if (!object || !object->isDictionary()) return std::nullopt;
  return *object->asDictionary();
}

std::optional<std::string> APMConfigStore::stringForKey(const std::string& key) {
  const auto object = objectForKey(key);
  if (!object || !object->isString()) return std::nullopt;
  return *object->asString();
}

std::optional<platform::Value> APMConfigStore::numberForKey(const std::string& key) {
  auto object = objectForKey(key);
  if (!object || !object->isNumber()) return std::nullopt;
  return object;
}

std::int64_t APMConfigStore::integerForKey(const std::string& key) {
  const auto number = numberForKey(key);
  return number ? number->integerValue() : 0;
}

float APMConfigStore::floatForKey(const std::string& key) {
  const auto number = numberForKey(key);
  return number ? static_cast<float>(number->doubleValue()) : 0.0F;
}

double APMConfigStore::doubleForKey(const std::string& key) {
  const auto number = numberForKey(key);
  return number ? number->doubleValue() : 0.0;
}

bool APMConfigStore::boolForKey(const std::string& key) {
  const auto number = numberForKey(key);
  return number ? number->boolValue() : false;
}

void APMConfigStore::setFloat(float value, const std::string& key) {
  setObject(platform::Value(value), key);
}

void APMConfigStore::setDouble(double value, const std::string& key) {
  setObject(platform::Value(value), key);
}

void APMConfigStore::setInteger(std::int64_t value, const std::string& key) {
  setObject(platform::Value(value), key);
}

void APMConfigStore::setBool(bool value, const std::string& key) {
  setObject(platform::Value(value), key);
}

void APMConfigStore::removeObjectForKey(const std::string& key) { setObject(std::nullopt, key); }
