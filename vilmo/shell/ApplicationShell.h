// ApplicationShell: joins the platform's application model to Qt for the life of the event
// loop: the main queue runs in Qt's loop, Qt's application state and quitting (also when the
// process is asked to stop by a signal) drive the application's life cycle, the main menu
// becomes the main windows' menu bars, and the preview panel and the updater's messages get
// their windows.
#pragma once

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "platform/application.h"

class QMainWindow;
class QMessageBox;

namespace shell {

class PreviewWindow;
class QuitSignals;
class RunLoopBridge;
class WindowBinding;

class ApplicationShell {
 public:
  // The QApplication must exist and outlive the shell.
  ApplicationShell();
  ~ApplicationShell();
  ApplicationShell(const ApplicationShell&) = delete;
  ApplicationShell& operator=(const ApplicationShell&) = delete;

  // The main menu the application starts with: one application menu titled with the
  // application's name, holding "Quit <name>" (Ctrl+Q).
  static std::shared_ptr<platform::Menu> makeDefaultMainMenu(const std::string& applicationName);
  // CFBundleName of the main bundle, or "Vilmo".
  static std::string applicationName();

  // Shows the window model through this window and the main menu as its menu bar, and
  // lists the window among the application's windows. The window must outlive the shell
  // or be detached first.
  void attachMainWindow(QMainWindow& window, std::shared_ptr<platform::Window> model);
  void detachMainWindow(QMainWindow& window);

  PreviewWindow& previewWindow() const { return *previewWindow_; }
  // The updater's message boxes still open.
  std::vector<QMessageBox*> openMessages() const;

 private:
  void scheduleMenuBarUpdate();
  void updateMenuBars();
  void showMessage(const std::string& message);

  std::unique_ptr<RunLoopBridge> runLoopBridge_;
  std::unique_ptr<QuitSignals> quitSignals_;
  std::unique_ptr<PreviewWindow> previewWindow_;
  std::vector<std::unique_ptr<WindowBinding>> windows_;
  std::vector<QPointer<QMessageBox>> messages_;
  QObject connections_;
  // Shared with the queued menu-bar update, which finds it cleared once the shell is gone.
  std::shared_ptr<ApplicationShell*> self_;
  bool menuBarUpdatePending_ = false;
};

}  // namespace shell
