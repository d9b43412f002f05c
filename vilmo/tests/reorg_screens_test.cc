#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <QWindow>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/preview_panel.h"
#include "tests/support/main_queue.h"
#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/reorg/Reorg1ViewWidget.h"
#include "vilmo/reorg/Reorg2ViewWidget.h"
#include "vilmo/reorg/Reorg3ViewWidget.h"
#include "vilmo/reorg/ReorgScreens.h"
#include "vilmo/reorg/TreeViews.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/CustomButtonWidget.h"
#include "vilmo/widgets/SheetWidget.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StepItemWidget.h"
#include "vilmo/widgets/StyledButton.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

// Files a file along its relative path below the root, making the folders on the way.
void addFile(VirtualFolder& root, const std::string& relativePath) {
  auto file = std::make_shared<VirtualFile>(fs::path(relativePath).filename().string(),
                                            root.rootURL() / relativePath, relativePath);
  std::string first = relativePath.substr(0, relativePath.find('/'));
  if (first == relativePath) {
    root.files().push_back(file);
    return;
  }
  std::shared_ptr<VirtualSubFolder> top;
  for (const auto& subFolder : root.subFolders()) {
    if (subFolder->name() == first) top = subFolder;
  }
  if (!top) {
    top = std::make_shared<VirtualSubFolder>(first, first);
    root.subFolders().push_back(top);
  }
  insertFileAtPath(file, *top);
}

std::shared_ptr<VirtualFolder> tree(const std::vector<std::string>& paths,
                                    const std::string& name = "Photos") {
  auto root = std::make_shared<VirtualFolder>(name, fs::path("/data") / name);
  for (const auto& path : paths) addFile(*root, path);
  return root;
}

// The state the drop screen's bindings reach, held by the test instead of the root view.
struct DropState {
  std::shared_ptr<VirtualFolder> folder;
  std::optional<platform::Data> bookmark;
  bool processing = false;
  double progress = 0.0;
};

Reorg1View dropScreen(const std::shared_ptr<DropState>& state) {
  Reorg1View view;
  view.selectedFolder = {
      [state] { return state->folder; },
      [state](std::shared_ptr<VirtualFolder> f) { state->folder = std::move(f); }};
  view.folderBookmark = {
      [state] { return state->bookmark; },
      [state](std::optional<platform::Data> b) { state->bookmark = std::move(b); }};
  view.isProcessing = {[state] { return state->processing; },
                       [state](bool processing) { state->processing = processing; }};
  view.progressValue = {[state] { return state->progress; },
                        [state](double progress) { state->progress = progress; }};
  return view;
}

Binding<std::shared_ptr<VirtualFolder>>
bindTree(const std::shared_ptr<std::shared_ptr<VirtualFolder>>& tree) {
  return {[tree] { return *tree; },
          [tree](std::shared_ptr<VirtualFolder> f) { *tree = std::move(f); }};
}

std::vector<bool> activeSteps(SidebarWidget* sidebar) {
  std::vector<bool> active;
  for (auto* step : sidebar->stepItems()) active.push_back(step->item().isActive);
  return active;
}

using vilmo_test::installPanel;

class ReorgScreensTest : public vilmo_test::WidgetTest {
 protected:
  void SetUp() override {
    WidgetTest::SetUp();
    folder_ = home_.path() / "Photos";
    fs::create_directories(folder_);
  }

  fs::path file(const fs::path& relative) {
    fs::path path = folder_ / relative;
    fs::create_directories(path.parent_path());
    platform::writeFileAtomically(path, platform::Data::fromString("x"));
    return path;
  }

  std::vector<vilmo_test::RecordingSink::Event> eventsNamed(const std::string& name) const {
    std::vector<vilmo_test::RecordingSink::Event> found;
    for (auto& event : sink_->events()) {
      if (event.name == name) found.push_back(event);
    }
    return found;
  }

  fs::path folder_;
};

