// The whole rename flow as a user goes through it in the window: files dropped on the drop
// screen, names asked of a loopback naming service, one retried and one typed over, Apply,
// then Revoke All, with the folder on disk checked after each step.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/Rename1ViewWidget.h"
#include "vilmo/rename/Rename2ViewWidget.h"
#include "vilmo/rename/Rename3ViewWidget.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/tests/rename_fixtures.h"
#include "vilmo/widgets/StyledButton.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FakeNamingService;
using testing_support::pumpMainQueueUntil;

class RenameFlowWidgetTest : public vilmo_test::WidgetTest {
 protected:
  void SetUp() override {
    WidgetTest::SetUp();
    setenv(AppConfiguration::kNamingServiceURLEnvironment, service_.baseURL().c_str(), 1);
    folder_ = home_.path() / "Inbox";
    fs::create_directories(folder_);
  }
  void TearDown() override {
    unsetenv(AppConfiguration::kNamingServiceURLEnvironment);
    WidgetTest::TearDown();
  }

  fs::path write(const std::string& name, const platform::Data& content) {
    fs::path path = folder_ / name;
    rename_fixtures::writeFile(path, content);
    contents_[name] = content;
    return path;
  }

  void expectFolder(const std::map<std::string, std::string>& expected) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.insert(entry.path().filename().string());
    }
    std::set<std::string> expectedNames;
    for (const auto& [original, now] : expected) {
      expectedNames.insert(now);
      // Every file keeps its own content under its new name.
      auto data = platform::readFile(folder_ / now);
      ASSERT_TRUE(data) << now;
      EXPECT_EQ(*data, contents_.at(original)) << original << " as " << now;
    }
    EXPECT_EQ(names, expectedNames);
  }

  static void drop(QWidget* target, const std::vector<fs::path>& files) {
    QMimeData data;
    QList<QUrl> urls;
    for (const auto& path : files) {
      urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
    }
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &dropped);
  }

  static void type(QLineEdit* field, const std::string& text) {
    for (char c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(c)));
      QCoreApplication::sendEvent(field, &press);
    }
  }

  static std::vector<std::string> shownNames(Rename2ViewWidget* screen) {
    std::vector<std::string> names;
    for (auto* row : screen->rows()) names.push_back(row->nameField()->text().toStdString());
    return names;
  }

  FakeNamingService service_;
  fs::path folder_;
  std::map<std::string, platform::Data> contents_;
};

