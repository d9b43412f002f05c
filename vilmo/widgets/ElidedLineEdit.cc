#include "vilmo/widgets/ElidedLineEdit.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include "vilmo/widgets/ElidedLabel.h"

namespace {

// The room a line edit keeps between its contents' edges and its text.
constexpr int kTextMargin = 2;

}  // namespace

ElidedLineEdit::ElidedLineEdit(QWidget* parent) : QLineEdit(parent) {}

QRect ElidedLineEdit::textLine() const {
  QStyleOptionFrame panel;
  initStyleOption(&panel);
  QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
  return contents.marginsRemoved(textMargins()).adjusted(kTextMargin, 0, -kTextMargin, 0);
}

QString ElidedLineEdit::shownText() const {
  const QString& full = text();
  int width = textLine().width();
  // While the user types, the field scrolls like any other; a cut there would hide what is
  // being typed.
  if (hasFocus() || full.isEmpty() || ElidedLabel::naturalWidth(full, font()) <= width) {
    return full;
  }
  return QFontMetricsF(font()).elidedText(full, Qt::ElideRight, width);
}

void ElidedLineEdit::paintEvent(QPaintEvent* event) {
  QString shown = shownText();
  if (shown == text()) {
    QLineEdit::paintEvent(event);
    return;
  }
  QPainter painter(this);
  QStyleOptionFrame panel;
  initStyleOption(&panel);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
  painter.setFont(font());
  painter.setPen(palette().text().color());
  painter.drawText(textLine(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
