// Reads JSON as a service or a stored file would hand it over, and writes back what it read.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "platform/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  ErrorPtr error;
  const auto value = json::parse(fuzz::textOf(data, size), {.allowFragments = true}, &error);
  fuzz::fuzzCheck(value.has_value() != (error != nullptr), "a read fails exactly with an error");
  const auto strict = json::parse(fuzz::dataOf(data, size));
  if (strict) fuzz::fuzzCheck(value && *strict == *value, "fragments change no document");
  if (!value) return 0;

  for (const bool pretty : {false, true}) {
    const auto written =
        json::write(*value, {.pretty = pretty, .sortedKeys = pretty, .allowFragments = true});
    // Numbers out of a double's range read as infinities, which JSON cannot hold.
    if (!written) continue;
    const auto reread = json::parse(*written, {.allowFragments = true});
    fuzz::fuzzCheck(reread.has_value(), "what was written reads back");
    fuzz::fuzzCheck(*reread == *value, "what was written reads back as the same value");
  }
  if (json::isValidJSONObject(*value)) {
    fuzz::fuzzCheck(json::writeData(*value).has_value(), "a valid JSON object writes");
  }
  return 0;
}
