#include "platform/text.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/locale.h"

namespace platform::text {
namespace {

// Walks the character boundaries of UTF-8 text in place; the boundaries are byte offsets.
class CharacterBoundaries {
 public:
  explicit CharacterBoundaries(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    text_ = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    iterator_.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator_) return;
    iterator_->setText(text_, status);
    ok_ = U_SUCCESS(status);
  }
  ~CharacterBoundaries() { utext_close(text_); }
  CharacterBoundaries(const CharacterBoundaries&) = delete;
  CharacterBoundaries& operator=(const CharacterBoundaries&) = delete;

  bool ok() const { return ok_; }
  // The offset after the next character, or icu::BreakIterator::DONE at the end.
  int32_t next() { return iterator_->next(); }

 private:
  UText* text_ = nullptr;
  std::unique_ptr<icu::BreakIterator> iterator_;
  bool ok_ = false;
};

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int64_t length = static_cast<int64_t>(bytes.size());
  int64_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::size_t characterCount(std::string_view utf8) {
  CharacterBoundaries boundaries(utf8);
  if (!boundaries.ok()) return utf8.size();
  std::size_t count = 0;
  while (boundaries.next() != icu::BreakIterator::DONE) ++count;
  return count;
}

std::string characterPrefix(std::string_view utf8, std::size_t count) {
  if (count == 0) return {};
  CharacterBoundaries boundaries(utf8);
  if (!boundaries.ok()) return std::string(utf8.substr(0, count));
  std::size_t end = 0;
  for (std::size_t taken = 0; taken < count; ++taken) {
    const int32_t boundary = boundaries.next();
    if (boundary == icu::BreakIterator::DONE) break;
    end = static_cast<std::size_t>(boundary);
  }
  return std::string(utf8.substr(0, end));
}

namespace {

// Whether the text is valid UTF-8 and every code point in it passes the test.
template <typename Test> bool allCodePoints(std::string_view utf8, Test test) {
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(utf8.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || !test(c)) return false;
  }
  return true;
}

// Text read for a case-insensitive search: each code point under simple case folding, which
// maps one code point to one, and where it starts in UTF-16 code units of the original.
struct FoldedText {
  std::vector<UChar32> codePoints;
  std::vector<std::size_t> utf16Offsets;
};

FoldedText folded(std::string_view utf8) {
  FoldedText text;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(utf8.size(), INT32_MAX));
  text.codePoints.reserve(static_cast<std::size_t>(length));
  text.utf16Offsets.reserve(static_cast<std::size_t>(length));
  std::size_t offset = 0;
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    text.codePoints.push_back(u_foldCase(c, U_FOLD_CASE_DEFAULT));
    text.utf16Offsets.push_back(offset);
    offset += U16_LENGTH(c);
  }
  return text;
}

// The index of the first occurrence of a non-empty needle, by Knuth-Morris-Pratt so that
// hostile repetitive text cannot make the search quadratic.
std::optional<std::size_t> firstOccurrence(const std::vector<UChar32>& haystack,
                                           const std::vector<UChar32>& needle) {
  std::vector<std::size_t> border(needle.size(), 0);
  for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = 0, k = 0; i < haystack.size(); ++i) {
    while (k > 0 && haystack[i] != needle[k]) k = border[k - 1];
    if (haystack[i] == needle[k]) ++k;
    if (k == needle.size()) return i + 1 - needle.size();
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> caseInsensitiveFind(std::string_view haystack, std::string_view needle,
                                               SearchAnchor anchor) {
  // A code point takes at most four bytes, so a needle this long cannot fit: spare folding it.
  if (needle.empty() || needle.size() / 4 > haystack.size()) return std::nullopt;
  const FoldedText text = folded(haystack);
  const FoldedText wanted = folded(needle);
  const std::size_t count = wanted.codePoints.size();
  if (count > text.codePoints.size()) return std::nullopt;
  auto matchesAt = [&](std::size_t start) {
    return std::equal(wanted.codePoints.begin(), wanted.codePoints.end(),
                      text.codePoints.begin() + static_cast<std::ptrdiff_t>(start));
  };
  switch (anchor) {
  case SearchAnchor::kStart:
    if (!matchesAt(0)) return std::nullopt;
    return text.utf16Offsets[0];
  case SearchAnchor::kEnd: {
    const std::size_t start = text.codePoints.size() - count;
    if (!matchesAt(start)) return std::nullopt;
    return text.utf16Offsets[start];
  }
  case SearchAnchor::kAnywhere:
    break;
  }
  const std::optional<std::size_t> index = firstOccurrence(text.codePoints, wanted.codePoints);
  if (!index) return std::nullopt;
  return text.utf16Offsets[*index];
}

bool isAlphanumericOr(std::string_view utf8, std::string_view allowedPunctuation) {
  return allCodePoints(utf8, [&](UChar32 c) {
    return (c < 0x80 && allowedPunctuation.find(static_cast<char>(c)) != std::string_view::npos) ||
           u_isalnum(c);
  });
}

std::size_t utf16Length(std::string_view utf8) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(utf8.size(), INT32_MAX));
  std::size_t units = 0;
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    units += c > 0xFFFF ? 2 : 1;
  }
  return units;
}

