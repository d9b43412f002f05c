// Fakes for the identity's neighbours: a scripted identity component and a persisted
// configuration over a store in memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "analytics/data/APMConfigStore.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/tests/memory_config_store.h"
#include "platform/dispatch.h"
#include "platform/value.h"

namespace analytics_test {

// Answers what the test sets; a fetch of the identifier can be held until released.
class FakeIdentitySupport : public APMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    return hasAppDataConsentStatus_;
  }
  std::uint64_t appDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    return appDataConsentStatus_;
  }
  bool hasLimitedAdTracking() override {
    std::lock_guard lock(mutex_);
    return hasLimitedAdTracking_;
  }
  bool limitedAdTracking() override {
    std::lock_guard lock(mutex_);
    return limitedAdTracking_;
  }
  std::optional<std::string> resettableDeviceID() override {
    std::optional<platform::Semaphore> gate;
    std::optional<std::string> identifier;
    {
      std::lock_guard lock(mutex_);
      ++fetches_;
      gate = std::exchange(gate_, std::nullopt);
      identifier = resettableDeviceID_;
    }
    if (gate) gate->wait();
    return identifier;
  }

  void setStatus(bool hasLimitedAdTracking, bool hasStatus, std::uint64_t status) {
    std::lock_guard lock(mutex_);
    hasLimitedAdTracking_ = hasLimitedAdTracking;
    hasAppDataConsentStatus_ = hasStatus;
    appDataConsentStatus_ = status;
  }
  void setLimitedAdTracking(bool value) {
    std::lock_guard lock(mutex_);
    limitedAdTracking_ = value;
  }
  void setResettableDeviceID(std::optional<std::string> identifier) {
    std::lock_guard lock(mutex_);
    resettableDeviceID_ = std::move(identifier);
  }
  // The next fetch waits on the returned semaphore, answering what is set when it is called.
  platform::Semaphore holdNextFetch() {
    std::lock_guard lock(mutex_);
    gate_ = platform::Semaphore();
    return *gate_;
  }
  int fetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
  }

 private:
  mutable std::mutex mutex_;
  bool hasAppDataConsentStatus_ = true;
  std::uint64_t appDataConsentStatus_ = 3;
  bool hasLimitedAdTracking_ = true;
  bool limitedAdTracking_ = false;
  std::optional<std::string> resettableDeviceID_;
  std::optional<platform::Semaphore> gate_;
  int fetches_ = 0;
};

// An installed engine that is only enabled or not and holds an identity: it runs scheduled
// blocks at once and drops written events.
class StubEngine : public APMMeasurementEngine {
 public:
  explicit StubEngine(std::shared_ptr<APMIdentity> identity, bool enabled = true)
      : enabled_(enabled), identity_(std::move(identity)) {}
  bool isEnabled() const override { return enabled_; }
  std::shared_ptr<APMIdentity> identity() const override { return identity_; }
  std::shared_ptr<APMDatabase> database() const override { return nullptr; }
  void scheduleOnWorkerQueueBlockID(const std::string&, std::function<void()> block) override {
    block();
  }
  std::shared_ptr<platform::Queue> workerQueue() const override { return nullptr; }
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) override {}
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) override {}

 private:
  const bool enabled_;
  const std::shared_ptr<APMIdentity> identity_;
};

inline std::shared_ptr<APMPersistedConfig> makeMemoryPersistedConfig() {
  return std::make_shared<APMPersistedConfig>("identity-test",
                                              std::make_shared<MemoryConfigStore>());
}

}  // namespace analytics_test
