#include "vilmo/widgets/ScreenWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QShowEvent>
#include <QVBoxLayout>

#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/widgets/Theme.h"

TwoColumnScreen::TwoColumnScreen(QWidget* leftColumn, bool attachesPreviewPanel, QWidget* parent)
    : ScreenWidget(parent), leftColumn_(leftColumn), attachesPreviewPanel_(attachesPreviewPanel) {
  auto* columns = new QHBoxLayout(this);
  // The columns' minimum widths add up to the window's (585) without spacing between.
  columns->setContentsMargins(0, 0, 0, 0);
  columns->setSpacing(0);
  leftColumn_->setParent(this);
  columns->addWidget(leftColumn_);

  auto* main = new QWidget(this);
  main->setObjectName(QStringLiteral("mainColumn"));
  main->setMinimumSize(kMainColumnMinimumWidth, kMinimumHeight);
  mainColumn_ = new QVBoxLayout(main);
  mainColumn_->setContentsMargins(20, 10, 20, 20);
  columns->addWidget(main, 1);
}

QLabel* TwoColumnScreen::addTitle(const char* text, int topPadding) {
  auto* title = new QLabel(look::localized(text), mainColumn_->parentWidget());
  title->setFont(look::displayFont(15, true));
  title->setContentsMargins(0, topPadding, 0, 0);
  look::setTextColor(title, {look::ColorRole::Primary});
  mainColumn_->addWidget(title);
  return title;
}

void TwoColumnScreen::showEvent(QShowEvent* event) {
  ScreenWidget::showEvent(event);
  if (attachesPreviewPanel_ && !event->spontaneous()) QuickLookPreviewHelper::attachPreviewPanel();
}
