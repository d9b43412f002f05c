// Reorg3ViewWidget: draws the reorganise finished screen (step 2003): the reorganise sidebar beside
// the main column, whose content depends on whether there is an applied tree.
#pragma once

#include "vilmo/reorg/Reorg3View.h"
#include "vilmo/widgets/ScreenWidget.h"

class QLabel;
class SidebarWidget;

class Reorg3ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg3ViewWidget(Reorg3View view, QWidget* parent = nullptr);

  const Reorg3View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg3View view);
  QLabel* titleLabel() const { return title_; }
  QLabel* errorLabel() const { return error_; }

  void refresh() override;

 private:
  Reorg3View view_;
  SidebarWidget* sidebar_;
  QLabel* title_;
  QLabel* error_;
};
