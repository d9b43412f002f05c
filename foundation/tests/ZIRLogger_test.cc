#include "foundation/ZIRLogger.h"

#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/ZIRVersion.h"
#include "foundation/ZULLogger.h"
#include "foundation/tests/log_capture.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace {

class ZIRLoggerTest : public testing_support::TemporaryHomeTest {};

constexpr const char* kService = "[ZiruzadaCore]";

TEST_F(ZIRLoggerTest, LinesCarryVersionServiceAndCodeAtTheirLevel) {
  LogCapture capture;
  ZIRLogAtError(kService, "I-COR000009", "Bad app ID %@ in %@", {"1:x", "plist"});
  ZIRLogAtWarning(kService, "I-COR000100", "count %ld", {42});

  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, platform::SystemLog::Error);
  EXPECT_EQ(entries[0].message, "10.27.0 - [ZiruzadaCore][I-COR000009] Bad app ID 1:x in plist");
  EXPECT_EQ(entries[1].level, platform::SystemLog::Warning);
  EXPECT_EQ(entries[1].message, "10.27.0 - [ZiruzadaCore][I-COR000100] count 42");
  EXPECT_EQ(ZIRSDKVersionString(), "10.27.0");
}

TEST_F(ZIRLoggerTest, DefaultLevelWritesUpToNotice) {
  LogCapture capture;
  for (int level = 3; level <= 7; ++level) {
    const platform::FormatArg args[] = {level};
    ZIRLogMessage(level, kService, "I-COR000001", "level %d", args);
  }
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "10.27.0 - [ZiruzadaCore][I-COR000001] level 3",
                                 "10.27.0 - [ZiruzadaCore][I-COR000001] level 4",
                                 "10.27.0 - [ZiruzadaCore][I-COR000001] level 5",
                             }));
  EXPECT_TRUE(ZULLoggerLevelPasses(5));
  EXPECT_FALSE(ZULLoggerLevelPasses(6));
}

TEST_F(ZIRLoggerTest, SetLevelMovesTheLimitAndRejectsLevelsOutsideThreeToSeven) {
  LogCapture capture;
  ZIRLoggerSetLevel(7);
  ZIRLogAtDebug(kService, "I-COR000001", "debug shown");
  ZIRLoggerSetLevel(3);
  ZIRLogAtWarning(kService, "I-COR000001", "warning hidden");
  ZIRLogAtError(kService, "I-COR000001", "error shown");

  // Rejected levels are reported and change nothing: warnings stay hidden.
  ZIRLoggerSetLevel(2);
  ZIRLoggerSetLevel(8);
  ZIRLogAtWarning(kService, "I-COR000001", "still hidden");

  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "10.27.0 - [ZiruzadaCore][I-COR000001] debug shown",
                                 "10.27.0 - [ZiruzadaCore][I-COR000001] error shown",
                                 "10.27.0 - [ZULLogger][I-COR000023] Invalid logger level, 2",
                                 "10.27.0 - [ZULLogger][I-COR000023] Invalid logger level, 8",
                             }));
}

// Each level lets through itself and everything more severe, nothing less severe.
TEST_F(ZIRLoggerTest, EachLevelPassesExactlyTheLevelsUpToIt) {
  for (int limit = ZULLoggerLevelError; limit <= ZULLoggerLevelDebug; ++limit) {
    ZIRLoggerSetLevel(limit);
    for (int level = ZULLoggerLevelError; level <= ZULLoggerLevelDebug; ++level) {
      EXPECT_EQ(ZULLoggerLevelPasses(level), level <= limit) << "limit " << limit;
    }
  }
}

// A log argument that counts how often it is turned into a value.
struct CountedArgument {
  int* conversions;
  operator platform::Value() const {
    ++*conversions;
    return platform::Value("counted");
  }
};

// Most debug lines are dropped, so a dropped line must not build its arguments; only
// lines that are written (or forced) do.
TEST_F(ZIRLoggerTest, LinesBelowTheLevelBuildNothingFromTheirArguments) {
  LogCapture capture;
  int conversions = 0;
  const CountedArgument counted{&conversions};
  // First of all, before any set-up has run.
  ZULLogAtDebug("[ZULReachability]", false, "I-REA000001", "utility %@", {counted});
  ZIRLogAtDebug(kService, "I-COR000001", "debug %@", {counted});
  ZIRLogAtInfo(kService, "I-COR000001", "info %@", {counted, 7});
  EXPECT_EQ(conversions, 0);

  ZIRLogAtError(kService, "I-COR000002", "error %@", {counted});
  ZULLogAtDebug("[ZULReachability]", true, "I-REA000002", "forced %@", {counted});
  ZIRLoggerSetLevel(ZULLoggerLevelDebug);
  ZIRLogAtDebug(kService, "I-COR000003", "debug %@ %ld", {counted, 7});
  EXPECT_EQ(conversions, 3);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "10.27.0 - [ZiruzadaCore][I-COR000002] error counted",
                                 "10.27.0 - [ZULReachability][I-REA000002] forced counted",
                                 "10.27.0 - [ZiruzadaCore][I-COR000003] debug counted 7",
                             }));
}

