// RecordingCore: what reaches the measurement core's worker queue, for tests: the events and
// user property writes in order. Made before the SDK is configured, it also registers the
// analytics front, so that configuring starts analytics.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/DAVOdazarado.h"
#include "platform/value.h"

namespace analytics_test {

class RecordingCore : public APMMeasurement::Recorder {
 public:
  using Event = APMMeasurement::LoggedEvent;
  struct UserAttribute {
    std::string name;
    std::optional<platform::Value> value;  // none for a removal
    std::string origin;
  };

  RecordingCore() { DAVOdazarado::load(); }

  // Installs a new recorder for the process and returns it.
  static std::shared_ptr<RecordingCore> install() {
    auto recorder = std::make_shared<RecordingCore>();
    APMMeasurement::setRecorder(recorder);
    return recorder;
  }

  void didLogEvent(const Event& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  void didSetUserData(const platform::Dictionary& userData) override {
    std::lock_guard lock(mutex_);
    userData_.push_back(userData);
  }
  void didSetUserAttribute(const std::string& name, const std::optional<platform::Value>& value,
                           const std::string& origin) override {
    std::lock_guard lock(mutex_);
    attributes_.push_back({name, value, origin});
  }

  // Waits until what was handed to analytics before this call has reached the core; returns
  // at once when analytics has not started, since then nothing moves.
  static void drain() {
    APMAnalytics::queue()->sync([] {});
    const auto core = APMMeasurement::sharedInstance();
    if (!core) return;
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    APMAnalytics::queueOperationWithBlock(
        [core, done] { core->workerQueue()->async([done] { done->set_value(); }); });
    future.wait_for(std::chrono::seconds(10));
  }

  std::vector<Event> events() const {
    drain();
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const Event& event : events()) names.push_back(event.name);
    return names;
  }
  std::vector<UserAttribute> userAttributes() const {
    drain();
    std::lock_guard lock(mutex_);
    return attributes_;
  }
  // The values written to "_id", none for each removal.
  std::vector<std::optional<std::string>> userIDs() const {
    std::vector<std::optional<std::string>> ids;
    for (const UserAttribute& attribute : userAttributes()) {
      if (attribute.name != "_id") continue;
      if (attribute.value && attribute.value->isString()) {
        ids.emplace_back(*attribute.value->asString());
      } else {
        ids.emplace_back(std::nullopt);
      }
    }
    return ids;
  }
  std::vector<platform::Dictionary> userData() const {
    drain();
    std::lock_guard lock(mutex_);
    return userData_;
  }
  void clear() {
    drain();
    std::lock_guard lock(mutex_);
    events_.clear();
    attributes_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<UserAttribute> attributes_;
  std::vector<platform::Dictionary> userData_;
};

}  // namespace analytics_test
