// Stand-ins for what an upload operation talks to: an in-memory event store offering the
// promise operations, a metrics controller handing out scripted metrics, and an application
// whose background tasks a test ends by hand. Each records what it was asked.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "promises/zbl_promise.h"

namespace uploader_testing {

class BytesObject : public RDTCOREventDataObject {
 public:
  explicit BytesObject(std::string bytes) : bytes_(std::move(bytes)) {}
  platform::Data transportBytes() const override { return platform::Data::fromString(bytes_); }

 private:
  std::string bytes_;
};

inline std::shared_ptr<RDTCOREvent> makeEvent(RDTCORTarget target, RDTCOREventQoS tier,
                                              std::string payload = "payload",
                                              std::string mappingID = "1206") {
  auto event = RDTCOREvent::initWithMappingID(std::move(mappingID), target);
  event->setDataObject(std::make_shared<BytesObject>(std::move(payload)));
  event->setQosTier(tier);
  return event;
}

// Events in a pool and in numbered batches, kept in memory. Every promise settles on the
// store's own queue; the completion forms the uploader never uses answer "nothing".
class InMemoryEventStore : public RDTCORStorageProtocol, public RDTCORStoragePromiseProtocol {
 public:
  struct Removal {
    std::int64_t batchID;
    bool deleteEvents;
    friend bool operator==(const Removal&, const Removal&) = default;
  };

  void add(const std::shared_ptr<RDTCOREvent>& event) {
    std::lock_guard lock(mutex_);
    pool_.push_back(event);
  }
  // A batch left over from an earlier, interrupted upload.
  std::int64_t addLeftoverBatch(RDTCOREventSet events) {
    std::lock_guard lock(mutex_);
    const std::int64_t id = nextBatchID_++;
    batches_[id] = std::move(events);
    return id;
  }

  RDTCOREventSet pool() const {
    std::lock_guard lock(mutex_);
    return pool_;
  }
  std::set<RDTCOREventQoS> poolTiers() const {
    std::set<RDTCOREventQoS> tiers;
    for (const auto& event : pool()) tiers.insert(event->qosTier());
    return tiers;
  }
  std::size_t batchCount() const {
    std::lock_guard lock(mutex_);
    return batches_.size();
  }
  std::vector<Removal> removals() const {
    std::lock_guard lock(mutex_);
    return removals_;
  }
  // The promise operations asked for, by name, in order.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::shared_ptr<RDTCORStorageEventSelector> lastSelector() const {
    std::lock_guard lock(mutex_);
    return lastSelector_;
  }
  std::optional<platform::Date> lastBatchExpiration() const {
    std::lock_guard lock(mutex_);
    return lastBatchExpiration_;
  }

  // The promise operations.
  ZBLPromisePtr batchIDsForTarget(RDTCORTarget target) override {
    return settle("batchIDsForTarget", [this, target]() -> ZBLObject {
      platform::Array ids;
      for (const auto& id : batchIDsLocked(target)) ids.push_back(platform::Value(id));
      return platform::Value(std::move(ids));
    });
  }
  ZBLPromisePtr removeBatchWithID(std::int64_t batchID, bool deleteEvents) override {
    return settle("removeBatchWithID", [this, batchID, deleteEvents]() -> ZBLObject {
      removeLocked(batchID, deleteEvents);
      return nullptr;
    });
  }
  ZBLPromisePtr removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                     bool deleteEvents) override {
    return settle("removeBatchesWithIDs", [this, batchIDs, deleteEvents]() -> ZBLObject {
      for (const auto id : batchIDs) removeLocked(id, deleteEvents);
      return ZBLObject::null();
    });
  }
  ZBLPromisePtr removeAllBatchesForTarget(RDTCORTarget target, bool deleteEvents) override {
    return settle("removeAllBatchesForTarget", [this, target, deleteEvents]() -> ZBLObject {
      for (const auto id : batchIDsLocked(target)) removeLocked(id, deleteEvents);
      return ZBLObject::null();
    });
  }
  ZBLPromisePtr hasEventsForTarget(RDTCORTarget target) override {
    return settle("hasEventsForTarget", [this, target]() -> ZBLObject {
      return std::any_of(pool_.begin(), pool_.end(),
                         [&](const auto& event) { return event->target() == target; });
    });
  }
  ZBLPromisePtr batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>& selector,
                                       platform::Date batchExpiration) override {
    return settle("batchWithEventSelector", [this, selector, batchExpiration]() -> ZBLObject {
      lastSelector_ = selector;
      lastBatchExpiration_ = batchExpiration;
      RDTCOREventSet selected;
      RDTCOREventSet rest;
      for (const auto& event : pool_) {
        (matches(*selector, *event) ? selected : rest).push_back(event);
      }
      if (selected.empty()) {
        return platform::makeError(
            "RDTCORFlatFileStorage", -1,
            {{platform::kLocalizedFailureReasonErrorKey, "There are no events for the selector."}});
      }
      pool_ = std::move(rest);
      const std::int64_t id = nextBatchID_++;
      batches_[id] = selected;
      return std::make_shared<RDTCORUploadBatch>(id, std::move(selected));
    });
  }
  ZBLPromisePtr fetchAndUpdateMetricsWithHandler(MetricsHandler) override {
    return ZBLPromise::resolvedWith(nullptr);
  }
  ZBLPromisePtr fetchStorageMetadata() override {
    return ZBLPromise::resolvedWith(RDTCORStorageMetadata::metadataWithCurrentCacheSize(0, 0));
  }

  // The completion forms, needed only to register the store.
  void storeEvent(const std::shared_ptr<RDTCOREvent>& event, StoreCompletion onComplete) override {
    add(event);
    if (onComplete) onComplete(true, nullptr);
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
  void checkForExpirations() override {}
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
  std::shared_ptr<RDTCORStorageDelegate> delegate() const override { return nullptr; }
  void setDelegate(const std::shared_ptr<RDTCORStorageDelegate>&) override {}

 private:
  ZBLPromisePtr settle(std::string call, std::function<ZBLObject()> work) {
    return ZBLPromise::do_(queue_, [this, call = std::move(call), work = std::move(work)] {
      std::lock_guard lock(mutex_);
      calls_.push_back(call);
      return work();
    });
  }
  static bool matches(const RDTCORStorageEventSelector& selector, const RDTCOREvent& event) {
    if (event.target() != selector.selectedTarget()) return false;
    const auto& tiers = selector.selectedQosTiers();
    if (tiers && !tiers->empty() && !tiers->count(event.qosTier())) return false;
    const auto& mappingIDs = selector.selectedMappingIDs();
    if (mappingIDs && !mappingIDs->empty() && !mappingIDs->count(event.mappingID())) return false;
    const auto& eventIDs = selector.selectedEventIDs();
    return !eventIDs || eventIDs->empty() || eventIDs->count(event.eventID());
  }
  std::vector<std::int64_t> batchIDsLocked(RDTCORTarget target) const {
    std::vector<std::int64_t> ids;
    for (const auto& [id, events] : batches_) {
      if (!events.empty() && events.front()->target() == target) ids.push_back(id);
    }
    return ids;
  }
  void removeLocked(std::int64_t batchID, bool deleteEvents) {
    removals_.push_back({batchID, deleteEvents});
    const auto it = batches_.find(batchID);
    if (it == batches_.end()) return;
    if (!deleteEvents) pool_.insert(pool_.end(), it->second.begin(), it->second.end());
    batches_.erase(it);
  }

  platform::QueuePtr queue_ = platform::Queue::serial("uploader_testing.InMemoryEventStore");
  mutable std::mutex mutex_;
  RDTCOREventSet pool_;
  std::map<std::int64_t, RDTCOREventSet> batches_;
  std::int64_t nextBatchID_ = 1;
  std::vector<Removal> removals_;
  std::vector<std::string> calls_;
  std::shared_ptr<RDTCORStorageEventSelector> lastSelector_;
  std::optional<platform::Date> lastBatchExpiration_;
};

