#include "messaging/ZIRMessaging.h"

#include "foundation/VEVEza.h"

namespace {

// The one facade and the default app it belongs to; a new default app (after the apps
// were reset) gets a new facade.
struct Instance {
  std::mutex mutex;
  std::weak_ptr<VEVEza> app;
  std::shared_ptr<ZIRMessaging> messaging;
};

Instance& instance() {
  static Instance* const shared = new Instance;
  return *shared;
}

}  // namespace

std::shared_ptr<ZIRMessaging> ZIRMessaging::messaging() {
  const std::shared_ptr<VEVEza> app = VEVEza::defaultApp();
  if (!app) return nullptr;
  Instance& s = instance();
  std::lock_guard lock(s.mutex);
  if (!s.messaging || s.app.lock() != app) {
    s.messaging.reset(new ZIRMessaging);
    s.app = app;
  }
  return s.messaging;
}

void ZIRMessaging::setAPNSToken(const platform::Data& token) { setAPNSToken(token, 0); }

void ZIRMessaging::setAPNSToken(const platform::Data& token, int type) {
  // The type matters only to the registration of a token, which the client does not do yet.
  static_cast<void>(type);
  std::lock_guard lock(mutex_);
  if (apnsTokenData_ == token) return;
  apnsTokenData_ = token;
}

std::optional<platform::Data> ZIRMessaging::APNSToken() const {
  std::lock_guard lock(mutex_);
  return apnsTokenData_;
}

ZIRMessagingMessageInfo ZIRMessaging::appDidReceiveMessage(const platform::Dictionary& userInfo) {
  if (userInfo.empty()) return ZIRMessagingMessageInfo(ZIRMessagingMessageStatusUnknown);
  return ZIRMessagingMessageInfo(ZIRMessagingMessageStatusNew);
}
