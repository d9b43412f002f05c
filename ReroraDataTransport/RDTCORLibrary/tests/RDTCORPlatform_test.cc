#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "platform/notification_center.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using transport_testing::LogCapture;

TEST(RDTCORApplicationTest, BackgroundTasksAreNoneOnThisPlatform) {
  const auto app = RDTCORApplication::sharedApplication();
  EXPECT_EQ(app, RDTCORApplication::sharedApplication());
  EXPECT_FALSE(app->isRunningInBackground());
  LogCapture log(RDTCORLoggingLevelDebug);
  bool expired = false;
  EXPECT_EQ(app->beginBackgroundTaskWithName("RDTStorage", [&] { expired = true; }),
            RDTCORBackgroundIdentifierInvalid);
  app->endBackgroundTask(RDTCORBackgroundIdentifierInvalid);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(expired);
  app->endBackgroundTask(12);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "[ReroraDataTransport][I-RDTCOR000000] Ending background task with "
                             "ID:12 was successful"});
}

TEST(RDTCORApplicationTest, ThePlatformsTerminateNotificationIsPassedOn) {
  RDTCORApplication::sharedApplication();
  std::atomic<int> heard{0};
  const auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kRDTCORApplicationWillTerminateNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++heard; });
  platform::NotificationCenter::defaultCenter().post(
      platform::kApplicationWillTerminateNotification);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(heard.load(), 1);
}

TEST(RDTCORReachabilityTest, CurrentFlagsAreTheStartFlagsUntilAChangeOtherThanZero) {
  const auto reachability = RDTCORReachability::sharedInstance();
  // The platform delivers the first flags it finds as a change, from its own poll; let that
  // one land first (one of 0 would change nothing), so that only this case's changes follow.
  const auto routes = [](const char* file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  if (platform::NetworkReachabilityFlagsForHost("0.0.0.0", routes("/proc/net/route"),
                                                routes("/proc/net/ipv6_route")) != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reachability->callbackFlags() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(reachability->callbackFlags(), 0u);
  }
  reachability->setFlags(platform::kNetworkReachabilityFlagsReachable |
                         platform::kNetworkReachabilityFlagsIsDirect);
  reachability->setCallbackFlags(0);
  EXPECT_EQ(RDTCORReachability::currentFlags(), platform::kNetworkReachabilityFlagsReachable |
                                                    platform::kNetworkReachabilityFlagsIsDirect);
  reachability->setCallbackFlags(platform::kNetworkReachabilityFlagsConnectionRequired);
  EXPECT_EQ(RDTCORReachability::currentFlags(),
            platform::kNetworkReachabilityFlagsConnectionRequired);
  reachability->setCallbackFlags(0);
  EXPECT_EQ(RDTCORReachability::currentFlags(), platform::kNetworkReachabilityFlagsReachable |
                                                    platform::kNetworkReachabilityFlagsIsDirect);
}

TEST(RDTCORReachabilityTest, ReachableMeansBitTwoWithoutBitFour) {
  struct Case {
    platform::NetworkReachabilityFlags flags;
    bool reachable;
  } const cases[] = {{0, false}, {2, true}, {2 | 4, false}, {4, false}, {2 | 1 | (1u << 17), true}};
  for (const Case& c : cases) {
    EXPECT_EQ(RDTCORFlagsSayReachable(c.flags), c.reachable) << c.flags;
    EXPECT_FALSE(RDTCORFlagsSayCellular(c.flags));
  }
}

class RDTCORArchiveFilesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { RDTCORClock::load(); }
  std::shared_ptr<RDTCORClock> clock_ = std::make_shared<RDTCORClock>(1, 2, 3, 4);
};

TEST_F(RDTCORArchiveFilesTest, AnArchiveIsWrittenOwnerOnlyAndReadsBack) {
  const auto path = home_.path() / "a/b/clock";
  platform::ErrorPtr error;
  const auto data = RDTCORArchiveToPath(clock_, path, &error);
  ASSERT_TRUE(data);
  EXPECT_FALSE(error);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(path.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  const auto decoded = RDTCORUnarchiveFromPath<RDTCORClock>(kRDTCORClockClassName, path, &error);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*clock_));

  // Without a path only the bytes are made.
  EXPECT_EQ(RDTCORArchiveToPath(clock_, {}), data);
}

TEST_F(RDTCORArchiveFilesTest, AParentThatCannotBeMadeWritesNothing) {
  std::ofstream(home_.path() / "file") << "in the way";
  const auto path = home_.path() / "file/sub/clock";
  LogCapture log(RDTCORLoggingLevelDebug);
  platform::ErrorPtr error;
  EXPECT_FALSE(RDTCORArchiveToPath(clock_, path, &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "file/sub"));
  EXPECT_TRUE(log.contains("Attempt to create directory failed: path:" + path.string()));

  error.reset();
  EXPECT_FALSE(RDTCORWriteFileAtomically(Data::fromString("x"), path, &error));
  EXPECT_TRUE(error);
}

TEST_F(RDTCORArchiveFilesTest, AFailedWriteStillHandsBackTheArchive) {
  const auto path = home_.path() / "folder";
  std::filesystem::create_directories(path / "inside");
  platform::ErrorPtr error;
  EXPECT_TRUE(RDTCORArchiveToPath(clock_, path, &error));
  EXPECT_TRUE(error);
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST_F(RDTCORArchiveFilesTest, WritingToAnEmptyPathFailsWithoutAnError) {
  platform::ErrorPtr error;
  EXPECT_FALSE(RDTCORWriteFileAtomically(Data::fromString("x"), {}, &error));
  EXPECT_FALSE(error);

  const auto path = home_.path() / "lib/counter";
  EXPECT_TRUE(RDTCORWriteFileAtomically(Data::fromString("abcd"), path, &error));
  EXPECT_FALSE(error);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abcd");
}

TEST_F(RDTCORArchiveFilesTest, UnreadableOrOversizedFilesAreRefused) {
  platform::ErrorPtr error;
  EXPECT_FALSE(RDTCORUnarchiveFromPath(kRDTCORClockClassName, home_.path() / "missing", &error));
  EXPECT_TRUE(error);

  const auto huge = home_.path() / "huge";
  std::ofstream(huge) << "x";
  std::filesystem::resize_file(huge, kRDTCORMaxArchiveFileSize + 1);
  error.reset();
  EXPECT_FALSE(RDTCORUnarchiveFromPath(kRDTCORClockClassName, huge, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);

  const auto garbage = home_.path() / "garbage";
  std::ofstream(garbage) << "bplist00 but not really";
  error.reset();
  EXPECT_FALSE(RDTCORUnarchiveFromPath(kRDTCORClockClassName, garbage, &error));
  EXPECT_TRUE(error);
}

}  // namespace
