#include "analytics/data/APMLogUtilities.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMServices.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/object_runtime.h"

namespace {

constexpr std::int64_t kErrorLevel = 2;
constexpr std::int64_t kWarningLevel = 5;

constexpr std::int64_t kNotDecimalCode = 26001;
constexpr std::int64_t kUnparsableDecimalCode = 26002;
constexpr std::int64_t kImpreciseDecimalCode = 26003;
constexpr std::int64_t kRandomCode = 26004;

// The public front whose presence makes the client show public names in its log.
constexpr const char* kPublicFrontClassName = "DAVOdazarado";
constexpr std::string_view kLineIndent = "    ";

bool isDebugMode() { return APMServicesMonitor()->isDebugModeEnabled(); }

std::string describe(const std::optional<platform::Value>& object) {
  return object ? object->description() : "(null)";
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool caseInsensitiveLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(asciiLower(x)) < static_cast<unsigned char>(asciiLower(y));
  });
}

// The text of one parameter value in a dictionary dump.
std::string valueTextForLog(const std::string& name, const platform::Value& value) {
  if (value.isArray()) return APMArrayDescriptionForLog(value);
  if (const APMValuePtr typed = APMValueOf(value)) {
    if (typed->isArray()) return APMArrayDescriptionForLog(typed->value());
    if (name == "_err" && typed->isInt64()) {
      const std::int64_t code = typed->int64Value();
      const auto& names = APMErrorCodeNames();
      const auto found = names.find(code);
      if (found == names.end()) return std::to_string(code);
      return found->second + " (" + std::to_string(code) + ")";
    }
  }
  return value.description();
}

// ---- Decimal text

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The parts of a string of the decimal form: the sign and the digits either side of the
// point. Walks the text once, so any length is read in linear time.
struct DecimalParts {
  bool negative = false;
  std::string_view integerDigits;
  std::string_view fractionDigits;
};

std::optional<DecimalParts> decimalParts(std::string_view text) {
  DecimalParts parts;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    parts.negative = text[i] == '-';
    ++i;
  }
  const std::size_t integerStart = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  parts.integerDigits = text.substr(integerStart, i - integerStart);
  bool hasPoint = false;
  if (i < text.size() && text[i] == '.') {
    hasPoint = true;
    ++i;
  }
  const std::size_t fractionStart = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  parts.fractionDigits = text.substr(fractionStart, i - fractionStart);
  if (i != text.size()) return std::nullopt;
  // "5", "5." and "5.25" or ".25"; a point needs digits on one side, and digits after the
  // point need no digits before it.
  if (parts.integerDigits.empty() && (!hasPoint || parts.fractionDigits.empty())) {
    return std::nullopt;
  }
  return parts;
}

}  // namespace

// ---- Log forms

std::string APMNameForLog(const std::optional<platform::Value>& name,
                          const platform::Dictionary& map) {
  const std::string* text = name ? name->asString() : nullptr;
  if (text == nullptr) return describe(name);
  if (text->empty() || map.empty() || APMIsPublicName(*text)) return *text;
  if (!isDebugMode() || platform::ObjectRuntime::classNamed(kPublicFrontClassName) == nullptr) {
    return *text;
  }
  // Of the public names sharing an internal name, the one without the "ziruzada_" prefix is
  // what applications write.
  const std::string* publicName = nullptr;
  for (const auto& [candidate, internalName] : map) {
    const std::string* internal = internalName.asString();
    if (internal == nullptr || *internal != *text) continue;
    publicName = &candidate;
    if (!candidate.starts_with("ziruzada_")) break;
  }
  if (publicName == nullptr) return *text;
  return *publicName + " (" + *text + ")";
}

std::string APMEventNameForLog(const std::optional<platform::Value>& name) {
  return APMNameForLog(name, APMEventNameMap());
}

std::string APMParameterNameForLog(const std::optional<platform::Value>& name) {
  return APMNameForLog(name, APMParameterNameMap());
}

