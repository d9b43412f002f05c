#include "vilmo/reorg/ReorgScreens.h"

#include "platform/format.h"
#include "vilmo/reorg/VirtualFolder.h"

std::int64_t treeFileCount(const VirtualFolder& folder) {
  auto count = static_cast<std::int64_t>(folder.files().size());
  for (const auto& subFolder : folder.subFolders())
    count += static_cast<std::int64_t>(subFolder->totalFileCount());
  return count;
}

std::int64_t treeSubFolderCount(const VirtualFolder& folder) {
  auto count = static_cast<std::int64_t>(folder.subFolders().size());
  for (const auto& subFolder : folder.subFolders())
    count += static_cast<std::int64_t>(subFolder->totalSubFolderCount());
  return count;
}

std::string reorgBannerText(const VirtualFolder& folder, const std::string& localizedFormat) {
  return platform::format(localizedFormat, {treeFileCount(folder),
                                            static_cast<std::int64_t>(folder.subFolders().size())});
}
