#include "vilmo/rename/TooltipButtonWidget.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "vilmo/widgets/Theme.h"

namespace {

constexpr int kPopoverPadding = 16;
constexpr int kPopoverCornerRadius = 5;
constexpr int kShadowRadius = 5;
constexpr double kShadowOpacity = 0.33;
// Room around the panel for its shadow.
constexpr int kShadowRoom = kShadowRadius * 2;

}  // namespace

TooltipButtonWidget::TooltipButtonWidget(TooltipButton button, QWidget* parent)
    : QWidget(parent), button_(std::move(button)) {
  setObjectName(QString::fromLatin1(TooltipButton::kSymbolName));
  int size = static_cast<int>(TooltipButton::kIconSize);
  setFixedSize(size, size);
  setAttribute(Qt::WA_Hover);
}

TooltipButtonWidget::~TooltipButtonWidget() { delete popover_; }

void TooltipButtonWidget::setUnsupportedFileTypes(std::vector<std::string> types) {
  if (types == button_.unsupportedFileTypes) return;
  button_.unsupportedFileTypes = std::move(types);
  if (popover_) rebuildPopover();
}

void TooltipButtonWidget::paintEvent(QPaintEvent*) {
  // The question mark in a circle, in the label colour.
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor color = look::resolveColor({look::ColorRole::Primary}, palette());
  painter.setPen(QPen(color, 1.2));
  painter.drawEllipse(QRectF(rect()).adjusted(1, 1, -1, -1));
  QFont font = look::displayFont(11, true);
  painter.setFont(font);
  painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("?"));
}

void TooltipButtonWidget::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  setHovered(true);
}

void TooltipButtonWidget::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  setHovered(false);
}

void TooltipButtonWidget::setHovered(bool hovered) {
  button_.isHovered = hovered;
  if (!hovered) {
    if (popover_) popover_->hide();
    return;
  }
  if (!popover_) rebuildPopover();
  // Below the icon, its arrow edge at the top, centred on it.
  popover_->adjustSize();
  QPoint anchor = mapToGlobal(QPoint(width() / 2, height()));
  popover_->move(anchor.x() - popover_->width() / 2, anchor.y());
  popover_->show();
}

void TooltipButtonWidget::rebuildPopover() {
  if (!popover_) {
    // A window of its own that never takes the focus from the screen.
    popover_ = new QFrame(nullptr, Qt::ToolTip | Qt::FramelessWindowHint);
    popover_->setAttribute(Qt::WA_TranslucentBackground);
    popover_->setAttribute(Qt::WA_ShowWithoutActivating);
    auto* outer = new QVBoxLayout(popover_);
    outer->setContentsMargins(kShadowRoom, kShadowRoom, kShadowRoom, kShadowRoom);
  }
  // The panel inside the window carries the background and the shadow.
  QLayout* outer = popover_->layout();
  while (QLayoutItem* item = outer->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  labels_.clear();

  auto* panel = new QFrame(popover_);
  panel->setObjectName(QStringLiteral("tooltipPopoverContent"));
  QColor background = look::resolveColor({look::ColorRole::TextBackground}, panel->palette());
  panel->setStyleSheet(QStringLiteral("#tooltipPopoverContent { background-color: %1; "
                                      "border-radius: %2px; }")
                           .arg(background.name(QColor::HexArgb))
                           .arg(kPopoverCornerRadius));
  auto* shadow = new QGraphicsDropShadowEffect(panel);
  shadow->setBlurRadius(kShadowRadius * 2);
  shadow->setOffset(0, 0);
  shadow->setColor(QColor::fromRgbF(0, 0, 0, static_cast<float>(kShadowOpacity)));
  panel->setGraphicsEffect(shadow);

  auto* lines = new QVBoxLayout(panel);
  lines->setContentsMargins(kPopoverPadding, kPopoverPadding, kPopoverPadding, kPopoverPadding);
  lines->setSpacing(2);
  for (const TooltipButton::Line& line : button_.popoverLines()) {
    QString text =
        line.localizable ? look::localized(line.text) : QString::fromStdString(line.text);
    auto* label = new QLabel(text, panel);
    label->setFont(look::displayFont(TooltipButton::kFontSize, line.bold));
    label->setFixedWidth(static_cast<int>(TooltipButton::kLineWidth));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setContentsMargins(0, line.topPadding, 0, 0);
    look::setTextColor(label, line.color);
    lines->addWidget(label);
    labels_.push_back(label);
  }
  outer->addWidget(panel);
  popover_->adjustSize();
}
