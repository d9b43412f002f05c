// Reads base64 text in both alphabets, and encodes the input's bytes as any caller would.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "platform/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  const auto text = fuzz::textOf(data, size);
  for (const auto alphabet : {base64::Alphabet::Standard, base64::Alphabet::URLSafe}) {
    if (const auto decoded = base64::decode(text, alphabet)) {
      for (const bool padded : {true, false}) {
        const auto again = base64::decode(base64::encode(*decoded, alphabet, padded), alphabet);
        fuzz::fuzzCheck(again && *again == *decoded, "decoded bytes encode and decode again");
      }
    }
    const Data bytes = fuzz::dataOf(data, size);
    for (const bool padded : {true, false}) {
      const auto encoded = base64::encode(bytes, alphabet, padded);
      const auto decoded = base64::decode(encoded, alphabet);
      fuzz::fuzzCheck(decoded && *decoded == bytes, "any bytes encode and decode back");
    }
  }
  return 0;
}
