// Reorg2ViewWidget: draws the reorganise preview screen (step 2002): the reorganise sidebar beside
// the proposed tree with its banner and "Back" / "Reorganize" / "Apply", or the error text
// and "Retry" when there is no tree.
#pragma once

#include "vilmo/reorg/Reorg2View.h"
#include "vilmo/widgets/ScreenWidget.h"

class FolderTreeArea;
class QLabel;
class SidebarWidget;
class StyledButton;
class SummaryStrip;

class Reorg2ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg2ViewWidget(Reorg2View view, QWidget* parent = nullptr);

  const Reorg2View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg2View view);
  void refresh() override;

  QLabel* errorLabel() const { return error_; }
  SummaryStrip* banner() const { return banner_; }
  FolderTreeArea* tree() const { return tree_; }
  StyledButton* backButton() const { return backButton_; }
  StyledButton* reorganizeButton() const { return reorganizeButton_; }
  StyledButton* applyButton() const { return applyButton_; }
  StyledButton* retryButton() const { return retryButton_; }

 private:
  Reorg2View view_;
  SidebarWidget* sidebar_;
  QLabel* error_;
  SummaryStrip* banner_;
  FolderTreeArea* tree_;
  QWidget* treeButtons_;
  StyledButton* backButton_;
  StyledButton* reorganizeButton_;
  StyledButton* applyButton_;
  QWidget* errorButtons_;
  StyledButton* retryButton_;
};
