#include "vilmo/reorg/ReorgActions.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/reorg/ReorgRequest.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/tests/reorg_fixtures.h"

namespace {

using Path = std::filesystem::path;
using testing_support::FakeNamingService;
using testing_support::pumpMainQueueUntil;

constexpr char kEmptyAnswer[] = R"({"contents":[],"folderName":"r","type":"folder"})";

// Runs everything already on the main queue, and what that puts there in turn.
::testing::AssertionResult drainMainQueue() {
  auto done = std::make_shared<bool>(false);
  platform::Queue::main()->async([done] { *done = true; });
  return pumpMainQueueUntil([done] { return *done; });
}

class ReorgActionsTest : public vilmo_test::AppEnvironmentTest {
 protected:
  void SetUp() override {
    AppEnvironmentTest::SetUp();
    setenv("VILMO_NAMING_SERVICE_URL", service_.baseURL().c_str(), 1);
    view_ = ContentView::create();
    view_->setCurrentStep(step::kReorgDrop);
  }
  void TearDown() override {
    unsetenv("VILMO_NAMING_SERVICE_URL");
    AppEnvironmentTest::TearDown();
  }

  // Lays the folder out, drops it (as the drop screen stores it) and clears the events.
  std::shared_ptr<VirtualFolder> drop(const std::vector<std::string>& entries) {
    reorg_fixtures::makeTree(folder_, entries);
    std::shared_ptr<VirtualFolder> scanned = scanFolder(folder_);
    view_->setSelectedFolder(scanned);
    view_->setFolderBookmark(platform::Data::fromString("bookmark"));
    sink_->clear();
    return scanned;
  }
  void next() { view_->reorg1View().nextAction(); }
  ::testing::AssertionResult previewShown() {
    return pumpMainQueueUntil([&] { return view_->currentStep() == step::kReorgPreview; });
  }

  // The cases of a table reach these.
 public:
  testing_support::ManualClockScope clock_;
  FakeNamingService service_;
  Path folder_ = home_.path() / "Docs";
  std::shared_ptr<ContentView> view_;
};

TEST_F(ReorgActionsTest, ProgressClimbsByTheEstimateStopsAtTheCeilingAndClosesAfterTheAnswer) {
  drop({"a.txt", "b.txt"});
  service_.holdReorg(FakeNamingService::json(kEmptyAnswer));
  testing::internal::CaptureStdout();
  next();
  expectEvent("organize_start", {{"screen_name", "reorg_step_1"}});
  EXPECT_TRUE(view_->isProcessing());
  EXPECT_EQ(view_->estimatedTotalTime(), 10.0);
  EXPECT_EQ(view_->progressValue(), 0.0);
  ASSERT_TRUE(view_->timer());

  clock_.advance(0.1);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->progressValue() > 0; }));
  EXPECT_DOUBLE_EQ(view_->progressValue(), 0.01);
  for (int tick = 0; tick < 100; ++tick) {
    clock_.advance(0.1);
    ASSERT_TRUE(drainMainQueue());
  }
  EXPECT_DOUBLE_EQ(view_->progressValue(), 0.9);

  ASSERT_TRUE(service_.waitForRequests(1));
  service_.release();
  ASSERT_TRUE(previewShown());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(view_->progressValue(), 1.0);
  EXPECT_FALSE(view_->timer());
  EXPECT_TRUE(view_->isProcessing());
  clock_.advance(0.4);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_TRUE(view_->isProcessing());
  clock_.advance(0.1);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->isProcessing(); }));
  EXPECT_EQ(view_->progressValue(), 1.0);
}

TEST_F(ReorgActionsTest, AnEmptyFolderSendsNothingAndItsFirstTickReachesTheCeiling) {
  drop({});
  service_.holdReorg(FakeNamingService::json(kEmptyAnswer));
  testing::internal::CaptureStdout();
  next();
  EXPECT_EQ(view_->estimatedTotalTime(), 0.0);
  clock_.advance(0.1);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->progressValue() > 0; }));
  EXPECT_EQ(view_->progressValue(), 0.9);
  ASSERT_TRUE(service_.waitForRequests(1));
  EXPECT_EQ(service_.requests()[0].body, "[]");
  service_.release();
  ASSERT_TRUE(previewShown());
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(view_->aiFolder()->subFolders().empty());
  expectEvent("organize_pending_end",
              {{"screen_name", "reorg_step_1"}, {"folder_created", std::int64_t{0}}});
}

