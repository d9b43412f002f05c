// Text: Unicode helpers over UTF-8 strings that count characters as a reader sees them
// (grapheme clusters), not as bytes or code points.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUTF8(std::string_view bytes);

// The number of user-perceived characters in valid UTF-8 text: "e" followed by a combining
// accent is one, as is "\r\n".
std::size_t characterCount(std::string_view utf8);

// The first `count` user-perceived characters of valid UTF-8 text (all of it when shorter);
// a character is never cut apart.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Whether well-formed UTF-8 text holds only letters and digits of any script and the given
// ASCII punctuation; ill-formed text fails.
bool isAlphanumericOr(std::string_view utf8, std::string_view allowedPunctuation);

// The length of valid UTF-8 text in UTF-16 code units, as the platform's strings count it;
// ill-formed bytes count one unit each.
std::size_t utf16Length(std::string_view utf8);

// Whether well-formed UTF-8 text holds only decimal digits of any script (Unicode category
// Nd, so full-width digits count); ill-formed text fails. Empty text passes.
bool isDecimalDigits(std::string_view utf8);

// The text in Unicode canonical composition (NFC), so that an accented letter typed as one
// code point and as a letter followed by a combining mark read the same. Text that is not
// well-formed UTF-8 is returned as it is.
std::string canonicallyComposed(std::string_view utf8);

// Orders two UTF-8 texts as the user's current locale sorts words, with case ignored (accents
// still count): negative when `a` comes first, zero when they differ only in case or in how
// their accents are encoded, positive otherwise. Without a locale in the environment the
// root order applies.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// The number of Unicode scalar values in UTF-8 text; each ill-formed byte sequence counts as
// the one replacement character a reader would see.
std::size_t scalarCount(std::string_view utf8);

// Where a case-insensitive search may find its needle: anywhere, only as a prefix, only as a
// suffix.
enum class SearchAnchor { kAnywhere, kStart, kEnd };

// The position, in UTF-16 code units of the haystack, of the first occurrence of the needle
// (for kEnd: the one that ends the haystack) when both are compared under Unicode simple case
// folding, so "ÄBC" finds "äbc"; none when it does not occur. An empty needle is never found.
// Ill-formed bytes read as one replacement character each. Time is linear in both lengths.
std::optional<std::size_t> caseInsensitiveFind(std::string_view haystack, std::string_view needle,
                                               SearchAnchor anchor = SearchAnchor::kAnywhere);

// Every byte outside the characters a URL query may hold as they are (ASCII letters and
// digits and !$&'()*+,-./:;=?@_~) written as "%" and two upper-case hexadecimal digits.
std::string percentEncodedForURLQuery(std::string_view utf8);

// The bytes with every "%" and two hexadecimal digits replaced by that byte; none when an
// escape is cut short or not hexadecimal. The result may be any bytes.
std::optional<std::string> percentDecodedBytes(std::string_view text);
// As percentDecodedBytes, and also none when the result is not well-formed UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view text);

}  // namespace platform::text
