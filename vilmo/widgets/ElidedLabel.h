// ElidedLabel: one line of plain text, such as a file name, shown whole wherever its row
// has room and shortened in the middle only where the row is too narrow, so that its end
// (an extension, a number) stays readable.
#pragma once

#include <QLabel>

class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ElidedLabel(QWidget* parent = nullptr);

  // The width the text needs to be drawn whole, rounded up: fractional glyph advances
  // rounded down would shorten the text in a box made exactly that wide.
  static int naturalWidth(const QString& text, const QFont& font);
  // The text as it fits in that width: whole, or with its middle replaced by "…".
  static QString fitted(const QString& text, const QFont& font, int width);
  // The least width worth giving such a text: room for "…" alone.
  static int shortestWidth(const QString& text, const QFont& font);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
