// ZULHeartbeatDateStorageUserDefaults: heartbeat dates per tag kept as one dictionary under a
// key of a user-defaults suite.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/ZULHeartbeatDateStorable.h"
#include "platform/value.h"

namespace platform {
class UserDefaults;
}

class ZULHeartbeatDateStorageUserDefaults : public ZULHeartbeatDateStorable {
 public:
  ZULHeartbeatDateStorageUserDefaults(std::shared_ptr<platform::UserDefaults> defaults,
                                      std::string key);
  ZULHeartbeatDateStorageUserDefaults(const ZULHeartbeatDateStorageUserDefaults&) = delete;
  ZULHeartbeatDateStorageUserDefaults&
  operator=(const ZULHeartbeatDateStorageUserDefaults&) = delete;

  const std::shared_ptr<platform::UserDefaults>& userDefaults() const { return userDefaults_; }
  const std::string& key() const { return key_; }

  // Whatever is stored for the tag, of any kind; none when the tag has nothing.
  std::optional<platform::Value> heartbeatDateForTag(const std::string& tag) override;
  // Always true.
  bool setHearbeatDate(const platform::Date& date, const std::string& forTag) override;

  // The dictionary stored under the key; empty when there is none or something else is there.
  platform::Dictionary heartbeatDictionaryFromDefaults() const;

 private:
  const std::shared_ptr<platform::UserDefaults> userDefaults_;
  const std::string key_;
};
