// ZIRMessaging: the push-messaging client's public object. The application hands it the
// device push token and every received notification.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/ZIRComponent.h"
#include "messaging/ZIRMessagingInterop.h"
#include "messaging/ZIRMessagingMessageInfo.h"
#include "platform/data.h"
#include "platform/object_runtime.h"
#include "platform/value.h"

class ZIRMessaging : public platform::Object, public ZIRMessagingInterop {
 public:
  // The class-load hook: registers the class and, with the core, the library "zere-zcm".
  static void load();
  // One component for ZIRMessagingInterop, created when the default app is configured and
  // kept for it; other apps get none.
  static std::vector<std::shared_ptr<ZIRComponent>> componentsToRegister();

  // The default app's instance, from its component container; none before
  // VEVEza::configure() (the core's "not configured" error is logged) or when the class
  // was not loaded.
  static std::shared_ptr<ZIRMessaging> messaging();

  // setAPNSToken(token, 0): the client tells the token's environment itself.
  void setAPNSToken(const platform::Data& token);
  // Type 0 lets the client decide the push environment, 1 is sandbox, anything else
  // production.
  void setAPNSToken(const platform::Data& token, int type);
  std::optional<platform::Data> APNSToken() const;

  // Status 0 for an empty dictionary, 1 otherwise.
  ZIRMessagingMessageInfo appDidReceiveMessage(const platform::Dictionary& userInfo);

  ZIRMessaging(const ZIRMessaging&) = delete;
  ZIRMessaging& operator=(const ZIRMessaging&) = delete;

 private:
  ZIRMessaging() = default;

  mutable std::mutex mutex_;
  std::optional<platform::Data> apnsTokenData_;
};
