#include "foundation/ZULReachabilityChecker.h"

#include <string_view>

#include "foundation/ZULLogger.h"
#include "platform/format.h"

namespace {

constexpr std::string_view kService = "[ZULReachability]";

std::string reachabilityCode(long number) { return platform::format("I-REA%06ld", {number}); }

const char* statusName(ZULReachabilityStatus status) {
  switch (status) {
  case ZULReachabilityStatusDisconnected:
    return "Disconnected";
  case ZULReachabilityStatusConnected:
    return "Connected";
  default:
    return "Unknown";
  }
}

// The service's callback; info is the checker, which stops (and so unschedules) before it
// goes away, and callbacks arrive on the main queue where it stops.
void reachabilityCallback(platform::NetworkReachabilityRef,
                          platform::NetworkReachabilityFlags flags, void* info) {
  static_cast<ZULReachabilityChecker*>(info)->reachabilityFlagsChanged(flags);
}

const ZULReachabilityApi kDefaultApi = {
    &platform::NetworkReachabilityCreateWithName,
    &platform::NetworkReachabilitySetCallback,
    &platform::NetworkReachabilityScheduleWithRunLoop,
    &platform::NetworkReachabilityUnscheduleFromRunLoop,
    &platform::NetworkReachabilityRelease,
};

}  // namespace

const ZULReachabilityApi* ZULDefaultReachabilityApi() { return &kDefaultApi; }

std::shared_ptr<ZULReachabilityChecker> ZULReachabilityChecker::initWithReachabilityDelegate(
    const std::shared_ptr<ZULReachabilityDelegate>& reachabilityDelegate, const std::string& host) {
  if (host.empty()) {
    ZULLogAtError(kService, false, reachabilityCode(902001), "Invalid host specified");
    return nullptr;
  }
  auto checker = std::make_shared<ZULReachabilityChecker>(ConstructionKey(), host);
  checker->setReachabilityDelegate(reachabilityDelegate);
  return checker;
}

ZULReachabilityChecker::ZULReachabilityChecker(ConstructionKey, const std::string& host)
    : reachabilityApi_(&kDefaultApi), host_(host) {}

ZULReachabilityChecker::~ZULReachabilityChecker() {
  reachabilityDelegate_.reset();
  stop();
}

bool ZULReachabilityChecker::start() {
  if (!reachability_) {
    reachability_ = reachabilityApi_->createWithNameFn(host_.c_str());
    if (!reachability_) return false;
    const platform::NetworkReachabilityContext context{this};
    const bool started =
        reachabilityApi_->setCallbackFn(reachability_, &reachabilityCallback, &context) &&
        reachabilityApi_->scheduleWithRunLoopFn(reachability_, platform::Queue::main());
    if (!started) {
      reachabilityApi_->releaseFn(reachability_);
      reachability_ = nullptr;
      ZULLogAtError(kService, false, reachabilityCode(902002),
                    "Failed to start reachability handle");
      return false;
    }
  }
  ZULLogAtDebug(kService, false, reachabilityCode(902003), "Monitoring the network status");
  return true;
}

void ZULReachabilityChecker::stop() {
  if (!reachability_) return;
  reachabilityStatus_ = ZULReachabilityStatusUnknown;
  reachabilityApi_->unscheduleFromRunLoopFn(reachability_, platform::Queue::main());
  reachabilityApi_->releaseFn(reachability_);
  reachability_ = nullptr;
}

void ZULReachabilityChecker::setReachabilityDelegate(
    const std::shared_ptr<ZULReachabilityDelegate>& delegate) {
  reachabilityDelegate_ = delegate;
}

void ZULReachabilityChecker::setReachabilityApi(const ZULReachabilityApi* reachabilityApi) {
  if (reachability_) {
    ZULLogAtError(kService, false, reachabilityCode(902000),
                  "Cannot change reachability API while reachability is running. Call stop first.");
    return;
  }
  reachabilityApi_ = reachabilityApi;
}

ZULReachabilityStatus
ZULReachabilityChecker::statusForFlags(platform::NetworkReachabilityFlags flags) {
  if (!(flags & platform::kNetworkReachabilityFlagsReachable))
    return ZULReachabilityStatusDisconnected;
  if (!(flags & platform::kNetworkReachabilityFlagsConnectionRequired))
    return ZULReachabilityStatusConnected;
  const bool automatic = flags & (platform::kNetworkReachabilityFlagsConnectionOnTraffic |
                                  platform::kNetworkReachabilityFlagsConnectionOnDemand);
  const bool intervention = flags & platform::kNetworkReachabilityFlagsInterventionRequired;
  return automatic && !intervention ? ZULReachabilityStatusConnected
                                    : ZULReachabilityStatusDisconnected;
}

void ZULReachabilityChecker::reachabilityFlagsChanged(platform::NetworkReachabilityFlags flags) {
  const ZULReachabilityStatus status = statusForFlags(flags);
  if (status == reachabilityStatus_) return;
  ZULLogAtDebug(kService, false, reachabilityCode(902004),
                "Network status has changed. Code:%@, status:%@",
                {static_cast<int>(status), statusName(status)});
  reachabilityStatus_ = status;
  if (const auto delegate = reachabilityDelegate_.lock())
    delegate->reachability(shared_from_this(), status);
}