TEST_F(ZIRLoggerTest, MessageWithoutArgumentsIsWrittenUnchanged) {
  LogCapture capture;
  ZIRLogMessage(5, kService, "I-COR000001", "keeps %@ and 100%% as they are", std::nullopt);
  // With arguments (even none) the format is expanded.
  ZIRLogAtError(kService, "I-COR000002", "expands 100%% and %@");
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{
                "10.27.0 - [ZiruzadaCore][I-COR000001] keeps %@ and 100%% as they are",
                "10.27.0 - [ZiruzadaCore][I-COR000002] expands 100% and (null)",
            }));
}

TEST_F(ZIRLoggerTest, UtilityLinesBeforeTheCoreSetUpHaveNoVersion) {
  LogCapture capture;
  ZULLogAtNotice("[ZULReachability]", false, "I-REA000001", "before");
  // A forced line passes whatever its level.
  ZULLogAtDebug("[ZULReachability]", true, "I-REA000002", "forced");
  ZULLogAtDebug("[ZULReachability]", false, "I-REA000003", "dropped");
  ZIRLoggerSetUpOnce();
  ZULLogAtNotice("[ZULReachability]", false, "I-REA000004", "after");

  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].message, "(null) - [ZULReachability][I-REA000001] before");
  EXPECT_EQ(entries[1].message, "(null) - [ZULReachability][I-REA000002] forced");
  EXPECT_EQ(entries[1].level, platform::SystemLog::Debug);
  EXPECT_EQ(entries[2].message, "10.27.0 - [ZULReachability][I-REA000004] after");
}

TEST_F(ZIRLoggerTest, LinesFromManyThreadsKeepEachThreadsOrder) {
  LogCapture capture;
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) ZIRLogAtError(kService, "I-COR000001", "%d %d", {t, i});
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    std::istringstream text(line.substr(line.rfind(']') + 2));
    int t = -1, i = -1;
    text >> t >> i;
    ASSERT_GE(t, 0);
    EXPECT_EQ(i, next[t]++) << line;
  }
}

// One launch of the program, run in a child process: the launch arguments come from
// ZIR_TEST_ARGUMENTS and what the launch must show from ZIR_TEST_EXPECT_DEBUG.
TEST(ZIRLoggerLaunch, DISABLED_Launch) {
  std::vector<std::string> arguments{"vilmo"};
  std::istringstream words(std::getenv("ZIR_TEST_ARGUMENTS") ? std::getenv("ZIR_TEST_ARGUMENTS")
                                                             : "");
  for (std::string word; words >> word;) arguments.push_back(word);
  platform::ProcessInfo::setArgumentsForTesting(arguments);
  const char* expect = std::getenv("ZIR_TEST_EXPECT_DEBUG");
  const bool expectDebug = expect && std::string(expect) == "1";

  LogCapture capture;
  ZIRLogAtDebug(kService, "I-COR000001", "debug probe");
  ZIRLogAtError(kService, "I-COR000002", "stderr probe");
  EXPECT_EQ(capture.contains("debug probe"), expectDebug);
  // Debug mode outranks a level lowered afterwards.
  ZIRLoggerSetLevel(ZULLoggerLevelError);
  ZIRLogAtDebug(kService, "I-COR000001", "debug after lowering");
  EXPECT_EQ(capture.contains("debug after lowering"), expectDebug);
  EXPECT_EQ(platform::UserDefaults::standard()->objectForKey(kZIRLoggerDebugModeKey),
            expectDebug ? std::optional<platform::Value>(true) : std::nullopt);
}

// The launches share this test's temporary home (the children inherit its environment),
// as debug mode persists from one launch to the next.
TEST(ZIRLoggerLaunch, SwitchesTurnDebugOnPersistentlyAndDisabledWins) {
  testing_support::TemporaryHome home;
  struct Launch {
    const char* arguments;
    bool expectDebug;
  };
  const Launch launches[] = {
      {"", false},
      {"-ZIRDebugEnabled", true},
      {"", true},  // remembered from the launch before
      {"-ZIRDebugEnabled -ZIRDebugDisabled", false},
      {"", false},
      {"-ZIRDebugDisabled", false},
  };
  for (const Launch& launch : launches) {
    const auto result = testing_support::runTestInChildProcess(
        "ZIRLoggerLaunch.DISABLED_Launch",
        {{"ZIR_TEST_ARGUMENTS", launch.arguments},
         {"ZIR_TEST_EXPECT_DEBUG", launch.expectDebug ? "1" : "0"}});
    EXPECT_TRUE(result.passed()) << "arguments \"" << launch.arguments << "\"\n" << result.output;
  }
}

TEST(ZIRLoggerLaunch, ForceStandardErrorCopiesLinesToStandardError) {
  testing_support::TemporaryHome home;
  const std::string line = "10.27.0 - [ZiruzadaCore][I-COR000002] stderr probe";
  for (const bool force : {false, true}) {
    const auto result = testing_support::runTestInChildProcess(
        "ZIRLoggerLaunch.DISABLED_Launch",
        {{"ZIR_TEST_ARGUMENTS", force ? "-ZIRLoggerForceSTDERR" : ""},
         {"ZIR_TEST_EXPECT_DEBUG", "0"}});
    EXPECT_TRUE(result.passed()) << result.output;
    EXPECT_EQ(result.output.find(line) != std::string::npos, force) << result.output;
  }
}

}  // namespace