std::string APMUserPropertyNameForLog(const std::optional<platform::Value>& name) {
  const std::string* text = name ? name->asString() : nullptr;
  if (text != nullptr && text->starts_with("_exp_")) return "experiment_id (" + *text + ")";
  return APMNameForLog(name, internalUserPropertyNamesByPublicName());
}

std::string APMDescriptionForLog(const std::optional<platform::Value>& object) {
  return APMDescriptionForLogWithIndent(object, "");
}

std::string APMDescriptionForLogWithIndent(const std::optional<platform::Value>& object,
                                           std::string_view indent) {
  const platform::Dictionary* dictionary = object ? object->asDictionary() : nullptr;
  if (dictionary == nullptr || !isDebugMode()) return describe(object);
  std::vector<std::string> lines;
  lines.reserve(dictionary->size());
  for (const auto& [name, value] : *dictionary) {
    std::string line(indent);
    line += kLineIndent;
    line += APMParameterNameForLog(name);
    line += " = ";
    line += valueTextForLog(name, value);
    line += ";\n";
    lines.push_back(std::move(line));
  }
  std::stable_sort(lines.begin(), lines.end(), caseInsensitiveLess);
  std::string result(indent);
  result += "{\n";
  for (const std::string& line : lines) result += line;
  result += indent;
  result += "}";
  return result;
}

std::string APMArrayDescriptionForLog(const std::optional<platform::Value>& object) {
  const platform::Array* array = object ? object->asArray() : nullptr;
  if (array == nullptr || !isDebugMode()) return describe(object);
  std::string result = "[\n";
  for (std::size_t i = 0; i < array->size(); ++i) {
    if (i > 0) result += ",\n";
    result += APMDescriptionForLogWithIndent((*array)[i], kLineIndent);
  }
  result += "\n";
  result += kLineIndent;
  result += "]";
  return result;
}

// ---- Decimal numbers

APMDecimalNumber::APMDecimalNumber(std::int64_t value) : negative_(value < 0) {
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                      : static_cast<std::uint64_t>(value);
  if (magnitude == 0) return;
  while (magnitude % 10 == 0) {
    magnitude /= 10;
    ++exponent_;
  }
  digits_ = std::to_string(magnitude);
}

std::string APMDecimalNumber::description() const {
  if (digits_.empty()) return "0";
  std::string text = negative_ ? "-" : "";
  const auto length = static_cast<int>(digits_.size());
  if (exponent_ >= 0) {
    text += digits_;
    text.append(static_cast<std::size_t>(exponent_), '0');
  } else if (-exponent_ >= length) {
    text += "0.";
    text.append(static_cast<std::size_t>(-exponent_ - length), '0');
    text += digits_;
  } else {
    const auto point = static_cast<std::size_t>(length + exponent_);
    text += digits_.substr(0, point);
    text += ".";
    text += digits_.substr(point);
  }
  return text;
}

