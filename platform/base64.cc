#include "platform/base64.h"

#include <array>
#include <cstdint>

namespace platform::base64 {
namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kURLSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string_view table(Alphabet alphabet) {
  return alphabet == Alphabet::Standard ? kStandard : kURLSafe;
}

}  // namespace

std::string encode(const Data& data, Alphabet alphabet, bool padded) {
  const std::string_view chars = table(alphabet);
  const std::uint8_t* in = data.bytes();
  const std::size_t n = data.length();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out += chars[(v >> 18) & 63];
    out += chars[(v >> 12) & 63];
    out += chars[(v >> 6) & 63];
    out += chars[v & 63];
  }
  if (n - i == 1) {
    std::uint32_t v = in[i] << 16;
    out += chars[(v >> 18) & 63];
    out += chars[(v >> 12) & 63];
    if (padded) out += "==";
  } else if (n - i == 2) {
    std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8);
    out += chars[(v >> 18) & 63];
    out += chars[(v >> 12) & 63];
    out += chars[(v >> 6) & 63];
    if (padded) out += '=';
  }
  return out;
}

std::optional<Data> decode(std::string_view text, Alphabet alphabet) {
  std::array<int, 256> values;
  values.fill(-1);
  const std::string_view chars = table(alphabet);
  for (std::size_t i = 0; i < chars.size(); ++i) {
    values[static_cast<unsigned char>(chars[i])] = static_cast<int>(i);
  }

  std::size_t length = text.size();
  if (length % 4 == 0 && length > 0) {
    // Padding is optional, but where present it only ends the text.
    std::size_t pad = 0;
    while (pad < 2 && text[length - 1 - pad] == '=') ++pad;
    length -= pad;
  }
  if (length % 4 == 1) return std::nullopt;

  std::vector<std::uint8_t> out;
  out.reserve(length * 3 / 4);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int v = values[static_cast<unsigned char>(text[i])];
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xFF));
    }
  }
  // The bits left over must be zero, or the text was not made by an encoder.
  if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0) return std::nullopt;
  return Data(std::move(out));
}

}  // namespace platform::base64
