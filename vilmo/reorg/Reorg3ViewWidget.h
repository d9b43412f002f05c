// Reorg3ViewWidget: draws the reorganise finished screen (step 2003): the reorganise sidebar beside
// the applied tree with its title, banner and "Start Over", or the error text and "Retry"
// alone when there is no tree.
#pragma once

#include "vilmo/reorg/Reorg3View.h"
#include "vilmo/widgets/ScreenWidget.h"

class FolderTreeArea;
class QLabel;
class SidebarWidget;
class StyledButton;
class SummaryStrip;

class Reorg3ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg3ViewWidget(Reorg3View view, QWidget* parent = nullptr);

  const Reorg3View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg3View view);
  void refresh() override;

  QLabel* titleLabel() const { return title_; }
  QLabel* errorLabel() const { return error_; }
  SummaryStrip* banner() const { return banner_; }
  FolderTreeArea* tree() const { return tree_; }
  StyledButton* startOverButton() const { return startOverButton_; }
  StyledButton* retryButton() const { return retryButton_; }

 private:
  Reorg3View view_;
  SidebarWidget* sidebar_;
  QLabel* title_;
  QLabel* error_;
  SummaryStrip* banner_;
  FolderTreeArea* tree_;
  QWidget* treeButtons_;
  StyledButton* startOverButton_;
  QWidget* errorButtons_;
  StyledButton* retryButton_;
};
