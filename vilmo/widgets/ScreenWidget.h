// ScreenWidget: one screen of the window as the step switch shows it; the window redraws
// it in place when the state it shows changes.
#pragma once

#include <QWidget>

class QLabel;
class QVBoxLayout;

class ScreenWidget : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;
  // Shows the root view's state as it is now.
  virtual void refresh() {}
};

// The two-column frame of every screen but the unknown one: a left column of fixed width
// beside a main column of at least 413 × 353 that takes all extra room.
class TwoColumnScreen : public ScreenWidget {
  Q_OBJECT

 public:
  // Screens that list files hook the shared preview panel up each time they come on
  // screen.
  TwoColumnScreen(QWidget* leftColumn, bool attachesPreviewPanel, QWidget* parent = nullptr);

  QWidget* leftColumn() const { return leftColumn_; }
  QVBoxLayout* mainColumn() const { return mainColumn_; }
  // A screen title (size 15, bold) added to the main column.
  QLabel* addTitle(const char* text, int topPadding = 0);

  static constexpr int kMainColumnMinimumWidth = 413;
  static constexpr int kMinimumHeight = 353;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* leftColumn_;
  QVBoxLayout* mainColumn_;
  bool attachesPreviewPanel_;
};
