// CustomButtonWidget: draws a CustomButton of the sidebar (its icon and text on a clear,
// faintly outlined body) and runs its action when clicked.
#pragma once

#include "vilmo/widgets/CustomButton.h"
#include "vilmo/widgets/StyledButton.h"

class CustomButtonWidget : public StyledButton {
  Q_OBJECT

 public:
  explicit CustomButtonWidget(const CustomButton& button, QWidget* parent = nullptr);

  const CustomButton& button() const { return button_; }

 private:
  CustomButton button_;
};
