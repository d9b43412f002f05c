#include "analytics/messages/APMDigestAndEncoding.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/crypto.h"
#include "platform/text.h"

platform::Data apm_MD5Data(const platform::Data& data) { return platform::crypto::md5(data); }

std::int64_t apm_64LeastSignificantBits(const platform::Data& data) {
  const std::size_t length = data.length();
  const std::size_t taken = std::min<std::size_t>(length, 8);
  const auto* bytes = static_cast<const std::uint8_t*>(data.bytes());
  std::uint64_t value = 0;
  for (std::size_t i = length - taken; i < length; ++i) value = (value << 8) | bytes[i];
  return static_cast<std::int64_t>(value);
}

std::int64_t apm_64LSBMD5(const platform::Data& data) {
  return apm_64LeastSignificantBits(apm_MD5Data(data));
}

std::optional<std::string> apm_MD5String(std::string_view text) {
  if (!platform::text::isValidUTF8(text)) return std::nullopt;
  const platform::Data digest = apm_MD5Data(platform::Data(text.data(), text.size()));
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  const auto* bytes = static_cast<const std::uint8_t*>(digest.bytes());
  for (std::size_t i = 0; i < digest.length(); ++i) {
    hex.push_back(kHexDigits[bytes[i] >> 4]);
    hex.push_back(kHexDigits[bytes[i] & 0xF]);
  }
  return hex;
}

std::string apm_queryString(const platform::Dictionary& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query.push_back('&');
    query += platform::text::percentEncodedForURLQuery(key);
    query.push_back('=');
    query += platform::text::percentEncodedForURLQuery(value.description());
  }
  return query;
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view argument) {
  std::string spaced(argument);
  std::replace(spaced.begin(), spaced.end(), '+', ' ');
  return platform::text::removingPercentEncoding(spaced);
}

platform::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view arguments) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t ampersand = arguments.find('&', start);
    pieces.push_back(arguments.substr(start, ampersand - start));
    if (ampersand == std::string_view::npos) break;
    start = ampersand + 1;
  }
  platform::Dictionary dictionary;
  // Walking backwards lets the first occurrence of a repeated key write last.
  for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
    if (piece->empty()) continue;
    const std::size_t equals = piece->find('=');
    const std::string_view key = piece->substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : piece->substr(equals + 1);
    dictionary.set(apm_stringByUnescapingFromURLArgument(key).value_or(""),
                   apm_stringByUnescapingFromURLArgument(value).value_or(""));
  }
  return dictionary;
}

bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index) {
  if (index < 0) return false;
  const auto* s = reinterpret_cast<const std::uint8_t*>(bits.data());
  const auto length = static_cast<std::int64_t>(bits.size());
  std::int64_t unit = 0;
  for (std::int64_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) c = 0xFFFD;
    const std::int64_t units = U16_LENGTH(c);
    // A scalar beyond the basic plane is two units, neither of which is "1".
    if (index < unit + units) return units == 1 && c == '1';
    unit += units;
  }
  return false;
}

std::uint64_t apm_UTF32Length(std::string_view text) { return platform::text::scalarCount(text); }

void apm_getUTF32Bytes(std::string_view text, void* buffer, std::size_t maxBytes) {
  if (buffer == nullptr) return;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::size_t written = 0;
  for (std::int64_t i = 0; i < length && maxBytes - written >= 4;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) c = 0xFFFD;
    const auto scalar = static_cast<std::uint32_t>(c);
    for (int shift = 0; shift < 32; shift += 8) out[written++] = static_cast<std::uint8_t>(scalar >> shift);
  }
}
