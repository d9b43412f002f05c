#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "platform/files.h"
#include "platform/notification_center.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using testing::ElementsAre;
using transport_testing::LogCapture;
using transport_testing::RecordingApplication;

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

TEST(RDTCORBackgroundTaskTest, TheTaskEndsOnceWhicheverOfExpiryAndWorkComesFirst) {
  struct Case {
    const char* name;
    RDTCORBackgroundIdentifier identifier;
    bool expireFirst;
    std::vector<bool> ends;                         // what each end() answers
    std::vector<bool> expiries;                     // what onExpiry heard
    std::vector<RDTCORBackgroundIdentifier> ended;  // what the application was told
  } const cases[] = {
      {"work first", 7, false, {true, false}, {false}, {7}},
      {"expiry first", 7, true, {false, false}, {true}, {7}},
      {"no task begun", RDTCORBackgroundIdentifierInvalid, false, {false, false}, {false}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto application = std::make_shared<RecordingApplication>(c.identifier);
    std::vector<bool> expiries;
    const RDTCORBackgroundTask task(application, "RDTTest",
                                    [&](bool wasRunning) { expiries.push_back(wasRunning); });
    // A copy, as the work's completion holds one, shares the task.
    const RDTCORBackgroundTask copy = task;
    std::vector<bool> ends;
    if (c.expireFirst) application->expireLastTask();
    ends.push_back(task.end());
    if (!c.expireFirst) application->expireLastTask();
    ends.push_back(copy.end());
    EXPECT_THAT(application->names(), ElementsAre("RDTTest"));
    EXPECT_EQ(ends, c.ends);
    EXPECT_EQ(expiries, c.expiries);
    EXPECT_EQ(application->ended(), c.ended);
  }

  // Without an application there is no task, and nothing to end.
  EXPECT_FALSE(RDTCORBackgroundTask(nullptr, "RDTTest").end());
  // The application gone before the end: nothing is told, the task is still over.
  auto gone = std::make_shared<RecordingApplication>(3);
  const RDTCORBackgroundTask orphan(gone, "RDTTest");
  gone.reset();
  EXPECT_TRUE(orphan.end());
  EXPECT_FALSE(orphan.end());
}

TEST(RDTCORBackgroundTaskTest, ExpiryAndWorkRacingOnTwoThreadsEndTheTaskOnce) {
  for (int round = 0; round < 200; ++round) {
    const auto application = std::make_shared<RecordingApplication>(9);
    const RDTCORBackgroundTask task(application, "RDTTest");
    std::atomic<bool> go{false};
    std::thread expiring([&] {
      while (!go) std::this_thread::yield();
      application->expireLastTask();
    });
    go = true;
    task.end();
    expiring.join();
    ASSERT_EQ(application->ended(), std::vector<RDTCORBackgroundIdentifier>{9}) << round;
    EXPECT_FALSE(task.end());
  }
}

TEST(RDTCORLogTextTest, ErrorsAndObjectsReadTheSameWhereverTheyAreLogged) {
  EXPECT_EQ(RDTCORErrorText(nullptr), "(null)");
  const auto error = platform::makeError("RDTCORFlatFileStorage", 0);
  EXPECT_EQ(RDTCORErrorText(error), error->description());

  EXPECT_EQ(RDTCORDescribe(std::shared_ptr<RDTCORApplicationProtocol>()), "(null)");
  // Under the object's own type, whatever the pointer's type says.
  const std::shared_ptr<RDTCORApplicationProtocol> application =
      std::make_shared<RecordingApplication>();
  const std::string text = RDTCORDescribe(application);
  EXPECT_THAT(text, testing::StartsWith("<transport_testing::RecordingApplication: 0x"));
  EXPECT_THAT(text, testing::EndsWith(">"));
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

TEST_F(RDTCORArchiveFilesTest, FilesThatCannotBeReadAreToldApartFromFilesThatHoldNoArchive) {
  namespace fs = std::filesystem;
  const fs::path archive = home_.path() / "archive";
  ASSERT_TRUE(RDTCORArchiveToPath(clock_, archive));
  const fs::path unreadable = home_.path() / "unreadable";
  fs::copy_file(archive, unreadable);
  fs::permissions(unreadable, fs::perms::none);
  const fs::path huge = home_.path() / "huge";
  std::ofstream(huge) << "x";
  fs::resize_file(huge, kRDTCORMaxArchiveFileSize + 1);
  const fs::path garbage = home_.path() / "garbage";
  std::ofstream(garbage) << "bplist00 but not really";
  const fs::path pipe = home_.path() / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  fs::create_symlink(home_.path() / "none", home_.path() / "dangling");
  fs::create_symlink(archive, home_.path() / "link");

  struct Case {
    const char* name;
    fs::path path;
    bool decodes;
    std::int64_t code;
    bool corrupt;
  } const cases[] = {
      {"an archive", archive, true, 0, false},
      {"a link to one", home_.path() / "link", true, 0, false},
      {"missing", home_.path() / "missing", false, platform::kFileReadNoSuchFileError, false},
      {"a link to nothing", home_.path() / "dangling", false, platform::kFileReadNoSuchFileError,
       false},
      {"without permission", unreadable, false, platform::kFileReadUnknownError, false},
      {"too large", huge, false, platform::kCoderReadCorruptError, true},
      {"not an archive", garbage, false, platform::kCoderReadCorruptError, true},
      // Opened, a pipe without a writer would block the caller for ever.
      {"a pipe", pipe, false, platform::kCoderReadCorruptError, true},
      {"a folder", home_.path(), false, platform::kCoderReadCorruptError, true},
  };
  transport_testing::WithoutFileReadPrivilege asUser;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ErrorPtr error;
    const auto decoded =
        RDTCORUnarchiveFromPath<RDTCORClock>(kRDTCORClockClassName, c.path, &error);
    EXPECT_EQ(decoded != nullptr, c.decodes);
    if (c.decodes) continue;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(RDTCORIsCorruptArchiveError(error), c.corrupt);
  }
}

TEST_F(RDTCORArchiveFilesTest, AProcessOutOfDescriptorsReadsNothingButCondemnsNothing) {
  const auto path = home_.path() / "archive";
  ASSERT_TRUE(RDTCORArchiveToPath(clock_, path));
  platform::ErrorPtr error;
  {
    transport_testing::DescriptorLimit limit(0);
    EXPECT_FALSE(RDTCORUnarchiveFromPath(kRDTCORClockClassName, path, &error));
  }
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kFileReadUnknownError);
  EXPECT_FALSE(RDTCORIsCorruptArchiveError(error));
  EXPECT_FALSE(RDTCORIsCorruptArchiveError(nullptr));
  EXPECT_TRUE(RDTCORUnarchiveFromPath(kRDTCORClockClassName, path));
}

}  // namespace