// Sends a drag over the target and drops it; whether each was accepted.
std::pair<bool, bool> dropOn(QWidget* target, const std::vector<fs::path>& items) {
  QMimeData data;
  QList<QUrl> urls;
  for (const auto& path : items)
    urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  drop.setAccepted(false);
  QCoreApplication::sendEvent(target, &drop);
  return {enter.isAccepted(), drop.isAccepted()};
}

// --- Texts and counts --------------------------------------------------------------------

TEST(ReorgScreenTexts, ProgressLabelAtEachBound) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "Reading the file names..."},
      {0.29, "Reading the file names..."},
      {0.3, "Dissembling the folder structure..."},
      {0.59, "Dissembling the folder structure..."},
      {0.6, "Grouping the new sub folders..."},
      {0.9, "Grouping the new sub folders..."},
      {0.999, "Grouping the new sub folders..."},
      {1.0, "Completed!"},
      {1.5, "Completed!"},
      {-0.1, "Completed!"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_STREQ(Reorg1View::progressText(value), text) << value;
  }
}

TEST(ReorgScreenTexts, SummariesCountFilesAtEveryDepthAndTopLevelFolders) {
  struct Case {
    std::vector<std::string> paths;
    std::string banner;
    std::int64_t allFolders;
  };
  const Case cases[] = {
      {{"1", "2", "3", "4", "5", "A/a", "A/b", "A/N/c", "A/N/d", "A/N/e", "B/f"},
       "11 files restructured into 2 new folders!",
       3},
      {{"a", "b"}, "2 files restructured into 0 new folders!", 0},
      {{"A/a"}, "1 files restructured into 1 new folders!", 1},
      {{}, "0 files restructured into 0 new folders!", 0},
      // The catch-all folder is one of the folders, its files among the files.
      {{"Docs/a", "others/b", "others/c"}, "3 files restructured into 2 new folders!", 2},
  };
  for (const Case& c : cases) {
    auto root = tree(c.paths);
    EXPECT_EQ(reorgBannerText(*root, kReorgBannerFormat), c.banner);
    EXPECT_EQ(treeSubFolderCount(*root), c.allFolders) << c.banner;
    auto held = std::make_shared<std::shared_ptr<VirtualFolder>>(root);
    Reorg2View preview;
    preview.aiFolder = bindTree(held);
    EXPECT_EQ(preview.bannerText(kReorgBannerFormat), c.banner);
  }
  auto state = std::make_shared<DropState>();
  state->folder = tree({"a", "b", "S/c", "S/d", "S/e", "S/N/f"});
  EXPECT_EQ(dropScreen(state).summaryText(Reorg1View::kSummaryFormat),
            "Loaded 6 files in Photos folder");
}

// --- The drop screen ---------------------------------------------------------------------

TEST_F(ReorgScreensTest, OnlyOneFolderIsAcceptedAndItIsReadOnTheMainQueue) {
  file("a.txt");
  file("b.txt");
  file("Sub/c.txt");
  file("Sub/d.txt");
  file("Sub/e.txt");
  file("Sub/Nested/f.txt");
  fs::create_directories(home_.path() / "Other");
  auto state = std::make_shared<DropState>();
  Reorg1View view = dropScreen(state);

  EXPECT_FALSE(view.acceptFolderDrop({}));
  EXPECT_FALSE(view.acceptFolderDrop({folder_ / "a.txt"}));
  EXPECT_FALSE(view.acceptFolderDrop({folder_, home_.path() / "Other"}));
  EXPECT_FALSE(view.acceptFolderDrop({home_.path() / "missing"}));
  EXPECT_FALSE(testing_support::pumpMainQueueUntil([] { return false; }, 0.05));
  EXPECT_EQ(state->folder, nullptr);
  EXPECT_TRUE(sink_->events().empty());

  EXPECT_TRUE(view.acceptFolderDrop({folder_}));
  EXPECT_EQ(state->folder, nullptr);  // not before the main queue turns
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return state->folder != nullptr; }));
  EXPECT_EQ(state->folder->name(), "Photos");
  EXPECT_EQ(state->folder->rootURL(), folder_);
  ASSERT_TRUE(state->bookmark.has_value());
  EXPECT_EQ(state->bookmark->vector(), platform::Data::fromString(folder_.string()).vector());
  auto drops = eventsNamed("drop_folder");
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].parameters["screen_name"], Value("reorg_step_1"));
  EXPECT_EQ(drops[0].parameters["load_sub_folder_cnt"], Value(2));
  EXPECT_EQ(drops[0].parameters["load_file_total_cnt"], Value(6));
  EXPECT_EQ(view.summaryText(Reorg1View::kSummaryFormat), "Loaded 6 files in Photos folder");
}

