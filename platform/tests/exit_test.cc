// Worker queues may still be running when the process exits: what they read of the
// platform's shared state must not be torn down under them.
#include <syslog.h>

#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/system_log.h"
#include "tests/support/child_process.h"

namespace platform {
namespace {

TEST(PlatformExitChild, DISABLED_WorkersReadSharedStateWhileTheProcessExits) {
  // Installed hooks that own something, as the tests' recording sinks do.
  auto calls = std::make_shared<std::atomic<long>>(0);
  SystemLog::setCaptureSink(
      [calls](const SystemLog::Entry&) { calls->fetch_add(1, std::memory_order_relaxed); });
  AssertionHandler::setHandler([calls](const AssertionHandler::Failure&) {
    calls->fetch_add(1, std::memory_order_relaxed);
  });
  testing_support::keepRunningWhileTheProcessExits({
      // A key the bundle lacks reads as the shared null value.
      [] { (void)Bundle::main().configurationValue("NoSuchKey", "VILMO_NO_SUCH_SETTING"); },
      [] { SystemLog::write(LOG_NOTICE, "still logging", false); },
      // A missing argument formats as the shared zero.
      [] { (void)format("%d", std::initializer_list<FormatArg>{}); },
      [] {
        AssertionHandler::handleFailure({"reader", __FILE__, __LINE__, "still checking"});
      },
  });
}

TEST(PlatformExitTest, SharedStateOutlivesWorkersStillRunningAtExit) {
  auto result = testing_support::runTestInChildProcess(
      "PlatformExitChild.DISABLED_WorkersReadSharedStateWhileTheProcessExits");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
}  // namespace platform
