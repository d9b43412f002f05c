#include "platform/user_defaults.h"

#include <map>

#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/system_log.h"

namespace platform {
namespace {

// Whether the settings file can hold the entry: every later save writes the whole suite, so
// one entry it cannot hold would stop all of them.
bool isWritable(const std::string& key, const Value& value, ErrorPtr* error = nullptr) {
  return plist::write(Value(Dictionary{{key, value}}), plist::Format::XML, error).has_value();
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  return suite(Bundle::main().bundleIdentifier());
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  // Never destroyed, so that threads still running at exit can read and write settings.
  struct Stores {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<UserDefaults>> byName;
  };
  static Stores* const stores = new Stores;
  std::lock_guard lock(stores->mutex);
  std::shared_ptr<UserDefaults>& store = stores->byName[name];
  if (!store) {
    store = std::make_shared<UserDefaults>(Key{}, name, preferencesDirectory() / (name + ".plist"));
  }
  return store;
}

UserDefaults::UserDefaults(Key, std::string suiteName, std::filesystem::path filePath)
    : suiteName_(std::move(suiteName)), filePath_(std::move(filePath)) {}

void UserDefaults::loadIfNeeded() const {
  if (loaded_) {
    return;
  }
  loaded_ = true;
  ErrorPtr error;
  if (auto stored = plist::readDictionaryFile(filePath_.string(), &error)) {
    values_ = std::move(*stored);
    // Files written by other programs, or by older versions of this one, may hold text the
    // writer now refuses; dropping those entries keeps the rest of the suite saving.
    if (!plist::write(Value(values_), plist::Format::XML)) {
      Dictionary writable;
      for (auto& [key, value] : values_) {
        if (isWritable(key, value)) {
          writable.set(key, std::move(value));
        } else {
          SystemLog::write(SystemLog::Warning, "Dropping setting \"" + key + "\" of " +
                                                   filePath_.string() +
                                                   ", which cannot be saved again");
        }
      }
      values_ = std::move(writable);
    }
  } else if (error && error->code() != kFileReadNoSuchFileError) {
    // A damaged file must not stop the program; the next change replaces it.
    SystemLog::write(SystemLog::Warning, "Ignoring unreadable settings file " + filePath_.string() +
                                             ": " + error->description());
  }
}

const Value* UserDefaults::lookUp(std::string_view key) const {
  loadIfNeeded();
  if (const Value* value = values_.find(key)) {
    return value;
  }
  return registered_.find(key);
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  if (const Value* value = lookUp(key)) {
    return *value;
  }
  return std::nullopt;
}

std::optional<Value> UserDefaults::storedObjectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  if (const Value* value = values_.find(key)) {
    return *value;
  }
  return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  if (!value) {
    return std::nullopt;
  }
  if (const std::string* text = value->asString()) {
    return *text;
  }
  if (value->isNumber()) {
    return value->description();
  }
  return std::nullopt;
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  return value ? value->integerValue() : 0;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  return value ? value->boolValue() : false;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  return value ? value->doubleValue() : 0;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  if (const Data* data = value ? value->asData() : nullptr) {
    return *data;
  }
  return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  if (const Array* array = value ? value->asArray() : nullptr) {
    return *array;
  }
  return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* value = lookUp(key);
  if (const Dictionary* dictionary = value ? value->asDictionary() : nullptr) {
    return *dictionary;
  }
  return std::nullopt;
}

void UserDefaults::setObject(std::string_view key, std::optional<Value> value) {
  change(key, std::move(value));
}

void UserDefaults::setInteger(std::string_view key, std::int64_t value) { change(key, value); }

void UserDefaults::setBool(std::string_view key, bool value) { change(key, value); }

void UserDefaults::setDouble(std::string_view key, double value) { change(key, value); }

void UserDefaults::setString(std::string_view key, std::string value) {
  change(key, Value(std::move(value)));
}

void UserDefaults::removeObjectForKey(std::string_view key) { change(key, std::nullopt); }

void UserDefaults::change(std::string_view key, std::optional<Value> value) {
  if (value && value->isNull()) {
    value.reset();
  }
  if (ErrorPtr error; value && !isWritable(std::string(key), *value, &error)) {
    throw Exception("NSInvalidArgumentException",
                    "Attempt to insert non-property list object " + value->description() +
                        " for key " + std::string(key) + " (" + error->description() + ")");
  }
  {
    std::lock_guard lock(mutex_);
    loadIfNeeded();
    if (value) {
      values_.set(std::string(key), std::move(*value));
    } else if (!values_.erase(key)) {
      return;
    }
    ++generation_;
  }
  persist();
}

bool UserDefaults::persist() {
  std::lock_guard writeLock(writeMutex_);
  Dictionary snapshot;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = generation_;
    if (generation == writtenGeneration_) {
      return true;
    }
    snapshot = values_;
  }
  ErrorPtr error;
  if (createDirectory(filePath_.parent_path(), true, &error) &&
      plist::writeFile(Value(std::move(snapshot)), filePath_.string(), plist::Format::XML,
                       &error)) {
    writtenGeneration_ = generation;
    return true;
  }
  SystemLog::write(SystemLog::Error, "Cannot save settings to " + filePath_.string() + ": " +
                                         (error ? error->description() : std::string("unknown")));
  return false;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  Dictionary merged = registered_;
  for (const auto& [key, value] : values_) {
    merged.set(key, value);
  }
  return merged;
}

bool UserDefaults::synchronize() {
  {
    std::lock_guard lock(mutex_);
    loadIfNeeded();
  }
  return persist();
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : defaults) {
    if (!value.isNull()) {
      registered_.set(key, value);
    }
  }
}

}  // namespace platform