TEST_F(ReorgScreensTest, EmptyFolderLoadsWithZeroCounts) {
  auto state = std::make_shared<DropState>();
  dropScreen(state).loadDroppedFolder(folder_);
  ASSERT_NE(state->folder, nullptr);
  auto drops = eventsNamed("drop_folder");
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].parameters["load_sub_folder_cnt"], Value(0));
  EXPECT_EQ(drops[0].parameters["load_file_total_cnt"], Value(0));
  EXPECT_EQ(dropScreen(state).summaryText(Reorg1View::kSummaryFormat),
            "Loaded 0 files in Photos folder");
}

TEST_F(ReorgScreensTest, BookmarkOfAMissingFolderIsNothingAndSaysWhy) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(Reorg1View::createFolderBookmark(home_.path() / "gone"), std::nullopt);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Error creating bookmark: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_F(ReorgScreensTest, DropScreenWidgetTakesOneFolderAndShowsItsTree) {
  file("a.txt");
  file("Sub/b.txt");
  auto state = std::make_shared<DropState>();
  Reorg1ViewWidget screen(dropScreen(state));
  screen.resize(585, 381);
  screen.show();
  EXPECT_TRUE(screen.dropZone()->isVisible());
  EXPECT_FALSE(screen.summary()->isVisible());
  EXPECT_FALSE(screen.tree()->isVisible());
  EXPECT_FALSE(screen.nextButton()->isVisible());
  EXPECT_EQ(activeSteps(screen.sidebar()), (std::vector<bool>{true, false, false}));

  EXPECT_EQ(dropOn(screen.dropZone(), {folder_ / "a.txt"}), std::make_pair(false, false));
  EXPECT_EQ(dropOn(screen.dropZone(), {folder_, folder_ / "Sub"}), std::make_pair(false, false));
  EXPECT_EQ(dropOn(screen.dropZone(), {folder_}), std::make_pair(true, true));
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return state->folder != nullptr; }));
  screen.refresh();
  EXPECT_FALSE(screen.dropZone()->isVisible());
  EXPECT_TRUE(screen.summary()->isVisible());
  EXPECT_EQ(screen.summary()->label()->text(), "Loaded 2 files in Photos folder");
  ASSERT_NE(screen.tree()->folderView(), nullptr);
  EXPECT_EQ(screen.tree()->folderView()->folder(), state->folder);
  EXPECT_TRUE(screen.reselectButton()->isEnabled());
  EXPECT_TRUE(screen.nextButton()->isEnabled());
  EXPECT_EQ(screen.nextButton()->buttonStyle(), look::ButtonStyle(look::BlueButtonStyle{false}));
  EXPECT_EQ(eventsNamed("drop_folder").size(), 1u);
}

void pressKey(QWidget* target, Qt::Key key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &release);
}

