// Reads keyed archives as the SDK's stored files and keychain items hold them: through the
// platform's unarchiver with a class-name map and through ZULSecureCoding with the class sets
// its callers allow. A record class of its own lets archives reach the record decoding paths.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/ZULSecureCoding.h"
#include "fuzz/fuzz_input.h"
#include "platform/keyed_archive.h"

namespace {

using namespace platform;

constexpr const char* kRecordClassName = "FuzzRecord";

const ClassSet& everyClass() {
  static const ClassSet classes{kRecordClassName,     kStringClassName, kNumberClassName,
                                kDataClassName,       kDateClassName,   kArrayClassName,
                                kDictionaryClassName, kNullClassName};
  return classes;
}

// Reads every kind of field, nests records in records, and refuses some archives (no
// "count"), as a real record's decoder does.
class FuzzRecord : public SecureCodingObject {
 public:
  std::string archiveClassName() const override { return kRecordClassName; }

  void encodeWithCoder(KeyedArchiver& coder) const override {
    if (name) coder.encodeObject("name", Value(*name));
    if (when) coder.encodeObject("when", Value(*when));
    coder.encodeInt64("count", count);
    coder.encodeBool("flag", flag);
    coder.encodeDouble("ratio", ratio);
    if (child) coder.encodeObject("child", *child);
  }

  static SecureCodingPtr initWithCoder(KeyedUnarchiver& coder) {
    if (!coder.containsValueForKey("count")) return nullptr;
    auto record = std::make_shared<FuzzRecord>();
    record->name = coder.decodeString("name");
    record->when = coder.decodeDate("when");
    record->count = coder.decodeInt64("count");
    record->flag = coder.decodeBool("flag");
    record->ratio = coder.decodeDouble("ratio");
    record->child = coder.decodeObject("child", everyClass());
    return record;
  }

  std::optional<std::string> name;
  std::optional<Date> when;
  std::int64_t count = 0;
  bool flag = false;
  double ratio = 0;
  std::optional<ArchivedObject> child;
};

// Counts a value's objects, stopping once past the limit.
std::size_t objectCount(const Value& value, std::size_t limit) {
  std::size_t count = 1;
  if (const auto* array = value.asArray()) {
    for (const Value& element : *array) {
      if (count > limit) break;
      count += objectCount(element, limit - count);
    }
  } else if (const auto* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (count > limit) break;
      count += 1 + objectCount(element, limit - count);
    }
  }
  return count;
}

// What was read archives again (when a property list can hold it) and reads back. A value that
// shared references expanded is left out: writing a quarter of a million objects only measures
// the property-list writer, and the reading it follows is what is fuzzed.
void checkRoundTrip(const std::optional<ArchivedObject>& object, const ClassSet& classes) {
  if (!object) return;
  constexpr std::size_t kMaxRoundTripObjects = 10000;
  if (const Value* value = valueOf(object);
      value && objectCount(*value, kMaxRoundTripObjects) > kMaxRoundTripObjects) {
    return;
  }
  const auto archived = ZULSecureCoding::archivedDataWithRootObject(*object);
  if (!archived) return;
  ErrorPtr error;
  ZULSecureCoding::unarchivedObjectOfClasses(classes, *archived, &error);
  fuzz::fuzzCheck(error == nullptr, "an archive of what was read reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool registered =
      registerSecureCodingClass(kRecordClassName, &FuzzRecord::initWithCoder);
  fuzz::fuzzCheck(registered, "the record class registers");
  const Data archive = fuzz::dataOf(data, size);

  ErrorPtr error;
  const auto object = KeyedUnarchiver::unarchivedObject(
      everyClass(), archive, ClassNameMap{{"LegacyRecord", kRecordClassName}}, &error);
  fuzz::fuzzCheck(!(object && error), "a decoded archive carries no error");
  checkRoundTrip(object, everyClass());

  // The heartbeat storage's classes, and a keychain item read as one class.
  const ClassSet heartbeatClasses{kDictionaryClassName, kDateClassName, kStringClassName};
  checkRoundTrip(ZULSecureCoding::unarchivedObjectOfClasses(heartbeatClasses, archive),
                 heartbeatClasses);
  checkRoundTrip(ZULSecureCoding::unarchivedObjectOfClass(kRecordClassName, archive),
                 ClassSet{kRecordClassName});
  return 0;
}
