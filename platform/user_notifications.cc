#include "platform/user_notifications.h"

#include <utility>

#include "platform/dispatch.h"
#include "platform/process_info.h"

namespace platform {

void UserNotificationCenterDelegate::willPresentNotification(
    UserNotificationCenter&, const UserNotification&,
    std::function<void(UserNotificationPresentationOptions)> completion) {
  completion(0);
}

void UserNotificationCenterDelegate::didReceiveNotificationResponse(
    UserNotificationCenter&, const UserNotificationResponse&, std::function<void()> completion) {
  completion();
}

void UserNotificationCenter::load() {
  Class& cls = ObjectRuntime::registerClass<UserNotificationCenter>("UNUserNotificationCenter");
  cls.addClassMethod<std::shared_ptr<UserNotificationCenter>()>("currentNotificationCenter",
                                                                &currentNotificationCenter);
}

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::currentNotificationCenter() {
  // Never destroyed: a completion may still be on its way while the process exits.
  static auto* const shared =
      new std::shared_ptr<UserNotificationCenter>(new UserNotificationCenter);
  return *shared;
}

std::shared_ptr<UserNotificationCenterDelegate> UserNotificationCenter::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void UserNotificationCenter::setDelegate(
    const std::shared_ptr<UserNotificationCenterDelegate>& delegate) {
  std::shared_ptr<UserNotificationCenterDelegate> previous;
  {
    std::lock_guard lock(mutex_);
    previous = delegate_.lock();
    delegate_ = delegate;
  }
  didChangeValueForKey("delegate", previous, delegate);
}

void UserNotificationCenter::presentNotification(const UserNotification& notification,
                                                 UserNotificationPresentationHandler completion) {
  const auto delegate = this->delegate();
  if (delegate && ObjectRuntime::respondsToSelector(
                      *delegate, kUserNotificationCenterWillPresentSelector.name)) {
    ObjectRuntime::send(*delegate, kUserNotificationCenterWillPresentSelector, *this, notification,
                        std::move(completion));
  } else if (completion) {
    completion(0);
  }
}

void UserNotificationCenter::receiveResponse(const UserNotificationResponse& response,
                                             std::function<void()> completion) {
  const auto delegate = this->delegate();
  if (delegate && ObjectRuntime::respondsToSelector(
                      *delegate, kUserNotificationCenterDidReceiveResponseSelector.name)) {
    ObjectRuntime::send(*delegate, kUserNotificationCenterDidReceiveResponseSelector, *this,
                        response, std::move(completion));
  } else if (completion) {
    completion();
  }
}

void UserNotificationCenter::setAuthorizationDecision(std::optional<bool> granted) {
  std::lock_guard lock(mutex_);
  decision_ = granted;
}

void UserNotificationCenter::requestAuthorizationWithOptions(UserNotificationAuthorizationOptions,
                                                             AuthorizationCompletion completion) {
  bool granted = true;
  {
    std::lock_guard lock(mutex_);
    if (decision_) {
      granted = *decision_;
    } else {
      granted = ProcessInfo::processInfo().environmentValue("VILMO_NOTIFICATIONS_DENIED") != "1";
    }
  }
  if (!completion) return;
  Queue::global()->async(
      [completion = std::move(completion), granted] { completion(granted, nullptr); });
}

}  // namespace platform
