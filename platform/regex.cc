#include "platform/regex.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <climits>

namespace platform {
namespace {

constexpr std::int64_t kInvalidValueErrorCode = 2048;

ErrorPtr invalidPatternError(std::string_view pattern) {
  Dictionary userInfo;
  userInfo.set("NSInvalidValue", Value(std::string(pattern)));
  return makeError(kCocoaErrorDomain, kInvalidValueErrorCode, std::move(userInfo));
}

}  // namespace

// The pattern object is immutable once compiled and ICU allows matchers to be made from it on
// any thread; matchers themselves are not shared.
struct RegularExpression::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

RegularExpression::RegularExpression(std::string pattern, bool caseInsensitive,
                                     std::unique_ptr<Compiled> compiled)
    : pattern_(std::move(pattern)), caseInsensitive_(caseInsensitive),
      compiled_(std::move(compiled)) {}

RegularExpression::~RegularExpression() = default;

std::shared_ptr<const RegularExpression>
RegularExpression::make(std::string_view pattern, bool caseInsensitive, ErrorPtr* error) {
  auto refuse = [&]() -> std::shared_ptr<const RegularExpression> {
    if (error != nullptr) *error = invalidPatternError(pattern);
    return nullptr;
  };
  if (pattern.size() > kMaxPatternLength) return refuse();
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(pattern.data(), static_cast<std::int32_t>(pattern.size())));
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  auto compiled = std::make_unique<Compiled>();
  compiled->pattern.reset(icu::RegexPattern::compile(
      source, caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError, status));
  if (U_FAILURE(status) || !compiled->pattern) return refuse();
  return std::shared_ptr<const RegularExpression>(
      new RegularExpression(std::string(pattern), caseInsensitive, std::move(compiled)));
}

std::optional<bool> RegularExpression::hasMatch(std::string_view utf8) const {
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(text, status));
  if (U_FAILURE(status) || !matcher) return std::nullopt;
  matcher->setTimeLimit(kTimeLimit, status);
  matcher->setStackLimit(kStackLimit, status);
  if (U_FAILURE(status)) return std::nullopt;
  const bool found = matcher->find(0, status);
  if (U_FAILURE(status)) return std::nullopt;
  return found;
}

}  // namespace platform
