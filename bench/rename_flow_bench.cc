// The rename flow end to end: how long until every proposal of a batch is in, against the
// loopback naming service, how long Apply takes to rename a large batch on disk, and how the
// walk's search for free names grows with the batch.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/run_loop.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/temp_home.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/rename/RenameActions.h"

namespace {

using Path = std::filesystem::path;

constexpr int kProposalFiles = 200;
constexpr int kApplyFiles = 1000;

std::vector<Path> makeTextFiles(const Path& folder, int count) {
  std::filesystem::create_directories(folder);
  std::vector<Path> files;
  for (int i = 0; i < count; ++i) {
    files.push_back(folder / ("file" + std::to_string(i) + ".txt"));
    std::ofstream(files.back()) << "meeting notes number " << i << " about the quarterly budget";
  }
  return files;
}

// The walk prints two lines per file; they go to /dev/null while it runs, so that the
// terminal's speed is not measured.
class SilencedStandardOutput {
 public:
  SilencedStandardOutput() {
    std::cout.flush();
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~SilencedStandardOutput() {
    std::cout.flush();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

// From Next to the last stored answer (Apply enabled) for 200 text files: extraction on the
// main thread, one request per file, all in flight together. The argument is how long the
// service takes per answer (ms); requests sent one after the other would need at least 200
// times that.
void BM_AllProposalsArrive(benchmark::State& state) {
  testing_support::TemporaryHome home;
  testing_support::FakeNamingService service;
  service.setRuleDelay(static_cast<double>(state.range(0)) / 1000);
  setenv("VILMO_NAMING_SERVICE_URL", service.baseURL().c_str(), 1);
  const std::vector<Path> files = makeTextFiles(home.path() / "files", kProposalFiles);

  for (auto _ : state) {
    std::shared_ptr<ContentView> view = ContentView::create();
    view->setSupportedFiles(files);
    startRename(view);
    if (!platform::RunLoop::runUntil([&] { return !view->isApplyButtonDisabled(); }, 120)) {
      state.SkipWithError("the answers did not arrive");
      break;
    }
    for (const RenameResult& row : view->renameResults()) {
      if (row.newName == "Error renaming") {
        state.SkipWithError("a request failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kProposalFiles);
  unsetenv("VILMO_NAMING_SERVICE_URL");
}
BENCHMARK(BM_AllProposalsArrive)->Arg(0)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Apply for 1,000 files, from the press to the finished screen: every file renamed in its
// folder, each name checked for collisions first. Argument 0 gives every file its own name;
// 1 gives all the same name, so that every file after the first needs a suffix.
void BM_ApplyRenames(benchmark::State& state) {
  const bool sameName = state.range(0) == 1;
  testing_support::TemporaryHome home;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::vector<Path> files =
        makeTextFiles(home.path() / ("round" + std::to_string(round++)), kApplyFiles);
    std::shared_ptr<ContentView> view = ContentView::create();
    std::vector<RenameResult> rows;
    for (int i = 0; i < kApplyFiles; ++i) {
      rows.push_back({files[i].filename().string(),
                      sameName ? "Budget_Notes" : "Budget_Notes_" + std::to_string(i), files[i]});
    }
    view->setRenameResults(std::move(rows));
    view->setCurrentStep(step::kRenamePreview);
    state.ResumeTiming();

    {
      SilencedStandardOutput silenced;
      applyRenamePreview(view);
      platform::RunLoop::runUntil([&] { return view->currentStep() == step::kRenameFinished; },
                                  120);
    }
    if (view->urlMap().size() != static_cast<std::size_t>(kApplyFiles)) {
      state.SkipWithError("not every file was renamed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kApplyFiles);
}
BENCHMARK(BM_ApplyRenames)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The on-disk walk alone for a batch whose files were all given the same name, at 500 and
// 5,000 files: each file's search for a free suffix goes on from where the previous one
// stopped, so the time grows with the batch, not with its square (5,000 files take about ten
// times as long as 500).
void BM_SameNameWalk(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  testing_support::TemporaryHome home;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const Path folder = home.path() / ("round" + std::to_string(round++));
    const std::vector<Path> files = makeTextFiles(folder, count);
    std::vector<RenameResult> rows;
    rows.reserve(files.size());
    for (const Path& file : files) rows.push_back({file.filename().string(), "Budget_Notes", file});
    std::size_t moved = 0;
    state.ResumeTiming();

    {
      SilencedStandardOutput silenced;
      renameFiles(rows, RenameNames::Proposed, [&](RenameURLMap map) { moved = map.size(); });
    }

    state.PauseTiming();
    std::filesystem::remove_all(folder);
    state.ResumeTiming();
    if (moved != static_cast<std::size_t>(count)) {
      state.SkipWithError("not every file was renamed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_SameNameWalk)->Arg(500)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
