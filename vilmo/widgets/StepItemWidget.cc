#include "vilmo/widgets/StepItemWidget.h"

#include <QHBoxLayout>
#include <QLabel>

#include "vilmo/widgets/Theme.h"

StepItemWidget::StepItemWidget(const StepItem& item, QWidget* parent)
    : QWidget(parent), item_(item), number_(new QLabel(this)), text_(new QLabel(this)) {
  setFixedHeight(static_cast<int>(StepItem::kHeight));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  number_->setText(QString::fromStdString(item.number));
  number_->setFont(look::displayFont(13, true));
  number_->setAlignment(Qt::AlignCenter);
  number_->setFixedWidth(static_cast<int>(StepItem::kNumberWidth));
  look::setTextColor(number_, item.numberColor());

  // A long text wraps into further lines; the row keeps its height and cuts them off.
  text_->setText(look::localized(item.text));
  text_->setFont(look::displayFont(13, true));
  text_->setWordWrap(true);
  look::setTextColor(text_, item.textColor());

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(8, 0, 8, 0);
  row->setSpacing(2);
  row->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  row->addWidget(number_, 0, Qt::AlignVCenter);
  row->addWidget(text_, 1, Qt::AlignVCenter);
}
