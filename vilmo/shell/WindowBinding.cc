#include "vilmo/shell/WindowBinding.h"

#include <QEvent>
#include <QMainWindow>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace shell {
namespace {

int toPixels(double points) {
  if (!(points > 0)) return 0;  // also NaN
  return static_cast<int>(std::lround(std::min(points, static_cast<double>(QWIDGETSIZE_MAX))));
}

// The menu bar sits inside the window here, above the content.
int menuBarHeight(const QMainWindow& window) {
  QWidget* bar = window.menuWidget();
  if (!bar || !bar->isVisibleTo(&window)) return 0;
  return bar->sizeHint().height();
}

QSize windowSizeFor(const QMainWindow& window, platform::Size content) {
  int height = toPixels(content.height);
  if (height < QWIDGETSIZE_MAX) height = std::min(height + menuBarHeight(window), QWIDGETSIZE_MAX);
  return QSize(toPixels(content.width), height);
}

Qt::WindowFlags flagsFor(std::uint64_t mask) {
  if (mask == platform::kWindowStyleMaskBorderless) return Qt::Window | Qt::FramelessWindowHint;
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint;
  if (mask & platform::kWindowStyleMaskTitled) {
    flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
  }
  if (mask & platform::kWindowStyleMaskClosable) flags |= Qt::WindowCloseButtonHint;
  if (mask & platform::kWindowStyleMaskMiniaturizable) flags |= Qt::WindowMinimizeButtonHint;
  if (mask & platform::kWindowStyleMaskResizable) flags |= Qt::WindowMaximizeButtonHint;
  return flags;
}

}  // namespace

// Hands the size the window really got (from the user or the window manager) back to the
// model.
class WindowBinding::ResizeWatcher : public QObject {
 public:
  explicit ResizeWatcher(WindowBinding& binding) : binding_(binding) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize && watched == &binding_.window_) {
      platform::Size actual = contentSizeOf(binding_.window_);
      if (actual != binding_.contentSize_) {
        binding_.contentSize_ = actual;
        binding_.model_->setContentSize(actual);
      }
    }
    return false;
  }

 private:
  WindowBinding& binding_;
};

WindowBinding::WindowBinding(QMainWindow& window, std::shared_ptr<platform::Window> model)
    : window_(window), model_(std::move(model)), watcher_(std::make_unique<ResizeWatcher>(*this)) {
  apply(*model_, true);
  model_->setChangeHook([this](const platform::Window& changed) { apply(changed, false); });
  window_.installEventFilter(watcher_.get());
}

WindowBinding::~WindowBinding() {
  window_.removeEventFilter(watcher_.get());
  model_->setChangeHook(nullptr);
}

platform::Size WindowBinding::contentSizeOf(const QMainWindow& window) {
  return {static_cast<double>(window.width()),
          static_cast<double>(std::max(0, window.height() - menuBarHeight(window)))};
}

void WindowBinding::apply(const platform::Window& model, bool all) {
  const bool contentChanged = all || model.contentSize() != contentSize_;
  const bool minChanged = all || model.minSize() != minSize_;
  const bool maxChanged = all || model.maxSize() != maxSize_;
  const bool styleChanged = all || model.styleMask() != styleMask_;
  const bool titleChanged = all || model.title() != title_;
  contentSize_ = model.contentSize();
  minSize_ = model.minSize();
  maxSize_ = model.maxSize();
  styleMask_ = model.styleMask();
  title_ = model.title();

  if (styleChanged) {
    const bool wasVisible = window_.isVisible();
    window_.setWindowFlags(flagsFor(styleMask_));
    if (wasVisible) window_.show();  // changing the flags hides a window
  }
  // A window that is not resizable keeps its content size.
  const bool resizable = styleMask_ & platform::kWindowStyleMaskResizable;
  if (minChanged || maxChanged || styleChanged || (contentChanged && !resizable)) {
    window_.setMinimumSize(windowSizeFor(window_, resizable ? minSize_ : contentSize_));
    window_.setMaximumSize(windowSizeFor(window_, resizable ? maxSize_ : contentSize_));
  }
  // A model that was never given a size leaves the window's own.
  const bool sized = contentSize_.width > 0 && contentSize_.height > 0;
  if (contentChanged && sized) window_.resize(windowSizeFor(window_, contentSize_));
  if (titleChanged) window_.setWindowTitle(QString::fromStdString(title_));
}

}  // namespace shell
