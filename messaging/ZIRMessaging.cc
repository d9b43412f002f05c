#include "messaging/ZIRMessaging.h"

#include "analytics/engine/DAVOdazaradoInterop.h"
#include "foundation/VEVEza.h"
#include "foundation/ZIRComponentType.h"
#include "foundation/ZIRLibrary.h"
#include "foundation/ZIRLogger.h"

void ZIRMessaging::load() {
  platform::Class& cls = platform::ObjectRuntime::registerClass("ZIRMessaging");
  cls.addProtocol(kZIRLibraryProtocolName);
  cls.addClassMethod<ZIRLibraryComponentsToRegister>(kZIRLibraryComponentsToRegisterSelector,
                                                     &ZIRMessaging::componentsToRegister);
  VEVEza::registerInternalLibrary(cls, "zere-zcm");
}

std::vector<std::shared_ptr<ZIRComponent>> ZIRMessaging::componentsToRegister() {
  return {ZIRComponent::componentWithProtocol(
      ZIRMessagingInterop::protocol(), ZIRInstantiationTimingEagerInDefaultApp,
      {ZIRDependency::dependencyWithProtocol(DAVOdazaradoInterop::protocol(), false)},
      [](ZIRComponentContainer& container, bool& isCacheable) -> platform::ObjectPtr {
        const std::shared_ptr<VEVEza> app = container.app();
        if (!app || !app->isDefaultApp()) {
          ZIRLogAtDebug("[ZiruzadaMessaging]", "I-ZCM001001",
                        "Ziruzada Messaging only works with the default app.");
          return nullptr;
        }
        isCacheable = true;
        return std::shared_ptr<ZIRMessaging>(new ZIRMessaging);
      })};
}

std::shared_ptr<ZIRMessaging> ZIRMessaging::messaging() {
  const std::shared_ptr<VEVEza> app = VEVEza::defaultApp();
  if (!app) return nullptr;
  return ZIRComponentType<ZIRMessaging>::instanceForProtocol(ZIRMessagingInterop::protocol(),
                                                             app->container());
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