bool isDecimalDigits(std::string_view utf8) {
  return allCodePoints(utf8, [](UChar32 c) { return u_charType(c) == U_DECIMAL_DIGIT_NUMBER; });
}

std::string canonicallyComposed(std::string_view utf8) {
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX) || !isValidUTF8(utf8)) {
    return std::string(utf8);
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string composed;
  icu::StringByteSink<std::string> sink(&composed, static_cast<int32_t>(utf8.size()));
  nfc->normalizeUTF8(0, icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())), sink,
                     nullptr, status);
  return U_SUCCESS(status) ? composed : std::string(utf8);
}

namespace {

// A collator for the current locale that ignores case, made once per thread and locale:
// making one costs far more than a comparison, and sorting compares many times.
const icu::Collator* caseInsensitiveCollator() {
  thread_local std::string identifier;
  thread_local std::unique_ptr<icu::Collator> collator;
  const std::string current = Locale::currentIdentifier();
  if (collator && current == identifier) return collator.get();

  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale locale =
      current.empty() ? icu::Locale::getRoot() : icu::Locale::createCanonical(current.c_str());
  std::unique_ptr<icu::Collator> made(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !made) return nullptr;
  // Secondary strength: letters and accents decide, case does not.
  made->setStrength(icu::Collator::SECONDARY);
  identifier = current;
  collator = std::move(made);
  return collator.get();
}

}  // namespace

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
  const icu::Collator* collator = caseInsensitiveCollator();
  if (collator == nullptr || a.size() > static_cast<std::size_t>(INT32_MAX) ||
      b.size() > static_cast<std::size_t>(INT32_MAX)) {
    return a.compare(b);
  }
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult result =
      collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                            icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
  if (U_FAILURE(status)) return a.compare(b);
  return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

}  // namespace platform::text

namespace platform::text {

std::size_t scalarCount(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const int64_t length = static_cast<int64_t>(utf8.size());
  std::size_t count = 0;
  for (int64_t i = 0; i < length; ++count) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
  }
  return count;
}

namespace {

bool staysAsItIsInAQuery(unsigned char byte) {
  if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9'))
    return true;
  static constexpr std::string_view kPunctuation = "!$&'()*+,-./:;=?@_~";
  return byte < 0x80 && kPunctuation.find(static_cast<char>(byte)) != std::string_view::npos;
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string percentEncodedForURLQuery(std::string_view utf8) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(utf8.size());
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (staysAsItIsInAQuery(byte)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHexDigits[byte >> 4]);
      encoded.push_back(kHexDigits[byte & 0xF]);
    }
  }
  return encoded;
}

std::optional<std::string> percentDecodedBytes(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = hexDigitValue(text[i + 1]);
    const int low = hexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded.push_back(static_cast<char>((high << 4) | low));
    i += 2;
  }
  return decoded;
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
  std::optional<std::string> decoded = percentDecodedBytes(text);
  if (decoded && !isValidUTF8(*decoded)) return std::nullopt;
  return decoded;
}

}  // namespace platform::text