TEST_F(ReorgActionsTest, AnAnswerBecomesThePreviewWithOthersAndItsFolderCount) {
  drop({"Invoices/x.pdf", "Invoices/Old/y.pdf", "top.txt", "Photos/"});
  service_.scriptReorg(FakeNamingService::json(
      R"({"contents":[{"type":"folder","folderName":"Docs","contents":[)"
      R"({"type":"folder","folderName":"Bills","contents":[)"
      R"({"type":"file","sourcePath":"/Invoices/x.pdf/","newPath":"Docs/Bills/x.pdf"}]}]}],)"
      R"("folderName":"r","type":"folder"})"));
  testing::internal::CaptureStdout();
  next();
  ASSERT_TRUE(previewShown());
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("success\n"), std::string::npos);

  const std::shared_ptr<VirtualFolder> tree = view_->aiFolder();
  ASSERT_TRUE(tree);
  ASSERT_EQ(tree->subFolders().size(), 2u);
  EXPECT_EQ(tree->subFolders()[0]->name(), "Docs");
  EXPECT_EQ(tree->subFolders()[0]->subFolders()[0]->files()[0]->relativePath(), "Docs/Bills/x.pdf");
  EXPECT_EQ(tree->subFolders()[1]->name(), "others");
  // Docs, Docs/Bills, others, others/Invoices, others/Invoices/Old.
  expectEvent("organize_pending_end",
              {{"screen_name", "reorg_step_1"}, {"folder_created", std::int64_t{5}}});
  EXPECT_EQ(view_->selectedFolder()->rootURL(), folder_);
}

TEST_F(ReorgActionsTest, AFailureClosesThePanelAtOnceAndKeepsTheFolderAndTheBar) {
  const auto scanned = drop({"a.txt"});
  service_.holdReorg(FakeNamingService::json("busy", 503), 1);
  testing::internal::CaptureStdout();
  next();
  const auto firstTimer = view_->timer();
  for (int tick = 0; tick < 3; ++tick) {
    clock_.advance(0.1);
    ASSERT_TRUE(drainMainQueue());
  }
  EXPECT_DOUBLE_EQ(view_->progressValue(), 0.06);
  const double shown = view_->progressValue();
  ASSERT_TRUE(service_.waitForRequests(1));
  service_.release();
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->isProcessing(); }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "9 bytes\nRequest failed with status code: 503\nResponse body: busy\n");
  EXPECT_EQ(view_->progressValue(), shown);
  EXPECT_EQ(view_->currentStep(), step::kReorgDrop);
  EXPECT_EQ(view_->selectedFolder(), scanned);
  EXPECT_FALSE(view_->timer());
  EXPECT_TRUE(firstTimer->isCancelled());

  // Next again: one timer, the same paths, and this time the rule tree.
  testing::internal::CaptureStdout();
  next();
  ASSERT_TRUE(view_->timer());
  EXPECT_NE(view_->timer(), firstTimer);
  ASSERT_TRUE(previewShown());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(service_.reorgBodies(), (std::vector<std::vector<std::string>>{{"a.txt"}, {"a.txt"}}));
}

// A 200 answer that does not decode: no preview and no event, yet the bar completes and the
// panel closes half a second later, leaving the user on the drop screen with the folder.
TEST_F(ReorgActionsTest, AnAnswerThatDoesNotDecodeCompletesTheBarOnTheDropScreen) {
  struct Case {
    const char* name;
    const char* body;
  } cases[] = {
      {"not JSON", "<html>"},
      {"contents missing", R"({"folderName":"r","type":"folder"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto scanned = drop({"a.txt"});
    view_->setCurrentStep(step::kReorgDrop);
    service_.scriptReorg(FakeNamingService::json(c.body), 1);
    testing::internal::CaptureStdout();
    next();
    const bool completed = pumpMainQueueUntil([&] { return view_->progressValue() == 1.0; });
    const std::string console = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(completed);
    EXPECT_EQ(console.rfind("9 bytes\nsuccess\n", 0), 0u) << console;
    EXPECT_NE(console.find("\nFailed to decode JSON response: "), std::string::npos) << console;
    EXPECT_EQ(view_->currentStep(), step::kReorgDrop);
    EXPECT_FALSE(view_->aiFolder());
    EXPECT_EQ(view_->selectedFolder(), scanned);
    EXPECT_FALSE(view_->timer());
    EXPECT_TRUE(view_->isProcessing());
    EXPECT_EQ(sink_->names(), std::vector<std::string>{"organize_start"});
    clock_.advance(0.5);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->isProcessing(); }));
    EXPECT_EQ(view_->currentStep(), step::kReorgDrop);
  }
}

