// Rename3ViewWidget: draws the rename finished screen (step 1003): the rename sidebar with
// "Settings" beside the main column.
#pragma once

#include "vilmo/rename/Rename3View.h"
#include "vilmo/widgets/ScreenWidget.h"

class SidebarWidget;

class Rename3ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename3ViewWidget(Rename3View view, QWidget* parent = nullptr);

  const Rename3View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Rename3View view);

 private:
  Rename3View view_;
  SidebarWidget* sidebar_;
};
