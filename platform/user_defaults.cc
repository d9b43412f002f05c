#include "platform/user_defaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <system_error>
#include <thread>

#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/set_aside.h"
#include "platform/system_log.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Far above any real settings file; a larger one is treated as damaged rather than read.
constexpr std::size_t kMaxFileSize = 64 << 20;

// Whether the settings file can hold the entry: every later save writes the whole suite, so
// one entry it cannot hold would stop all of them.
bool isWritable(const std::string& key, const Value& value, ErrorPtr* error = nullptr) {
  return plist::write(Value(Dictionary{{key, value}}), plist::Format::XML, error).has_value();
}

std::string errnoText(int code) { return std::generic_category().message(code); }

// Files written by other programs, or by older versions of this one, may hold text the
// writer now refuses; dropping those entries keeps the rest of the suite saving.
Dictionary withoutUnwritableEntries(Dictionary values, const fs::path& path) {
  if (plist::write(Value(values), plist::Format::XML)) {
    return values;
  }
  Dictionary writable;
  for (auto& [key, value] : values) {
    if (isWritable(key, value)) {
      writable.set(key, std::move(value));
    } else {
      SystemLog::write(SystemLog::Warning, "Dropping setting \"" + key + "\" of " + path.string() +
                                               ", which cannot be saved again");
    }
  }
  return writable;
}

// The suite's lock, shared by every process using the suite: an flock on a file beside the
// settings file, held from reading the file to renaming the new one into place. A process
// that holds it for long (stopped, say) makes the others give up instead of hanging.
class SuiteLock {
 public:
  explicit SuiteLock(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      problem_ = "cannot open " + path.string() + ": " + errnoText(errno);
      return;
    }
    auto pause = std::chrono::milliseconds(1);
    auto waited = std::chrono::milliseconds(0);
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return;
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno != EWOULDBLOCK || waited >= std::chrono::seconds(10)) {
        problem_ = "cannot lock " + path.string() + ": " + errnoText(errno);
        return;
      }
      std::this_thread::sleep_for(pause);
      waited += pause;
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
  ~SuiteLock() {
    if (fd_ >= 0) {
      ::close(fd_);  // releases the lock
    }
  }
  SuiteLock(const SuiteLock&) = delete;
  SuiteLock& operator=(const SuiteLock&) = delete;

  bool locked() const { return locked_; }
  const std::string& problem() const { return problem_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
  std::string problem_;
};

// A template only because the stamp is private to the store.
template <typename Stamp> Stamp stampFrom(const struct stat& info) {
  auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  };
  return {true,
          static_cast<std::uint64_t>(info.st_dev),
          static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::uint64_t>(info.st_size),
          nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim)};
}


}  // namespace

struct UserDefaults::StoredFile {
  enum class Status { Missing, Read, Damaged, Unreadable };
  Status status = Status::Missing;
  Dictionary values;
  FileStamp stamp;
  std::string problem;  // why it is damaged or unreadable
};

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

UserDefaults::FileStamp UserDefaults::stampOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? stampFrom<FileStamp>(info) : FileStamp{};
}

// Reads through one descriptor, so that the stamp and the contents belong to one version of
// the file even while others replace it.
UserDefaults::StoredFile UserDefaults::readStoredFile(const fs::path& path) {
  using Status = StoredFile::Status;
  StoredFile file;
  // Non-blocking, so that a pipe in the file's place cannot hold the program up.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int saved = errno;
    struct stat info {};
    if (saved != ENOENT && ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      // A socket, say: it holds no settings, and nothing could ever be saved in its place.
      file.status = Status::Damaged;
      file.stamp = stampFrom<FileStamp>(info);
      file.problem = "not a regular file";
    } else if (saved != ENOENT) {
      file.status = Status::Unreadable;
      file.problem = errnoText(saved);
    }
    return file;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    file.status = Status::Unreadable;
    file.problem = errnoText(errno);
    return file;
  }
  file.stamp = stampFrom<FileStamp>(info);
  file.status = Status::Damaged;
  if (!S_ISREG(info.st_mode)) {
    // A folder or a pipe where the file belongs would otherwise stop every save for good.
    file.problem = "not a regular file";
    return file;
  }
  if (static_cast<std::uint64_t>(info.st_size) > kMaxFileSize) {
    file.problem = "larger than " + std::to_string(kMaxFileSize) + " bytes";
    return file;
  }
  Data data;
  data.vector().reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      file.status = Status::Unreadable;
      file.problem = errnoText(errno);
      return file;
    }
    if (count == 0) {
      break;
    }
    if (data.length() + static_cast<std::size_t>(count) > kMaxFileSize) {
      file.problem = "larger than " + std::to_string(kMaxFileSize) + " bytes";
      return file;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  ErrorPtr error;
  std::optional<Value> parsed = plist::parse(data, &error);
  if (!parsed) {
    file.problem = "not a property list: " + (error ? error->description() : std::string());
    return file;
  }
  Dictionary* dictionary = parsed->asDictionary();
  if (!dictionary) {
    file.problem = "its top level is not a dictionary";
    return file;
  }
  file.status = Status::Read;
  file.values = withoutUnwritableEntries(std::move(*dictionary), path);
  return file;
}

fs::path UserDefaults::lockPath() const { return filePath_.string() + ".lock"; }

// Moves the damaged file out of the way under a name no earlier set-aside file has, so that
// whatever it held can still be recovered by hand.
bool UserDefaults::setAside(std::string* note, std::string* problem) const {
  ErrorPtr error;
  if (auto aside = setAsideAsDamaged(filePath_.string(), setAsideTimestamp(), &error)) {
    *note = std::move(*aside);
    return true;
  }
  *problem = "cannot set aside the damaged settings file " + filePath_.string() + ": " +
             (error ? error->description() : std::string("no free name to move it to"));
  return false;
}

