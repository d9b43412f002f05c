#include "vilmo/rename/RenameActions.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/run_loop.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/rename/RenameRequest.h"
#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/tests/rename_fixtures.h"

namespace {

using Path = std::filesystem::path;
using testing_support::FakeNamingService;
using testing_support::pumpMainQueueUntil;

std::string contentsOf(const Path& path) {
  std::optional<platform::Data> data = platform::readFile(path);
  return data ? data->toString() : "<missing>";
}

std::string movedLines(const Path& from, const Path& to) {
  return "Renaming file from " + from.string() + " to " + to.string() +
         "\nSuccessfully renamed file to " + to.string() + "\n";
}

// What a failed move of a file that is not there says.
std::string missingFileDescription(const Path& from, const Path& to) {
  platform::ErrorPtr error;
  EXPECT_FALSE(platform::moveItem(from, to, &error));
  return error ? error->localizedDescription() : "";
}

// Standard output as the walk writes it, and how often it was flushed, for its lifetime.
class CountingOutput : public std::stringbuf {
 public:
  CountingOutput() : saved_(std::cout.rdbuf(this)) {}
  ~CountingOutput() override { std::cout.rdbuf(saved_); }
  CountingOutput(const CountingOutput&) = delete;
  CountingOutput& operator=(const CountingOutput&) = delete;

  int flushes() const { return flushes_; }

 protected:
  int sync() override {
    ++flushes_;
    return 0;
  }

 private:
  std::streambuf* saved_;
  int flushes_ = 0;
};

class RenameActionsTest : public vilmo_test::AppEnvironmentTest {
 protected:
  void SetUp() override {
    AppEnvironmentTest::SetUp();
    setenv("VILMO_NAMING_SERVICE_URL", service_.baseURL().c_str(), 1);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    ASSERT_TRUE(platform::createDirectory(folder_, true));
    view_ = ContentView::create();
  }
  void TearDown() override {
    unsetenv("VILMO_NAMING_SERVICE_URL");
    unsetenv("LC_ALL");
    AppEnvironmentTest::TearDown();
  }

  Path textFile(const std::string& name, const std::string& text) {
    rename_fixtures::writeFile(folder_ / name, text);
    return folder_ / name;
  }

  // Drops the files and presses Next.
  void startWith(const std::vector<Path>& files) {
    view_->setSupportedFiles(files);
    view_->rename1View().nextAction();
  }
  ::testing::AssertionResult settled() {
    return pumpMainQueueUntil([&] { return !view_->isApplyButtonDisabled(); });
  }
  // Starts, waits for every answer, applies and waits for the finished screen.
  void renameAll(const std::vector<Path>& files) {
    startWith(files);
    ASSERT_TRUE(settled());
    testing::internal::CaptureStdout();
    view_->rename2View().applyRenameAction();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->currentStep() == 1003; }));
  }

  std::vector<std::string> newNames() const {
    std::vector<std::string> names;
    for (const RenameResult& row : view_->renameResults()) names.push_back(row.newName);
    return names;
  }

  FakeNamingService service_;
  Path folder_ = home_.path() / "files";
  std::shared_ptr<ContentView> view_;
};

TEST_F(RenameActionsTest, NextShowsPendingRowsUntilEveryAnswerIsIn) {
  const std::vector<Path> files = {textFile("a.txt", "alpha"), textFile("b.txt", "bravo"),
                                   textFile("c.txt", "charlie")};
  service_.scriptRename(FakeNamingService::textContains("alpha"),
                        FakeNamingService::filename("Alpha_Name"));
  service_.scriptRename(FakeNamingService::textContains("bravo"),
                        FakeNamingService::json("{}", 500));
  service_.holdRename(FakeNamingService::textContains("charlie"),
                      FakeNamingService::filename("Charlie_Name"));
  view_->setRenameFormat("");
  sink_->clear();

  startWith(files);
  EXPECT_EQ(view_->currentStep(), 1002);
  EXPECT_EQ(view_->renameFormat(), "Content");
  EXPECT_EQ(view_->renameResults(), (std::vector<RenameResult>{{"a.txt", "Pending...", files[0]},
                                                               {"b.txt", "Pending...", files[1]},
                                                               {"c.txt", "Pending...", files[2]}}));
  EXPECT_TRUE(view_->isApplyButtonDisabled());
  expectEvent("settings_start", {{"screen_name", "rename_step_1"},
                                 {"rename_file_cnt", platform::Value(std::int64_t{3})}});

  ASSERT_TRUE(pumpMainQueueUntil([&] {
    return !isPendingRow(view_->renameResults()[0]) && !isPendingRow(view_->renameResults()[1]);
  }));
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha_Name", "Error renaming", "Pending..."}));
  EXPECT_TRUE(view_->isApplyButtonDisabled());

  service_.release();
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha_Name", "Error renaming", "Charlie_Name"}));
  for (const platform::Dictionary& body : service_.renameBodies()) {
    EXPECT_EQ(body["custom_format"], "Content");
    EXPECT_EQ(body["language"], "German");
  }
}

