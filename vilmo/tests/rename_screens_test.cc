#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDropEvent>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/preview_panel.h"
#include "platform/workspace.h"
#include "tests/support/main_queue.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/ContentView/ContentViewWidget.h"
#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/rename/FileListArea.h"
#include "vilmo/rename/PlainButton.h"
#include "vilmo/rename/Rename1ViewWidget.h"
#include "vilmo/rename/Rename2ViewWidget.h"
#include "vilmo/rename/Rename3ViewWidget.h"
#include "vilmo/rename/RenameScreens.h"
#include "vilmo/rename/RoundedPanel.h"
#include "vilmo/rename/TooltipButtonWidget.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/StyledButton.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

constexpr char kPending[] = "Pending...";
constexpr char kError[] = "Error renaming";

// The state a screen's bindings reach, held by the test instead of the root view.
struct DropState {
  std::vector<fs::path> files;
  std::vector<std::string> types;
};

Rename1View dropScreen(const std::shared_ptr<DropState>& state) {
  Rename1View view;
  view.supportedFiles = {[state] { return state->files; },
                         [state](std::vector<fs::path> files) { state->files = std::move(files); }};
  view.unsupportedFileTypes = {
      [state] { return state->types; },
      [state](std::vector<std::string> types) { state->types = std::move(types); }};
  return view;
}

using Rows = std::vector<RenameResult>;
using URLMap = std::map<fs::path, fs::path>;

Binding<Rows> bindRows(const std::shared_ptr<Rows>& rows) {
  return {[rows] { return *rows; }, [rows](Rows value) { *rows = std::move(value); }};
}

using vilmo_test::installPanel;

class RenameScreensTest : public vilmo_test::WidgetTest {
 protected:
  void SetUp() override {
    WidgetTest::SetUp();
    folder_ = home_.path() / "files";
    fs::create_directories(folder_);
  }
  void TearDown() override {
    platform::Workspace::sharedWorkspace().setOpener(nullptr);
    unsetenv(AppConfiguration::kFeedbackFormURLEnvironment);
    WidgetTest::TearDown();
  }

  fs::path file(const std::string& name) {
    fs::path path = folder_ / name;
    if (!fs::exists(path)) platform::writeFileAtomically(path, platform::Data::fromString("x"));
    return path;
  }

  std::vector<vilmo_test::RecordingSink::Event> eventsNamed(const std::string& name) const {
    std::vector<vilmo_test::RecordingSink::Event> found;
    for (auto& event : sink_->events()) {
      if (event.name == name) found.push_back(event);
    }
    return found;
  }

  // Opens the form through the workspace, recording what is opened.
  std::vector<std::string> openedURLs(const std::function<void()>& click) {
    std::vector<std::string> opened;
    platform::Workspace::sharedWorkspace().setOpener([&opened](const std::string& url) {
      opened.push_back(url);
      return true;
    });
    click();
    platform::Workspace::sharedWorkspace().setOpener(nullptr);
    return opened;
  }

  fs::path folder_;
};

// --- The drop screen ---------------------------------------------------------------------

TEST_F(RenameScreensTest, DropKeepsSupportedFilesAndReportsTheCounts) {
  auto state = std::make_shared<DropState>();
  state->files = {file("listed.pdf")};
  state->types = {"mov"};
  Rename1View view = dropScreen(state);

  view.finishFileDrop({file("a.pdf"), file("b.txt"), file("c.XYZ"), file("listed.pdf"),
                       file("a.pdf"), file("blob"), folder_ / "missing.png"});

  // A file already listed, or dropped twice, is listed once.
  EXPECT_EQ(state->files,
            (std::vector<fs::path>{file("listed.pdf"), file("a.pdf"), file("b.txt")}));
  // Joined without duplicates, lower case; a refused file without extension adds "".
  EXPECT_EQ(state->types, (std::vector<std::string>{"", "mov", "xyz"}));
  auto events = eventsNamed("drop_files");
  ASSERT_EQ(events.size(), 1u);
  const platform::Dictionary& parameters = events[0].parameters;
  EXPECT_EQ(parameters["screen_name"], Value("rename_step_1"));
  // The missing file counts towards the total only.
  EXPECT_EQ(parameters["drop_file_total_cnt"], Value(7));
  EXPECT_EQ(parameters["drop_file_accepted_cnt"], Value(4));
  EXPECT_EQ(parameters["all_file_supported"], Value(false));
  EXPECT_EQ(parameters["drop_file_total_cnt"].type(), Value::Type::Int);
  EXPECT_TRUE(parameters["all_file_supported"].isBool());
}

