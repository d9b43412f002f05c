// Rename2ViewWidget: draws the rename preview screen (step 1002): the rename sidebar with
// "Settings" beside the rows of current and proposed names, the rating block, "Go back" and
// "Apply".
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vilmo/rename/Rename2View.h"
#include "vilmo/rename/RoundedPanel.h"
#include "vilmo/widgets/ElidedLineEdit.h"
#include "vilmo/widgets/ScreenWidget.h"

class FileListArea;
class PlainButton;
class QLabel;
class SidebarWidget;
class StyledButton;

// One row of the preview: the file name, and the proposal group with its arrow, editable
// name, clear and retry buttons, tinted by the row's state. The proposal has at least half
// of the width the two names share.
class Rename2RowWidget : public RoundedPanel {
  Q_OBJECT

 public:
  Rename2RowWidget(std::size_t index, QWidget* parent);

  // Shows the row as it is now; the field's text is replaced only when it differs, so that
  // typing keeps its place.
  void display(const RenameResult& row, bool isApplyingRename);

  std::size_t index() const { return index_; }
  PlainButton* nameButton() const { return nameButton_; }
  RoundedPanel* proposalGroup() const { return proposalGroup_; }
  QLabel* arrow() const { return arrow_; }
  ElidedLineEdit* nameField() const { return nameField_; }
  PlainButton* clearButton() const { return clearButton_; }
  PlainButton* retryButton() const { return retryButton_; }

 private:
  std::size_t index_;
  // What is drawn now; a redraw of the same row changes nothing.
  std::optional<RenameResult> shownRow_;
  bool shownApplying_ = false;
  PlainButton* nameButton_;
  RoundedPanel* proposalGroup_;
  QLabel* arrow_;
  ElidedLineEdit* nameField_;
  PlainButton* clearButton_;
  PlainButton* retryButton_;
};

class Rename2ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename2ViewWidget(Rename2View view, QWidget* parent = nullptr);

  const Rename2View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now; the rating stays as it was.
  void setView(Rename2View view);
  void refresh() override;

  FileListArea* rowList() const { return rowList_; }
  const std::vector<Rename2RowWidget*>& rows() const { return rows_; }
  // The rating block: the panel (hidden while waiting), its text and its buttons.
  RoundedPanel* ratingPanel() const { return ratingPanel_; }
  QLabel* ratingText() const { return ratingText_; }
  PlainButton* thumbsUpButton() const { return thumbsUp_; }
  PlainButton* thumbsDownButton() const { return thumbsDown_; }
  PlainButton* formButton() const { return formButton_; }
  StyledButton* goBackButton() const { return goBackButton_; }
  StyledButton* applyButton() const { return applyButton_; }

 private:
  // Runs an action on a copy of the view (the action may redraw the screen, which replaces
  // view_), keeps the screen state it leaves, and redraws.
  void act(const std::function<void(Rename2View&)>& action);
  void rebuildRows(std::size_t count);

  Rename2View view_;
  SidebarWidget* sidebar_;
  FileListArea* rowList_;
  std::vector<Rename2RowWidget*> rows_;
  RoundedPanel* ratingPanel_;
  QLabel* ratingText_;
  PlainButton* thumbsUp_;
  PlainButton* thumbsDown_;
  PlainButton* formButton_;
  StyledButton* goBackButton_;
  StyledButton* applyButton_;
};
