// The one check every analytics message target makes on arbitrary bytes, as the message's
// wrapper reads them: bytes that decode must encode, and that encoding must decode to the same
// message. Equality is taken on the encodings, which are canonical (fields by tag, repeated
// scalars packed, unknown tags dropped), so a second encoding that differs from the first means
// the decoder lost or invented something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "analytics/messages/APMPBMessages.h"
#include "fuzz/fuzz_input.h"
#include "platform/data.h"

namespace fuzz {

template <const NanoMessageTable& Table>
int checkAnalyticsMessage(const std::uint8_t* data, std::size_t size) {
  using Message = APMPBMessage<Table>;
  const platform::Data input = dataOf(data, size);
  const auto decoded = Message::initWithBuffer(&input);
  if (!decoded) return 0;
  const std::optional<platform::Data> encoded = decoded->protoBuffer();
  fuzzCheck(encoded.has_value(), "a decoded message encodes");
  const auto again = Message::initWithBuffer(&*encoded);
  fuzzCheck(again != nullptr, "an encoded message decodes");
  const std::optional<platform::Data> reencoded = again->protoBuffer();
  fuzzCheck(reencoded.has_value(), "a message decoded from an encoding encodes");
  fuzzCheck(*reencoded == *encoded, "a message survives encoding and decoding unchanged");
  return 0;
}

}  // namespace fuzz
