#include "vilmo/ContentView/ContentView.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "platform/user_defaults.h"
#include "tests/support/main_queue.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/tests/content_view_test_support.h"

namespace {

using Path = std::filesystem::path;

std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

class ContentViewTest : public vilmo_test::AppEnvironmentTest {};

TEST_F(ContentViewTest, FirstScreenComesFromTheStoredFlow) {
  struct Case {
    std::optional<platform::Value> stored;
    std::int64_t step;
  } cases[] = {
      {std::nullopt, 1001},
      {platform::Value(0), 1001},
      {platform::Value(1), 2001},
      {platform::Value("1"), 2001},
      {platform::Value(2), 3001},  // shows "Unknown Step"
      {platform::Value(-1), 1},
      {platform::Value(std::numeric_limits<std::int64_t>::max()),
       std::numeric_limits<std::int64_t>::max()},
      {platform::Value(std::numeric_limits<std::int64_t>::min() / 999),
       std::numeric_limits<std::int64_t>::min()},
  };
  for (const Case& c : cases) {
    defaults()->setObject("defaultStepType", c.stored);
    auto view = ContentView::create();
    EXPECT_EQ(view->currentStep(), c.step) << (c.stored ? c.stored->description() : "none");
    EXPECT_EQ(view->tempCurrentStep(), c.step);
  }
}

TEST_F(ContentViewTest, InitialState) {
  auto view = ContentView::create();
  EXPECT_TRUE(view->supportedFiles().empty());
  EXPECT_TRUE(view->unsupportedFileTypes().empty());
  EXPECT_TRUE(view->renameMap().empty());
  EXPECT_EQ(view->renameFormat(), "Content");
  EXPECT_EQ(view->selectedLanguage(), "Default");
  EXPECT_EQ(view->currentStep(), 1001);
  EXPECT_EQ(view->tempCurrentStep(), 1001);
  EXPECT_EQ(view->tempRenameFormat(), "Content");
  EXPECT_EQ(view->tempSelectedLanguage(), "Default");
  EXPECT_TRUE(view->renameResults().empty());
  EXPECT_TRUE(view->isApplyButtonDisabled());
  EXPECT_FALSE(view->isApplyingRename());
  EXPECT_TRUE(view->urlMap().empty());
  EXPECT_FALSE(view->revokedAll());
  EXPECT_EQ(view->selectedFolder(), nullptr);
  EXPECT_EQ(view->aiFolder(), nullptr);
  EXPECT_EQ(view->appliedFolder(), nullptr);
  EXPECT_EQ(view->folderBookmark(), std::nullopt);
  EXPECT_FALSE(view->isProcessing());
  EXPECT_EQ(view->progressValue(), 0.0);
  EXPECT_EQ(view->timer(), nullptr);
  EXPECT_EQ(view->estimatedTotalTime(), 10.0);
  // Creating the view writes nothing.
  EXPECT_FALSE(defaults()->objectForKey("renameFormat"));
  EXPECT_FALSE(defaults()->objectForKey("selectedLanguage"));
}

TEST_F(ContentViewTest, StoredSettingsAreReadAtCreation) {
  defaults()->setString("renameFormat", "Owner_Content_Category");
  defaults()->setString("selectedLanguage", "French");
  auto view = ContentView::create();
  EXPECT_EQ(view->renameFormat(), "Owner_Content_Category");
  EXPECT_EQ(view->selectedLanguage(), "French");
  // What settings remember is not read from the defaults.
  EXPECT_EQ(view->tempRenameFormat(), "Content");
  EXPECT_EQ(view->tempSelectedLanguage(), "Default");
}

// Each action that reports itself, from the screen it starts on: the event carries the
// common parameters, "timestamp" and exactly the own parameters the catalogue lists,
// with "screen_name" naming the step before the action.
TEST_F(ContentViewTest, ActionsSendTheirCatalogueEvents) {
  struct Case {
    const char* label;
    std::function<void(ContentView&)> prepare;
    std::function<void(ContentView&)> action;
    const char* event;
    platform::Dictionary own;
  } cases[] = {
      {"settings from the drop screen",
       [](ContentView&) {},
       [](ContentView& v) { v.openSettings(); },
       "settings_start",
       {{"screen_name", "rename_step_1"}}},
      {"settings from the preview",
       [](ContentView& v) { v.setCurrentStep(1002); },
       [](ContentView& v) { v.openSettings(); },
       "settings_start",
       {{"screen_name", "rename_step_2"}}},
      {"settings from the finished screen after an earlier visit",
       [](ContentView& v) {
         v.openSettings();
         v.cancelSettings();
         v.setCurrentStep(1003);
       },
       [](ContentView& v) { v.openSettings(); },
       "settings_start",
       {{"screen_name", "rename_step_3"}}},
      {"save with the defaults",
       [](ContentView& v) { v.openSettings(); },
       [](ContentView& v) { v.saveSettings(); },
       "settings_apply",
       {{"filename_language", "Default"},
        {"naming_convention", true},
        {"preset_selection", "Content"}}},
      {"save with a preset and a language",
       [](ContentView& v) {
         v.setCurrentStep(1002);
         v.openSettings();
         v.setRenameFormat("Date_Content_Owner");
         v.setSelectedLanguage("German");
       },
       [](ContentView& v) { v.saveSettings(); },
       "settings_apply",
       {{"filename_language", "German"},
        {"naming_convention", false},
        {"preset_selection", "Date_Content_Owner"}}},
      {"save with an empty format",
       [](ContentView& v) {
         v.openSettings();
         v.setRenameFormat("");
       },
       [](ContentView& v) { v.saveSettings(); },
       "settings_apply",
       {{"filename_language", "Default"}, {"naming_convention", false}, {"preset_selection", ""}}},
      {"auto folder",
       [](ContentView&) {},
       [](ContentView& v) { v.switchToReorganize(); },
       "sidebar_auto_folder_click",
       {{"screen_name", "rename_step_1"}}},
      {"file rename",
       [](ContentView& v) { v.setCurrentStep(2001); },
       [](ContentView& v) { v.switchToRename(); },
       "file_rename_entrance_click",
       {{"screen_name", "reorg_step_1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    defaults()->removeObjectForKey("renameFormat");
    defaults()->removeObjectForKey("selectedLanguage");
    auto view = ContentView::create();
    c.prepare(*view);
    sink_->clear();
    c.action(*view);

    auto events = sink_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, c.event);
    const platform::Dictionary& parameters = events[0].parameters;
    for (const char* key :
         {"country", "os_version", "app_version", "device_id", "device_type", "timestamp"}) {
      EXPECT_TRUE(parameters.contains(key)) << key;
    }
    EXPECT_EQ(parameters.size(), 6 + c.own.size());
    for (const auto& [key, value] : c.own) {
      EXPECT_EQ(parameters[key], value) << key;
      EXPECT_EQ(parameters[key].type(), value.type()) << key;
    }
    bool listed = false;
    for (const auto& entry : usage_event::catalogue()) {
      if (entry.name != std::string(c.event) || entry.ownParameters.size() != c.own.size()) {
        continue;
      }
      listed = true;
      for (const char* key : entry.ownParameters) EXPECT_TRUE(c.own.contains(key)) << key;
    }
    EXPECT_TRUE(listed);
  }
}

TEST_F(ContentViewTest, CancelReturnsToTheRememberedStepAndSettings) {
  auto view = ContentView::create();
  view->setCurrentStep(1002);
  view->openSettings();
  EXPECT_EQ(view->currentStep(), -1);
  EXPECT_EQ(view->tempCurrentStep(), 1002);

  view->setRenameFormat("Date_Content_Owner");
  view->setSelectedLanguage("Chinese");
  EXPECT_EQ(defaults()->stringForKey("renameFormat"), "Date_Content_Owner");
  EXPECT_EQ(defaults()->stringForKey("selectedLanguage"), "Chinese");

  sink_->clear();
  view->cancelSettings();
  EXPECT_EQ(view->currentStep(), 1002);
  EXPECT_EQ(view->renameFormat(), "Content");
  EXPECT_EQ(view->selectedLanguage(), "Default");
  EXPECT_EQ(defaults()->stringForKey("renameFormat"), "Content");
  EXPECT_EQ(defaults()->stringForKey("selectedLanguage"), "Default");
  EXPECT_TRUE(sink_->events().empty());
}

TEST_F(ContentViewTest, SaveKeepsTheEditedSettings) {
  auto view = ContentView::create();
  view->setCurrentStep(1003);
  view->openSettings();
  view->setRenameFormat("Category_Date_Content");
  view->saveSettings();
  EXPECT_EQ(view->currentStep(), 1003);
  EXPECT_EQ(view->renameFormat(), "Category_Date_Content");
  EXPECT_EQ(defaults()->stringForKey("renameFormat"), "Category_Date_Content");
}

TEST_F(ContentViewTest, SwitchToReorganizeResetsOnTheNextTurnOfTheMainQueue) {
  auto view = ContentView::create();
  view->setSupportedFiles({Path("/tmp/a.pdf")});
  view->setRenameResults({{"a.pdf", "Invoice.pdf", Path("/tmp/a.pdf")}});
  view->setURLMap({{Path("/tmp/a.pdf"), Path("/tmp/Invoice.pdf")}});
  view->setSelectedFolder(vilmo_test::someFolder());
  view->setAiFolder(vilmo_test::someFolder());
  view->setAppliedFolder(vilmo_test::someFolder());
  view->setFolderBookmark(platform::Data::fromString("bookmark"));
  view->setProcessing(true);
  view->setProgressValue(0.4);

  view->switchToReorganize();
  EXPECT_EQ(defaults()->integerForKey("defaultStepType"), 1);
  EXPECT_EQ(view->currentStep(), 1001);
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return view->currentStep() == 2001; }));

