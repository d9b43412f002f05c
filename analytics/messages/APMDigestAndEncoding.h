// Digest and encoding helpers used across the analytics client: MD5 digests and the 64-bit
// fingerprint taken from them, URL query strings in both directions, a bit test on strings
// of "0" and "1", and UTF-32 conversions. Stateless; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"
#include "platform/value.h"

// The 16-byte MD5 digest of the bytes.
platform::Data apm_MD5Data(const platform::Data& data);
// The last (up to) 8 bytes read as a big-endian number, as a signed 64-bit integer; fewer
// bytes are its low-order bytes and no bytes give 0.
std::int64_t apm_64LeastSignificantBits(const platform::Data& data);
// The fingerprint of raw-event metadata and the checksum of bundles: bytes 8 to 15 of the
// MD5 digest, big-endian.
std::int64_t apm_64LSBMD5(const platform::Data& data);
// 32 lower-case hexadecimal digits of the MD5 of the UTF-8 text; none when the text is not
// well-formed UTF-8.
std::optional<std::string> apm_MD5String(std::string_view text);

// "key=value" pairs from each entry's descriptions, percent-encoded for a URL query (so "&",
// "=" and "+" stay as they are), joined by "&" in the dictionary's order; no leading "?".
std::string apm_queryString(const platform::Dictionary& dictionary);
// The arguments of a query string: pieces split at "&" and then at their first "=", each part
// unescaped (one that cannot be becomes ""); a repeated key keeps its first value.
platform::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view arguments);
// "+" read as a space, then percent escapes removed; none when an escape is invalid.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view argument);

// Whether the index is within the text (counted in UTF-16 units, as the consent framework's
// bit strings are) and the unit there is "1".
bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index);

// The length of the text in Unicode scalar values.
std::uint64_t apm_UTF32Length(std::string_view text);
// The text as little-endian UTF-32, whole scalars only, at most maxBytes bytes, without a
// terminator.
void apm_getUTF32Bytes(std::string_view text, void* buffer, std::size_t maxBytes);