TEST_F(RenameScreensTest, DropCasesAndTheirEvents) {
  struct Case {
    const char* name;
    std::vector<std::string> dropped;
    std::vector<std::string> listedBefore;
    std::size_t filesAfter;
    std::vector<std::string> typesAfter;
    int total, accepted;
    bool all;
  } cases[] = {
      {"already listed", {"a.pdf"}, {"a.pdf"}, 1, {}, 1, 1, true},
      {"twice in one drop", {"a.pdf", "b.png", "a.pdf"}, {}, 2, {}, 3, 3, true},
      {"same type twice", {"x.xyz", "y.xyz"}, {}, 0, {"xyz"}, 2, 0, false},
      {"nothing resolved", {}, {"a.pdf"}, 1, {}, 0, 0, true},
      {"only supported", {"a.png", "b.docx"}, {}, 2, {}, 2, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sink_->clear();
    auto state = std::make_shared<DropState>();
    for (const auto& name : c.listedBefore) state->files.push_back(file(name));
    std::vector<fs::path> dropped;
    for (const auto& name : c.dropped) dropped.push_back(file(name));
    dropScreen(state).finishFileDrop(dropped);
    EXPECT_EQ(state->files.size(), c.filesAfter);
    EXPECT_EQ(state->types, c.typesAfter);
    auto events = eventsNamed("drop_files");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].parameters["drop_file_total_cnt"], Value(c.total));
    EXPECT_EQ(events[0].parameters["drop_file_accepted_cnt"], Value(c.accepted));
    EXPECT_EQ(events[0].parameters["all_file_supported"], Value(c.all));
  }
}

TEST_F(RenameScreensTest, DropIsNeverRefusedAndEndsOnTheMainQueueThroughItsBindings) {
  auto state = std::make_shared<DropState>();
  fs::path dropped = file("a.pdf");
  {
    // The screen is gone before the drop completes.
    Rename1View view = dropScreen(state);
    EXPECT_TRUE(view.handleFileDrop({dropped}));
  }
  EXPECT_TRUE(state->files.empty());
  EXPECT_TRUE(sink_->events().empty());
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !state->files.empty(); }));
  EXPECT_EQ(state->files, std::vector<fs::path>{dropped});
  EXPECT_EQ(eventsNamed("drop_files").size(), 1u);
}

TEST_F(RenameScreensTest, DropScreenShowsWhatTheListsCallFor) {
  struct Case {
    std::vector<std::string> files;
    std::vector<std::string> types;
    bool banner;
    bool limitedDropZone;
    bool list;
    const char* bannerText;
  } cases[] = {
      {{}, {}, false, false, false, "0 supported files loaded"},
      {{}, {"xyz"}, true, false, false, "0 supported files loaded"},
      {{"a.pdf", "b.pdf"}, {}, true, true, true, "2 supported files loaded"},
  };
  for (const Case& c : cases) {
    auto state = std::make_shared<DropState>();
    for (const auto& name : c.files) state->files.push_back(file(name));
    state->types = c.types;
    Rename1View view = dropScreen(state);
    SCOPED_TRACE(c.bannerText);
    EXPECT_EQ(view.showsBanner(), c.banner);
    EXPECT_EQ(view.limitsDropZoneHeight(), c.limitedDropZone);
    EXPECT_EQ(view.showsFileList(), c.list);
    EXPECT_EQ(view.isNextDisabled(), !c.list);
    EXPECT_EQ(view.bannerText(Rename1View::kBannerFormat), c.bannerText);
  }
}

