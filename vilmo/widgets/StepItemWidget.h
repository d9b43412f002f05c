// StepItemWidget: draws one StepItem of the sidebar: the number in a narrow column and the
// step's text beside it, in a row of fixed height.
#pragma once

#include <QWidget>

#include "vilmo/widgets/StepItem.h"

class QLabel;

class StepItemWidget : public QWidget {
  Q_OBJECT

 public:
  explicit StepItemWidget(const StepItem& item, QWidget* parent = nullptr);

  const StepItem& item() const { return item_; }
  QLabel* numberLabel() const { return number_; }
  QLabel* textLabel() const { return text_; }

 private:
  StepItem item_;
  QLabel* number_;
  QLabel* text_;
};
