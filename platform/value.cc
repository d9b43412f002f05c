#include "platform/value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <limits>

namespace platform {

// ---------------------------------------------------------------------------
// Dictionary

namespace {

constexpr std::size_t kIndexThreshold = 16;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

}  // namespace

// Open addressing over entry positions: compact, copied with one vector copy, and still
// valid when the entries vector reallocates (it stores positions, not pointers).
struct Dictionary::Impl {
  std::vector<std::uint32_t> slots;  // entry position + 1; 0 marks an empty slot

  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

  void rebuild(const std::vector<Entry>& entries) {
    std::size_t capacity = 64;
    while (capacity < entries.size() * 2) capacity *= 2;
    slots.assign(capacity, 0);
    for (std::size_t i = 0; i < entries.size(); ++i) place(entries, i);
  }

  void place(const std::vector<Entry>& entries, std::size_t position) {
    const std::size_t mask = slots.size() - 1;
    std::size_t slot = hash(entries[position].first) & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = static_cast<std::uint32_t>(position + 1);
  }

  // Called after an entry was appended at the end.
  void added(const std::vector<Entry>& entries) {
    if (entries.size() * 2 > slots.size()) {
      rebuild(entries);
    } else {
      place(entries, entries.size() - 1);
    }
  }

  // Called before the entry at `position` is erased from `entries`: empties its slot
  // (shifting later members of its probe run back, so no run is broken) and renumbers
  // the positions after it.
  void erasing(const std::vector<Entry>& entries, std::size_t position) {
    const std::size_t mask = slots.size() - 1;
    std::size_t hole = hash(entries[position].first) & mask;
    while (slots[hole] != position + 1) hole = (hole + 1) & mask;
    for (std::size_t next = (hole + 1) & mask; slots[next] != 0; next = (next + 1) & mask) {
      const std::size_t home = hash(entries[slots[next] - 1].first) & mask;
      // The member at `next` may fill the hole unless its home lies cyclically in
      // (hole, next].
      const bool homeBetween =
          hole < next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (!homeBetween) {
        slots[hole] = slots[next];
        hole = next;
      }
    }
    slots[hole] = 0;
    for (auto& slot : slots) {
      if (slot > position + 1) --slot;
    }
  }

  std::size_t find(const std::vector<Entry>& entries, std::string_view key) const {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t slot = hash(key) & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
      const std::size_t position = slots[slot] - 1;
      if (entries[position].first == key) return position;
    }
    return kNotFound;
  }
};

Dictionary::Dictionary() = default;

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}

Dictionary::Dictionary(const Dictionary& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<Impl>(*other.index_) : nullptr) {}

Dictionary::Dictionary(Dictionary&&) noexcept = default;

Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) {
    entries_ = other.entries_;
    index_ = other.index_ ? std::make_unique<Impl>(*other.index_) : nullptr;
  }
  return *this;
}

Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

std::size_t Dictionary::size() const { return entries_.size(); }
bool Dictionary::empty() const { return entries_.empty(); }

namespace {

template <typename Index>
std::size_t positionOf(const std::vector<Dictionary::Entry>& entries, const Index* index,
                       std::string_view key) {
  if (index) return index->find(entries, key);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].first == key) return i;
  }
  return kNotFound;
}

}  // namespace

bool Dictionary::contains(std::string_view key) const {
  return positionOf(entries_, index_.get(), key) != kNotFound;
}

const Value* Dictionary::find(std::string_view key) const {
  const std::size_t position = positionOf(entries_, index_.get(), key);
  return position == kNotFound ? nullptr : &entries_[position].second;
}

Value* Dictionary::find(std::string_view key) {
  const std::size_t position = positionOf(entries_, index_.get(), key);
  return position == kNotFound ? nullptr : &entries_[position].second;
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* value = find(key);
  return value ? *value : nullValue();
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (index_) {
    index_->added(entries_);
  } else if (entries_.size() > kIndexThreshold) {
    index_ = std::make_unique<Impl>();
    index_->rebuild(entries_);
  }
}

