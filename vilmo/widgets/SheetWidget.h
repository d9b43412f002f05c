// SheetWidget: a panel presented over a screen as a sheet: while it is up the screen behind
// it is dimmed and out of reach of the mouse and the keyboard.
#pragma once

#include <QWidget>

class SheetWidget : public QWidget {
  Q_OBJECT

 public:
  // The sheet covers `host` whole, following its size; the panel keeps its size hint (at
  // least its minimum size) in the middle.
  explicit SheetWidget(QWidget* host);

  // What the sheet shows: give it a layout and children.
  QWidget* panel() const { return panel_; }
  // Covers the host and takes the keyboard focus into the panel.
  void present();
  void dismiss();

  // How much black lies over the screen behind.
  static constexpr double kDimming = 0.35;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  // Tab and Backtab go round the panel's own controls.
  bool focusNextPrevChild(bool next) override;

 private:
  QWidget* host_;
  QWidget* panel_;
};
