// KeyedArchiver / KeyedUnarchiver: objects written as a keyed archive (a binary property list
// of numbered objects, each tagged with its class name) and read back only as classes the
// reader allows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/object_runtime.h"
#include "platform/value.h"

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

// Class names under which property-list values are archived, for allowed-class sets.
inline constexpr const char* kStringClassName = "NSString";
inline constexpr const char* kNumberClassName = "NSNumber";
inline constexpr const char* kDataClassName = "NSData";
inline constexpr const char* kDateClassName = "NSDate";
inline constexpr const char* kArrayClassName = "NSArray";
inline constexpr const char* kDictionaryClassName = "NSDictionary";
inline constexpr const char* kNullClassName = "NSNull";
// The class an archive gives a plain value ("NSNumber" for every number and Boolean).
const char* classNameOf(const Value& value);
// The protocol a registered record class adopts to be archived.
inline constexpr const char* kSecureCodingProtocolName = "NSSecureCoding";

// The most objects one archive decodes to: every value, record and nil made, where each copy
// of a shared value counts again with all it holds (values have no references, so a value
// referred to from two places is two values). Far above what this program archives (a few
// dozen objects), and low enough that an archive whose shared references double at every
// level is refused within milliseconds instead of growing as 2^levels.
inline constexpr std::uint64_t kMaxArchiveObjects = std::uint64_t{1} << 18;

// Errors of archiving, in the domain "NSCocoaErrorDomain".
inline constexpr std::int64_t kCoderReadCorruptError = 4864;   // not an archive, or a class refused
inline constexpr std::int64_t kCoderInvalidValueError = 4866;  // an object that cannot be archived

// A record that writes its fields into an archive. Its class must be registered with
// registerSecureCodingClass under the name it reports, so that a reader can rebuild it.
class SecureCodingObject : public Object {
 public:
  virtual std::string archiveClassName() const = 0;
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};
using SecureCodingPtr = std::shared_ptr<SecureCodingObject>;

// One object of an archive: a property-list value or a record. A null record is nil.
using ArchivedObject = std::variant<Value, SecureCodingPtr>;
using ClassSet = std::set<std::string, std::less<>>;
// Class names put in place of others, for archives shared with code that names its classes
// differently: when reading, archived name → registered name; when writing, registered
// name → name written.
using ClassNameMap = std::map<std::string, std::string, std::less<>>;

// Rebuilds a record from the coder; nullptr when the fields do not make one.
using InitWithCoder = std::function<SecureCodingPtr(KeyedUnarchiver& coder)>;
// Registers the class in the object runtime as adopting kSecureCodingProtocolName, with its
// "initWithCoder:" class method. A name keeps its first decoder: registering the same
// function (or the same lambda) again is accepted, another one is refused with false and
// changes nothing, as Class::addMethod refuses a second method.
bool registerSecureCodingClass(std::string_view className, InitWithCoder initWithCoder);

// The record held by an object when it is of type T, else nullptr.
template <typename T> std::shared_ptr<T> recordAs(const std::optional<ArchivedObject>& object) {
  if (!object) return nullptr;
  const auto* record = std::get_if<SecureCodingPtr>(&*object);
  return record ? std::dynamic_pointer_cast<T>(*record) : nullptr;
}
// The value held by an object, or nullptr for a record or nil.
const Value* valueOf(const std::optional<ArchivedObject>& object);

class KeyedArchiver {
 public:
  // The archive of the root object. A record whose class is not registered for secure
  // coding fails with kCoderInvalidValueError, as does a value a property list cannot hold.
  static std::optional<Data> archivedData(const ArchivedObject& root, ErrorPtr* error = nullptr);
  // The same, writing a record class found in the map under the name it maps to (the
  // registration check still uses the record's own name).
  static std::optional<Data> archivedData(const ArchivedObject& root,
                                          const ClassNameMap& classNames,
                                          ErrorPtr* error = nullptr);

  // For a record's encodeWithCoder. Keys starting with "$" are the archive's own.
  void encodeObject(std::string_view key, const ArchivedObject& object);
  void encodeInt64(std::string_view key, std::int64_t value);
  void encodeBool(std::string_view key, bool value);
  void encodeDouble(std::string_view key, double value);

  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;
  ~KeyedArchiver();

 private:
  struct Impl;
  explicit KeyedArchiver(Impl& impl) : impl_(impl) {}
  Impl& impl_;
};

class KeyedUnarchiver {
 public:
  // The root object, when it and every object inside it is of an allowed class (a record
  // class by its registered name, a value by the class names above). Empty data, data that
  // is not a keyed archive and a refused class fail with kCoderReadCorruptError; a nil root
  // gives none without an error.
  // Each archived object is decoded once, as the platform's unarchiver does: every reference
  // to a record gives the same record (its initWithCoder runs once), and every reference to a
  // value an equal copy, checked again against the classes allowed where it is referred to.
  // Objects that refer to themselves (a cycle), nest deeper than 256, or decode to more than
  // kMaxArchiveObjects fail with kCoderReadCorruptError.
  static std::optional<ArchivedObject>
  unarchivedObject(const ClassSet& allowedClasses, const Data& data, ErrorPtr* error = nullptr);
  // The same, reading an object whose archived class name is in the map as the class it
  // maps to: that class must be allowed and is the one that decodes it.
  static std::optional<ArchivedObject> unarchivedObject(const ClassSet& allowedClasses,
                                                        const Data& data,
                                                        const ClassNameMap& classNames,
                                                        ErrorPtr* error = nullptr);

  // For a record's initWithCoder, reading the record's own fields.
  bool containsValueForKey(std::string_view key) const;
  // The object under the key when its class is allowed; none when absent or nil. A refused
  // class fails the whole unarchiving.
  std::optional<ArchivedObject> decodeObject(std::string_view key, const ClassSet& allowedClasses);
  // Convenience readers of decodeObject for one value class; none for another kind.
  std::optional<std::string> decodeString(std::string_view key);
  std::optional<Date> decodeDate(std::string_view key);
  // Scalars: 0 / false when absent or not a number.
  std::int64_t decodeInt64(std::string_view key) const;
  bool decodeBool(std::string_view key) const;
  double decodeDouble(std::string_view key) const;

  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;
  ~KeyedUnarchiver();

 private:
  struct Impl;
  explicit KeyedUnarchiver(Impl& impl) : impl_(impl) {}
  Impl& impl_;
};

}  // namespace platform
