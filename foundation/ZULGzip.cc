#include "foundation/ZULGzip.h"

#include <algorithm>

#include "platform/gzip.h"

namespace {

// zlib's stream lengths are 32-bit.
constexpr std::uint64_t kLargestInput = 0xFFFFFFFFull;
// Output is pre-sized from the input length, but never by more than this up front.
constexpr std::size_t kLargestReserve = std::size_t{64} << 20;
constexpr std::size_t kOutputStep = 1024;

void store(platform::ErrorPtr* error, std::int64_t code, platform::Dictionary userInfo = {}) {
  if (error) *error = platform::makeError(kZULNSDataZlibErrorDomain, code, std::move(userInfo));
}

}  // namespace

std::optional<platform::Data> zul_dataByGzippingData(std::span<const std::uint8_t> data,
                                                     platform::ErrorPtr* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > kLargestInput) {
    store(error, ZULNSDataZlibErrorGreaterThan32BitsToCompress);
    return std::nullopt;
  }
  platform::gzip::StreamError failure;
  auto compressed = platform::gzip::deflateGzip(
      data, platform::gzip::OutputSteps(kOutputStep, std::min(data.size() / 4, kLargestReserve)),
      &failure);
  if (!compressed) {
    store(error, ZULNSDataZlibErrorInternal, {{kZULNSDataZlibErrorKey, failure.zlibCode}});
  }
  return compressed;
}

std::optional<platform::Data> zul_dataByGzippingData(const platform::Data& data,
                                                     platform::ErrorPtr* error) {
  return zul_dataByGzippingData(data.vector(), error);
}

std::optional<platform::Data> zul_dataByInflatingGzippedData(std::span<const std::uint8_t> data,
                                                             platform::ErrorPtr* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > kLargestInput) {
    store(error, ZULNSDataZlibErrorGreaterThan32BitsToCompress);
    return std::nullopt;
  }
  platform::gzip::StreamError failure;
  auto inflated = platform::gzip::inflate(
      data, platform::gzip::Header::GzipOrZlib, platform::gzip::Members::One,
      platform::gzip::OutputSteps(kOutputStep, std::min(data.size(), kLargestReserve / 4) * 4),
      &failure);
  if (inflated) return inflated;
  if (failure.zlibCode == 0) {
    store(error, ZULNSDataZlibErrorDataRemaining,
          {{kZULNSDataZlibRemainingBytesKey, static_cast<std::uint64_t>(failure.unreadBytes)}});
  } else {
    platform::Dictionary userInfo{{kZULNSDataZlibErrorKey, failure.zlibCode}};
    if (!failure.zlibMessage.empty()) {
      userInfo.set(platform::kLocalizedDescriptionKey, failure.zlibMessage);
    }
    store(error, ZULNSDataZlibErrorInternal, std::move(userInfo));
  }
  return std::nullopt;
}

std::optional<platform::Data> zul_dataByInflatingGzippedData(const platform::Data& data,
                                                             platform::ErrorPtr* error) {
  return zul_dataByInflatingGzippedData(data.vector(), error);
}
