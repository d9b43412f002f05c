// PlainButton: a button drawn as its bare label (a text or an icon) with no body of its
// own, as the rename screens use for file names and row icons.
#pragma once

#include <optional>

#include <QAbstractButton>
#include <QMargins>
#include <QPixmap>

#include "vilmo/widgets/ColorSpec.h"

class PlainButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit PlainButton(QWidget* parent = nullptr);

  // A text label in this font and colour.
  void setLabel(const QString& text, const QFont& font, look::ColorSpec color);
  // An icon label: the bundle's image drawn inside a square frame of this size. The image's
  // name becomes the button's object name.
  void setIconLabel(const std::string& imageName, int size);
  const std::string& iconName() const { return iconName_; }
  // Room around the label.
  void setPadding(const QMargins& padding);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QSize labelSize() const;

  look::ColorSpec color_{look::ColorRole::Primary};
  std::string iconName_;
  QPixmap icon_;
  int iconSize_ = 0;
  QMargins padding_;
};
