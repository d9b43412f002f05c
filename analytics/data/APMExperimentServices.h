// What the remote configuration uses of the experiments component above it: the manager an
// SDK registers its property with, the client it gets back (snapshot activation and flag
// values) and the two delegate roles through which that client calls back. The experiments
// component implements the manager and the client; the property is a plain description.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/value.h"

class APMEClient;

// Told by a client when a snapshot arrives or a fetch fails.
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) = 0;
  // client:didReceiveFetchError:
  virtual void client(const std::shared_ptr<APMEClient>& client,
                      const platform::ErrorPtr& didReceiveFetchError) = 0;
};

// Asked by the manager whether experiments may be fetched for a client now.
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  virtual bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) = 0;
};

// How an SDK describes itself to the experiment manager: its name, its version number and
// who decides when its experiments are fetched. Filled before registration, read after it
// from the manager's own queues, hence the lock.
class APMESDKProperty {
 public:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  std::int64_t version() const {
    std::lock_guard lock(mutex_);
    return version_;
  }
  void setVersion(std::int64_t version) {
    std::lock_guard lock(mutex_);
    version_ = version;
  }
  // Held weakly: the delegate owns the client that owns this property, not the reverse.
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }
  void setDelegate(const std::weak_ptr<APMESDKPropertyProviderDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::int64_t version_ = 0;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};

// One registered SDK's view of the experiments: its active snapshot's flags.
class APMEClient {
 public:
  virtual ~APMEClient() = default;
  // Held weakly, for the same reason as the property's delegate.
  virtual void setDelegate(const std::weak_ptr<APMEExperimentObserverDelegate>& delegate) = 0;
  // True when the latest snapshot became the active one; false with the error set otherwise.
  virtual bool activateLatestSnapshot(platform::ErrorPtr* error) = 0;
  // The active snapshot's value of the flag, or none.
  virtual std::optional<platform::Value> objectForKeyedSubscript(const std::string& flag) const = 0;
};

// The experiment state of the process, shared by the SDKs that register with it.
class APMEManager {
 public:
  virtual ~APMEManager() = default;
  // The client through which that SDK reads its flags; the default flags serve until a
  // snapshot has them.
  virtual std::shared_ptr<APMEClient>
  registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                      const platform::Dictionary& defaultFlags) = 0;
  // The identifiers of the active experiments.
  virtual platform::Array experimentIDs() const = 0;
  // Forgets every experiment and snapshot.
  virtual void reset() = 0;
};
