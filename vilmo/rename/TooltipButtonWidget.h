// TooltipButtonWidget: draws the drop screen's question-mark icon and, while the pointer is
// over it, the popover listing the refused and the supported file types.
#pragma once

#include <string>
#include <vector>

#include <QWidget>

#include "vilmo/rename/Rename1View.h"

class QFrame;
class QLabel;

class TooltipButtonWidget : public QWidget {
  Q_OBJECT

 public:
  explicit TooltipButtonWidget(TooltipButton button, QWidget* parent = nullptr);
  ~TooltipButtonWidget() override;

  const TooltipButton& button() const { return button_; }
  // The refused types as the screen shows them now; the hover state stays.
  void setUnsupportedFileTypes(std::vector<std::string> types);
  // The popover's texts in order, and the popover itself (none until first shown).
  std::vector<QLabel*> popoverLabels() const { return labels_; }
  QFrame* popover() const { return popover_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void setHovered(bool hovered);
  void rebuildPopover();

  TooltipButton button_;
  QFrame* popover_ = nullptr;
  std::vector<QLabel*> labels_;
};
