// Digests and secure random bytes for identifiers, cache keys and file names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/data.h"

namespace platform::crypto {

Data sha1(const Data& input);
Data sha256(const Data& input);
Data md5(const Data& input);

// Bytes from the system's secure random source. Throws platform::Exception when the
// source fails, since a caller cannot go on safely with weak randomness.
Data randomBytes(std::size_t count);
void fillWithRandomBytes(std::uint8_t* bytes, std::size_t count);

}  // namespace platform::crypto
