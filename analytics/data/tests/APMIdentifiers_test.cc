#include "analytics/data/APMIdentifiers.h"

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

TEST(APMIdentifiersTest, AdEventIDsAreConsecutiveAndNeverRepeat) {
  APMIdentifiers& identifiers = APMIdentifiers::sharedInstance();
  const std::int64_t first = std::stoll(identifiers.adEventID());
  const std::int64_t second = std::stoll(identifiers.adEventID());
  EXPECT_EQ(static_cast<std::uint64_t>(second) - static_cast<std::uint64_t>(first), 1u);
  // The counter is the process's: another instance goes on from it.
  APMIdentifiers other;
  EXPECT_EQ(static_cast<std::uint64_t>(std::stoll(other.adEventID())) -
                static_cast<std::uint64_t>(second),
            1u);

  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<std::string>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&taken, t] {
      for (int i = 0; i < kEach; ++i) taken[t].push_back(APMIdentifiers().adEventID());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& ids : taken) distinct.insert(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(APMIdentifiersTest, LibraryVersion) { EXPECT_EQ(APMIdentifiers().libraryVersion(), "102700"); }

TEST(APMIdentifiersTest, EmptyOriginsAreRefused) {
  analytics_test::ScopedMonitor monitor;
  APMIdentifiers identifiers;
  EXPECT_EQ(identifiers.origin(), std::nullopt);
  identifiers.setOrigin("");
  EXPECT_EQ(identifiers.origin(), std::nullopt);
  identifiers.setOrigin("fa");
  identifiers.setOrigin("");
  identifiers.setOrigin(std::nullopt);
  EXPECT_EQ(identifiers.origin(), "fa");
  identifiers.setOrigin("am");
  EXPECT_EQ(identifiers.origin(), "am");

  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.level, 2);
    EXPECT_EQ(line.messageCode, 37004);
    EXPECT_EQ(line.message, "Cannot set the data collection origin. Origin cannot be empty");
  }
}

}  // namespace
