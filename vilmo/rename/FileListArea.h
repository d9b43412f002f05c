// FileListArea: the scrolling list of file rows on the rename screens, rows stacked without
// gaps from the top, its own background hidden so the window shows between them.
#pragma once

#include <QScrollArea>

class QVBoxLayout;

class FileListArea : public QScrollArea {
  Q_OBJECT

 public:
  explicit FileListArea(QWidget* parent = nullptr);

  int rowCount() const;
  void insertRow(int index, QWidget* row);
  // Hidden at once and deleted later: the row may be the sender of the event being handled.
  void removeRow(QWidget* row);

 private:
  QVBoxLayout* rows_;
};
