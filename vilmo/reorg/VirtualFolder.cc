#include "vilmo/reorg/VirtualFolder.h"

#include <sys/stat.h>

#include <cerrno>
#include <iostream>
#include <string_view>
#include <utility>

#include "platform/error.h"
#include "platform/files.h"

namespace fs = std::filesystem;

VirtualFile::VirtualFile(std::string name, fs::path sourceURL, std::string relativePath)
    : name_(std::move(name)), sourceURL_(std::move(sourceURL)),
      relativePath_(std::move(relativePath)) {}

VirtualSubFolder::VirtualSubFolder(std::string name, std::string relativePath)
    : name_(std::move(name)), relativePath_(std::move(relativePath)) {}

std::size_t VirtualSubFolder::totalFileCount() const {
  std::size_t count = files_.size();
  for (const auto& folder : subFolders_) {
    count += folder->totalFileCount();
  }
  return count;
}

std::size_t VirtualSubFolder::totalSubFolderCount() const {
  std::size_t count = subFolders_.size();
  for (const auto& folder : subFolders_) {
    count += folder->totalSubFolderCount();
  }
  return count;
}

VirtualFolder::VirtualFolder(std::string name, fs::path rootURL)
    : name_(std::move(name)), rootURL_(std::move(rootURL)) {}

VirtualFolder::VirtualFolder(const fs::path& rootURL)
    : VirtualFolder(rootURL.has_filename() ? rootURL.filename().string()
                                           : rootURL.parent_path().filename().string(),
                    rootURL) {}

namespace {

void collectPaths(const VirtualSubFolder& folder, std::vector<std::string>& paths) {
  for (const auto& file : folder.files()) {
    paths.push_back(file->relativePath());
  }
  for (const auto& child : folder.subFolders()) {
    collectPaths(*child, paths);
  }
}

void collectUnplaced(const VirtualSubFolder& folder, const std::set<fs::path>& placed,
                     std::vector<std::shared_ptr<VirtualFile>>& files) {
  for (const auto& file : folder.files()) {
    if (!placed.contains(file->sourceURL())) {
      files.push_back(file);
    }
  }
  for (const auto& child : folder.subFolders()) {
    collectUnplaced(*child, placed, files);
  }
}

// Only the leading occurrence of the root's path goes: a folder inside the root that
// repeats the root's name keeps it.
std::string relativePathBelow(const fs::path& entry, const fs::path& rootURL) {
  std::string_view path = entry.native();
  std::string_view root = rootURL.native();
  while (root.size() > 1 && root.back() == '/') {
    root.remove_suffix(1);
  }
  if (path.starts_with(root)) {
    path.remove_prefix(root.size());
  }
  return std::string(trimSlashes(path));
}

void reportEnumerationError(const fs::path& directory, const platform::Error& error) {
  std::cout << "Error while enumerating folder " << fileURLDescription(directory, true) << ": "
            << error.localizedDescription() << std::endl;
}

template <typename Node>
void loadInto(Node& node, const fs::path& directory, const fs::path& rootURL) {
  platform::ErrorPtr error;
  auto entries = platform::contentsOfDirectory(directory, /*skipHidden=*/true, &error);
  if (!entries) {
    reportEnumerationError(directory, *error);
    return;
  }
  for (const fs::path& entry : *entries) {
    // The entry's own kind, not its link target's: a link to a folder is not walked into,
    // so the scan stays inside the dropped folder and cannot loop.
    struct stat status {};
    if (::lstat(entry.c_str(), &status) != 0) {
      int code = errno;
      reportEnumerationError(
          directory,
          platform::Error(platform::kCocoaErrorDomain,
                          code == ENOENT ? platform::kFileReadNoSuchFileError
                                         : platform::kFileReadUnknownError,
                          platform::Dictionary{{platform::kFilePathErrorKey, entry.string()}},
                          platform::makeError(platform::kPOSIXErrorDomain, code)));
      return;
    }
    std::string name = entry.filename().string();
    std::string relativePath = relativePathBelow(entry, rootURL);
    if (S_ISDIR(status.st_mode)) {
      auto folder = std::make_shared<VirtualSubFolder>(std::move(name), std::move(relativePath));
      node.subFolders().push_back(folder);
      loadInto(*folder, entry, rootURL);
    } else {
      node.files().push_back(
          std::make_shared<VirtualFile>(std::move(name), entry, std::move(relativePath)));
    }
  }
}

}  // namespace

void VirtualFolder::collectRelativePaths(std::vector<std::string>& paths) const {
  for (const auto& file : files_) {
    paths.push_back(file->relativePath());
  }
  for (const auto& folder : subFolders_) {
    collectPaths(*folder, paths);
  }
}

void VirtualFolder::collectFilesNotIn(const std::set<fs::path>& placed,
                                      std::vector<std::shared_ptr<VirtualFile>>& files) const {
  for (const auto& file : files_) {
    if (!placed.contains(file->sourceURL())) {
      files.push_back(file);
    }
  }
  for (const auto& folder : subFolders_) {
    collectUnplaced(*folder, placed, files);
  }
}

void loadFolderTree(VirtualFolder& node, const fs::path& directory, const fs::path& rootURL) {
  loadInto(node, directory, rootURL);
}

void loadFolderTree(VirtualSubFolder& node, const fs::path& directory, const fs::path& rootURL) {
  loadInto(node, directory, rootURL);
}

std::shared_ptr<VirtualFolder> scanFolder(const fs::path& folder) {
  auto root = std::make_shared<VirtualFolder>(folder);
  loadFolderTree(*root, folder, folder);
  return root;
}

void insertFileAtPath(const std::shared_ptr<VirtualFile>& file, VirtualSubFolder& folder) {
  std::vector<std::string> components;
  std::string_view rest = file->relativePath();
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (!component.empty()) {
      components.emplace_back(component);
    }
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  VirtualSubFolder* current = &folder;
  for (std::size_t i = 1; i + 1 < components.size(); ++i) {
    const std::string& component = components[i];
    VirtualSubFolder* next = nullptr;
    for (const auto& child : current->subFolders()) {
      if (child->name() == component) {
        next = child.get();
        break;
      }
    }
    if (!next) {
      auto created =
          std::make_shared<VirtualSubFolder>(component, current->relativePath() + "/" + component);
      current->subFolders().push_back(created);
      next = created.get();
    }
    current = next;
  }
  current->files().push_back(file);
}

fs::path appendRelativePath(const fs::path& root, const std::string& relativePath) {
  std::string_view relative = relativePath;
  while (!relative.empty() && relative.front() == '/') {
    relative.remove_prefix(1);
  }
  return relative.empty() ? root : root / fs::path(relative);
}

std::string fileURLDescription(const fs::path& path, bool isDirectory) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (unsigned char c : path.native()) {
    bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("-._~/!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      text += static_cast<char>(c);
    } else {
      text += '%';
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  if (isDirectory && (text.empty() || text.back() != '/')) {
    text += '/';
  }
  return text;
}

std::string_view trimSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == '/') {
    text.remove_suffix(1);
  }
  return text;
}