  EXPECT_EQ(view->selectedFolder(), nullptr);
  EXPECT_EQ(view->aiFolder(), nullptr);
  EXPECT_EQ(view->appliedFolder(), nullptr);
  EXPECT_EQ(view->folderBookmark(), std::nullopt);
  EXPECT_FALSE(view->isProcessing());
  EXPECT_EQ(view->progressValue(), 0.4);
  EXPECT_EQ(view->supportedFiles().size(), 1u);
  EXPECT_EQ(view->renameResults().size(), 1u);
  EXPECT_EQ(view->urlMap().size(), 1u);

  // The next launch opens the reorganise flow.
  EXPECT_EQ(ContentView::create()->currentStep(), 2001);
}

TEST_F(ContentViewTest, SwitchToRenameResetsAtOnceButKeepsRefusedTypes) {
  auto view = ContentView::create();
  view->setSupportedFiles({Path("/tmp/a.pdf")});
  view->setUnsupportedFileTypes({"xyz"});
  view->setRenameMap({{Path("/tmp/a.pdf"), "x"}});
  view->setRenameResults({{"a.pdf", "Invoice.pdf", Path("/tmp/a.pdf")}});
  view->setApplyButtonDisabled(false);
  view->setApplyingRename(true);
  view->setURLMap({{Path("/tmp/a.pdf"), Path("/tmp/Invoice.pdf")}});
  view->setRevokedAll(true);
  view->setCurrentStep(2001);

  view->switchToRename();
  EXPECT_EQ(view->currentStep(), 1001);
  EXPECT_TRUE(view->supportedFiles().empty());
  EXPECT_TRUE(view->renameMap().empty());
  EXPECT_TRUE(view->renameResults().empty());
  EXPECT_FALSE(view->isApplyingRename());
  EXPECT_TRUE(view->urlMap().empty());
  EXPECT_FALSE(view->revokedAll());
  EXPECT_EQ(view->unsupportedFileTypes(), std::vector<std::string>{"xyz"});
  EXPECT_FALSE(view->isApplyButtonDisabled());
  EXPECT_EQ(defaults()->integerForKey("defaultStepType"), 0);
}

