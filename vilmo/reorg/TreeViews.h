// TreeViews: a folder tree drawn as an indented outline of collapsible folders over
// clickable file names, in a scrolling panel; the views only read the tree.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QScrollArea>
#include <QWidget>

#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/RoundedPanel.h"
#include "vilmo/widgets/ButtonStyles.h"

class QAbstractButton;
class QLabel;
class QVBoxLayout;
class StyledButton;
class SubFolderView;
class VirtualFile;
class VirtualFolder;
class VirtualSubFolder;

// A click on a file row: the file becomes the preview item; the preview panel closes when
// it is up, else it opens on that file.
void togglePreview(const VirtualFile& file);

// One file's row: its name as a plain button, 20 high, that toggles the preview.
class FileView : public PlainButton {
  Q_OBJECT

 public:
  explicit FileView(std::shared_ptr<VirtualFile> file, QWidget* parent = nullptr);

  const std::shared_ptr<VirtualFile>& file() const { return file_; }

  static constexpr int kHeight = 20;

 private:
  std::shared_ptr<VirtualFile> file_;
};

// A disclosure group: a label row (triangle, folder icon, bold name) over the folder's
// rows, sub-folders first, then files, shown while expanded.
class FolderRowsView : public QWidget {
  Q_OBJECT

 public:
  bool isExpanded() const { return isExpanded_; }
  void setExpanded(bool expanded);
  QAbstractButton* disclosureButton() const { return disclosure_; }
  QLabel* nameLabel() const { return name_; }
  const std::vector<SubFolderView*>& subFolderViews() const { return subFolderViews_; }
  const std::vector<FileView*>& fileViews() const { return fileViews_; }

  static constexpr int kIconSize = 20;

 protected:
  FolderRowsView(int leadingPadding, bool isExpanded, QWidget* parent);
  void setName(const QString& name);
  // Matches rows to nodes by relative path, so a sub-folder's view and its expansion stay
  // while its node is still in the tree; new sub-folders open expanded.
  void syncRows(const std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders,
                const std::vector<std::shared_ptr<VirtualFile>>& files);

 private:
  bool isExpanded_;
  QAbstractButton* disclosure_;
  QLabel* name_;
  QWidget* content_;
  QVBoxLayout* rows_;
  std::vector<SubFolderView*> subFolderViews_;
  std::vector<FileView*> fileViews_;
};

class SubFolderView : public FolderRowsView {
  Q_OBJECT

 public:
  SubFolderView(std::shared_ptr<VirtualSubFolder> subFolder, bool isExpanded,
                QWidget* parent = nullptr);

  const std::shared_ptr<VirtualSubFolder>& subFolder() const { return subFolder_; }
  // Takes the node now at this row's place and shows its current arrays.
  void sync(std::shared_ptr<VirtualSubFolder> subFolder);

  static constexpr int kLeadingPadding = 15;

 private:
  std::shared_ptr<VirtualSubFolder> subFolder_;
};

// The root row, named after the last path component of the tree's folder on disk.
class FolderView : public FolderRowsView {
  Q_OBJECT

 public:
  FolderView(std::shared_ptr<VirtualFolder> folder, bool isExpanded, QWidget* parent = nullptr);

  const std::shared_ptr<VirtualFolder>& folder() const { return folder_; }
  // Shows the tree's current arrays.
  void sync();

  static constexpr int kLeadingPadding = 4;

 private:
  std::shared_ptr<VirtualFolder> folder_;
};

// The scrolling panel a screen shows its tree in, on a light grey rounded background. A
// new tree gets a new, fully expanded outline; the same tree keeps its expansion states.
class FolderTreeArea : public QScrollArea {
  Q_OBJECT

 public:
  explicit FolderTreeArea(QWidget* parent = nullptr);

  void setFolder(std::shared_ptr<VirtualFolder> folder);
  FolderView* folderView() const { return folderView_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  FolderView* folderView_ = nullptr;
};

// The accent-tinted strip, 24 high, that sums a tree up above it on every reorganise screen.
class SummaryStrip : public RoundedPanel {
  Q_OBJECT

 public:
  explicit SummaryStrip(QWidget* parent = nullptr);

  QLabel* label() const { return label_; }
  void setText(const std::string& text);

  static constexpr int kHeight = 24;

 private:
  QLabel* label_;
};

// The button row under a tree panel: buttons 8 apart, pushed to the trailing edge.
QWidget* trailingButtonRow(QWidget* parent);
// Appends a button to such a row, its label the text at size 13, bold, in the label colour.
StyledButton* addRowButton(QWidget* row, const char* text, look::ButtonStyle style,
                           look::ColorRole labelColor);