TEST_F(ReorgActionsTest, RetryGoesBackToTheDropScreenAndSendsTheSameFolderAgain) {
  drop({"a.txt", "b/c.md"});
  testing::internal::CaptureStdout();
  next();
  ASSERT_TRUE(previewShown());
  clock_.advance(0.5);
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->isProcessing(); }));

  service_.holdReorg(FakeNamingService::json(kEmptyAnswer));
  view_->reorg2View().retryAction();
  expectEvent("reorganize_click", {{"screen_name", "reorg_step_2"}});
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->currentStep() == step::kReorgDrop; }));
  EXPECT_FALSE(view_->aiFolder());
  EXPECT_TRUE(view_->isProcessing());
  expectEvent("organize_start", {{"screen_name", "reorg_step_1"}});
  ASSERT_TRUE(service_.waitForRequests(2));
  const auto bodies = service_.reorgBodies();
  EXPECT_EQ(bodies[0], bodies[1]);
  service_.release();
  ASSERT_TRUE(previewShown());
  testing::internal::GetCapturedStdout();

  // The finished screen's Retry is the same action, sent from its own screen.
  view_->setCurrentStep(step::kReorgFinished);
  testing::internal::CaptureStdout();
  view_->reorg3View().retryAction();
  expectEvent("reorganize_click", {{"screen_name", "reorg_step_3"}});
  const bool answered =
      pumpMainQueueUntil([&] { return view_->currentStep() == step::kReorgDrop; }) &&
      service_.waitForRequests(3) && previewShown();
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(answered);
  EXPECT_EQ(service_.reorgBodies()[2], bodies[0]);
}

