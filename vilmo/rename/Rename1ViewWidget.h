// Rename1ViewWidget: draws the rename drop screen (step 1001): the rename sidebar with "Settings"
// and "Auto Folder" beside the title and banner, the drop zone, the accepted files and the
// "Clear" / "Next" row.
#pragma once

#include <filesystem>
#include <vector>

#include "vilmo/rename/Rename1View.h"
#include "vilmo/widgets/ScreenWidget.h"

class PlainButton;
class QLabel;
class FileListArea;
class RoundedPanel;
class SidebarWidget;
class StyledButton;
class TooltipButtonWidget;

class Rename1ViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit Rename1ViewWidget(Rename1View view, QWidget* parent = nullptr);

  const Rename1View& view() const { return view_; }
  SidebarWidget* sidebar() const { return sidebar_; }
  // The screen as the root view builds it now.
  void setView(Rename1View view);
  void refresh() override;

  RoundedPanel* banner() const { return banner_; }
  QLabel* bannerLabel() const { return bannerLabel_; }
  TooltipButtonWidget* tooltipButton() const { return tooltip_; }
  // Both accept dropped files.
  QWidget* dropZone() const { return dropZone_; }
  FileListArea* fileList() const { return fileList_; }
  // One row per accepted file: its tinted row, its name button and its extension.
  struct FileRow {
    RoundedPanel* row;
    PlainButton* name;
    QLabel* extension;
  };
  const std::vector<FileRow>& fileRows() const { return rows_; }
  StyledButton* clearButton() const { return clearButton_; }
  StyledButton* nextButton() const { return nextButton_; }

 private:
  void drop(std::vector<std::filesystem::path> files);
  void rebuildRows(const std::vector<std::filesystem::path>& files);

  Rename1View view_;
  SidebarWidget* sidebar_;
  RoundedPanel* banner_;
  QLabel* bannerLabel_;
  TooltipButtonWidget* tooltip_;
  QWidget* dropZone_;
  FileListArea* fileList_;
  std::vector<FileRow> rows_;
  std::vector<std::filesystem::path> shownFiles_;
  QWidget* buttonRow_;
  StyledButton* clearButton_;
  StyledButton* nextButton_;
};
