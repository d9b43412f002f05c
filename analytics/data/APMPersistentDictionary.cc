#include "analytics/data/APMPersistentDictionary.h"

#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "analytics/messages/APMServices.h"
#include "foundation/ZULLogger.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/plist.h"

namespace {

constexpr const char* kLogService = "<DedArorarivuva>";
// The analytics files' own folder under Application Support.
constexpr const char* kAnalyticsSubpath = "Rerora/Measurement";
// The shared-attribute name that backup tools read; "false" leaves the file out.
constexpr const char* kBackupAttribute = "user.xdg.robots.backup";

std::string messageCode(std::int64_t code) { return platform::format("I-ACS%06ld", {code}); }

std::filesystem::path analyticsDirectory() {
  const std::filesystem::path support = platform::applicationSupportDirectory();
  if (support.empty()) return {};
  return support / kAnalyticsSubpath;
}

}  // namespace

bool APMExcludePathFromBackup(const std::string& path, platform::ErrorPtr* error) {
  const auto fail = [&](std::int64_t code, int posixCode) {
    if (error) {
      platform::Dictionary info{{platform::kFilePathErrorKey, platform::Value(path)}};
      *error = platform::makeError(platform::kCocoaErrorDomain, code, std::move(info),
                                   platform::makeError(platform::kPOSIXErrorDomain, posixCode));
    }
    return false;
  };
  if (path.empty() || !platform::fileExists(path)) {
    return fail(platform::kFileNoSuchFileError, ENOENT);
  }
  if (::setxattr(path.c_str(), kBackupAttribute, "false", 5, 0) == 0) return true;
  const int saved = errno;
  // Nothing to mark where the file system keeps no attributes: no backup tool reads one there.
  if (saved == ENOTSUP || saved == EOPNOTSUPP) return true;
  return fail(platform::kFileWriteUnknownError, saved);
}

std::string APMPreferencesPlistPath(const std::string& suiteName) {
  if (suiteName.empty()) return {};
  const std::filesystem::path preferences = platform::preferencesDirectory();
  if (preferences.empty()) {
    APMServicesMonitor()->logWithLevel(2, 19000, "NSSearchPath for Library directory is empty");
    return {};
  }
  return (preferences / (suiteName + ".plist")).string();
}