TEST_F(RenameScreensTest, TooltipListsRefusedTypesInRedBeforeTheSupportedOnes) {
  using Line = TooltipButton::Line;
  const look::ColorSpec red{look::ColorRole::SystemRed};
  const look::ColorSpec secondary{look::ColorRole::Secondary};
  const char* supported = "Doc, Docx, PDF, Pages, PNG, JPEG, GIF, TXT, TIFF, HEIC, WEBP";
  EXPECT_EQ((TooltipButton{{"xyz", "", "mov"}, false}.popoverLines()),
            (std::vector<Line>{{"Unsupported filetypes:", true, true, red, 0},
                               {"xyz, , mov", false, false, red, 0},
                               {"Support file types", true, true, secondary, 8},
                               {supported, true, false, secondary, 0}}));
  EXPECT_EQ((TooltipButton{{}, false}.popoverLines()),
            (std::vector<Line>{{"Support file types", true, true, secondary, 0},
                               {supported, true, false, secondary, 0}}));
}

TEST_F(RenameScreensTest, DropScreenWidgetTakesDropsOnTheZoneAndTheList) {
  auto state = std::make_shared<DropState>();
  Rename1ViewWidget screen(dropScreen(state));
  screen.resize(585, 381);
  screen.show();
  EXPECT_FALSE(screen.banner()->isVisible());
  EXPECT_FALSE(screen.fileList()->isVisible());
  EXPECT_FALSE(screen.nextButton()->isVisible());
  EXPECT_GT(screen.dropZone()->height(), 90);

  auto dropOn = [](QWidget* target, const std::vector<fs::path>& files) {
    QMimeData data;
    QList<QUrl> urls;
    for (const auto& path : files)
      urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
    // Items that are not local files resolve to nothing.
    urls.push_back(QUrl(QStringLiteral("https://example.com/a.pdf")));
    data.setUrls(urls);
    // As a drag does: it enters the target, which becomes the one the drop goes to.
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
  };
  dropOn(screen.dropZone(), {file("Scan 12.pdf"), file("c.xyz")});
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !state->files.empty(); }));
  screen.refresh();
  EXPECT_TRUE(screen.banner()->isVisible());
  EXPECT_EQ(screen.bannerLabel()->text(), "1 supported files loaded");
  EXPECT_EQ(screen.dropZone()->maximumHeight(), 90);
  ASSERT_TRUE(screen.fileList()->isVisible());

  dropOn(screen.fileList()->viewport(), {file("notes.txt")});
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return state->files.size() == 2; }));
  screen.refresh();
  ASSERT_EQ(screen.fileRows().size(), 2u);
  EXPECT_EQ(screen.fileRows()[0].name->text(), "Scan 12.pdf");
  EXPECT_EQ(screen.fileRows()[0].extension->text(), "PDF");
  EXPECT_EQ(screen.fileRows()[1].extension->text(), "TXT");
  EXPECT_EQ(screen.fileRows()[0].row->fill(), (look::ColorSpec{look::ColorRole::Primary, 0.06}));
  EXPECT_EQ(screen.fileRows()[1].row->fill(), look::ColorSpec{look::ColorRole::WindowBackground});
  auto drops = eventsNamed("drop_files");
  ASSERT_EQ(drops.size(), 2u);
  EXPECT_EQ(drops[0].parameters["drop_file_total_cnt"], Value(2));
  EXPECT_EQ(drops[1].parameters["drop_file_total_cnt"], Value(1));
  EXPECT_TRUE(screen.nextButton()->isVisible());
  EXPECT_TRUE(screen.nextButton()->isEnabled());
  EXPECT_EQ(screen.nextButton()->buttonStyle(), look::ButtonStyle(look::BlueButtonStyle{false}));
}

TEST_F(RenameScreensTest, TooltipPopoverFollowsThePointer) {
  auto state = std::make_shared<DropState>();
  state->types = {"xyz"};
  Rename1ViewWidget screen(dropScreen(state));
  screen.show();
  TooltipButtonWidget* tooltip = screen.tooltipButton();
  ASSERT_TRUE(tooltip->isVisible());
  EXPECT_EQ(tooltip->size(), QSize(16, 16));

  QEnterEvent enter(QPointF(8, 8), QPointF(8, 8), QPointF(8, 8));
  QCoreApplication::sendEvent(tooltip, &enter);
  EXPECT_TRUE(tooltip->button().isHovered);
  ASSERT_NE(tooltip->popover(), nullptr);
  EXPECT_TRUE(tooltip->popover()->isVisible());
  std::vector<std::string> texts;
  for (QLabel* label : tooltip->popoverLabels()) texts.push_back(label->text().toStdString());
  EXPECT_EQ(texts, (std::vector<std::string>{"Unsupported filetypes:", "xyz", "Support file types",
                                             "Doc, Docx, PDF, Pages, PNG, JPEG, GIF, TXT, TIFF, "
                                             "HEIC, WEBP"}));

  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(tooltip, &leave);
  EXPECT_FALSE(tooltip->button().isHovered);
  EXPECT_FALSE(tooltip->popover()->isVisible());
}

