#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/bundle.h"
#include "platform/environment.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

ErrorPtr posixError(int code) {
  return makeError(kPOSIXErrorDomain, code,
                   Dictionary{{kLocalizedDescriptionKey, std::generic_category().message(code)}});
}

ErrorPtr fileError(std::int64_t code, const fs::path& path, int errnoValue) {
  return makeError(kCocoaErrorDomain, code, Dictionary{{kFilePathErrorKey, path.string()}},
                   errnoValue != 0 ? posixError(errnoValue) : nullptr);
}

bool fail(ErrorPtr* error, std::int64_t code, const fs::path& path, int errnoValue) {
  if (error) {
    *error = fileError(code, path, errnoValue);
  }
  return false;
}

std::int64_t readErrorCode(int errnoValue) {
  return errnoValue == ENOENT ? kFileReadNoSuchFileError : kFileReadUnknownError;
}

std::int64_t writeErrorCode(int errnoValue) {
  switch (errnoValue) {
  case ENOENT:
    return kFileNoSuchFileError;
  case EEXIST:
  case ENOTEMPTY:
    return kFileWriteFileExistsError;
  case EACCES:
  case EPERM:
    return kFileWriteNoPermissionError;
  default:
    return kFileWriteUnknownError;
  }
}

fs::path homeDirectory() {
  if (const auto home = environmentValue("HOME"); home && !home->empty()) {
    return *home;
  }
  passwd entry{};
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return "/";
}

// The XDG base directory rules: an unset, empty or relative variable means the default.
fs::path scopedPlace(const char* variable, const char* defaultBelowHome) {
  fs::path base;
  if (const auto value = environmentValue(variable); value && value->starts_with('/')) {
    base = *value;
  } else {
    base = homeDirectory() / defaultBelowHome;
  }
  return base / Bundle::main().bundleIdentifier();
}

bool writeAll(int fd, const Data& data) {
  const std::uint8_t* next = data.bytes();
  std::size_t left = data.length();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

bool syncDirectory(const fs::path& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

constexpr std::string_view kTemporaryMarker = ".tmp-";

// A hidden name beside the destination, unique within the process by the counter and across
// processes by the process id, which also tells a later sweep whether the writer is alive.
fs::path temporaryNameBeside(const fs::path& path) {
  static std::atomic<std::uint64_t> counter{0};
  return path.parent_path() /
         ("." + path.filename().string() + std::string(kTemporaryMarker) +
          std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)));
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The writer's process id in the name of one of our temporary files; 0 for any other name.
pid_t writerOfTemporary(std::string_view name) {
  if (name.empty() || name.front() != '.') {
    return 0;
  }
  std::size_t marker = name.rfind(kTemporaryMarker);
  if (marker == std::string_view::npos || marker == 0) {
    return 0;
  }
  std::string_view rest = name.substr(marker + kTemporaryMarker.size());
  std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || !allDigits(rest.substr(0, dash)) ||
      !allDigits(rest.substr(dash + 1))) {
    return 0;
  }
  pid_t pid = 0;
  auto [end, problem] = std::from_chars(rest.data(), rest.data() + dash, pid);
  return problem == std::errc() && end == rest.data() + dash ? pid : 0;
}

// A writer killed between naming its temporary file and renaming it leaves the file behind;
// nobody else would ever remove it. A process id that is in use again keeps the file until
// that process is gone too, which errs on the safe side.
void removeTemporariesOfGoneWriters(const fs::path& folder) {
  DIR* directory = ::opendir(folder.c_str());
  if (!directory) {
    return;
  }
  const pid_t self = ::getpid();
  while (dirent* entry = ::readdir(directory)) {
    pid_t writer = writerOfTemporary(entry->d_name);
    if (writer <= 0 || writer == self) {
      continue;
    }
    if (::kill(writer, 0) != 0 && errno == ESRCH) {
      ::unlinkat(::dirfd(directory), entry->d_name, 0);
    }
  }
  ::closedir(directory);
}

// Writes the contents and gives the file its final mode before it gets its name, so that
// nobody ever sees it with the wrong mode or partly written.
bool fillAndSync(int fd, const Data& data, mode_t mode) {
  return writeAll(fd, data) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
}

enum class Outcome { Written, Failed, Unsupported };

