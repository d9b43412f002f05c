#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORDirectorySizeTracker.h"
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

}  // namespace
