// VirtualFolder, VirtualSubFolder, VirtualFile: the in-memory folder trees of the reorganise
// flow (the scanned folder, the proposed tree and the applied one), and the scan that reads
// the first from disk. Nodes are shared, never copied; arrays keep insertion order.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// A file leaf. In a scanned tree its relative path says where the file is; in a proposed
// tree, where it is to go.
class VirtualFile {
 public:
  VirtualFile(std::string name, std::filesystem::path sourceURL, std::string relativePath);

  const std::string& name() const { return name_; }
  const std::filesystem::path& sourceURL() const { return sourceURL_; }
  const std::string& relativePath() const { return relativePath_; }
  void setRelativePath(std::string relativePath) { relativePath_ = std::move(relativePath); }

 private:
  std::string name_;
  std::filesystem::path sourceURL_;
  std::string relativePath_;
};

// A folder below the root; its relative path is "/"-separated, without leading or
// trailing "/".
class VirtualSubFolder {
 public:
  VirtualSubFolder(std::string name, std::string relativePath);

  const std::string& name() const { return name_; }
  const std::string& relativePath() const { return relativePath_; }
  void setRelativePath(std::string relativePath) { relativePath_ = std::move(relativePath); }
  std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders() { return subFolders_; }
  const std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders() const { return subFolders_; }
  std::vector<std::shared_ptr<VirtualFile>>& files() { return files_; }
  const std::vector<std::shared_ptr<VirtualFile>>& files() const { return files_; }

  // Files here and at any depth below.
  std::size_t totalFileCount() const;
  // Folders below at any depth, this one not counted.
  std::size_t totalSubFolderCount() const;

 private:
  std::string name_;
  std::string relativePath_;
  std::vector<std::shared_ptr<VirtualSubFolder>> subFolders_;
  std::vector<std::shared_ptr<VirtualFile>> files_;
};

// The root of a tree: the folder on disk it describes.
class VirtualFolder {
 public:
  VirtualFolder(std::string name, std::filesystem::path rootURL);
  // A root named after the folder's last path component.
  explicit VirtualFolder(const std::filesystem::path& rootURL);

  const std::string& name() const { return name_; }
  const std::filesystem::path& rootURL() const { return rootURL_; }
  std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders() { return subFolders_; }
  const std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders() const { return subFolders_; }
  std::vector<std::shared_ptr<VirtualFile>>& files() { return files_; }
  const std::vector<std::shared_ptr<VirtualFile>>& files() const { return files_; }

  // Both walks go through the root's files first, then each sub-folder depth first, its
  // own files before its sub-folders. Only files contribute.
  void collectRelativePaths(std::vector<std::string>& paths) const;
  // The tree's own file objects whose source is not in `placed`.
  void collectFilesNotIn(const std::set<std::filesystem::path>& placed,
                         std::vector<std::shared_ptr<VirtualFile>>& files) const;

 private:
  std::string name_;
  std::filesystem::path rootURL_;
  std::vector<std::shared_ptr<VirtualSubFolder>> subFolders_;
  std::vector<std::shared_ptr<VirtualFile>> files_;
};

// Fills `node` with the entries of `directory`, depth first, skipping hidden entries; each
// relative path is the entry's path with the leading `rootURL` removed. A directory that
// cannot be listed (or whose entry cannot be read) writes "Error while enumerating folder
// ..." to standard output and keeps what was read before. Symbolic links are files.
void loadFolderTree(VirtualFolder& node, const std::filesystem::path& directory,
                    const std::filesystem::path& rootURL);
void loadFolderTree(VirtualSubFolder& node, const std::filesystem::path& directory,
                    const std::filesystem::path& rootURL);

// The dropped folder's tree: a root for `folder`, filled by loadFolderTree.
std::shared_ptr<VirtualFolder> scanFolder(const std::filesystem::path& folder);

// Files `file` below `folder` along its relative path (whose first component names `folder`
// itself), creating the missing sub-folders.
void insertFileAtPath(const std::shared_ptr<VirtualFile>& file, VirtualSubFolder& folder);

// The text without its leading and trailing "/".
std::string_view trimSlashes(std::string_view text);

// `root` with a "/"-separated relative path appended; leading "/" of the relative path do
// not make it absolute.
std::filesystem::path appendRelativePath(const std::filesystem::path& root,
                                         const std::string& relativePath);

// A file location written as the platform writes a file URL: "file://" and the
// percent-encoded path, with a trailing "/" for a directory.
std::string fileURLDescription(const std::filesystem::path& path, bool isDirectory = false);