TEST_F(RenameActionsTest, RetryAsksAgainForThatRowAndApplyWaitsForIt) {
  const std::vector<Path> files = {textFile("a.txt", "alpha"), textFile("b.txt", "bravo")};
  service_.scriptRename(FakeNamingService::textContains("bravo"),
                        FakeNamingService::json("{}", 500), 1);
  startWith(files);
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha", "Error renaming"}));

  view_->setRenameFormat("_Owner");
  service_.holdRename(FakeNamingService::textContains("bravo"),
                      FakeNamingService::filename("Bravo_Name"));
  sink_->clear();
  view_->rename2View().retryAction(view_->renameResults()[1]);
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha", "Pending..."}));
  EXPECT_TRUE(view_->isApplyButtonDisabled());
  expectEvent("rename_retry", {{"screen_name", "rename_step_2"}});
  ASSERT_TRUE(service_.waitForRequests(3));
  EXPECT_EQ(service_.renameBodies().back()["custom_format"], "Owner");
  EXPECT_EQ(service_.renameBodies().back()["text"], "bravo");

  service_.release();
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha", "Bravo_Name"}));

  // A row that is not in the list is not retried.
  sink_->clear();
  view_->rename2View().retryAction({"x.txt", "X", folder_ / "x.txt"});
  EXPECT_TRUE(sink_->events().empty());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Alpha", "Bravo_Name"}));
  EXPECT_FALSE(view_->isApplyButtonDisabled());
}

TEST_F(RenameActionsTest, TheSameFileTwiceInOneDropGetsOneRowAndItsAnswer) {
  const Path a = textFile("a.txt", "alpha");
  const Path b = textFile("b.txt", "bravo");
  view_->rename1View().finishFileDrop({a, b, a});
  EXPECT_EQ(view_->supportedFiles(), (std::vector<Path>{a, b}));

  view_->rename1View().nextAction();
  ASSERT_TRUE(settled());
  EXPECT_EQ(view_->renameResults(),
            (std::vector<RenameResult>{{"a.txt", "Alpha", a}, {"b.txt", "Bravo", b}}));
  EXPECT_FALSE(view_->rename2View().applyDisabled());
}

TEST_F(RenameActionsTest, AnswersThatCannotBeANameLeaveTheRowFailedAndRetryable) {
  const char* answers[] = {"Pending...", "Error renaming", "", ".", "..", "Q3/Summary"};
  std::vector<Path> files;
  for (const char* answer : answers) {
    const std::string text = "file" + std::to_string(files.size());
    files.push_back(textFile(text + ".txt", text));
    service_.scriptRename(FakeNamingService::textContains(text),
                          FakeNamingService::filename(answer), 1);
  }
  startWith(files);
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), std::vector<std::string>(files.size(), "Error renaming"));
  const Rename2View screen = view_->rename2View();
  EXPECT_TRUE(screen.applyDisabled());
  EXPECT_EQ(screen.ratingBlock(), Rename2View::RatingBlock::Asking);
  for (const RenameResult& row : view_->renameResults()) {
    EXPECT_TRUE(Rename2View::rowButtonsEnabled(row));
  }

  // A retry's answer is read the same way; a usable one then names the row.
  service_.scriptRename(FakeNamingService::textContains("file0"),
                        FakeNamingService::filename("_Pending..._"), 1);
  view_->rename2View().retryAction(view_->renameResults()[0]);
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames()[0], "Error renaming");
  service_.scriptRename(FakeNamingService::textContains("file0"),
                        FakeNamingService::filename("Q3_Summary"), 1);
  view_->rename2View().retryAction(view_->renameResults()[0]);
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames()[0], "Q3_Summary");
}