TEST_F(RenameFlowWidgetTest, DropPreviewEditApplyAndRevokeAll) {
  const fs::path report = write("report.txt", platform::Data::fromString("quarterly sales report"));
  const fs::path notes = write("notes.txt", platform::Data::fromString("meeting notes today"));
  const fs::path beach = write(
      "beach.png", rename_fixtures::encodeImage(rename_fixtures::photoLikeImage(64, 48), "png"));
  const fs::path draft = write("draft.txt", platform::Data::fromString("unlucky draft"));
  const fs::path other = write("c.xyz", platform::Data::fromString("not for renaming"));
  // A file that is not dropped holds the name one proposal will ask for.
  write("Meeting_Notes_Today.txt", platform::Data::fromString("already here"));
  // The draft's first answer fails; a retry gets the service's usual answer.
  service_.scriptRename(FakeNamingService::textContains("unlucky"),
                        FakeNamingService::json("{}", 500), 1);
  const std::map<std::string, std::string> untouched = {
      {"report.txt", "report.txt"}, {"notes.txt", "notes.txt"},
      {"beach.png", "beach.png"},   {"draft.txt", "draft.txt"},
      {"c.xyz", "c.xyz"},           {"Meeting_Notes_Today.txt", "Meeting_Notes_Today.txt"}};

  auto view = ContentView::create();
  ContentViewWidget window(view);
  window.resize(585, 381);
  window.show();

  // Drop: the supported files are listed, the refused type is noted.
  auto* dropScreen = qobject_cast<Rename1ViewWidget*>(window.currentScreen());
  ASSERT_NE(dropScreen, nullptr);
  drop(dropScreen->dropZone(), {report, notes, beach, draft, other});
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view->supportedFiles().empty(); }));
  EXPECT_EQ(view->supportedFiles(), (std::vector<fs::path>{report, notes, beach, draft}));
  EXPECT_EQ(view->unsupportedFileTypes(), std::vector<std::string>{"xyz"});
  ASSERT_EQ(dropScreen->fileRows().size(), 4u);
  EXPECT_EQ(dropScreen->bannerLabel()->text(), "4 supported files loaded");
  expectFolder(untouched);

  // Next: every row waits for its answer, Apply with it.
  dropScreen->nextButton()->click();
  auto* preview = qobject_cast<Rename2ViewWidget*>(window.currentScreen());
  ASSERT_NE(preview, nullptr);
  EXPECT_EQ(shownNames(preview), std::vector<std::string>(4, "Pending..."));
  EXPECT_FALSE(preview->applyButton()->isEnabled());
  EXPECT_FALSE(preview->ratingPanel()->isVisible());

  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view->isApplyButtonDisabled(); }));
  EXPECT_EQ(shownNames(preview),
            (std::vector<std::string>{"Quarterly_Sales_Report", "Meeting_Notes_Today",
                                      "Image_Beach", "Error renaming"}));
  // The failed row keeps Apply disabled.
  EXPECT_FALSE(preview->applyButton()->isEnabled());
  EXPECT_EQ(preview->rows()[3]->retryButton()->iconName(), "Retry_Red");
  EXPECT_EQ(service_.renameBodies().size(), 4u);
  expectFolder(untouched);

  // Retry the failed row; type over another.
  preview->rows()[3]->retryButton()->click();
  EXPECT_EQ(preview->rows()[3]->nameField()->text(), "Pending...");
  EXPECT_FALSE(preview->applyButton()->isEnabled());
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view->isApplyButtonDisabled(); }));
  EXPECT_EQ(preview->rows()[3]->nameField()->text(), "Unlucky_Draft");

  QLineEdit* field = preview->rows()[0]->nameField();
  field->selectAll();
  type(field, "Q3_Summary");
  EXPECT_EQ(view->renameResults()[0].newName, "Q3_Summary");
  EXPECT_EQ(field->text(), "Q3_Summary");
  ASSERT_TRUE(preview->applyButton()->isEnabled());
  expectFolder(untouched);

  // Apply: the files take their names; a taken name gets the first free suffix, and the
  // finished screen shows the name used.
  preview->applyButton()->click();
  ASSERT_TRUE(pumpMainQueueUntil(
      [&] { return qobject_cast<Rename3ViewWidget*>(window.currentScreen()) != nullptr; }));
  auto* finished = qobject_cast<Rename3ViewWidget*>(window.currentScreen());
  expectFolder({{"report.txt", "Q3_Summary.txt"},
                {"notes.txt", "Meeting_Notes_Today_1.txt"},
                {"beach.png", "Image_Beach.png"},
                {"draft.txt", "Unlucky_Draft.txt"},
                {"c.xyz", "c.xyz"},
                {"Meeting_Notes_Today.txt", "Meeting_Notes_Today.txt"}});
  std::vector<std::string> applied;
  for (auto* row : finished->rows()) {
    applied.push_back(row->oldNameButton()->text().toStdString() + " -> " +
                      row->newNameLabel()->text().toStdString());
  }
  EXPECT_EQ(applied, (std::vector<std::string>{
                         "report.txt -> Q3_Summary", "notes.txt -> Meeting_Notes_Today_1",
                         "beach.png -> Image_Beach", "draft.txt -> Unlucky_Draft"}));
  ASSERT_TRUE(finished->revokeAllButton()->isVisible());

  // Revoke All: every file is back under its old name, and the revoke controls go.
  finished->revokeAllButton()->click();
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view->revokedAll(); }));
  expectFolder(untouched);
  EXPECT_EQ(window.currentScreen(), finished);
  EXPECT_FALSE(finished->revokeAllButton()->isVisible());
  EXPECT_FALSE(finished->rows()[0]->revokeButton()->isVisible());
  std::vector<std::string> restored;
  for (auto* row : finished->rows()) restored.push_back(row->newNameLabel()->text().toStdString());
  EXPECT_EQ(restored, (std::vector<std::string>{"report", "notes", "beach", "draft"}));

  // Start Over: the empty drop screen, the refused type still noted.
  finished->startOverButton()->click();
  auto* again = qobject_cast<Rename1ViewWidget*>(window.currentScreen());
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->fileRows().empty());
  EXPECT_EQ(view->unsupportedFileTypes(), std::vector<std::string>{"xyz"});
  expectFolder(untouched);
}

}  // namespace
