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

#include "platform/date.h"
#include "platform/error.h"
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

// Both callbacks must call their completion once. The defaults show nothing and handle
// nothing.
class UserNotificationCenterDelegate {
 public:
  virtual ~UserNotificationCenterDelegate() = default;
  virtual void
  willPresentNotification(UserNotificationCenter& center, const UserNotification& notification,
                          std::function<void(UserNotificationPresentationOptions)> completion);
  virtual void didReceiveNotificationResponse(UserNotificationCenter& center,
                                              const UserNotificationResponse& response,
                                              std::function<void()> completion);
};

class UserNotificationCenter {
 public:
  using AuthorizationCompletion = std::function<void(bool granted, ErrorPtr error)>;

  static std::shared_ptr<UserNotificationCenter> currentNotificationCenter();

  // Held weakly: whoever makes the delegate keeps it alive.
  std::shared_ptr<UserNotificationCenterDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<UserNotificationCenterDelegate>& delegate);

  // Asks the user; the completion runs on a background queue. The answer is "granted"
  // unless a decision was set here or the environment has VILMO_NOTIFICATIONS_DENIED=1
  // (for trying the refusal by hand); a decision set here wins over the environment.
  void requestAuthorizationWithOptions(UserNotificationAuthorizationOptions options,
                                       AuthorizationCompletion completion);
  // None returns to the default answer.
  void setAuthorizationDecision(std::optional<bool> granted);

  UserNotificationCenter(const UserNotificationCenter&) = delete;
  UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

 private:
  UserNotificationCenter() = default;

  mutable std::mutex mutex_;
  std::weak_ptr<UserNotificationCenterDelegate> delegate_;
  std::optional<bool> decision_;
};

}  // namespace platform
