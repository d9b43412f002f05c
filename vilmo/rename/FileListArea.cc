#include "vilmo/rename/FileListArea.h"

#include <QVBoxLayout>

FileListArea::FileListArea(QWidget* parent) : QScrollArea(parent) {
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  viewport()->setAutoFillBackground(false);
  auto* content = new QWidget;
  content->setAutoFillBackground(false);
  rows_ = new QVBoxLayout(content);
  rows_->setContentsMargins(0, 0, 0, 0);
  rows_->setSpacing(0);
  rows_->addStretch(1);
  setWidget(content);
}

int FileListArea::rowCount() const { return rows_->count() - 1; }

void FileListArea::insertRow(int index, QWidget* row) {
  row->setParent(widget());
  rows_->insertWidget(index, row);
}

void FileListArea::removeRow(QWidget* row) {
  rows_->removeWidget(row);
  row->hide();
  row->deleteLater();
}
