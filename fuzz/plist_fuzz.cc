// Reads property lists, XML or binary, as settings files and archives arrive from disk, and
// writes back what it read in both formats.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "platform/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  ErrorPtr error;
  const auto value = plist::parse(fuzz::dataOf(data, size), &error);
  fuzz::fuzzCheck(value.has_value() != (error != nullptr), "a read fails exactly with an error");
  if (!value) return 0;
  for (const auto format : {plist::Format::XML, plist::Format::Binary}) {
    // A read value can still be one the writer refuses (text with NUL, a far date).
    const auto written = plist::write(*value, format);
    if (!written) continue;
    const auto reread = plist::parse(*written);
    fuzz::fuzzCheck(reread.has_value(), "what was written reads back");
    fuzz::fuzzCheck(reread->type() == value->type() && reread->count() == value->count(),
                    "what was written reads back as the same kind and size");
  }
  return 0;
}
