#include "vilmo/rename/Rename3ViewWidget.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/rename/FileListArea.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/RenameScreens.h"
#include "vilmo/widgets/ElidedLabel.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

constexpr double kCornerRadius = 5;
// The results block's padding on every edge; the list reaches 10 into it on the left.
constexpr int kResultsPadding = 10;

int iconSize() { return static_cast<int>(Rename3View::kIconSize); }
int lineHeight() { return static_cast<int>(Rename3View::kRowLineHeight); }

PlainButton* iconButton(const std::string& imageName, QWidget* parent) {
  auto* button = new PlainButton(parent);
  button->setIconLabel(imageName, iconSize());
  return button;
}

// The panel's layout: a spacer, the text over the thumbs, a spacer, the form button.
enum FeedbackSlot { kLeadingSpace = 0, kAsking = 1, kTrailingSpace = 2 };

}  // namespace

Rename3RowWidget::Rename3RowWidget(std::size_t index, QWidget* parent)
    : RoundedPanel(fileRowBackground(index), kCornerRadius, parent), index_(index) {
  auto* lines = new QVBoxLayout(this);
  lines->setContentsMargins(0, 0, 0, 0);
  lines->setSpacing(0);

  auto* oldLine = new QWidget(this);
  oldLine->setFixedHeight(lineHeight());
  auto* old = new QHBoxLayout(oldLine);
  old->setContentsMargins(0, 0, 0, 0);
  oldName_ = new PlainButton(oldLine);
  oldName_->setObjectName(QStringLiteral("oldName"));
  oldName_->setPadding(QMargins(15, 1, 8, 1));
  old->addWidget(oldName_, 0, Qt::AlignLeft | Qt::AlignVCenter);
  old->addStretch(1);
  lines->addWidget(oldLine);

  auto* newLine = new RoundedPanel({look::ColorRole::Accent, 0.1}, 0, this);
  newLine->setFixedHeight(lineHeight());
  auto* applied = new QHBoxLayout(newLine);
  applied->setContentsMargins(0, 0, 0, 0);
  applied->setSpacing(0);
  auto* names = new QHBoxLayout;
  names->setContentsMargins(15, 1, 8, 1);
  names->setSpacing(4);
  arrow_ = new QLabel(QString::fromUtf8(Rename3View::kArrow), newLine);
  arrow_->setFont(look::displayFont(13, true));
  look::setTextColor(arrow_, {look::ColorRole::Accent});
  names->addWidget(arrow_);
  newName_ = new ElidedLabel(newLine);
  newName_->setObjectName(QStringLiteral("newName"));
  newName_->setFont(look::displayFont(13, true));
  look::setTextColor(newName_, {look::ColorRole::Primary});
  auto* shadow = new QGraphicsDropShadowEffect(newName_);
  shadow->setColor(look::resolveColor({look::ColorRole::Primary, 0.05}, newName_->palette()));
  shadow->setBlurRadius(0.5);
  shadow->setOffset(0, 0);
  newName_->setGraphicsEffect(shadow);
  names->addWidget(newName_);
  applied->addLayout(names);
  revoke_ = iconButton(Rename3View::kRevokeIcon, newLine);
  revoke_->setPadding(QMargins(3, 0, 3, 0));
  applied->addWidget(revoke_);
  applied->addStretch(1);
  lines->addWidget(newLine);
}

void Rename3RowWidget::display(const RenameResult& row, bool showsRevoke) {
  if (shownRow_ == row && shownRevoke_ == showsRevoke) return;
  shownRow_ = row;
  shownRevoke_ = showsRevoke;
  oldName_->setLabel(QString::fromStdString(row.oldName), look::displayFont(13, true),
                     {look::ColorRole::Primary});
  newName_->setText(QString::fromStdString(row.newName));
  revoke_->setVisible(showsRevoke);
}

