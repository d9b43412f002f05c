// The application type and the Qt shell under it: activation and its sums, the window and
// menu models shown through Qt, the main queue inside Qt's loop, quitting on a stop signal,
// the preview window and the updater's messages, and the configuration.
#include "vilmo/vilmo_test_app_newApp.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPdfWriter>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "messaging/ZIRMessaging.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/preview_panel.h"
#include "platform/run_loop.h"
#include "platform/updater.h"
#include "tests/support/child_process.h"
#include "tests/support/main_queue.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/AppDelegate.h"
#include "vilmo/LoadHooks.h"
#include "vilmo/shell/ApplicationShell.h"
#include "vilmo/shell/MenuBar.h"
#include "vilmo/shell/PreviewWindow.h"
#include "vilmo/shell/RunLoopBridge.h"
#include "vilmo/shell/WindowBinding.h"
#include "vilmo/tests/content_view_test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using vilmo_test::processQtEventsUntil;

// The Qt application, the bundle and a recording analytics sink in a fresh home; the SDK is
// configured by the launch under test.
class ShellTest : public ::testing::Test {
 protected:
  ShellTest() {
    runClassLoadHooks();
    // The application object lives for the process; each test starts with no main menu.
    platform::Application::sharedApplication()->setMainMenu(nullptr);
    platform::Bundle::setMainForTesting(VILMO_TEST_BUNDLE);
  }
  ~ShellTest() override {
    platform::RunLoop::drain();
    APMMeasurement::setRecorder(nullptr);
    VEVEza::resetApps();
  }

  int argc_ = 1;
  char name_[16] = "vilmo_test";
  char* argv_[2] = {name_, nullptr};
  QApplication application_{argc_, argv_};
  testing_support::TemporaryHome home_;
  std::shared_ptr<vilmo_test::RecordingSink> sink_ = vilmo_test::RecordingSink::install();
};

TEST_F(ShellTest, ActiveTimeIsSummedOverClosedPeriodsCountingEachResignationOnce) {
  testing_support::ManualClockScope clock;
  shell::ApplicationShell shell;
  vilmo_test_app_newApp app;
  app.body(shell);
  platform::Application::sharedApplication()->finishLaunching();
  // Launch ends with the push token reaching messaging (through the local stand-in).
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([] {
    auto messaging = ZIRMessaging::messaging();
    return messaging && messaging->APNSToken();
  }));

  // Qt's application states as a desktop reports them: a loss of activation can come as
  // inactive and then hidden (or suspended).
  auto report = [](Qt::ApplicationState state) { emit qGuiApp->applicationStateChanged(state); };
  clock.advance(10);
  report(Qt::ApplicationActive);
  clock.advance(5);
  report(Qt::ApplicationInactive);  // first period: 5 s
  clock.advance(2);
  report(Qt::ApplicationHidden);  // the same resignation again: not counted
  clock.advance(3);
  report(Qt::ApplicationActive);
  clock.advance(7);
  report(Qt::ApplicationSuspended);  // second period: 7 s
  clock.advance(3);
  report(Qt::ApplicationActive);  // still open at termination: not counted
  clock.advance(5);
  EXPECT_EQ(app.delegate()->totalActiveTime(), 12.0);
  platform::Application::sharedApplication()->terminate();

  std::vector<std::string> names = sink_->names();
  EXPECT_EQ(names, (std::vector<std::string>{"app_launch", "app_close"}));
  // Both went the whole road: front, internal API, the core's worker queue.
  EXPECT_EQ(sink_->events().front().origin, "app");
  auto close = sink_->events().back();
  EXPECT_EQ(close.parameters["total_run_time"], Value(35.0));
  EXPECT_EQ(close.parameters["total_active_time"], Value(12.0));
}

TEST_F(ShellTest, ResigningBeforeAnyActivationAddsNothing) {
  shell::ApplicationShell shell;
  vilmo_test_app_newApp app;
  app.markAppInactive();
  EXPECT_EQ(app.delegate()->totalActiveTime(), 0.0);
  EXPECT_EQ(app.delegate()->lastActiveTime(), std::nullopt);
  // Without windows there is nothing to size.
  EXPECT_TRUE(platform::Application::sharedApplication()->windows().empty());
  app.configureMainWindow();
  EXPECT_EQ(platform::Application::sharedApplication()->delegate(), app.delegate());
}

