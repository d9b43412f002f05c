#include "foundation/ZULHeartbeatDateStorageUserDefaults.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/user_defaults.h"

namespace {

// Stores sharing a defaults object must take turns with their read-modify-writes, so the
// lock is the defaults object's. Defaults objects live for the whole process (one per
// suite), so their locks never need removing.
std::mutex& lockFor(const platform::UserDefaults* defaults) {
  static std::mutex registryLock;
  // Never destroyed, like the defaults objects whose writes they order.
  static auto* const locks = new std::map<const platform::UserDefaults*, std::mutex>;
  std::lock_guard lock(registryLock);
  return (*locks)[defaults];
}

}  // namespace

ZULHeartbeatDateStorageUserDefaults::ZULHeartbeatDateStorageUserDefaults(
    std::shared_ptr<platform::UserDefaults> defaults, std::string key)
    : userDefaults_(std::move(defaults)), key_(std::move(key)) {}

platform::Dictionary ZULHeartbeatDateStorageUserDefaults::heartbeatDictionaryFromDefaults() const {
  const auto stored = userDefaults_->objectForKey(key_);
  // Something other than a dictionary under the key is replaced rather than crashed on.
  const platform::Dictionary* dictionary = stored ? stored->asDictionary() : nullptr;
  return dictionary ? *dictionary : platform::Dictionary();
}

std::optional<platform::Value>
ZULHeartbeatDateStorageUserDefaults::heartbeatDateForTag(const std::string& tag) {
  std::lock_guard lock(lockFor(userDefaults_.get()));
  const auto dictionary = heartbeatDictionaryFromDefaults();
  const platform::Value* value = dictionary.find(tag);
  if (!value) return std::nullopt;
  return *value;
}

bool ZULHeartbeatDateStorageUserDefaults::setHearbeatDate(const platform::Date& date,
                                                          const std::string& forTag) {
  std::lock_guard lock(lockFor(userDefaults_.get()));
  auto dictionary = heartbeatDictionaryFromDefaults();
  dictionary.set(forTag, date);
  userDefaults_->setObject(key_, platform::Value(std::move(dictionary)));
  return true;
}
