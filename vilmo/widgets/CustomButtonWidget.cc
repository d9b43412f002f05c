#include "vilmo/widgets/CustomButtonWidget.h"

#include "vilmo/widgets/Theme.h"

CustomButtonWidget::CustomButtonWidget(const CustomButton& button, QWidget* parent)
    : StyledButton(look::localized(button.text), CustomButton::style(), parent), button_(button) {
  int iconSize = static_cast<int>(CustomButton::kIconSize);
  setLabelIcon(look::assetImage(button.iconName), QSize(iconSize, iconSize));
  setLabelColor(button.textColor());
  setLabelMargins(8, 8);
  setLabelHeight(static_cast<int>(CustomButton::kLabelHeight));
  setLabelAlignment(Qt::AlignLeft);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(this, &QAbstractButton::clicked, this, [this] {
    if (button_.action) button_.action();
  });
}
