#include "vilmo/rename/Rename2ViewWidget.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "vilmo/UsageEvents.h"
#include "vilmo/rename/FileListArea.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/RenameScreens.h"
#include "vilmo/widgets/ElidedLineEdit.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr double kCornerRadius = 5;
// The list block's padding on every edge; the list reaches 10 into it on the left.
constexpr int kListBlockPadding = 10;

// The least room for a proposal, in a window at its smallest: about ten characters.
constexpr int kNameFieldMinimumWidth = 80;

int iconSize() { return static_cast<int>(Rename2View::kIconSize); }
int rowHeight() { return static_cast<int>(Rename2View::kRowHeight); }

PlainButton* iconButton(const std::string& imageName, QWidget* parent) {
  auto* button = new PlainButton(parent);
  button->setIconLabel(imageName, iconSize());
  return button;
}

// The faint shadow under proposed names.
void addNameShadow(QWidget* widget) {
  auto* shadow = new QGraphicsDropShadowEffect(widget);
  shadow->setColor(look::resolveColor({look::ColorRole::Primary, 0.05}, widget->palette()));
  shadow->setBlurRadius(0.5);
  shadow->setOffset(0, 0);
  widget->setGraphicsEffect(shadow);
}

// Lays out a row's name group and proposal group side by side. The width left for the two
// names once the fixed parts are placed is shared so that the proposal, the name the user
// came for, gets at least half of it and all that the file name does not need: a long file
// name gives way first (it is shortened in the middle, keeping its end readable).
class RowLayout : public QLayout {
 public:
  RowLayout(QWidget* row, QWidget* nameGroup, QWidget* name, QWidget* proposalGroup, QWidget* field)
      : QLayout(row), name_(name), field_(field) {
    setContentsMargins(0, 0, 0, 0);
    addChildWidget(nameGroup);
    addChildWidget(proposalGroup);
    items_ = {new QWidgetItem(nameGroup), new QWidgetItem(proposalGroup)};
  }
  ~RowLayout() override {
    for (QLayoutItem* item : items_) delete item;
  }

  void addItem(QLayoutItem* item) override { delete item; }
  int count() const override { return static_cast<int>(items_.size()); }
  QLayoutItem* itemAt(int index) const override {
    return index >= 0 && index < count() ? items_[static_cast<std::size_t>(index)] : nullptr;
  }
  // Only while the row is taken apart.
  QLayoutItem* takeAt(int index) override {
    QLayoutItem* item = itemAt(index);
    if (item) items_.erase(items_.begin() + index);
    return item;
  }

  QSize sizeHint() const override {
    if (!whole()) return {};
    return combined(items_[0]->sizeHint(), items_[1]->sizeHint());
  }
  QSize minimumSize() const override {
    if (!whole()) return {};
    return combined(items_[0]->minimumSize(), items_[1]->minimumSize());
  }

  void setGeometry(const QRect& rect) override {
    QLayout::setGeometry(rect);
    if (!whole()) return;
    // What each group needs besides its name: margins, the arrow, the row buttons.
    int nameGroupRest = items_[0]->sizeHint().width() - name_->sizeHint().width();
    int proposalGroupRest = items_[1]->minimumSize().width() - field_->minimumWidth();
    int shared = rect.width() - gap() - nameGroupRest - proposalGroupRest;
    int nameWidth = std::min(name_->sizeHint().width(), shared / 2);
    int nameGroupWidth = std::max(nameGroupRest + nameWidth, items_[0]->minimumSize().width());
    items_[0]->setGeometry(QRect(rect.x(), rect.y(), nameGroupWidth, rect.height()));
    int proposalX = rect.x() + nameGroupWidth + gap();
    items_[1]->setGeometry(
        QRect(proposalX, rect.y(), std::max(0, rect.right() + 1 - proposalX), rect.height()));
  }

 private:
  bool whole() const { return items_.size() == 2; }
  int gap() const { return std::max(0, spacing()); }
  QSize combined(QSize name, QSize proposal) const {
    return {name.width() + gap() + proposal.width(), std::max(name.height(), proposal.height())};
  }

  QWidget* name_;
  QWidget* field_;
  std::vector<QLayoutItem*> items_;
};

}  // namespace

