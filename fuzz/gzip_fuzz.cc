// Inflates bytes as a response body or a stored payload would arrive, through the platform's
// helpers and the SDK's, and compresses the input to check that it comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <span>

#include "foundation/ZULGzip.h"
#include "fuzz/fuzz_input.h"
#include "platform/gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  const std::span<const std::uint8_t> bytes(data, size);
  const Data input = fuzz::dataOf(data, size);

  const auto members = gzip::decompress(input);
  const auto allMembers = gzip::inflate(bytes, gzip::Header::Gzip, gzip::Members::All);
  fuzz::fuzzCheck(members == allMembers, "decompress reads every gzip member");
  if (members) {
    const auto first = gzip::inflate(bytes, gzip::Header::Gzip, gzip::Members::One);
    if (first) fuzz::fuzzCheck(*first == *members, "a lone member reads the same either way");
  }

  gzip::StreamError failure;
  // Small steps make the output grow many times, as a slow trickle of output would.
  const auto either = gzip::inflate(bytes, gzip::Header::GzipOrZlib, gzip::Members::One,
                                    gzip::OutputSteps(7, 3), &failure);
  ErrorPtr error;
  const auto sdk = zul_dataByInflatingGzippedData(bytes, &error);
  fuzz::fuzzCheck(sdk == either || size == 0, "the SDK inflates one gzip or zlib stream");
  fuzz::fuzzCheck(sdk.has_value() || size == 0 || error != nullptr,
                  "the SDK's failures on input carry an error");

  const auto compressed = gzip::compress(input);
  fuzz::fuzzCheck(gzip::decompress(compressed) == input, "compressed bytes inflate back");
  if (const auto sdkCompressed = zul_dataByGzippingData(input)) {
    fuzz::fuzzCheck(zul_dataByInflatingGzippedData(*sdkCompressed) == input,
                    "the SDK's compressed bytes inflate back");
  }
  return 0;
}
