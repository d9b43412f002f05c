#include "vilmo/rename/Rename2ViewWidget.h"

#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Rename2ViewWidget::Rename2ViewWidget(Rename2View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  addTitle(Rename2View::kTitle);
  mainColumn()->addStretch(1);
}

void Rename2ViewWidget::setView(Rename2View view) {
  view_ = std::move(view);
  refresh();
}
