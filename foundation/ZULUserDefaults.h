// ZULUserDefaults: the SDK's small key-value store over one preferences domain (the
// application's own or a named suite), checking keys and values and saving after every change.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform {
class UserDefaults;
}

class ZULUserDefaults {
 public:
  // The application's own domain, shared by the whole process.
  static std::shared_ptr<ZULUserDefaults> standardUserDefaults();

  // The application's own domain.
  ZULUserDefaults();
  // A named suite; none or an empty name selects the application's own domain.
  explicit ZULUserDefaults(const std::optional<std::string>& suiteName);

  // The name of the domain read and written.
  const std::string& appNameRef() const;

  // A stored flag; nothing here reads it.
  bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_.load(); }
  void setIsPreferenceFileExcluded(bool excluded) { isPreferenceFileExcluded_.store(excluded); }

  // None for an empty key (logged) or one not stored in the domain; defaults registered with
  // the platform store are not read.
  std::optional<platform::Value> objectForKey(std::string_view key) const;
  // Stores a string, number, array, dictionary, date or data value (none removes the key)
  // and saves the domain at once. An empty key or another kind of value is logged and
  // changes nothing.
  void setObject(std::optional<platform::Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // The stored value read as a number or Boolean; 0 / false when nothing is stored.
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;

  // The stored value whatever its kind, as objectForKey() gives it.
  std::optional<platform::Value> stringForKey(std::string_view key) const;
  std::optional<platform::Value> arrayForKey(std::string_view key) const;
  std::optional<platform::Value> dictionaryForKey(std::string_view key) const;

  void setInteger(std::int64_t value, std::string_view key);
  void setFloat(float value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setBool(bool value, std::string_view key);

  // Writes the domain to disk; a failure is logged, never reported.
  void synchronize();

  ZULUserDefaults(const ZULUserDefaults&) = delete;
  ZULUserDefaults& operator=(const ZULUserDefaults&) = delete;

 private:
  const std::shared_ptr<platform::UserDefaults> store_;
  std::atomic<bool> isPreferenceFileExcluded_{false};
};
