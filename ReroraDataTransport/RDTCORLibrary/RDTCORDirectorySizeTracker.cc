#include "ReroraDataTransport/RDTCORLibrary/RDTCORDirectorySizeTracker.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

RDTCORDirectorySizeTracker::RDTCORDirectorySizeTracker(std::string directoryPath)
    : directoryPath_(std::move(directoryPath)) {}

std::uint64_t RDTCORDirectorySizeTracker::directoryContentSize() {
  std::lock_guard lock(mutex_);
  return contentSizeLocked();
}

std::uint64_t RDTCORDirectorySizeTracker::contentSizeLocked() {
  if (!cachedSizeBytes_) {
    knownSizes_.clear();
    std::uint64_t total = 0;
    RDTCORWalkDirectory(
        directoryPath_, kMaxWalkDepth,
        [&](const std::filesystem::path& path, std::filesystem::file_status status) {
          const std::string name = path.filename().string();
          if (!name.empty() && name.front() == '.') return false;
          // A link is not a regular file of the tree, whatever it names.
          if (std::filesystem::is_regular_file(status)) {
            const std::uint64_t size = fileSizeAtURL(path);
            knownSizes_[path.string()] = size;
            total += size;
          }
          return true;
        });
    cachedSizeBytes_ = total;
  }
  return *cachedSizeBytes_;
}

void RDTCORDirectorySizeTracker::fileWasAddedAtPath(std::string_view path, std::uint64_t size) {
  if (!path.starts_with(directoryPath_)) return;
  std::lock_guard lock(mutex_);
  std::uint64_t total = contentSizeLocked();
  const auto known = knownSizes_.find(path);
  if (known != knownSizes_.end()) {
    total -= std::min(total, known->second);
    known->second = size;
  } else {
    knownSizes_.emplace(std::string(path), size);
  }
  cachedSizeBytes_ = total + size;
}

void RDTCORDirectorySizeTracker::fileWasRemovedAtPath(std::string_view path, std::uint64_t size) {
  if (!path.starts_with(directoryPath_)) return;
  std::lock_guard lock(mutex_);
  const std::uint64_t total = contentSizeLocked();
  if (const auto known = knownSizes_.find(path); known != knownSizes_.end()) {
    knownSizes_.erase(known);
  }
  cachedSizeBytes_ = total - std::min(total, size);
}

void RDTCORDirectorySizeTracker::resetCachedSize() {
  std::lock_guard lock(mutex_);
  cachedSizeBytes_.reset();
  knownSizes_.clear();
}

std::uint64_t RDTCORDirectorySizeTracker::calculateDirectoryContentSize() {
  std::lock_guard lock(mutex_);
  cachedSizeBytes_.reset();
  return contentSizeLocked();
}

std::uint64_t RDTCORDirectorySizeTracker::fileSizeAtURL(const std::filesystem::path& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

void RDTCORWalkDirectory(
    const std::filesystem::path& root, std::size_t maxDepth,
    const std::function<bool(const std::filesystem::path&, std::filesystem::file_status)>& visit) {
  namespace fs = std::filesystem;
  // One open folder per level, the root first, so the stack's size is the depth of the entries
  // of the folder on top. A folder or entry that fails (vanished, unreadable, out of
  // descriptors) is skipped and the walk goes on with the rest; a recursive iterator would
  // instead end the whole walk at the first failure.
  std::vector<fs::directory_iterator> folders;
  std::error_code ec;
  folders.emplace_back(root, ec);
  if (ec) return;
  while (!folders.empty()) {
    fs::directory_iterator& current = folders.back();
    if (current == fs::directory_iterator()) {
      folders.pop_back();
      continue;
    }
    const fs::path path = current->path();
    std::error_code statusEc;
    const fs::file_status status = current->symlink_status(statusEc);
    const std::size_t depth = folders.size();
    current.increment(ec);
    if (ec) {
      // The rest of this folder cannot be listed; its parent's remaining entries still can.
      folders.pop_back();
      ec.clear();
    }
    if (statusEc) continue;
    const bool enter = visit(path, status);
    if (enter && fs::is_directory(status) && depth <= maxDepth) {
      std::error_code openEc;
      fs::directory_iterator inner(path, openEc);
      if (!openEc) folders.push_back(std::move(inner));
    }
  }
}
