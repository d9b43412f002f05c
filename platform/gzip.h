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

// Most bytes an inflation yields unless its caller sets a bound of its own. Compressed input
// says nothing trustworthy about its inflated size (a megabyte of zeros can claim a
// gigabyte), so no inflation runs unbounded: this is far above any payload handled whole,
// yet a few hostile streams at once cannot exhaust memory.
inline constexpr std::size_t kDefaultOutputLimit = std::size_t{64} << 20;

// One gzip member at the default compression level.
Data compress(const Data& bytes);
// Inflates one gzip member or several in a row; none when the bytes are not valid gzip or
// inflate to more than outputLimit bytes.
std::optional<Data> decompress(const Data& compressed,
                               std::size_t outputLimit = kDefaultOutputLimit);

// Why a stream stopped early: zlib's result code and message, or, when the code is 0 (Z_OK),
// input left over after the end of the stream.
struct StreamError {
  int zlibCode = 0;
  // Empty when zlib gave no message.
  std::string zlibMessage;
  std::size_t unreadBytes = 0;
  // The output would have passed the caller's limit. The code is then Z_MEM_ERROR: the
  // inflation was refused the memory it would need.
  bool outputLimitExceeded = false;
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
// input that ends inside the stream, on input left over after one member, and as soon as
// the output passes outputLimit bytes (its buffer never holds more than one byte beyond).
std::optional<Data> inflate(std::span<const std::uint8_t> bytes, Header header, Members members,
                            OutputSteps output = OutputSteps(), StreamError* error = nullptr,
                            std::size_t outputLimit = kDefaultOutputLimit);

}  // namespace platform::gzip
