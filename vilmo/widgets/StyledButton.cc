#include "vilmo/widgets/StyledButton.h"

#include <algorithm>
#include <cmath>

#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>

#include "vilmo/widgets/Theme.h"

namespace {

constexpr int kIconTextSpacing = 2;

int padX() { return static_cast<int>(look::ButtonBodyLook::kHorizontalPadding); }
int padY() { return static_cast<int>(look::ButtonBodyLook::kVerticalPadding); }

}  // namespace

StyledButton::StyledButton(const QString& text, look::ButtonStyle style, QWidget* parent)
    : QAbstractButton(parent), style_(style), shadow_(new QGraphicsDropShadowEffect(this)) {
  setText(text);
  setFont(look::displayFont(13, true));
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  animation_.setDuration(static_cast<int>(look::ButtonBodyLook::kPressAnimationSeconds * 1000));
  animation_.setEasingCurve(QEasingCurve::InOutQuad);
  connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    pressProgress_ = value.toDouble();
    applyShadow();
    update();
  });
  connect(this, &QAbstractButton::pressed, this, [this] { animatePress(true); });
  connect(this, &QAbstractButton::released, this, [this] { animatePress(false); });
  setGraphicsEffect(shadow_);
  applyShadow();
}

void StyledButton::setButtonStyle(look::ButtonStyle style) {
  style_ = style;
  applyShadow();
  update();
}

void StyledButton::setLabelColor(std::optional<look::ColorSpec> color) {
  labelColor_ = color;
  update();
}

void StyledButton::setLabelIcon(const QPixmap& icon, QSize size) {
  icon_ = icon;
  iconSize_ = size;
  updateGeometry();
  update();
}

void StyledButton::setLabelMargins(int left, int right) {
  labelLeftMargin_ = left;
  labelRightMargin_ = right;
  updateGeometry();
}

void StyledButton::setLabelHeight(std::optional<int> height) {
  labelHeight_ = height;
  updateGeometry();
}

void StyledButton::setLabelAlignment(Qt::Alignment alignment) {
  labelAlignment_ = alignment;
  update();
}

look::ButtonBodyLook StyledButton::currentLook() const {
  return look::buttonBodyLookDuringPress(style_, pressProgress_);
}

void StyledButton::animatePress(bool pressed) {
  animation_.stop();
  animation_.setStartValue(pressProgress_);
  animation_.setEndValue(pressed ? 1.0 : 0.0);
  animation_.start();
}

void StyledButton::applyShadow() {
  look::ButtonBodyLook body = currentLook();
  shadow_->setColor(look::resolveColor(body.shadow.color, palette()));
  shadow_->setBlurRadius(body.shadow.radius);
  shadow_->setOffset(body.shadow.offsetX, body.shadow.offsetY);
}

QSize StyledButton::labelSize(int availableWidth) const {
  QFontMetrics metrics(font());
  int iconWidth = icon_.isNull() && iconSize_.isEmpty() ? 0 : iconSize_.width() + kIconTextSpacing;
  int margins = labelLeftMargin_ + labelRightMargin_;
  // The advance is rounded and can fall short of the drawn width, which would wrap a
  // two-word label onto a second line.
  int textWidth = std::max(metrics.horizontalAdvance(text()), metrics.boundingRect(text()).width());
  if (availableWidth > 0) textWidth = std::min(textWidth, availableWidth - margins - iconWidth);
  QRect textBounds =
      metrics.boundingRect(QRect(0, 0, std::max(textWidth, 1), 10000), Qt::TextWordWrap, text());
  int height = std::max(textBounds.height(), iconSize_.height());
  if (labelHeight_) height = *labelHeight_;
  return {margins + iconWidth + textWidth, height};
}

QSize StyledButton::sizeHint() const {
  QSize label = labelSize(0);
  return {label.width() + 2 * padX(), label.height() + 2 * padY()};
}

QSize StyledButton::minimumSizeHint() const {
  QSize hint = sizeHint();
  return {std::min(hint.width(), 2 * padX() + labelLeftMargin_ + labelRightMargin_), hint.height()};
}

void StyledButton::paintEvent(QPaintEvent*) {
  look::ButtonBodyLook body = currentLook();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);

  QRectF bounds = QRectF(rect());
  QPointF centre = bounds.center();
  painter.translate(centre);
  painter.scale(body.scale, body.scale);
  painter.translate(-centre);

  QPainterPath shape;
  shape.addRoundedRect(bounds, look::ButtonBodyLook::kCornerRadius,
                       look::ButtonBodyLook::kCornerRadius);
  QColor line = look::resolveColor(body.line, palette());
  painter.fillPath(shape, look::resolveColor(body.fill, palette()));

  painter.save();
  painter.setClipPath(shape);
  QRect label =
      rect().adjusted(padX() + labelLeftMargin_, padY(), -padX() - labelRightMargin_, -padY());
  QFontMetrics metrics(font());
  int rowHeight = std::max(metrics.height(), iconSize_.height());
  QRect row = label;
  if (labelHeight_) row.setHeight(std::min(rowHeight, label.height()));
  int x = row.left();
  if (!iconSize_.isEmpty()) {
    QRect iconRect(x, row.top() + (row.height() - iconSize_.height()) / 2, iconSize_.width(),
                   iconSize_.height());
    if (!icon_.isNull()) painter.drawPixmap(iconRect, icon_);
    x += iconSize_.width() + kIconTextSpacing;
  }
  // A fixed-height label (the sidebar's) starts its text level with the icon and lets
  // further lines run below, where the clip cuts them off; others centre it.
  QRect textRect(x, label.top(), label.right() - x + 1, label.height());
  Qt::Alignment vertical = Qt::AlignVCenter;
  if (labelHeight_) {
    textRect.setTop(row.top() + (row.height() - metrics.height()) / 2);
    vertical = Qt::AlignTop;
  }
  painter.setPen(labelColor_ ? look::resolveColor(*labelColor_, palette()) : line);
  painter.setFont(font());
  painter.drawText(textRect,
                   static_cast<int>((labelAlignment_ & Qt::AlignHorizontal_Mask) | vertical) |
                       Qt::TextWordWrap,
                   text());
  painter.restore();

  QPen outline(line, look::ButtonBodyLook::kLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
  outline.setMiterLimit(10);
  painter.setPen(outline);
  painter.setBrush(Qt::NoBrush);
  QPainterPath stroke;
  stroke.addRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), look::ButtonBodyLook::kCornerRadius,
                        look::ButtonBodyLook::kCornerRadius);
  painter.drawPath(stroke);
}
