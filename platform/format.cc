#include "platform/format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/c_locale.h"

namespace platform {

namespace {

// Bounds the padding a directive can ask for, so that a stray huge width cannot exhaust
// memory.
constexpr int kMaxWidth = 1 << 20;

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  bool leftJustify = false;
};

// Formats one number with the C library, given a conversion built from the directive.
template <typename T>
void appendPrintf(const Spec& spec, const char* conversion, T argument, std::string& out) {
  std::string directive = "%" + spec.flags;
  if (spec.width >= 0) directive += std::to_string(spec.width);
  if (spec.precision >= 0) directive += "." + std::to_string(spec.precision);
  directive += conversion;

  const CLocaleScope cLocale;  // %f writes "." whatever locale the process has set
  char buffer[128];
  int length = std::snprintf(buffer, sizeof buffer, directive.c_str(), argument);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(length));
  } else if (length >= 0) {
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(large.data(), large.size(), directive.c_str(), argument);
    large.resize(static_cast<std::size_t>(length));
    out += large;
  }
}

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) {
    if (!isContinuationByte(c)) ++count;
  }
  return count;
}

// The first `characters` characters of the text (whole UTF-8 sequences).
std::string_view prefixOfCharacters(std::string_view text, std::size_t characters) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isContinuationByte(text[i])) {
      if (seen == characters) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

void appendPadded(const Spec& spec, std::string_view text, std::string& out) {
  if (spec.precision >= 0) {
    text = prefixOfCharacters(text, static_cast<std::size_t>(spec.precision));
  }
  const std::size_t count = characterCount(text);
  const std::size_t padding = spec.width > 0 && count < static_cast<std::size_t>(spec.width)
                                  ? static_cast<std::size_t>(spec.width) - count
                                  : 0;
  if (!spec.leftJustify) out.append(padding, ' ');
  out += text;
  if (spec.leftJustify) out.append(padding, ' ');
}

void appendUTF8(std::uint64_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x110000) {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string hexAddress(std::uint64_t address) {
  char buffer[32];
  const int length =
      std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(address));
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string objectText(const FormatArg* arg) {
  if (!arg || arg->value().isNull()) return "(null)";
  if (arg->isPointer()) return hexAddress(arg->value().unsignedLongLongValue());
  return arg->value().description();
}

void appendDirective(char conversion, Spec spec, const FormatArg* arg, std::string& out) {
  // Never destroyed: lines are still formatted on worker queues while the process exits.
  static const FormatArg* const kZero = new FormatArg(0);
  const Value& number = (arg ? *arg : *kZero).value();
  switch (conversion) {
  case '@':
    appendPadded(spec, objectText(arg), out);
    return;
  case 's':
    if (arg && arg->value().isString()) {
      appendPadded(spec, *arg->value().asString(), out);
    } else {
      appendPadded(spec, objectText(arg), out);
    }
    return;
  case 'c': {
    std::string character;
    if (arg && arg->value().isString()) {
      const std::string& text = *arg->value().asString();
      character = std::string(prefixOfCharacters(text, 1));
    } else if (arg) {
      appendUTF8(arg->value().unsignedLongLongValue(), character);
      if (character == std::string(1, '\0')) character.clear();
    }
    spec.precision = -1;
    appendPadded(spec, character, out);
    return;
  }
  case 'd':
  case 'i':
    if (number.type() == Value::Type::UInt || (arg && arg->isPointer())) {
      appendPrintf(spec, "llu", static_cast<unsigned long long>(number.unsignedLongLongValue()),
                   out);
    } else {
      appendPrintf(spec, "lld", static_cast<long long>(number.longLongValue()), out);
    }
    return;
  case 'u':
  case 'x':
  case 'X': {
    const char conversions[] = {'l', 'l', conversion, '\0'};
    appendPrintf(spec, conversions, static_cast<unsigned long long>(number.unsignedLongLongValue()),
                 out);
    return;
  }
  case 'f':
    appendPrintf(spec, "f", number.doubleValue(), out);
    return;
  case 'g':
    appendPrintf(spec, "g", number.doubleValue(), out);
    return;
  case 'p':
    spec.precision = -1;
    appendPadded(spec, hexAddress(number.unsignedLongLongValue()), out);
    return;
  default:
    return;
  }
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool isLengthModifier(char c) {
  return c == 'h' || c == 'l' || c == 'q' || c == 'z' || c == 'j' || c == 't' || c == 'L';
}
bool isConversion(char c) { return std::strchr("@sdiuxXfgcp", c) != nullptr && c != '\0'; }

int readNumber(std::string_view fmt, std::size_t& i) {
  int value = 0;
  while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
    value = std::min(kMaxWidth, value * 10 + (fmt[i] - '0'));
    ++i;
  }
  return value;
}

}  // namespace

std::string format(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  std::size_t nextArg = 0;
  std::size_t i = 0;
  while (i < fmt.size()) {
    const std::size_t percent = fmt.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, percent - i));

    Spec spec;
    std::size_t j = percent + 1;
    while (j < fmt.size() && isFlag(fmt[j])) {
      if (fmt[j] == '-') spec.leftJustify = true;
      spec.flags += fmt[j++];
    }
    if (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') spec.width = readNumber(fmt, j);
    if (j < fmt.size() && fmt[j] == '.') {
      ++j;
      spec.precision = readNumber(fmt, j);
    }
    while (j < fmt.size() && isLengthModifier(fmt[j])) ++j;

    if (j >= fmt.size()) {
      out.append(fmt.substr(percent));
      break;
    }
    const char conversion = fmt[j];
    if (conversion == '%') {
      out += '%';
    } else if (isConversion(conversion)) {
      const FormatArg* arg = nextArg < args.size() ? &args[nextArg] : nullptr;
      ++nextArg;
      appendDirective(conversion, spec, arg, out);
    } else {
      out.append(fmt.substr(percent, j + 1 - percent));
    }
    i = j + 1;
  }
  return out;
}

std::string format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  return format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace platform
