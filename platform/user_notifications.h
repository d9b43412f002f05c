// UserNotificationCenter: the user's permission for notifications and the delegate that
// decides how a notification arriving in the foreground is shown and handles the user's
// response to one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/date.h"
#include "platform/error.h"
#include "platform/object_runtime.h"
#include "platform/value.h"

namespace platform {

// What a notification may do, asked for at authorization.
using UserNotificationAuthorizationOptions = std::uint64_t;
inline constexpr UserNotificationAuthorizationOptions kAuthorizationOptionBadge = 1;
inline constexpr UserNotificationAuthorizationOptions kAuthorizationOptionSound = 2;
inline constexpr UserNotificationAuthorizationOptions kAuthorizationOptionAlert = 4;

// How a notification arriving while the application is in front is shown.
using UserNotificationPresentationOptions = std::uint64_t;
inline constexpr UserNotificationPresentationOptions kPresentationOptionBadge = 1;
inline constexpr UserNotificationPresentationOptions kPresentationOptionSound = 2;
inline constexpr UserNotificationPresentationOptions kPresentationOptionAlert = 4;
inline constexpr UserNotificationPresentationOptions kPresentationOptionBanner = 16;

struct UserNotificationContent {
  std::string title;
  std::string body;
  Dictionary userInfo;
};

struct UserNotificationRequest {
  std::string identifier;
  UserNotificationContent content;
};

struct UserNotification {
  Date date;
  UserNotificationRequest request;
};

struct UserNotificationResponse {
  UserNotification notification;
  // The action the user chose; empty when the notification itself was opened.
  std::string actionIdentifier;
};

class UserNotificationCenter;

using UserNotificationPresentationHandler =
    std::function<void(UserNotificationPresentationOptions)>;

// The messages the center sends its delegate, by selector, through the object runtime (so
// that code replacing a delegate's methods sees them); only those the delegate's class
// answers are sent.
inline constexpr Selector<void(UserNotificationCenter&, const UserNotification&,
                               UserNotificationPresentationHandler)>
    kUserNotificationCenterWillPresentSelector{
        "userNotificationCenter:willPresentNotification:withCompletionHandler:"};
inline constexpr Selector<void(UserNotificationCenter&, const UserNotificationResponse&,
                               std::function<void()>)>
    kUserNotificationCenterDidReceiveResponseSelector{
        "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"};

inline constexpr const char* kUserNotificationCenterDelegateProtocolName =
    "UNUserNotificationCenterDelegate";

// Both callbacks must call their completion once. The defaults show nothing and handle
// nothing. A delegate type's class answers the methods it overrides (see
// addUserNotificationCenterDelegateMethods).
class UserNotificationCenterDelegate : public virtual Object {
 public:
  static Protocol protocol() {
    return Protocol::of<UserNotificationCenterDelegate>(
        kUserNotificationCenterDelegateProtocolName);
  }

  virtual void willPresentNotification(UserNotificationCenter& center,
                                       const UserNotification& notification,
                                       UserNotificationPresentationHandler completion);
  virtual void didReceiveNotificationResponse(UserNotificationCenter& center,
                                              const UserNotificationResponse& response,
                                              std::function<void()> completion);
};

// Gives the class of the delegate type T a method for each UserNotificationCenterDelegate
// method T overrides, running T's own code; and the delegate protocol.
template <typename T> void addUserNotificationCenterDelegateMethods(Class& cls) {
  using D = UserNotificationCenterDelegate;
  cls.addProtocol(kUserNotificationCenterDelegateProtocolName);
  if constexpr (!std::is_same_v<decltype(&T::willPresentNotification),
                                decltype(&D::willPresentNotification)>) {
    cls.addMethod(kUserNotificationCenterWillPresentSelector, &D::willPresentNotification);
  }
  if constexpr (!std::is_same_v<decltype(&T::didReceiveNotificationResponse),
                                decltype(&D::didReceiveNotificationResponse)>) {
    cls.addMethod(kUserNotificationCenterDidReceiveResponseSelector,
                  &D::didReceiveNotificationResponse);
  }
}

// The center, of class "UNUserNotificationCenter" (whose class method
// "currentNotificationCenter" hands it out once the platform's load hook ran).
class UserNotificationCenter : public Object {
 public:
  using AuthorizationCompletion = std::function<void(bool granted, ErrorPtr error)>;

  // The platform's class-load hook: registers "UNUserNotificationCenter".
  static void load();
  static std::shared_ptr<UserNotificationCenter> currentNotificationCenter();

  // Held weakly: whoever makes the delegate keeps it alive. Setting it tells observers of
  // the key "delegate".
  std::shared_ptr<UserNotificationCenterDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<UserNotificationCenterDelegate>& delegate);

  // Asks the user; the completion runs on a background queue. The answer is "granted"
  // unless a decision was set here or the environment has VILMO_NOTIFICATIONS_DENIED=1
  // (for trying the refusal by hand); a decision set here wins over the environment.
  void requestAuthorizationWithOptions(UserNotificationAuthorizationOptions options,
                                       AuthorizationCompletion completion);
  // None returns to the default answer.
  void setAuthorizationDecision(std::optional<bool> granted);

  // Where a notification arriving while the application is in front, and the user's
  // response to one, enter: the delegate decides, on the calling thread (the main thread).
  // Without a delegate that answers, the notification is not shown (options 0) and the
  // response is not handled; the completion runs either way.
  void presentNotification(const UserNotification& notification,
                           UserNotificationPresentationHandler completion);
  void receiveResponse(const UserNotificationResponse& response, std::function<void()> completion);

  UserNotificationCenter(const UserNotificationCenter&) = delete;
  UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

 private:
  UserNotificationCenter() = default;

  mutable std::mutex mutex_;
  std::weak_ptr<UserNotificationCenterDelegate> delegate_;
  std::optional<bool> decision_;
};

}  // namespace platform
