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

  // The kinds a store keeps: strings, numbers, dates, data, arrays and dictionaries; never
  // null or an object of the program's own.
  static bool isStorableKind(const platform::Value& value);

  virtual std::optional<platform::Value> objectForKey(const std::string& key) = 0;
  // None removes the key.
  virtual void setObject(const std::optional<platform::Value>& value, const std::string& key) = 0;

  // Typed readings and writings over the two above, the same for every store: a value of
  // another kind reads as none, 0 or false.
  std::optional<platform::Array> arrayForKey(const std::string& key);
  std::optional<platform::Dictionary> dictionaryForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  // Any number, Booleans included.
  std::optional<platform::Value> numberForKey(const std::string& key);
  std::int64_t integerForKey(const std::string& key);
  float floatForKey(const std::string& key);
  double doubleForKey(const std::string& key);
  bool boolForKey(const std::string& key);
  void setFloat(float value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setInteger(std::int64_t value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  virtual void clearAllData() = 0;
  virtual void synchronize() = 0;
  // Writes at once a change still waiting for its delayed write, for a store that is never
  // destroyed and so never writes it on its way out.
  virtual void writePendingChanges() {}
};
