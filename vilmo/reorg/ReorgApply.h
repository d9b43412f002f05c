// ReorgApply: turns a proposed tree into reality inside the dropped folder: creates the
// folders, moves the files without ever replacing one, and removes the old directories
// that the moves left holding nothing but empty directories. Runs on the calling thread.
#pragma once

#include <filesystem>
#include <memory>
#include <ostream>
#include <set>

#include "vilmo/reorg/VirtualFolder.h"

// Applies `proposed` over the folder `scanned` was read from and returns the applied tree:
// every proposed folder, and only the files that moved, each with its new location as
// source. Failures write "Error creating directory: ", "Error moving file: " or "Error
// deleting directory: " lines to standard output and the walk goes on.
std::shared_ptr<VirtualFolder> applyProposedTree(const VirtualFolder& proposed,
                                                 const VirtualFolder& scanned);

// The steps of applyProposedTree. `targets` collects the location of every proposed
// folder; `applied` mirrors `proposed`.
void moveFilesIntoTree(const VirtualFolder& proposed, const std::filesystem::path& rootURL,
                       std::set<std::filesystem::path>& targets, VirtualFolder& applied);
// Removes each old sub-directory of `scanned` that is not a target and holds no file, link
// or other non-directory entry at any depth (hidden ones included); within a target it
// looks at the target's own old sub-directories.
void removeEmptiedDirectories(const VirtualFolder& scanned,
                              const std::set<std::filesystem::path>& targets);

// "Applied Folder Contents:" followed by the tree's dump.
void printAppliedFolderContents(const VirtualFolder& applied, std::ostream& out);
