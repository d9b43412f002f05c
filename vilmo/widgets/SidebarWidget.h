// SidebarWidget: the left column of a flow screen, exactly 172 wide: step image, flow
// name, numbered steps, and the sidebar buttons pushed to the bottom.
#pragma once

#include <vector>

#include <QWidget>

#include "vilmo/widgets/Sidebar.h"

class CustomButtonWidget;
class StepItemWidget;

class SidebarWidget : public QWidget {
  Q_OBJECT

 public:
  explicit SidebarWidget(const Sidebar& sidebar, QWidget* parent = nullptr);

  const std::vector<StepItemWidget*>& stepItems() const { return steps_; }
  const std::vector<CustomButtonWidget*>& buttons() const { return buttons_; }

 private:
  std::vector<StepItemWidget*> steps_;
  std::vector<CustomButtonWidget*> buttons_;
};
