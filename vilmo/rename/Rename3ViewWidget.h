// Rename3ViewWidget: draws the rename finished screen (step 1003): the rename sidebar with
// "Settings" beside the rows of old and applied names, the feedback panel, "Revoke All" and
// "Start Over".
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "vilmo/rename/Rename3View.h"
#include "vilmo/rename/RoundedPanel.h"
#include "vilmo/widgets/ScreenWidget.h"

class FileListArea;
class PlainButton;
class QLabel;
class SidebarWidget;
class StyledButton;

// One row of the finished list: the old name over an arrow, the applied name and the
// revoke icon.
class Rename3RowWidget : public RoundedPanel {
  Q_OBJECT

 public:
  Rename3RowWidget(std::size_t index, QWidget* parent);

  void display(const RenameResult& row, bool showsRevoke);

  std::size_t index() const { return index_; }
  PlainButton* oldNameButton() const { return oldName_; }
  QLabel* arrow() const { return arrow_; }
  QLabel* newNameLabel() const { return newName_; }
  PlainButton* revokeButton() const { return revoke_; }

 private:
  std::size_t index_;
  // What is drawn now; a redraw of the same row changes nothing.
  std::optional<RenameResult> shownRow_;
  bool shownRevoke_ = false;
  PlainButton* oldName_;
  QLabel* arrow_;
  QLabel* newName_;
  PlainButton* revoke_;
};

class Rename3ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename3ViewWidget(Rename3View view, QWidget* parent = nullptr);

  const Rename3View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now; the rating stays as it was.
  void setView(Rename3View view);
  void refresh() override;

  FileListArea* rowList() const { return rowList_; }
  const std::vector<Rename3RowWidget*>& rows() const { return rows_; }
  RoundedPanel* feedbackPanel() const { return feedbackPanel_; }
  QLabel* feedbackText() const { return feedbackText_; }
  PlainButton* thumbsUpButton() const { return thumbsUp_; }
  PlainButton* thumbsDownButton() const { return thumbsDown_; }
  PlainButton* formButton() const { return formButton_; }
  StyledButton* revokeAllButton() const { return revokeAllButton_; }
  StyledButton* startOverButton() const { return startOverButton_; }

 private:
  // Runs an action on a copy of the view (the action may redraw the screen, which replaces
  // view_), keeps the screen state it leaves, and redraws.
  void act(const std::function<void(Rename3View&)>& action);
  void rebuildRows(std::size_t count);

  Rename3View view_;
  SidebarWidget* sidebar_;
  FileListArea* rowList_;
  std::vector<Rename3RowWidget*> rows_;
  RoundedPanel* feedbackPanel_;
  QWidget* asking_;
  QLabel* feedbackText_;
  PlainButton* thumbsUp_;
  PlainButton* thumbsDown_;
  PlainButton* formButton_;
  StyledButton* revokeAllButton_;
  StyledButton* startOverButton_;
};
