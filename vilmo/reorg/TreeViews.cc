#include "vilmo/reorg/TreeViews.h"

#include <algorithm>
#include <utility>

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QVBoxLayout>

#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr double kPanelCornerRadius = 6;
constexpr int kDisclosureSize = 14;

// The folder image at its natural size, shrunk only when larger than the frame.
QLabel* folderIcon(QWidget* parent) {
  auto* icon = new QLabel(parent);
  icon->setObjectName(QStringLiteral("uil_folder"));
  icon->setFixedSize(FolderRowsView::kIconSize, FolderRowsView::kIconSize);
  icon->setAlignment(Qt::AlignCenter);
  QPixmap image = look::assetImage("uil_folder");
  if (!image.isNull() &&
      (image.width() > FolderRowsView::kIconSize || image.height() > FolderRowsView::kIconSize)) {
    image = image.scaled(FolderRowsView::kIconSize, FolderRowsView::kIconSize, Qt::KeepAspectRatio,
                         Qt::SmoothTransformation);
  }
  icon->setPixmap(image);
  return icon;
}

}  // namespace

void togglePreview(const VirtualFile& file) {
  QuickLookPreviewHelper::togglePreview(file.sourceURL());
}

FileView::FileView(std::shared_ptr<VirtualFile> file, QWidget* parent)
    : PlainButton(parent), file_(std::move(file)) {
  setLabel(QString::fromStdString(file_->name()), look::displayFont(13, false),
           {look::ColorRole::Primary});
  setPadding(QMargins(15, 0, 0, 0));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(kHeight);
  // The row, not the screen, holds the file: a redraw may replace everything else.
  std::shared_ptr<VirtualFile> clicked = file_;
  connect(this, &QAbstractButton::clicked, this, [clicked] { togglePreview(*clicked); });
}

FolderRowsView::FolderRowsView(int leadingPadding, bool isExpanded, QWidget* parent)
    : QWidget(parent), isExpanded_(isExpanded) {
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(leadingPadding, 0, 0, 0);
  stack->setSpacing(0);

  auto* label = new QWidget(this);
  auto* labelRow = new QHBoxLayout(label);
  labelRow->setContentsMargins(0, 0, 0, 0);
  labelRow->setSpacing(4);
  auto* disclosure = new QToolButton(label);
  disclosure->setObjectName(QStringLiteral("disclosure"));
  disclosure->setAutoRaise(true);
  disclosure->setCheckable(true);
  // A bare triangle, as the platform's disclosure groups draw it.
  disclosure->setStyleSheet(
      QStringLiteral("QToolButton { border: none; background: transparent; }"));
  disclosure->setFixedSize(kDisclosureSize, kDisclosureSize);
  disclosure_ = disclosure;
  labelRow->addWidget(disclosure);
  labelRow->addWidget(folderIcon(label));
  name_ = new QLabel(label);
  name_->setFont(look::displayFont(13, true));
  // Names are shown as they are, never as rich text.
  name_->setTextFormat(Qt::PlainText);
  labelRow->addWidget(name_, 1);
  stack->addWidget(label);

  content_ = new QWidget(this);
  rows_ = new QVBoxLayout(content_);
  // The group's own indentation: its rows start under the name, past the triangle.
  rows_->setContentsMargins(kDisclosureSize, 0, 0, 0);
  rows_->setSpacing(0);
  stack->addWidget(content_);

  setExpanded(isExpanded);
  connect(disclosure, &QToolButton::toggled, this, [this](bool on) { setExpanded(on); });
}

void FolderRowsView::setExpanded(bool expanded) {
  isExpanded_ = expanded;
  auto* disclosure = static_cast<QToolButton*>(disclosure_);
  if (disclosure->isChecked() != expanded) {
    QSignalBlocker block(disclosure);
    disclosure->setChecked(expanded);
  }
  disclosure->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
  content_->setVisible(expanded);
}

void FolderRowsView::setName(const QString& name) { name_->setText(name); }