// A click as the window system delivers it: to the window, which finds the widget under the
// pointer.
void clickInWindow(QWidget& window, QPoint at) {
  const QPointF local(at);
  const QPointF global = window.mapToGlobal(local);
  QMouseEvent press(QEvent::MouseButtonPress, local, local, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(window.windowHandle(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.windowHandle(), &release);
}

QRect rectIn(QWidget& window, QWidget* widget) {
  return QRect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
}

TEST_F(ReorgScreensTest, ProgressSheetFollowsTheRequestAndItsButtonsFireOnce) {
  auto state = std::make_shared<DropState>();
  state->folder = tree({"a"});
  Reorg1View view = dropScreen(state);
  int clears = 0, nexts = 0, cancels = 0;
  view.clearAction = [&] { ++clears; };
  view.nextAction = [&] {
    ++nexts;
    state->processing = true;
  };
  view.cancelReorg = [&] {
    ++cancels;
    state->processing = false;
  };
  Reorg1ViewWidget screen(view);
  screen.show();
  EXPECT_FALSE(screen.progressSheet()->isVisible());
  screen.reselectButton()->click();
  screen.nextButton()->click();
  EXPECT_EQ(clears, 1);
  EXPECT_EQ(nexts, 1);

  struct Step {
    double progress;
    int bar;
    const char* text;
  };
  for (const Step& step :
       {Step{0.0, 0, "Reading the file names..."},
        Step{0.45, 450, "Dissembling the folder structure..."},
        Step{0.9, 900, "Grouping the new sub folders..."}, Step{1.0, 1000, "Completed!"}}) {
    state->progress = step.progress;
    screen.refresh();
    EXPECT_TRUE(screen.progressSheet()->isVisible());
    EXPECT_EQ(screen.progressBar()->value(), step.bar);
    EXPECT_EQ(screen.progressLabel()->text(), step.text);
  }
  EXPECT_FALSE(screen.reselectButton()->isEnabled());
  EXPECT_FALSE(screen.nextButton()->isEnabled());
  EXPECT_EQ(screen.nextButton()->buttonStyle(), look::ButtonStyle(look::BlueButtonStyle{true}));
  screen.nextButton()->click();
  EXPECT_EQ(nexts, 1);

  // Escape does not take the panel down; only the request's end or Cancel does.
  pressKey(screen.cancelButton(), Qt::Key_Escape);
  EXPECT_TRUE(screen.progressSheet()->isVisible());
  screen.cancelButton()->click();
  EXPECT_EQ(cancels, 1);
  screen.refresh();
  EXPECT_FALSE(screen.progressSheet()->isVisible());
  EXPECT_TRUE(screen.nextButton()->isEnabled());
}

// While a request runs the panel is a sheet: the screen around it is painted dimmed, the
// panel is painted whole at its size, and clicks and keys stay with it.
TEST_F(ReorgScreensTest, ProgressSheetDimsTheScreenBehindAndKeepsItsInput) {
  auto state = std::make_shared<DropState>();
  state->folder = tree({"a.txt", "Sub/b.txt"});
  Reorg1View view = dropScreen(state);
  int clears = 0, switches = 0, cancels = 0;
  view.clearAction = [&] { ++clears; };
  view.switchMode = [&] { ++switches; };
  view.cancelReorg = [&] { ++cancels; };
  Reorg1ViewWidget screen(view);
  screen.resize(585, 381);
  screen.show();
  QLabel* title = nullptr;
  for (QLabel* label : screen.findChildren<QLabel*>()) {
    if (label->text() == "Drop folder") title = label;
  }
  ASSERT_NE(title, nullptr);
  ASSERT_FALSE(screen.sidebar()->buttons().empty());
  QWidget* fileRename = screen.sidebar()->buttons().front();
  // Without the sheet the same clicks reach the screen.
  clickInWindow(screen, rectIn(screen, screen.reselectButton()).center());
  clickInWindow(screen, rectIn(screen, fileRename).center());
  ASSERT_EQ(clears, 1);
  ASSERT_EQ(switches, 1);
  const QImage before = screen.grab().toImage();

  state->processing = true;
  screen.refresh();
  ASSERT_TRUE(screen.progressSheet()->isVisible());
  const QImage after = screen.grab().toImage();
  ASSERT_EQ(after.size(), screen.size());
  const QRect panel = rectIn(screen, screen.progressSheet());

  // Brighter than white once dimmed is only the panel, painted at least 260 × 215.
  const int dimmedWhite = static_cast<int>(255 * (1 - SheetWidget::kDimming)) + 1;
  QRect bright;
  for (int y = 0; y < after.height(); ++y) {
    for (int x = 0; x < after.width(); ++x) {
      if (qGray(after.pixel(x, y)) > dimmedWhite) bright |= QRect(x, y, 1, 1);
    }
  }
  EXPECT_GE(bright.width(), 260);
  EXPECT_GE(bright.height(), 215);
  EXPECT_TRUE(panel.contains(bright)) << bright.x() << "," << bright.y();
  // Every pixel around it is darker than before, the title's included, which the panel
  // leaves in sight; only the buttons, now drawn disabled, are left out.
  EXPECT_FALSE(panel.intersects(rectIn(screen, title)));
  const QRect buttons =
      rectIn(screen, screen.reselectButton()) | rectIn(screen, screen.nextButton());
  int compared = 0, dimmed = 0;
  for (int y = 0; y < after.height(); ++y) {
    for (int x = 0; x < after.width(); ++x) {
      const int was = qGray(before.pixel(x, y));
      if (panel.contains(x, y) || buttons.contains(x, y) || was < 40) continue;
      ++compared;
      if (qGray(after.pixel(x, y)) <= was * 0.8) ++dimmed;
    }
  }
  EXPECT_GT(compared, 100000);
  EXPECT_EQ(dimmed, compared);

  // Clicks behind the sheet land on it; on "Cancel" they go through.
  for (const QPoint at :
       {rectIn(screen, screen.reselectButton()).center(), rectIn(screen, fileRename).center(),
        rectIn(screen, screen.summary()).center(), rectIn(screen, title).center(),
        rectIn(screen, screen.tree()).topRight() + QPoint(-12, 12)}) {
    ASSERT_FALSE(panel.contains(at)) << at.x() << "," << at.y();
    EXPECT_EQ(screen.childAt(at), screen.sheet());
    clickInWindow(screen, at);
  }
  EXPECT_EQ(clears, 1);
  EXPECT_EQ(switches, 1);
  // The keyboard is the panel's: Tab goes round its controls, Escape changes nothing.
  EXPECT_EQ(screen.focusWidget(), screen.cancelButton());
  for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab}) {
    pressKey(screen.cancelButton(), key);
    EXPECT_EQ(screen.focusWidget(), screen.cancelButton()) << key;
  }
  pressKey(screen.cancelButton(), Qt::Key_Escape);
  EXPECT_TRUE(screen.progressSheet()->isVisible());
  clickInWindow(screen, rectIn(screen, screen.cancelButton()).center());
  EXPECT_EQ(cancels, 1);

  // Down again, the screen is as bright and as reachable as before.
  state->processing = false;
  screen.refresh();
  EXPECT_FALSE(screen.sheet()->isVisible());
  EXPECT_EQ(screen.grab().toImage().pixel(5, 5), before.pixel(5, 5));
  clickInWindow(screen, rectIn(screen, screen.reselectButton()).center());
  EXPECT_EQ(clears, 2);
}

