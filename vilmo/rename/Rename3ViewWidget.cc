#include "vilmo/rename/Rename3ViewWidget.h"

#include <QVBoxLayout>

#include "vilmo/widgets/SidebarWidget.h"

Rename3ViewWidget::Rename3ViewWidget(Rename3View view, QWidget* parent)
    : TwoColumnScreen(new SidebarWidget(view.sidebar()), true, parent), view_(std::move(view)),
      sidebar_(static_cast<SidebarWidget*>(leftColumn())) {
  addTitle(Rename3View::kTitle);
  mainColumn()->addStretch(1);
}

void Rename3ViewWidget::setView(Rename3View view) {
  view_ = std::move(view);
  refresh();
}