TEST_F(ContentViewTest, RenameStateSurvivesATripToReorganizeUntilSwitchingBack) {
  auto view = ContentView::create();
  view->setSupportedFiles({Path("/tmp/a.pdf"), Path("/tmp/b.png")});
  view->switchToReorganize();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return view->currentStep() == 2001; }));
  EXPECT_EQ(view->supportedFiles().size(), 2u);
  view->switchToRename();
  EXPECT_TRUE(view->supportedFiles().empty());
}

TEST_F(ContentViewTest, ObserversAreToldOfEveryChangeUntilRemoved) {
  auto view = ContentView::create();
  int first = 0;
  int second = 0;
  auto firstID = view->addChangeObserver([&] { ++first; });
  ContentView::ObserverID secondID = 0;
  secondID = view->addChangeObserver([&] {
    ++second;
    view->removeChangeObserver(firstID);
  });
  view->setProgressValue(0.5);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  view->setProgressValue(0.6);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  view->removeChangeObserver(secondID);
  // Settings that do not change tell no one.
  view->setRenameFormat(view->renameFormat());
  view->setProgressValue(0.7);
  EXPECT_EQ(second, 2);
}

TEST_F(ContentViewTest, ScreensWorkOnTheStateItselfNotACopy) {
  auto view = ContentView::create();
  Rename1View drop = view->rename1View();
  drop.supportedFiles.set({Path("/tmp/a.pdf")});
  EXPECT_EQ(view->supportedFiles().size(), 1u);
  // A change made later is seen through a binding taken before it.
  view->setUnsupportedFileTypes({"xyz"});
  EXPECT_EQ(drop.unsupportedFileTypes.get(), std::vector<std::string>{"xyz"});

  SettingsView settings = view->settingsView();
  settings.selectedLanguage.set("English");
  EXPECT_EQ(view->selectedLanguage(), "English");
  EXPECT_EQ(defaults()->stringForKey("selectedLanguage"), "English");

  Reorg1View reorg = view->reorg1View();
  reorg.isProcessing.set(true);
  reorg.progressValue.set(0.25);
  reorg.folderBookmark.set(platform::Data::fromString("b"));
  EXPECT_TRUE(view->isProcessing());
  EXPECT_EQ(view->progressValue(), 0.25);
  EXPECT_TRUE(view->folderBookmark());

  view->setAiFolder(vilmo_test::someFolder());
  EXPECT_NE(view->reorg2View().aiFolder.get(), nullptr);
  view->setAppliedFolder(vilmo_test::someFolder());
  EXPECT_NE(view->reorg3View().appliedFolder.get(), nullptr);

  view->setApplyButtonDisabled(false);
  EXPECT_FALSE(view->rename2View().isApplyButtonDisabled);
  view->setRevokedAll(true);
  EXPECT_TRUE(view->rename3View().revokedAll);
}

