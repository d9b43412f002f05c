#include "vilmo/ContentView/ContentViewWidget.h"

#include <QHideEvent>
#include <QLabel>
#include <QShowEvent>
#include <QVBoxLayout>

#include "vilmo/rename/Rename1ViewWidget.h"
#include "vilmo/rename/Rename2ViewWidget.h"
#include "vilmo/rename/Rename3ViewWidget.h"
#include "vilmo/reorg/Reorg1ViewWidget.h"
#include "vilmo/reorg/Reorg2ViewWidget.h"
#include "vilmo/reorg/Reorg3ViewWidget.h"
#include "vilmo/settings/SettingsViewWidget.h"
#include "vilmo/widgets/Theme.h"

namespace {

// A screen that is rebuilt from the root view at every redraw, as plain values in it
// (Apply disabled, revoked) must be current.
template <typename Widget, typename View>
std::function<void()> rebuildFrom(Widget* widget, const std::shared_ptr<ContentView>& view,
                                  View (ContentView::*build)()) {
  QPointer<Widget> guarded(widget);
  std::weak_ptr<ContentView> weakView = view;
  return [guarded, weakView, build] {
    std::shared_ptr<ContentView> view = weakView.lock();
    if (guarded && view) guarded->setView(((*view).*build)());
  };
}

ScreenWidget* unknownStepScreen() {
  auto* screen = new ScreenWidget;
  auto* layout = new QVBoxLayout(screen);
  auto* text = new QLabel(look::localized("Unknown Step"), screen);
  text->setAlignment(Qt::AlignCenter);
  layout->addWidget(text);
  return screen;
}

}  // namespace

ContentViewWidget::ContentViewWidget(std::shared_ptr<ContentView> view, QWidget* parent)
    : QWidget(parent), view_(std::move(view)), layout_(new QVBoxLayout(this)) {
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  layout_->setContentsMargins(0, 0, 0, 0);
  QPointer<ContentViewWidget> self(this);
  observer_ = view_->addChangeObserver([self] {
    if (self) self->stateChanged();
  });
  buildScreen(view_->currentStep());
}

ContentViewWidget::~ContentViewWidget() {
  view_->removeChangeObserver(observer_);
  disappear();
}

void ContentViewWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_ || event->spontaneous()) return;
  appeared_ = true;
  view_->loadSettings();
}

void ContentViewWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!event->spontaneous()) disappear();
}

void ContentViewWidget::disappear() {
  if (!appeared_) return;
  appeared_ = false;
  view_->storeSettings();
}

void ContentViewWidget::stateChanged() {
  if (view_->currentStep() != shownStep_ || !screen_) {
    buildScreen(view_->currentStep());
  } else if (refreshScreen_) {
    refreshScreen_();
  }
}

void ContentViewWidget::buildScreen(std::int64_t step) {
  if (screen_) {
    // The old screen may be the sender of the click that changed the step: it goes once
    // control is back in the event loop.
    layout_->removeWidget(screen_);
    screen_->hide();
    screen_->deleteLater();
  }
  refreshScreen_ = nullptr;
  ScreenWidget* screen = nullptr;
  switch (step) {
  case step::kSettings: {
    auto* settings = new SettingsViewWidget(view_->settingsView());
    QPointer<SettingsViewWidget> guarded(settings);
    refreshScreen_ = [guarded] {
      if (guarded) guarded->refresh();
    };
    screen = settings;
    break;
  }
  case step::kRenameDrop: {
    auto* widget = new Rename1ViewWidget(view_->rename1View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::rename1View);
    screen = widget;
    break;
  }
  case step::kRenamePreview: {
    auto* widget = new Rename2ViewWidget(view_->rename2View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::rename2View);
    screen = widget;
    break;
  }
  case step::kRenameFinished: {
    auto* widget = new Rename3ViewWidget(view_->rename3View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::rename3View);
    screen = widget;
    break;
  }
  case step::kReorgDrop: {
    auto* widget = new Reorg1ViewWidget(view_->reorg1View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::reorg1View);
    screen = widget;
    break;
  }
  case step::kReorgPreview: {
    auto* widget = new Reorg2ViewWidget(view_->reorg2View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::reorg2View);
    screen = widget;
    break;
  }
  case step::kReorgFinished: {
    auto* widget = new Reorg3ViewWidget(view_->reorg3View());
    refreshScreen_ = rebuildFrom(widget, view_, &ContentView::reorg3View);
    screen = widget;
    break;
  }
  default:
    screen = unknownStepScreen();
    break;
  }
  screen->setParent(this);
  layout_->addWidget(screen);
  screen_ = screen;
  shownStep_ = step;
  if (isVisible()) screen->show();
}