// Hands out the metrics it was given (or refuses when it has none) and records drops and
// offers.
class RecordingMetricsController : public RDTCORMetricsControllerProtocol {
 public:
  struct Drop {
    RDTCOREventDropReason reason;
    RDTCOREventSet events;
  };

  explicit RecordingMetricsController(std::shared_ptr<RDTCORMetrics> metrics = nullptr)
      : metrics_(std::move(metrics)) {}

  // A window with one count, as a store that dropped an event would leave.
  static std::shared_ptr<RDTCORMetrics> sampleMetrics() {
    return std::make_shared<RDTCORMetrics>(
        platform::Date::fromTimeIntervalSince1970(1'699'990'000),
        platform::Date::fromTimeIntervalSince1970(1'700'000'000),
        std::make_shared<RDTCORLogSourceMetrics>(RDTCORDroppedEventCounterByLogSource{
            {"1206", {{RDTCOREventDropReasonStorageFull, 3}}}}),
        1000, 20'000'000, "com.example.vilmo");
  }

  ZBLPromisePtr logEventsDroppedForReason(RDTCOREventDropReason reason,
                                          const RDTCOREventSet& events) override {
    std::lock_guard lock(mutex_);
    drops_.push_back({reason, events});
    return ZBLPromise::resolvedWith(nullptr);
  }
  ZBLPromisePtr getAndResetMetrics() override {
    std::lock_guard lock(mutex_);
    ++handedOut_;
    if (!metrics_) {
      return ZBLPromise::resolvedWith(
          platform::makeError(ZBLPromiseErrorDomain, ZBLPromiseErrorCodeValidationFailure));
    }
    return ZBLPromise::resolvedWith(metrics_);
  }
  ZBLPromisePtr offerMetrics(const std::shared_ptr<RDTCORMetrics>& metrics) override {
    std::lock_guard lock(mutex_);
    offers_.push_back(metrics);
    return ZBLPromise::resolvedWith(nullptr);
  }
  void storageDidRemoveExpiredEvents(RDTCORStorageProtocol&, const RDTCOREventSet&) override {}
  void storageDidDropEvent(RDTCORStorageProtocol&, const std::shared_ptr<RDTCOREvent>&) override {}

  std::vector<Drop> drops() const {
    std::lock_guard lock(mutex_);
    return drops_;
  }
  std::vector<std::shared_ptr<RDTCORMetrics>> offers() const {
    std::lock_guard lock(mutex_);
    return offers_;
  }
  int handedOut() const {
    std::lock_guard lock(mutex_);
    return handedOut_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<RDTCORMetrics> metrics_;
  std::vector<Drop> drops_;
  std::vector<std::shared_ptr<RDTCORMetrics>> offers_;
  int handedOut_ = 0;
};

}  // namespace uploader_testing
