// RDTCORDirectorySizeTracker: how many bytes the files under one folder take, walked once and
// then kept up to date from the additions and removals the store reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

  // How many levels of folders below the tracked one are walked: nothing the store writes
  // lies deeper than two levels, and a bound keeps a hostile tree from holding a descriptor
  // per level without limit.
  static constexpr std::size_t kMaxWalkDepth = 16;

  // Walks again: regular, non-hidden files of the tree, each added up once; hidden folders,
  // links and entries that cannot be read are skipped. The result becomes the cached total.
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

// Visits every entry below root, depth first, with the entry's own status (a link's, never its
// target's); visit answers whether to go into the entry when it is a folder. Links are never
// followed, and folders more than maxDepth levels below root are not entered. An entry or a
// folder that fails (vanished, unreadable, out of descriptors) is skipped and the walk goes on.
void RDTCORWalkDirectory(
    const std::filesystem::path& root, std::size_t maxDepth,
    const std::function<bool(const std::filesystem::path&, std::filesystem::file_status)>& visit);
