// Reorg2ViewWidget: draws the reorganise preview screen (step 2002): the reorganise sidebar beside
// the main column, whose content depends on whether there is a proposed tree.
#pragma once

#include "vilmo/reorg/Reorg2View.h"
#include "vilmo/widgets/ScreenWidget.h"

class QLabel;
class SidebarWidget;

class Reorg2ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg2ViewWidget(Reorg2View view, QWidget* parent = nullptr);

  const Reorg2View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg2View view);
  QLabel* errorLabel() const { return error_; }

  void refresh() override;

 private:
  Reorg2View view_;
  SidebarWidget* sidebar_;
  QLabel* error_;
};