TEST_F(ShellTest, TheMainQueueRunsInQtsEventLoop) {
  shell::RunLoopBridge bridge;
  std::atomic<int> ran{0};
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      platform::Queue::main()->async([&] {
        EXPECT_TRUE(platform::RunLoop::isMainThread());
        // Queued while the main queue drains: runs too.
        if (++ran == 100) platform::Queue::main()->async([&] { ++ran; });
      });
    }
  });
  worker.join();
  EXPECT_TRUE(processQtEventsUntil([&] { return ran == 101; }));
}

// Run by the next test in a process of its own: the application as the program's entry runs
// it, asked to stop by the signal named in VILMO_TEST_SIGNAL once its event loop turns.
TEST_F(ShellTest, DISABLED_RunsUntilASignalAsksItToStop) {
  const char* named = std::getenv("VILMO_TEST_SIGNAL");
  ASSERT_NE(named, nullptr);
  const int signalNumber = std::atoi(named);
  // As a program started from a desktop or a terminal has it, whatever ran these tests.
  ::signal(signalNumber, SIG_DFL);
  // Should the signal be lost, the child ends failed instead of waiting for ever.
  ::alarm(60);
  platform::Queue::main()->async([signalNumber] { ::kill(::getpid(), signalNumber); });
  vilmo_test_app_newApp::main();

  std::vector<std::string> names = sink_->names();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "app_close");
  EXPECT_TRUE(sink_->events().back().parameters["total_run_time"].isNumber());
}

// A desktop session ending, a service manager and Ctrl+C in a terminal stop the program with
// a signal: it quits the way its Quit command does, so "app_close" is still logged and the
// stores hear that the application terminates, and the process exits normally.
TEST(QuitSignalTest, EachStopSignalEndsTheApplicationThroughItsQuitPath) {
  for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signalNumber));
    auto child = testing_support::runTestInChildProcess(
        "ShellTest.DISABLED_RunsUntilASignalAsksItToStop",
        {{"VILMO_TEST_SIGNAL", std::to_string(signalNumber)}});
    EXPECT_TRUE(child.passed()) << child.output;
  }
}

TEST_F(ShellTest, TheMainMenuIsDrawnAsTheMenuBarAndRedrawnAfterChanges) {
  shell::ApplicationShell shell;
  auto application = platform::Application::sharedApplication();
  QMainWindow window;
  shell.attachMainWindow(window, std::make_shared<platform::Window>());

  auto menus = [&] {
    std::vector<std::pair<std::string, std::vector<std::string>>> drawn;
    for (QAction* top : window.menuBar()->actions()) {
      std::vector<std::string> entries;
      if (QMenu* menu = top->menu()) {
        for (QAction* entry : menu->actions()) {
          entries.push_back(entry->text().toStdString() + "|" +
                            entry->shortcut().toString().toStdString());
        }
      }
      drawn.emplace_back(top->text().toStdString(), entries);
    }
    return drawn;
  };
  using Drawn = std::vector<std::pair<std::string, std::vector<std::string>>>;
  EXPECT_EQ(menus(), (Drawn{{"Vilmo", {"Quit Vilmo|Ctrl+Q"}}}));

  auto applicationMenu = application->mainMenu()->itemArray()[0]->submenu();
  int checks = 0;
  auto check = platform::MenuItem::create("Check for Updates", "checkForUpdates");
  check->setTarget([&] { ++checks; });
  applicationMenu->addItem(check);
  EXPECT_EQ(menus().size(), 1u);
  EXPECT_EQ(menus()[0].second.size(), 1u);  // redrawn on a later turn
  platform::RunLoop::drain();
  EXPECT_EQ(menus(), (Drawn{{"Vilmo", {"Quit Vilmo|Ctrl+Q", "Check for Updates|"}}}));

  window.menuBar()->actions()[0]->menu()->actions()[1]->trigger();
  EXPECT_EQ(checks, 1);
  shell.detachMainWindow(window);
  EXPECT_TRUE(application->windows().empty());
}

