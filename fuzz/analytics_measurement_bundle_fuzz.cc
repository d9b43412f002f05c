// Reads one stored bundle of an upload (MeasurementBundle) as its wrapper does.
#include <cstddef>
#include <cstdint>

#include "fuzz/analytics_message_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::checkAnalyticsMessage<nano_MeasurementBundle_table>(data, size);
}