TEST_F(RenameActionsTest, AnswersForAnEarlierBatchOrAnotherRowAreDropped) {
  const Path a = textFile("a.txt", "alpha");
  const Path b = textFile("b.txt", "bravo");
  service_.holdRename(FakeNamingService::textContains("alpha"),
                      FakeNamingService::filename("Stale"), 1);
  startWith({a, b});
  ASSERT_TRUE(service_.waitForRequests(2));
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !isPendingRow(view_->renameResults()[1]); }));

  sink_->clear();
  view_->rename2View().goBackAction();
  expectEvent("rename_go_back", {{"screen_name", "rename_step_2"}});
  EXPECT_EQ(view_->currentStep(), 1001);
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Pending...", "Bravo"}));

  service_.scriptRename(FakeNamingService::textContains("alpha"),
                        FakeNamingService::filename("Fresh"));
  view_->rename1View().nextAction();
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Fresh", "Bravo"}));

  // The first batch's answer goes out now; the retry's answer comes after it.
  service_.release();
  view_->rename2View().retryAction(view_->renameResults()[1]);
  ASSERT_TRUE(settled());
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Fresh", "Bravo"}));

  // The cases timing cannot arrange, handed straight to the handlers.
  const std::uint64_t batch = view_->renameBatch();
  const auto rows = view_->renameResults();
  storeBatchResult(*view_, batch - 1, {"a.txt", "Old", a});
  storeBatchResult(*view_, batch, {"z.txt", "Old", folder_ / "z.txt"});
  storeRenameResult(*view_, "Old", {batch - 1, 0, a});
  storeRenameResult(*view_, "Old", {batch, 7, a});
  storeRenameResult(*view_, "Old", {batch, 1, a});
  EXPECT_EQ(view_->renameResults(), rows);

  view_->setRenameResults({{"a.txt", "Pending...", a}, rows[1]});
  view_->setApplyButtonDisabled(true);
  finishBatchRename(view_, batch - 1);
  finishBatchRename(view_, batch);
  platform::RunLoop::drain();
  EXPECT_TRUE(view_->isApplyButtonDisabled());  // a row still waits
  storeRenameResult(*view_, "Now", {batch, 0, a});
  EXPECT_EQ(newNames(), (std::vector<std::string>{"Now", "Bravo"}));
  EXPECT_FALSE(view_->isApplyButtonDisabled());

  // Start Over makes a new batch too: nothing of the old rows is stored any more.
  resetRenameFlow(*view_);
  storeRenameResult(*view_, "Late", {batch, 0, a});
  EXPECT_TRUE(view_->renameResults().empty());
}

TEST_F(RenameActionsTest, ApplyAddsSuffixesAndNeverReplacesAFile) {
  const Path existing = textFile("Q3_Summary.txt", "keep");
  const std::vector<Path> files = {textFile("a.txt", "alpha"), textFile("b.txt", "bravo"),
                                   textFile("c.txt", "charlie")};
  service_.scriptRename(FakeNamingService::anyRequest(), FakeNamingService::filename("Q3_Summary"));
  startWith(files);
  ASSERT_TRUE(settled());

  sink_->clear();
  testing::internal::CaptureStdout();
  view_->rename2View().applyRenameAction();
  const std::string output = testing::internal::GetCapturedStdout();
  const Path one = folder_ / "Q3_Summary_1.txt";
  const Path two = folder_ / "Q3_Summary_2.txt";
  const Path three = folder_ / "Q3_Summary_3.txt";
  EXPECT_EQ(output,
            movedLines(files[0], one) + movedLines(files[1], two) + movedLines(files[2], three));
  EXPECT_TRUE(view_->isApplyingRename());
  expectEvent("rename_preview_apply",
              {{"screen_name", "rename_step_2"},
               {"rename_preview_apply_file_cnt", platform::Value(std::int64_t{3})}});

  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->currentStep() == 1003; }));
  EXPECT_FALSE(view_->isApplyingRename());
  EXPECT_EQ(contentsOf(existing), "keep");
  EXPECT_EQ(contentsOf(one), "alpha");
  EXPECT_EQ(contentsOf(two), "bravo");
  EXPECT_EQ(contentsOf(three), "charlie");
  for (const Path& file : files) EXPECT_FALSE(platform::fileExists(file));
  EXPECT_EQ(view_->urlMap(),
            (ContentView::URLMap{{files[0], one}, {files[1], two}, {files[2], three}}));
  // The finished screen shows the names the files really got.
  EXPECT_EQ(view_->renameResults(),
            (std::vector<RenameResult>{{"a.txt", "Q3_Summary_1", files[0]},
                                       {"b.txt", "Q3_Summary_2", files[1]},
                                       {"c.txt", "Q3_Summary_3", files[2]}}));
}

