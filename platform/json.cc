#include "platform/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/error.h"

namespace platform::json {

namespace {

void report(ErrorPtr* error, const char* description, std::string detail) {
  if (!error) return;
  *error = makeError(kCocoaErrorDomain, kJSONErrorCode,
                     Dictionary{{kLocalizedDescriptionKey, description},
                                {kDebugDescriptionErrorKey, std::move(detail)}});
}

void reportRead(ErrorPtr* error, std::string detail) {
  report(error, "The data couldn\u2019t be read because it isn\u2019t in the correct format.",
         std::move(detail));
}

void reportWrite(ErrorPtr* error, std::string detail) {
  report(error, "The data couldn\u2019t be written because it isn\u2019t in the correct format.",
         std::move(detail));
}

// Builds Values straight from the parser's events: no intermediate document, and
// objects keep their keys in document order.
class Builder final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit Builder(ReadOptions options) : options_(options) {}

  bool null() override { return add(Value()); }
  bool boolean(bool value) override { return add(Value(value)); }
  bool number_integer(number_integer_t value) override { return add(Value(value)); }
  bool number_unsigned(number_unsigned_t value) override {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(Value(static_cast<std::int64_t>(value)));
    }
    return add(Value(value));
  }
  bool number_float(number_float_t value, const string_t&) override { return add(Value(value)); }
  bool string(string_t& value) override { return add(Value(std::move(value))); }
  bool binary(binary_t&) override { return fail("Unexpected binary value."); }

  bool start_object(std::size_t) override { return open(Value(Dictionary())); }
  bool key(string_t& key) override {
    stack_.back().key = std::move(key);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(Array())); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    // The parser's message starts with its own bracketed identifier; keep what follows.
    std::string_view message = exception.what();
    if (const auto end = message.find("] ");
        !message.empty() && message[0] == '[' && end != std::string_view::npos) {
      message.remove_prefix(end + 2);
    }
    return fail(std::string(message));
  }

  std::optional<Value>& root() { return root_; }
  const std::string& message() const { return message_; }

 private:
  struct Frame {
    Value container;
    std::string key;
  };

  bool fail(std::string message) {
    if (message_.empty()) message_ = std::move(message);
    return false;
  }

  bool open(Value container) {
    if (stack_.size() >= kMaxNestingDepth) {
      return fail("Too many nested arrays or dictionaries.");
    }
    stack_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Value container = std::move(stack_.back().container);
    stack_.pop_back();
    return add(std::move(container));
  }

  bool add(Value value) {
    if (stack_.empty()) {
      if (!options_.allowFragments && !value.isArray() && !value.isDictionary()) {
        return fail(
            "JSON text did not start with array or object and option to allow fragments not "
            "set.");
      }
      root_ = std::move(value);
      return true;
    }
    Frame& top = stack_.back();
    if (Array* array = top.container.asArray()) {
      array->push_back(std::move(value));
    } else {
      top.container.asDictionary()->set(std::move(top.key), std::move(value));
    }
    return true;
  }

  ReadOptions options_;
  std::vector<Frame> stack_;
  std::optional<Value> root_;
  std::string message_;
};

// --- Writing ------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are not).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

class Writer {
 public:
  explicit Writer(WriteOptions options) : options_(options) {}

  bool write(const Value& value, std::size_t depth) {
    switch (value.type()) {
    case Value::Type::Null:
      out_ += "null";
      return true;
    case Value::Type::Bool:
      out_ += *value.asBool() ? "true" : "false";
      return true;
    case Value::Type::Int:
      appendNumber(*value.asInt());
      return true;
    case Value::Type::UInt:
      appendNumber(*value.asUInt());
      return true;
    case Value::Type::Double: {
      const double d = *value.asDouble();
      if (std::isnan(d)) return fail("Invalid number value (NaN) in JSON write.");
      if (std::isinf(d)) return fail("Invalid number value (infinite) in JSON write.");
      if (d == 0 && std::signbit(d)) {
        // "-0" would read back as the integer 0; keep the sign with a fraction.
        out_ += "-0.0";
      } else {
        appendNumber(d);
      }
      return true;
    }
    case Value::Type::String:
      return writeString(*value.asString());
    case Value::Type::Data:
      return fail("Invalid type in JSON write (data).");
    case Value::Type::Date:
      return fail("Invalid type in JSON write (date).");
    case Value::Type::Object:
      return fail("Invalid type in JSON write (object).");
    case Value::Type::Array:
      return writeArray(*value.asArray(), depth);
    case Value::Type::Dictionary:
      return writeDictionary(*value.asDictionary(), depth);
    }
    return false;
  }

