// RecordingSink: an analytics entry for tests that keeps every event and user id it is
// handed, in order.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/APMAnalytics.h"
#include "platform/value.h"

namespace analytics_test {

class RecordingSink : public APMAnalytics::Sink {
 public:
  struct Event {
    std::string origin;
    std::string name;
    platform::Dictionary parameters;
  };

  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::Dictionary& parameters) override {
    std::lock_guard lock(mutex_);
    events_.push_back({origin, name, parameters});
  }
  void setUserID(const std::optional<std::string>& userID) override {
    std::lock_guard lock(mutex_);
    userIDs_.push_back(userID);
  }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const Event& event : events()) names.push_back(event.name);
    return names;
  }
  std::vector<std::optional<std::string>> userIDs() const {
    std::lock_guard lock(mutex_);
    return userIDs_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    userIDs_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<std::optional<std::string>> userIDs_;
};

}  // namespace analytics_test
