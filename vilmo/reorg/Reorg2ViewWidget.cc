#include "vilmo/reorg/Reorg2ViewWidget.h"

#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Reorg2ViewWidget::Reorg2ViewWidget(Reorg2View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  addTitle(Reorg2View::kTitle, 8);
  error_ = addTitle(Reorg2View::kErrorText, 8);
  mainColumn()->addStretch(1);
  refresh();
}

void Reorg2ViewWidget::setView(Reorg2View view) {
  view_ = std::move(view);
  refresh();
}

void Reorg2ViewWidget::refresh() {
  bool hasTree = view_.aiFolder && view_.aiFolder.get() != nullptr;
  error_->setVisible(!hasTree);
}