// --- Tree views --------------------------------------------------------------------------

TEST_F(ReorgScreensTest, TreeOpensFullyExpandedWithFoldersBeforeFiles) {
  auto root = tree({"z.txt", "Top/Inner/a.txt", "B/same.txt", "C/same.txt"});
  FolderView view(root, true);
  view.show();
  EXPECT_EQ(view.nameLabel()->text(), "Photos");
  ASSERT_EQ(view.subFolderViews().size(), 3u);
  ASSERT_EQ(view.fileViews().size(), 1u);
  EXPECT_EQ(view.fileViews()[0]->text(), "z.txt");
  // Sub-folders come first in the outline, whatever their names.
  EXPECT_LT(view.subFolderViews()[2]->geometry().top(), view.fileViews()[0]->geometry().top());

  SubFolderView* top = view.subFolderViews()[0];
  ASSERT_EQ(top->subFolderViews().size(), 1u);
  SubFolderView* inner = top->subFolderViews()[0];
  ASSERT_EQ(inner->fileViews().size(), 1u);
  FileView* leaf = inner->fileViews()[0];
  for (FolderRowsView* folder :
       {static_cast<FolderRowsView*>(&view), static_cast<FolderRowsView*>(top),
        static_cast<FolderRowsView*>(inner)}) {
    EXPECT_TRUE(folder->isExpanded());
  }
  EXPECT_TRUE(leaf->isVisible());
  // Each level one step further in.
  auto x = [&](QWidget* widget) { return widget->mapTo(&view, QPoint()).x(); };
  EXPECT_LT(x(view.disclosureButton()), x(top->disclosureButton()));
  EXPECT_LT(x(top->disclosureButton()), x(inner->disclosureButton()));
  EXPECT_LT(x(inner->disclosureButton()), x(leaf) + 15);
  EXPECT_EQ(leaf->height(), 20);
  // Same names apart, under their own folders.
  EXPECT_EQ(view.subFolderViews()[1]->fileViews()[0]->file()->relativePath(), "B/same.txt");
  EXPECT_EQ(view.subFolderViews()[2]->fileViews()[0]->file()->relativePath(), "C/same.txt");

  view.disclosureButton()->click();
  EXPECT_FALSE(view.isExpanded());
  EXPECT_FALSE(leaf->isVisible());
  EXPECT_FALSE(top->isVisible());
  view.disclosureButton()->click();
  EXPECT_TRUE(leaf->isVisible());
  EXPECT_TRUE(inner->isExpanded());
}

