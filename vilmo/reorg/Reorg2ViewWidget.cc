#include "vilmo/reorg/Reorg2ViewWidget.h"

#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/TreeViews.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

Reorg2ViewWidget::Reorg2ViewWidget(Reorg2View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  QWidget* main = mainColumn()->parentWidget();
  QVBoxLayout* column = mainColumn();
  addTitle(Reorg2View::kTitle, 8);

  banner_ = new SummaryStrip(main);
  column->addWidget(banner_);
  tree_ = new FolderTreeArea(main);
  column->addWidget(tree_, 1);
  treeButtons_ = trailingButtonRow(main);
  backButton_ = addRowButton(treeButtons_, Reorg2View::kBack, look::WhiteButtonStyle{},
                             look::ColorRole::Primary);
  reorganizeButton_ = addRowButton(treeButtons_, Reorg2View::kReorganize, look::WhiteButtonStyle{},
                                   look::ColorRole::Primary);
  applyButton_ = addRowButton(treeButtons_, Reorg2View::kApply, look::BlueButtonStyle{false},
                              look::ColorRole::White);
  column->addWidget(treeButtons_);

  error_ = addTitle(Reorg2View::kErrorText, 8);
  errorButtons_ = trailingButtonRow(main);
  retryButton_ = addRowButton(errorButtons_, Reorg2View::kRetry, look::WhiteButtonStyle{},
                              look::ColorRole::Primary);
  column->addWidget(errorButtons_);
  // Without a tree the error and "Retry" sit at the top.
  column->addStretch(0);

  // Copied before the call: the action redraws the screen, which replaces view_.
  connect(backButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.cancelReorg;
    if (action) action();
  });
  for (StyledButton* button : {reorganizeButton_, retryButton_}) {
    connect(button, &QAbstractButton::clicked, this, [this] {
      auto action = view_.retryAction;
      if (action) action();
    });
  }
  connect(applyButton_, &QAbstractButton::clicked, this, [this] {
    auto action = view_.applyAction;
    if (action) action();
  });
  refresh();
}

void Reorg2ViewWidget::setView(Reorg2View view) {
  view_ = std::move(view);
  refresh();
}

void Reorg2ViewWidget::refresh() {
  bool showsTree = view_.showsTree();
  banner_->setVisible(showsTree);
  tree_->setVisible(showsTree);
  treeButtons_->setVisible(showsTree);
  error_->setVisible(!showsTree);
  errorButtons_->setVisible(!showsTree);
  tree_->setFolder(showsTree ? view_.aiFolder.get() : nullptr);
  if (showsTree)
    banner_->setText(view_.bannerText(look::localized(kReorgBannerFormat).toStdString()));
}