TEST_F(RenameScreensTest, DropScreenButtonsFireTheirActionsAndNamesTogglePreview) {
  auto recorder = installPanel();
  auto state = std::make_shared<DropState>();
  state->files = {file("a.pdf"), file("b.pdf")};
  Rename1View view = dropScreen(state);
  int clears = 0;
  int nexts = 0;
  view.clearAction = [&] { ++clears; };
  view.nextAction = [&] { ++nexts; };
  Rename1ViewWidget screen(view);
  screen.show();
  screen.clearButton()->click();
  screen.nextButton()->click();
  EXPECT_EQ(clears, 1);
  EXPECT_EQ(nexts, 1);

  screen.fileRows()[1].name->click();
  screen.fileRows()[0].name->click();
  ASSERT_EQ(recorder->calls.size(), 2u);
  EXPECT_EQ(recorder->calls[0], std::make_pair(true, std::optional<fs::path>(file("b.pdf"))));
  EXPECT_FALSE(recorder->calls[1].first);
  // The second file was stored and shows at the next toggle.
  EXPECT_EQ(QuickLookPreviewHelper::shared()->previewItem(), file("a.pdf"));
}

// --- The preview screen ------------------------------------------------------------------

TEST_F(RenameScreensTest, PreviewRowsFollowTheirNewName) {
  struct Case {
    const char* newName;
    Rename2View::RowState state;
    look::ColorRole color;
    const char* retryIcon;
    bool buttons;
  } cases[] = {
      {kPending, Rename2View::RowState::Pending, look::ColorRole::Accent, "Retry", false},
      {kError, Rename2View::RowState::Failed, look::ColorRole::SystemRed, "Retry_Red", true},
      {"Invoice_March", Rename2View::RowState::Named, look::ColorRole::Accent, "Retry", true},
      // Exact comparison: anything else is a name.
      {"pending...", Rename2View::RowState::Named, look::ColorRole::Accent, "Retry", true},
      {"", Rename2View::RowState::Named, look::ColorRole::Accent, "Retry", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.newName);
    RenameResult row{"a.pdf", c.newName, "/f/a.pdf"};
    EXPECT_EQ(Rename2View::rowState(row), c.state);
    EXPECT_EQ(Rename2View::proposalColor(row), look::ColorSpec{c.color});
    EXPECT_EQ(Rename2View::proposalTint(row), (look::ColorSpec{c.color, 0.1}));
    EXPECT_STREQ(Rename2View::retryIcon(row), c.retryIcon);
    EXPECT_EQ(Rename2View::rowButtonsEnabled(row), c.buttons);
  }
}

TEST_F(RenameScreensTest, ApplyWaitsForAnswersForTheWalkAndForFailedRows) {
  struct Case {
    bool awaiting;
    bool applying;
    std::vector<std::string> names;
    bool disabled;
    Rename2View::RatingBlock rating;
  } cases[] = {
      {true, false, {kPending, "B"}, true, Rename2View::RatingBlock::Waiting},
      {false, false, {"A", "B"}, false, Rename2View::RatingBlock::Asking},
      {false, false, {"A", kError}, true, Rename2View::RatingBlock::Asking},
      {false, true, {"A", "B"}, true, Rename2View::RatingBlock::Asking},
      // The batch has finished while a retried row is still pending.
      {false, false, {kPending, "B"}, true, Rename2View::RatingBlock::Waiting},
      {false, false, {}, false, Rename2View::RatingBlock::Asking},
  };
  for (const Case& c : cases) {
    auto rows = std::make_shared<Rows>();
    for (const auto& name : c.names) rows->push_back({"x.pdf", name, "/f/x.pdf"});
    Rename2View view;
    view.renameResults = bindRows(rows);
    view.isApplyButtonDisabled = c.awaiting;
    view.isApplyingRename = c.applying;
    EXPECT_EQ(view.applyDisabled(), c.disabled);
    EXPECT_EQ(view.ratingBlock(), c.rating);
  }
}

