#include "vilmo/reorg/Reorg3ViewWidget.h"

#include <QLabel>
#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Reorg3ViewWidget::Reorg3ViewWidget(Reorg3View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  title_ = addTitle(Reorg3View::kTitle, 8);
  error_ = addTitle(Reorg3View::kErrorText, 8);
  mainColumn()->addStretch(1);
  refresh();
}

void Reorg3ViewWidget::setView(Reorg3View view) {
  view_ = std::move(view);
  refresh();
}

// Without an applied tree the error text stands alone, with no title.
void Reorg3ViewWidget::refresh() {
  bool hasTree = view_.appliedFolder && view_.appliedFolder.get() != nullptr;
  title_->setVisible(hasTree);
  error_->setVisible(!hasTree);
}
