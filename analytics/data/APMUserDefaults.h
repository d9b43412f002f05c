// APMUserDefaults: the analytics client's typed layer over one preference suite, checking keys
// and value kinds on every access; its synchronize also keeps the suite's file out of backups.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/data/APMConfigStore.h"
#include "platform/user_defaults.h"
#include "platform/value.h"

class APMUserDefaults : public APMConfigStore {
 public:
  // The app's own preferences, made once; its synchronize never marks the app's file.
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();

  // The app's own preferences.
  APMUserDefaults();
  // The named suite; none or an empty name is the app's own preferences.
  explicit APMUserDefaults(const std::optional<std::string>& suiteName);
  APMUserDefaults(const APMUserDefaults&) = delete;
  APMUserDefaults& operator=(const APMUserDefaults&) = delete;

  const std::optional<std::string>& suiteName() const { return suiteName_; }
  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  std::optional<platform::Value> objectForKey(const std::string& key) override;
  void setObject(const std::optional<platform::Value>& value, const std::string& key) override;
  void clearAllData() override;
  void synchronize() override;

 private:
  const std::optional<std::string> suiteName_;
  // The suite the calls go to: the named one, else the app's own.
  const std::shared_ptr<platform::UserDefaults> domain_;
  mutable std::mutex mutex_;
  bool isPreferenceFileExcluded_ = false;
};
