#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/bundle.h"

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
  if (const char* home = std::getenv("HOME"); home && *home) {
    return home;
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
  if (const char* value = std::getenv(variable); value && value[0] == '/') {
    base = value;
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

// A hidden name in the destination's folder, unique within the process by the counter and
// across processes by the process id; a leftover of a crashed process is stepped over.
int createTemporaryBeside(const fs::path& path, fs::path* temporaryPath) {
  static std::atomic<std::uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = path.parent_path() /
                         ("." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                          "-" + std::to_string(counter.fetch_add(1)));
    // Mode 0666 so that the umask decides, as for any newly written file.
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      *temporaryPath = candidate;
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
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

bool createDirectory(const fs::path& path, bool withIntermediates, ErrorPtr* error) {
  if (withIntermediates) {
    std::error_code code;
    fs::create_directories(path, code);
    if (!code) {
      return true;
    }
    // create_directories reports a file already at the path as ENOTDIR; the platform calls
    // that an existing item.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
      return fail(error, kFileWriteFileExistsError, path, EEXIST);
    }
    return fail(error, writeErrorCode(code.value()), path, code.value());
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    int saved = errno;
    return fail(error, writeErrorCode(saved), path, saved);
  }
  return true;
}

bool writeFileAtomically(const fs::path& path, const Data& data, ErrorPtr* error) {
  fs::path temporary;
  int fd = createTemporaryBeside(path, &temporary);
  if (fd < 0) {
    int saved = errno;
    return fail(error, writeErrorCode(saved), path, saved);
  }
  bool written = writeAll(fd, data) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return fail(error, writeErrorCode(saved), path, saved);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    saved = errno;
    ::unlink(temporary.c_str());
    return fail(error, writeErrorCode(saved), path, saved);
  }
  // Without this the rename itself may be lost in a crash, leaving the old contents.
  if (!syncDirectory(path.parent_path().empty() ? fs::path(".") : path.parent_path())) {
    saved = errno;
    return fail(error, kFileWriteUnknownError, path, saved);
  }
  return true;
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
