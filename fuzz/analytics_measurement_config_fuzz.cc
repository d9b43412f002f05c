// Reads the configuration document the service sends and the client keeps on disk (MeasurementConfig) as its wrapper does.
#include <cstddef>
#include <cstdint>

#include "fuzz/analytics_message_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::checkAnalyticsMessage<nano_MeasurementConfig_table>(data, size);
}
