#include "vilmo/widgets/SheetWidget.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "vilmo/widgets/Theme.h"

namespace {

// The sheet itself: the window background in a rounded rectangle with a fine border, so
// that it stands out from the dimmed screen.
class SheetPanel : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    constexpr double kRadius = 10;
    QPainterPath fill;
    fill.addRoundedRect(QRectF(rect()), kRadius, kRadius);
    painter.fillPath(fill, look::resolveColor({look::ColorRole::WindowBackground}, palette()));
    // The border lies inside the bounds.
    QColor border = look::resolveColor({look::ColorRole::Primary}, palette());
    border.setAlphaF(0.2f);
    painter.setPen(QPen(border, 1));
    QPainterPath edge;
    edge.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);
    painter.drawPath(edge);
  }
};

bool isInput(QEvent::Type type) {
  switch (type) {
  case QEvent::MouseButtonPress:
  case QEvent::MouseButtonRelease:
  case QEvent::MouseButtonDblClick:
  case QEvent::MouseMove:
  case QEvent::Wheel:
  case QEvent::KeyPress:
  case QEvent::KeyRelease:
  case QEvent::ContextMenu:
  case QEvent::TabletPress:
  case QEvent::TabletRelease:
  case QEvent::TabletMove:
  case QEvent::TouchBegin:
  case QEvent::TouchUpdate:
  case QEvent::TouchEnd:
    return true;
  default:
    return false;
  }
}

}  // namespace

SheetWidget::SheetWidget(QWidget* host) : QWidget(host), host_(host), panel_(new SheetPanel(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(panel_, 0, Qt::AlignCenter);
  host_->installEventFilter(this);
  hide();
}

void SheetWidget::present() {
  setGeometry(host_->rect());
  raise();
  show();
  // Whatever held the focus behind the sheet gives it up, so no key reaches the screen.
  for (QWidget* candidate = panel_->nextInFocusChain(); candidate != panel_;
       candidate = candidate->nextInFocusChain()) {
    if (panel_->isAncestorOf(candidate) && candidate->isEnabled() &&
        (candidate->focusPolicy() & Qt::TabFocus)) {
      candidate->setFocus(Qt::PopupFocusReason);
      return;
    }
  }
  panel_->setFocus(Qt::PopupFocusReason);
}

void SheetWidget::dismiss() {
  if (QWidget* focused = focusWidget()) {
    focused->clearFocus();
  }
  hide();
}

bool SheetWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == host_ && event->type() == QEvent::Resize) {
    setGeometry(host_->rect());
  }
  return QWidget::eventFilter(watched, event);
}

// Input that the panel's controls leave ends here instead of going on to the host.
bool SheetWidget::event(QEvent* event) {
  bool handled = QWidget::event(event);
  if (isInput(event->type())) {
    event->accept();
    return true;
  }
  return handled;
}

void SheetWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor::fromRgbF(0, 0, 0, kDimming));
}

bool SheetWidget::focusNextPrevChild(bool next) {
  QWidget* current = focusWidget();
  if (!isVisible() || !current) {
    return QWidget::focusNextPrevChild(next);
  }
  for (QWidget* candidate = current;;) {
    candidate = next ? candidate->nextInFocusChain() : candidate->previousInFocusChain();
    if (candidate == current) {
      return true;
    }
    if (panel_->isAncestorOf(candidate) && candidate->isVisible() && candidate->isEnabled() &&
        (candidate->focusPolicy() & Qt::TabFocus)) {
      candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return true;
    }
  }
}
