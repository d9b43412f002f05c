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
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
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
