#include "vilmo/rename/Rename1ViewWidget.h"

#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Rename1ViewWidget::Rename1ViewWidget(Rename1View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  addTitle(Rename1View::kTitle);
  mainColumn()->addStretch(1);
}

void Rename1ViewWidget::setView(Rename1View view) {
  view_ = std::move(view);
  refresh();
}
