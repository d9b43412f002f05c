#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "platform/object_runtime.h"

namespace {

using transport_testing::LogCapture;

TEST(RDTCORConsoleLoggerTest, DebugLinesPrintOnlyOnceTheMinimumLevelAllowsThem) {
  {
    LogCapture log;  // the default minimum level
    RDTCORConsoleLog(RDTCORMCDDebugLog, RDTCORLoggingLevelDebug, "quiet %ld", {7});
    RDTCORLogWarning(RDTCORMCWReachabilityFailed, "also quiet");
    RDTCORLogError(RDTCORMCEGeneralError, "loud %@", {"error"});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[ReroraDataTransport][I-RDTCOR001006] loud error"});
  }
  LogCapture log(RDTCORLoggingLevelDebug);
  RDTCORLogDebug("event %@ stored. success:%@", {"ABC", "YES"});
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{
                "[ReroraDataTransport][I-RDTCOR000000] event ABC stored. success:YES"});
}

TEST(RDTCORConsoleLoggerTest, AssertionLinesPrintWhateverTheMinimumLevel) {
  LogCapture log(100);
  RDTCORConsoleLogAssert(false, "RDTCOREvent.cc", 38, "bad %@", {"mapping"});
  RDTCORConsoleLogAssert(true, "RDTCOREvent.cc", 39, "fatal");
  RDTCORAssertionFailed("", 5, "no file");
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "[ReroraDataTransport][I-RDTCOR001006] (RDTCOREvent.cc:38) : bad mapping",
                "[ReroraDataTransport][I-RDTCOR001007] (RDTCOREvent.cc:39) : fatal",
                "[ReroraDataTransport][I-RDTCOR001006] (<Unknown File>:5) : no file"}));
}

TEST(RDTCORConsoleLoggerTest, AnAssertHelperBlockRunsInsteadOfTheAssertionLine) {
  EXPECT_FALSE(RDTCORAssertionBlockLookup());
  int calls = 0;
  platform::Class& helper = platform::ObjectRuntime::registerClass(kRDTCORAssertHelperClassName);
  helper.addClassMethod<RDTCORAssertionBlock()>(kRDTCORAssertionBlockSelector, [&calls] {
    return RDTCORAssertionBlock([&calls] { ++calls; });
  });
  {
    LogCapture log;
    bool reachedAfter = false;
    RDTCORAssert(1 + 1 == 3, "arithmetic %d", {2});
    reachedAfter = true;
    EXPECT_TRUE(reachedAfter);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(log.lines().empty());
  }
  // A helper that answers no block leaves the line to the log again.
  helper.addClassMethod<RDTCORAssertionBlock()>(kRDTCORAssertionBlockSelector,
                                                [] { return RDTCORAssertionBlock(); });
  LogCapture log;
  RDTCORAssert(false, "logged");
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].ends_with(" : logged"));
  EXPECT_NE(log.lines()[0].find("RDTCORConsoleLogger_test.cc:"), std::string::npos);
}

TEST(RDTCORConsoleLoggerTest, MessageCodesHaveSixDigits) {
  EXPECT_EQ(RDTCORMessageCodeString(0), "I-RDTCOR000000");
  EXPECT_EQ(RDTCORMessageCodeString(1007), "I-RDTCOR001007");
}

}  // namespace