Rename3ViewWidget::Rename3ViewWidget(Rename3View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();

  auto* results = new QVBoxLayout;
  results->setContentsMargins(0, kResultsPadding, kResultsPadding, kResultsPadding);
  results->setSpacing(8);
  QLabel* title = addTitle(Rename3View::kTitle);
  column->removeWidget(title);
  title->setContentsMargins(kResultsPadding, 0, 0, 0);
  results->addWidget(title);
  auto* header = new QLabel(look::localized(Rename3View::kColumnHeader), main);
  header->setFont(look::displayFont(13, true));
  header->setContentsMargins(kResultsPadding, 0, 0, 0);
  look::setTextColor(header, {look::ColorRole::Primary, 0.25});
  results->addWidget(header);
  rowList_ = new FileListArea(main);
  rowList_->setObjectName(QStringLiteral("rowList"));
  results->addWidget(rowList_, 1);
  column->addLayout(results, 1);

  auto* bottomBar = new QHBoxLayout;
  bottomBar->setContentsMargins(15, 0, 0, 0);
  bottomBar->setSpacing(8);

  feedbackPanel_ = new RoundedPanel({look::ColorRole::White, 0.25}, kCornerRadius, main);
  feedbackPanel_->setObjectName(QStringLiteral("feedbackPanel"));
  feedbackPanel_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  auto* panel = new QHBoxLayout(feedbackPanel_);
  panel->setContentsMargins(15, 3, 8, 3);
  panel->addStretch(1);
  asking_ = new QWidget(feedbackPanel_);
  auto* askingColumn = new QVBoxLayout(asking_);
  askingColumn->setContentsMargins(0, 0, 0, 0);
  askingColumn->setSpacing(2);
  feedbackText_ = new QLabel(asking_);
  feedbackText_->setFont(look::displayFont(10, false));
  look::setTextColor(feedbackText_, {look::ColorRole::Primary, 0.5});
  askingColumn->addWidget(feedbackText_);
  auto* thumbs = new QHBoxLayout;
  thumbs->setSpacing(4);
  thumbsUp_ = iconButton(Rename3View::kThumbsUpIcon, asking_);
  thumbsDown_ = iconButton(Rename3View::kThumbsDownIcon, asking_);
  thumbs->addWidget(thumbsUp_);
  thumbs->addWidget(thumbsDown_);
  thumbs->addStretch(1);
  askingColumn->addLayout(thumbs);
  panel->addWidget(asking_, 0, Qt::AlignBottom);
  panel->addStretch(0);
  formButton_ = iconButton(Rename3View::kFormIcon, feedbackPanel_);
  panel->addWidget(formButton_, 0, Qt::AlignVCenter);
  bottomBar->addWidget(feedbackPanel_, 1, Qt::AlignBottom);

  revokeAllButton_ =
      new StyledButton(look::localized(Rename3View::kRevokeAll), look::WhiteButtonStyle{}, main);
  revokeAllButton_->setLabelColor(look::ColorSpec{look::ColorRole::Primary});
  bottomBar->addWidget(revokeAllButton_, 0, Qt::AlignBottom);
  startOverButton_ = new StyledButton(look::localized(Rename3View::kStartOver),
                                      look::BlueButtonStyle{false}, main);
  startOverButton_->setLabelColor(look::ColorSpec{look::ColorRole::White});
  bottomBar->addWidget(startOverButton_, 0, Qt::AlignBottom);
  column->addLayout(bottomBar);

  connect(thumbsUp_, &QAbstractButton::clicked, this,
          [this] { act([](Rename3View& v) { v.rateResults(true); }); });
  connect(thumbsDown_, &QAbstractButton::clicked, this,
          [this] { act([](Rename3View& v) { v.rateResults(false); }); });
  connect(formButton_, &QAbstractButton::clicked, this, [] { openFeedbackForm(); });
  connect(revokeAllButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.revokeAllAction;
    if (action) action();
  });
  connect(startOverButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.renameAgainAction;
    if (action) action();
  });
  refresh();
}

void Rename3ViewWidget::setView(Rename3View view) {
  view.keepScreenState(view_);
  view_ = std::move(view);
  refresh();
}

void Rename3ViewWidget::act(const std::function<void(Rename3View&)>& action) {
  Rename3View view = view_;
  action(view);
  view_.keepScreenState(view);
  refresh();
}

void Rename3ViewWidget::rebuildRows(std::size_t count) {
  for (Rename3RowWidget* row : rows_) rowList_->removeRow(row);
  rows_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    auto* row = new Rename3RowWidget(i, nullptr);
    rowList_->insertRow(static_cast<int>(i), row);
    rows_.push_back(row);
    connect(row->oldNameButton(), &QAbstractButton::clicked, this,
            [this, i] { act([i](Rename3View& v) { v.togglePreview(i); }); });
    connect(row->revokeButton(), &QAbstractButton::clicked, this,
            [this, i] { act([i](Rename3View& v) { v.revoke(i); }); });
  }
}

void Rename3ViewWidget::refresh() {
  if (!view_.renameResults) return;
  std::vector<RenameResult> results = view_.renameResults.get();
  if (results.size() != rows_.size()) rebuildRows(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    rows_[i]->display(results[i], view_.showsRevokeControls());
  }

  // Asking sits at the trailing end; once answered, the text leads and the link trails.
  auto* panel = static_cast<QHBoxLayout*>(feedbackPanel_->layout());
  panel->setStretch(kLeadingSpace, view_.feedbackGiven ? 0 : 1);
  panel->setStretch(kTrailingSpace, view_.feedbackGiven ? 1 : 0);
  feedbackText_->setText(look::localized(view_.feedbackText));
  thumbsUp_->setVisible(!view_.feedbackGiven);
  thumbsDown_->setVisible(!view_.feedbackGiven);
  formButton_->setVisible(view_.feedbackGiven);

  revokeAllButton_->setVisible(view_.showsRevokeControls());
}
