// APMConfigStore: the typed key-value face shared by the analytics persistent dictionary and
// the preference suites, so that persisted state can live in either.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/value.h"

class APMConfigStore {
 public:
  virtual ~APMConfigStore() = default;

  virtual std::optional<platform::Value> objectForKey(const std::string& key) = 0;
  virtual std::optional<platform::Array> arrayForKey(const std::string& key) = 0;
  virtual std::optional<platform::Dictionary> dictionaryForKey(const std::string& key) = 0;
  virtual std::optional<std::string> stringForKey(const std::string& key) = 0;
  // Any number, Booleans included.
  virtual std::optional<platform::Value> numberForKey(const std::string& key) = 0;
  // The stored number's value; 0 / false for anything else.
  virtual std::int64_t integerForKey(const std::string& key) = 0;
  virtual float floatForKey(const std::string& key) = 0;
  virtual double doubleForKey(const std::string& key) = 0;
  virtual bool boolForKey(const std::string& key) = 0;
  // None removes the key.
  virtual void setObject(const std::optional<platform::Value>& value, const std::string& key) = 0;
  virtual void setFloat(float value, const std::string& key) = 0;
  virtual void setDouble(double value, const std::string& key) = 0;
  virtual void setInteger(std::int64_t value, const std::string& key) = 0;
  virtual void setBool(bool value, const std::string& key) = 0;
  virtual void removeObjectForKey(const std::string& key) = 0;
  virtual void clearAllData() = 0;
  virtual void synchronize() = 0;
};