// An unnamed file vanishes with its writer; it gets a name only once it is complete. Linking
// cannot replace, so an existing destination is replaced through a temporary name: a kill in
// that short window leaves a named file for the sweep.
Outcome writeThroughUnnamedFile(const fs::path& path, const fs::path& folder, const Data& data,
                                mode_t mode, int* errnoValue) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    *errnoValue = errno;
    // EISDIR: a kernel that predates unnamed files; the others: a file system without them.
    return *errnoValue == EOPNOTSUPP || *errnoValue == EISDIR || *errnoValue == EINVAL
               ? Outcome::Unsupported
               : Outcome::Failed;
  }
  if (!fillAndSync(fd, data, mode)) {
    *errnoValue = errno;
    ::close(fd);
    return Outcome::Failed;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    ::close(fd);
    return Outcome::Written;
  }
  if (errno != EEXIST) {
    // Without /proc the file cannot be named; the named way reports any other fault itself.
    ::close(fd);
    return Outcome::Unsupported;
  }
  fs::path temporary;
  int linked = -1;
  for (int attempt = 0; attempt < 100 && linked != 0; ++attempt) {
    temporary = temporaryNameBeside(path);
    linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno != EEXIST) {
      break;
    }
  }
  *errnoValue = errno;
  ::close(fd);
  if (linked != 0) {
    return Outcome::Failed;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    *errnoValue = errno;
    ::unlink(temporary.c_str());
    return Outcome::Failed;
  }
  return Outcome::Written;
}

Outcome writeThroughNamedFile(const fs::path& path, const Data& data, mode_t mode,
                              int* errnoValue) {
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporaryNameBeside(path);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    *errnoValue = errno;
    return Outcome::Failed;
  }
  bool written = fillAndSync(fd, data, mode);
  *errnoValue = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    *errnoValue = errno;
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    *errnoValue = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return Outcome::Failed;
  }
  return Outcome::Written;
}

// Reading a whole folder on every write would make filling a folder of N files cost N^2;
// leftovers are rare (a writer killed in a short window), so a folder is swept at its first
// write in a process and then at most once a minute.
bool sweepIsDue(const fs::path& folder) {
  struct Sweeps {
    std::mutex mutex;
    std::map<std::string, std::chrono::steady_clock::time_point> last;
  };
  static auto* sweeps = new Sweeps;  // never destroyed: writes may run while the process exits
  constexpr auto kInterval = std::chrono::minutes(1);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(sweeps->mutex);
  auto [entry, inserted] = sweeps->last.try_emplace(folder.string(), now);
  if (inserted) return true;
  if (now - entry->second < kInterval) return false;
  entry->second = now;
  return true;
}

bool writeAtomically(const fs::path& path, const Data& data, bool mayUseUnnamedFile,
                     ErrorPtr* error) {
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  if (sweepIsDue(folder)) removeTemporariesOfGoneWriters(folder);
  mode_t mode = 0600;
  if (struct stat existing{}; ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    mode = existing.st_mode & 0777;
  }
  int saved = 0;
  Outcome outcome = Outcome::Unsupported;
  if (mayUseUnnamedFile) {
    outcome = writeThroughUnnamedFile(path, folder, data, mode, &saved);
  }
  if (outcome == Outcome::Unsupported) {
    outcome = writeThroughNamedFile(path, data, mode, &saved);
  }
  if (outcome != Outcome::Written) {
    return fail(error, writeErrorCode(saved), path, saved);
  }
  // Without this the new name itself may be lost in a crash, leaving the old contents.
  if (!syncDirectory(folder)) {
    saved = errno;
    return fail(error, kFileWriteUnknownError, path, saved);
  }
  return true;
}

}  // namespace

fs::path applicationSupportDirectory() { return scopedPlace("XDG_DATA_HOME", ".local/share"); }

fs::path cachesDirectory() { return scopedPlace("XDG_CACHE_HOME", ".cache"); }

fs::path preferencesDirectory() { return scopedPlace("XDG_CONFIG_HOME", ".config"); }

fs::path temporaryDirectory() {
  std::error_code ignored;
  fs::path path = fs::temp_directory_path(ignored);
  return path.empty() ? fs::path("/tmp") : path;
}

bool createDirectory(const fs::path& path, bool withIntermediates, ErrorPtr* error,
                     DirectoryAccess access) {
  const mode_t mode = access == DirectoryAccess::OwnerOnly ? 0700 : 0777;
  if (!withIntermediates) {
    if (::mkdir(path.c_str(), mode) != 0) {
      int saved = errno;
      return fail(error, writeErrorCode(saved), path, saved);
    }
    return true;
  }
  // Made one by one, top down, so that each folder this call creates gets the mode and no
  // existing one is touched.
  std::vector<fs::path> missing;
  struct stat info {};
  for (fs::path step = path; !step.empty(); step = step.parent_path()) {
    if (::stat(step.c_str(), &info) == 0) {
      // Only the path itself can be something else: a file on the way up makes stat fail
      // with ENOTDIR below it.
      if (!S_ISDIR(info.st_mode)) {
        return fail(error, kFileWriteFileExistsError, path, EEXIST);
      }
      break;
    }
    if (errno != ENOENT) {
      int saved = errno;
      return fail(error, writeErrorCode(saved), path, saved);
    }
    missing.push_back(step);
    if (step == step.parent_path()) {
      break;
    }
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (::mkdir(folder->c_str(), mode) == 0) {
      continue;
    }
    int saved = errno;
    // Another process may create the same folder meanwhile; that is as good.
    if (saved != EEXIST || ::stat(folder->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return fail(error, writeErrorCode(saved), path, saved);
    }
  }
  return true;
}

bool writeFileAtomically(const fs::path& path, const Data& data, ErrorPtr* error) {
  return writeAtomically(path, data, /*mayUseUnnamedFile=*/true, error);
}

std::optional<Data> readFile(const fs::path& path, ErrorPtr* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int saved = errno;
    fail(error, readErrorCode(saved), path, saved);
    return std::nullopt;
  }
  Data data;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    data.vector().reserve(static_cast<std::size_t>(info.st_size));
  }
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) {
      break;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      int saved = errno;
      ::close(fd);
      fail(error, kFileReadUnknownError, path, saved);
      return std::nullopt;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return data;
}

