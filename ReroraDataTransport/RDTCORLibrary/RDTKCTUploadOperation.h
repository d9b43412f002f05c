// RDTKCTUploadOperation: one upload attempt for a target on the uploader's operation queue:
// checks readiness, takes a batch from the store, adds the dropped-event metrics event, POSTs
// the batch to the collection service and settles the batch and the next upload time from
// the answer.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"
#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/operation_queue.h"
#include "platform/url_session.h"
#include "promises/zbl_promise.h"

class RDTCORMetrics;
class ZULURLSessionDataResponse;

inline constexpr const char* kRDTKCTUploaderErrorDomain = "RDTKCTUploader";
inline constexpr const char* kRDTKCTUploadBackgroundTaskName = "RDTKCTUploader-upload";

// Where an upload operation reads and leaves a target's next upload time, and its API key.
class RDTKCTUploadMetadataProvider {
 public:
  virtual ~RDTKCTUploadMetadataProvider() = default;
  // The earliest moment the target may upload again, or nullptr when it may now.
  virtual std::shared_ptr<RDTCORClock> nextUploadTimeForTarget(RDTCORTarget target) = 0;
  virtual void setNextUploadTime(std::shared_ptr<RDTCORClock> time, RDTCORTarget target) = 0;
  virtual std::optional<std::string> APIKeyForTarget(RDTCORTarget target) = 0;
};

class RDTKCTUploadLock;

class RDTKCTUploadOperation : public platform::Operation, public platform::URLSessionDelegate {
 public:
  // The metadata provider is held weakly (it owns the queue the operation runs on); the
  // metrics controller may be null.
  RDTKCTUploadOperation(RDTCORTarget target, RDTCORUploadConditions conditions,
                        std::optional<platform::URL> uploadURL, platform::QueuePtr queue,
                        std::shared_ptr<RDTCORStoragePromiseProtocol> storage,
                        const std::shared_ptr<RDTKCTUploadMetadataProvider>& metadataProvider,
                        std::shared_ptr<RDTCORMetricsControllerProtocol> metricsController);
  ~RDTKCTUploadOperation() override;

  // Runs the upload chain on the uploader's queue; the operation finishes when it ends.
  void main() override;
  bool isAsynchronous() const override { return true; }
  // Whether the batch went out to the service (or its send was at least begun).
  bool uploadAttempted() const { return uploadAttempted_.load(); }

  RDTCORTarget target() const { return target_; }
  RDTCORUploadConditions conditions() const { return conditions_; }
  const std::optional<platform::URL>& uploadURL() const { return uploadURL_; }
  // "<RDTKCTUploadOperation: 0x…>"
  std::string description() const;

  // The application whose background tasks cover an upload; the shared one unless replaced.
  void setApplication(std::shared_ptr<RDTCORApplicationProtocol> application);

  // The steps of the chain, each on the uploader's queue.
  // Fulfilled with null when ready, else rejected with the generic error.
  ZBLPromisePtr isReadyToUploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions);
  bool readyToUploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions);
  std::shared_ptr<RDTCORStorageEventSelector>
  eventSelectorTarget(RDTCORTarget target, RDTCORUploadConditions conditions);
  // A promise of a std::shared_ptr<RDTCORUploadBatch>: the batch plus the metrics event, or
  // the batch unchanged when the metrics cannot be had.
  ZBLPromisePtr batchByAddingMetricsEventToBatch(const std::shared_ptr<RDTCORUploadBatch>& batch,
                                                 RDTCORTarget target);
  // The removal of the batch once the answer (or the failure) decided its fate.
  ZBLPromisePtr uploadBatch(const std::shared_ptr<RDTCORUploadBatch>& batch, RDTCORTarget target,
                            const std::shared_ptr<RDTCORStoragePromiseProtocol>& storage);
  // A promise of a std::shared_ptr<ZULURLSessionDataResponse>, rejected when nothing answered.
  ZBLPromisePtr sendURLRequestWithBatch(const std::shared_ptr<RDTCORUploadBatch>& batch,
                                        RDTCORTarget target);
  platform::Data constructRequestProtoWithEvents(const RDTCOREventSet& events);
  // None for missing or empty data, or no URL.
  std::optional<platform::URLRequest>
  constructRequestWithURL(const std::optional<platform::URL>& url, RDTCORTarget target,
                          const platform::Data& data);
  ZBLPromisePtr processResponse(const ZULURLSessionDataResponse& response,
                                const std::shared_ptr<RDTCORUploadBatch>& batch,
                                const std::shared_ptr<RDTCORStoragePromiseProtocol>& storage);
  void updateNextUploadTimeWithResponse(const ZULURLSessionDataResponse& response,
                                        RDTCORTarget target);
  // Domain "RDTKCTUploader", code -1, the reason as the failure reason.
  static platform::ErrorPtr genericRejectedPromiseErrorWithReason(const std::string& reason);

  // 301, 302, 307 and 308 are followed with the request rebuilt for the new address, with the
  // body: this target's headers at the upload address's origin, target 1000's (no key)
  // anywhere else. Other redirects as proposed, which leave credentials behind on their own.
  void willPerformHTTPRedirection(
      const std::shared_ptr<platform::URLSession>& session,
      const std::shared_ptr<platform::URLSessionTask>& task,
      const platform::HTTPURLResponse& response, const platform::URLRequest& newRequest,
      std::function<void(std::optional<platform::URLRequest>)> completionHandler) override;

 private:
  std::shared_ptr<RDTKCTUploadOperation> sharedSelf();
  void runUploadChain();
  std::shared_ptr<platform::URLSession> uploaderSession();
  void beginBackgroundTask();
  void endBackgroundTask();

  const RDTCORTarget target_;
  const RDTCORUploadConditions conditions_;
  const std::optional<platform::URL> uploadURL_;
  const platform::QueuePtr uploaderQueue_;
  const std::shared_ptr<RDTCORStoragePromiseProtocol> storage_;
  const std::weak_ptr<RDTKCTUploadMetadataProvider> metadataProvider_;
  const std::shared_ptr<RDTCORMetricsControllerProtocol> metricsController_;

  // Touched only on the uploader's queue.
  std::shared_ptr<RDTCORMetrics> currentMetrics_;
  // Held from taking the batches to the end of the chain, so that another process of the same
  // user (a second window of the application) never takes, returns or deletes them meanwhile.
  std::unique_ptr<RDTKCTUploadLock> uploadLock_;
  // The metrics event added to the batch in flight, which a 400 must not count as dropped.
  std::shared_ptr<RDTCOREvent> metricsEvent_;

  std::atomic<bool> uploadAttempted_{false};

  // Guards the session (also used by a background task's expiry, on any thread), the body
  // sent (also read by a redirect, on the session's queue), and the background task.
  mutable std::mutex mutex_;
  // Made on first use; its one task is the upload in flight. Dropped once the send settled,
  // as the session holds this operation as its delegate.
  std::shared_ptr<platform::URLSession> uploaderSession_;
  platform::Data sentBody_;
  std::shared_ptr<RDTCORApplicationProtocol> application_;
  std::shared_ptr<RDTCORBackgroundTask> backgroundTask_;
};
