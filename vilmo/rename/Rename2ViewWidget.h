// Rename2ViewWidget: draws the rename preview screen (step 1002): the rename sidebar with
// "Settings" beside the main column.
#pragma once

#include "vilmo/rename/Rename2View.h"
#include "vilmo/widgets/ScreenWidget.h"

class SidebarWidget;

class Rename2ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename2ViewWidget(Rename2View view, QWidget* parent = nullptr);

  const Rename2View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Rename2View view);

 private:
  Rename2View view_;
  SidebarWidget* sidebar_;
};