TEST_F(RenameActionsTest, TheWalkMovesOnlyRowsWithAUsableName) {
  const Path report = textFile("report.pdf", "r");
  const Path memo = textFile("memo.pdf", "m");
  const Path draft = textFile("draft.pdf", "d");
  const Path notes = textFile("notes", "n");
  const Path same = textFile("same.txt", "s");
  const Path linked = textFile("l.txt", "l");
  std::filesystem::create_symlink(folder_ / "nowhere", folder_ / "Linked.txt");
  const Path gone = folder_ / "gone.txt";
  const std::string goneDescription = missingFileDescription(gone, folder_ / "Gone.txt");

  std::vector<RenameResult> rows = {
      {"report.pdf", "Q3_Summary", report}, {"memo.pdf", "Q3_Summary", memo},
      {"draft.pdf", "Q3_Summary", draft},   {"notes", "Plan", notes},
      {"same.txt", "same", same},           {"gone.txt", "Gone", gone},
      {"l.txt", "Linked", linked},
  };
  const std::string invalidNames[] = {
      "", ".", "..", "a/b", std::string("a\0b", 3), "Pending...", "Error renaming"};
  std::vector<Path> invalidFiles;
  for (const std::string& name : invalidNames) {
    invalidFiles.push_back(textFile("e" + std::to_string(invalidFiles.size()) + ".txt", "e"));
    rows.push_back({invalidFiles.back().filename().string(), name, invalidFiles.back()});
  }

  std::optional<RenameURLMap> map;
  testing::internal::CaptureStdout();
  renameFiles(rows, RenameNames::Proposed, [&](RenameURLMap result) { map = std::move(result); });
  const std::string output = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(map);  // on the calling thread

  std::string expected = movedLines(report, folder_ / "Q3_Summary.pdf") +
                         movedLines(memo, folder_ / "Q3_Summary_1.pdf") +
                         movedLines(draft, folder_ / "Q3_Summary_2.pdf") +
                         movedLines(notes, folder_ / "Plan") + "Renaming file from " +
                         gone.string() + " to " + (folder_ / "Gone.txt").string() +
                         "\nError renaming file gone.txt: " + goneDescription + "\n" +
                         movedLines(linked, folder_ / "Linked_1.txt");
  for (const Path& file : invalidFiles) {
    expected += "Error renaming file " + file.filename().string() + ": invalid name\n";
  }
  EXPECT_EQ(output, expected);

  RenameURLMap expectedMap = {{report, folder_ / "Q3_Summary.pdf"},
                              {memo, folder_ / "Q3_Summary_1.pdf"},
                              {draft, folder_ / "Q3_Summary_2.pdf"},
                              {notes, folder_ / "Plan"},
                              {same, same},
                              {linked, folder_ / "Linked_1.txt"}};
  for (const Path& file : invalidFiles) expectedMap[file] = file;
  EXPECT_EQ(*map, expectedMap);
  EXPECT_EQ(contentsOf(folder_ / "Q3_Summary_2.pdf"), "d");
  EXPECT_EQ(contentsOf(folder_ / "Plan"), "n");
  EXPECT_EQ(contentsOf(same), "s");
  for (const Path& file : invalidFiles) EXPECT_EQ(contentsOf(file), "e");

  // Names given back by a revoke come from the files themselves, placeholders included.
  const Path placeholder = textFile("p.txt", "p");
  renameFiles({{"Pending....txt", "Pending...", placeholder}}, RenameNames::Restored,
              [&](RenameURLMap result) { map = std::move(result); });
  EXPECT_EQ(contentsOf(folder_ / "Pending....txt"), "p");
}