std::string APMApplicationSupportPath(const std::string& fileName) {
  if (fileName.empty()) return {};
  const std::filesystem::path directory = analyticsDirectory();
  if (directory.empty()) {
    APMServicesMonitor()->logWithLevel(2, 19001,
                                       "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  return (directory / fileName).string();
}

std::string APMApplicationSupportPlistPath(const std::string& fileName) {
  if (fileName.empty()) return {};
  const std::string extension = std::filesystem::path(fileName).extension().string();
  return APMApplicationSupportPath(extension == ".plist" ? fileName : fileName + ".plist");
}

bool APMDeleteFileAtPath(const std::string& path, platform::ErrorPtr* error) {
  if (path.empty()) {
    APMSetError(error, 1, "Received empty path for deleting file");
    return false;
  }
  return platform::removeItem(path, error);
}

bool APMMigrateDefaultsPlist(const std::string& suiteName) {
  if (suiteName.empty()) return false;
  const std::string source = APMPreferencesPlistPath(suiteName);
  const std::string target = APMApplicationSupportPlistPath(suiteName);
  if (source.empty() || target.empty()) return false;
  bool sourceIsDirectory = false;
  if (platform::fileExists(source, &sourceIsDirectory)) {
    if (sourceIsDirectory) return false;
    bool targetIsDirectory = false;
    if (platform::fileExists(target, &targetIsDirectory)) {
      if (targetIsDirectory) return false;
      // Moved before: the file left behind is a stale copy.
      if (!APMDeleteFileAtPath(source)) return false;
    } else {
      if (!platform::createDirectory(std::filesystem::path(target).parent_path(), true)) {
        return false;
      }
      if (!platform::moveItem(source, target)) return false;
    }
  }
  // Preference suites here are only ever opened by name; there is no search list to leave.
  return true;
}

std::optional<platform::Dictionary>
APMPersistentDictionary::contentFromFileData(const platform::Data& data) {
  if (data.size() > kMaxFileSize) return std::nullopt;
  auto parsed = platform::plist::parse(data);
  if (!parsed) return std::nullopt;
  platform::Dictionary* read = parsed->asDictionary();
  if (read == nullptr) return std::nullopt;
  platform::Dictionary content;
  for (auto& [key, value] : *read) {
    if (!key.empty() && APMConfigStore::isStorableKind(value)) content.set(key, std::move(value));
  }
  if (platform::plist::write(platform::Value(content), platform::plist::Format::XML)) {
    return content;
  }
  // Something read cannot be written again (text that is not UTF-8, a date out of the
  // format's range): keeping it would make every later write of the file fail, so only the
  // entries that save are kept.
  platform::Dictionary saved;
  for (auto& [key, value] : content) {
    if (platform::plist::write(platform::Value(platform::Dictionary{{key, value}}),
                               platform::plist::Format::XML)) {
      saved.set(key, std::move(value));
    }
  }
  return saved;
}

std::shared_ptr<APMPersistentDictionary>
APMPersistentDictionary::initWithFileName(const std::string& fileName) {
  if (fileName.empty()) return nullptr;
  const std::string path = APMApplicationSupportPlistPath(fileName);
  if (path.empty()) return nullptr;
  if (!platform::createDirectory(std::filesystem::path(path).parent_path(), true, nullptr,
                                 platform::DirectoryAccess::OwnerOnly)) {
    ZULLogAtError(kLogService, false, messageCode(43004),
                  "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  platform::Dictionary content;
  const auto size = platform::fileSize(path);
  if (size && *size <= kMaxFileSize) {
    if (const auto data = platform::readFile(path)) {
      if (auto read = contentFromFileData(*data)) content = std::move(*read);
    }
  }
  return std::make_shared<APMPersistentDictionary>(Key{}, path, std::move(content));
}

APMPersistentDictionary::APMPersistentDictionary(Key, std::string filePath,
                                                 platform::Dictionary content)
    : filePath_(std::move(filePath)), content_(std::move(content)),
      serialQueue_(platform::Queue::serial("APMPersistentDictionary")) {}

APMPersistentDictionary::~APMPersistentDictionary() { writePendingChanges(); }

void APMPersistentDictionary::writePendingChanges() {
  platform::Dictionary copy;
  {
    std::lock_guard lock(mutex_);
    if (!hasPendingPersistence_) return;
    hasPendingPersistence_ = false;
    copy = content_;
  }
  writeCopy(copy, filePath_);
}

std::optional<platform::Value> APMPersistentDictionary::objectForKey(const std::string& key) {
  if (key.empty()) {
    ZULLogAtWarning(kLogService, false, messageCode(43001),
                    "Cannot get object for invalid config key.");
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  const platform::Value* found = content_.find(key);
  if (found == nullptr) return std::nullopt;
  return *found;
}

void APMPersistentDictionary::setObject(const std::optional<platform::Value>& value,
                                        const std::string& key) {
  if (key.empty()) {
    ZULLogAtWarning(kLogService, false, messageCode(43002),
                    "Cannot set object for invalid config key.");
    return;
  }
  if (value && !APMConfigStore::isStorableKind(*value)) {
    ZULLogAtWarning(kLogService, false, messageCode(43003),
                    "Cannot set invalid object to config. Must be a string, number, array, "
                    "dictionary, date, or data. Value %@",
                    {*value});
    return;
  }
  std::lock_guard lock(mutex_);
  if (!value) {
    if (content_.erase(key)) schedulePersistToDisk();
    return;
  }
  const platform::Value* stored = content_.find(key);
  if (stored != nullptr && *stored == *value) return;
  content_.set(key, *value);
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  std::lock_guard lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  schedulePersistToDisk();
}

void APMPersistentDictionary::synchronize() {}

bool APMPersistentDictionary::hasPendingPersistence() const {
  std::lock_guard lock(mutex_);
  return hasPendingPersistence_;
}

void APMPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard lock(mutex_);
  if (hasPendingPersistence_) return;
  // Held weakly: a dictionary that goes first writes its pending change itself.
  serialQueue_->after(1.0, [weakSelf = weak_from_this()] {
    if (const auto strongSelf = weakSelf.lock()) strongSelf->persistToDisk();
  });
  hasPendingPersistence_ = true;
}

void APMPersistentDictionary::persistToDisk() {
  platform::Dictionary copy;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    copy = content_;
    path = filePath_;
    hasPendingPersistence_ = false;
  }
  writeCopy(copy, path);
}

void APMPersistentDictionary::writeCopy(const platform::Dictionary& content,
                                        const std::string& path) {
  // Atomic (temporary file, rename): a crash mid-write leaves the previous file whole.
  if (!platform::plist::writeFile(platform::Value(content), path, platform::plist::Format::XML)) {
    ZULLogAtError(kLogService, false, messageCode(43000), "Cannot persist configs to disk");
  }
}
