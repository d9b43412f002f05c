// RDTCORRegistrar: the process-wide directory of the transport: for each target, the uploader,
// the event store and the metrics controller that serve it. Registering a store or a metrics
// controller also makes the target's controller its store's delegate.
#pragma once

#include <map>
#include <memory>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"
#include "platform/dispatch.h"

class RDTCORRegistrar : public RDTCORLifecycleProtocol,
                        public std::enable_shared_from_this<RDTCORRegistrar> {
 public:
  static std::shared_ptr<RDTCORRegistrar> sharedInstance();

  // Each returns at once; the registration runs on the registrar's queue. A later
  // registration for a target replaces the earlier one.
  void registerUploader(std::shared_ptr<RDTCORUploader> uploader, RDTCORTarget target);
  void registerStorage(std::shared_ptr<RDTCORStorageProtocol> storage, RDTCORTarget target);
  void registerMetricsController(std::shared_ptr<RDTCORMetricsControllerProtocol> controller,
                                 RDTCORTarget target);

  // Snapshots of the maps, read on the registrar's queue after every registration queued
  // before the call.
  std::map<RDTCORTarget, std::shared_ptr<RDTCORUploader>> targetToUploader() const;
  std::map<RDTCORTarget, std::shared_ptr<RDTCORStorageProtocol>> targetToStorage() const;
  std::map<RDTCORTarget, std::shared_ptr<RDTCORMetricsControllerProtocol>>
  targetToMetricsController() const;

  // Runs on the registrar's queue (the registrations call it there).
  void setMetricsControllerAsStorageDelegateForTarget(RDTCORTarget target);

  // Every uploader, then every store (once per target it serves), when it answers.
  void appWillBackground(const RDTCORApplicationPtr& application) override;
  void appWillForeground(const RDTCORApplicationPtr& application) override;
  void appWillTerminate(const RDTCORApplicationPtr& application) override;

  const platform::QueuePtr& registrarQueue() const { return registrarQueue_; }

  // Use sharedInstance; public only for make_shared and tests.
  RDTCORRegistrar();

 private:
  platform::QueuePtr registrarQueue_;
  // Touched only on registrarQueue_.
  std::map<RDTCORTarget, std::shared_ptr<RDTCORUploader>> targetToUploader_;
  std::map<RDTCORTarget, std::shared_ptr<RDTCORStorageProtocol>> targetToStorage_;
  std::map<RDTCORTarget, std::shared_ptr<RDTCORMetricsControllerProtocol>>
      targetToMetricsController_;
};

// The target's store when it offers the promise operations, else nullptr.
std::shared_ptr<RDTCORStoragePromiseProtocol> RDTCORRegisteredStorage(RDTCORTarget target);
// The target's metrics controller, or nullptr.
std::shared_ptr<RDTCORMetricsControllerProtocol> RDTCORRegisteredMetricsController(RDTCORTarget target);
