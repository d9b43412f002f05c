// Files and places: where the program keeps its data (Application Support, Caches,
// Preferences) and the few file operations it needs, with the platform's error codes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/data.h"
#include "platform/date.h"
#include "platform/error.h"

namespace platform {

// Codes of failed file operations, in kCocoaErrorDomain. Each such error carries the path
// under kFilePathErrorKey and, where the system refused, a kPOSIXErrorDomain error
// (code errno) as its underlying error.
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
inline constexpr std::int64_t kFileNoSuchFileError = 4;
inline constexpr std::int64_t kFileReadUnknownError = 256;
inline constexpr std::int64_t kFileReadNoSuchFileError = 260;
inline constexpr std::int64_t kFileWriteUnknownError = 512;
inline constexpr std::int64_t kFileWriteNoPermissionError = 513;
inline constexpr std::int64_t kFileWriteFileExistsError = 516;

// Per-user folders, each scoped to the main bundle's identifier:
// $XDG_DATA_HOME, $XDG_CACHE_HOME and $XDG_CONFIG_HOME (or ~/.local/share, ~/.cache and
// ~/.config) followed by /<bundleIdentifier>. The variables and HOME are read at each
// call. Like the platform's getters, these return the path without creating it.
std::filesystem::path applicationSupportDirectory();
std::filesystem::path cachesDirectory();
std::filesystem::path preferencesDirectory();
// $TMPDIR, or /tmp.
std::filesystem::path temporaryDirectory();

// Who may enter the folders createDirectory makes. Our own folders that hold identifiers,
// tokens, settings or queued data are OwnerOnly (0700); a folder the user chose follows the
// umask like any other.
enum class DirectoryAccess { FollowUmask, OwnerOnly };

// Creating a folder that already exists succeeds with intermediates and fails with
// kFileWriteFileExistsError without; a missing parent without intermediates is
// kFileNoSuchFileError. The access applies to each folder this call creates; folders that
// already exist keep their mode.
bool createDirectory(const std::filesystem::path& path, bool withIntermediates,
                     ErrorPtr* error = nullptr,
                     DirectoryAccess access = DirectoryAccess::FollowUmask);

// Replaces the file's contents all at once: a reader sees the old or the new contents,
// never a mix, and after a crash or a kill at any point the file holds one or the other.
// The folder must exist. A new file is 0600, whatever the umask, since every writer holds
// private data; a rewrite keeps the existing file's mode. A killed writer leaves no
// temporary file behind for good: the data goes to an unnamed file where the file system
// allows it, and named leftovers of writers that are gone are removed by the next write in
// the folder.
bool writeFileAtomically(const std::filesystem::path& path, const Data& data,
                         ErrorPtr* error = nullptr);
// A missing file is kFileReadNoSuchFileError; any other failure kFileReadUnknownError.
std::optional<Data> readFile(const std::filesystem::path& path, ErrorPtr* error = nullptr);

// Follows symbolic links.
bool fileExists(const std::filesystem::path& path, bool* isDirectory = nullptr);

// Removes a file or a whole folder. A missing item is kFileNoSuchFileError.
bool removeItem(const std::filesystem::path& path, ErrorPtr* error = nullptr);

// Moves a file or folder and never replaces what is already at the destination: that
// fails with kFileWriteFileExistsError and leaves both in place. A missing source is
// kFileNoSuchFileError. Moves within one file system only.
bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to,
              ErrorPtr* error = nullptr);

// The entries of a folder as full paths, sorted by name; with skipHidden, names starting
// with "." are left out. None (and an error) when the folder cannot be read.
std::optional<std::vector<std::filesystem::path>>
contentsOfDirectory(const std::filesystem::path& path, bool skipHidden, ErrorPtr* error = nullptr);

std::optional<std::uint64_t> fileSize(const std::filesystem::path& path, ErrorPtr* error = nullptr);
std::optional<Date> fileModificationDate(const std::filesystem::path& path,
                                         ErrorPtr* error = nullptr);

namespace detail {
// The move used when the file system refuses the no-replace flag; exposed so that tests
// exercise it on any file system.
bool moveItemWithoutNoReplaceFlag(const std::filesystem::path& from,
                                  const std::filesystem::path& to, ErrorPtr* error);
// The atomic write used when the file system has no unnamed files: a hidden temporary file
// named after the writer's process, renamed into place; exposed so that tests exercise it on
// any file system.
bool writeFileAtomicallyThroughNamedFile(const std::filesystem::path& path, const Data& data,
                                         ErrorPtr* error);
}  // namespace detail

}  // namespace platform
