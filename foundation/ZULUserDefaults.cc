#include "foundation/ZULUserDefaults.h"

#include "foundation/ZULLogger.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/user_defaults.h"

namespace {

constexpr std::string_view kService = "[ReroraUtilities/UserDefaults]";

std::string messageCode(long number) { return platform::format("I-ZUL%06ld", {number}); }

std::shared_ptr<platform::UserDefaults> storeFor(const std::optional<std::string>& suiteName) {
  if (!suiteName || suiteName->empty()) return platform::UserDefaults::standard();
  return platform::UserDefaults::suite(*suiteName);
}

bool isStorable(const platform::Value& value) {
  return value.isString() || value.isNumber() || value.isArray() || value.isDictionary() ||
         value.isDate() || value.isData();
}

void logInvalidValue(const platform::Value& value) {
  ZULLogAtWarning(kService, false, messageCode(3),
                  "Cannot set invalid object to user defaults. Must be a string, number, "
                  "array, dictionary, date, or data. Value: %@",
                  {value});
}

}  // namespace

std::shared_ptr<ZULUserDefaults> ZULUserDefaults::standardUserDefaults() {
  // Never destroyed: detached workers may still read settings while the process exits.
  static auto* const shared =
      new std::shared_ptr<ZULUserDefaults>(std::make_shared<ZULUserDefaults>());
  return *shared;
}

ZULUserDefaults::ZULUserDefaults() : ZULUserDefaults(std::nullopt) {}

ZULUserDefaults::ZULUserDefaults(const std::optional<std::string>& suiteName)
    : store_(storeFor(suiteName)) {}

const std::string& ZULUserDefaults::appNameRef() const { return store_->suiteName(); }

std::optional<platform::Value> ZULUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    ZULLogAtWarning("<ReroraUtilities>", false, messageCode(1),
                    "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  // Defaults the application registered are its own; the SDK reads only what is stored.
  return store_->storedObjectForKey(key);
}

void ZULUserDefaults::setObject(std::optional<platform::Value> value, std::string_view key) {
  if (key.empty()) {
    ZULLogAtWarning(kService, false, messageCode(2),
                    "Cannot set object for invalid user default key.");
    return;
  }
  if (value && !isStorable(*value)) {
    logInvalidValue(*value);
    return;
  }
  // Only the outer kind is checked above; what the file cannot hold (a null inside an array
  // or dictionary, a date out of range, text that is not UTF-8) the store refuses without
  // changing anything.
  try {
    store_->setObject(key, value);
  } catch (const platform::Exception&) {
    logInvalidValue(*value);
    return;
  }
  synchronize();
}

void ZULUserDefaults::removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

std::int64_t ZULUserDefaults::integerForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value ? value->integerValue() : 0;
}

float ZULUserDefaults::floatForKey(std::string_view key) const {
  return static_cast<float>(doubleForKey(key));
}

double ZULUserDefaults::doubleForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value ? value->doubleValue() : 0;
}

bool ZULUserDefaults::boolForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value && value->boolValue();
}

std::optional<platform::Value> ZULUserDefaults::stringForKey(std::string_view key) const {
  return objectForKey(key);
}

std::optional<platform::Value> ZULUserDefaults::arrayForKey(std::string_view key) const {
  return objectForKey(key);
}

std::optional<platform::Value> ZULUserDefaults::dictionaryForKey(std::string_view key) const {
  return objectForKey(key);
}

void ZULUserDefaults::setInteger(std::int64_t value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void ZULUserDefaults::setFloat(float value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void ZULUserDefaults::setDouble(double value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void ZULUserDefaults::setBool(bool value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void ZULUserDefaults::synchronize() {
  if (!store_->synchronize()) {
    ZULLogAtError(kService, false, messageCode(4), "Cannot synchronize user defaults to disk");
  }
}
