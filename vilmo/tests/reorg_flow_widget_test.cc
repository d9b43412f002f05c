// The whole reorganise flow as a user goes through it in the window: a folder dropped on the
// drop screen, a new tree asked of a loopback naming service, the preview, Apply, then Start
// Over, with the folder on disk checked on the way.

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/reorg/Reorg1ViewWidget.h"
#include "vilmo/reorg/Reorg2ViewWidget.h"
#include "vilmo/reorg/Reorg3ViewWidget.h"
#include "vilmo/reorg/TreeViews.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/StyledButton.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using testing_support::FakeNamingService;
using testing_support::pumpMainQueueUntil;

class ReorgFlowWidgetTest : public vilmo_test::WidgetTest {
 protected:
  void SetUp() override {
    WidgetTest::SetUp();
    setenv(AppConfiguration::kNamingServiceURLEnvironment, service_.baseURL().c_str(), 1);
    folder_ = home_.path() / "Inbox";
    fs::create_directories(folder_);
    view_ = ContentView::create();
    view_->setCurrentStep(2001);
  }
  void TearDown() override {
    unsetenv(AppConfiguration::kNamingServiceURLEnvironment);
    WidgetTest::TearDown();
  }

  void write(const fs::path& relative) {
    fs::path path = folder_ / relative;
    fs::create_directories(path.parent_path());
    // Each file holds its own name, so a move that mixed them up shows.
    ASSERT_TRUE(platform::writeFileAtomically(
        path, platform::Data::fromString(relative.filename().string())));
  }

  // Every entry below the folder, directories with a trailing "/".
  std::set<std::string> onDisk() const {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
      std::string relative = fs::relative(entry.path(), folder_).string();
      entries.insert(entry.is_directory() ? relative + "/" : relative);
      if (!entry.is_directory()) {
        auto data = platform::readFile(entry.path());
        EXPECT_TRUE(data && *data == platform::Data::fromString(entry.path().filename().string()))
            << relative;
      }
    }
    return entries;
  }

  static void drop(QWidget* target, const fs::path& folder) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder.string()))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &dropped);
  }

  template <typename Screen> Screen* waitForScreen(ContentViewWidget& window) {
    EXPECT_TRUE(pumpMainQueueUntil(
        [&] { return qobject_cast<Screen*>(window.currentScreen()) != nullptr; }));
    return qobject_cast<Screen*>(window.currentScreen());
  }

  FakeNamingService service_;
  fs::path folder_;
  std::shared_ptr<ContentView> view_;
};

