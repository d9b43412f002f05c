#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "tests/support/main_queue.h"

namespace {

class RDTCORClockTest : public ::testing::Test {
 protected:
  void SetUp() override { RDTCORClock::load(); }
  testing_support::ManualClockScope manualClock_;
};

TEST(RDTCORClockBootTimeTest, ReadsOnlyAPlainBtimeLine) {
  struct Case {
    const char* procStat;
    std::optional<std::int64_t> seconds;
  } const cases[] = {
      {"cpu  1 2 3\nintr 5\nbtime 1700000000\nprocesses 9\n", 1700000000},
      {"btime 42", 42},
      {"btime 42\r\n", 42},
      {"cpu 1\n", std::nullopt},
      {"", std::nullopt},
      {"btime\n", std::nullopt},
      {"btime \n", std::nullopt},
      {"btime abc\n", std::nullopt},
      {"btime 12x\n", std::nullopt},
      {"btime -5\n", std::nullopt},
      {"btime 99999999999999999999\n", std::nullopt},
      // Seconds whose nanoseconds would not fit in 64 bits.
      {"btime 9223372037\n", std::nullopt},
      {"xbtime 7\nbtime 8\n", 8},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RDTCORParseBootTimeSeconds(c.procStat), c.seconds) << c.procStat;
  }
}

TEST(RDTCORClockBootTimeTest, TheKernelBootTimeIsTheSystemsBtimeInNanoseconds) {
  std::ifstream file("/proc/stat");
  std::stringstream text;
  text << file.rdbuf();
  const auto seconds = RDTCORParseBootTimeSeconds(text.str());
  ASSERT_TRUE(seconds);
  EXPECT_EQ(RDTCORKernelBootTimeNanoseconds(), *seconds * 1'000'000'000);
}

TEST_F(RDTCORClockTest, ASnapshotReadsWallTimeAndUptimeFromTheInstalledClock) {
  const auto clock = RDTCORClock::snapshot();
  EXPECT_EQ(clock->timeMillis(), 1'700'000'000'000);
  EXPECT_EQ(clock->uptimeNanoseconds(), 1000 * 1'000'000'000LL);
  EXPECT_EQ(clock->uptime(), clock->uptimeNanoseconds());
  EXPECT_EQ(clock->uptimeMilliseconds(), 1'000'000);
  EXPECT_EQ(clock->kernelBootTime(), RDTCORKernelBootTimeNanoseconds());

  manualClock_.advance(2.5);
  const auto later = RDTCORClock::snapshot();
  EXPECT_EQ(later->timeMillis(), 1'700'000'002'500);
  EXPECT_EQ(later->uptimeMilliseconds(), 1'002'500);
  EXPECT_TRUE(later->isAfter(*clock));
  EXPECT_FALSE(clock->isAfter(*later));
}

TEST_F(RDTCORClockTest, ASnapshotInTheFutureIsAfterOneTakenJustBefore) {
  const auto now = RDTCORClock::snapshot();
  const auto future = RDTCORClock::clockSnapshotInTheFuture(900000);
  EXPECT_EQ(future->timeMillis(), now->timeMillis() + 900000);
  EXPECT_EQ(future->uptimeNanoseconds(), now->uptimeNanoseconds());
  EXPECT_TRUE(future->isAfter(*now));
  EXPECT_FALSE(now->isAfter(*future));
  EXPECT_FALSE(now->isAfter(*now));
}

TEST(RDTCORClockOrderTest, ClocksOfOneBootCompareByLocalTimeAndAcrossABootByBootTimeAlone) {
  struct Case {
    RDTCORClock a;
    RDTCORClock b;
    bool aIsAfterB;
  } const cases[] = {
      // Same boot: wall milliseconds plus the offset, added as stored.
      {{2000, 0, 10, 5}, {1000, 0, 10, 99}, true},
      {{1000, 3600, 10, 5}, {2000, 0, 10, 5}, true},
      {{1000, 0, 10, 5}, {1000, 0, 10, 5}, false},
      // Across a reboot: the later boot wins whatever the wall time says.
      {{1000, 0, 20, 5}, {9'000'000, 0, 10, 5}, true},
      {{9'000'000, 0, 10, 5}, {1000, 0, 20, 5}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a.isAfter(c.b), c.aIsAfterB)
        << c.a.timeMillis() << "/" << c.a.kernelBootTime() << " vs " << c.b.timeMillis() << "/"
        << c.b.kernelBootTime();
  }
}

TEST(RDTCORClockEqualityTest, ClocksWithCollidingHashesButOtherFieldsDiffer) {
  // The fields' hashes are XORed, so swapping two values keeps the hash.
  const RDTCORClock a(1, 2, 0, 0);
  const RDTCORClock b(2, 1, 0, 0);
  ASSERT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a.isEqual(b));
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == RDTCORClock(1, 2, 0, 0));
}

TEST_F(RDTCORClockTest, AnArchivedSnapshotDecodesEqual) {
  manualClock_.advance(0.123456789);
  const auto clock = RDTCORClock::snapshot();
  const auto data = RDTCORArchiveToPath(clock, {});
  ASSERT_TRUE(data);
  const auto decoded =
      std::dynamic_pointer_cast<RDTCORClock>(RDTCORUnarchiveFromData(kRDTCORClockClassName, *data));
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*clock));
  EXPECT_EQ(decoded->hash(), clock->hash());
  EXPECT_EQ(decoded->timezoneOffsetSeconds(), clock->timezoneOffsetSeconds());
  EXPECT_EQ(decoded->uptimeNanoseconds(), clock->uptimeNanoseconds());
}

TEST_F(RDTCORClockTest, BytesThatAreNotAClockArchiveAreRefused) {
  platform::ErrorPtr error;
  EXPECT_FALSE(RDTCORUnarchiveFromData(kRDTCORClockClassName,
                                       platform::Data::fromString("bplist00"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kCoderReadCorruptError);
}

}  // namespace