void FolderRowsView::syncRows(const std::vector<std::shared_ptr<VirtualSubFolder>>& subFolders,
                              const std::vector<std::shared_ptr<VirtualFile>>& files) {
  std::vector<SubFolderView*> previous = std::move(subFolderViews_);
  subFolderViews_.clear();
  for (const auto& subFolder : subFolders) {
    auto match = std::find_if(previous.begin(), previous.end(), [&](SubFolderView* view) {
      return view && view->subFolder()->relativePath() == subFolder->relativePath();
    });
    if (match != previous.end()) {
      SubFolderView* view = *match;
      *match = nullptr;
      view->sync(subFolder);
      subFolderViews_.push_back(view);
    } else {
      subFolderViews_.push_back(new SubFolderView(subFolder, true, content_));
    }
  }
  std::vector<QWidget*> gone(previous.begin(), previous.end());

  // File rows hold no state of their own: drawn anew when the files changed. A redraw with
  // the same files (every progress tick redraws) keeps them.
  bool sameFiles = fileViews_.size() == files.size() &&
                   std::equal(files.begin(), files.end(), fileViews_.begin(),
                              [](const auto& file, FileView* row) { return row->file() == file; });
  if (!sameFiles) {
    gone.insert(gone.end(), fileViews_.begin(), fileViews_.end());
    fileViews_.clear();
    for (const auto& file : files) fileViews_.push_back(new FileView(file, content_));
  }
  for (QWidget* row : gone) {
    if (!row) continue;
    rows_->removeWidget(row);
    row->hide();
    row->deleteLater();
  }

  // Sub-folders first, then files; the layout is only redone when that order changed.
  std::vector<QWidget*> wanted(subFolderViews_.begin(), subFolderViews_.end());
  wanted.insert(wanted.end(), fileViews_.begin(), fileViews_.end());
  bool inPlace = rows_->count() == static_cast<int>(wanted.size());
  for (int i = 0; inPlace && i < rows_->count(); ++i) {
    inPlace = rows_->itemAt(i)->widget() == wanted[static_cast<std::size_t>(i)];
  }
  if (inPlace) return;
  while (QLayoutItem* item = rows_->takeAt(0)) delete item;
  for (QWidget* row : wanted) {
    rows_->addWidget(row);
    row->show();
  }
}

SubFolderView::SubFolderView(std::shared_ptr<VirtualSubFolder> subFolder, bool isExpanded,
                             QWidget* parent)
    : FolderRowsView(kLeadingPadding, isExpanded, parent) {
  sync(std::move(subFolder));
}

void SubFolderView::sync(std::shared_ptr<VirtualSubFolder> subFolder) {
  subFolder_ = std::move(subFolder);
  setName(QString::fromStdString(subFolder_->name()));
  syncRows(subFolder_->subFolders(), subFolder_->files());
}

FolderView::FolderView(std::shared_ptr<VirtualFolder> folder, bool isExpanded, QWidget* parent)
    : FolderRowsView(kLeadingPadding, isExpanded, parent), folder_(std::move(folder)) {
  sync();
}

void FolderView::sync() {
  std::filesystem::path root = folder_->rootURL();
  if (!root.has_filename() && root.has_parent_path()) root = root.parent_path();
  setName(QString::fromStdString(root.filename().string()));
  syncRows(folder_->subFolders(), folder_->files());
}

FolderTreeArea::FolderTreeArea(QWidget* parent) : QScrollArea(parent) {
  setObjectName(QStringLiteral("folderTree"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The rounded background shows through.
  viewport()->setAutoFillBackground(false);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void FolderTreeArea::setFolder(std::shared_ptr<VirtualFolder> folder) {
  if (folderView_ && folder == folderView_->folder()) {
    folderView_->sync();
    return;
  }
  if (!folder) {
    folderView_ = nullptr;
    delete takeWidget();
    return;
  }
  auto* holder = new QWidget;
  holder->setAutoFillBackground(false);
  auto* stack = new QVBoxLayout(holder);
  stack->setContentsMargins(0, 0, 0, 0);
  folderView_ = new FolderView(std::move(folder), true, holder);
  stack->addWidget(folderView_);
  stack->addStretch(1);
  delete takeWidget();
  setWidget(holder);
}

void FolderTreeArea::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath background;
    background.addRoundedRect(QRectF(viewport()->rect()), kPanelCornerRadius, kPanelCornerRadius);
    // The platform's light grey (two thirds white), faint.
    QColor lightGray(170, 170, 170);
    lightGray.setAlphaF(0.15f);
    painter.fillPath(background, lightGray);
  }
  QScrollArea::paintEvent(event);
}

SummaryStrip::SummaryStrip(QWidget* parent)
    : RoundedPanel({look::ColorRole::Accent, 0.15}, 5, parent) {
  setObjectName(QStringLiteral("summaryStrip"));
  setFixedHeight(kHeight);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(15, 1, 8, 1);
  row->setSpacing(4);
  label_ = new QLabel(this);
  label_->setFont(look::displayFont(10, false));
  label_->setTextFormat(Qt::PlainText);
  look::setTextColor(label_, {look::ColorRole::Accent});
  row->addWidget(label_);
  row->addStretch(1);
}

void SummaryStrip::setText(const std::string& text) {
  label_->setText(QString::fromStdString(text));
}

QWidget* trailingButtonRow(QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* buttons = new QHBoxLayout(row);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(8);
  buttons->addStretch(1);
  return row;
}

StyledButton* addRowButton(QWidget* row, const char* text, look::ButtonStyle style,
                           look::ColorRole labelColor) {
  auto* button = new StyledButton(look::localized(text), style, row);
  button->setFont(look::displayFont(13, true));
  button->setLabelColor(look::ColorSpec{labelColor});
  row->layout()->addWidget(button);
  return button;
}
