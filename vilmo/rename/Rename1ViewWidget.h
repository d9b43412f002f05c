// Rename1ViewWidget: draws the rename drop screen (step 1001): the rename sidebar with "Settings"
// and "Auto Folder" beside the main column.
#pragma once

#include "vilmo/rename/Rename1View.h"
#include "vilmo/widgets/ScreenWidget.h"

class SidebarWidget;

class Rename1ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename1ViewWidget(Rename1View view, QWidget* parent = nullptr);

  const Rename1View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Rename1View view);

 private:
  Rename1View view_;
  SidebarWidget* sidebar_;
};