TEST_F(ShellTest, TheWindowFollowsItsModelAndTheModelTheWindow) {
  QMainWindow window;
  window.setCentralWidget(new QWidget);
  window.menuBar()->addMenu("Vilmo");
  auto model = std::make_shared<platform::Window>();
  shell::WindowBinding binding(window, model);
  window.show();

  model->setContentSize({585, 381});
  model->setMinSize({585, 381});
  model->setMaxSize({10000, 10000});
  model->setStyleMask(15);
  model->setTitle("Vilmo");
  EXPECT_EQ(shell::WindowBinding::contentSizeOf(window), (platform::Size{585, 381}));
  EXPECT_EQ(window.windowTitle(), "Vilmo");
  EXPECT_TRUE(window.windowFlags() & Qt::WindowTitleHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window.isVisible());
  const int bar = window.height() - 381;
  EXPECT_EQ(window.minimumSize(), QSize(585, 381 + bar));

  // The user makes it larger: the model follows, and a later change of title keeps it.
  window.resize(800, 600 + bar);
  ASSERT_TRUE(processQtEventsUntil([&] { return model->contentSize().width == 800; }));
  EXPECT_EQ(model->contentSize(), (platform::Size{800, 600}));
  model->setTitle("Vilmo 2");
  EXPECT_EQ(window.size(), QSize(800, 600 + bar));

  // Not resizable: held at its content size.
  model->setStyleMask(platform::kWindowStyleMaskTitled | platform::kWindowStyleMaskClosable);
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(ShellTest, TheUpdaterTellsTheUserInAMessageBox) {
  shell::ApplicationShell shell;
  platform::UpdaterController controller(true);
  controller.updater()->checkForUpdates();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !shell.openMessages().empty(); }));
  QMessageBox* box = shell.openMessages()[0];
  EXPECT_EQ(box->text().toStdString(), platform::Updater::kNoUpdateFeedMessage);
  EXPECT_TRUE(box->isVisible());
}

