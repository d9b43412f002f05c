#include "vilmo/rename/PlainButton.h"

#include <QPainter>
#include <QPainterPath>

#include "vilmo/widgets/ElidedLabel.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr double kLabelCornerRadius = 5;
// A plain button dims its label while held, and more while it does not react.
constexpr double kPressedOpacity = 0.7;
constexpr double kDisabledOpacity = 0.4;

}  // namespace

PlainButton::PlainButton(QWidget* parent) : QAbstractButton(parent) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setCursor(Qt::ArrowCursor);
}

void PlainButton::setLabel(const QString& text, const QFont& font, look::ColorSpec color) {
  setText(text);
  setFont(font);
  color_ = color;
  // A name takes the width it needs while its row has room; a row too narrow for it may
  // squeeze it, and it is then shortened in the middle.
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  updateGeometry();
  update();
}

void PlainButton::setIconLabel(const std::string& imageName, int size) {
  if (imageName != iconName_) {
    iconName_ = imageName;
    icon_ = look::assetImage(imageName);
    setObjectName(QString::fromStdString(imageName));
  }
  iconSize_ = size;
  updateGeometry();
  update();
}

void PlainButton::setPadding(const QMargins& padding) {
  padding_ = padding;
  updateGeometry();
}

QSize PlainButton::labelSize() const {
  if (iconSize_ > 0) return {iconSize_, iconSize_};
  return {ElidedLabel::naturalWidth(text(), font()), QFontMetrics(font()).height()};
}

QSize PlainButton::sizeHint() const {
  QSize label = labelSize();
  return {label.width() + padding_.left() + padding_.right(),
          label.height() + padding_.top() + padding_.bottom()};
}

QSize PlainButton::minimumSizeHint() const {
  // A long file name may be shortened rather than widen the column.
  QSize hint = sizeHint();
  if (iconSize_ > 0) return hint;
  return {ElidedLabel::shortestWidth(text(), font()) + padding_.left() + padding_.right(),
          hint.height()};
}

void PlainButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!isEnabled()) {
    painter.setOpacity(kDisabledOpacity);
  } else if (isDown()) {
    painter.setOpacity(kPressedOpacity);
  }
  QRect label = rect().marginsRemoved(padding_);
  if (iconSize_ > 0) {
    QRect frame(0, 0, iconSize_, iconSize_);
    frame.moveCenter(label.center());
    if (!icon_.isNull()) {
      // Drawn at its natural size inside the frame, shrunk only when larger.
      QSize drawn = icon_.size().scaled(frame.size(), Qt::KeepAspectRatio);
      if (icon_.width() <= frame.width() && icon_.height() <= frame.height()) drawn = icon_.size();
      QRect target(QPoint(0, 0), drawn);
      target.moveCenter(frame.center());
      painter.drawPixmap(target, icon_);
    }
    return;
  }
  QPainterPath clip;
  clip.addRoundedRect(QRectF(label), kLabelCornerRadius, kLabelCornerRadius);
  painter.setClipPath(clip);
  painter.setFont(font());
  painter.setPen(look::resolveColor(color_, palette()));
  painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter,
                   ElidedLabel::fitted(text(), font(), label.width()));
}
