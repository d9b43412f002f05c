#include <cstdint>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "tests/support/main_queue.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/rename/Rename1ViewWidget.h"
#include "vilmo/reorg/Reorg1ViewWidget.h"
#include "vilmo/settings/SettingsViewWidget.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/CustomButtonWidget.h"
#include "vilmo/widgets/SidebarWidget.h"
#include "vilmo/widgets/StepItemWidget.h"

namespace {

// The texts of the labels the screen shows.
std::vector<std::string> shownTexts(QWidget* screen) {
  std::vector<std::string> texts;
  for (QLabel* label : screen->findChildren<QLabel*>()) {
    if (label->isVisibleTo(screen) && !label->text().isEmpty()) {
      texts.push_back(label->text().toStdString());
    }
  }
  return texts;
}

bool shows(QWidget* screen, const std::string& text) {
  auto texts = shownTexts(screen);
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

CustomButtonWidget* sidebarButton(QWidget* screen, const std::string& text) {
  for (auto* button : screen->findChildren<CustomButtonWidget*>()) {
    if (button->text().toStdString() == text) return button;
  }
  return nullptr;
}

class ScreensTest : public vilmo_test::WidgetTest {
 protected:
  void SetUp() override {
    WidgetTest::SetUp();
    view_ = ContentView::create();
  }

  std::shared_ptr<ContentView> view_;
};

TEST_F(ScreensTest, EachStepCodeShowsItsScreen) {
  struct Case {
    std::int64_t step;
    const char* title;
    const char* image;
    const char* header;
    std::vector<bool> activeSteps;
    std::vector<std::string> buttons;
  } cases[] = {
      {-1, "Settings", "SettingsIcon", nullptr, {}, {}},
      {1001,
       "Drop files",
       "Step1Icon",
       "File rename",
       {true, false, false},
       {"Settings", "Auto Folder"}},
      {1002, "Previews", "Step2Icon", "File rename", {false, true, false}, {"Settings"}},
      {1003, "Name applied", "Step3Icon", "File rename", {false, false, true}, {"Settings"}},
      {2001, "Drop folder", "Step1Icon", "Auto folder", {true, false, false}, {"File Rename"}},
      {2002, "Previews", "Step2Icon", "Auto folder", {true, true, false}, {}},
      // Without an applied tree the error text stands in for the title.
      {2003, "Error occurs, please retry", "Step3Icon", "Auto folder", {true, true, true}, {}},
      {0, "Unknown Step", nullptr, nullptr, {}, {}},
      {3001, "Unknown Step", nullptr, nullptr, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    view_->setCurrentStep(c.step);
    ContentViewWidget window(view_);
    window.resize(585, 381);
    window.show();
    QWidget* screen = window.currentScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(window.shownStep(), c.step);
    EXPECT_TRUE(shows(screen, c.title));
    if (c.image) {
      auto* image = screen->findChild<QLabel*>(c.image);
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->size(), QSize(104, 104));
      EXPECT_FALSE(image->pixmap().isNull());
    }
    if (c.header) {
      auto* sidebar = screen->findChild<SidebarWidget*>();
      ASSERT_NE(sidebar, nullptr);
      EXPECT_TRUE(shows(sidebar, c.header));
      ASSERT_EQ(sidebar->stepItems().size(), c.activeSteps.size());
      for (std::size_t i = 0; i < c.activeSteps.size(); ++i) {
        EXPECT_EQ(sidebar->stepItems()[i]->item().isActive, c.activeSteps[i]) << i;
      }
      std::vector<std::string> buttons;
      for (auto* button : sidebar->buttons()) buttons.push_back(button->text().toStdString());
      EXPECT_EQ(buttons, c.buttons);
    }
    if (c.title == std::string("Unknown Step")) {
      EXPECT_TRUE(screen->findChildren<QAbstractButton*>().isEmpty());
    }
  }
}

TEST_F(ScreensTest, ColumnsKeepTheirWidths) {
  ContentViewWidget window(view_);
  EXPECT_EQ(window.minimumSize(), QSize(585, 353));
  EXPECT_EQ(window.minimumSizeHint().width(), 585);
  for (int width : {585, 900}) {
    window.resize(width, 381);
    window.show();
    auto* screen = static_cast<TwoColumnScreen*>(window.currentScreen());
    EXPECT_EQ(screen->leftColumn()->width(), 172);
    EXPECT_EQ(screen->mainColumn()->parentWidget()->width(), width - 172);
  }
}

TEST_F(ScreensTest, ReorganiseScreensFollowTheirTrees) {
  view_->setCurrentStep(2002);
  ContentViewWidget window(view_);
  window.show();
  QWidget* preview = window.currentScreen();
  EXPECT_TRUE(shows(preview, "Previews"));
  EXPECT_TRUE(shows(preview, "Error occurs, please retry"));
  view_->setAiFolder(vilmo_test::someFolder());
  EXPECT_EQ(window.currentScreen(), preview);  // redrawn in place
  EXPECT_TRUE(shows(preview, "Previews"));
  EXPECT_FALSE(shows(preview, "Error occurs, please retry"));

  view_->setCurrentStep(2003);
  QWidget* finished = window.currentScreen();
  EXPECT_FALSE(shows(finished, "Folder organized"));
  view_->setAppliedFolder(vilmo_test::someFolder());
  EXPECT_TRUE(shows(finished, "Folder organized"));
  EXPECT_FALSE(shows(finished, "Error occurs, please retry"));
}

TEST_F(ScreensTest, SidebarButtonsSwitchScreens) {
  ContentViewWidget window(view_);
  window.show();
  ASSERT_NE(qobject_cast<Rename1ViewWidget*>(window.currentScreen()), nullptr);

  sidebarButton(window.currentScreen(), "Settings")->click();
  EXPECT_NE(qobject_cast<SettingsViewWidget*>(window.currentScreen()), nullptr);
  qobject_cast<SettingsViewWidget*>(window.currentScreen())->cancelButton()->click();
  EXPECT_NE(qobject_cast<Rename1ViewWidget*>(window.currentScreen()), nullptr);

  sidebarButton(window.currentScreen(), "Auto Folder")->click();
  EXPECT_NE(qobject_cast<Rename1ViewWidget*>(window.currentScreen()), nullptr);
  ASSERT_TRUE(testing_support::pumpMainQueueUntil(
      [&] { return qobject_cast<Reorg1ViewWidget*>(window.currentScreen()) != nullptr; }));

  sidebarButton(window.currentScreen(), "File Rename")->click();
  EXPECT_NE(qobject_cast<Rename1ViewWidget*>(window.currentScreen()), nullptr);
  EXPECT_EQ(sink_->names(), (std::vector<std::string>{"settings_start", "sidebar_auto_folder_click",
                                                      "file_rename_entrance_click"}));
  EXPECT_EQ(sink_->events()[0].parameters["screen_name"], platform::Value("rename_step_1"));
}

TEST_F(ScreensTest, FlowScreensHookUpThePreviewPanelWhenShown) {
  platform::PreviewPanel::installPresenter(
      [](bool, const std::optional<std::filesystem::path>&) {});
  auto panel = platform::PreviewPanel::sharedPreviewPanel();
  ContentViewWidget window(view_);
  EXPECT_EQ(panel->dataSource(), nullptr);
  window.show();
  EXPECT_EQ(panel->dataSource(), QuickLookPreviewHelper::shared());
  EXPECT_EQ(panel->delegate(), QuickLookPreviewHelper::shared());
}

}  // namespace
