#include "vilmo/reorg/ReorgApply.h"

#include <sys/stat.h>

#include <iostream>
#include <system_error>

#include "platform/error.h"
#include "platform/files.h"
#include "vilmo/reorg/Containment.h"
#include "vilmo/reorg/FolderResponse.h"

namespace fs = std::filesystem;

namespace {

// Where a node of a tree stands on disk, spelled one way so that the scanned and the
// proposed trees' folders compare equal.
fs::path locationOf(const fs::path& rootURL, const std::string& relativePath) {
  return appendRelativePath(rootURL, relativePath).lexically_normal();
}

platform::ErrorPtr outsideError(const fs::path& path) {
  return platform::makeError(
      platform::kCocoaErrorDomain, platform::kFileWriteNoPermissionError,
      platform::Dictionary{
          {platform::kFilePathErrorKey, path.string()},
          {platform::kLocalizedDescriptionKey,
           "“" + path.filename().string() + "” lies outside the folder being organised."}});
}

platform::ErrorPtr noDestinationError(const fs::path& source) {
  return platform::makeError(
      platform::kCocoaErrorDomain, platform::kFileWriteUnknownError,
      platform::Dictionary{
          {platform::kFilePathErrorKey, source.string()},
          {platform::kLocalizedDescriptionKey,
           "“" + source.filename().string() + "” has no new path in the folder being organised."}});
}

// A file the tree leaves where it is, which no move can put there, counts as placed; one
// that has gone since the scan does not.
bool isAlreadyThere(const fs::path& source, const fs::path& destination, Containment& containment) {
  std::error_code error;
  return containment.sameEntry(source, destination) &&
         fs::exists(fs::symlink_status(source, error));
}

template <typename Proposed, typename Applied>
void moveInto(const Proposed& proposed, const fs::path& rootURL, Containment& containment,
              std::set<fs::path>& targets, Applied& applied) {
  for (const auto& folder : proposed.subFolders()) {
    fs::path location = locationOf(rootURL, folder->relativePath());
    targets.insert(location);
    if (!platform::fileExists(location)) {
      platform::ErrorPtr error;
      if (!containment.holds(location)) {
        error = outsideError(location);
      } else {
        platform::createDirectory(location, /*withIntermediates=*/true, &error);
      }
      if (error) {
        std::cout << "Error creating directory: " << error->description() << std::endl;
      }
    }
    auto mirror = std::make_shared<VirtualSubFolder>(folder->name(), folder->relativePath());
    moveInto(*folder, rootURL, containment, targets, *mirror);
    applied.subFolders().push_back(std::move(mirror));
  }
  for (const auto& file : proposed.files()) {
    fs::path destination = appendRelativePath(rootURL, file->relativePath());
    platform::ErrorPtr error;
    if (!containment.holds(file->sourceURL().parent_path())) {
      error = outsideError(file->sourceURL());
    } else if (containment.isRoot(destination)) {
      error = noDestinationError(file->sourceURL());
    } else if (!containment.holds(destination.parent_path())) {
      error = outsideError(destination);
    } else if (platform::moveItem(file->sourceURL(), destination, &error) ||
               isAlreadyThere(file->sourceURL(), destination, containment)) {
      applied.files().push_back(
          std::make_shared<VirtualFile>(file->name(), destination, file->relativePath()));
      continue;
    }
    std::cout << "Error moving file: " << error->description() << std::endl;
  }
}

// Whether nothing but directories is left at and below `directory`, none of them a folder
// of the proposed tree. A missing directory counts as empty, so that its removal reports.
bool holdsOnlyEmptyDirectories(const fs::path& directory, const std::set<fs::path>& targets) {
  struct stat status {};
  if (::lstat(directory.c_str(), &status) != 0) {
    return true;
  }
  if (!S_ISDIR(status.st_mode)) {
    return false;
  }
  std::error_code error;
  fs::recursive_directory_iterator walk(directory, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    if (!walk->is_directory(error) || walk->is_symlink(error) || targets.contains(walk->path())) {
      return false;
    }
  }
  return !error;
}

void removeBelow(const std::vector<std::shared_ptr<VirtualSubFolder>>& folders,
                 const fs::path& rootURL, const std::set<fs::path>& targets) {
  for (const auto& folder : folders) {
    fs::path old = locationOf(rootURL, folder->relativePath());
    if (targets.contains(old)) {
      removeBelow(folder->subFolders(), rootURL, targets);
      continue;
    }
    if (!holdsOnlyEmptyDirectories(old, targets)) {
      continue;
    }
    platform::ErrorPtr error;
    if (!platform::removeItem(old, &error)) {
      std::cout << "Error deleting directory: " << error->description() << std::endl;
    }
  }
}

}  // namespace

void moveFilesIntoTree(const VirtualFolder& proposed, const fs::path& rootURL,
                       std::set<fs::path>& targets, VirtualFolder& applied) {
  Containment containment(rootURL);
  moveInto(proposed, rootURL, containment, targets, applied);
}

void removeEmptiedDirectories(const VirtualFolder& scanned, const std::set<fs::path>& targets) {
  removeBelow(scanned.subFolders(), scanned.rootURL(), targets);
}

std::shared_ptr<VirtualFolder> applyProposedTree(const VirtualFolder& proposed,
                                                 const VirtualFolder& scanned) {
  const fs::path& rootURL = scanned.rootURL();
  auto applied = std::make_shared<VirtualFolder>(rootURL);
  std::set<fs::path> targets;
  moveFilesIntoTree(proposed, rootURL, targets, *applied);
  removeEmptiedDirectories(scanned, targets);
  return applied;
}

void printAppliedFolderContents(const VirtualFolder& applied, std::ostream& out) {
  out << "Applied Folder Contents:\n";
  printAppliedFolder(applied, out);
}