TEST_F(RenameActionsTest, ManyFilesGivenOneNameGetTheSameSuffixesAsEverInApplyAndRevoke) {
  // Files on disk hold the bare name and a far suffix; two files of the batch hold suffixes
  // too and free them when they move.
  for (const char* name : {"Report.txt", "Report_9.txt"}) textFile(name, name);
  ASSERT_TRUE(platform::createDirectory(folder_ / "sub", true));
  struct Case {
    const char* file;
    const char* newName;
    const char* applied;
    const char* revoked;
    bool missing = false;
  } cases[] = {
      {"a.txt", "Report", "Report_1.txt", "a.txt"},
      {"b.txt", "Report", "Report_3.txt", "b.txt"},
      {"c.pdf", "Report", "Report.pdf", "c.pdf"},
      {"Report_2.txt", "Summary", "Summary.txt", "Report_2_1.txt"},
      {"d.txt", "Report", "Report_2.txt", "d.txt"},  // the suffix the row above freed
      {"e.txt", "Report", "Report_4.txt", "e.txt"},
      {"sub/f.txt", "Report", "sub/Report.txt", "sub/f.txt"},
      {"Report_5.txt", "Report", "Report_6.txt", "Report_5_1.txt"},  // passes over itself
      {"g.txt", "Report", "Report_5.txt", "g.txt"},
      {"h", "Report", "Report", "h"},
      {"i", "Report", "Report_1", "i"},
      {"c2.pdf", "Report", "Report_1.pdf", "c2.pdf"},
      {"j.txt", "Report", "Report_7.txt", "j.txt"},
      {"k.txt", "Report", "Report_8.txt", "k.txt"},
      {"l.txt", "Report", "Report_10.txt", "l.txt"},
      {"m.txt", "Report", "Report_11.txt", "m.txt", true},  // the failed move keeps it free
      {"n.txt", "Report", "Report_11.txt", "n.txt"},
      {"p.txt", "Report_1", "Report_1_1.txt", "p.txt"},
  };
  std::vector<RenameResult> rows;
  std::string expectedOutput;
  RenameURLMap expectedMap;
  for (const Case& c : cases) {
    const Path source = folder_ / c.file;
    const Path target = folder_ / c.applied;
    if (c.missing) {
      expectedOutput += "Renaming file from " + source.string() + " to " + target.string() +
                        "\nError renaming file " + source.filename().string() + ": " +
                        missingFileDescription(source, target) + "\n";
    } else {
      textFile(c.file, c.file);
      expectedOutput += movedLines(source, target);
      expectedMap[source] = target;
    }
    rows.push_back({source.filename().string(), c.newName, source});
  }

  RenameURLMap applied;
  {
    CountingOutput output;
    renameFiles(rows, RenameNames::Proposed, [&](RenameURLMap map) { applied = std::move(map); });
    EXPECT_EQ(output.str(), expectedOutput);
    EXPECT_LE(output.flushes(), 1);
  }
  EXPECT_EQ(applied, expectedMap);
  for (const Case& c : cases) {
    if (!c.missing) {
      EXPECT_EQ(contentsOf(folder_ / c.applied), c.file) << c.file;
    }
  }

  RenameURLMap revoked;
  {
    CountingOutput output;
    renameFiles(buildRevokeRows(rows, applied), RenameNames::Restored,
                [&](RenameURLMap map) { revoked = std::move(map); });
    EXPECT_LE(output.flushes(), 1);
  }
  RenameURLMap expectedRevoked;
  for (const Case& c : cases) {
    const Path from = folder_ / (c.missing ? c.file : c.applied);
    expectedRevoked[from] = folder_ / c.revoked;
    if (!c.missing) {
      EXPECT_EQ(contentsOf(folder_ / c.revoked), c.file) << c.file;
    }
  }
  EXPECT_EQ(revoked, expectedRevoked);
  for (const char* name : {"Report.txt", "Report_9.txt"}) {
    EXPECT_EQ(contentsOf(folder_ / name), name);
  }

  // A document package is a folder: when it moves, the names inside it are free again.
  const Path package = folder_ / "Deck.pages";
  ASSERT_TRUE(platform::createDirectory(package, true));
  for (const char* name : {"Report.txt", "x.txt", "y.txt"}) {
    textFile(std::string("Deck.pages/") + name, name);
  }
  CountingOutput output;
  renameFiles({{"x.txt", "Report", package / "x.txt"},
               {"Deck.pages", "Slides", package},
               {"y.txt", "Report", package / "y.txt"}},
              RenameNames::Proposed, [](RenameURLMap) {});
  EXPECT_NE(output.str().find("Renaming file from " + (package / "y.txt").string() + " to " +
                              (package / "Report.txt").string() + "\n"),
            std::string::npos)
      << output.str();
  EXPECT_EQ(contentsOf(folder_ / "Slides.pages" / "Report_1.txt"), "x.txt");
}

