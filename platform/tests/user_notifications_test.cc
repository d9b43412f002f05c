#include "platform/user_notifications.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"

namespace platform {
namespace {

struct Answer {
  bool granted = false;
  bool onMainThread = true;
  bool hadError = true;
};

// Asks and waits (real time) for the answer from the background queue.
Answer ask(UserNotificationCenter& center) {
  Semaphore answered;
  Answer answer;
  center.requestAuthorizationWithOptions(
      kAuthorizationOptionBadge | kAuthorizationOptionSound | kAuthorizationOptionAlert,
      [&](bool granted, ErrorPtr error) {
        answer = {granted, RunLoop::isMainThread(), error != nullptr};
        answered.signal();
      });
  EXPECT_TRUE(answered.wait(10));
  return answer;
}

TEST(UserNotificationCenterTest, AuthorizationIsGrantedUnlessRefusedHereOrByTheEnvironment) {
  auto center = UserNotificationCenter::currentNotificationCenter();
  EXPECT_EQ(center, UserNotificationCenter::currentNotificationCenter());
  struct Case {
    const char* environment;  // VILMO_NOTIFICATIONS_DENIED, or none
    std::optional<bool> decision;
    bool granted;
  } cases[] = {
      {nullptr, std::nullopt, true}, {"1", std::nullopt, false}, {"0", std::nullopt, true},
      {nullptr, false, false},       {"1", true, true},          {nullptr, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.environment ? c.environment : "-") + " " +
                 (c.decision ? std::to_string(*c.decision) : "-"));
    if (c.environment) {
      setenv("VILMO_NOTIFICATIONS_DENIED", c.environment, 1);
    } else {
      unsetenv("VILMO_NOTIFICATIONS_DENIED");
    }
    center->setAuthorizationDecision(c.decision);
    Answer answer = ask(*center);
    EXPECT_EQ(answer.granted, c.granted);
    EXPECT_FALSE(answer.onMainThread);
    EXPECT_FALSE(answer.hadError);
  }
  unsetenv("VILMO_NOTIFICATIONS_DENIED");
  center->setAuthorizationDecision(std::nullopt);
}

TEST(UserNotificationCenterTest, TheDelegateIsHeldWeaklyAndItsDefaultsShowNothing) {
  auto center = UserNotificationCenter::currentNotificationCenter();
  auto delegate = std::make_shared<UserNotificationCenterDelegate>();
  center->setDelegate(delegate);
  EXPECT_EQ(center->delegate(), delegate);

  UserNotification notification;
  notification.request.content.userInfo = Dictionary{{"rcm.message_id", "1"}};
  std::optional<UserNotificationPresentationOptions> options;
  center->delegate()->willPresentNotification(
      *center, notification, [&](UserNotificationPresentationOptions o) { options = o; });
  EXPECT_EQ(options, 0u);
  bool handled = false;
  center->delegate()->didReceiveNotificationResponse(*center, {notification, ""},
                                                     [&] { handled = true; });
  EXPECT_TRUE(handled);

  delegate.reset();
  EXPECT_EQ(center->delegate(), nullptr);
}

}  // namespace
}  // namespace platform