TEST_F(ReorgScreensTest, RedrawOfTheSameTreeKeepsExpansionByRelativePath) {
  auto root = tree({"A/a.txt", "B/b.txt"});
  FolderTreeArea area;
  area.setFolder(root);
  FolderView* view = area.folderView();
  SubFolderView* b = view->subFolderViews()[1];
  b->setExpanded(false);
  FileView* row = b->fileViews()[0];
  area.setFolder(root);
  EXPECT_EQ(b->fileViews()[0], row);  // a redraw of the same files keeps their rows

  root->subFolders().erase(root->subFolders().begin());
  addFile(*root, "C/c.txt");
  area.setFolder(root);
  ASSERT_EQ(area.folderView(), view);
  ASSERT_EQ(view->subFolderViews().size(), 2u);
  EXPECT_EQ(view->subFolderViews()[0], b);
  EXPECT_FALSE(b->isExpanded());
  EXPECT_TRUE(view->subFolderViews()[1]->isExpanded());
  EXPECT_EQ(view->subFolderViews()[1]->nameLabel()->text(), "C");

  // Another tree is drawn anew, fully expanded.
  area.setFolder(tree({"B/b.txt"}));
  EXPECT_NE(area.folderView(), view);
  EXPECT_TRUE(area.folderView()->subFolderViews()[0]->isExpanded());
  area.setFolder(nullptr);
  EXPECT_EQ(area.folderView(), nullptr);
}

TEST_F(ReorgScreensTest, FileRowsTogglePreviewOfTheirSource) {
  auto recorder = installPanel();
  auto root = tree({"A/a.txt", "B/b.txt"});
  // As the screens do when they come up.
  QuickLookPreviewHelper::attachPreviewPanel();
  FolderView view(root, true);
  FileView* a = view.subFolderViews()[0]->fileViews()[0];
  FileView* b = view.subFolderViews()[1]->fileViews()[0];
  a->click();
  b->click();
  b->click();
  ASSERT_EQ(recorder->calls.size(), 3u);
  EXPECT_EQ(recorder->calls[0],
            std::make_pair(true, std::optional<fs::path>("/data/Photos/A/a.txt")));
  EXPECT_FALSE(recorder->calls[1].first);
  EXPECT_EQ(recorder->calls[2],
            std::make_pair(true, std::optional<fs::path>("/data/Photos/B/b.txt")));
}

