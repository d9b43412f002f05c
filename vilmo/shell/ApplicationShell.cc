#include "vilmo/shell/ApplicationShell.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <algorithm>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/preview_panel.h"
#include "platform/updater.h"
#include "vilmo/shell/MenuBar.h"
#include "vilmo/shell/PreviewWindow.h"
#include "vilmo/shell/QuitSignals.h"
#include "vilmo/shell/RunLoopBridge.h"
#include "vilmo/shell/WindowBinding.h"

namespace shell {

namespace {
constexpr const char* kUpdaterMessageTitle = "Software Update";
}  // namespace

ApplicationShell::ApplicationShell()
    : runLoopBridge_(std::make_unique<RunLoopBridge>()),
      quitSignals_(std::make_unique<QuitSignals>()),
      previewWindow_(std::make_unique<PreviewWindow>()),
      self_(std::make_shared<ApplicationShell*>(this)) {
  auto application = platform::Application::sharedApplication();
  if (!application->mainMenu()) {
    application->setMainMenu(makeDefaultMainMenu(applicationName()));
  }
  application->setMainMenuChangeHook([this] { scheduleMenuBarUpdate(); });

  // Qt may report one loss of activation twice (inactive, then hidden); the application
  // posts only changes.
  QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &connections_,
                   [](Qt::ApplicationState state) {
                     platform::Application::sharedApplication()->setActive(state ==
                                                                           Qt::ApplicationActive);
                   });
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, &connections_,
                   [] { platform::Application::sharedApplication()->terminate(); });

  PreviewWindow* preview = previewWindow_.get();
  platform::PreviewPanel::installPresenter(
      [preview](bool visible, const std::optional<std::filesystem::path>& item) {
        preview->present(visible, item);
      });

  std::weak_ptr<ApplicationShell*> weak = self_;
  platform::Updater::setUserDriver([weak](const std::string& message) {
    // Widgets live on the GUI thread.
    platform::Queue::main()->async([weak, message] {
      if (auto self = weak.lock()) (*self)->showMessage(message);
    });
  });
}

ApplicationShell::~ApplicationShell() {
  platform::Updater::setUserDriver(nullptr);
  platform::PreviewPanel::installPresenter(nullptr);
  auto application = platform::Application::sharedApplication();
  application->setMainMenuChangeHook(nullptr);
  for (const auto& binding : windows_) application->removeWindow(binding->model());
  windows_.clear();
  for (const QPointer<QMessageBox>& box : messages_) delete box.data();
}

std::shared_ptr<platform::Menu>
ApplicationShell::makeDefaultMainMenu(const std::string& applicationName) {
  auto applicationMenu = platform::Menu::create(applicationName);
  auto quit = platform::MenuItem::create("Quit " + applicationName, "terminate", "q");
  // Leaving the event loop is what ends the application here; its will-terminate
  // notification follows from Qt's about-to-quit.
  quit->setTarget([] { QCoreApplication::quit(); });
  applicationMenu->addItem(quit);

  auto applicationItem = platform::MenuItem::create(applicationName);
  applicationItem->setSubmenu(applicationMenu);
  auto mainMenu = platform::Menu::create("Main Menu");
  mainMenu->addItem(applicationItem);
  return mainMenu;
}

std::string ApplicationShell::applicationName() {
  const std::string* name =
      platform::Bundle::main().objectForInfoDictionaryKey("CFBundleName").asString();
  return name && !name->empty() ? *name : "Vilmo";
}

void ApplicationShell::attachMainWindow(QMainWindow& window,
                                        std::shared_ptr<platform::Window> model) {
  // The bar first: the window's size accounts for it.
  if (auto menu = platform::Application::sharedApplication()->mainMenu()) {
    renderMenuBar(*window.menuBar(), *menu);
  } else {
    window.menuBar();
  }
  platform::Application::sharedApplication()->addWindow(model);
  windows_.push_back(std::make_unique<WindowBinding>(window, std::move(model)));
}

void ApplicationShell::detachMainWindow(QMainWindow& window) {
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [&](const auto& binding) { return &binding->window() == &window; });
  if (it == windows_.end()) return;
  platform::Application::sharedApplication()->removeWindow((*it)->model());
  windows_.erase(it);
}

std::vector<QMessageBox*> ApplicationShell::openMessages() const {
  std::vector<QMessageBox*> open;
  for (const QPointer<QMessageBox>& box : messages_) {
    if (box) open.push_back(box.data());
  }
  return open;
}

void ApplicationShell::scheduleMenuBarUpdate() {
  // A rebuild of the menu changes it many times in a row: the bars are redrawn once, on a
  // later turn, which also keeps an action from deleting the menu entry that sent it.
  if (menuBarUpdatePending_) return;
  menuBarUpdatePending_ = true;
  std::weak_ptr<ApplicationShell*> weak = self_;
  platform::Queue::main()->async([weak] {
    if (auto self = weak.lock()) {
      (*self)->menuBarUpdatePending_ = false;
      (*self)->updateMenuBars();
    }
  });
}

void ApplicationShell::updateMenuBars() {
  auto menu = platform::Application::sharedApplication()->mainMenu();
  for (const auto& binding : windows_) {
    QMenuBar* bar = binding->window().menuBar();
    if (menu) {
      renderMenuBar(*bar, *menu);
    } else {
      bar->clear();
    }
  }
}

void ApplicationShell::showMessage(const std::string& message) {
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(),
                                 [](const QPointer<QMessageBox>& box) { return box.isNull(); }),
                  messages_.end());
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromUtf8(kUpdaterMessageTitle),
                              QString::fromStdString(message), QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setAttribute(Qt::WA_QuitOnClose, false);
  // Shown without a nested event loop (no exec()): one would run main-queue tasks inside
  // the task that asked.
  box->show();
  messages_.emplace_back(box);
}

}  // namespace shell
