// RDTCORStorageProtocol: what the event store offers the transport's other components (its
// completion operations, their promise forms and its delegate), and the small value types
// that cross that boundary: the event selector, the upload batch and the storage metadata.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/error.h"
#include "promises/zbl_promise.h"

// Events handed between components. Each event appears once.
using RDTCOREventSet = std::vector<std::shared_ptr<RDTCOREvent>>;

// The store's size cap in bytes: everything under the root directory counts.
inline constexpr std::uint64_t kRDTCORFlatFileStorageSizeLimit = 20'000'000;

// Which events of a target a batch takes. An absent or empty set places no condition.
class RDTCORStorageEventSelector {
 public:
  RDTCORStorageEventSelector(RDTCORTarget target,
                             std::optional<std::set<std::string>> eventIDs,
                             std::optional<std::set<std::string>> mappingIDs,
                             std::optional<std::set<RDTCOREventQoS>> qosTiers)
      : selectedTarget_(target), selectedEventIDs_(std::move(eventIDs)),
        selectedMappingIDs_(std::move(mappingIDs)), selectedQosTiers_(std::move(qosTiers)) {}
  // Every event of the target.
  static std::shared_ptr<RDTCORStorageEventSelector> eventSelectorForTarget(RDTCORTarget target) {
    return std::make_shared<RDTCORStorageEventSelector>(target, std::nullopt, std::nullopt,
                                                        std::nullopt);
  }

  RDTCORTarget selectedTarget() const { return selectedTarget_; }
  const std::optional<std::set<std::string>>& selectedEventIDs() const {
    return selectedEventIDs_;
  }
  // Mapping IDs as the clients gave them (not percent-encoded).
  const std::optional<std::set<std::string>>& selectedMappingIDs() const {
    return selectedMappingIDs_;
  }
  const std::optional<std::set<RDTCOREventQoS>>& selectedQosTiers() const {
    return selectedQosTiers_;
  }

 private:
  RDTCORTarget selectedTarget_;
  std::optional<std::set<std::string>> selectedEventIDs_;
  std::optional<std::set<std::string>> selectedMappingIDs_;
  std::optional<std::set<RDTCOREventQoS>> selectedQosTiers_;
};

// Events moved out of the pool into a numbered batch folder for one upload.
class RDTCORUploadBatch {
 public:
  RDTCORUploadBatch(std::int64_t batchID, RDTCOREventSet events)
      : batchID_(batchID), events_(std::move(events)) {}
  std::int64_t batchID() const { return batchID_; }
  const RDTCOREventSet& events() const { return events_; }

 private:
  std::int64_t batchID_;
  RDTCOREventSet events_;
};

// How full the store is.
class RDTCORStorageMetadata {
 public:
  RDTCORStorageMetadata(std::uint64_t currentCacheSize, std::uint64_t maxCacheSize)
      : currentCacheSize_(currentCacheSize), maxCacheSize_(maxCacheSize) {}
  static std::shared_ptr<RDTCORStorageMetadata>
  metadataWithCurrentCacheSize(std::uint64_t currentCacheSize, std::uint64_t maxCacheSize) {
    return std::make_shared<RDTCORStorageMetadata>(currentCacheSize, maxCacheSize);
  }
  std::uint64_t currentCacheSize() const { return currentCacheSize_; }
  std::uint64_t maxCacheSize() const { return maxCacheSize_; }

 private:
  std::uint64_t currentCacheSize_;
  std::uint64_t maxCacheSize_;
};

class RDTCORStorageProtocol;

// Told of events the store lost (in practice the metrics controller).
class RDTCORStorageDelegate {
 public:
  virtual ~RDTCORStorageDelegate() = default;
  // Events the expiry sweep deleted.
  virtual void storageDidRemoveExpiredEvents(RDTCORStorageProtocol& storage,
                                             const RDTCOREventSet& events) = 0;
  // An event refused by the size cap.
  virtual void storageDidDropEvent(RDTCORStorageProtocol& storage,
                                   const std::shared_ptr<RDTCOREvent>& event) = 0;
};

