#include "analytics/data/APMIdentitySupport.h"

#include <limits>

#include "analytics/messages/APMServices.h"

namespace {

// How long a caller waits for the component's identifier, in seconds.
constexpr double kResettableDeviceIDWait = 0.010;

std::shared_ptr<APMIdentitySupport> linkedPlatformIdentitySupport() {
  platform::Class* cls = platform::ObjectRuntime::classNamed(kAPMPlatformIdentitySupportClassName);
  if (cls == nullptr) return nullptr;
  const auto sharedInstance =
      cls->classMethod<APMIdentitySupportSharedInstance>(kAPMIdentitySupportSharedInstanceSelector);
  if (!sharedInstance) return nullptr;
  return std::dynamic_pointer_cast<APMIdentitySupport>(sharedInstance());
}

}  // namespace

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  // Never destroyed: worker queues may still ask for it while the process exits.
  static const std::shared_ptr<APMDefaultIdentitySupport>& instance =
      *new std::shared_ptr<APMDefaultIdentitySupport>(init());
  return instance;
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::init() {
  return std::make_shared<APMDefaultIdentitySupport>(linkedPlatformIdentitySupport());
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport(
    std::shared_ptr<APMIdentitySupport> platformIdentitySupport)
    : platformIdentitySupport_(std::move(platformIdentitySupport)),
      queue_(platform::Queue::serial("APMDefaultIdentitySupport")) {
  const auto monitor = APMServicesMonitor();
  if (platformIdentitySupport_) {
    monitor->logWithLevel(7, 44000, "ZodiziDavEzadaruvediDazurezuVeruvoz dependency is linked.");
    if (platformIdentitySupport_->hasLimitedAdTracking()) {
      monitor->logWithLevel(7, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor->logWithLevel(
          4, 44002,
          "The AdSupport Framework is not currently linked. Some features will not function "
          "properly. Learn more at "
          "https://support.rerora.invalid/analytics/advertising-identifier");
    }
  } else {
    monitor->logWithLevel(4, 44003,
                          "ZodiziDavEzadaruvediDazurezuVeruvoz dependency is not currently "
                          "linked. IDFA will not be accessible.");
  }
}

APMDefaultIdentitySupport::~APMDefaultIdentitySupport() = default;

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

std::uint64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  if (!platformIdentitySupport_) return std::numeric_limits<std::uint64_t>::max();
  return platformIdentitySupport_->appDataConsentStatus();
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  const std::optional<std::string> identifier = resettableDeviceID();
  return !identifier || *identifier == kAPMZeroResettableDeviceID;
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!platformIdentitySupport_) return std::nullopt;
  // The fetch outlives a caller that stops waiting: it holds the instance weakly and the
  // component strongly, and signals a semaphore of its own.
  platform::Semaphore done;
  std::weak_ptr<APMDefaultIdentitySupport> weakSelf = weak_from_this();
  std::shared_ptr<APMIdentitySupport> component = platformIdentitySupport_;
  queue_->async([weakSelf, component, done]() mutable {
    std::optional<std::string> identifier = component->resettableDeviceID();
    if (const auto self = weakSelf.lock()) {
      std::lock_guard lock(self->lock_);
      self->resettableDeviceID_ = std::move(identifier);
    }
    done.signal();
  });
  done.wait(kResettableDeviceIDWait);
  std::lock_guard lock(lock_);
  return resettableDeviceID_;
}
