// Reorg1ViewWidget: draws the reorganise drop screen (step 2001): the reorganise sidebar with "File
// Rename" beside the drop zone, or the loaded folder's summary, tree and "Reselect" / "Next";
// the progress panel comes up as a sheet while a request runs.
#pragma once

#include "vilmo/reorg/Reorg1View.h"
#include "vilmo/widgets/ScreenWidget.h"

class FolderTreeArea;
class QLabel;
class QProgressBar;
class QPushButton;
class SheetWidget;
class SidebarWidget;
class StyledButton;
class SummaryStrip;

class Reorg1ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Reorg1ViewWidget(Reorg1View view, QWidget* parent = nullptr);

  const Reorg1View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Reorg1View view);
  void refresh() override;

  // Accepts one dropped folder.
  QWidget* dropZone() const { return dropZone_; }
  SummaryStrip* summary() const { return summary_; }
  FolderTreeArea* tree() const { return tree_; }
  StyledButton* reselectButton() const { return reselectButton_; }
  StyledButton* nextButton() const { return nextButton_; }
  // The progress panel, the sheet that presents it over the dimmed screen, and its parts.
  QWidget* progressSheet() const;
  SheetWidget* sheet() const { return sheet_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QLabel* progressLabel() const { return progressLabel_; }
  QPushButton* cancelButton() const { return cancelButton_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void buildProgressSheet();

  Reorg1View view_;
  SidebarWidget* sidebar_;
  QWidget* dropZone_;
  SummaryStrip* summary_;
  FolderTreeArea* tree_;
  QWidget* buttonRow_;
  StyledButton* reselectButton_;
  StyledButton* nextButton_;
  SheetWidget* sheet_;
  QProgressBar* progressBar_;
  QLabel* progressLabel_;
  QPushButton* cancelButton_;
};
