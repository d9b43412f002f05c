#include "platform/process_info.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/uuid.h"

namespace platform {
namespace {

ProcessInfo& info() { return ProcessInfo::processInfo(); }

// Declared first: the arguments are read at first use unless a test replaced them.
TEST(ProcessInfoTest, ArgumentsDefaultToTheCommandLine) {
  std::vector<std::string> arguments = info().arguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(std::filesystem::path(arguments[0]).filename(), "platform_fresh_tests");
  EXPECT_EQ(info().processName(), "platform_fresh_tests");
}

TEST(ProcessInfoTest, ArgumentsCanBeHandedOverOrReplaced) {
  const char* argv[] = {"/usr/bin/vilmo", "-NSDebug", "YES"};
  ProcessInfo::captureArguments(3, argv);
  EXPECT_EQ(info().arguments(), (std::vector<std::string>{"/usr/bin/vilmo", "-NSDebug", "YES"}));
  ProcessInfo::setArgumentsForTesting({"tool", "--flag"});
  EXPECT_EQ(info().arguments(), (std::vector<std::string>{"tool", "--flag"}));
}

TEST(ProcessInfoTest, EnvironmentIsReadLive) {
  setenv("VILMO_PROCESS_INFO_TEST", "a=b", 1);
  EXPECT_EQ(info().environment()["VILMO_PROCESS_INFO_TEST"], "a=b");
  EXPECT_EQ(info().environmentValue("VILMO_PROCESS_INFO_TEST"), "a=b");
  unsetenv("VILMO_PROCESS_INFO_TEST");
  EXPECT_FALSE(info().environment().contains("VILMO_PROCESS_INFO_TEST"));
  EXPECT_EQ(info().environmentValue("VILMO_PROCESS_INFO_TEST"), std::nullopt);
}

TEST(ProcessInfoTest, OperatingSystemVersionParsing) {
  struct Case {
    const char* release;
    OperatingSystemVersion expected;
  } cases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}},
      {"5.15.153.1-microsoft-standard-WSL2", {5, 15, 153}},
      {"4.19.112+", {4, 19, 112}},
      {"6.8.0-rc1", {6, 8, 0}},
      {"5.15", {5, 15, 0}},
      {"10", {10, 0, 0}},
      {"3.10.0-1160.el7.x86_64", {3, 10, 0}},
      {"", {0, 0, 0}},
      {"linux", {0, 0, 0}},
      {"6.x.2", {6, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.release);
    OperatingSystemVersion version = ProcessInfo::parseOperatingSystemVersion(c.release);
    EXPECT_EQ(version.majorVersion, c.expected.majorVersion);
    EXPECT_EQ(version.minorVersion, c.expected.minorVersion);
    EXPECT_EQ(version.patchVersion, c.expected.patchVersion);
  }
}

TEST(ProcessInfoTest, MachineFacts) {
  EXPECT_EQ(info().processIdentifier(), getpid());
  EXPECT_GT(info().operatingSystemVersion().majorVersion, 0);
  EXPECT_EQ(info().operatingSystemVersionString().rfind("Version ", 0), 0u);
  EXPECT_FALSE(info().hostName().empty());
  EXPECT_FALSE(info().machine().empty());
  EXPECT_GT(info().physicalMemory(), 0u);
  EXPECT_GE(info().activeProcessorCount(), 1);
  EXPECT_LE(info().activeProcessorCount(), info().processorCount());
}

TEST(ProcessInfoTest, UptimeComesFromTheInstalledClock) {
  Clock::install(std::make_shared<ManualClock>(Date::fromTimeIntervalSince1970(1e9), 1234.5));
  EXPECT_EQ(info().systemUptime(), 1234.5);
  Clock::install(nullptr);
}

TEST(ProcessInfoTest, MainThreadIdentity) {
  RunLoop::setMainThread();
  EXPECT_TRUE(info().isMainThread());
  bool onOtherThread = true;
  std::thread([&] { onOtherThread = info().isMainThread(); }).join();
  EXPECT_FALSE(onOtherThread);
}

TEST(ProcessInfoTest, GloballyUniqueStringsAreFreshUUIDs) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string text = info().globallyUniqueString();
    EXPECT_TRUE(UUID::fromString(text)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace platform
