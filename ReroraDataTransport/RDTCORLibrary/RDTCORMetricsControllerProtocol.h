// RDTCORMetricsControllerProtocol: what the uploader and the store ask of the controller that
// counts dropped events per log source and reason.
#pragma once

#include <cstdint>
#include <memory>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "promises/zbl_promise.h"

class RDTCORMetrics;

// Why events were lost.
using RDTCOREventDropReason = std::int64_t;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonUnknown = 0;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonMessageTooOld = 1;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonStorageFull = 2;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonPayloadTooBig = 3;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonMaxRetriesReached = 4;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonInvalidPayload = 5;
inline constexpr RDTCOREventDropReason RDTCOREventDropReasonServerError = 6;

class RDTCORMetricsControllerProtocol : public RDTCORStorageDelegate {
 public:
  // A promise of nothing; an empty set settles at once and stores nothing.
  virtual ZBLPromisePtr logEventsDroppedForReason(RDTCOREventDropReason reason,
                                                  const RDTCOREventSet& events) = 0;
  // A promise of a std::shared_ptr<RDTCORMetrics>; the stored window restarts now.
  virtual ZBLPromisePtr getAndResetMetrics() = 0;
  // A promise of nothing: hands the counts of a failed upload back.
  virtual ZBLPromisePtr offerMetrics(const std::shared_ptr<RDTCORMetrics>& metrics) = 0;
};
