#include "vilmo/reorg/Reorg3ViewWidget.h"

#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/TreeViews.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

Reorg3ViewWidget::Reorg3ViewWidget(Reorg3View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();
  title_ = addTitle(Reorg3View::kTitle, 8);

  banner_ = new SummaryStrip(main);
  column->addWidget(banner_);
  tree_ = new FolderTreeArea(main);
  column->addWidget(tree_, 1);
  treeButtons_ = trailingButtonRow(main);
  startOverButton_ = addRowButton(treeButtons_, Reorg3View::kStartOver,
                                  look::BlueButtonStyle{false}, look::ColorRole::White);
  column->addWidget(treeButtons_);

  error_ = addTitle(Reorg3View::kErrorText, 8);
  errorButtons_ = trailingButtonRow(main);
  retryButton_ = addRowButton(errorButtons_, Reorg3View::kRetry, look::WhiteButtonStyle{},
                              look::ColorRole::Primary);
  column->addWidget(errorButtons_);
  column->addStretch(0);

  // Copied before the call: the action redraws the screen, which replaces view_.
  connect(startOverButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.restartAction;
    if (action) action();
  });
  connect(retryButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.retryAction;
    if (action) action();
  });
  refresh();
}

void Reorg3ViewWidget::setView(Reorg3View view) {
  view_ = std::move(view);
  refresh();
}

// Without an applied tree the error text and "Retry" stand alone, with no title.
void Reorg3ViewWidget::refresh() {
  bool showsTree = view_.showsTree();
  title_->setVisible(showsTree);
  banner_->setVisible(showsTree);
  tree_->setVisible(showsTree);
  treeButtons_->setVisible(showsTree);
  error_->setVisible(!showsTree);
  errorButtons_->setVisible(!showsTree);
  tree_->setFolder(showsTree ? view_.appliedFolder.get() : nullptr);
  if (showsTree)
    banner_->setText(view_.bannerText(look::localized(kReorgBannerFormat).toStdString()));
}
