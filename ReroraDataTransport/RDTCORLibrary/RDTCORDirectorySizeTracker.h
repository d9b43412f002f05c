// RDTCORDirectorySizeTracker: how many bytes the files under one folder take, walked once and
// then kept up to date from the additions and removals the store reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class RDTCORDirectorySizeTracker {
 public:
  explicit RDTCORDirectorySizeTracker(std::string directoryPath);

  const std::string& directoryPath() const { return directoryPath_; }
  // The cached total, walking the folder first when it is unknown.
  std::uint64_t directoryContentSize();
  // For paths under the folder (a plain prefix test); others are ignored. A file written
  // over one the tracker already counted replaces that file's size instead of adding to it.
  void fileWasAddedAtPath(std::string_view path, std::uint64_t size);
  // Never takes the total below 0.
  void fileWasRemovedAtPath(std::string_view path, std::uint64_t size);
  // Forgets the total: the next query walks again.
  void resetCachedSize();

  // Walks again: regular, non-hidden files of the tree, each added up once; the result
  // becomes the cached total.
  std::uint64_t calculateDirectoryContentSize();
  static std::uint64_t fileSizeAtURL(const std::filesystem::path& path);

 private:
  std::uint64_t contentSizeLocked();

  const std::string directoryPath_;
  std::mutex mutex_;
  std::optional<std::uint64_t> cachedSizeBytes_;
  // The size each counted file had when it was last walked or reported.
  std::map<std::string, std::uint64_t, std::less<>> knownSizes_;
};