TEST_F(ReorgFlowWidgetTest, DropNextPreviewApplyAndStartOver) {
  for (const char* file :
       {"a.txt", "photo.JPG", "Old/c.txt", "Old/Deep/d.jpg", "Keep/e.md", "Keep/.hidden"}) {
    write(file);
  }
  ContentViewWidget window(view_);
  window.resize(585, 381);
  window.show();

  // Drop: the folder is scanned, hidden entries left out.
  auto* dropScreen = qobject_cast<Reorg1ViewWidget*>(window.currentScreen());
  ASSERT_NE(dropScreen, nullptr);
  drop(dropScreen->dropZone(), folder_);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->selectedFolder() != nullptr; }));
  EXPECT_EQ(dropScreen->summary()->label()->text(), "Loaded 5 files in Inbox folder");
  EXPECT_FALSE(dropScreen->dropZone()->isVisible());
  ASSERT_NE(dropScreen->tree()->folderView(), nullptr);
  EXPECT_EQ(dropScreen->tree()->folderView()->nameLabel()->text(), "Inbox");
  const std::set<std::string> before = onDisk();

  // Next: the progress panel while the service works, then the preview of its tree.
  dropScreen->nextButton()->click();
  EXPECT_TRUE(dropScreen->progressSheet()->isVisible());
  EXPECT_FALSE(dropScreen->nextButton()->isEnabled());
  auto* preview = waitForScreen<Reorg2ViewWidget>(window);
  ASSERT_NE(preview, nullptr);
  ASSERT_EQ(service_.reorgBodies().size(), 1u);
  auto sent = service_.reorgBodies()[0];
  EXPECT_EQ(
      std::set<std::string>(sent.begin(), sent.end()),
      (std::set<std::string>{"a.txt", "photo.JPG", "Old/c.txt", "Old/Deep/d.jpg", "Keep/e.md"}));
  EXPECT_TRUE(preview->banner()->isVisible());
  EXPECT_EQ(preview->banner()->label()->text(), "5 files restructured into 3 new folders!");
  EXPECT_FALSE(preview->errorLabel()->isVisible());
  std::vector<std::string> folders;
  for (auto* folder : preview->tree()->folderView()->subFolderViews()) {
    folders.push_back(folder->nameLabel()->text().toStdString());
  }
  EXPECT_EQ(std::set<std::string>(folders.begin(), folders.end()),
            (std::set<std::string>{"txt", "jpg", "md"}));
  EXPECT_EQ(onDisk(), before);  // nothing moves before Apply

  // Apply: the folders are made, the files moved, the emptied old folders removed; a folder
  // that still holds a hidden file stays.
  preview->applyButton()->click();
  auto* finished = waitForScreen<Reorg3ViewWidget>(window);
  ASSERT_NE(finished, nullptr);
  EXPECT_EQ(onDisk(),
            (std::set<std::string>{"txt/", "txt/a.txt", "txt/c.txt", "jpg/", "jpg/photo.JPG",
                                   "jpg/d.jpg", "md/", "md/e.md", "Keep/", "Keep/.hidden"}));
  EXPECT_TRUE(finished->titleLabel()->isVisible());
  EXPECT_EQ(finished->banner()->label()->text(), "5 files restructured into 3 new folders!");

  auto events = sink_->events();
  std::vector<std::string> names;
  for (const auto& event : events) names.push_back(event.name);
  EXPECT_EQ(names, (std::vector<std::string>{"drop_folder", "organize_start",
                                             "organize_pending_end", "organize_apply"}));
  if (names.size() == 4u) {
    EXPECT_EQ(events[0].parameters["load_file_total_cnt"], Value(5));
    EXPECT_EQ(events[0].parameters["load_sub_folder_cnt"], Value(3));
    EXPECT_EQ(events[2].parameters["folder_created"], Value(3));
    EXPECT_EQ(events[3].parameters["screen_name"], Value("reorg_step_2"));
  }

  // Start Over: the empty drop screen again.
  finished->startOverButton()->click();
  auto* again = waitForScreen<Reorg1ViewWidget>(window);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->selectedFolder() == nullptr; }));
  EXPECT_TRUE(again->dropZone()->isVisible());
}

TEST_F(ReorgFlowWidgetTest, CancelTakesThePanelDownAndTheLateAnswerIsIgnored) {
  write("a.txt");
  service_.holdReorg(FakeNamingService::json(FakeNamingService::ruleTree({"a.txt"})), 1);
  ContentViewWidget window(view_);
  window.show();
  auto* dropScreen = qobject_cast<Reorg1ViewWidget*>(window.currentScreen());
  ASSERT_NE(dropScreen, nullptr);
  drop(dropScreen->dropZone(), folder_);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->selectedFolder() != nullptr; }));

  dropScreen->nextButton()->click();
  ASSERT_TRUE(service_.waitForRequests(1));
  ASSERT_TRUE(dropScreen->progressSheet()->isVisible());
  dropScreen->cancelButton()->click();
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->isProcessing(); }));
  EXPECT_FALSE(dropScreen->progressSheet()->isVisible());

  service_.release();
  EXPECT_FALSE(pumpMainQueueUntil([&] { return view_->aiFolder() != nullptr; }, 0.5));
  EXPECT_EQ(window.currentScreen(), dropScreen);
  EXPECT_TRUE(dropScreen->summary()->isVisible());  // the folder stays loaded
  EXPECT_TRUE(dropScreen->nextButton()->isEnabled());
  EXPECT_EQ(onDisk(), (std::set<std::string>{"a.txt"}));
}

}  // namespace
