// RDTCORMetricsController: counts the events the transport loses, per log source and reason,
// in the record the store keeps, and hands the counts out (and takes them back) for the
// metrics event.
#pragma once

#include <memory>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"

class RDTCORMetricsController : public RDTCORMetricsControllerProtocol {
 public:
  // Registers the shared controller for target 1002, then 1001. Once per process.
  static void load();
  // Made once, over the shared RDTCORFlatFileStorage.
  static std::shared_ptr<RDTCORMetricsController> sharedInstance();

  explicit RDTCORMetricsController(std::shared_ptr<RDTCORStoragePromiseProtocol> storage);

  const std::shared_ptr<RDTCORStoragePromiseProtocol>& storage() const { return storage_; }

  ZBLPromisePtr logEventsDroppedForReason(RDTCOREventDropReason reason,
                                          const RDTCOREventSet& events) override;
  ZBLPromisePtr getAndResetMetrics() override;
  ZBLPromisePtr offerMetrics(const std::shared_ptr<RDTCORMetrics>& metrics) override;

  // Reason 1 for the set; the promise is not waited for.
  void storageDidRemoveExpiredEvents(RDTCORStorageProtocol& storage,
                                     const RDTCOREventSet& events) override;
  // Reason 2 for the one event; the promise is not waited for.
  void storageDidDropEvent(RDTCORStorageProtocol& storage,
                           const std::shared_ptr<RDTCOREvent>& event) override;

 private:
  std::shared_ptr<RDTCORStoragePromiseProtocol> storage_;
};