TEST_F(RenameScreensTest, EditingClearingAndRetryingRows) {
  auto rows = std::make_shared<Rows>(Rows{{"Scan 12.pdf", kError, "/f/Scan 12.pdf"},
                                          {"old.docx", "x", "/f/report.final.docx"},
                                          {"notes", kPending, "/f/notes"}});
  Rename2View view;
  view.renameResults = bindRows(rows);
  view.isApplyButtonDisabled = false;
  std::vector<RenameResult> retried;
  view.retryAction = [&](const RenameResult& row) { retried.push_back(row); };
  EXPECT_TRUE(view.applyDisabled());

  // Each change of the text is stored as typed and reported.
  for (const char* text : {"Q", "Q3", "Q3 "}) view.commitEditedName(0, text);
  EXPECT_EQ((*rows)[0].newName, "Q3 ");
  EXPECT_EQ((*rows)[0].oldName, "Scan 12.pdf");
  // The third row still waits for its name.
  EXPECT_TRUE(view.applyDisabled());
  auto edits = eventsNamed("rename_edit_file_name");
  ASSERT_EQ(edits.size(), 3u);
  for (const auto& event : edits) {
    EXPECT_EQ(event.parameters["screen_name"], Value("rename_step_2"));
  }

  // Clear takes the file's current name, not oldName, without its last extension.
  view.clearEditedName(0);
  view.clearEditedName(1);
  view.clearEditedName(2);
  EXPECT_EQ((*rows)[0].newName, "Scan 12");
  EXPECT_EQ((*rows)[1].newName, "report.final");
  EXPECT_EQ((*rows)[2].newName, "notes");
  EXPECT_EQ(eventsNamed("rename_preview_clear").size(), 3u);
  EXPECT_FALSE(view.applyDisabled());

  view.retry(1);
  ASSERT_EQ(retried.size(), 1u);
  EXPECT_EQ(retried[0], (RenameResult{"old.docx", "report.final", "/f/report.final.docx"}));

  // A row that is no longer there is left alone.
  view.commitEditedName(7, "x");
  view.clearEditedName(7);
  view.retry(7);
  EXPECT_EQ(rows->size(), 3u);
  EXPECT_EQ(retried.size(), 1u);
}

TEST_F(RenameScreensTest, OneThumbAsksForAComment) {
  for (const char* type : {"up_thumb", "down_thumb"}) {
    SCOPED_TRACE(type);
    sink_->clear();
    auto rows = std::make_shared<Rows>(Rows{{"a.pdf", "A", "/f/a.pdf"}});
    Rename2View view;
    view.renameResults = bindRows(rows);
    EXPECT_EQ(view.feedbackText, "Are you satisfied with the results?");
    view.logThumbFeedback(type);
    EXPECT_TRUE(view.feedbackGiven);
    EXPECT_EQ(view.feedbackText, "Tell us what we can improve!");
    EXPECT_EQ(view.ratingBlock(), Rename2View::RatingBlock::Commented);
    // A retry that makes a row pending again does not bring the thumbs back.
    (*rows)[0].newName = kPending;
    EXPECT_EQ(view.ratingBlock(), Rename2View::RatingBlock::Commented);
    auto events = sink_->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "feedback_given_in_app");
    EXPECT_EQ(events[0].parameters["feedback_type"], Value(type));
    EXPECT_EQ(events[0].parameters["screen_name"], Value("rename_step_2"));
    EXPECT_EQ(events[1].name, "feedback_given_commented");
    EXPECT_EQ(events[1].parameters["screen_name"], Value("rename_step_2"));
  }
}

