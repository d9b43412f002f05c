#include "analytics/data/APMUserDefaults.h"

#include "analytics/data/APMPersistentDictionary.h"
#include "foundation/ZULLogger.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/format.h"

namespace {

constexpr const char* kLogService = "<DedArorarivuva>";

std::string messageCode(std::int64_t code) { return platform::format("I-ACS%06ld", {code}); }

std::shared_ptr<platform::UserDefaults> domainFor(const std::optional<std::string>& suiteName) {
  if (suiteName && !suiteName->empty()) return platform::UserDefaults::suite(*suiteName);
  return platform::UserDefaults::standard();
}

void logInvalidValue(const platform::Value& value) {
  ZULLogAtWarning(kLogService, false, messageCode(41003),
                  "Cannot set invalid object to user defaults. Must be a string or number or an "
                  "array. Value %@",
                  {value});
}

}  // namespace

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  // Never destroyed: worker queues may still read settings while the process exits.
  static const std::shared_ptr<APMUserDefaults>& shared = *new std::shared_ptr([] {
    auto made = std::make_shared<APMUserDefaults>();
    // The app's preference file is the app's to manage.
    made->setIsPreferenceFileExcluded(true);
    return made;
  }());
  return shared;
}

APMUserDefaults::APMUserDefaults() : APMUserDefaults(std::nullopt) {}

APMUserDefaults::APMUserDefaults(const std::optional<std::string>& suiteName)
    : suiteName_(suiteName), domain_(domainFor(suiteName)) {}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard lock(mutex_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}

std::optional<platform::Value> APMUserDefaults::objectForKey(const std::string& key) {
  if (key.empty()) {
    ZULLogAtWarning(kLogService, false, messageCode(41001),
                    "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  return domain_->objectForKey(key);
}

void APMUserDefaults::setObject(const std::optional<platform::Value>& value,
                                const std::string& key) {
  if (key.empty()) {
    ZULLogAtWarning(kLogService, false, messageCode(41002),
                    "Cannot set object for invalid user default key.");
    return;
  }
  if (!value) {
    domain_->removeObjectForKey(key);
    return;
  }
  if (!APMConfigStore::isStorableKind(*value)) {
    logInvalidValue(*value);
    return;
  }
  try {
    domain_->setObject(key, *value);
  } catch (const platform::Exception&) {
    // A container holding something the preference file cannot keep: refused the same way,
    // and the suite stays as it was.
    logInvalidValue(*value);
  }
}

void APMUserDefaults::clearAllData() {
  const platform::Dictionary stored = domain_->dictionaryRepresentation();
  for (const auto& [key, value] : stored) {
    if (domain_->storedObjectForKey(key)) domain_->removeObjectForKey(key);
  }
}

void APMUserDefaults::synchronize() {
  if (!domain_->synchronize()) {
    ZULLogAtError(kLogService, false, messageCode(41004),
                  "Cannot synchronize user defaults to disk");
  }
  std::lock_guard lock(mutex_);
  if (isPreferenceFileExcluded_) return;
  const std::string path = APMPreferencesPlistPath(suiteName_.value_or(""));
  if (path.empty() || !platform::fileExists(path)) return;
  platform::ErrorPtr error;
  if (APMExcludePathFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    ZULLogAtWarning(kLogService, false, messageCode(41000),
                    "Failed to exclude preferences file from backup. Error code %@",
                    {error ? error->description() : std::string("(null)")});
  }
}
