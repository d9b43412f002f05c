// ReorgScreens: what the reorganise flow's screens share: the counts a tree's summary shows
// and the banner of the preview and finished screens.
#pragma once

#include <cstdint>
#include <string>

class VirtualFolder;

// Every file at every depth: the root's own files plus each top-level folder's total.
std::int64_t treeFileCount(const VirtualFolder& folder);
// Every folder at every depth below the root.
std::int64_t treeSubFolderCount(const VirtualFolder& folder);

// The banner of the preview and finished screens: n files at every depth and m top-level
// folders (nested ones are not counted), in the localised format.
inline constexpr char kReorgBannerFormat[] = "%lld files restructured into %lld new folders!";
std::string reorgBannerText(const VirtualFolder& folder, const std::string& localizedFormat);
