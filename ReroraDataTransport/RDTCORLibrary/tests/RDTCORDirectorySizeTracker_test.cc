#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORDirectorySizeTracker.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "tests/support/temp_home.h"

namespace {

class RDTCORDirectorySizeTrackerTest : public testing_support::TemporaryHomeTest {
 protected:
  std::filesystem::path dir() const { return home_.path() / "events"; }
  std::filesystem::path write(const std::string& relative, std::size_t size) const {
    const std::filesystem::path path = dir() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, 'x');
    return path;
  }
};

TEST_F(RDTCORDirectorySizeTrackerTest, AnEmptyOrMissingFolderHoldsNothing) {
  RDTCORDirectorySizeTracker missing(dir().string());
  EXPECT_EQ(missing.directoryContentSize(), 0u);
  std::filesystem::create_directories(dir());
  RDTCORDirectorySizeTracker empty(dir().string());
  EXPECT_EQ(empty.directoryContentSize(), 0u);
}

TEST_F(RDTCORDirectorySizeTrackerTest, TheWalkCountsRegularFilesOfTheTreeButNoHiddenOnes) {
  write("1000/a", 10);
  write("1000/b", 20);
  write("batches/1000-0-99/c", 30);
  write(".hidden", 1000);
  write("1000/.tmp-writer", 1000);
  write(".hidden-folder/d", 1000);
  std::filesystem::create_symlink(dir() / "1000/a", dir() / "link");
  RDTCORDirectorySizeTracker tracker(dir().string());
  EXPECT_EQ(tracker.directoryContentSize(), 60u);
  EXPECT_EQ(RDTCORDirectorySizeTracker::fileSizeAtURL(dir() / "1000/b"), 20u);
  EXPECT_EQ(RDTCORDirectorySizeTracker::fileSizeAtURL(dir() / "none"), 0u);

  // The total is cached until it is reset.
  write("1000/e", 5);
  EXPECT_EQ(tracker.directoryContentSize(), 60u);
  tracker.resetCachedSize();
  EXPECT_EQ(tracker.directoryContentSize(), 65u);
}

TEST_F(RDTCORDirectorySizeTrackerTest, ReportsAdjustTheTotalOnlyForPathsInsideTheFolder) {
  write("1000/a", 10);
  RDTCORDirectorySizeTracker tracker(dir().string());
  tracker.fileWasAddedAtPath((home_.path() / "elsewhere/x").string(), 500);
  tracker.fileWasRemovedAtPath((home_.path() / "elsewhere/x").string(), 5);
  EXPECT_EQ(tracker.directoryContentSize(), 10u);

  tracker.fileWasAddedAtPath(write("1000/b", 25).string(), 25);
  EXPECT_EQ(tracker.directoryContentSize(), 35u);
  tracker.fileWasRemovedAtPath((dir() / "1000/a").string(), 10);
  EXPECT_EQ(tracker.directoryContentSize(), 25u);
  // More removed than counted leaves nothing, never a wrapped-around total.
  tracker.fileWasRemovedAtPath((dir() / "1000/b").string(), 400);
  EXPECT_EQ(tracker.directoryContentSize(), 0u);
}

TEST_F(RDTCORDirectorySizeTrackerTest, AFileWrittenOverAnotherCountsOnlyItsNewSize) {
  const auto walked = write("1000/a", 10);
  RDTCORDirectorySizeTracker tracker(dir().string());
  ASSERT_EQ(tracker.directoryContentSize(), 10u);
  write("1000/a", 30);
  tracker.fileWasAddedAtPath(walked.string(), 30);
  EXPECT_EQ(tracker.directoryContentSize(), 30u);

  // The same for a file the tracker learnt of from a report.
  const auto reported = write("1000/b", 50);
  tracker.fileWasAddedAtPath(reported.string(), 50);
  write("1000/b", 70);
  tracker.fileWasAddedAtPath(reported.string(), 70);
  EXPECT_EQ(tracker.directoryContentSize(), 100u);

  // Once removed, a file of the same name counts in full again.
  tracker.fileWasRemovedAtPath(reported.string(), 70);
  tracker.fileWasAddedAtPath(write("1000/b", 5).string(), 5);
  EXPECT_EQ(tracker.directoryContentSize(), 35u);
  tracker.resetCachedSize();
  EXPECT_EQ(tracker.directoryContentSize(), 35u);
}

TEST_F(RDTCORDirectorySizeTrackerTest, AFolderThatCannotBeOpenedCostsOnlyItsOwnFiles) {
  // Every folder holds a file that counts and a folder below it that the walk cannot open.
  std::uint64_t reachable = 0;
  for (int i = 1; i <= 6; ++i) {
    const std::string folder = "folder" + std::to_string(i);
    write(folder + "/counted", i);
    write(folder + "/closed/missed", 1000);
    reachable += i;
  }
  write("top", 100);
  reachable += 100;

  {
    // Out of descriptors: two folders can be open at once, never a third. A "closed" folder
    // listed last in its parent may still open, its parent being done by then, but every file
    // outside those folders counts whatever the listing order: the counted files add up to
    // less than one missed file, so the remainder shows whether each of them was counted.
    transport_testing::DescriptorLimit limit(2);
    RDTCORDirectorySizeTracker tracker(dir().string());
    const std::uint64_t total = tracker.directoryContentSize();
    EXPECT_EQ(total % 1000, reachable);
    EXPECT_LE(total, reachable + 6 * 1000);
  }

  // Folders whose permissions refuse a listing.
  std::vector<std::filesystem::path> closed;
  for (int i = 1; i <= 6; ++i) {
    closed.push_back(dir() / ("folder" + std::to_string(i)) / "closed");
    ::chmod(closed.back().c_str(), 0);
  }
  {
    transport_testing::WithoutFileReadPrivilege asUser;
    RDTCORDirectorySizeTracker tracker(dir().string());
    EXPECT_EQ(tracker.directoryContentSize(), reachable);
  }
  for (const auto& folder : closed) ::chmod(folder.c_str(), 0700);
  RDTCORDirectorySizeTracker tracker(dir().string());
  EXPECT_EQ(tracker.directoryContentSize(), reachable + 6 * 1000);
}

TEST_F(RDTCORDirectorySizeTrackerTest, TheWalkNeitherFollowsLinksNorGoesDeeperThanItsBound) {
  // A chain of folders, one byte in each, deeper than the walk goes.
  std::filesystem::path chain;
  write("f", 1);
  for (std::size_t level = 1; level <= RDTCORDirectorySizeTracker::kMaxWalkDepth + 4; ++level) {
    chain /= "d" + std::to_string(level);
    write((chain / "f").string(), 1);
  }
  // Links to a folder and to a file outside, one that loops, one that leads nowhere, and a pipe
  // (opened, it would block the walk).
  const std::filesystem::path outside = home_.path() / "outside";
  std::filesystem::create_directories(outside);
  std::ofstream(outside / "big") << std::string(5000, 'x');
  std::filesystem::create_directory_symlink(outside, dir() / "linked-folder");
  std::filesystem::create_symlink(outside / "big", dir() / "linked-file");
  std::filesystem::create_directory_symlink(dir(), dir() / "d1" / "loop");
  std::filesystem::create_symlink(dir() / "none", dir() / "dangling");
  ASSERT_EQ(::mkfifo((dir() / "pipe").c_str(), 0600), 0);

  RDTCORDirectorySizeTracker tracker(dir().string());
  // The tracked folder's own file and those of the folders up to the bound.
  EXPECT_EQ(tracker.directoryContentSize(), 1 + RDTCORDirectorySizeTracker::kMaxWalkDepth);
}

}  // namespace
