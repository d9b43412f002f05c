// ElidedLineEdit: a one-line text field whose text, while it is not being edited and is too
// long for the field, is shown from its start and cut at the end with "…", so that a cut is
// never mistaken for the whole text.
#pragma once

#include <QLineEdit>

class ElidedLineEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit ElidedLineEdit(QWidget* parent = nullptr);

  // The text as it is drawn now: whole while the field has the focus or room for it.
  QString shownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Where the field draws its line of text.
  QRect textLine() const;
};
