#include "vilmo/rename/Rename1ViewWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/rename/FileDropTarget.h"
#include "vilmo/rename/FileListArea.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/RenameScreens.h"
#include "vilmo/rename/RoundedPanel.h"
#include "vilmo/rename/TooltipButtonWidget.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr double kRowCornerRadius = 5;

// The dashed, rounded drop zone on the window background, "Drag & Drop" in its middle.
class DropZone : public QWidget {
 public:
  explicit DropZone(QWidget* parent) : QWidget(parent) {
    look::layOutDropZone(*this, Rename1View::kDropZoneText);
  }

 protected:
  void paintEvent(QPaintEvent*) override { look::paintDropZone(*this); }
};

}  // namespace

Rename1ViewWidget::Rename1ViewWidget(Rename1View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();

  auto* header = new QVBoxLayout;
  header->setSpacing(8);
  QLabel* title = addTitle(Rename1View::kTitle);
  column->removeWidget(title);
  header->addWidget(title);
  banner_ = new RoundedPanel({look::ColorRole::Accent, 0.15}, kRowCornerRadius, main);
  banner_->setObjectName(QStringLiteral("banner"));
  banner_->setFixedHeight(static_cast<int>(Rename1View::kBannerHeight));
  auto* bannerRow = new QHBoxLayout(banner_);
  bannerRow->setContentsMargins(15, 1, 8, 1);
  bannerRow->setSpacing(4);
  bannerLabel_ = new QLabel(banner_);
  bannerLabel_->setFont(look::displayFont(10, false));
  look::setTextColor(bannerLabel_, {look::ColorRole::Accent});
  bannerRow->addWidget(bannerLabel_);
  bannerRow->addStretch(1);
  tooltip_ = new TooltipButtonWidget(view_.tooltipButton(), banner_);
  bannerRow->addWidget(tooltip_);
  header->addWidget(banner_);
  column->addLayout(header);

  dropZone_ = new DropZone(main);
  column->addWidget(dropZone_, 1);
  new FileDropTarget(dropZone_, [this](auto files) { drop(std::move(files)); });

  fileList_ = new FileListArea(main);
  fileList_->setObjectName(QStringLiteral("fileList"));
  column->addWidget(fileList_, 1);
  new FileDropTarget(fileList_->viewport(), [this](auto files) { drop(std::move(files)); });

  buttonRow_ = new QWidget(main);
  auto* buttons = new QHBoxLayout(buttonRow_);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(8);
  buttons->addStretch(1);
  clearButton_ =
      new StyledButton(look::localized(Rename1View::kClear), look::WhiteButtonStyle{}, buttonRow_);
  clearButton_->setLabelColor(look::ColorSpec{look::ColorRole::Primary});
  nextButton_ =
      new StyledButton(look::localized(Rename1View::kNext), look::BlueButtonStyle{}, buttonRow_);
  nextButton_->setLabelColor(look::ColorSpec{look::ColorRole::White});
  buttons->addWidget(clearButton_);
  buttons->addWidget(nextButton_);
  column->addWidget(buttonRow_);

  // Copied before the call: the action redraws the screen, which replaces view_.
  connect(clearButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.clearAction;
    if (action) action();
  });
  connect(nextButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.nextAction;
    if (action) action();
  });
  refresh();
}

void Rename1ViewWidget::setView(Rename1View view) {
  view_ = std::move(view);
  refresh();
}

void Rename1ViewWidget::drop(std::vector<std::filesystem::path> files) {
  view_.handleFileDrop(std::move(files));
}

void Rename1ViewWidget::refresh() {
  if (!view_.supportedFiles || !view_.unsupportedFileTypes) return;
  std::vector<std::filesystem::path> files = view_.supportedFiles.get();

  banner_->setVisible(view_.showsBanner());
  bannerLabel_->setText(QString::fromStdString(
      view_.bannerText(look::localized(Rename1View::kBannerFormat).toStdString())));
  tooltip_->setUnsupportedFileTypes(view_.unsupportedFileTypes.get());

  dropZone_->setMaximumHeight(view_.limitsDropZoneHeight()
                                  ? static_cast<int>(Rename1View::kFilledDropZoneMaximumHeight)
                                  : QWIDGETSIZE_MAX);
  if (files != shownFiles_) rebuildRows(files);
  fileList_->setVisible(view_.showsFileList());

  buttonRow_->setVisible(view_.showsFileList());
  nextButton_->setButtonStyle(look::BlueButtonStyle{view_.isNextDisabled()});
  nextButton_->setEnabled(!view_.isNextDisabled());
}

void Rename1ViewWidget::rebuildRows(const std::vector<std::filesystem::path>& files) {
  for (const FileRow& row : rows_) fileList_->removeRow(row.row);
  rows_.clear();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::filesystem::path& file = files[i];
    auto* row = new RoundedPanel(fileRowBackground(i), kRowCornerRadius);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);

    auto* name = new PlainButton(row);
    name->setLabel(QString::fromStdString(file.filename().string()), look::displayFont(13, true),
                   {look::ColorRole::Primary});
    name->setPadding(QMargins(15, 5, 8, 5));
    connect(name, &QAbstractButton::clicked, this, [file] { Rename1View::togglePreview(file); });
    line->addWidget(name, 0);
    line->addStretch(1);

    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    auto* type = new QLabel(QString::fromStdString(extension).toUpper(), row);
    type->setFont(look::displayFont(13, true));
    type->setContentsMargins(5, 5, 8, 5);
    type->setFixedWidth(static_cast<int>(Rename1View::kExtensionWidth));
    type->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    look::setTextColor(type, {look::ColorRole::Secondary});
    line->addWidget(type);

    fileList_->insertRow(static_cast<int>(i), row);
    rows_.push_back({row, name, type});
  }
  shownFiles_ = files;
}
