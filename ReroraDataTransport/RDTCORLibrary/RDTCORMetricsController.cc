#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"

#include <mutex>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "platform/date.h"

namespace {

void logFetchError(const platform::ErrorPtr& error) {
  RDTCORLogDebug("Error fetching metrics metadata: %@",
                 {error ? platform::Value(error->description()) : platform::Value()});
}

// The record getAndResetMetrics took out: written on the store's queue, read later on the
// promise queue.
class FetchedRecord {
 public:
  void set(std::shared_ptr<RDTCORMetricsMetadata> metadata) {
    std::lock_guard lock(mutex_);
    metadata_ = std::move(metadata);
  }
  std::shared_ptr<RDTCORMetricsMetadata> get() const {
    std::lock_guard lock(mutex_);
    return metadata_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<RDTCORMetricsMetadata> metadata_;
};

}  // namespace

void RDTCORMetricsController::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    RDTCORMetricsLoad();
    const auto registrar = RDTCORRegistrar::sharedInstance();
    registrar->registerMetricsController(sharedInstance(), RDTCORTargetCSH);
    registrar->registerMetricsController(sharedInstance(), RDTCORTargetFLL);
  });
}

std::shared_ptr<RDTCORMetricsController> RDTCORMetricsController::sharedInstance() {
  // Never destroyed, like the store it reports to.
  static const auto* instance = new std::shared_ptr<RDTCORMetricsController>(
      std::make_shared<RDTCORMetricsController>(RDTCORFlatFileStorage::sharedInstance()));
  return *instance;
}

RDTCORMetricsController::RDTCORMetricsController(
    std::shared_ptr<RDTCORStoragePromiseProtocol> storage)
    : storage_(std::move(storage)) {}

ZBLPromisePtr RDTCORMetricsController::logEventsDroppedForReason(RDTCOREventDropReason reason,
                                                                 const RDTCOREventSet& events) {
  if (events.empty()) return ZBLPromise::resolvedWith(nullptr);
  const auto dropped = RDTCORLogSourceMetrics::metricsWithEvents(events, reason);
  return storage_->fetchAndUpdateMetricsWithHandler(
      [dropped](const std::shared_ptr<RDTCORMetricsMetadata>& fetched,
                const platform::ErrorPtr& error) {
        if (fetched) {
          return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
              fetched->collectionStartDate(),
              fetched->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(*dropped));
        }
        logFetchError(error);
        return RDTCORMetricsMetadata::metadataWithCollectionStartDate(platform::Date::now(),
                                                                      dropped);
      });
}

ZBLPromisePtr RDTCORMetricsController::getAndResetMetrics() {
  const auto taken = std::make_shared<FetchedRecord>();
  const auto storage = storage_;
  return storage
      ->fetchAndUpdateMetricsWithHandler(
          [taken](const std::shared_ptr<RDTCORMetricsMetadata>& fetched,
                  const platform::ErrorPtr& error) {
            if (!fetched) logFetchError(error);
            taken->set(fetched);
            // The stored window restarts now, whatever was there.
            return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
                platform::Date::now(), RDTCORLogSourceMetrics::metrics());
          })
      ->validate([taken](const ZBLObject&) { return taken->get() != nullptr; })
      ->then([storage](const ZBLObject&) { return ZBLObject(storage->fetchStorageMetadata()); })
      ->then([taken](const ZBLObject& value) {
        const auto storageMetadata = value.as<RDTCORStorageMetadata>();
        if (!storageMetadata) {
          return ZBLObject(
              platform::makeError(ZBLPromiseErrorDomain, ZBLPromiseErrorCodeValidationFailure));
        }
        return ZBLObject(
            RDTCORMetrics::metricsWithMetricsMetadata(*taken->get(), *storageMetadata));
      });
}

ZBLPromisePtr RDTCORMetricsController::offerMetrics(const std::shared_ptr<RDTCORMetrics>& metrics) {
  if (!metrics) return ZBLPromise::resolvedWith(nullptr);
  return storage_->fetchAndUpdateMetricsWithHandler(
      [metrics](const std::shared_ptr<RDTCORMetricsMetadata>& fetched,
                const platform::ErrorPtr& error) {
        const double offeredStart = metrics->collectionStartDate().timeIntervalSince1970();
        if (fetched) {
          if (offeredStart > fetched->collectionStartDate().timeIntervalSince1970()) {
            return fetched;
          }
          return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
              metrics->collectionStartDate(),
              fetched->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(
                  *metrics->logSourceMetrics()));
        }
        logFetchError(error);
        const platform::Date now = platform::Date::now();
        if (offeredStart > now.timeIntervalSince1970()) {
          return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
              now, RDTCORLogSourceMetrics::metrics());
        }
        return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
            metrics->collectionStartDate(), metrics->logSourceMetrics());
      });
}

void RDTCORMetricsController::storageDidRemoveExpiredEvents(RDTCORStorageProtocol&,
                                                            const RDTCOREventSet& events) {
  logEventsDroppedForReason(RDTCOREventDropReasonMessageTooOld, events);
}

void RDTCORMetricsController::storageDidDropEvent(RDTCORStorageProtocol&,
                                                  const std::shared_ptr<RDTCOREvent>& event) {
  logEventsDroppedForReason(RDTCOREventDropReasonStorageFull, RDTCOREventSet{event});
}
