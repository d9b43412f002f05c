// ZULGzip: gzip compression and decompression of whole data buffers for the SDK (the
// heartbeat header, request bodies), failing with errors of their own domain.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/data.h"
#include "platform/error.h"

inline constexpr const char* kZULNSDataZlibErrorDomain = "com.rerora.ZULNSDataZlibErrorDomain";
// User-info key of error 1025: zlib's result code, a number.
inline constexpr const char* kZULNSDataZlibErrorKey = "ZULNSDataZlibErrorKey";
// User-info key of error 1026: the count of input bytes left unread, an unsigned number.
inline constexpr const char* kZULNSDataZlibRemainingBytesKey = "ZULNSDataZlibRemainingBytesKey";

enum ZULNSDataZlibErrorCode : std::int64_t {
  // The input is 4294967296 bytes or longer.
  ZULNSDataZlibErrorGreaterThan32BitsToCompress = 1024,
  // zlib failed to start or to take a step.
  ZULNSDataZlibErrorInternal = 1025,
  // The compressed stream ended before the input did.
  ZULNSDataZlibErrorDataRemaining = 1026,
};

// One gzip member at zlib's default level. None without an error for empty input; none with
// an error (stored only when `error` is given) for input too large or a zlib failure.
std::optional<platform::Data> zul_dataByGzippingData(std::span<const std::uint8_t> data,
                                                     platform::ErrorPtr* error = nullptr);
std::optional<platform::Data> zul_dataByGzippingData(const platform::Data& data,
                                                     platform::ErrorPtr* error = nullptr);

// Inflates one gzip or zlib stream, whichever its header says. None without an error for
// empty input; none with an error for input too large, a zlib failure (its message as the
// localized description) or bytes after the end of the stream. Output beyond
// platform::gzip::kDefaultOutputLimit is refused as a zlib failure with Z_MEM_ERROR.
std::optional<platform::Data> zul_dataByInflatingGzippedData(std::span<const std::uint8_t> data,
                                                             platform::ErrorPtr* error = nullptr);
std::optional<platform::Data> zul_dataByInflatingGzippedData(const platform::Data& data,
                                                             platform::ErrorPtr* error = nullptr);