TEST_F(ContentViewTest, ScreenActionsAreTheRootViewsActions) {
  auto view = ContentView::create();
  view->rename1View().setupAction();
  EXPECT_EQ(view->currentStep(), -1);
  view->settingsView().revokeSettingsAction();
  EXPECT_EQ(view->currentStep(), 1001);

  view->setCurrentStep(1002);
  view->rename2View().setupAction();
  view->settingsView().applySettingsAction();
  EXPECT_EQ(view->currentStep(), 1002);
  view->setCurrentStep(1003);
  view->rename3View().setupAction();
  EXPECT_EQ(view->tempCurrentStep(), 1003);
  EXPECT_EQ(sink_->names(), (std::vector<std::string>{"settings_start", "settings_start",
                                                      "settings_apply", "settings_start"}));

  view->setCurrentStep(1001);
  view->rename1View().switchMode();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return view->currentStep() == 2001; }));
  view->reorg1View().switchMode();
  EXPECT_EQ(view->currentStep(), 1001);
}

TEST_F(ContentViewTest, ADeferredResetOutlivingTheViewDoesNothing) {
  auto view = ContentView::create();
  view->switchToReorganize();
  std::weak_ptr<ContentView> weak = view;
  view.reset();
  EXPECT_TRUE(weak.expired());
  bool ran = false;
  platform::Queue::main()->async([&] { ran = true; });
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return ran; }));
}

}  // namespace
