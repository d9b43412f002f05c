// Reads an event-editing program from the service (Program) as its wrapper does.
#include <cstddef>
#include <cstdint>

#include "fuzz/analytics_message_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::checkAnalyticsMessage<nano_Program_table>(data, size);
}
