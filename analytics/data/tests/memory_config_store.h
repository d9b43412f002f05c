// MemoryConfigStore: a config store held in memory, for code that reads and writes preference
// suites without a suite file behind it.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "analytics/data/APMConfigStore.h"
#include "platform/value.h"

class MemoryConfigStore : public APMConfigStore {
 public:
  std::optional<platform::Value> objectForKey(const std::string& key) override {
    std::lock_guard lock(mutex_);
    const platform::Value* found = values_.find(key);
    return found ? std::optional<platform::Value>(*found) : std::nullopt;
  }
  void setObject(const std::optional<platform::Value>& value, const std::string& key) override {
    std::lock_guard lock(mutex_);
    if (value) {
      values_.set(key, *value);
    } else {
      values_.erase(key);
    }
  }
  void clearAllData() override {
    std::lock_guard lock(mutex_);
    values_.clear();
  }
  void synchronize() override {}

  platform::Dictionary contents() const {
    std::lock_guard lock(mutex_);
    return values_;
  }

 private:
  mutable std::mutex mutex_;
  platform::Dictionary values_;
};
