#include "platform/keyed_archive.h"

#include <algorithm>
#include <limits>
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
  case Value::Type::Object:
    return value.asObject()->className();
  }
  return kNullClassName;
}

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
    case Value::Type::Object:
      error = coderError(kCoderInvalidValueError,
                         std::string("Objects of class ") + value.asObject()->className() +
                             " cannot be archived.");
      return uid(0);
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

  // What one reference decodes to: none for nil. A value collection's elements are counted in
  // its size, and the classes they were allowed as are kept with it, so that reusing it where
  // other classes are allowed checks them again.
  struct Decoded {
    std::optional<ArchivedObject> object;
    std::uint64_t size = 1;
    std::vector<std::string> classes;
  };

  const ClassNameMap& classNames;
  const Array* objects = nullptr;
  std::vector<const Dictionary*> records;  // fields of the records being decoded
  std::vector<bool> inProgress;            // guards against reference cycles
  // Each object is decoded once; a later reference takes it from here. A value is kept only
  // while references to it remain (`referencesLeft`, counted from the archive); a record (a
  // pointer) or nil is kept to the end, so that every reference gives the same record.
  std::vector<std::unique_ptr<Decoded>> decoded;
  std::vector<std::uint32_t> referencesLeft;
  // How many values each object decodes to as a value (itself and all a collection holds,
  // shared elements counted at every reference), up to just past the budget: decoding it
  // charges at least that much, so a collection that would go past the budget is refused
  // before it is built.
  std::vector<std::uint64_t> valueSizes;
  std::uint64_t budget = kMaxArchiveObjects;
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

  // Counts objects made (copies of a shared value included) against the archive's budget,
  // before they are made.
  bool charge(std::uint64_t objectsMade) {
    if (objectsMade > budget) {
      fail("The archive decodes to more than " + std::to_string(kMaxArchiveObjects) + " objects.");
      return false;
    }
    budget -= objectsMade;
    return true;
  }

  // How many times each object is referred to: the root, record fields and the elements of
  // collections (class references are read apart).
  void countReferences(const Value& root) {
    referencesLeft.assign(objects->size(), 0);
    auto count = [&](const Value& value) {
      const auto index = uidIndex(value);
      if (index && *index < referencesLeft.size() &&
          referencesLeft[*index] < std::numeric_limits<std::uint32_t>::max()) {
        ++referencesLeft[*index];
      }
    };
    count(root);
    for (const Value& object : *objects) {
      const Dictionary* fields = object.asDictionary();
      if (!fields) continue;
      for (const auto& [key, value] : *fields) {
        if (key == kClassKey) continue;
        count(value);
        if (const Array* elements = value.asArray()) {
          for (const Value& element : *elements) count(element);
        }
      }
    }
  }

  // The collection class an object decodes as (NSArray or NSDictionary), or empty.
  std::string_view collectionKind(const Value& stored) const {
    const Dictionary* fields = stored.asDictionary();
    const Value* reference = fields ? fields->find(kClassKey) : nullptr;
    const auto index = reference ? uidIndex(*reference) : std::nullopt;
    const Dictionary* entry =
        index && *index < objects->size() ? (*objects)[*index].asDictionary() : nullptr;
    const Value* name = entry ? entry->find(kClassNameKey) : nullptr;
    if (!name || !name->isString()) return {};
    std::string_view kind = *name->asString();
    if (const auto mapped = classNames.find(kind); mapped != classNames.end()) {
      kind = mapped->second;
    }
    kind = immutableClassName(kind);
    return kind == kArrayClassName || kind == kDictionaryClassName ? kind : std::string_view();
  }

  // Fills valueSizes in one walk over the objects, each visited once, without recursing. A
  // reference that loops back counts nothing (decoding refuses it).
  void measureValues() {
    const std::uint64_t limit = kMaxArchiveObjects + 1;
    const std::size_t count = objects->size();
    enum : std::uint8_t { kUnseen, kOpen, kDone };
    std::vector<std::uint8_t> state(count, kUnseen);
    valueSizes.assign(count, 1);
    struct Visit {
      std::size_t index;
      const Array* lists[2];
      std::size_t list = 0;
      std::size_t next = 0;
      std::uint64_t sum = 1;
    };
    std::vector<Visit> stack;
    auto open = [&](std::size_t index) {
      const std::string_view kind = collectionKind((*objects)[index]);
      if (kind.empty()) {
        state[index] = kDone;
        return;
      }
      const Dictionary& fields = *(*objects)[index].asDictionary();
      const Value* keys = kind == kDictionaryClassName ? fields.find("NS.keys") : nullptr;
      const Value* values = fields.find("NS.objects");
      state[index] = kOpen;
      stack.push_back(
          {index, {keys ? keys->asArray() : nullptr, values ? values->asArray() : nullptr}});
    };
    for (std::size_t start = 0; start < count; ++start) {
      if (state[start] != kUnseen) continue;
      open(start);
      while (!stack.empty()) {
        Visit& visit = stack.back();
        const Value* reference = nullptr;
        while (visit.list < 2 && !reference) {
          const Array* list = visit.lists[visit.list];
          if (list && visit.next < list->size()) {
            reference = &(*list)[visit.next++];
          } else {
            ++visit.list;
            visit.next = 0;
          }
        }
        if (!reference) {
          const Visit done = visit;
          stack.pop_back();
          state[done.index] = kDone;
          valueSizes[done.index] = done.sum;
          if (!stack.empty()) stack.back().sum = std::min(limit, stack.back().sum + done.sum);
          continue;
        }
        const auto child = uidIndex(*reference);
        if (!child || *child >= count || *child == 0) {
          visit.sum = std::min(limit, visit.sum + 1);
        } else if (state[*child] == kDone) {
          visit.sum = std::min(limit, visit.sum + valueSizes[*child]);
        } else if (state[*child] == kUnseen) {
          open(static_cast<std::size_t>(*child));
          if (state[*child] == kDone) stack.back().sum = std::min(limit, stack.back().sum + 1);
        }
      }
    }
  }

  static void addClass(std::vector<std::string>& classes, std::string_view name) {
    if (std::find(classes.begin(), classes.end(), name) == classes.end()) {
      classes.emplace_back(name);
    }
  }

  bool decode(const Value& reference, const ClassSet& allowed, KeyedUnarchiver& coder,
              Decoded& out) {
    out = Decoded();
    if (error) return false;
    const auto index = uidIndex(reference);
    if (!index || *index >= objects->size()) {
      fail("The archive holds a reference to no object.");
      return false;
    }
    if (*index == 0) return true;
    if (auto& kept = decoded[*index]) {
      for (const std::string& name : kept->classes) {
        if (!allows(allowed, name)) return false;
      }
      if (!charge(kept->size)) return false;
      const bool isValue = kept->object && std::holds_alternative<Value>(*kept->object);
      std::uint32_t& left = referencesLeft[*index];
      if (left > 0) --left;
      if (left == 0 && isValue) {
        out = std::move(*kept);
        kept.reset();
      } else {
        out = *kept;
      }
      return true;
    }
    if (inProgress[*index] || depth >= kMaxDepth) {
      fail("The archive's objects refer to each other in a loop or nest too deeply.");
      return false;
    }
    // Decoding it charges at least its value size: what would go past the budget fails now.
    if (valueSizes[*index] > budget) return charge(valueSizes[*index]);
    if (!charge(1)) return false;
    inProgress[*index] = true;
    ++depth;
    const bool decodedOne = decodeAt((*objects)[*index], allowed, coder, out);
    --depth;
    inProgress[*index] = false;
    if (!decodedOne || error) return false;
    // Kept for the references still to come; a value's copy counts as the objects it holds.
    std::uint32_t& left = referencesLeft[*index];
    if (left > 0) --left;
    const bool isValue = out.object && std::holds_alternative<Value>(*out.object);
    if (!isValue || left > 0) {
      if (isValue && !charge(out.size)) return false;
      decoded[*index] = std::make_unique<Decoded>(out);
    }
    return true;
  }

  bool decodeAt(const Value& stored, const ClassSet& allowed, KeyedUnarchiver& coder,
                Decoded& out) {
    const Dictionary* fields = stored.asDictionary();
    if (!fields) {
      if (stored.isArray() || stored.isDate()) {
        fail("The archive holds an object without a class.");
        return false;
      }
      const char* name = classNameOf(stored);
      if (!allows(allowed, name)) return false;
      out.classes.emplace_back(name);
      out.object = ArchivedObject(stored);
      return true;
    }
    const std::string* name = className(*fields);
    if (!name) return false;
    if (const auto mapped = classNames.find(*name); mapped != classNames.end()) {
      name = &mapped->second;
    }
    if (!allows(allowed, *name)) return false;
    out.classes.push_back(*name);
    const std::string_view kind = immutableClassName(*name);
    if (kind == kNullClassName) {
      out.object = ArchivedObject(Value(nullptr));
      return true;
    }
    if (kind == kDateClassName) {
      const Value& time = (*fields)["NS.time"];
      if (!time.isNumber()) {
        fail("The archive holds a date without a time.");
        return false;
      }
      out.object =
          ArchivedObject(Value(Date::fromTimeIntervalSinceReferenceDate(time.doubleValue())));
      return true;
    }
    if (kind == kArrayClassName) return decodeArray(*fields, allowed, coder, out);
    if (kind == kDictionaryClassName) return decodeDictionary(*fields, allowed, coder, out);
    return decodeRecord(*name, *fields, coder, out);
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

  // Only values go into a value collection; a record or nil inside one cannot be held. The element's
  // size and classes are added to the collection's.
  std::optional<Value> decodeElement(const Value& reference, const ClassSet& allowed,
                                     KeyedUnarchiver& coder, Decoded& collection) {
    Decoded element;
    if (!decode(reference, allowed, coder, element)) return std::nullopt;
    collection.size += element.size;
    for (const std::string& name : element.classes) addClass(collection.classes, name);
    // Collections cannot hold nil: taking it as null would read an archive whose rewrite (null
    // as NSNull) the same reader then refuses.
    if (!element.object) {
      fail("The archive holds nil inside a collection.");
      return std::nullopt;
    }
    if (Value* value = std::get_if<Value>(&*element.object)) return std::move(*value);
    fail("The archive holds a record inside a collection, which this reader cannot hold.");
    return std::nullopt;
  }

  bool decodeArray(const Dictionary& fields, const ClassSet& allowed, KeyedUnarchiver& coder,
                   Decoded& out) {
    const Array* elements = references(fields, "NS.objects");
    if (!elements) return false;
    Array array;
    array.reserve(elements->size());
    for (const Value& reference : *elements) {
      auto element = decodeElement(reference, allowed, coder, out);
      if (!element) return false;
      array.push_back(std::move(*element));
    }
    out.object = ArchivedObject(Value(std::move(array)));
    return true;
  }

  bool decodeDictionary(const Dictionary& fields, const ClassSet& allowed, KeyedUnarchiver& coder,
                        Decoded& out) {
    const Array* keys = references(fields, "NS.keys");
    const Array* values = keys ? references(fields, "NS.objects") : nullptr;
    if (!values) return false;
    if (keys->size() != values->size()) {
      fail("The archive holds a dictionary whose keys and values do not pair up.");
      return false;
    }
    Dictionary dictionary;
    for (std::size_t i = 0; i < keys->size(); ++i) {
      auto key = decodeElement((*keys)[i], allowed, coder, out);
      if (!key) return false;
      if (!key->isString()) {
        fail("The archive holds a dictionary key that is not a string.");
        return false;
      }
      auto value = decodeElement((*values)[i], allowed, coder, out);
      if (!value) return false;
      dictionary.set(*key->asString(), std::move(*value));
    }
    out.object = ArchivedObject(Value(std::move(dictionary)));
    return true;
  }

  bool decodeRecord(const std::string& name, const Dictionary& fields, KeyedUnarchiver& coder,
                    Decoded& out) {
    const Class* registered = ObjectRuntime::classNamed(name);
    auto initWithCoder =
        registered && registered->conformsToProtocol(kSecureCodingProtocolName)
            ? registered->classMethod<SecureCodingPtr(KeyedUnarchiver&)>(kInitWithCoderSelector)
            : nullptr;
    if (!initWithCoder) {
      fail("The archive holds an object of class '" + name + "', which cannot be decoded.");
      return false;
    }
    records.push_back(&fields);
    SecureCodingPtr record = initWithCoder(coder);
    records.pop_back();
    if (error) return false;
    // A decoder that yields none makes the reference nil.
    if (record) out.object = ArchivedObject(std::move(record));
    return true;
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
  impl.decoded.resize(impl.objects->size());
  impl.countReferences(*root);
  impl.measureValues();
  Impl::Decoded object;
  if (!impl.decode(*root, allowedClasses, coder, object) || impl.error) {
    return report(impl.error);
  }
  return std::move(object.object);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
  return impl_.field(key) != nullptr;
}

std::optional<ArchivedObject> KeyedUnarchiver::decodeObject(std::string_view key,
                                                            const ClassSet& allowedClasses) {
  const Value* reference = impl_.field(key);
  if (!reference) return std::nullopt;
  Impl::Decoded object;
  if (!impl_.decode(*reference, allowedClasses, *this, object)) return std::nullopt;
  return std::move(object.object);
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
