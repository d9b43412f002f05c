// FolderResponse, FolderContent: the naming service's answer to a reorganise request, and
// the proposed tree built from it with an "others" folder for every file it leaves out.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/data.h"
#include "vilmo/reorg/VirtualFolder.h"

// One entry of the answer: a "folder" with its contents or a "file" with its current and
// new relative paths. Entries of any other type are ignored with their children.
struct FolderContent {
  std::optional<std::vector<FolderContent>> contents;
  std::optional<std::string> folderName;
  std::optional<std::string> newPath;
  std::optional<std::string> sourcePath;
  std::string type;

  friend bool operator==(const FolderContent&, const FolderContent&) = default;
};

// The answer's root object; only its contents are used.
struct FolderResponse {
  std::vector<FolderContent> contents;
  std::string folderName;
  std::string type;

  friend bool operator==(const FolderResponse&, const FolderResponse&) = default;

  // A readable one-line form, written to the console after decoding.
  std::string description() const;
};

inline constexpr char kOthersFolderName[] = "others";

// Decodes the answer as a strict decoder would: keys not listed are ignored, an optional key
// may be absent or null, a missing required key or a value of the wrong JSON type fails.
// On failure, none and a description of what was wrong in `errorDescription`.
std::optional<FolderResponse> decodeFolderResponse(const platform::Data& data,
                                                   std::string* errorDescription = nullptr);

// Adds the entries of one level below `parent` (a root or a sub-folder), recursing into
// folders. A file entry is placed when something exists at its source below `rootURL`; its
// location then joins `placed`. Names that would reach outside the dropped folder ("..",
// an absolute new path, NUL, an empty source, a link inside it that leads elsewhere) are
// not placed; such a folder is skipped with its children.
void buildFolderTree(const std::vector<FolderContent>& entries, VirtualFolder& parent,
                     const std::string& parentPath, const std::filesystem::path& rootURL,
                     std::set<std::filesystem::path>& placed);
void buildFolderTree(const std::vector<FolderContent>& entries, VirtualSubFolder& parent,
                     const std::string& parentPath, const std::filesystem::path& rootURL,
                     std::set<std::filesystem::path>& placed);

// The proposed tree for `scanned`: the answer's folders and placed files, then, last, an
// "others" folder holding every scanned file not placed, under its old path.
std::shared_ptr<VirtualFolder> makeProposedTree(const FolderResponse& response,
                                                const VirtualFolder& scanned);

// Folders of the tree at every depth ("folder_created").
std::size_t totalFolderCount(const VirtualFolder& root);

// One line per node: each top-level folder ("Folder: ") with its files ("  File: ") and
// then its sub-folders at any depth ("  Folder: ", their files "    File: "); last the
// root's own files ("File: ").
void printAppliedFolder(const VirtualFolder& root, std::ostream& out);