// --- Preview and finished screens --------------------------------------------------------

TEST_F(ReorgScreensTest, PreviewScreenShowsTheTreeOrTheErrorWithRetry) {
  auto held = std::make_shared<std::shared_ptr<VirtualFolder>>(tree({"a", "Docs/b", "others/c"}));
  int retries = 0, applies = 0, cancels = 0;
  Reorg2View view;
  view.aiFolder = bindTree(held);
  view.retryAction = [&] { ++retries; };
  view.applyAction = [&] { ++applies; };
  view.cancelReorg = [&] { ++cancels; };
  Reorg2ViewWidget screen(view);
  screen.show();
  EXPECT_EQ(activeSteps(screen.sidebar()), (std::vector<bool>{true, true, false}));
  EXPECT_TRUE(screen.sidebar()->buttons().empty());
  EXPECT_TRUE(screen.banner()->isVisible());
  EXPECT_EQ(screen.banner()->label()->text(), "3 files restructured into 2 new folders!");
  EXPECT_TRUE(screen.tree()->isVisible());
  EXPECT_FALSE(screen.errorLabel()->isVisible());
  EXPECT_FALSE(screen.retryButton()->isVisible());
  EXPECT_EQ(screen.applyButton()->buttonStyle(), look::ButtonStyle(look::BlueButtonStyle{false}));
  screen.backButton()->click();
  screen.reorganizeButton()->click();
  screen.applyButton()->click();
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(retries, 1);
  EXPECT_EQ(applies, 1);

  *held = nullptr;
  screen.refresh();
  EXPECT_TRUE(screen.errorLabel()->isVisible());
  EXPECT_EQ(screen.errorLabel()->text(), "Error occurs, please retry");
  EXPECT_FALSE(screen.banner()->isVisible());
  EXPECT_FALSE(screen.tree()->isVisible());
  EXPECT_FALSE(screen.backButton()->isVisible());
  EXPECT_FALSE(screen.applyButton()->isVisible());
  ASSERT_TRUE(screen.retryButton()->isVisible());
  screen.retryButton()->click();
  EXPECT_EQ(retries, 2);
}

TEST_F(ReorgScreensTest, FinishedScreenShowsTheAppliedTreeOrTheErrorAlone) {
  auto held = std::make_shared<std::shared_ptr<VirtualFolder>>(tree({"Docs/b"}));
  int retries = 0, restarts = 0;
  Reorg3View view;
  view.appliedFolder = bindTree(held);
  view.retryAction = [&] { ++retries; };
  view.restartAction = [&] { ++restarts; };
  Reorg3ViewWidget screen(view);
  screen.show();
  EXPECT_EQ(activeSteps(screen.sidebar()), (std::vector<bool>{true, true, true}));
  EXPECT_TRUE(screen.titleLabel()->isVisible());
  EXPECT_EQ(screen.banner()->label()->text(), "1 files restructured into 1 new folders!");
  EXPECT_FALSE(screen.retryButton()->isVisible());
  screen.startOverButton()->click();
  EXPECT_EQ(restarts, 1);

  *held = nullptr;
  screen.refresh();
  EXPECT_FALSE(screen.titleLabel()->isVisible());
  EXPECT_FALSE(screen.banner()->isVisible());
  EXPECT_FALSE(screen.startOverButton()->isVisible());
  EXPECT_TRUE(screen.errorLabel()->isVisible());
  EXPECT_EQ(screen.errorLabel()->text(), "Error occurs, please retry");
  screen.retryButton()->click();
  EXPECT_EQ(retries, 1);
}

}  // namespace
