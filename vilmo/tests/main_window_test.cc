// The application as it starts: its window, menu and first screen, drawn offscreen.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <algorithm>

#include <gtest/gtest.h>

#include "messaging/ZIRMessaging.h"
#include "platform/application.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"
#include "tests/support/main_queue.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/LoadHooks.h"
#include "vilmo/shell/ApplicationShell.h"
#include "vilmo/shell/WindowBinding.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/vilmo_test_app_newApp.h"

namespace {

bool showsText(QWidget* widget, const QString& text) {
  const auto labels = widget->findChildren<QLabel*>();
  return std::any_of(labels.begin(), labels.end(), [&](QLabel* label) {
    return label->isVisibleTo(widget) && label->text() == text;
  });
}

// Launches as the entry does, short of running the event loop.
class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    runClassLoadHooks();
    platform::Bundle::setMainForTesting(VILMO_TEST_BUNDLE);
  }
  ~MainWindowTest() override {
    app_.reset();
    shell_.reset();
    platform::RunLoop::drain();
    APMMeasurement::setRecorder(nullptr);
  }

  void launchAndSettle() {
    shell_ = std::make_unique<shell::ApplicationShell>();
    app_ = std::make_unique<vilmo_test_app_newApp>();
    window_ = &app_->launch(*shell_);
    // Launch is over once the menu has its update item and the push token reached messaging.
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] {
      auto messaging = ZIRMessaging::messaging();
      return lastEntryOfFirstMenu() == "Check for Updates" && messaging && messaging->APNSToken();
    }));
    QApplication::processEvents();
  }

  QString lastEntryOfFirstMenu() const {
    auto menus = window_->menuBar()->actions();
    if (menus.isEmpty() || !menus[0]->menu() || menus[0]->menu()->actions().isEmpty()) return {};
    return menus[0]->menu()->actions().last()->text();
  }

  int argc_ = 1;
  char name_[16] = "vilmo";
  char* argv_[2] = {name_, nullptr};
  QApplication application_{argc_, argv_};
  testing_support::TemporaryHome home_;
  std::shared_ptr<vilmo_test::RecordingSink> sink_ = vilmo_test::RecordingSink::install();
  std::unique_ptr<shell::ApplicationShell> shell_;
  std::unique_ptr<vilmo_test_app_newApp> app_;
  QMainWindow* window_ = nullptr;
};

TEST_F(MainWindowTest, OpensTitledAt585By381WithTheUpdateItemAndTheRenameScreen) {
  launchAndSettle();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(window_->windowTitle(), "Vilmo");
  EXPECT_TRUE(window_->windowFlags() & Qt::WindowTitleHint);
  EXPECT_EQ(shell::WindowBinding::contentSizeOf(*window_), (platform::Size{585, 381}));
  EXPECT_EQ(window_->centralWidget()->size(), QSize(585, 381));
  const int bar = window_->height() - 381;
  EXPECT_EQ(window_->minimumSize(), QSize(585, 381 + bar));

  auto windows = platform::Application::sharedApplication()->windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0]->contentSize(), (platform::Size{585, 381}));
  EXPECT_EQ(windows[0]->minSize(), (platform::Size{585, 381}));
  EXPECT_EQ(windows[0]->maxSize(), (platform::Size{10000, 10000}));
  EXPECT_EQ(windows[0]->styleMask(), 15u);

  auto menus = window_->menuBar()->actions();
  ASSERT_FALSE(menus.isEmpty());
  EXPECT_EQ(menus[0]->text(), "Vilmo");
  QStringList entries;
  for (QAction* entry : menus[0]->menu()->actions()) entries << entry->text();
  EXPECT_EQ(entries, (QStringList{"Quit Vilmo", "Check for Updates"}));
  EXPECT_TRUE(menus[0]->menu()->actions().last()->shortcut().isEmpty());

  auto* content = qobject_cast<ContentViewWidget*>(window_->centralWidget());
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->shownStep(), 1001);
  EXPECT_TRUE(showsText(content, "Drop files"));
  EXPECT_EQ(sink_->names(), std::vector<std::string>{"app_launch"});
}

TEST_F(MainWindowTest, OpensOnTheReorganiseScreenWhenThatIsTheDefault) {
  platform::UserDefaults::standard()->setInteger("defaultStepType", 1);
  launchAndSettle();
  auto* content = qobject_cast<ContentViewWidget*>(window_->centralWidget());
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->shownStep(), 2001);
  EXPECT_TRUE(showsText(content, "Drop folder"));
  EXPECT_EQ(shell::WindowBinding::contentSizeOf(*window_), (platform::Size{585, 381}));
}

TEST_F(MainWindowTest, EachAppearanceSizesTheWindowAgain) {
  launchAndSettle();
  const int bar = window_->height() - 381;
  window_->resize(900, 700 + bar);
  EXPECT_EQ(shell::WindowBinding::contentSizeOf(*window_), (platform::Size{900, 700}));
  window_->hide();
  window_->show();
  EXPECT_EQ(shell::WindowBinding::contentSizeOf(*window_), (platform::Size{585, 381}));
}

TEST_F(MainWindowTest, QuitEndsTheEventLoopAndReportsTheClose) {
  launchAndSettle();
  QAction* quit = window_->menuBar()->actions()[0]->menu()->actions()[0];
  ASSERT_EQ(quit->text(), "Quit Vilmo");
  EXPECT_EQ(quit->shortcut(), QKeySequence("Ctrl+Q"));
  bool gaveUp = false;
  QObject scope;  // the fallback goes with the test
  QTimer::singleShot(0, quit, &QAction::trigger);
  QTimer::singleShot(10000, &scope, [&] {
    gaveUp = true;
    QCoreApplication::quit();
  });
  QApplication::exec();
  EXPECT_FALSE(gaveUp);
  EXPECT_EQ(sink_->names(), (std::vector<std::string>{"app_launch", "app_close"}));
}

}  // namespace
