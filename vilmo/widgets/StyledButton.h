// StyledButton: a push button drawn in one of the window's button styles: a padded label
// on a filled, outlined rounded rectangle that shrinks slightly and loses its shadow while
// pressed, easing between the two looks.
#pragma once

#include <optional>

#include <QAbstractButton>
#include <QPixmap>
#include <QVariantAnimation>

#include "vilmo/widgets/ButtonStyles.h"

class QGraphicsDropShadowEffect;

class StyledButton : public QAbstractButton {
  Q_OBJECT

 public:
  StyledButton(const QString& text, look::ButtonStyle style, QWidget* parent = nullptr);

  const look::ButtonStyle& buttonStyle() const { return style_; }
  void setButtonStyle(look::ButtonStyle style);
  // The label's own text colour; without one it takes the style's line colour.
  void setLabelColor(std::optional<look::ColorSpec> color);
  std::optional<look::ColorSpec> labelColor() const { return labelColor_; }
  // An image drawn before the text, at this size, 2 apart.
  void setLabelIcon(const QPixmap& icon, QSize size);
  // Room kept around the label inside the style's padding, and a fixed label height that
  // clips a label taller than it (a long text wraps into further lines).
  void setLabelMargins(int left, int right);
  void setLabelHeight(std::optional<int> height);
  void setLabelAlignment(Qt::Alignment alignment);

  // The look being drawn now: the pressed look while held, the released one otherwise,
  // and in between while the change animates.
  look::ButtonBodyLook currentLook() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void animatePress(bool pressed);
  void applyShadow();
  QSize labelSize(int availableWidth) const;

  look::ButtonStyle style_;
  std::optional<look::ColorSpec> labelColor_;
  QPixmap icon_;
  QSize iconSize_;
  int labelLeftMargin_ = 0;
  int labelRightMargin_ = 0;
  std::optional<int> labelHeight_;
  Qt::Alignment labelAlignment_ = Qt::AlignCenter;
  // 0 released, 1 pressed.
  double pressProgress_ = 0;
  QVariantAnimation animation_;
  QGraphicsDropShadowEffect* shadow_;
};