Rename2RowWidget::Rename2RowWidget(std::size_t index, QWidget* parent)
    : RoundedPanel(fileRowBackground(index), kCornerRadius, parent), index_(index) {
  // The name group: the file name, on the row's own background.
  auto* nameGroup = new QWidget(this);
  nameGroup->setFixedHeight(rowHeight());
  auto* names = new QHBoxLayout(nameGroup);
  names->setContentsMargins(15, 1, 8, 1);
  nameButton_ = new PlainButton(nameGroup);
  nameButton_->setObjectName(QStringLiteral("fileName"));
  names->addWidget(nameButton_, 0, Qt::AlignLeft | Qt::AlignVCenter);

  // The proposal group, tinted by the row's state.
  proposalGroup_ = new RoundedPanel({look::ColorRole::Accent, 0.1}, 0, this);
  auto* proposal = new QHBoxLayout(proposalGroup_);
  proposal->setContentsMargins(0, 0, 0, 0);
  auto* nameStack = new QHBoxLayout;
  nameStack->setContentsMargins(15, 1, 8, 1);
  nameStack->setSpacing(4);
  arrow_ = new QLabel(QString::fromUtf8(Rename2View::kArrow), proposalGroup_);
  arrow_->setFont(look::displayFont(13, true));
  nameStack->addWidget(arrow_);
  nameField_ = new ElidedLineEdit(proposalGroup_);
  nameField_->setFrame(false);
  nameField_->setPlaceholderText(look::localized(Rename2View::kPlaceholder));
  nameField_->setMinimumWidth(kNameFieldMinimumWidth);
  addNameShadow(nameField_);
  nameStack->addWidget(nameField_, 1);
  proposal->addLayout(nameStack, 1);

  auto* buttonsBox = new QWidget(proposalGroup_);
  buttonsBox->setFixedHeight(rowHeight());
  auto* buttons = new QHBoxLayout(buttonsBox);
  buttons->setContentsMargins(3, 2, 3, 2);
  buttons->setSpacing(4);
  clearButton_ = iconButton(Rename2View::kClearIcon, buttonsBox);
  retryButton_ = iconButton(Rename2View::kRetryIcon, buttonsBox);
  buttons->addWidget(clearButton_, 0, Qt::AlignRight);
  buttons->addWidget(retryButton_, 0, Qt::AlignRight);
  proposal->addWidget(buttonsBox, 0);
  new RowLayout(this, nameGroup, nameButton_, proposalGroup_, nameField_);
}

void Rename2RowWidget::display(const RenameResult& row, bool isApplyingRename) {
  if (shownRow_ == row && shownApplying_ == isApplyingRename) return;
  shownRow_ = row;
  shownApplying_ = isApplyingRename;
  nameButton_->setLabel(QString::fromStdString(row.oldName), look::displayFont(13, true),
                        {look::ColorRole::Primary});
  look::ColorSpec color = Rename2View::proposalColor(row);
  proposalGroup_->setFill(Rename2View::proposalTint(row));
  look::setTextColor(arrow_, color);

  QString name = QString::fromStdString(row.newName);
  if (nameField_->text() != name) {
    nameField_->setText(name);
    // setText leaves the cursor at the end, which scrolls a long name's beginning out of the
    // field; unless the user is typing in it, the name is read from its start.
    if (!nameField_->hasFocus()) nameField_->setCursorPosition(0);
  }
  nameField_->setEnabled(!isApplyingRename);
  look::setTextColor(nameField_, color);
  // The field's own background is clear: the proposal's tint shows through.
  QPalette palette = nameField_->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  nameField_->setPalette(palette);

  bool buttonsEnabled = Rename2View::rowButtonsEnabled(row);
  clearButton_->setEnabled(buttonsEnabled);
  retryButton_->setIconLabel(Rename2View::retryIcon(row), iconSize());
  retryButton_->setEnabled(buttonsEnabled);
}