bool fileExists(const fs::path& path, bool* isDirectory) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return false;
  }
  if (isDirectory) {
    *isDirectory = S_ISDIR(info.st_mode);
  }
  return true;
}

bool removeItem(const fs::path& path, ErrorPtr* error) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    int saved = errno;
    return fail(error, saved == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, path,
                saved);
  }
  std::error_code code;
  fs::remove_all(path, code);
  if (code) {
    return fail(error, writeErrorCode(code.value()), path, code.value());
  }
  return true;
}

bool moveItem(const fs::path& from, const fs::path& to, ErrorPtr* error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int saved = errno;
  if (saved == EINVAL || saved == ENOSYS) {
    // EINVAL is also what moving a folder into itself gives; the fallback's rename then
    // reports it again.
    return detail::moveItemWithoutNoReplaceFlag(from, to, error);
  }
  if (saved == ENOENT) {
    struct stat info {};
    // Either the source or the destination's folder is missing; the platform names the
    // source when it is the source.
    return fail(error, kFileNoSuchFileError, ::lstat(from.c_str(), &info) != 0 ? from : to, saved);
  }
  return fail(error, writeErrorCode(saved), saved == EEXIST ? to : from, saved);
}

namespace detail {

bool writeFileAtomicallyThroughNamedFile(const fs::path& path, const Data& data, ErrorPtr* error) {
  return writeAtomically(path, data, /*mayUseUnnamedFile=*/false, error);
}

bool moveItemWithoutNoReplaceFlag(const fs::path& from, const fs::path& to, ErrorPtr* error) {
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0) {
    int saved = errno;
    return fail(error, saved == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, from,
                saved);
  }
  if (S_ISDIR(info.st_mode)) {
    // Folders cannot be hard-linked, so this checks and then renames: another process
    // creating the destination in between would be replaced (if it is an empty folder).
    // Accepted for folders only, on file systems without the no-replace flag.
    struct stat existing {};
    if (::lstat(to.c_str(), &existing) == 0) {
      return fail(error, kFileWriteFileExistsError, to, EEXIST);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      int saved = errno;
      return fail(error, writeErrorCode(saved), from, saved);
    }
    return true;
  }
  // link() fails on an existing destination, so no window exists in which it is replaced.
  if (::link(from.c_str(), to.c_str()) != 0) {
    int saved = errno;
    return fail(error, writeErrorCode(saved), saved == EEXIST ? to : from, saved);
  }
  if (::unlink(from.c_str()) != 0) {
    int saved = errno;
    ::unlink(to.c_str());
    return fail(error, writeErrorCode(saved), from, saved);
  }
  return true;
}

}  // namespace detail

std::optional<std::vector<fs::path>> contentsOfDirectory(const fs::path& path, bool skipHidden,
                                                         ErrorPtr* error) {
  DIR* directory = ::opendir(path.c_str());
  if (!directory) {
    int saved = errno;
    fail(error, readErrorCode(saved), path, saved);
    return std::nullopt;
  }
  std::vector<std::string> names;
  int saved = 0;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(directory);
    if (!entry) {
      saved = errno;
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == ".." || (skipHidden && name.front() == '.')) {
      continue;
    }
    names.emplace_back(name);
  }
  ::closedir(directory);
  if (saved != 0) {
    fail(error, kFileReadUnknownError, path, saved);
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  std::vector<fs::path> entries;
  entries.reserve(names.size());
  for (const std::string& name : names) {
    entries.push_back(path / name);
  }
  return entries;
}

std::optional<std::uint64_t> fileSize(const fs::path& path, ErrorPtr* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    int saved = errno;
    fail(error, readErrorCode(saved), path, saved);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<Date> fileModificationDate(const fs::path& path, ErrorPtr* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    int saved = errno;
    fail(error, readErrorCode(saved), path, saved);
    return std::nullopt;
  }
  return Date::fromTimeIntervalSince1970(static_cast<double>(info.st_mtim.tv_sec) +
                                         static_cast<double>(info.st_mtim.tv_nsec) / 1e9);
}

}  // namespace platform