  std::string& output() { return out_; }
  const std::string& message() const { return message_; }

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  template <typename T> void appendNumber(T number) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out_.append(buffer, result.ptr);
  }

  void newline(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * 2, ' ');
  }

  bool writeArray(const Array& array, std::size_t depth) {
    out_ += '[';
    for (std::size_t i = 0; i < array.size(); ++i) {
      if (i > 0) out_ += ',';
      if (options_.pretty) newline(depth + 1);
      if (!write(array[i], depth + 1)) return false;
    }
    if (options_.pretty && !array.empty()) newline(depth);
    out_ += ']';
    return true;
  }

  bool writeDictionary(const Dictionary& dictionary, std::size_t depth) {
    std::vector<const Dictionary::Entry*> entries;
    entries.reserve(dictionary.size());
    for (const auto& entry : dictionary) entries.push_back(&entry);
    if (options_.sortedKeys) {
      std::sort(entries.begin(), entries.end(),
                [](const auto* a, const auto* b) { return a->first < b->first; });
    }
    out_ += '{';
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) out_ += ',';
      if (options_.pretty) newline(depth + 1);
      if (!writeString(entries[i]->first)) return false;
      out_ += options_.pretty ? " : " : ":";
      if (!write(entries[i]->second, depth + 1)) return false;
    }
    if (options_.pretty && !entries.empty()) newline(depth);
    out_ += '}';
    return true;
  }

  bool writeString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_ += '"';
    for (std::size_t i = 0; i < text.size();) {
      const char c = text[i];
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x80) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) return fail("Invalid string (not UTF-8) in JSON write.");
        out_.append(text.substr(i, length));
        i += length;
        continue;
      }
      switch (c) {
      case '"':
        out_ += "\\\"";
        break;
      case '\\':
        out_ += "\\\\";
        break;
      case '/':
        out_ += options_.escapeSlashes ? "\\/" : "/";
        break;
      case '\b':
        out_ += "\\b";
        break;
      case '\f':
        out_ += "\\f";
        break;
      case '\n':
        out_ += "\\n";
        break;
      case '\r':
        out_ += "\\r";
        break;
      case '\t':
        out_ += "\\t";
        break;
      default:
        if (byte < 0x20) {
          out_ += "\\u00";
          out_ += kHex[byte >> 4];
          out_ += kHex[byte & 0xf];
        } else {
          out_ += c;
        }
      }
      ++i;
    }
    out_ += '"';
    return true;
  }

  WriteOptions options_;
  std::string out_;
  std::string message_;
};

bool hasValidKinds(const Value& value) {
  switch (value.type()) {
  case Value::Type::Data:
  case Value::Type::Date:
  case Value::Type::Object:
    return false;
  case Value::Type::Double:
    return std::isfinite(*value.asDouble());
  case Value::Type::Array:
    return std::all_of(value.asArray()->begin(), value.asArray()->end(), hasValidKinds);
  case Value::Type::Dictionary:
    return std::all_of(value.asDictionary()->begin(), value.asDictionary()->end(),
                       [](const Dictionary::Entry& entry) { return hasValidKinds(entry.second); });
  default:
    return true;
  }
}

}  // namespace

std::optional<Value> parse(std::string_view text, ReadOptions options, ErrorPtr* error) {
  Builder builder(options);
  const bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  if (!parsed || !builder.root()) {
    reportRead(error, builder.message().empty() ? "Unexpected end of input." : builder.message());
    return std::nullopt;
  }
  return std::move(builder.root());
}

std::optional<Value> parse(const Data& data, ReadOptions options, ErrorPtr* error) {
  return parse(std::string_view(reinterpret_cast<const char*>(data.bytes()), data.size()), options,
               error);
}

std::optional<std::string> write(const Value& value, WriteOptions options, ErrorPtr* error) {
  if (!options.allowFragments && !value.isArray() && !value.isDictionary()) {
    reportWrite(error, "Invalid top-level type in JSON write.");
    return std::nullopt;
  }
  Writer writer(options);
  if (!writer.write(value, 0)) {
    reportWrite(error, writer.message());
    return std::nullopt;
  }
  return std::move(writer.output());
}

std::optional<Data> writeData(const Value& value, WriteOptions options, ErrorPtr* error) {
  auto text = write(value, options, error);
  if (!text) return std::nullopt;
  return Data::fromString(*text);
}

bool isValidJSONObject(const Value& value) {
  return (value.isArray() || value.isDictionary()) && hasValidKinds(value);
}

}  // namespace platform::json