Rename2ViewWidget::Rename2ViewWidget(Rename2View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();

  auto* listBlock = new QVBoxLayout;
  listBlock->setContentsMargins(0, kListBlockPadding, kListBlockPadding, kListBlockPadding);
  listBlock->setSpacing(8);
  QLabel* title = addTitle(Rename2View::kTitle);
  column->removeWidget(title);
  title->setContentsMargins(kListBlockPadding, 0, 0, 0);
  listBlock->addWidget(title);
  auto* header = new QLabel(look::localized(Rename2View::kColumnHeader), main);
  header->setFont(look::displayFont(13, true));
  header->setContentsMargins(kListBlockPadding, 0, 0, 0);
  look::setTextColor(header, {look::ColorRole::Primary, 0.25});
  listBlock->addWidget(header);
  rowList_ = new FileListArea(main);
  rowList_->setObjectName(QStringLiteral("rowList"));
  listBlock->addWidget(rowList_, 1);
  column->addLayout(listBlock, 1);

  auto* bottomBar = new QHBoxLayout;
  bottomBar->setContentsMargins(15, 0, 0, 0);
  bottomBar->setSpacing(8);

  // The rating block keeps its room while it shows nothing.
  auto* ratingBlock = new QWidget(main);
  ratingBlock->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  auto* ratingRoom = new QHBoxLayout(ratingBlock);
  ratingRoom->setContentsMargins(0, 0, 0, 0);
  ratingPanel_ = new RoundedPanel({look::ColorRole::White, 0.25}, kCornerRadius, ratingBlock);
  ratingPanel_->setObjectName(QStringLiteral("ratingBlock"));
  auto* rating = new QHBoxLayout(ratingPanel_);
  rating->setContentsMargins(15, 3, 8, 3);
  ratingText_ = new QLabel(ratingPanel_);
  ratingText_->setFont(look::displayFont(10, false));
  look::setTextColor(ratingText_, {look::ColorRole::Primary, 0.5});
  rating->addWidget(ratingText_);
  rating->addStretch(1);
  auto* thumbs = new QHBoxLayout;
  thumbs->setSpacing(4);
  thumbsUp_ = iconButton(Rename2View::kThumbsUpIcon, ratingPanel_);
  thumbsDown_ = iconButton(Rename2View::kThumbsDownIcon, ratingPanel_);
  thumbs->addWidget(thumbsUp_);
  thumbs->addWidget(thumbsDown_);
  rating->addLayout(thumbs);
  formButton_ = iconButton(Rename2View::kFormIcon, ratingPanel_);
  rating->addWidget(formButton_);
  ratingRoom->addWidget(ratingPanel_, 1, Qt::AlignBottom);
  bottomBar->addWidget(ratingBlock, 1, Qt::AlignBottom);

  goBackButton_ =
      new StyledButton(look::localized(Rename2View::kGoBack), look::WhiteButtonStyle{}, main);
  goBackButton_->setLabelColor(look::ColorSpec{look::ColorRole::Primary});
  bottomBar->addWidget(goBackButton_, 0, Qt::AlignBottom);
  applyButton_ =
      new StyledButton(look::localized(Rename2View::kApply), look::BlueButtonStyle{}, main);
  applyButton_->setLabelColor(look::ColorSpec{look::ColorRole::White});
  bottomBar->addWidget(applyButton_, 0, Qt::AlignBottom);
  column->addLayout(bottomBar);

  connect(thumbsUp_, &QAbstractButton::clicked, this,
          [this] { act([](Rename2View& v) { v.logThumbFeedback(usage_event::kUpThumb); }); });
  connect(thumbsDown_, &QAbstractButton::clicked, this,
          [this] { act([](Rename2View& v) { v.logThumbFeedback(usage_event::kDownThumb); }); });
  connect(formButton_, &QAbstractButton::clicked, this, [] { openFeedbackForm(); });
  connect(goBackButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.goBackAction;
    if (action) action();
  });
  connect(applyButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.applyRenameAction;
    if (action) action();
  });
  refresh();
}

void Rename2ViewWidget::setView(Rename2View view) {
  view.keepScreenState(view_);
  view_ = std::move(view);
  refresh();
}

void Rename2ViewWidget::act(const std::function<void(Rename2View&)>& action) {
  Rename2View view = view_;
  action(view);
  view_.keepScreenState(view);
  refresh();
}

void Rename2ViewWidget::rebuildRows(std::size_t count) {
  for (Rename2RowWidget* row : rows_) rowList_->removeRow(row);
  rows_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    auto* row = new Rename2RowWidget(i, nullptr);
    rowList_->insertRow(static_cast<int>(i), row);
    rows_.push_back(row);
    connect(row->nameButton(), &QAbstractButton::clicked, this, [this, i] {
      std::vector<RenameResult> rows = view_.renameResults.get();
      if (i < rows.size()) Rename2View::togglePreview(rows[i].url);
    });
    connect(row->nameField(), &QLineEdit::textEdited, this, [this, i](const QString& text) {
      act([i, name = text.toStdString()](Rename2View& v) { v.commitEditedName(i, name); });
    });
    connect(row->clearButton(), &QAbstractButton::clicked, this,
            [this, i] { act([i](Rename2View& v) { v.clearEditedName(i); }); });
    connect(row->retryButton(), &QAbstractButton::clicked, this,
            [this, i] { act([i](Rename2View& v) { v.retry(i); }); });
  }
}

void Rename2ViewWidget::refresh() {
  if (!view_.renameResults) return;
  std::vector<RenameResult> results = view_.renameResults.get();
  if (results.size() != rows_.size()) rebuildRows(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    rows_[i]->display(results[i], view_.isApplyingRename);
  }

  Rename2View::RatingBlock block = view_.ratingBlock();
  ratingPanel_->setVisible(block != Rename2View::RatingBlock::Waiting);
  ratingText_->setText(look::localized(view_.feedbackText));
  thumbsUp_->setVisible(block == Rename2View::RatingBlock::Asking);
  thumbsDown_->setVisible(block == Rename2View::RatingBlock::Asking);
  formButton_->setVisible(block == Rename2View::RatingBlock::Commented);

  bool applyDisabled = view_.applyDisabled();
  applyButton_->setButtonStyle(look::BlueButtonStyle{applyDisabled});
  applyButton_->setEnabled(!applyDisabled);
}