UserDefaults::StoredFile UserDefaults::setAsideIfStillDamaged() const {
  SuiteLock lock(lockPath());
  StoredFile file = readStoredFile(filePath_);
  if (file.status != StoredFile::Status::Damaged) {
    return file;
  }
  if (!lock.locked()) {
    // Without the lock another process may be replacing the file right now; this process
    // reads it as empty and leaves it for the next write.
    SystemLog::write(SystemLog::Warning, "Ignoring damaged settings file " + filePath_.string() +
                                             " (" + file.problem + "), " + lock.problem());
    return {StoredFile::Status::Damaged, {}, file.stamp, file.problem};
  }
  std::string aside, problem;
  if (!setAside(&aside, &problem)) {
    SystemLog::write(SystemLog::Warning, problem);
    return {StoredFile::Status::Damaged, {}, file.stamp, file.problem};
  }
  SystemLog::write(SystemLog::Warning, "Settings file " + filePath_.string() + " is damaged (" +
                                           file.problem + "); set aside as " + aside);
  return {};
}

void UserDefaults::applyPending(Dictionary& values) const {
  for (const PendingChange& change : pending_) {
    if (change.value) {
      values.set(change.key, *change.value);
    } else {
      values.erase(change.key);
    }
  }
}

void UserDefaults::loadIfNeeded() const {
  if (!loaded_) {
    reloadIfChanged();
  }
}

void UserDefaults::reloadIfChanged() const {
  if (loaded_ && stampOf(filePath_) == stamp_) {
    return;
  }
  loaded_ = true;
  StoredFile file = readStoredFile(filePath_);
  if (file.status == StoredFile::Status::Damaged) {
    file = setAsideIfStillDamaged();
  }
  if (file.status == StoredFile::Status::Unreadable) {
    // An unreadable file must not stop the program; writes fail until it is readable.
    SystemLog::write(SystemLog::Warning, "Ignoring unreadable settings file " + filePath_.string() +
                                             ": " + file.problem);
    file.stamp = stampOf(filePath_);
  }
  values_ = std::move(file.values);
  stamp_ = file.stamp;
  applyPending(values_);
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
    // Removing what is in neither the cache nor (unchanged since) the file writes nothing.
    if (!value && !values_.contains(key) && stampOf(filePath_) == stamp_ &&
        std::none_of(pending_.begin(), pending_.end(),
                     [&](const PendingChange& change) { return change.key == key; })) {
      return;
    }
    if (value) {
      values_.set(std::string(key), *value);
    } else {
      values_.erase(key);
    }
    std::erase_if(pending_, [&](const PendingChange& change) { return change.key == key; });
    pending_.push_back({std::string(key), std::move(value), ++generation_});
  }
  persist();
}

bool UserDefaults::writeChanges(const std::vector<PendingChange>& changes, Dictionary* written,
                                FileStamp* stamp, std::string* note, std::string* problem) {
  ErrorPtr error;
  if (!createDirectory(filePath_.parent_path(), true, &error, DirectoryAccess::OwnerOnly)) {
    *problem = error->description();
    return false;
  }
  SuiteLock lock(lockPath());
  if (!lock.locked()) {
    *problem = lock.problem();
    return false;
  }
  StoredFile file = readStoredFile(filePath_);
  switch (file.status) {
  case StoredFile::Status::Unreadable:
    // Writing over a file that may hold settings would lose them.
    *problem = "cannot read " + filePath_.string() + ": " + file.problem;
    return false;
  case StoredFile::Status::Damaged: {
    std::string aside;
    if (!setAside(&aside, problem)) {
      return false;
    }
    *note = "Settings file " + filePath_.string() + " is damaged (" + file.problem +
            "); set aside as " + aside;
    break;
  }
  case StoredFile::Status::Missing:
  case StoredFile::Status::Read:
    break;
  }
  for (const PendingChange& change : changes) {
    if (change.value) {
      file.values.set(change.key, *change.value);
    } else {
      file.values.erase(change.key);
    }
  }
  if (!plist::writeFile(Value(file.values), filePath_.string(), plist::Format::XML, &error)) {
    *problem = error ? error->description() : std::string("unknown");
    return false;
  }
  *stamp = stampOf(filePath_);
  *written = std::move(file.values);
  return true;
}

bool UserDefaults::persist() {
  std::lock_guard writeLock(writeMutex_);
  std::vector<PendingChange> changes;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
      return true;
    }
    changes = pending_;
    generation = generation_;
  }
  Dictionary written;
  FileStamp stamp;
  std::string note, problem;
  const bool saved = writeChanges(changes, &written, &stamp, &note, &problem);
  // Logged here, since the suite's lock is not to be held for anything but the file.
  if (!note.empty()) {
    SystemLog::write(SystemLog::Warning, note);
  }
  if (!saved) {
    SystemLog::write(SystemLog::Error,
                     "Cannot save settings to " + filePath_.string() + ": " + problem);
    return false;
  }
  std::lock_guard lock(mutex_);
  // Changes made while the file was written stay pending, and stay visible.
  std::erase_if(pending_,
                [&](const PendingChange& change) { return change.generation <= generation; });
  values_ = std::move(written);
  stamp_ = stamp;
  loaded_ = true;
  applyPending(values_);
  return true;
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
  const bool saved = persist();
  std::lock_guard lock(mutex_);
  reloadIfChanged();
  return saved;
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
