// RDTCORLifecycle: the application's lifecycle as the transport's components see it, and the
// observer that turns the transport's lifecycle notifications into calls on the transformer,
// the upload coordinator and the registrar.
#pragma once

#include <memory>

#include "platform/notification_center.h"

class RDTCORApplicationProtocol;
using RDTCORApplicationPtr = std::shared_ptr<RDTCORApplicationProtocol>;

// What a component does when the application backgrounds, foregrounds or terminates. Each
// operation is optional: the default does nothing.
class RDTCORLifecycleProtocol {
 public:
  virtual ~RDTCORLifecycleProtocol() = default;
  virtual void appWillTerminate(const RDTCORApplicationPtr& application) { (void)application; }
  virtual void appWillBackground(const RDTCORApplicationPtr& application) { (void)application; }
  virtual void appWillForeground(const RDTCORApplicationPtr& application) { (void)application; }
};

// Observes the three RDTCORApplication*Notification names on the default center and fans each
// out, on the posting thread, to the transformer, the coordinator and the registrar.
class RDTCORLifecycle {
 public:
  // Makes the shared instance.
  static void load();
  static std::shared_ptr<RDTCORLifecycle> sharedInstance();

  void applicationDidEnterBackgroundNotification(const platform::Notification& notification);
  void applicationWillEnterForegroundNotification(const platform::Notification& notification);
  void applicationWillTerminateNotification(const platform::Notification& notification);

  // Use sharedInstance; public only for make_shared.
  RDTCORLifecycle();
  ~RDTCORLifecycle();
  RDTCORLifecycle(const RDTCORLifecycle&) = delete;
  RDTCORLifecycle& operator=(const RDTCORLifecycle&) = delete;

 private:
  platform::ObserverToken backgroundObserver_;
  platform::ObserverToken foregroundObserver_;
  platform::ObserverToken terminateObserver_;
};