bool Dictionary::erase(std::string_view key) {
  const std::size_t position = positionOf(entries_, index_.get(), key);
  if (position == kNotFound) return false;
  if (index_) index_->erasing(entries_, position);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  if (entries_.size() <= kIndexThreshold) index_.reset();
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.reset();
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

Dictionary::const_iterator Dictionary::begin() const { return entries_.begin(); }
Dictionary::const_iterator Dictionary::end() const { return entries_.end(); }
Dictionary::iterator Dictionary::begin() { return entries_.begin(); }
Dictionary::iterator Dictionary::end() { return entries_.end(); }

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Value* other = b.find(key);
    if (!other || !(*other == value)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Value

Value::Value() = default;
Value::Value(std::nullptr_t) {}
Value::Value(bool b) : storage_(b) {}
Value::Value(std::int64_t i, SignedTag) : storage_(i) {}
Value::Value(std::uint64_t u, UnsignedTag) : storage_(u) {}
Value::Value(std::shared_ptr<const ValueObject> object, ObjectTag) {
  if (object) storage_ = std::move(object);
}
Value::Value(double d) : storage_(d) {}
Value::Value(const char* s) {
  if (s) storage_ = std::string(s);
}
Value::Value(std::string s) : storage_(std::move(s)) {}
Value::Value(std::string_view s) : storage_(std::string(s)) {}
Value::Value(platform::Data d) : storage_(std::move(d)) {}
Value::Value(platform::Date d) : storage_(d) {}
Value::Value(platform::Array a) : storage_(std::move(a)) {}
Value::Value(platform::Dictionary d) : storage_(std::move(d)) {}

Value::Value(const Value&) = default;
Value::Value(Value&&) noexcept = default;
Value& Value::operator=(const Value&) = default;
Value& Value::operator=(Value&&) noexcept = default;
Value::~Value() = default;

Value::Type Value::type() const { return static_cast<Type>(storage_.index()); }

bool Value::isNumber() const {
  switch (type()) {
  case Type::Bool:
  case Type::Int:
  case Type::UInt:
  case Type::Double:
    return true;
  default:
    return false;
  }
}

std::optional<bool> Value::asBool() const {
  if (const bool* b = std::get_if<bool>(&storage_)) return *b;
  return std::nullopt;
}

std::optional<std::int64_t> Value::asInt() const {
  if (const auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
  if (const auto* u = std::get_if<std::uint64_t>(&storage_)) {
    if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(*u);
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> Value::asUInt() const {
  if (const auto* u = std::get_if<std::uint64_t>(&storage_)) return *u;
  if (const auto* i = std::get_if<std::int64_t>(&storage_)) {
    if (*i >= 0) return static_cast<std::uint64_t>(*i);
  }
  return std::nullopt;
}

std::optional<double> Value::asDouble() const {
  switch (type()) {
  case Type::Bool:
    return std::get<bool>(storage_) ? 1.0 : 0.0;
  case Type::Int:
    return static_cast<double>(std::get<std::int64_t>(storage_));
  case Type::UInt:
    return static_cast<double>(std::get<std::uint64_t>(storage_));
  case Type::Double:
    return std::get<double>(storage_);
  default:
    return std::nullopt;
  }
}

const std::string* Value::asString() const { return std::get_if<std::string>(&storage_); }
const platform::Data* Value::asData() const { return std::get_if<platform::Data>(&storage_); }
std::optional<platform::Date> Value::asDate() const {
  if (const auto* d = std::get_if<platform::Date>(&storage_)) return *d;
  return std::nullopt;
}
const platform::Array* Value::asArray() const { return std::get_if<platform::Array>(&storage_); }
platform::Array* Value::asArray() { return std::get_if<platform::Array>(&storage_); }
const platform::Dictionary* Value::asDictionary() const {
  return std::get_if<platform::Dictionary>(&storage_);
}
platform::Dictionary* Value::asDictionary() { return std::get_if<platform::Dictionary>(&storage_); }
std::shared_ptr<const ValueObject> Value::asObject() const {
  const auto* object = std::get_if<std::shared_ptr<const ValueObject>>(&storage_);
  return object ? *object : nullptr;
}

// --- Readings ---------------------------------------------------------------

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view skipSpace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  return s.substr(i);
}

// Leading whitespace, an optional sign and digits; saturates instead of overflowing.
std::int64_t readInteger(std::string_view text) {
  std::string_view s = skipSpace(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  std::uint64_t magnitude = 0;
  const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
  for (char c : s) {
    if (!isDigit(c)) break;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (magnitude > (limit - digit) / 10) {
      magnitude = limit;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    return magnitude == 9223372036854775808ULL ? std::numeric_limits<std::int64_t>::min()
                                               : -static_cast<std::int64_t>(magnitude);
  }
  return static_cast<std::int64_t>(magnitude);
}

std::uint64_t readUnsigned(std::string_view text) {
  std::string_view s = skipSpace(text);
  if (!s.empty() && s[0] == '-') return static_cast<std::uint64_t>(readInteger(s));
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (char c : s) {
    if (!isDigit(c)) break;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

// The longest leading decimal number ([sign] digits [. digits] [e [sign] digits]); 0 when
// there is none. Independent of the C locale's decimal point.
double readDouble(std::string_view text) {
  std::string_view s = skipSpace(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  bool negativeExponent = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
      negativeExponent = s[j] == '-';
      ++j;
    }
    if (j < s.size() && isDigit(s[j])) {
      i = j;
      while (i < s.size() && isDigit(s[i])) ++i;
    } else {
      negativeExponent = false;
    }
  }
  double value = 0;
  const auto result = std::from_chars(s.data() + start, s.data() + i, value);
  if (result.ec == std::errc::result_out_of_range) {
    value = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -value : value;
}

bool readBool(std::string_view text) {
  std::string_view s = skipSpace(text);
  if (s.empty()) return false;
  const char first = s[0];
  if (first == 'Y' || first == 'y' || first == 'T' || first == 't') return true;
  if (first == '+' || first == '-') s.remove_prefix(1);
  for (char c : s) {
    if (c == '0') continue;
    return c >= '1' && c <= '9';
  }
  return false;
}

std::int64_t saturatingInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (d < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::uint64_t saturatingUInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d < 0) return static_cast<std::uint64_t>(saturatingInt64(d));
  if (d >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(d);
}

}  // namespace

bool Value::boolValue() const {
  switch (type()) {
  case Type::Bool:
    return std::get<bool>(storage_);
  case Type::Int:
    return std::get<std::int64_t>(storage_) != 0;
  case Type::UInt:
    return std::get<std::uint64_t>(storage_) != 0;
  case Type::Double:
    return std::get<double>(storage_) != 0;
  case Type::String:
    return readBool(std::get<std::string>(storage_));
  default:
    return false;
  }
}

std::int32_t Value::intValue() const {
  if (const auto* s = std::get_if<std::string>(&storage_)) {
    // Text saturates at the 32-bit limits, as the platform's string reading did; numbers
    // narrow as a C conversion would.
    const std::int64_t value = readInteger(*s);
    if (value > std::numeric_limits<std::int32_t>::max()) {
      return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
      return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
  }
  return static_cast<std::int32_t>(integerValue());
}

std::int64_t Value::integerValue() const {
  switch (type()) {
  case Type::Bool:
    return std::get<bool>(storage_) ? 1 : 0;
  case Type::Int:
    return std::get<std::int64_t>(storage_);
  case Type::UInt:
    return static_cast<std::int64_t>(std::get<std::uint64_t>(storage_));
  case Type::Double:
    return saturatingInt64(std::get<double>(storage_));
  case Type::String:
    return readInteger(std::get<std::string>(storage_));
  default:
    return 0;
  }
}

long long Value::longLongValue() const { return integerValue(); }

std::uint64_t Value::unsignedLongLongValue() const {
  switch (type()) {
  case Type::UInt:
    return std::get<std::uint64_t>(storage_);
  case Type::Double:
    return saturatingUInt64(std::get<double>(storage_));
  case Type::String:
    return readUnsigned(std::get<std::string>(storage_));
  default:
    return static_cast<std::uint64_t>(integerValue());
  }
}

double Value::doubleValue() const {
  if (const auto* s = std::get_if<std::string>(&storage_)) return readDouble(*s);
  return asDouble().value_or(0.0);
}

const Value& Value::operator[](std::string_view key) const {
  if (const auto* dictionary = asDictionary()) return (*dictionary)[key];
  return nullValue();
}

const Value& Value::operator[](std::size_t index) const {
  if (const auto* array = asArray(); array && index < array->size()) return (*array)[index];
  return nullValue();
}

std::size_t Value::count() const {
  if (const auto* array = asArray()) return array->size();
  if (const auto* dictionary = asDictionary()) return dictionary->size();
  return 0;
}

// --- Description --------------------------------------------------------------

namespace {

std::string shortestDouble(double d) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, result.ptr);
}

// Old property-list style: bare when made only of the characters that style leaves
// unquoted, otherwise quoted with escapes.
void appendPlistString(const std::string& s, std::string& out) {
  bool bare = !s.empty();
  for (unsigned char c : s) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!(alphanumeric || c == '_' || c == '$' || c == '+' || c == '/' || c == ':' || c == '.' ||
          c == '-')) {
      bare = false;
      break;
    }
  }
  if (bare) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      out += c;
    }
  }
  out += '"';
}

void appendDate(Date date, std::string& out) {
  // A date read from outside may hold any double; the calendar only covers the years 1 to
  // 9999, so one beyond is shown at the nearer end (and NaN as the epoch).
  constexpr double kFirst = -62135596800;  // 0001-01-01 00:00:00
  constexpr double kLast = 253402300799;   // 9999-12-31 23:59:59
  double seconds = std::floor(date.timeIntervalSince1970());
  if (std::isnan(seconds)) seconds = 0;
  seconds = std::clamp(seconds, kFirst, kLast);
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
  out += buffer;
}

void appendData(const Data& data, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '<';
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    out += kHex[data.bytes()[i] >> 4];
    out += kHex[data.bytes()[i] & 0xf];
  }
  out += '>';
}

void describe(const Value& value, int depth, bool nested, std::string& out) {
  const std::string indent(static_cast<std::size_t>(depth) * 4, ' ');
  const std::string inner(static_cast<std::size_t>(depth + 1) * 4, ' ');
  switch (value.type()) {
  case Value::Type::Null:
    out += "<null>";
    return;
  case Value::Type::Bool:
    out += *value.asBool() ? "1" : "0";
    return;
  case Value::Type::Int:
    out += std::to_string(*value.asInt());
    return;
  case Value::Type::UInt:
    out += std::to_string(*value.asUInt());
    return;
  case Value::Type::Double:
    out += shortestDouble(*value.asDouble());
    return;
  case Value::Type::String:
    if (nested) {
      appendPlistString(*value.asString(), out);
    } else {
      out += *value.asString();
    }
    return;
  case Value::Type::Data:
    appendData(*value.asData(), out);
    return;
  case Value::Type::Date:
    appendDate(*value.asDate(), out);
    return;
  case Value::Type::Array: {
    const Array& array = *value.asArray();
    out += "(\n";
    for (std::size_t i = 0; i < array.size(); ++i) {
      out += inner;
      describe(array[i], depth + 1, true, out);
      out += i + 1 < array.size() ? ",\n" : "\n";
    }
    out += indent;
    out += ')';
    return;
  }
  case Value::Type::Dictionary: {
    out += "{\n";
    for (const auto& [key, item] : *value.asDictionary()) {
      out += inner;
      appendPlistString(key, out);
      out += " = ";
      describe(item, depth + 1, true, out);
      out += ";\n";
    }
    out += indent;
    out += '}';
    return;
  }
  case Value::Type::Object:
    out += value.asObject()->description();
    return;
  }
}

// Numbers as one of three kinds, Booleans counting as signed.
struct Number {
  enum Kind { Signed, Unsigned, Floating } kind;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
};

Number numberOf(const Value& v) {
  switch (v.type()) {
  case Value::Type::Bool:
    return {Number::Signed, *v.asBool() ? 1 : 0};
  case Value::Type::Int:
    return {Number::Signed, *v.asInt()};
  case Value::Type::UInt:
    return {Number::Unsigned, 0, *v.asUInt()};
  default:
    return {Number::Floating, 0, 0, *v.asDouble()};
  }
}

bool doubleEqualsSigned(double d, std::int64_t i) {
  if (!(d >= -kTwoTo63 && d < kTwoTo63) || d != std::trunc(d)) return false;
  return static_cast<std::int64_t>(d) == i;
}

bool doubleEqualsUnsigned(double d, std::uint64_t u) {
  if (!(d >= 0 && d < kTwoTo64) || d != std::trunc(d)) return false;
  return static_cast<std::uint64_t>(d) == u;
}

bool numbersEqual(const Number& a, const Number& b) {
  if (a.kind > b.kind) return numbersEqual(b, a);
  switch (a.kind) {
  case Number::Signed:
    switch (b.kind) {
    case Number::Signed:
      return a.i == b.i;
    case Number::Unsigned:
      return a.i >= 0 && static_cast<std::uint64_t>(a.i) == b.u;
    case Number::Floating:
      return doubleEqualsSigned(b.d, a.i);
    }
    break;
  case Number::Unsigned:
    return b.kind == Number::Unsigned ? a.u == b.u : doubleEqualsUnsigned(b.d, a.u);
  case Number::Floating:
    return a.d == b.d;
  }
  return false;
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(*this, 0, false, out);
  return out;
}

bool operator==(const Value& a, const Value& b) {
  if (a.isNumber() && b.isNumber()) return numbersEqual(numberOf(a), numberOf(b));
  if (a.isObject() || b.isObject()) {
    const auto objectA = a.asObject();
    const auto objectB = b.asObject();
    return objectA && objectB && (objectA == objectB || objectA->isEqual(*objectB));
  }
  return a.storage_ == b.storage_;
}

const Value& nullValue() {
  // Never destroyed: a missing key read on a worker queue while the process exits still
  // finds it.
  static const Value* const null = new Value;
  return *null;
}

}  // namespace platform
