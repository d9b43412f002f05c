// RDTKCTCompressionHelper: gzip for upload bodies, and the check for gzip magic bytes that
// decides the Content-Encoding header.
#pragma once

#include <optional>

#include "platform/data.h"

class RDTKCTCompressionHelper {
 public:
  // One gzip member at zlib's default level; none for empty input, input of 2^32 bytes or
  // more, and a zlib failure.
  static std::optional<platform::Data> gzippedData(const platform::Data& data);
  // Longer than one byte and starting with 0x1F 0x8B.
  static bool isGzipped(const platform::Data& data);
};
