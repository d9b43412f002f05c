// Gzip framing for HTTP bodies and stored payloads: one zlib loop behind the whole-buffer
// helpers and the SDK's data helpers, which need the stream's own failure details.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/data.h"

namespace platform::gzip {

// One gzip member at the default compression level.
Data compress(const Data& bytes);
// Inflates one gzip member or several in a row; none when the bytes are not valid gzip.
std::optional<Data> decompress(const Data& compressed);

// Why a stream stopped early: zlib's result code and message, or, when the code is 0 (Z_OK),
// input left over after the end of the stream.
struct StreamError {
  int zlibCode = 0;
  // Empty when zlib gave no message.
  std::string zlibMessage;
  std::size_t unreadBytes = 0;
};

// How the output grows: in steps of `step` bytes into a buffer first sized to `reserve`.
struct OutputSteps {
  OutputSteps(std::size_t step = 16384, std::size_t reserve = 0) : step(step), reserve(reserve) {}
  std::size_t step;
  std::size_t reserve;
};

// Compresses into one gzip member: default level, deflate method, 32 KiB window, memory
// level 8, default strategy, run to the end with the finish flag. None (and the error,
// when asked) when zlib fails.
std::optional<Data> deflateGzip(std::span<const std::uint8_t> bytes,
                                OutputSteps output = OutputSteps(), StreamError* error = nullptr);

enum class Header {
  Gzip,        // gzip members only
  GzipOrZlib,  // the header decides: a gzip or a zlib stream
};

enum class Members {
  One,  // input left over after the end of the stream is an error
  All,  // after the end of one gzip member, the next one follows
};

// Inflates with no flush until the end of the stream. None (and the error, when asked) on
// any zlib result other than progress or the end, zlib's need-dictionary included, on
// input that ends inside the stream, and on input left over after one member.
std::optional<Data> inflate(std::span<const std::uint8_t> bytes, Header header, Members members,
                            OutputSteps output = OutputSteps(), StreamError* error = nullptr);

}  // namespace platform::gzip
