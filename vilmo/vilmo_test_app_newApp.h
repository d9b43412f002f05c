// vilmo_test_app_newApp: the application type. It makes the one AppDelegate and sets it as
// the application's delegate, opens the window group whose content is the root view, sizes
// the first window each time the content appears, and sums the active periods.
#pragma once

#include <memory>
#include <vector>

#include "platform/application.h"
#include "platform/notification_center.h"

class AppDelegate;
class QMainWindow;
class QObject;

namespace shell {
class ApplicationShell;
}

class vilmo_test_app_newApp {
 public:
  static constexpr platform::Size kWindowSize{585, 381};
  static constexpr platform::Size kWindowMaxSize{10000, 10000};
  static constexpr std::uint64_t kWindowStyleMask =
      platform::kWindowStyleMaskTitled | platform::kWindowStyleMaskClosable |
      platform::kWindowStyleMaskMiniaturizable | platform::kWindowStyleMaskResizable;

  // Makes the delegate and hands it to the application.
  vilmo_test_app_newApp();
  ~vilmo_test_app_newApp();
  vilmo_test_app_newApp(const vilmo_test_app_newApp&) = delete;
  vilmo_test_app_newApp& operator=(const vilmo_test_app_newApp&) = delete;

  const std::shared_ptr<AppDelegate>& delegate() const { return delegate_; }

  // The window group: opens its window (not yet shown) with a fresh root view as content,
  // attached to the shell, and starts following the application's activation.
  QMainWindow& body(shell::ApplicationShell& shell);
  QMainWindow* mainWindow() const { return window_.get(); }

  // Sizes the first of the application's windows; nothing without windows.
  void configureMainWindow();
  void markAppActive();
  void markAppInactive();

  // Opens the window group, finishes launching and shows the window: everything of the
  // entry but the event loop.
  QMainWindow& launch(shell::ApplicationShell& shell);
  // The application's entry: runs it in the existing QApplication and returns when its
  // event loop ends.
  static void main();

 private:
  std::shared_ptr<AppDelegate> delegate_;
  shell::ApplicationShell* shell_ = nullptr;
  std::unique_ptr<QMainWindow> window_;
  std::unique_ptr<QObject> appearanceWatcher_;
  std::vector<platform::ObserverToken> observers_;
};
