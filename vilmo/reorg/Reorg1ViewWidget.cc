#include "vilmo/reorg/Reorg1ViewWidget.h"

#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Reorg1ViewWidget::Reorg1ViewWidget(Reorg1View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  addTitle(Reorg1View::kTitle);
  mainColumn()->addStretch(1);
}

void Reorg1ViewWidget::setView(Reorg1View view) {
  view_ = std::move(view);
  refresh();
}
