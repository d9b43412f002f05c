#include "platform/user_notifications.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

// Handles responses only; its class answers that one selector.
class ResponseHandler : public UserNotificationCenterDelegate {
 public:
  void didReceiveNotificationResponse(UserNotificationCenter&,
                                      const UserNotificationResponse& response,
                                      std::function<void()> completion) override {
    handled.push_back(response.actionIdentifier);
    completion();
  }
  std::vector<std::string> handled;
};

class DelegateWatcher : public KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, Object&, const KeyValueChange& change,
                              void*) override {
    seen.push_back({std::string(keyPath), change.oldValue.value_or(nullptr),
                    change.newValue.value_or(nullptr)});
  }
  struct Seen {
    std::string keyPath;
    ObjectPtr oldValue;
    ObjectPtr newValue;
  };
  std::vector<Seen> seen;
};

TEST(UserNotificationCenterTest, NotificationsReachTheDelegateBySelectorItAnswers) {
  UserNotificationCenter::load();
  Class& cls = ObjectRuntime::registerClass<ResponseHandler>("ResponseHandler");
  addUserNotificationCenterDelegateMethods<ResponseHandler>(cls);
  EXPECT_TRUE(cls.conformsToProtocol(kUserNotificationCenterDelegateProtocolName));
  EXPECT_TRUE(
      cls.instancesRespondToSelector(kUserNotificationCenterDidReceiveResponseSelector.name));
  EXPECT_FALSE(cls.instancesRespondToSelector(kUserNotificationCenterWillPresentSelector.name));

  const auto lookUp =
      ObjectRuntime::classNamed("UNUserNotificationCenter")
          ->classMethod<std::shared_ptr<UserNotificationCenter>()>("currentNotificationCenter");
  ASSERT_TRUE(lookUp);
  auto center = lookUp();
  EXPECT_EQ(center, UserNotificationCenter::currentNotificationCenter());
  auto watcher = std::make_shared<DelegateWatcher>();
  center->addObserver(watcher, "delegate",
                      kKeyValueObservingOptionNew | kKeyValueObservingOptionOld, nullptr);
  auto delegate = std::make_shared<ResponseHandler>();
  center->setDelegate(delegate);
  ASSERT_EQ(watcher->seen.size(), 1u);
  EXPECT_EQ(watcher->seen[0].keyPath, "delegate");
  EXPECT_EQ(watcher->seen[0].oldValue, nullptr);
  EXPECT_EQ(watcher->seen[0].newValue, delegate);

  // A method replaced on the delegate's class is what the center runs.
  std::vector<std::string> replaced;
  const IMP original =
      cls.methodImplementation(kUserNotificationCenterDidReceiveResponseSelector.name);
  cls.replaceMethod(
      kUserNotificationCenterDidReceiveResponseSelector.name,
      makeImplementation(
          std::function<void(Object&, UserNotificationCenter&, const UserNotificationResponse&,
                             std::function<void()>)>([&](Object& self, UserNotificationCenter& c,
                                                         const UserNotificationResponse& response,
                                                         std::function<void()> completion) {
            replaced.push_back(response.actionIdentifier);
            ObjectRuntime::call(original, self, kUserNotificationCenterDidReceiveResponseSelector,
                                c, response, std::move(completion));
          })));
  int completions = 0;
  center->receiveResponse({UserNotification{}, "open"}, [&] { ++completions; });
  EXPECT_EQ(replaced, (std::vector<std::string>{"open"}));
  EXPECT_EQ(delegate->handled, (std::vector<std::string>{"open"}));
  EXPECT_EQ(completions, 1);

  // The delegate does not answer the presentation question: nothing is shown.
  std::optional<UserNotificationPresentationOptions> options;
  center->presentNotification({}, [&](UserNotificationPresentationOptions o) { options = o; });
  EXPECT_EQ(options, 0u);

  // A method whose code was taken away (set to the forwarding implementation) is not sent:
  // the response is completed as if the delegate had none.
  cls.setMethodImplementation(kUserNotificationCenterDidReceiveResponseSelector.name,
                              ObjectRuntime::forwardingImplementation());
  center->receiveResponse({UserNotification{}, "later"}, [&] { ++completions; });
  EXPECT_EQ(completions, 2);
  EXPECT_EQ(delegate->handled, (std::vector<std::string>{"open"}));

  center->removeObserver(watcher.get(), "delegate", nullptr);
  center->setDelegate(nullptr);
  EXPECT_EQ(watcher->seen.size(), 1u);
  // Without a delegate the response is still completed.
  center->receiveResponse({}, [&] { ++completions; });
  EXPECT_EQ(completions, 3);
}

}  // namespace
}  // namespace platform
