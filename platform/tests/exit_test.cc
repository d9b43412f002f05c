// Worker queues may still be running when the process exits: what they read of the
// platform's shared state must not be torn down under them.
#include <syslog.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "platform/crypto.h"
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

// The analytics worker fingerprints each event it stores and identifiers draw random bytes,
// so both may be under way while the process exits, also when the crypto library unloads.
TEST(PlatformExitChild, DISABLED_WorkersHashWhileTheProcessExits) {
  static std::atomic<long> digests{0};
  const auto digest = [] {
    // A digest that fails or comes out wrong would store events under a wrong key.
    if (crypto::md5(Data::fromString("abc")).hexString() != "900150983cd24fb0d6963f7d28e17f72") {
      std::_Exit(3);
    }
    digests.fetch_add(1, std::memory_order_relaxed);
  };
  const auto random = [] {
    if (crypto::randomBytes(16).length() != 16) std::_Exit(4);
  };
  // Several of each, so that some are inside the library when its state goes away.
  testing_support::keepRunningWhileTheProcessExits(
      {digest, digest, digest, digest, random, random, random, random});
}

TEST(PlatformExitTest, DigestsAndRandomBytesStillWorkWhileTheProcessExits) {
  auto result =
      testing_support::runTestInChildProcess("PlatformExitChild.DISABLED_WorkersHashWhileTheProcessExits");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
}  // namespace platform
