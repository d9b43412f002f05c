// Reorganise fixtures: folders laid out on disk from a list of relative paths, and the
// list read back, so tests state a whole folder before and after in one line each.
#pragma once

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/files.h"

namespace reorg_fixtures {

// Entries ending in "/" are folders; every other entry is a file holding its own path.
inline void makeTree(const std::filesystem::path& root, const std::vector<std::string>& entries) {
  if (!platform::createDirectory(root, true)) {
    throw std::runtime_error("cannot create " + root.string());
  }
  for (const std::string& entry : entries) {
    std::filesystem::path path = root / entry;
    if (entry.ends_with('/')) {
      if (!platform::createDirectory(path, true)) {
        throw std::runtime_error("cannot create " + path.string());
      }
      continue;
    }
    if (!platform::createDirectory(path.parent_path(), true) ||
        !platform::writeFileAtomically(path, platform::Data::fromString(entry))) {
      throw std::runtime_error("cannot write " + path.string());
    }
  }
}

// Every entry below `root`, hidden ones and links included, sorted; folders end in "/".
inline std::vector<std::string> listTree(const std::filesystem::path& root) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string relative = entry.path().lexically_relative(root).string();
    if (entry.is_directory() && !entry.is_symlink()) {
      relative += "/";
    }
    entries.push_back(relative);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

inline std::string contentsOf(const std::filesystem::path& path) {
  std::optional<platform::Data> data = platform::readFile(path);
  return data ? data->toString() : "<missing>";
}

}  // namespace reorg_fixtures
