#include "vilmo/vilmo_test_app_newApp.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <functional>

#include "platform/date.h"
#include "vilmo/AppDelegate.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/shell/ApplicationShell.h"

namespace {

// Runs an action each time the watched widget is shown: the content's appearance. The
// window system's own show events (a window restored after being minimised) are no appearance.
class AppearanceWatcher : public QObject {
 public:
  explicit AppearanceWatcher(std::function<void()> onAppear) : onAppear_(std::move(onAppear)) {}

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show && !event->spontaneous()) onAppear_();
    return false;
  }

 private:
  std::function<void()> onAppear_;
};

}  // namespace

vilmo_test_app_newApp::vilmo_test_app_newApp() : delegate_(std::make_shared<AppDelegate>()) {
  platform::Application::sharedApplication()->setDelegate(delegate_);
}

vilmo_test_app_newApp::~vilmo_test_app_newApp() {
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const auto& token : observers_) center.removeObserver(token);
  if (shell_ && window_) shell_->detachMainWindow(*window_);
  window_.reset();
  auto application = platform::Application::sharedApplication();
  if (application->delegate() == delegate_) application->setDelegate(nullptr);
}

QMainWindow& vilmo_test_app_newApp::body(shell::ApplicationShell& shell) {
  shell_ = &shell;
  window_ = std::make_unique<QMainWindow>();
  auto* content = new ContentViewWidget(ContentView::create());
  window_->setCentralWidget(content);
  appearanceWatcher_ = std::make_unique<AppearanceWatcher>([this] { configureMainWindow(); });
  content->installEventFilter(appearanceWatcher_.get());

  auto model = std::make_shared<platform::Window>();
  model->setTitle(shell::ApplicationShell::applicationName());
  shell.attachMainWindow(*window_, std::move(model));

  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(
      center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                         [this](const platform::Notification&) { markAppActive(); }));
  observers_.push_back(
      center.addObserver(platform::kApplicationDidResignActiveNotification, nullptr, nullptr,
                         [this](const platform::Notification&) { markAppInactive(); }));
  return *window_;
}

void vilmo_test_app_newApp::configureMainWindow() {
  auto windows = platform::Application::sharedApplication()->windows();
  if (windows.empty()) return;
  const auto& window = windows.front();
  window->setContentSize(kWindowSize);
  window->setMinSize(kWindowSize);
  window->setMaxSize(kWindowMaxSize);
  window->setStyleMask(kWindowStyleMask);
}

void vilmo_test_app_newApp::markAppActive() { delegate_->setLastActiveTime(platform::Date::now()); }

void vilmo_test_app_newApp::markAppInactive() {
  auto last = delegate_->lastActiveTime();
  if (!last) return;
  delegate_->setTotalActiveTime(delegate_->totalActiveTime() +
                                platform::Date::now().timeIntervalSince(*last));
}

QMainWindow& vilmo_test_app_newApp::launch(shell::ApplicationShell& shell) {
  QMainWindow& window = body(shell);
  platform::Application::sharedApplication()->finishLaunching();
  window.show();
  return window;
}

void vilmo_test_app_newApp::main() {
  shell::ApplicationShell shell;
  vilmo_test_app_newApp app;
  app.launch(shell);
  QApplication::exec();
}
