#include "vilmo/widgets/SidebarWidget.h"

#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/widgets/CustomButtonWidget.h"
#include "vilmo/widgets/StepItemWidget.h"
#include "vilmo/widgets/Theme.h"

SidebarWidget::SidebarWidget(const Sidebar& sidebar, QWidget* parent) : QWidget(parent) {
  setFixedWidth(static_cast<int>(Sidebar::kWidth));
  setMinimumHeight(static_cast<int>(Sidebar::kMinimumHeight));

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(20, 20, 20, 20);

  auto* top = new QVBoxLayout;
  top->setSpacing(8);
  top->addWidget(look::imageLabel(sidebar.imageName, static_cast<int>(Sidebar::kImageSize), this),
                 0, Qt::AlignHCenter);

  auto* steps = new QVBoxLayout;
  steps->setSpacing(0);
  auto* header = new QLabel(look::localized(sidebar.header), this);
  header->setFont(look::displayFont(11, true));
  header->setContentsMargins(8, 3, 12, 6);
  look::setTextColor(header, {look::ColorRole::Primary, 0.25});
  steps->addWidget(header);
  for (const StepItem& item : sidebar.steps) {
    auto* widget = new StepItemWidget(item, this);
    steps_.push_back(widget);
    steps->addWidget(widget);
  }
  top->addLayout(steps);
  column->addLayout(top);

  column->addStretch(1);
  for (const CustomButton& button : sidebar.buttons) {
    auto* widget = new CustomButtonWidget(button, this);
    buttons_.push_back(widget);
    column->addWidget(widget);
  }
}
