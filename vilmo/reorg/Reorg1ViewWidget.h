// Reorg1ViewWidget: draws the reorganise drop screen (step 2001): the reorganise sidebar with "File
// Rename" beside the main column.
#pragma once

#include "vilmo/reorg/Reorg1View.h"
#include "vilmo/widgets/ScreenWidget.h"

class SidebarWidget;

class Reorg1ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg1ViewWidget(Reorg1View view, QWidget* parent = nullptr);

  const Reorg1View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg1View view);

 private:
  Reorg1View view_;
  SidebarWidget* sidebar_;
};