// The event store's operations. Each returns at once; the work and the completion run on the
// store's queue unless an operation says otherwise.
class RDTCORStorageProtocol : public virtual RDTCORLifecycleProtocol {
 public:
  using StoreCompletion = std::function<void(bool wasWritten, const platform::ErrorPtr& error)>;
  // Both absent when no event was taken.
  using BatchCompletion = std::function<void(std::optional<std::int64_t> batchID,
                                             std::optional<RDTCOREventSet> events)>;
  using Completion = std::function<void()>;
  // None when the batch folder cannot be listed or holds nothing.
  using BatchIDsCompletion = std::function<void(std::optional<std::set<std::int64_t>> batchIDs)>;
  using BoolCompletion = std::function<void(bool value)>;
  using ErrorCompletion = std::function<void(const platform::ErrorPtr& error)>;
  using FetchCompletion =
      std::function<void(const std::optional<platform::Data>& data, const platform::ErrorPtr& error)>;
  using ValueProducer = std::function<std::optional<platform::Data>()>;
  using SizeCallback = std::function<void(std::uint64_t size)>;

  // A missing event (or one without payload bytes) is refused at once, on the caller's thread.
  virtual void storeEvent(const std::shared_ptr<RDTCOREvent>& event, StoreCompletion onComplete) = 0;
  virtual void hasEventsForTarget(RDTCORTarget target, BoolCompletion onComplete) = 0;
  virtual void batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>& selector,
                                      platform::Date batchExpiration,
                                      BatchCompletion onComplete) = 0;
  virtual void removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                 Completion onComplete) = 0;
  virtual void batchIDsForTarget(RDTCORTarget target, BatchIDsCompletion onComplete) = 0;
  virtual void checkForExpirations() = 0;
  virtual void storeLibraryData(const platform::Data& data, const std::string& key,
                                ErrorCompletion onComplete) = 0;
  virtual void libraryDataForKey(const std::string& key, FetchCompletion onFetchComplete,
                                 ValueProducer setNewValue) = 0;
  virtual void removeLibraryDataForKey(const std::string& key, ErrorCompletion onComplete) = 0;
  virtual void storageSizeWithCallback(SizeCallback onComplete) = 0;

  virtual std::shared_ptr<RDTCORStorageDelegate> delegate() const = 0;
  // Held weakly.
  virtual void setDelegate(const std::shared_ptr<RDTCORStorageDelegate>& delegate) = 0;
};

class RDTCORMetricsMetadata;

// The store's operations as promises, created and settled on the store's queue.
class RDTCORStoragePromiseProtocol {
 public:
  // Given the stored record (or none) and the read error (or none); returns the record to keep.
  using MetricsHandler = std::function<std::shared_ptr<RDTCORMetricsMetadata>(
      const std::shared_ptr<RDTCORMetricsMetadata>& fetched, const platform::ErrorPtr& error)>;

  virtual ~RDTCORStoragePromiseProtocol() = default;
  // A promise of a platform::Value array of batch IDs (integers).
  virtual ZBLPromisePtr batchIDsForTarget(RDTCORTarget target) = 0;
  virtual ZBLPromisePtr removeBatchWithID(std::int64_t batchID, bool deleteEvents) = 0;
  virtual ZBLPromisePtr removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                             bool deleteEvents) = 0;
  virtual ZBLPromisePtr removeAllBatchesForTarget(RDTCORTarget target, bool deleteEvents) = 0;
  // A promise of a boolean platform::Value.
  virtual ZBLPromisePtr hasEventsForTarget(RDTCORTarget target) = 0;
  // A promise of a std::shared_ptr<RDTCORUploadBatch>.
  virtual ZBLPromisePtr batchWithEventSelector(
      const std::shared_ptr<RDTCORStorageEventSelector>& selector,
      platform::Date batchExpiration) = 0;
  virtual ZBLPromisePtr fetchAndUpdateMetricsWithHandler(MetricsHandler handler) = 0;
  // A promise of a std::shared_ptr<RDTCORStorageMetadata>.
  virtual ZBLPromisePtr fetchStorageMetadata() = 0;
};
