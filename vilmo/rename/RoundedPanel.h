// RoundedPanel: a container filled with one colour of the look and clipped to a rounded
// rectangle, as the rename screens' banners, rows and tints are drawn.
#pragma once

#include <QWidget>

#include "vilmo/widgets/ColorSpec.h"

class RoundedPanel : public QWidget {
  Q_OBJECT

 public:
  RoundedPanel(look::ColorSpec fill, double cornerRadius, QWidget* parent = nullptr);

  look::ColorSpec fill() const { return fill_; }
  void setFill(look::ColorSpec fill);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  look::ColorSpec fill_;
  double cornerRadius_;
};
