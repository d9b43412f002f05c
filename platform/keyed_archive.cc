#include "platform/keyed_archive.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/plist.h"

namespace platform {

namespace {

constexpr const char* kUIDKey = "CF$UID";
constexpr const char* kNullObject = "$null";
constexpr const char* kClassKey = "$class";
constexpr const char* kClassNameKey = "$classname";
constexpr const char* kClassesKey = "$classes";
constexpr const char* kRootKey = "root";
constexpr const char* kArchiverName = "NSKeyedArchiver";
constexpr std::int64_t kArchiveVersion = 100000;
constexpr const char* kInitWithCoderSelector = "initWithCoder:";
// Deep enough for any record this program writes, shallow enough that hostile data cannot
// exhaust the stack.
constexpr int kMaxDepth = 256;

Value uid(std::uint64_t index) { return Value(Dictionary{{kUIDKey, Value(index)}}); }

std::optional<std::uint64_t> uidIndex(const Value& value) {
  const Dictionary* dictionary = value.asDictionary();
  if (!dictionary || dictionary->size() != 1) return std::nullopt;
  const Value* index = dictionary->find(kUIDKey);
  return index ? index->asUInt() : std::nullopt;
}

ErrorPtr coderError(std::int64_t code, std::string reason, ErrorPtr underlying = nullptr) {
  return makeError(kCocoaErrorDomain, code, Dictionary{{kLocalizedFailureReasonErrorKey, reason}},
                   std::move(underlying));
}

const char* classNameOf(const Value& value) {
  switch (value.type()) {
  case Value::Type::Null:
    return kNullClassName;
  case Value::Type::Bool:
  case Value::Type::Int:
  case Value::Type::UInt:
  case Value::Type::Double:
    return kNumberClassName;
  case Value::Type::String:
    return kStringClassName;
  case Value::Type::Data:
    return kDataClassName;
  case Value::Type::Date:
    return kDateClassName;
  case Value::Type::Array:
    return kArrayClassName;
  case Value::Type::Dictionary:
    return kDictionaryClassName;
  }
  return kNullClassName;
}

// Archives written elsewhere name the mutable kinds; allowing the immutable class allows them.
std::string_view immutableClassName(std::string_view name) {
  if (name == "NSMutableArray") return kArrayClassName;
  if (name == "NSMutableDictionary") return kDictionaryClassName;
  if (name == "NSMutableData") return kDataClassName;
  if (name == "NSMutableString") return kStringClassName;
  return name;
}

std::string describe(const ClassSet& classes) {
  std::string text;
  for (const auto& name : classes) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

// Lambdas differ in type; plain functions of one type differ by address.
bool sameDecoder(const InitWithCoder& a, const InitWithCoder& b) {
  using Function = SecureCodingPtr (*)(KeyedUnarchiver&);
  if (a.target_type() != b.target_type()) return false;
  const Function* f = a.target<Function>();
  return !f || *f == *b.target<Function>();
}

}  // namespace

bool registerSecureCodingClass(std::string_view className, InitWithCoder initWithCoder) {
  // Checking for a decoder and adding one must be one step.
  static std::mutex* const mutex = new std::mutex;
  std::lock_guard lock(*mutex);
  Class& registered = ObjectRuntime::registerClass(className);
  if (const auto existing =
          registered.classMethod<SecureCodingPtr(KeyedUnarchiver&)>(kInitWithCoderSelector)) {
    if (!sameDecoder(existing, initWithCoder)) return false;
  } else {
    registered.addClassMethod<SecureCodingPtr(KeyedUnarchiver&)>(kInitWithCoderSelector,
                                                                 std::move(initWithCoder));
  }
  registered.addProtocol(kSecureCodingProtocolName);
  return true;
}

const Value* valueOf(const std::optional<ArchivedObject>& object) {
  return object ? std::get_if<Value>(&*object) : nullptr;
}

// ---------------------------------------------------------------------------------------
// Archiving

struct KeyedArchiver::Impl {
  explicit Impl(const ClassNameMap& names) : classNames(names) {}

  const ClassNameMap& classNames;
  Array objects{Value(kNullObject)};
  std::map<std::string, std::uint64_t, std::less<>> classes;
  std::vector<Dictionary*> records;  // fields of the records being encoded, innermost last
  ErrorPtr error;
  int depth = 0;

  std::uint64_t reserve() {
    objects.emplace_back();
    return objects.size() - 1;
  }

  Value classReference(std::string_view registeredName) {
    const auto mapped = classNames.find(registeredName);
    const std::string_view name = mapped != classNames.end() ? mapped->second : registeredName;
    if (auto found = classes.find(name); found != classes.end()) return uid(found->second);
    const std::uint64_t index = reserve();
    objects[index] = Dictionary{{kClassNameKey, std::string(name)},
                                {kClassesKey, Array{std::string(name), "NSObject"}}};
    classes.emplace(std::string(name), index);
    return uid(index);
  }