TEST_F(RenameActionsTest, RevokeAllMovesEveryFileBackAsFarAsItCan) {
  const std::vector<Path> files = {textFile("a.txt", "alpha"), textFile("b.txt", "bravo"),
                                   textFile("c.txt", "charlie")};
  renameAll(files);
  const Path alpha = folder_ / "Alpha.txt";
  const Path charlie = folder_ / "Charlie.txt";
  // Meanwhile a new a.txt took the first file's old name, and the third file went away.
  rename_fixtures::writeFile(files[0], "new a");
  ASSERT_TRUE(platform::removeItem(charlie));
  const std::string charlieDescription = missingFileDescription(charlie, files[2]);

  sink_->clear();
  testing::internal::CaptureStdout();
  view_->rename3View().revokeAllAction();
  const std::string output = testing::internal::GetCapturedStdout();
  const Path restoredA = folder_ / "a_1.txt";
  EXPECT_EQ(output, movedLines(alpha, restoredA) + movedLines(folder_ / "Bravo.txt", files[1]) +
                        "Renaming file from " + charlie.string() + " to " + files[2].string() +
                        "\nError renaming file Charlie.txt: " + charlieDescription + "\n");
  expectEvent("rename_finish_revoke_all",
              {{"screen_name", "rename_step_3"},
               {"rename_finish_revoke_all_file_cnt", platform::Value(std::int64_t{3})}});

  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->revokedAll(); }));
  EXPECT_EQ(view_->currentStep(), 1003);
  EXPECT_EQ(contentsOf(restoredA), "alpha");
  EXPECT_EQ(contentsOf(files[0]), "new a");
  EXPECT_EQ(contentsOf(files[1]), "bravo");
  EXPECT_EQ(view_->renameResults(), (std::vector<RenameResult>{{"a.txt", "a_1", restoredA},
                                                               {"b.txt", "b", files[1]},
                                                               {"c.txt", "Charlie", files[2]}}));
  EXPECT_EQ(
      view_->urlMap(),
      (ContentView::URLMap{
          {files[0], alpha}, {restoredA, restoredA}, {files[1], files[1]}, {files[2], charlie}}));
}

TEST_F(RenameActionsTest, RevokeOneMovesThatFileBackOrForgetsIt) {
  const std::vector<Path> files = {textFile("a.txt", "alpha"), textFile("b.txt", "bravo")};
  renameAll(files);
  ASSERT_TRUE(platform::removeItem(folder_ / "Bravo.txt"));

  sink_->clear();
  testing::internal::CaptureStdout();
  view_->rename3View().revokeAction(files[0]);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), movedLines(folder_ / "Alpha.txt", files[0]));
  expectEvent("rename_finish_revoke", {{"screen_name", "rename_step_3"}});
  ASSERT_TRUE(pumpMainQueueUntil([&] { return view_->urlMap().at(files[0]) == files[0]; }));
  EXPECT_EQ(contentsOf(files[0]), "alpha");
  EXPECT_EQ(view_->renameResults()[0], (RenameResult{"a.txt", "a", files[0]}));

  testing::internal::CaptureStdout();
  view_->rename3View().revokeAction(files[1]);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(pumpMainQueueUntil([&] { return !view_->urlMap().contains(files[1]); }));
  EXPECT_EQ(view_->renameResults()[1], (RenameResult{"b.txt", "Bravo", files[1]}));
  EXPECT_FALSE(view_->revokedAll());

  sink_->clear();
  view_->rename3View().revokeAction(folder_ / "unknown.txt");
  EXPECT_TRUE(sink_->events().empty());
}

TEST_F(RenameActionsTest, StartOverAndClearEmptyTheFlow) {
  const Path a = textFile("a.txt", "alpha");
  view_->setUnsupportedFileTypes({"xyz"});
  renameAll({a});
  view_->setRenameMap({{a, "x"}});

  sink_->clear();
  view_->rename3View().renameAgainAction();
  expectEvent("rename_finish_rename_again", {{"screen_name", "rename_step_3"}});
  EXPECT_EQ(view_->currentStep(), 1001);
  EXPECT_TRUE(view_->supportedFiles().empty());
  EXPECT_TRUE(view_->renameMap().empty());
  EXPECT_TRUE(view_->renameResults().empty());
  EXPECT_TRUE(view_->urlMap().empty());
  EXPECT_FALSE(view_->isApplyingRename());
  EXPECT_FALSE(view_->revokedAll());
  EXPECT_FALSE(view_->isApplyButtonDisabled());
  EXPECT_EQ(view_->unsupportedFileTypes(), std::vector<std::string>{"xyz"});

  view_->setSupportedFiles({folder_ / "Alpha.txt"});
  sink_->clear();
  view_->rename1View().clearAction();
  expectEvent("drop_file_clear", {{"screen_name", "rename_step_1"}});
  EXPECT_TRUE(view_->supportedFiles().empty());
  EXPECT_TRUE(view_->unsupportedFileTypes().empty());
}

}  // namespace
