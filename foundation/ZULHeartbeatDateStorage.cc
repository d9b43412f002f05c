#include "foundation/ZULHeartbeatDateStorage.h"

#include <utility>

#include "foundation/ZULSecureCoding.h"
#include "platform/files.h"
#include "platform/keyed_archive.h"

namespace {

// Every instance naming the same file must see one read-modify-write at a time, so the lock
// belongs to the class rather than to an instance.
std::mutex& classLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::shared_ptr<ZULHeartbeatDateStorage>
ZULHeartbeatDateStorage::initWithFileName(const std::optional<std::string>& fileName) {
  if (!fileName) return nullptr;
  return std::make_shared<ZULHeartbeatDateStorage>(*fileName);
}

ZULHeartbeatDateStorage::ZULHeartbeatDateStorage(std::string fileName)
    : fileName_(std::move(fileName)) {}

std::filesystem::path ZULHeartbeatDateStorage::fileURL() {
  std::call_once(fileURLOnce_, [this] {
    const auto directory = directoryPathURL();
    checkAndCreateDirectory(directory);
    fileURL_ = directory / fileName_;
  });
  return fileURL_;
}

std::filesystem::path ZULHeartbeatDateStorage::directoryPathURL() {
  return platform::applicationSupportDirectory() / "Rerora" / "VEVEza";
}

void ZULHeartbeatDateStorage::checkAndCreateDirectory(const std::filesystem::path& directory) {
  if (platform::fileExists(directory)) return;
  platform::createDirectory(directory, /*withIntermediates=*/true, nullptr,
                            platform::DirectoryAccess::OwnerOnly);
}

platform::Dictionary
ZULHeartbeatDateStorage::heartbeatDictionaryWithFileURL(const std::filesystem::path& file) {
  const auto data = platform::readFile(file);
  if (!data || data->empty()) return {};
  const auto object = ZULSecureCoding::unarchivedObjectOfClasses(
      {platform::kDictionaryClassName, platform::kDateClassName, platform::kStringClassName},
      *data);
  // A root that is a lone string or date is as useless as no file at all.
  const platform::Value* value = platform::valueOf(object);
  const platform::Dictionary* dictionary = value ? value->asDictionary() : nullptr;
  return dictionary ? *dictionary : platform::Dictionary();
}

bool ZULHeartbeatDateStorage::writeDictionary(const platform::Dictionary& dictionary,
                                              const std::filesystem::path& forWritingURL,
                                              platform::ErrorPtr* error) {
  const auto data = ZULSecureCoding::archivedDataWithRootObject(platform::Value(dictionary), error);
  if (!data || data->empty()) return false;
  return platform::writeFileAtomically(forWritingURL, *data, error);
}

std::optional<platform::Value>
ZULHeartbeatDateStorage::heartbeatDateForTag(const std::string& tag) {
  std::lock_guard lock(classLock());
  const auto dictionary = heartbeatDictionaryWithFileURL(fileURL());
  const platform::Value* value = dictionary.find(tag);
  if (!value || !value->isDate()) return std::nullopt;
  return *value;
}

bool ZULHeartbeatDateStorage::setHearbeatDate(const platform::Date& date,
                                              const std::string& forTag) {
  std::lock_guard lock(classLock());
  auto dictionary = heartbeatDictionaryWithFileURL(fileURL());
  dictionary.set(forTag, date);
  return writeDictionary(dictionary, fileURL());
}
