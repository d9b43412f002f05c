// ZULReachabilityChecker: watches whether one host is reachable and tells its delegate each
// time the derived status changes; the reachability service is reached through a
// replaceable table of functions so tests can stand in for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/reachability.h"

enum ZULReachabilityStatus : std::int32_t {
  ZULReachabilityStatusUnknown = 0,
  ZULReachabilityStatusDisconnected = 1,
  ZULReachabilityStatusConnected = 2,
};

class ZULReachabilityChecker;

class ZULReachabilityDelegate {
 public:
  virtual ~ZULReachabilityDelegate() = default;
  // On the main queue, only when the status differs from the last one.
  virtual void reachability(const std::shared_ptr<ZULReachabilityChecker>& reachability,
                            ZULReachabilityStatus statusChanged) = 0;
};

// The reachability service, in the order the checker uses it.
struct ZULReachabilityApi {
  platform::NetworkReachabilityRef (*createWithNameFn)(const char* host);
  bool (*setCallbackFn)(platform::NetworkReachabilityRef target,
                        platform::NetworkReachabilityCallBack callback,
                        const platform::NetworkReachabilityContext* context);
  bool (*scheduleWithRunLoopFn)(platform::NetworkReachabilityRef target,
                                platform::QueuePtr runLoop);
  bool (*unscheduleFromRunLoopFn)(platform::NetworkReachabilityRef target,
                                  const platform::QueuePtr& runLoop);
  void (*releaseFn)(platform::NetworkReachabilityRef target);
};

// The platform's reachability, which reads the system's interfaces and routes.
const ZULReachabilityApi* ZULDefaultReachabilityApi();

// start, stop and the service's callbacks belong to the main thread; nothing is locked.
class ZULReachabilityChecker : public std::enable_shared_from_this<ZULReachabilityChecker> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  // Null, with error I-REA902001 logged, for an empty host.
  static std::shared_ptr<ZULReachabilityChecker>
  initWithReachabilityDelegate(const std::shared_ptr<ZULReachabilityDelegate>& reachabilityDelegate,
                               const std::string& host);

  ZULReachabilityChecker(ConstructionKey, const std::string& host);
  // Drops the delegate, then stops.
  ~ZULReachabilityChecker();
  ZULReachabilityChecker(const ZULReachabilityChecker&) = delete;
  ZULReachabilityChecker& operator=(const ZULReachabilityChecker&) = delete;

  // Starts monitoring on the main run loop (true when already active); false when the
  // service gives no handle or refuses the callback or the scheduling.
  bool start();
  // Status back to Unknown and the handle released; nothing when inactive.
  void stop();
  bool isActive() const { return reachability_ != nullptr; }

  ZULReachabilityStatus reachabilityStatus() const { return reachabilityStatus_; }
  const std::string& host() const { return host_; }
  std::shared_ptr<ZULReachabilityDelegate> reachabilityDelegate() const {
    return reachabilityDelegate_.lock();
  }
  // Held weakly.
  void setReachabilityDelegate(const std::shared_ptr<ZULReachabilityDelegate>& delegate);
  const ZULReachabilityApi* reachabilityApi() const { return reachabilityApi_; }
  // Refused, with error I-REA902000 logged, while active.
  void setReachabilityApi(const ZULReachabilityApi* reachabilityApi);

  // Reachable without a connection required, or with one made on traffic or on demand and
  // no intervention required, is Connected; anything else Disconnected.
  static ZULReachabilityStatus statusForFlags(platform::NetworkReachabilityFlags flags);
  // Stores the status derived from the flags and tells the delegate when it changed.
  void reachabilityFlagsChanged(platform::NetworkReachabilityFlags flags);

 private:
  ZULReachabilityStatus reachabilityStatus_ = ZULReachabilityStatusUnknown;
  const ZULReachabilityApi* reachabilityApi_;
  platform::NetworkReachabilityRef reachability_ = nullptr;
  const std::string host_;
  std::weak_ptr<ZULReachabilityDelegate> reachabilityDelegate_;
};
