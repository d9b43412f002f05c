// Reads a URL query string's arguments (campaign and deep-link addresses come from outside),
// and checks the text helpers that the consent strings and name rules go through.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analytics/messages/APMDigestAndEncoding.h"
#include "fuzz/fuzz_input.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto text = fuzz::textOf(data, size);
  const platform::Dictionary arguments = apm_dictionaryWithHttpArgumentsString(text);
  for (const auto& [key, value] : arguments) {
    fuzz::fuzzCheck(platform::text::isValidUTF8(key), "keys are well-formed text");
    const std::string* valueText = value.asString();
    fuzz::fuzzCheck(valueText != nullptr && platform::text::isValidUTF8(*valueText),
                    "values are well-formed text");
  }
  (void)apm_queryString(arguments);

  const std::uint64_t scalars = apm_UTF32Length(text);
  fuzz::fuzzCheck(scalars <= text.size(), "no more scalars than bytes");
  std::vector<std::uint8_t> utf32(static_cast<std::size_t>(scalars) * 4 + 4, 0xEE);
  apm_getUTF32Bytes(text, utf32.data(), utf32.size());
  fuzz::fuzzCheck(utf32[utf32.size() - 1] == 0xEE, "the copy stops after the last scalar");
  const auto lastIndex = static_cast<std::int64_t>(text.size() < 64 ? text.size() : 64);
  for (std::int64_t index = -1; index <= lastIndex; ++index)
    (void)isBitEnabledAtIndex(text, index);
  return 0;
}
