// Value: the one dynamic value of the project (null, Boolean, signed, unsigned and
// floating numbers, string, data, date, array, dictionary), the form in which property
// lists, JSON documents, user info and event parameters travel.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/data.h"
#include "platform/date.h"

namespace platform {

class Value;

// An object of the program's own classes held in a Value, as the platform's collections hold
// any object beside plain values. It describes and compares itself; files (JSON, property
// lists, archives) cannot hold it and their writers refuse it.
class ValueObject {
 public:
  virtual ~ValueObject() = default;
  virtual const char* className() const = 0;
  virtual std::string description() const = 0;
  virtual bool isEqual(const ValueObject& other) const = 0;
};

// A string-keyed dictionary that keeps its keys in insertion order, so that what is
// written out (JSON, property lists, descriptions) is the same on every run. Setting an
// existing key replaces its value in place.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  Dictionary();
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  std::size_t size() const;
  bool empty() const;
  bool contains(std::string_view key) const;
  // None when the key is absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // The value for the key, or a null Value when absent.
  const Value& operator[](std::string_view key) const;
  void set(std::string key, Value value);
  // Removes the key; returns whether it was there.
  bool erase(std::string_view key);
  void clear();
  std::vector<std::string> keys() const;

  const_iterator begin() const;
  const_iterator end() const;
  iterator begin();
  iterator end();

  // Same keys with equal values, in any order.
  friend bool operator==(const Dictionary& a, const Dictionary& b);

 private:
  struct Impl;
  std::vector<Entry> entries_;
  std::unique_ptr<Impl> index_;  // built once the dictionary grows large
};

using Array = std::vector<Value>;

class Value {
 public:
  enum class Type { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Object };

  Value();
  Value(std::nullptr_t);
  Value(bool b);
  template <std::signed_integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T i)
      : Value(static_cast<std::int64_t>(i), SignedTag{}) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) Value(T u)
      : Value(static_cast<std::uint64_t>(u), UnsignedTag{}) {}
  Value(double d);
  Value(float f) : Value(static_cast<double>(f)) {}
  Value(const char* s);
  Value(std::string s);
  Value(std::string_view s);
  Value(platform::Data d);
  Value(platform::Date d);
  Value(platform::Array a);
  Value(platform::Dictionary d);
  // A null pointer gives the null Value.
  template <std::derived_from<ValueObject> T>
  Value(std::shared_ptr<T> object) : Value(std::shared_ptr<const ValueObject>(std::move(object)), ObjectTag{}) {}

  Value(const Value&);
  Value(Value&&) noexcept;
  Value& operator=(const Value&);
  Value& operator=(Value&&) noexcept;
  ~Value();

  Type type() const;
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  // Boolean, signed, unsigned or floating.
  bool isNumber() const;
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isObject() const { return type() == Type::Object; }

  // Typed access: none (or nullptr) unless the value is of exactly that kind.
  std::optional<bool> asBool() const;
  std::optional<std::int64_t> asInt() const;    // Int, or UInt that fits
  std::optional<std::uint64_t> asUInt() const;  // UInt, or Int that is not negative
  std::optional<double> asDouble() const;       // any number, converted
  const std::string* asString() const;
  const platform::Data* asData() const;
  std::optional<platform::Date> asDate() const;
  const platform::Array* asArray() const;
  platform::Array* asArray();
  const platform::Dictionary* asDictionary() const;
  platform::Dictionary* asDictionary();
  // The held object, or null.
  std::shared_ptr<const ValueObject> asObject() const;
  template <typename T> std::shared_ptr<const T> asObjectOf() const {
    return std::dynamic_pointer_cast<const T>(asObject());
  }

  // The platform's readings of numbers and strings. A number converts (a double
  // truncates toward zero); a string is read from its leading whitespace and digits,
  // as "12abc" → 12 and "abc" → 0; boolValue of a string is true for a leading "Y",
  // "y", "T", "t" or a non-zero digit; everything else reads as 0 / false.
  bool boolValue() const;
  std::int32_t intValue() const;
  std::int64_t integerValue() const;
  long long longLongValue() const;
  std::uint64_t unsignedLongLongValue() const;
  double doubleValue() const;

  // Dictionary look-up: the value for the key, or a null Value when this is not a
  // dictionary or the key is absent.
  const Value& operator[](std::string_view key) const;
  // Array element, or a null Value when out of range or not an array.
  const Value& operator[](std::size_t index) const;
  std::size_t count() const;  // elements of an array or dictionary, else 0

  // A readable rendering, as the platform's description: strings as they are, numbers in
  // their shortest form, Booleans as 1 / 0, containers in the old property-list style.
  std::string description() const;

  // Numbers compare by value across kinds (true == 1 == 1.0); other kinds compare only
  // with their own kind, containers element by element.
  friend bool operator==(const Value& a, const Value& b);

 private:
  struct SignedTag {};
  struct UnsignedTag {};
  struct ObjectTag {};
  Value(std::int64_t i, SignedTag);
  Value(std::uint64_t u, UnsignedTag);
  Value(std::shared_ptr<const ValueObject> object, ObjectTag);

  // In the order of Type, so that the index is the type. Held inline: most values are
  // small scalars, and a copy must not allocate for them.
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
               platform::Data, platform::Date, platform::Array, platform::Dictionary,
               std::shared_ptr<const ValueObject>>
      storage_;
};

// A null Value to return by reference.
const Value& nullValue();

}  // namespace platform
