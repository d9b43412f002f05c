// Reads the consent settings of the configuration document (ConsentConfig) as its wrapper does.
#include <cstddef>
#include <cstdint>

#include "fuzz/analytics_message_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::checkAnalyticsMessage<nano_ConsentConfig_table>(data, size);
}
