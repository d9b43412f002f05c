#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"

#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCOREndpoints.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"

void RDTKCTUploader::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    const auto uploader = sharedInstance();
    const auto registrar = RDTCORRegistrar::sharedInstance();
    for (const RDTCORTarget target :
         {RDTCORTargetKCT, RDTCORTargetFLL, RDTCORTargetCSH, RDTCORTargetINT}) {
      registrar->registerUploader(uploader, target);
    }
  });
}

std::shared_ptr<RDTKCTUploader> RDTKCTUploader::sharedInstance() {
  // Kept until exit: operations may still run while the process winds down.
  static const auto* shared =
      new std::shared_ptr<RDTKCTUploader>(std::make_shared<RDTKCTUploader>());
  return *shared;
}

RDTKCTUploader::RDTKCTUploader()
    : uploadQueue_(platform::Queue::serial("com.rerora.RDTKCTUploader")) {
  uploadOperationQueue_.setName("com.rerora.RDTKCTUploader.uploadOperationQueue");
  uploadOperationQueue_.setMaxConcurrentOperationCount(1);
}

std::optional<platform::URL> RDTKCTUploader::serverURLForTarget(RDTCORTarget target) {
  return RDTCOREndpoints::uploadURLForTarget(target);
}

void RDTKCTUploader::uploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions) {
  const auto storage = RDTCORRegisteredStorage(target);
  const auto metricsController = RDTCORRegisteredMetricsController(target);
  if (!storage) {
    RDTCORLogError(RDTCORMCEGeneralError,
                   "Failed to upload target: %ld - could not find corresponding storage instance.",
                   {target});
    return;
  }
  const auto operation = std::make_shared<RDTKCTUploadOperation>(
      target, conditions, serverURLForTarget(target), uploadQueue_, storage, shared_from_this(),
      metricsController);
  RDTCORLogDebug("Upload operation created: %@, target: %@", {operation->description(), target});

  std::weak_ptr<RDTKCTUploader> weakSelf = weak_from_this();
  std::weak_ptr<RDTKCTUploadOperation> weakOperation = operation;
  operation->setCompletionBlock([weakSelf, weakOperation] {
    const auto self = weakSelf.lock();
    const auto operation = weakOperation.lock();
    if (!self || !operation) {
      RDTCORLogDebug("Internal inconsistency: RDTKCTUploader was deallocated during upload.");
      return;
    }
    RDTCORLogDebug("Upload operation finished: %@, uploadAttempted: %@",
                   {operation->description(), operation->uploadAttempted()});
    // One coordinator tick makes at most one upload: whatever was queued behind is dropped.
    if (operation->uploadAttempted()) self->uploadOperationQueue_.cancelAllOperations();
  });

  uploadOperationQueue_.addOperation(operation);
  RDTCORLogDebug("Upload operation scheduled: %@, operation count: %@",
                 {operation->description(),
                  static_cast<std::uint64_t>(uploadOperationQueue_.operationCount())});
}

std::shared_ptr<RDTCORClock> RDTKCTUploader::nextUploadTimeForTarget(RDTCORTarget target) {
  std::lock_guard lock(nextUploadTimeMutex_);
  const auto it = nextUploadTimeByTarget_.find(target);
  return it == nextUploadTimeByTarget_.end() ? nullptr : it->second;
}

void RDTKCTUploader::setNextUploadTime(std::shared_ptr<RDTCORClock> time, RDTCORTarget target) {
  std::lock_guard lock(nextUploadTimeMutex_);
  if (time) {
    nextUploadTimeByTarget_[target] = std::move(time);
  } else {
    nextUploadTimeByTarget_.erase(target);
  }
}

std::optional<std::string> RDTKCTUploader::APIKeyForTarget(RDTCORTarget target) {
  if (target == RDTCORTargetFLL || target == RDTCORTargetCSH || target == RDTCORTargetINT) {
    return FLLAndCSHAndINTAPIKey();
  }
  return std::nullopt;
}