TEST_F(ReorgActionsTest, ReselectCancelAndStartOverClearTheirState) {
  struct Case {
    const char* name;
    std::int64_t step;
    std::function<void(ContentView&)> press;
    const char* event;  // nullptr: none
    bool keepsFolder;
  } cases[] = {
      {"reselect", step::kReorgDrop, [](ContentView& v) { v.reorg1View().clearAction(); },
       "drop_folder_reselect", false},
      {"cancel", step::kReorgDrop, [](ContentView& v) { v.reorg1View().cancelReorg(); }, nullptr,
       true},
      {"back", step::kReorgPreview, [](ContentView& v) { v.reorg2View().cancelReorg(); }, nullptr,
       true},
      {"start over", step::kReorgFinished, [](ContentView& v) { v.reorg3View().restartAction(); },
       "organize_again", false},
  };
  const auto scanned = drop({"a.txt"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view_->setCurrentStep(c.step);
    view_->setSelectedFolder(scanned);
    view_->setAiFolder(scanned);
    view_->setAppliedFolder(c.step == step::kReorgFinished ? scanned : nullptr);
    view_->setFolderBookmark(platform::Data::fromString("bookmark"));
    view_->setProgressValue(0.4);
    sink_->clear();
    c.press(*view_);
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(view_->currentStep(), step::kReorgDrop);
    EXPECT_EQ(view_->selectedFolder() == scanned, c.keepsFolder);
    EXPECT_FALSE(view_->folderBookmark());
    EXPECT_FALSE(view_->isProcessing());
    EXPECT_EQ(view_->progressValue(), 0.4);
    if (c.step != step::kReorgDrop) {
      EXPECT_FALSE(view_->aiFolder());
      EXPECT_FALSE(view_->appliedFolder());
    }
    if (c.event) {
      expectEvent(c.event, {{"screen_name", "reorg_step_" + std::to_string(c.step - 2000)}});
      EXPECT_EQ(sink_->names().size(), 1u);
    } else {
      EXPECT_TRUE(sink_->names().empty());
    }
  }
}

// Each way of leaving a run while its answer is on the way; the answer then changes nothing.
TEST_F(ReorgActionsTest, AnAnswerForARunThatWasLeftIsIgnored) {
  struct Case {
    const char* name;
    std::function<void(ReorgActionsTest&)> leave;
  } cases[] = {
      {"cancel", [](ReorgActionsTest& t) { t.view_->reorg1View().cancelReorg(); }},
      {"reselect", [](ReorgActionsTest& t) { t.view_->reorg1View().clearAction(); }},
      {"a new drop",
       [](ReorgActionsTest& t) { t.view_->setSelectedFolder(scanFolder(t.folder_)); }},
      {"the other flow", [](ReorgActionsTest& t) { t.view_->switchToRename(); }},
  };
  drop({"a.txt"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view_->setCurrentStep(step::kReorgDrop);
    view_->setSelectedFolder(scanFolder(folder_));
    const std::shared_ptr<VirtualFolder> scanned = view_->selectedFolder();
    service_.holdReorg(FakeNamingService::json(kEmptyAnswer), 1);
    testing::internal::CaptureStdout();
    next();
    ASSERT_TRUE(view_->timer());
    const std::int64_t run = static_cast<std::int64_t>(view_->reorgRun());
    c.leave(*this);
    ASSERT_TRUE(drainMainQueue());
    const std::int64_t step = view_->currentStep();
    const double progress = view_->progressValue();
    const bool processing = view_->isProcessing();
    // A new drop is told apart by its tree; everything else leaves the run and its timer.
    if (std::string(c.name) != "a new drop") {
      EXPECT_NE(static_cast<std::int64_t>(view_->reorgRun()), run);
      EXPECT_FALSE(view_->timer());
    }

    // The request's own answer, and one delivered straight for the old run.
    const std::size_t sent = service_.requests().size();
    service_.release();
    ASSERT_TRUE(service_.waitForRequests(sent));
    deliverReorganizeOutcome(view_, static_cast<std::uint64_t>(run), scanned,
                             {true, scanFolder(folder_)});
    ASSERT_TRUE(drainMainQueue());
    clock_.advance(1);
    ASSERT_TRUE(drainMainQueue());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(view_->currentStep(), step);
    EXPECT_FALSE(view_->aiFolder());
    if (std::string(c.name) != "a new drop") {
      EXPECT_EQ(view_->progressValue(), progress);
    }
    EXPECT_EQ(view_->isProcessing(), processing);
    view_->reorg1View().cancelReorg();
    ASSERT_TRUE(drainMainQueue());
  }
}

TEST_F(ReorgActionsTest, ApplyMovesTheFilesAndShowsTheAppliedTree) {
  drop({"Invoices/x.pdf", "Invoices/.DS_Store", "Old/y.txt", "keep.md"});
  service_.scriptReorg(FakeNamingService::json(
      R"({"contents":[{"type":"folder","folderName":"Bills","contents":[)"
      R"({"type":"file","sourcePath":"Invoices/x.pdf","newPath":"Bills/x.pdf"},)"
      R"({"type":"file","sourcePath":"Old/y.txt","newPath":"Bills/y.txt"}]}],)"
      R"("folderName":"r","type":"folder"})"));
  testing::internal::CaptureStdout();
  next();
  ASSERT_TRUE(previewShown());
  testing::internal::GetCapturedStdout();
  sink_->clear();

  testing::internal::CaptureStdout();
  view_->reorg2View().applyAction();
  const std::string console = testing::internal::GetCapturedStdout();
  expectEvent("organize_apply", {{"screen_name", "reorg_step_2"}});
  EXPECT_NE(console.find("Applied Folder Contents:\nFolder: Bills (Bills)\n"), std::string::npos)
      << console;
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->currentStep() == step::kReorgFinished; }));
  ASSERT_TRUE(view_->appliedFolder());
  EXPECT_EQ(view_->appliedFolder()->subFolders()[0]->files().size(), 2u);
  EXPECT_EQ(reorg_fixtures::listTree(folder_),
            (std::vector<std::string>{"Bills/", "Bills/x.pdf", "Bills/y.txt", "Invoices/",
                                      "Invoices/.DS_Store", "others/", "others/keep.md"}));

  // Without a proposed tree only the event is sent.
  view_->setAiFolder(nullptr);
  sink_->clear();
  view_->reorg2View().applyAction();
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(sink_->names(), std::vector<std::string>{"organize_apply"});
}

}  // namespace
