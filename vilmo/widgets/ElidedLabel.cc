#include "vilmo/widgets/ElidedLabel.h"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  // Names are shown as they stand: a name that looks like markup stays text.
  setTextFormat(Qt::PlainText);
}

int ElidedLabel::naturalWidth(const QString& text, const QFont& font) {
  return static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
}

QString ElidedLabel::fitted(const QString& text, const QFont& font, int width) {
  if (naturalWidth(text, font) <= width) return text;
  return QFontMetricsF(font).elidedText(text, Qt::ElideMiddle, width);
}

int ElidedLabel::shortestWidth(const QString& text, const QFont& font) {
  return std::min(naturalWidth(text, font), naturalWidth(QStringLiteral("…"), font));
}

QSize ElidedLabel::sizeHint() const {
  QMargins margins = contentsMargins();
  int room = 2 * margin();
  return {naturalWidth(text(), font()) + margins.left() + margins.right() + room,
          QLabel::sizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
  QMargins margins = contentsMargins();
  int room = 2 * margin();
  return {shortestWidth(text(), font()) + margins.left() + margins.right() + room,
          QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRect box = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  style()->drawItemText(&painter, box, QStyle::visualAlignment(layoutDirection(), alignment()),
                        palette(), isEnabled(), fitted(text(), font(), box.width()),
                        foregroundRole());
}