TEST_F(RenameScreensTest, FeedbackFormOpensOnlyAConfiguredURLAndSendsNothing) {
  struct Case {
    const char* configured;
    std::vector<std::string> opened;
  } cases[] = {
      {nullptr, {}},
      {"https://example.com/form?from=app", {"https://example.com/form?from=app"}},
      {"not a url", {}},
      {"/relative/form", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configured ? c.configured : "none");
    if (c.configured) {
      setenv(AppConfiguration::kFeedbackFormURLEnvironment, c.configured, 1);
    } else {
      unsetenv(AppConfiguration::kFeedbackFormURLEnvironment);
    }
    EXPECT_EQ(openedURLs([] { openFeedbackForm(); }), c.opened);
  }
  EXPECT_TRUE(sink_->events().empty());
}

TEST_F(RenameScreensTest, PreviewWidgetShowsRowStatesAndTheRatingBlock) {
  auto rows = std::make_shared<Rows>(Rows{
      {"a.pdf", kPending, "/f/a.pdf"}, {"b.pdf", kError, "/f/b.pdf"}, {"c.pdf", "C", "/f/c.pdf"}});
  Rename2View view;
  view.renameResults = bindRows(rows);
  view.isApplyButtonDisabled = true;
  Rename2ViewWidget screen(view);
  screen.show();
  ASSERT_EQ(screen.rows().size(), 3u);

  Rename2RowWidget* pending = screen.rows()[0];
  EXPECT_EQ(pending->nameButton()->text(), "a.pdf");
  EXPECT_EQ(pending->nameField()->text(), "Pending...");
  EXPECT_EQ(pending->nameField()->placeholderText(), "New Filename");
  EXPECT_FALSE(pending->clearButton()->isEnabled());
  EXPECT_FALSE(pending->retryButton()->isEnabled());
  EXPECT_EQ(pending->fill(), (look::ColorSpec{look::ColorRole::Primary, 0.06}));
  Rename2RowWidget* failed = screen.rows()[1];
  EXPECT_EQ(failed->proposalGroup()->fill(), (look::ColorSpec{look::ColorRole::SystemRed, 0.1}));
  EXPECT_EQ(failed->retryButton()->iconName(), "Retry_Red");
  EXPECT_TRUE(failed->retryButton()->isEnabled());
  EXPECT_EQ(failed->fill(), look::ColorSpec{look::ColorRole::WindowBackground});
  EXPECT_EQ(screen.rows()[2]->retryButton()->iconName(), "Retry");
  EXPECT_FALSE(screen.ratingPanel()->isVisible());
  EXPECT_FALSE(screen.applyButton()->isEnabled());
  EXPECT_EQ(screen.applyButton()->buttonStyle(), look::ButtonStyle(look::BlueButtonStyle{true}));

  // The answers arrive: the root view redraws the screen.
  *rows = {{"a.pdf", "A", "/f/a.pdf"}, {"b.pdf", kError, "/f/b.pdf"}, {"c.pdf", "C", "/f/c.pdf"}};
  view.isApplyButtonDisabled = false;
  screen.setView(view);
  EXPECT_TRUE(screen.ratingPanel()->isVisible());
  EXPECT_EQ(screen.ratingText()->text(), "Are you satisfied with the results?");
  EXPECT_TRUE(screen.thumbsUpButton()->isVisible());
  EXPECT_FALSE(screen.formButton()->isVisible());
  EXPECT_FALSE(screen.applyButton()->isEnabled());  // the failed row

  screen.rows()[1]->clearButton()->click();
  EXPECT_EQ((*rows)[1].newName, "b");
  screen.refresh();
  EXPECT_TRUE(screen.applyButton()->isEnabled());

  screen.thumbsDownButton()->click();
  EXPECT_EQ(screen.ratingText()->text(), "Tell us what we can improve!");
  EXPECT_FALSE(screen.thumbsUpButton()->isVisible());
  EXPECT_TRUE(screen.formButton()->isVisible());
  // A new build from the root view keeps the rating given.
  screen.setView(view);
  EXPECT_TRUE(screen.formButton()->isVisible());
  setenv(AppConfiguration::kFeedbackFormURLEnvironment, "https://example.com/form", 1);
  EXPECT_EQ(openedURLs([&] { screen.formButton()->click(); }),
            std::vector<std::string>{"https://example.com/form"});
  EXPECT_EQ(sink_->names(),
            (std::vector<std::string>{"rename_preview_clear", "feedback_given_in_app",
                                      "feedback_given_commented"}));

  // While the renaming runs the fields are read-only; the row buttons and Go back react.
  int goBacks = 0;
  view.goBackAction = [&] { ++goBacks; };
  view.isApplyingRename = true;
  screen.setView(view);
  EXPECT_FALSE(screen.rows()[0]->nameField()->isEnabled());
  EXPECT_FALSE(screen.applyButton()->isEnabled());
  EXPECT_TRUE(screen.rows()[0]->clearButton()->isEnabled());
  screen.goBackButton()->click();
  EXPECT_EQ(goBacks, 1);
}

