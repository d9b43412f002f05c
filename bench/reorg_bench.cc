// The reorganise flow on disk: scanning a folder of 10,000 files in 200 folders into a tree,
// building the proposed tree from an answer that places every file (each source and
// destination looked up on disk, links followed), and applying it.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "tests/support/temp_home.h"
#include "vilmo/reorg/FolderResponse.h"
#include "vilmo/reorg/ReorgApply.h"
#include "vilmo/reorg/VirtualFolder.h"

namespace {

using Path = std::filesystem::path;

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 50;
constexpr int kNewFolders = 20;

void makeFolder(const Path& root) {
  std::filesystem::remove_all(root);
  for (int folder = 0; folder < kFolders; ++folder) {
    Path directory = root / ("Folder " + std::to_string(folder));
    std::filesystem::create_directories(directory);
    for (int file = 0; file < kFilesPerFolder; ++file) {
      std::ofstream(directory / ("file" + std::to_string(file) + ".txt")) << file;
    }
  }
}

// Every file into one of 20 new top-level folders, under a name unique to it.
FolderResponse proposal() {
  FolderResponse response;
  for (int group = 0; group < kNewFolders; ++group) {
    FolderContent folder;
    folder.type = "folder";
    folder.folderName = "Group " + std::to_string(group);
    folder.contents.emplace();
    response.contents.push_back(std::move(folder));
  }
  for (int folder = 0; folder < kFolders; ++folder) {
    for (int file = 0; file < kFilesPerFolder; ++file) {
      int group = (folder * kFilesPerFolder + file) % kNewFolders;
      FolderContent entry;
      entry.type = "file";
      entry.sourcePath =
          "Folder " + std::to_string(folder) + "/file" + std::to_string(file) + ".txt";
      entry.newPath = "Group " + std::to_string(group) + "/" + std::to_string(folder) + "-" +
                      std::to_string(file) + ".txt";
      response.contents[group].contents->push_back(std::move(entry));
    }
  }
  return response;
}

void BM_Scan(benchmark::State& state) {
  testing_support::TemporaryHome home;
  Path root = home.path() / "Docs";
  makeFolder(root);
  for (auto _ : state) {
    benchmark::DoNotOptimize(scanFolder(root));
  }
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);

// The preview's tree from the answer, the folder already scanned.
void BM_ProposedTree(benchmark::State& state) {
  testing_support::TemporaryHome home;
  Path root = home.path() / "Docs";
  makeFolder(root);
  const FolderResponse response = proposal();
  std::shared_ptr<VirtualFolder> scanned = scanFolder(root);
  for (auto _ : state) {
    benchmark::DoNotOptimize(makeProposedTree(response, *scanned));
  }
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_ProposedTree)->Unit(benchmark::kMillisecond);

// Scan and Apply timed; laying out the folder and reading the answer are not.
void BM_ScanAndApply(benchmark::State& state) {
  testing_support::TemporaryHome home;
  Path root = home.path() / "Docs";
  const FolderResponse response = proposal();
  for (auto _ : state) {
    state.PauseTiming();
    makeFolder(root);
    state.ResumeTiming();
    std::shared_ptr<VirtualFolder> scanned = scanFolder(root);
    state.PauseTiming();
    std::shared_ptr<VirtualFolder> proposed = makeProposedTree(response, *scanned);
    state.ResumeTiming();
    std::shared_ptr<VirtualFolder> applied = applyProposedTree(*proposed, *scanned);
    benchmark::DoNotOptimize(applied);
    if (!std::filesystem::exists(root / "Group 0") || std::filesystem::exists(root / "Folder 0")) {
      state.SkipWithError("apply did not move the files");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_ScanAndApply)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
