#include "vilmo/rename/RoundedPanel.h"

#include <QPainter>
#include <QPainterPath>

#include "vilmo/widgets/Theme.h"

RoundedPanel::RoundedPanel(look::ColorSpec fill, double cornerRadius, QWidget* parent)
    : QWidget(parent), fill_(fill), cornerRadius_(cornerRadius) {}

void RoundedPanel::setFill(look::ColorSpec fill) {
  if (fill == fill_) return;
  fill_ = fill;
  update();
}

void RoundedPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
  painter.fillPath(shape, look::resolveColor(fill_, palette()));
}
