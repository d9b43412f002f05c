// The event store's operations as promises, each created and settled on the store's queue.
#include <memory>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"

platform::ErrorPtr
RDTCORFlatFileStorage::genericRejectedPromiseErrorWithReason(const std::string& reason) {
  return platform::makeError(kRDTCORFlatFileStorageErrorDomain, -1,
                             {{platform::kLocalizedFailureReasonErrorKey, reason}});
}

ZBLPromisePtr RDTCORFlatFileStorage::batchIDsForTarget(RDTCORTarget target) {
  auto self = shared_from_this();
  return ZBLPromise::wrapObjectCompletion(
      storageQueue_, [self, target](ZBLPromise::ObjectCompletion handler) {
        self->batchIDsForTarget(target, [handler](std::optional<std::set<std::int64_t>> batchIDs) {
          if (!batchIDs) {
            handler(ZBLObject());
            return;
          }
          platform::Array ids(batchIDs->begin(), batchIDs->end());
          handler(platform::Value(std::move(ids)));
        });
      });
}

ZBLPromisePtr RDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID, bool deleteEvents) {
  // Asked for at once rather than from a block on the queue, which would wait behind the
  // queued writes that the removal goes ahead of.
  ZBLPromisePtr promise = ZBLPromise::pendingPromise();
  removeBatchWithID(batchID, deleteEvents, [promise] { promise->fulfill(ZBLObject()); });
  return promise;
}

ZBLPromisePtr RDTCORFlatFileStorage::removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                                          bool deleteEvents) {
  ZBLObjectList removals;
  for (const std::int64_t batchID : batchIDs) {
    removals.emplace_back(removeBatchWithID(batchID, deleteEvents));
  }
  return ZBLPromise::all(storageQueue_, std::move(removals))
      ->then(storageQueue_, [](const ZBLObject&) { return ZBLObject::null(); });
}

ZBLPromisePtr RDTCORFlatFileStorage::removeAllBatchesForTarget(RDTCORTarget target,
                                                               bool deleteEvents) {
  auto self = shared_from_this();
  return batchIDsForTarget(target)->then(
      storageQueue_, [self, deleteEvents](const ZBLObject& value) -> ZBLObject {
        std::set<std::int64_t> batchIDs;
        if (const platform::Value* ids = value.asValue(); ids && ids->asArray()) {
          for (const platform::Value& id : *ids->asArray()) batchIDs.insert(id.integerValue());
        }
        if (batchIDs.empty()) return ZBLObject::null();
        return self->removeBatchesWithIDs(batchIDs, deleteEvents);
      });
}

ZBLPromisePtr RDTCORFlatFileStorage::hasEventsForTarget(RDTCORTarget target) {
  auto self = shared_from_this();
  return ZBLPromise::wrapBoolCompletion(storageQueue_,
                                        [self, target](ZBLPromise::BoolCompletion handler) {
                                          self->hasEventsForTarget(target, std::move(handler));
                                        });
}

ZBLPromisePtr RDTCORFlatFileStorage::batchWithEventSelector(
    const std::shared_ptr<RDTCORStorageEventSelector>& selector, platform::Date batchExpiration) {
  auto self = shared_from_this();
  return ZBLPromise::async(storageQueue_, [self, selector,
                                           batchExpiration](ZBLPromise::Fulfill fulfill,
                                                            ZBLPromise::Reject reject) {
    self->batchWithEventSelector(
        selector, batchExpiration,
        [fulfill, reject](std::optional<std::int64_t> batchID,
                          std::optional<RDTCOREventSet> events) {
          if (batchID && events) {
            fulfill(std::make_shared<RDTCORUploadBatch>(*batchID, std::move(*events)));
          } else {
            reject(genericRejectedPromiseErrorWithReason("There are no events for the selector."));
          }
        });
  });
}

ZBLPromisePtr RDTCORFlatFileStorage::fetchAndUpdateMetricsWithHandler(MetricsHandler handler) {
  auto self = shared_from_this();
  return ZBLPromise::async(storageQueue_, [self, handler = std::move(handler)](
                                              ZBLPromise::Fulfill fulfill,
                                              ZBLPromise::Reject reject) {
    RDTCORMetricsLoad();
    const std::string path = self->libraryDataPath() + "/" + kRDTCORMetricsMetadataLibraryDataKey;
    platform::ErrorPtr readError;
    std::shared_ptr<RDTCORMetricsMetadata> fetched;
    if (const auto data = RDTCORReadLibraryDataFile(path, &readError)) {
      fetched = std::dynamic_pointer_cast<RDTCORMetricsMetadata>(
          RDTCORUnarchiveFromData(kRDTCORMetricsMetadataClassName, *data, &readError));
    }
    const auto updated = handler ? handler(fetched, readError) : nullptr;
    if (!updated || (fetched && fetched->isEqualToMetricsMetadata(*updated))) {
      fulfill(ZBLObject());
      return;
    }
    platform::ErrorPtr error;
    const auto archive = RDTCORArchiveToPath(updated, {}, &error);
    if (!archive) {
      reject(error ? error
                   : genericRejectedPromiseErrorWithReason("The metrics could not be archived."));
      return;
    }
    if (!RDTCORWriteFileAtomically(*archive, path, &error)) {
      reject(error ? error
                   : genericRejectedPromiseErrorWithReason("The metrics could not be written."));
      return;
    }
    // Counted like every other file under the root, or the cap would miss it until the next
    // walk.
    self->fileWasWritten(path, archive->length());
    fulfill(ZBLObject());
  });
}

ZBLPromisePtr RDTCORFlatFileStorage::fetchStorageMetadata() {
  auto self = shared_from_this();
  return ZBLPromise::async(storageQueue_, [self](ZBLPromise::Fulfill fulfill, ZBLPromise::Reject) {
    self->storageSizeWithCallback([fulfill](std::uint64_t size) {
      fulfill(RDTCORStorageMetadata::metadataWithCurrentCacheSize(size,
                                                                  kRDTCORFlatFileStorageSizeLimit));
    });
  });
}
