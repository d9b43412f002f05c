// The root directory is fixed at first use, so these cases each need a fresh process.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "platform/files.h"
#include "platform/system_log.h"
#include "tests/support/temp_home.h"

namespace {

using testing_support::TemporaryHomeTest;

class RDTCORRootDirectoryTest : public TemporaryHomeTest {};

TEST_F(RDTCORRootDirectoryTest, IsCreatedUnderCachesOwnerOnlyAndRecreatedAtEachCall) {
  const std::filesystem::path root = RDTCORRootDirectory();
  EXPECT_EQ(root, platform::cachesDirectory() / "rerora-sdks-events");
  ASSERT_TRUE(std::filesystem::is_directory(root));
  struct stat info {};
  ASSERT_EQ(::stat(root.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  std::filesystem::remove_all(root);
  EXPECT_EQ(RDTCORRootDirectory(), root);
  EXPECT_TRUE(std::filesystem::is_directory(root));
}

TEST_F(RDTCORRootDirectoryTest, StaysFixedWhenTheCachesFolderMoves) {
  const std::filesystem::path first = RDTCORRootDirectory();
  setenv("XDG_CACHE_HOME", (home_.path() / "elsewhere").c_str(), 1);
  EXPECT_EQ(RDTCORRootDirectory(), first);
}

TEST_F(RDTCORRootDirectoryTest, AFolderThatCannotBeMadeIsANonFatalAssertion) {
  const std::filesystem::path root = RDTCORRootDirectory();
  std::filesystem::remove_all(root);
  std::ofstream(root) << "in the way";
  std::vector<std::string> lines;
  const auto previous = platform::SystemLog::setCaptureSink(
      [&](const platform::SystemLog::Entry& entry) { lines.push_back(entry.message); });
  EXPECT_EQ(RDTCORRootDirectory(), root);
  platform::SystemLog::setCaptureSink(previous);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[ReroraDataTransport][I-RDTCOR001006] ("));
  EXPECT_TRUE(lines[0].ends_with(") : There was an error creating RDT's path"));
}

}  // namespace
