// QuickLookPreviewHelper: the one data source and delegate of the shared preview panel for
// every screen that lists files; it holds the one file to preview.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/preview_panel.h"

class QuickLookPreviewHelper : public platform::PreviewPanelDataSource,
                               public platform::PreviewPanelDelegate,
                               public std::enable_shared_from_this<QuickLookPreviewHelper> {
 public:
  // Created on first use, from any thread, and kept for the life of the process.
  static std::shared_ptr<QuickLookPreviewHelper> shared();

  // The file the panel shows; never cleared once set, so the panel, when opened again,
  // shows the last file chosen.
  const std::optional<std::filesystem::path>& previewItem() const { return previewItem_; }
  void setPreviewItem(std::optional<std::filesystem::path> item) { previewItem_ = std::move(item); }

  // When a screen with files comes on screen: makes the shared helper the shared panel's
  // delegate and data source (nothing when there is no panel).
  static void attachPreviewPanel();
  // A click on a file name: the file becomes the item; the panel closes when it is
  // visible, else it opens. So a second click closes the panel whichever file it shows.
  static void togglePreview(const std::filesystem::path& file);

  // 1 when there is an item, else 0.
  long numberOfPreviewItemsInPreviewPanel(platform::PreviewPanel& panel) override;
  // The item, for any index.
  std::optional<std::filesystem::path> previewItemAtIndex(platform::PreviewPanel& panel,
                                                          long index) override;
  bool acceptsPreviewPanelControl(platform::PreviewPanel& panel) override;
  void beginPreviewPanelControl(platform::PreviewPanel& panel) override;
  void endPreviewPanelControl(platform::PreviewPanel& panel) override;

 private:
  std::optional<std::filesystem::path> previewItem_;
};
