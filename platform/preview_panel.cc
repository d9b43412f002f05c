#include "platform/preview_panel.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

struct Shared {
  std::mutex mutex;
  PreviewPanel::Presenter presenter;
  std::shared_ptr<PreviewPanel> panel;
};

Shared& shared() {
  static auto* const state = new Shared;
  return *state;
}

PreviewPanel::Presenter currentPresenter() {
  Shared& state = shared();
  std::lock_guard lock(state.mutex);
  return state.presenter;
}

}  // namespace

std::shared_ptr<PreviewPanel> PreviewPanel::sharedPreviewPanel() {
  Shared& state = shared();
  std::lock_guard lock(state.mutex);
  if (!state.presenter) return nullptr;
  if (!state.panel) state.panel.reset(new PreviewPanel);
  return state.panel;
}

void PreviewPanel::installPresenter(Presenter presenter) {
  Shared& state = shared();
  std::lock_guard lock(state.mutex);
  state.presenter = std::move(presenter);
}

std::shared_ptr<PreviewPanelDataSource> PreviewPanel::dataSource() const { return dataSource_; }

void PreviewPanel::setDataSource(std::shared_ptr<PreviewPanelDataSource> dataSource) {
  dataSource_ = std::move(dataSource);
}

std::shared_ptr<PreviewPanelDelegate> PreviewPanel::delegate() const { return delegate_; }

void PreviewPanel::setDelegate(std::shared_ptr<PreviewPanelDelegate> delegate) {
  delegate_ = std::move(delegate);
}

bool PreviewPanel::isVisible() const { return visible_; }

void PreviewPanel::makeKeyAndOrderFront() {
  if (!controller_) {
    std::shared_ptr<PreviewPanelDelegate> candidate =
        delegate_ ? delegate_ : lastController_.lock();
    if (candidate && candidate->acceptsPreviewPanelControl(*this)) {
      controller_ = candidate;
      lastController_ = candidate;
      candidate->beginPreviewPanelControl(*this);
    }
  }
  std::optional<std::filesystem::path> item;
  // Held for the calls: a data source may replace itself while answering.
  if (std::shared_ptr<PreviewPanelDataSource> source = dataSource_) {
    if (source->numberOfPreviewItemsInPreviewPanel(*this) > 0) {
      item = source->previewItemAtIndex(*this, 0);
    }
  }
  visible_ = true;
  if (Presenter presenter = currentPresenter()) presenter(true, item);
}

void PreviewPanel::orderOut() {
  if (!visible_) return;
  visible_ = false;
  if (Presenter presenter = currentPresenter()) presenter(false, std::nullopt);
  if (std::shared_ptr<PreviewPanelDelegate> controller = std::exchange(controller_, nullptr)) {
    controller->endPreviewPanelControl(*this);
  }
}

}  // namespace platform
