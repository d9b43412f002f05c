// Walks the load commands of image headers as the store-encryption probe reads them from the
// loaded images: any bytes, cut into a few images, give an answer without reading past them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "analytics/data/APMAEU.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input as one image's header; each is copied so that the sanitizer sees any read
  // past its end.
  const std::vector<std::uint8_t> whole(data, data + size);
  const std::optional<bool> encrypted = APMAEU::executableHeaderEncryption(whole);
  fuzz::fuzzCheck(APMAEU::isFirstExecutableEncrypted({whole}) == encrypted.value_or(false),
                  "one image decides as its header does");

  // Then the input cut into up to four images at lengths taken from its first bytes.
  fuzz::FuzzInput input(data, size);
  const int count = 1 + input.byte() % 4;
  std::vector<std::vector<std::uint8_t>> images;
  for (int i = 0; i < count; ++i) {
    const std::string bytes = i + 1 == count ? input.rest() : input.text(input.integer(2));
    images.emplace_back(bytes.begin(), bytes.end());
  }
  std::vector<std::span<const std::uint8_t>> spans(images.begin(), images.end());
  bool expected = false;
  for (const auto& image : spans) {
    if (const auto answer = APMAEU::executableHeaderEncryption(image)) {
      expected = *answer;
      break;
    }
  }
  fuzz::fuzzCheck(APMAEU::isFirstExecutableEncrypted(spans) == expected,
                  "the first executable image decides");
  return 0;
}
