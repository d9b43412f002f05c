// The collection service's wire messages: the batch request built from stored events, the
// answer that sets the next upload time, and the dropped-event metrics report.
#pragma once

#include <cstdint>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "platform/data.h"
#include "platform/error.h"

class RDTCORMetrics;

// The user-info key of a refused answer's error; its value is the decoder's message.
inline constexpr const char* kKCTNanopbErrorKey = "nanopb error:";
// A refused answer's error: domain "NSURLErrorDomain", this code.
inline constexpr std::int64_t kKCTDecodeErrorCode = -1;

// What the program reads from an answer.
struct KCTDecodedResponse {
  bool has_next_request_wait_millis = false;
  std::int64_t next_request_wait_millis = 0;
  bool has_qos_configuration = false;
};

// The encoded KCTBatchRequest: one source request per mapping ID. Empty data when encoding
// produced nothing; encoding problems are logged, never raised.
platform::Data KCTEncodeBatchRequest(const RDTCOREventSet& events);

// The decoded KCTResponse. Input that is not such a message gives a zeroed record and, when a
// slot is given, the error above with the decoder's message under kKCTNanopbErrorKey.
KCTDecodedResponse KCTDecodeResponse(const platform::Data& body,
                                     platform::ErrorPtr* error = nullptr);

// The encoded MetricsReport of the metrics (the metrics event's payload).
platform::Data KCTEncodeMetricsReport(const RDTCORMetrics& metrics);