// Files of each kind the preview shows.
class PreviewTest : public ShellTest {
 protected:
  fs::path write(const std::string& name, const std::string& contents) {
    fs::path path = home_.path() / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  fs::path writeImage() {
    fs::path path = home_.path() / "photo.png";
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    EXPECT_TRUE(image.save(QString::fromStdString(path.string())));
    return path;
  }
  fs::path writePdf() {
    fs::path path = home_.path() / "letter.pdf";
    QPdfWriter writer(QString::fromStdString(path.string()));
    QPainter painter(&writer);
    painter.drawText(100, 100, "Dear reader");
    painter.end();
    return path;
  }
};

TEST_F(PreviewTest, EachKindOfFileShowsWhatItCan) {
  using Kind = shell::PreviewContent::Kind;
  auto image = shell::loadPreviewContent(writeImage());
  EXPECT_EQ(image.kind, Kind::Image);
  EXPECT_EQ(image.image.size(), QSize(40, 30));
  EXPECT_EQ(image.name, "photo.png");

  std::string longText(5000, 'a');
  longText.replace(4096, 4, "TAIL");
  auto text = shell::loadPreviewContent(write("notes.txt", longText));
  EXPECT_EQ(text.kind, Kind::Text);
  EXPECT_EQ(text.text.size(), 4096);
  EXPECT_FALSE(text.text.contains("TAIL"));

  auto binary = shell::loadPreviewContent(write("blob.bin", std::string("\x00\x01\x02\xff", 4)));
  EXPECT_EQ(binary.kind, Kind::Name);
  EXPECT_EQ(binary.name, "blob.bin");

  auto pdf = shell::loadPreviewContent(writePdf());
#ifdef VILMO_HAVE_POPPLER_CPP
  EXPECT_EQ(pdf.kind, Kind::Image);
  EXPECT_FALSE(pdf.image.isNull());
  EXPECT_GT(pdf.image.height(), pdf.image.width());  // an upright page
#else
  EXPECT_EQ(pdf.kind, Kind::Name);
#endif
  EXPECT_EQ(pdf.name, "letter.pdf");

  auto missing = shell::loadPreviewContent(home_.path() / "gone.png");
  EXPECT_EQ(missing.kind, Kind::Name);
}

// Holds one item and takes control of the panel, as the application's helper does.
class OneItem : public platform::PreviewPanelDataSource,
                public platform::PreviewPanelDelegate,
                public std::enable_shared_from_this<OneItem> {
 public:
  explicit OneItem(fs::path item) : item_(std::move(item)) {}
  long numberOfPreviewItemsInPreviewPanel(platform::PreviewPanel&) override { return 1; }
  std::optional<fs::path> previewItemAtIndex(platform::PreviewPanel&, long) override {
    return item_;
  }
  bool acceptsPreviewPanelControl(platform::PreviewPanel&) override { return true; }
  void beginPreviewPanelControl(platform::PreviewPanel& panel) override {
    panel.setDataSource(shared_from_this());
    panel.setDelegate(shared_from_this());
  }
  void endPreviewPanelControl(platform::PreviewPanel& panel) override {
    panel.setDataSource(nullptr);
    panel.setDelegate(nullptr);
  }

 private:
  fs::path item_;
};

TEST_F(PreviewTest, ThePanelIsShownInThePreviewWindow) {
  EXPECT_EQ(platform::PreviewPanel::sharedPreviewPanel(), nullptr);
  {
    shell::ApplicationShell shell;
    auto panel = platform::PreviewPanel::sharedPreviewPanel();
    ASSERT_NE(panel, nullptr);
    panel->setDelegate(std::make_shared<OneItem>(writeImage()));
    panel->makeKeyAndOrderFront();
    EXPECT_TRUE(shell.previewWindow().isVisible());
    EXPECT_EQ(shell.previewWindow().windowTitle(), "photo.png");
    EXPECT_EQ(shell.previewWindow().content().kind, shell::PreviewContent::Kind::Image);
    panel->orderOut();
    EXPECT_FALSE(shell.previewWindow().isVisible());

    // Closing the window by hand closes the panel.
    panel->makeKeyAndOrderFront();
    EXPECT_TRUE(panel->isVisible());
    shell.previewWindow().close();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(shell.previewWindow().isVisible());
  }
  EXPECT_EQ(platform::PreviewPanel::sharedPreviewPanel(), nullptr);
}

class ConfigurationTest : public ShellTest {
 protected:
  ~ConfigurationTest() override {
    for (const char* name : {AppConfiguration::kNamingServiceURLEnvironment,
                             AppConfiguration::kFeedbackFormURLEnvironment,
                             AppConfiguration::kReleasePageURLEnvironment}) {
      unsetenv(name);
    }
  }
};

TEST_F(ConfigurationTest, TheInfoPlistGivesTheAddressesAndTheEnvironmentOverridesThem) {
  // As shipped: a placeholder naming service, no feedback form, no release page.
  EXPECT_EQ(AppConfiguration::namingServiceBaseURL(), "https://naming.vilmo.invalid");
  EXPECT_EQ(AppConfiguration::feedbackFormURL(), std::nullopt);
  EXPECT_EQ(AppConfiguration::releasePageURL(), std::nullopt);

  setenv(AppConfiguration::kNamingServiceURLEnvironment, "http://127.0.0.1:8080//", 1);
  setenv(AppConfiguration::kFeedbackFormURLEnvironment, "https://example.com/form", 1);
  setenv(AppConfiguration::kReleasePageURLEnvironment, "https://example.com/releases", 1);
  EXPECT_EQ(AppConfiguration::namingServiceBaseURL(), "http://127.0.0.1:8080");
  EXPECT_EQ(AppConfiguration::feedbackFormURL(), "https://example.com/form");
  EXPECT_EQ(AppConfiguration::releasePageURL(), "https://example.com/releases");

  // An empty override is no override.
  setenv(AppConfiguration::kNamingServiceURLEnvironment, "", 1);
  EXPECT_EQ(AppConfiguration::namingServiceBaseURL(), "https://naming.vilmo.invalid");
}

}  // namespace