  Value encode(const ArchivedObject& object, KeyedArchiver& archiver) {
    if (error) return uid(0);
    if (++depth > kMaxDepth) {
      error = coderError(kCoderInvalidValueError, "The object is nested too deeply to archive.");
      --depth;
      return uid(0);
    }
    Value reference = std::holds_alternative<Value>(object)
                          ? encodeValue(std::get<Value>(object), archiver)
                          : encodeRecord(std::get<SecureCodingPtr>(object), archiver);
    --depth;
    return reference;
  }

  Value encodeValue(const Value& value, KeyedArchiver& archiver) {
    switch (value.type()) {
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
    case Value::Type::String:
    case Value::Type::Data: {
      const std::uint64_t index = reserve();
      objects[index] = value;
      return uid(index);
    }
    case Value::Type::Null:
    case Value::Type::Date:
    case Value::Type::Array:
    case Value::Type::Dictionary:
      break;
    }
    const std::uint64_t index = reserve();
    Dictionary fields;
    if (const auto date = value.asDate()) {
      fields.set("NS.time", date->timeIntervalSinceReferenceDate());
    } else if (const Array* array = value.asArray()) {
      Array references;
      for (const Value& element : *array) references.push_back(encode(element, archiver));
      fields.set("NS.objects", std::move(references));
    } else if (const Dictionary* dictionary = value.asDictionary()) {
      Array keys;
      Array references;
      for (const auto& [key, element] : *dictionary) {
        keys.push_back(encode(Value(key), archiver));
        references.push_back(encode(element, archiver));
      }
      fields.set("NS.keys", std::move(keys));
      fields.set("NS.objects", std::move(references));
    }
    fields.set(kClassKey, classReference(classNameOf(value)));
    objects[index] = std::move(fields);
    return uid(index);
  }

  Value encodeRecord(const SecureCodingPtr& record, KeyedArchiver& archiver) {
    if (!record) return uid(0);
    const std::string name = record->archiveClassName();
    const Class* registered = ObjectRuntime::classNamed(name);
    if (!registered || !registered->conformsToProtocol(kSecureCodingProtocolName)) {
      error = coderError(kCoderInvalidValueError,
                         "Class '" + name + "' is not registered for secure coding.");
      return uid(0);
    }
    const std::uint64_t index = reserve();
    Dictionary fields;
    records.push_back(&fields);
    record->encodeWithCoder(archiver);
    records.pop_back();
    fields.set(kClassKey, classReference(name));
    objects[index] = std::move(fields);
    return uid(index);
  }

  void setField(std::string_view key, Value value) {
    if (records.empty()) return;
    records.back()->set(std::string(key), std::move(value));
  }
};

KeyedArchiver::~KeyedArchiver() = default;

std::optional<Data> KeyedArchiver::archivedData(const ArchivedObject& root, ErrorPtr* error) {
  return archivedData(root, ClassNameMap(), error);
}

std::optional<Data> KeyedArchiver::archivedData(const ArchivedObject& root,
                                                const ClassNameMap& classNames, ErrorPtr* error) {
  Impl impl(classNames);
  KeyedArchiver archiver(impl);
  Value rootReference = impl.encode(root, archiver);
  ErrorPtr writeError;
  std::optional<Data> data;
  if (!impl.error) {
    Dictionary archive{{"$version", kArchiveVersion},
                       {"$archiver", kArchiverName},
                       {"$top", Dictionary{{kRootKey, std::move(rootReference)}}},
                       {"$objects", std::move(impl.objects)}};
    data = plist::write(Value(std::move(archive)), plist::Format::Binary, &writeError);
    if (!data) {
      impl.error = coderError(kCoderInvalidValueError,
                              "The object holds a value an archive cannot store.", writeError);
    }
  }
  if (impl.error) {
    if (error) *error = impl.error;
    return std::nullopt;
  }
  return data;
}

void KeyedArchiver::encodeObject(std::string_view key, const ArchivedObject& object) {
  impl_.setField(key, impl_.encode(object, *this));
}

void KeyedArchiver::encodeInt64(std::string_view key, std::int64_t value) {
  impl_.setField(key, Value(value));
}

void KeyedArchiver::encodeBool(std::string_view key, bool value) {
  impl_.setField(key, Value(value));
}

void KeyedArchiver::encodeDouble(std::string_view key, double value) {
  impl_.setField(key, Value(value));
}

// ---------------------------------------------------------------------------------------
// Unarchiving

struct KeyedUnarchiver::Impl {
  explicit Impl(const ClassNameMap& names) : classNames(names) {}

