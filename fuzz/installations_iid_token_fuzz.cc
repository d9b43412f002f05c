// Reads the legacy default token as the installations client finds it in the keychain: either
// a token of at least one character or an error.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "installations/ZIRInstallationsIIDTokenInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::ErrorPtr error;
  const auto token =
      ZIRInstallationsIIDTokenInfo::tokenWithArchiveData(fuzz::dataOf(data, size), &error);
  fuzz::fuzzCheck(token.has_value() != (error != nullptr), "a token or an error, not both");
  fuzz::fuzzCheck(!token || !token->empty(), "a read token is not empty");
  return 0;
}
