// The forms in which the analytics client's own log lines show names and parameters, and two
// numeric utilities: the decimal numbers that audience number filters read from text, and a
// secure random 64-bit integer.
//
// In debug mode (and only while the public analytics front "DAVOdazarado" is registered) an
// internal name shows with its public name, as "screen_view (_vs)", and parameter
// dictionaries print one entry per line with error codes spelled out; otherwise names and
// objects print as they are. All functions may run on any thread.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// ---- Log forms

// The name, or in debug mode "<public name> (<internal name>)" when the map (public to
// internal) holds a public name for it, preferring one without the "ziruzada_" prefix. A
// non-string gives its description.
std::string APMNameForLog(const std::optional<platform::Value>& name,
                          const platform::Dictionary& map);
std::string APMEventNameForLog(const std::optional<platform::Value>& name);
std::string APMParameterNameForLog(const std::optional<platform::Value>& name);
// An experiment property ("_exp_...") always shows as "experiment_id (<name>)".
std::string APMUserPropertyNameForLog(const std::optional<platform::Value>& name);
// APMDescriptionForLogWithIndent with no indent.
std::string APMDescriptionForLog(const std::optional<platform::Value>& object);
// In debug mode a dictionary prints as "{", one "    <name> = <value>;" line per entry,
// sorted ignoring case, and "}", every line after the indent; anything else prints its
// description.
std::string APMDescriptionForLogWithIndent(const std::optional<platform::Value>& object,
                                           std::string_view indent);
// In debug mode an array prints each element on its own lines between "[" and "]".
std::string APMArrayDescriptionForLog(const std::optional<platform::Value>& object);

// ---- Decimal numbers

// An exact decimal number: at most 38 significant digits times a power of ten from -128 to
// 127, the range of the platform's decimal numbers that filter values were written for.
class APMDecimalNumber {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  // Zero.
  APMDecimalNumber() = default;
  explicit APMDecimalNumber(std::int64_t value);

  bool isZero() const { return digits_.empty(); }
  bool isNegative() const { return negative_; }
  // The shortest plain text, without exponent: "12", "-0.5", "1200", "0.001".
  std::string description() const;
  // The nearest double.
  double doubleValue() const;

  // By value: 1.50 equals 1.5.
  friend bool operator==(const APMDecimalNumber& a, const APMDecimalNumber& b) = default;
  friend std::strong_ordering operator<=>(const APMDecimalNumber& a, const APMDecimalNumber& b);

 private:
  friend std::optional<APMDecimalNumber> APMDecimalNumberFromString(std::string_view string);

  // Significant digits without leading or trailing zeros (empty for zero), and the value's
  // power of ten: the value is digits_ × 10^exponent_. Zero is never negative.
  bool negative_ = false;
  std::string digits_;
  int exponent_ = 0;
};

// An optional sign, then digits with an optional trailing point, or optional digits, a point
// and digits: "^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$". No exponent, blank or separator.
bool APMIsDecimalNumberString(std::string_view string);
// The string's number, the same in every locale; none (logged) when the string is not a
// decimal number string, does not fit, or cannot be held without losing digits.
std::optional<APMDecimalNumber> APMDecimalNumberFromString(std::string_view string);

class APMNumericUtil {
 public:
  APMNumericUtil() = delete;
  // 8 bytes from the system's secure random source; 0 (logged) when the source fails.
  static std::int64_t randomInt64();
};
