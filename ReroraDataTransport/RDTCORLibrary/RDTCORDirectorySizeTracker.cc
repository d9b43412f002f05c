#include "ReroraDataTransport/RDTCORLibrary/RDTCORDirectorySizeTracker.h"

#include <algorithm>
#include <system_error>
#include <utility>

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
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(
        directoryPath_, std::filesystem::directory_options::skip_permission_denied, ec);
    const std::filesystem::recursive_directory_iterator end;
    while (!ec && it != end) {
      const std::filesystem::directory_entry& entry = *it;
      const std::string name = entry.path().filename().string();
      if (!name.empty() && name.front() == '.') {
        if (entry.is_directory(ec)) it.disable_recursion_pending();
      } else if (std::error_code fileEc;
                 std::filesystem::is_regular_file(entry.symlink_status(fileEc))) {
        // A link is not a regular file of the tree, whatever it points to.
        const std::uint64_t size = fileSizeAtURL(entry.path());
        knownSizes_[entry.path().string()] = size;
        total += size;
      }
      // A vanished or unreadable entry is skipped; the walk goes on with the next one.
      it.increment(ec);
      if (ec) ec.clear();
    }
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
