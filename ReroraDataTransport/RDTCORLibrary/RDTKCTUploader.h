// RDTKCTUploader: the uploader of targets 1000 to 1003: one upload operation at a time per
// request of the upload coordinator, and the per-target next upload times the collection
// service asks for.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploadOperation.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "platform/url_session.h"

class RDTKCTUploader : public RDTCORUploader,
                       public RDTKCTUploadMetadataProvider,
                       public std::enable_shared_from_this<RDTKCTUploader> {
 public:
  // Registers the shared uploader for targets 1000, 1001, 1002 and 1003. Once per process.
  static void load();
  static std::shared_ptr<RDTKCTUploader> sharedInstance();

  static std::optional<platform::URL> serverURLForTarget(RDTCORTarget target);

  // Queues one upload operation for the target's registered store and metrics controller.
  void uploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions) override;

  std::shared_ptr<RDTCORClock> nextUploadTimeForTarget(RDTCORTarget target) override;
  void setNextUploadTime(std::shared_ptr<RDTCORClock> time, RDTCORTarget target) override;
  // The shared key for 1001, 1002 and 1003; none for the others.
  std::optional<std::string> APIKeyForTarget(RDTCORTarget target) override;

  // At most one operation runs at a time.
  platform::OperationQueue& uploadOperationQueue() { return uploadOperationQueue_; }
  // "com.rerora.RDTKCTUploader": every step of every operation runs on it.
  const platform::QueuePtr& uploadQueue() const { return uploadQueue_; }

  // Use sharedInstance; public only for make_shared and tests.
  RDTKCTUploader();

 private:
  platform::OperationQueue uploadOperationQueue_;
  platform::QueuePtr uploadQueue_;
  std::mutex nextUploadTimeMutex_;
  std::map<RDTCORTarget, std::shared_ptr<RDTCORClock>> nextUploadTimeByTarget_;
};