  const ClassNameMap& classNames;
  const Array* objects = nullptr;
  std::vector<const Dictionary*> records;  // fields of the records being decoded
  std::vector<bool> inProgress;            // guards against reference cycles
  ErrorPtr error;
  int depth = 0;

  void fail(std::string reason) {
    if (!error) error = coderError(kCoderReadCorruptError, std::move(reason));
  }

  bool allows(const ClassSet& allowed, std::string_view name) {
    if (allowed.contains(name) || allowed.contains(immutableClassName(name))) return true;
    fail("The archive holds an object of class '" + std::string(name) +
         "', which is not among the allowed classes (" + describe(allowed) + ").");
    return false;
  }

  std::optional<ArchivedObject> decode(const Value& reference, const ClassSet& allowed,
                                       KeyedUnarchiver& coder) {
    if (error) return std::nullopt;
    const auto index = uidIndex(reference);
    if (!index || *index >= objects->size()) {
      fail("The archive holds a reference to no object.");
      return std::nullopt;
    }
    if (*index == 0) return std::nullopt;
    if (inProgress[*index] || depth >= kMaxDepth) {
      fail("The archive's objects refer to each other in a loop or nest too deeply.");
      return std::nullopt;
    }
    inProgress[*index] = true;
    ++depth;
    auto object = decodeAt((*objects)[*index], allowed, coder);
    --depth;
    inProgress[*index] = false;
    if (error) return std::nullopt;
    return object;
  }

  std::optional<ArchivedObject> decodeAt(const Value& stored, const ClassSet& allowed,
                                         KeyedUnarchiver& coder) {
    const Dictionary* fields = stored.asDictionary();
    if (!fields) {
      if (stored.isArray() || stored.isDate()) {
        fail("The archive holds an object without a class.");
        return std::nullopt;
      }
      if (!allows(allowed, classNameOf(stored))) return std::nullopt;
      return ArchivedObject(stored);
    }
    const std::string* name = className(*fields);
    if (!name) return std::nullopt;
    if (const auto mapped = classNames.find(*name); mapped != classNames.end()) {
      name = &mapped->second;
    }
    if (!allows(allowed, *name)) return std::nullopt;
    const std::string_view kind = immutableClassName(*name);
    if (kind == kNullClassName) return ArchivedObject(Value(nullptr));
    if (kind == kDateClassName) {
      const Value& time = (*fields)["NS.time"];
      if (!time.isNumber()) {
        fail("The archive holds a date without a time.");
        return std::nullopt;
      }
      return ArchivedObject(Value(Date::fromTimeIntervalSinceReferenceDate(time.doubleValue())));
    }
    if (kind == kArrayClassName) return decodeArray(*fields, allowed, coder);
    if (kind == kDictionaryClassName) return decodeDictionary(*fields, allowed, coder);
    return decodeRecord(*name, *fields, coder);
  }

  const std::string* className(const Dictionary& fields) {
    const Value* reference = fields.find(kClassKey);
    const auto index = reference ? uidIndex(*reference) : std::nullopt;
    const Dictionary* entry =
        index && *index < objects->size() ? (*objects)[*index].asDictionary() : nullptr;
    const Value* name = entry ? entry->find(kClassNameKey) : nullptr;
    if (!name || !name->isString()) {
      fail("The archive holds an object without a class.");
      return nullptr;
    }
    return name->asString();
  }

  const Array* references(const Dictionary& fields, std::string_view key) {
    const Value* found = fields.find(key);
    const Array* array = found ? found->asArray() : nullptr;
    if (!array) fail("The archive holds a collection without its " + std::string(key) + ".");
    return array;
  }

  // Only values go into a value collection; a record inside one cannot be held.
  std::optional<Value> decodeElement(const Value& reference, const ClassSet& allowed,
                                     KeyedUnarchiver& coder) {
    auto element = decode(reference, allowed, coder);
    if (!element) {
      if (!error) return Value(nullptr);
      return std::nullopt;
    }
    if (const Value* value = std::get_if<Value>(&*element)) return *value;
    fail("The archive holds a record inside a collection, which this reader cannot hold.");
    return std::nullopt;
  }

  std::optional<ArchivedObject> decodeArray(const Dictionary& fields, const ClassSet& allowed,
                                            KeyedUnarchiver& coder) {
    const Array* elements = references(fields, "NS.objects");
    if (!elements) return std::nullopt;
    Array array;
    for (const Value& reference : *elements) {
      auto element = decodeElement(reference, allowed, coder);
      if (!element) return std::nullopt;
      array.push_back(std::move(*element));
    }
    return ArchivedObject(Value(std::move(array)));
  }

