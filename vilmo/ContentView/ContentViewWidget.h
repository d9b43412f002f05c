// ContentViewWidget: the window's content: shows the screen of the root view's step code
// and redraws it whenever the state changes; loads the settings when it appears and
// stores them when it disappears.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QPointer>
#include <QWidget>

#include "vilmo/ContentView/ContentView.h"
#include "vilmo/widgets/ScreenWidget.h"

class QVBoxLayout;

class ContentViewWidget : public QWidget {
  Q_OBJECT

 public:
  explicit ContentViewWidget(std::shared_ptr<ContentView> view, QWidget* parent = nullptr);
  ~ContentViewWidget() override;

  const std::shared_ptr<ContentView>& contentView() const { return view_; }
  // The screen on show and the step code it was built for.
  ScreenWidget* currentScreen() const { return screen_; }
  std::int64_t shownStep() const { return shownStep_; }

  static constexpr int kMinimumWidth = 585;
  static constexpr int kMinimumHeight = 353;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void stateChanged();
  void buildScreen(std::int64_t step);
  void disappear();

  std::shared_ptr<ContentView> view_;
  ContentView::ObserverID observer_ = 0;
  QVBoxLayout* layout_;
  QPointer<ScreenWidget> screen_;
  std::int64_t shownStep_ = 0;
  // Hands the screen the root view's current state.
  std::function<void()> refreshScreen_;
  bool appeared_ = false;
};
