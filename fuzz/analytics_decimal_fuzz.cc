// Reads decimal numbers written as text (audience filter values and settings come from the
// configuration service) through the locale-independent parser, and checks that what it
// accepts is exact and ordered as numbers are.
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics/data/APMLogUtilities.h"
#include "fuzz/fuzz_input.h"

namespace {

// The input's text with a bare leading point read as "0.", as the parser's precision test
// reads it.
std::string withLeadingZero(std::string text) {
  const std::size_t point = text.find('.');
  if (point == 0 || (point == 1 && (text[0] == '+' || text[0] == '-'))) text.insert(point, "0");
  return text;
}

void checkOne(const std::string& text) {
  const bool matches = APMIsDecimalNumberString(text);
  const std::optional<APMDecimalNumber> number = APMDecimalNumberFromString(text);
  if (!number) return;
  fuzz::fuzzCheck(matches, "only decimal number strings parse");
  fuzz::fuzzCheck(!number->isNegative() || text[0] == '-', "only a minus sign makes a negative");

  const std::string description = number->description();
  const std::optional<APMDecimalNumber> again = APMDecimalNumberFromString(description);
  fuzz::fuzzCheck(again.has_value() && *again == *number, "the number's text reads back the same");
  const std::string magnitude = number->isNegative() ? description.substr(1) : description;
  fuzz::fuzzCheck(withLeadingZero(text).find(magnitude) != std::string::npos,
                  "the number's digits are the written ones");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkOne(std::string(fuzz::textOf(data, size)));

  // Two numbers from one input: the first byte says where the first one ends.
  fuzz::FuzzInput input(data, size);
  const std::string first = input.shortText();
  const std::string second = input.rest();
  checkOne(first);
  checkOne(second);
  const auto a = APMDecimalNumberFromString(first);
  const auto b = APMDecimalNumberFromString(second);
  if (a && b) {
    const auto ab = *a <=> *b;
    const auto ba = *b <=> *a;
    fuzz::fuzzCheck((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0), "comparison is antisymmetric");
    fuzz::fuzzCheck((ab == 0) == (*a == *b), "equal exactly when ordered equal");
    if (ab < 0) fuzz::fuzzCheck(a->doubleValue() <= b->doubleValue(), "doubles keep the order");
  }
  return 0;
}