  std::optional<ArchivedObject> decodeDictionary(const Dictionary& fields, const ClassSet& allowed,
                                                 KeyedUnarchiver& coder) {
    const Array* keys = references(fields, "NS.keys");
    const Array* values = keys ? references(fields, "NS.objects") : nullptr;
    if (!values) return std::nullopt;
    if (keys->size() != values->size()) {
      fail("The archive holds a dictionary whose keys and values do not pair up.");
      return std::nullopt;
    }
    Dictionary dictionary;
    for (std::size_t i = 0; i < keys->size(); ++i) {
      auto key = decodeElement((*keys)[i], allowed, coder);
      if (!key) return std::nullopt;
      if (!key->isString()) {
        fail("The archive holds a dictionary key that is not a string.");
        return std::nullopt;
      }
      auto value = decodeElement((*values)[i], allowed, coder);
      if (!value) return std::nullopt;
      dictionary.set(*key->asString(), std::move(*value));
    }
    return ArchivedObject(Value(std::move(dictionary)));
  }

  std::optional<ArchivedObject> decodeRecord(const std::string& name, const Dictionary& fields,
                                             KeyedUnarchiver& coder) {
    const Class* registered = ObjectRuntime::classNamed(name);
    auto initWithCoder =
        registered && registered->conformsToProtocol(kSecureCodingProtocolName)
            ? registered->classMethod<SecureCodingPtr(KeyedUnarchiver&)>(kInitWithCoderSelector)
            : nullptr;
    if (!initWithCoder) {
      fail("The archive holds an object of class '" + name + "', which cannot be decoded.");
      return std::nullopt;
    }
    records.push_back(&fields);
    SecureCodingPtr record = initWithCoder(coder);
    records.pop_back();
    if (error || !record) return std::nullopt;
    return ArchivedObject(std::move(record));
  }

  const Value* field(std::string_view key) const {
    return records.empty() ? nullptr : records.back()->find(key);
  }
};

KeyedUnarchiver::~KeyedUnarchiver() = default;

std::optional<ArchivedObject> KeyedUnarchiver::unarchivedObject(const ClassSet& allowedClasses,
                                                                const Data& data, ErrorPtr* error) {
  return unarchivedObject(allowedClasses, data, ClassNameMap(), error);
}

std::optional<ArchivedObject> KeyedUnarchiver::unarchivedObject(const ClassSet& allowedClasses,
                                                                const Data& data,
                                                                const ClassNameMap& classNames,
                                                                ErrorPtr* error) {
  Impl impl(classNames);
  KeyedUnarchiver coder(impl);
  auto report = [&](ErrorPtr failure) -> std::optional<ArchivedObject> {
    if (error) *error = std::move(failure);
    return std::nullopt;
  };
  if (data.empty()) {
    return report(coderError(kCoderReadCorruptError, "The archive data is empty."));
  }
  ErrorPtr parseError;
  const auto document = plist::parse(data, &parseError);
  const Value* objects =
      document ? (*document)["$objects"].asArray() ? &(*document)["$objects"] : nullptr : nullptr;
  const Dictionary* top = document ? (*document)["$top"].asDictionary() : nullptr;
  const Value* root = top ? top->find(kRootKey) : nullptr;
  if (!objects || objects->count() == 0 || !root ||
      (*document)["$archiver"] != Value(kArchiverName)) {
    return report(
        coderError(kCoderReadCorruptError, "The data is not a keyed archive.", parseError));
  }
  impl.objects = objects->asArray();
  impl.inProgress.assign(impl.objects->size(), false);
  auto object = impl.decode(*root, allowedClasses, coder);
  if (impl.error) return report(impl.error);
  return object;
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
  return impl_.field(key) != nullptr;
}

std::optional<ArchivedObject> KeyedUnarchiver::decodeObject(std::string_view key,
                                                            const ClassSet& allowedClasses) {
  const Value* reference = impl_.field(key);
  if (!reference) return std::nullopt;
  return impl_.decode(*reference, allowedClasses, *this);
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
  const auto object = decodeObject(key, {kStringClassName});
  const Value* value = valueOf(object);
  return value && value->isString() ? std::optional(*value->asString()) : std::nullopt;
}

std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) {
  const auto object = decodeObject(key, {kDateClassName});
  const Value* value = valueOf(object);
  return value ? value->asDate() : std::nullopt;
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const {
  const Value* value = impl_.field(key);
  return value && value->isNumber() ? value->integerValue() : 0;
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const {
  const Value* value = impl_.field(key);
  return value && value->isNumber() && value->boolValue();
}

double KeyedUnarchiver::decodeDouble(std::string_view key) const {
  const Value* value = impl_.field(key);
  return value && value->isNumber() ? value->doubleValue() : 0;
}

}  // namespace platform