double APMDecimalNumber::doubleValue() const {
  if (digits_.empty()) return 0.0;
  const std::string text =
      (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
  double value = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::strong_ordering operator<=>(const APMDecimalNumber& a, const APMDecimalNumber& b) {
  const int signA = a.isZero() ? 0 : (a.negative_ ? -1 : 1);
  const int signB = b.isZero() ? 0 : (b.negative_ ? -1 : 1);
  if (signA != signB) return signA <=> signB;
  if (signA == 0) return std::strong_ordering::equal;
  // Magnitudes: first by the place of the leading digit, then digit by digit.
  std::strong_ordering magnitude = std::strong_ordering::equal;
  const long placeA = static_cast<long>(a.digits_.size()) + a.exponent_;
  const long placeB = static_cast<long>(b.digits_.size()) + b.exponent_;
  if (placeA != placeB) {
    magnitude = placeA <=> placeB;
  } else {
    const std::size_t length = std::max(a.digits_.size(), b.digits_.size());
    for (std::size_t i = 0; i < length && magnitude == 0; ++i) {
      const char digitA = i < a.digits_.size() ? a.digits_[i] : '0';
      const char digitB = i < b.digits_.size() ? b.digits_[i] : '0';
      magnitude = digitA <=> digitB;
    }
  }
  if (signA < 0) return 0 <=> magnitude;
  return magnitude;
}

bool APMIsDecimalNumberString(std::string_view string) {
  // Matched by hand rather than by a regular expression: the text comes from configuration,
  // and a backtracking matcher recurses once per character of it.
  return !string.empty() && decimalParts(string).has_value();
}

std::optional<APMDecimalNumber> APMDecimalNumberFromString(std::string_view string) {
  const std::optional<DecimalParts> parts =
      string.empty() ? std::nullopt : decimalParts(string);
  if (!parts) {
    APMServicesMonitor()->logWithLevel(
        kErrorLevel, kNotDecimalCode,
        "String value does not represent a numeric value. Value", {string});
    return std::nullopt;
  }

  // Significant digits and the power of ten of the last one.
  std::string digits;
  digits.reserve(parts->integerDigits.size() + parts->fractionDigits.size());
  digits += parts->integerDigits;
  digits += parts->fractionDigits;
  long exponent = -static_cast<long>(parts->fractionDigits.size());
  const std::size_t leading = digits.find_first_not_of('0');
  digits.erase(0, leading == std::string::npos ? digits.size() : leading);
  const std::size_t last = digits.find_last_not_of('0');
  if (last != std::string::npos) {
    exponent += static_cast<long>(digits.size() - (last + 1));
    digits.erase(last + 1);
  }

  // Digits the decimal cannot hold: beyond its 38 significant digits, or below its smallest
  // power of ten. Dropping them would give a different number, however small.
  bool lostDigits = false;
  auto dropLast = [&](std::size_t count) {
    count = std::min(count, digits.size());
    digits.erase(digits.size() - count);
    exponent += static_cast<long>(count);
    lostDigits = lostDigits || count > 0;
  };
  if (digits.size() > APMDecimalNumber::kMaxDigits) {
    dropLast(digits.size() - APMDecimalNumber::kMaxDigits);
  }
  if (!digits.empty() && exponent < APMDecimalNumber::kMinExponent) {
    dropLast(static_cast<std::size_t>(APMDecimalNumber::kMinExponent - exponent));
  }
  // Above the largest power of ten the mantissa takes up zeros while it has room; past that
  // the number does not exist in the decimal type.
  if (!digits.empty() && exponent > APMDecimalNumber::kMaxExponent &&
      digits.size() + static_cast<std::size_t>(exponent - APMDecimalNumber::kMaxExponent) >
          APMDecimalNumber::kMaxDigits) {
    APMServicesMonitor()->logWithLevel(
        kErrorLevel, kUnparsableDecimalCode,
        "Unable to create a NSDecimalNumber from string value. Value", {string});
    return std::nullopt;
  }

  APMDecimalNumber number;
  if (!digits.empty()) {
    number.negative_ = parts->negative;
    number.digits_ = std::move(digits);
    number.exponent_ = static_cast<int>(exponent);
  }

  // The number's own text must occur in what was written (with a bare leading point read as
  // "0."), or the parse changed it.
  std::string written(string);
  if (const std::size_t point = written.find('.');
      point != std::string::npos && (point == 0 || (point == 1 && !isDigit(written[0])))) {
    written.insert(point, "0");
  }
  std::string canonical = number.description();
  if (number.isNegative()) canonical.erase(0, 1);
  if (lostDigits || written.find(canonical) == std::string::npos) {
    APMServicesMonitor()->logWithLevel(
        kErrorLevel, kImpreciseDecimalCode,
        "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
        {string});
    return std::nullopt;
  }
  return number;
}

std::int64_t APMNumericUtil::randomInt64() {
  std::int64_t value = 0;
  try {
    const platform::Data bytes = platform::crypto::randomBytes(sizeof(value));
    std::memcpy(&value, bytes.bytes(), sizeof(value));
  } catch (const platform::Exception&) {
    APMServicesMonitor()->logWithLevel(kWarningLevel, kRandomCode,
                                       "Unable to generate random integer",
                                       {std::string(std::strerror(errno))});
  }
  return value;
}
