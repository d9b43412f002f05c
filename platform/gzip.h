// Gzip framing for HTTP bodies: what a response or request marked
// "Content-Encoding: gzip" carries.
#pragma once

#include <optional>

#include "platform/data.h"

namespace platform::gzip {

// One gzip member at the default compression level.
Data compress(const Data& bytes);
// Inflates one gzip member or several in a row; none when the bytes are not valid gzip.
std::optional<Data> decompress(const Data& compressed);

}  // namespace platform::gzip