TEST_F(RenameScreensTest, ActionThatRedrawsTheScreenRunsToItsEnd) {
  // The root view redraws the screen from inside the action, which replaces the view that
  // holds the action being run.
  auto rows = std::make_shared<Rows>(Rows{{"a.pdf", "A", "/f/a.pdf"}});
  Rename2ViewWidget* screen = nullptr;
  std::function<Rename2View()> build;
  int retries = 0;
  int applies = 0;
  build = [&] {
    Rename2View view;
    view.renameResults = bindRows(rows);
    view.isApplyButtonDisabled = false;
    std::string padding(64, 'x');  // captured state the closure reads after the redraw
    view.retryAction = [&, padding](const RenameResult&) {
      (*rows)[0].newName = kPending;
      screen->setView(build());
      retries += static_cast<int>(padding.size() / 64);
    };
    view.applyRenameAction = [&, padding] {
      screen->setView(build());
      applies += static_cast<int>(padding.size() / 64);
    };
    return view;
  };
  Rename2ViewWidget widget(build());
  screen = &widget;
  widget.rows()[0]->retryButton()->click();
  EXPECT_EQ(retries, 1);
  EXPECT_EQ(widget.rows()[0]->nameField()->text(), "Pending...");
  EXPECT_FALSE(widget.rows()[0]->retryButton()->isEnabled());
  (*rows)[0].newName = "A";
  widget.refresh();
  widget.applyButton()->click();
  EXPECT_EQ(applies, 1);
}

TEST_F(RenameScreensTest, TypingInTheWindowKeepsItsPlaceWhileTheScreenRedraws) {
  auto view = ContentView::create();
  view->setRenameResults({{"a.pdf", "", "/f/a.pdf"}, {"b.pdf", "B", "/f/b.pdf"}});
  view->setCurrentStep(step::kRenamePreview);
  ContentViewWidget window(view);
  window.show();
  auto* screen = qobject_cast<Rename2ViewWidget*>(window.currentScreen());
  ASSERT_NE(screen, nullptr);
  QLineEdit* field = screen->rows()[0]->nameField();
  for (auto [key, text] : {std::pair{Qt::Key_Q, "Q"}, {Qt::Key_3, "3"}, {Qt::Key_X, "x"}}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString::fromLatin1(text));
    QCoreApplication::sendEvent(field, &press);
  }
  EXPECT_EQ(view->renameResults()[0].newName, "Q3x");
  EXPECT_EQ(view->renameResults()[1].newName, "B");
  EXPECT_EQ(screen->rows()[0]->nameField(), field);
  EXPECT_EQ(field->cursorPosition(), 3);
  EXPECT_EQ(eventsNamed("rename_edit_file_name").size(), 3u);
}

// --- The finished screen -----------------------------------------------------------------

TEST_F(RenameScreensTest, FinishedRowsPreviewTheFileWhereItIsNow) {
  auto recorder = installPanel();
  auto rows =
      std::make_shared<Rows>(Rows{{"a.pdf", "Invoice", "/f/a.pdf"}, {"b.pdf", "b", "/f/b.pdf"}});
  auto map = std::make_shared<URLMap>(URLMap{{"/f/a.pdf", "/f/Invoice.pdf"}});
  Rename3View view;
  view.renameResults = bindRows(rows);
  view.urlMap = {[map] { return *map; }, [map](URLMap value) { *map = std::move(value); }};
  std::vector<fs::path> revoked;
  view.revokeAction = [&](const fs::path& url) { revoked.push_back(url); };

  view.togglePreview(0);
  EXPECT_EQ(QuickLookPreviewHelper::shared()->previewItem(), fs::path("/f/Invoice.pdf"));
  view.togglePreview(1);
  EXPECT_EQ(QuickLookPreviewHelper::shared()->previewItem(), fs::path("/f/b.pdf"));
  view.togglePreview(5);
  ASSERT_EQ(recorder->calls.size(), 2u);
  EXPECT_TRUE(recorder->calls[0].first);
  EXPECT_FALSE(recorder->calls[1].first);

  view.revoke(1);
  view.revoke(5);
  EXPECT_EQ(revoked, std::vector<fs::path>{"/f/b.pdf"});
}

