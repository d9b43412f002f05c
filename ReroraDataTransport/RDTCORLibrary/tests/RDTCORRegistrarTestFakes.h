// Stand-ins for the components the registrar wires together (uploader, store, metrics
// controller), recording what the transport asks of them, and the network they see.
#pragma once

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"

namespace transport_testing {

// Makes the transport's reachability answer these flags. The platform reports the flags it
// finds first as a change, once, a moment after the reachability starts; that report must land
// before these flags are set, or it would replace them. An earlier case of the process may
// have seen it and cleared it since, so it is waited for once per process, and briefly.
inline void setNetworkFlags(platform::NetworkReachabilityFlags flags) {
  const auto reachability = RDTCORReachability::sharedInstance();
  static std::once_flag firstReport;
  std::call_once(firstReport, [&] {
    const auto routes = [](const char* file) {
      std::ifstream in(file);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (platform::NetworkReachabilityFlagsForHost("0.0.0.0", routes("/proc/net/route"),
                                                  routes("/proc/net/ipv6_route")) == 0) {
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (reachability->callbackFlags() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // Both, so that a first report of 0 coming late still leaves these flags in force.
  reachability->setFlags(flags);
  reachability->setCallbackFlags(flags);
}

// Lifecycle calls of several objects in the order they came, as "<name> <operation>".
class LifecycleJournal {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// Which lifecycle operations an object received, in order; also written to a journal when
// one is set.
class LifecycleRecorder : public virtual RDTCORLifecycleProtocol {
 public:
  void setJournal(std::shared_ptr<LifecycleJournal> journal, std::string name) {
    std::lock_guard lock(mutex_);
    journal_ = std::move(journal);
    name_ = std::move(name);
  }

  void appWillTerminate(const RDTCORApplicationPtr&) override { record("terminate"); }
  void appWillBackground(const RDTCORApplicationPtr&) override { record("background"); }
  void appWillForeground(const RDTCORApplicationPtr&) override { record("foreground"); }

  std::vector<std::string> lifecycleCalls() const {
    std::lock_guard lock(mutex_);
    return lifecycleCalls_;
  }

 protected:
  mutable std::mutex mutex_;

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    if (journal_) journal_->add(name_ + " " + call);
    lifecycleCalls_.push_back(std::move(call));
  }
  std::vector<std::string> lifecycleCalls_;
  std::shared_ptr<LifecycleJournal> journal_;
  std::string name_;
};

class FakeUploader : public RDTCORUploader, public LifecycleRecorder {
 public:
  struct Upload {
    RDTCORTarget target;
    RDTCORUploadConditions conditions;
    friend bool operator==(const Upload&, const Upload&) = default;
  };

  void uploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions) override {
    std::lock_guard lock(mutex_);
    uploads_.push_back({target, conditions});
  }
  std::vector<Upload> uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    uploads_.clear();
  }

 private:
  std::vector<Upload> uploads_;
};

// Keeps every event it is given and completes at once, on the caller's queue, with the
// configured result.
class FakeStorage : public RDTCORStorageProtocol, public LifecycleRecorder {
 public:
  void storeEvent(const std::shared_ptr<RDTCOREvent>& event, StoreCompletion onComplete) override {
    bool written = false;
    platform::ErrorPtr error;
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      written = writeSucceeds_;
      error = writeError_;
    }
    if (onComplete) onComplete(written, error);
  }
  void hasEventsForTarget(RDTCORTarget, BoolCompletion onComplete) override {
    if (onComplete) onComplete(false);
  }
  void batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>&, platform::Date,
                              BatchCompletion onComplete) override {
    if (onComplete) onComplete(std::nullopt, std::nullopt);
  }
  void removeBatchWithID(std::int64_t, bool, Completion onComplete) override {
    if (onComplete) onComplete();
  }
  void batchIDsForTarget(RDTCORTarget, BatchIDsCompletion onComplete) override {
    if (onComplete) onComplete(std::nullopt);
  }
  void checkForExpirations() override {
    std::lock_guard lock(mutex_);
    ++expirationChecks_;
  }
  void storeLibraryData(const platform::Data&, const std::string&,
                        ErrorCompletion onComplete) override {
    if (onComplete) onComplete(nullptr);
  }
  void libraryDataForKey(const std::string&, FetchCompletion onFetchComplete,
                         ValueProducer) override {
    if (onFetchComplete) onFetchComplete(std::nullopt, nullptr);
  }
  void removeLibraryDataForKey(const std::string&, ErrorCompletion onComplete) override {
    if (onComplete) onComplete(nullptr);
  }
  void storageSizeWithCallback(SizeCallback onComplete) override {
    if (onComplete) onComplete(0);
  }
  std::shared_ptr<RDTCORStorageDelegate> delegate() const override {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }
  void setDelegate(const std::shared_ptr<RDTCORStorageDelegate>& delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    ++delegateSettings_;
  }

  std::vector<std::shared_ptr<RDTCOREvent>> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  int expirationChecks() const {
    std::lock_guard lock(mutex_);
    return expirationChecks_;
  }
  int delegateSettings() const {
    std::lock_guard lock(mutex_);
    return delegateSettings_;
  }
  void setWriteResult(bool written, platform::ErrorPtr error) {
    std::lock_guard lock(mutex_);
    writeSucceeds_ = written;
    writeError_ = std::move(error);
  }

 private:
  std::vector<std::shared_ptr<RDTCOREvent>> events_;
  int expirationChecks_ = 0;
  int delegateSettings_ = 0;
  bool writeSucceeds_ = true;
  platform::ErrorPtr writeError_;
  std::weak_ptr<RDTCORStorageDelegate> delegate_;
};

// A store that also offers the promise operations (none of which these tests call).
class FakePromiseStorage : public FakeStorage, public RDTCORStoragePromiseProtocol {
 public:
  ZBLPromisePtr batchIDsForTarget(RDTCORTarget) override { return nullptr; }
  ZBLPromisePtr removeBatchWithID(std::int64_t, bool) override { return nullptr; }
  ZBLPromisePtr removeBatchesWithIDs(const std::set<std::int64_t>&, bool) override {
    return nullptr;
  }
  ZBLPromisePtr removeAllBatchesForTarget(RDTCORTarget, bool) override { return nullptr; }
  ZBLPromisePtr hasEventsForTarget(RDTCORTarget) override { return nullptr; }
  ZBLPromisePtr batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>&,
                                       platform::Date) override {
    return nullptr;
  }
  ZBLPromisePtr fetchAndUpdateMetricsWithHandler(MetricsHandler) override { return nullptr; }
  ZBLPromisePtr fetchStorageMetadata() override { return nullptr; }

  using FakeStorage::batchIDsForTarget;
  using FakeStorage::batchWithEventSelector;
  using FakeStorage::hasEventsForTarget;
  using FakeStorage::removeBatchWithID;
};

class FakeMetricsController : public RDTCORMetricsControllerProtocol {
 public:
  ZBLPromisePtr logEventsDroppedForReason(RDTCOREventDropReason, const RDTCOREventSet&) override {
    return nullptr;
  }
  ZBLPromisePtr getAndResetMetrics() override { return nullptr; }
  ZBLPromisePtr offerMetrics(const std::shared_ptr<RDTCORMetrics>&) override { return nullptr; }
  void storageDidRemoveExpiredEvents(RDTCORStorageProtocol&, const RDTCOREventSet&) override {}
  void storageDidDropEvent(RDTCORStorageProtocol&, const std::shared_ptr<RDTCOREvent>&) override {}
};

}  // namespace transport_testing
