#include "vilmo/reorg/Reorg1ViewWidget.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "platform/files.h"
#include "vilmo/rename/FileDropTarget.h"
#include "vilmo/reorg/TreeViews.h"
#include "vilmo/widgets/SheetWidget.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr int kProgressSteps = 1000;

// The dashed, rounded drop zone on the window background, "Drag & Drop" in its middle. It
// takes a drag only when it is exactly one folder.
class FolderDropZone : public QWidget {
 public:
  FolderDropZone(QWidget* parent, std::function<bool(std::vector<std::filesystem::path>)> drop)
      : QWidget(parent), drop_(std::move(drop)) {
    setAcceptDrops(true);
    look::layOutDropZone(*this, Reorg1View::kDropZoneText);
  }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override {
    if (isOneFolder(*event->mimeData())) event->acceptProposedAction();
  }
  void dragMoveEvent(QDragMoveEvent* event) override {
    if (isOneFolder(*event->mimeData())) event->acceptProposedAction();
  }
  void dropEvent(QDropEvent* event) override {
    // Copied: a redraw may replace the handler's screen.
    auto drop = drop_;
    if (drop(FileDropTarget::localFiles(*event->mimeData()))) {
      event->acceptProposedAction();
    } else {
      event->ignore();
    }
  }

  void paintEvent(QPaintEvent*) override { look::paintDropZone(*this); }

 private:
  static bool isOneFolder(const QMimeData& data) {
    std::vector<std::filesystem::path> items = FileDropTarget::localFiles(data);
    if (items.size() != 1 || data.urls().size() != 1) return false;
    bool isDirectory = false;
    return platform::fileExists(items.front(), &isDirectory) && isDirectory;
  }

  std::function<bool(std::vector<std::filesystem::path>)> drop_;
};

}  // namespace

Reorg1ViewWidget::Reorg1ViewWidget(Reorg1View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();
  addTitle(Reorg1View::kTitle);

  dropZone_ = new FolderDropZone(main, [this](std::vector<std::filesystem::path> items) {
    return view_.acceptFolderDrop(std::move(items));
  });
  column->addWidget(dropZone_, 1);

  summary_ = new SummaryStrip(main);
  column->addWidget(summary_);
  tree_ = new FolderTreeArea(main);
  column->addWidget(tree_, 1);

  buttonRow_ = trailingButtonRow(main);
  reselectButton_ = addRowButton(buttonRow_, Reorg1View::kReselect, look::WhiteButtonStyle{},
                                 look::ColorRole::Primary);
  nextButton_ =
      addRowButton(buttonRow_, Reorg1View::kNext, look::BlueButtonStyle{}, look::ColorRole::White);
  column->addWidget(buttonRow_);

  // Copied before the call: the action redraws the screen, which replaces view_.
  connect(reselectButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.clearAction;
    if (action) action();
  });
  connect(nextButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.nextAction;
    if (action) action();
  });
  buildProgressSheet();
  refresh();
}

void Reorg1ViewWidget::buildProgressSheet() {
  sheet_ = new SheetWidget(this);
  QWidget* panel = sheet_->panel();
  panel->setObjectName(QStringLiteral("progressSheet"));
  panel->setMinimumSize(static_cast<int>(Reorg1View::kSheetMinimumWidth),
                        static_cast<int>(Reorg1View::kSheetMinimumHeight));
  auto* stack = new QVBoxLayout(panel);
  stack->setAlignment(Qt::AlignCenter);
  stack->addWidget(look::imageLabel(Reorg1View::kProgressImage, 104, panel), 0, Qt::AlignHCenter);
  auto* title = new QLabel(look::localized(Reorg1View::kProgressTitle), panel);
  title->setFont(look::displayFont(13, true));
  stack->addWidget(title, 0, Qt::AlignHCenter);
  progressBar_ = new QProgressBar(panel);
  progressBar_->setRange(0, kProgressSteps);
  progressBar_->setTextVisible(false);
  stack->addWidget(progressBar_);
  progressLabel_ = new QLabel(panel);
  progressLabel_->setFont(look::displayFont(10, false));
  stack->addWidget(progressLabel_, 0, Qt::AlignHCenter);
  cancelButton_ = new QPushButton(look::localized(Reorg1View::kCancel), panel);
  cancelButton_->setFont(look::displayFont(13, true));
  cancelButton_->setAutoDefault(false);
  auto* cancelRow = new QHBoxLayout;
  cancelRow->setContentsMargins(10, 10, 10, 10);
  cancelRow->addWidget(cancelButton_, 0, Qt::AlignHCenter);
  stack->addLayout(cancelRow);
  connect(cancelButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.cancelReorg;
    if (action) action();
  });
}

QWidget* Reorg1ViewWidget::progressSheet() const { return sheet_->panel(); }

void Reorg1ViewWidget::setView(Reorg1View view) {
  view_ = std::move(view);
  refresh();
}

void Reorg1ViewWidget::refresh() {
  if (!view_.selectedFolder) return;
  bool showsTree = view_.showsTree();
  dropZone_->setVisible(!showsTree);
  summary_->setVisible(showsTree);
  tree_->setVisible(showsTree);
  buttonRow_->setVisible(showsTree);
  tree_->setFolder(showsTree ? view_.selectedFolder.get() : nullptr);
  if (showsTree) {
    summary_->setText(view_.summaryText(look::localized(Reorg1View::kSummaryFormat).toStdString()));
  }

  bool disabled = view_.areButtonsDisabled();
  reselectButton_->setEnabled(!disabled);
  nextButton_->setEnabled(!disabled);
  nextButton_->setButtonStyle(look::BlueButtonStyle{disabled});

  double progress = view_.progressValue ? view_.progressValue.get() : 0.0;
  double shown = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
  progressBar_->setValue(static_cast<int>(std::lround(shown * kProgressSteps)));
  progressLabel_->setText(look::localized(Reorg1View::progressText(progress)));
  bool processing = view_.isProcessing && view_.isProcessing.get();
  if (processing && isVisible() && !sheet_->isVisible()) {
    sheet_->present();
  } else if (!processing && sheet_->isVisible()) {
    sheet_->dismiss();
  }
}

// A request may already run when the screen comes up.
void Reorg1ViewWidget::showEvent(QShowEvent* event) {
  TwoColumnScreen::showEvent(event);
  refresh();
}

void Reorg1ViewWidget::hideEvent(QHideEvent* event) {
  TwoColumnScreen::hideEvent(event);
  sheet_->dismiss();
}
