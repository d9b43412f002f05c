// Reads the experiments service's answer (ExperimentResponse) as its wrapper does.
#include <cstddef>
#include <cstdint>

#include "fuzz/analytics_message_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::checkAnalyticsMessage<nano_ExperimentResponse_table>(data, size);
}
