#include "vilmo/reorg/Reorg1View.h"

#include <cstdint>
#include <iostream>
#include <utility>

#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/format.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/VirtualFolder.h"

bool Reorg1View::showsTree() const { return selectedFolder && selectedFolder.get() != nullptr; }

std::string Reorg1View::summaryText(const std::string& localizedFormat) const {
  std::shared_ptr<VirtualFolder> folder = selectedFolder.get();
  if (!folder) return {};
  return platform::format(localizedFormat, {treeFileCount(*folder), folder->name()});
}

bool Reorg1View::areButtonsDisabled() const { return isProcessing && isProcessing.get(); }

const char* Reorg1View::progressText(double value) {
  if (value >= 0.0 && value < 0.3) return "Reading the file names...";
  if (value >= 0.3 && value < 0.6) return "Dissembling the folder structure...";
  if (value >= 0.6 && value < 1.0) return "Grouping the new sub folders...";
  return "Completed!";
}

bool Reorg1View::acceptFolderDrop(std::vector<std::filesystem::path> items) const {
  if (items.size() != 1) return false;
  bool isDirectory = false;
  if (!platform::fileExists(items.front(), &isDirectory) || !isDirectory) return false;
  // The bindings, not the screen, carry the drop to its end.
  Reorg1View captured;
  captured.selectedFolder = selectedFolder;
  captured.folderBookmark = folderBookmark;
  platform::Queue::main()->async([captured = std::move(captured), url = std::move(items.front())] {
    captured.loadDroppedFolder(url);
  });
  return true;
}

void Reorg1View::loadDroppedFolder(const std::filesystem::path& url) const {
  std::filesystem::path folderURL = url;
  // A dropped "dir/" names the folder "dir", not "".
  if (!folderURL.has_filename() && folderURL.has_parent_path()) folderURL = folderURL.parent_path();
  std::shared_ptr<VirtualFolder> folder = scanFolder(folderURL);
  selectedFolder.set(folder);
  folderBookmark.set(createFolderBookmark(folderURL));
  logUsageEvent(usage_event::kDropFolder,
                {{usage_event::kScreenName, "reorg_step_1"},
                 {usage_event::kLoadSubFolderCount, treeSubFolderCount(*folder)},
                 {usage_event::kLoadFileTotalCount, treeFileCount(*folder)}});
}

std::optional<platform::Data> Reorg1View::createFolderBookmark(const std::filesystem::path& url) {
  std::error_code code;
  std::filesystem::path absolute = std::filesystem::absolute(url, code);
  bool isDirectory = false;
  if (code || !platform::fileExists(absolute, &isDirectory)) {
    platform::Error error(platform::kCocoaErrorDomain, platform::kFileReadNoSuchFileError,
                          {{platform::kFilePathErrorKey, url.string()}});
    std::cout << "Error creating bookmark: " << error.description() << std::endl;
    return std::nullopt;
  }
  return platform::Data::fromString(absolute.lexically_normal().string());
}
