#include "vilmo/QuickLookPreviewHelper.h"

std::shared_ptr<QuickLookPreviewHelper> QuickLookPreviewHelper::shared() {
  // Never released: the panel may still hold it as data source while the process exits.
  static const auto* const instance =
      new std::shared_ptr<QuickLookPreviewHelper>(std::make_shared<QuickLookPreviewHelper>());
  return *instance;
}

void QuickLookPreviewHelper::attachPreviewPanel() {
  std::shared_ptr<platform::PreviewPanel> panel = platform::PreviewPanel::sharedPreviewPanel();
  if (!panel) return;
  panel->setDelegate(shared());
  panel->setDataSource(shared());
}

void QuickLookPreviewHelper::togglePreview(const std::filesystem::path& file) {
  shared()->setPreviewItem(file);
  std::shared_ptr<platform::PreviewPanel> panel = platform::PreviewPanel::sharedPreviewPanel();
  if (!panel) return;
  if (panel->isVisible()) {
    panel->orderOut();
  } else {
    panel->makeKeyAndOrderFront();
  }
}

long QuickLookPreviewHelper::numberOfPreviewItemsInPreviewPanel(platform::PreviewPanel&) {
  return previewItem_ ? 1 : 0;
}

std::optional<std::filesystem::path>
QuickLookPreviewHelper::previewItemAtIndex(platform::PreviewPanel&, long) {
  return previewItem_;
}

bool QuickLookPreviewHelper::acceptsPreviewPanelControl(platform::PreviewPanel&) { return true; }

void QuickLookPreviewHelper::beginPreviewPanelControl(platform::PreviewPanel& panel) {
  panel.setDataSource(shared_from_this());
  panel.setDelegate(shared_from_this());
}

void QuickLookPreviewHelper::endPreviewPanelControl(platform::PreviewPanel& panel) {
  panel.setDataSource(nullptr);
  panel.setDelegate(nullptr);
}
