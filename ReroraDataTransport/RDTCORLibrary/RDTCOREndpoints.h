// RDTCOREndpoints: where each upload target's batches go, and the collection service's API key.
#pragma once

#include <optional>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "platform/url_session.h"

// Target 1003 is never uploaded for real: its address has a host that never resolves.
inline constexpr const char* kRDTCORINTUploadURL = "https://dummy.invalid/dummy/api/very/long";

class RDTCOREndpoints {
 public:
  // The configured address of 1000, 1001 or 1002, the fixed one of 1003, none for any other.
  // Read once per process.
  static std::optional<platform::URL> uploadURLForTarget(RDTCORTarget target);
};

// The key shared by targets 1001, 1002 and 1003; configuration read once per process.
const std::string& FLLAndCSHAndINTAPIKey();