TEST_F(RenameScreensTest, RatingTheResultsGoesStraightToAnalytics) {
  for (bool positive : {true, false}) {
    sink_->clear();
    Rename3View view;
    EXPECT_EQ(view.feedbackText, "How are the results?");
    view.rateResults(positive);
    EXPECT_TRUE(view.feedbackGiven);
    EXPECT_EQ(view.feedbackText, "Tell us what we can do!");
    auto events = sink_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "feedback_given");
    EXPECT_EQ(events[0].origin, "app");
    // No common parameters, no screen name, no timestamp.
    EXPECT_EQ(events[0].parameters,
              (platform::Dictionary{{"satisfaction", positive ? "positive" : "negative"}}));
  }
}

TEST_F(RenameScreensTest, FinishedWidgetShowsRevokeControlsUntilEverythingWasRevoked) {
  auto rows = std::make_shared<Rows>(
      Rows{{"a.pdf", "Invoice", "/f/a.pdf"}, {"b.pdf", "Letter", "/f/b.pdf"}});
  auto map = std::make_shared<URLMap>();
  Rename3View view;
  view.renameResults = bindRows(rows);
  view.urlMap = {[map] { return *map; }, [map](URLMap value) { *map = std::move(value); }};
  int revokeAlls = 0;
  int startOvers = 0;
  std::vector<fs::path> revoked;
  view.revokeAllAction = [&] { ++revokeAlls; };
  view.renameAgainAction = [&] { ++startOvers; };
  view.revokeAction = [&](const fs::path& url) { revoked.push_back(url); };
  Rename3ViewWidget screen(view);
  screen.show();

  ASSERT_EQ(screen.rows().size(), 2u);
  EXPECT_EQ(screen.rows()[0]->oldNameButton()->text(), "a.pdf");
  EXPECT_EQ(screen.rows()[0]->arrow()->text(), "\u2192");
  EXPECT_EQ(screen.rows()[1]->newNameLabel()->text(), "Letter");
  EXPECT_EQ(screen.rows()[0]->fill(), (look::ColorSpec{look::ColorRole::Primary, 0.06}));
  EXPECT_TRUE(screen.rows()[1]->revokeButton()->isVisible());
  screen.rows()[1]->revokeButton()->click();
  EXPECT_EQ(revoked, std::vector<fs::path>{"/f/b.pdf"});
  ASSERT_TRUE(screen.revokeAllButton()->isVisible());
  screen.revokeAllButton()->click();
  screen.startOverButton()->click();
  EXPECT_EQ(revokeAlls, 1);
  EXPECT_EQ(startOvers, 1);

  screen.thumbsUpButton()->click();
  EXPECT_EQ(screen.feedbackText()->text(), "Tell us what we can do!");
  EXPECT_FALSE(screen.thumbsUpButton()->isVisible());
  EXPECT_TRUE(screen.formButton()->isVisible());

  // Everything revoked: the rows stay, with their restored names, the controls go.
  *rows = {{"a.pdf", "a", "/f/a.pdf"}, {"b.pdf", "b", "/f/b.pdf"}};
  view.revokedAll = true;
  screen.setView(view);
  EXPECT_EQ(screen.rows()[0]->newNameLabel()->text(), "a");
  EXPECT_FALSE(screen.rows()[0]->revokeButton()->isVisible());
  EXPECT_FALSE(screen.revokeAllButton()->isVisible());
  EXPECT_TRUE(screen.startOverButton()->isVisible());
  EXPECT_TRUE(screen.formButton()->isVisible());  // the rating stays while the screen does

  // Shown anew, the screen asks again.
  Rename3ViewWidget again(view);
  again.show();
  EXPECT_EQ(again.feedbackText()->text(), "How are the results?");
  EXPECT_TRUE(again.thumbsUpButton()->isVisible());
}

}  // namespace
