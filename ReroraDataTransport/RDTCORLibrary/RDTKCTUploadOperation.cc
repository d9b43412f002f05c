#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploadOperation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTCompressionHelper.h"
#include "foundation/ZULURLSessionPromise.h"
#include "platform/date.h"
#include "platform/format.h"

namespace {

// A batch taken for an upload returns to the pool if it is still around after this long.
constexpr double kBatchLifetimeSeconds = 600;
// Without an answer that says otherwise, the service is left alone for 15 minutes.
constexpr std::uint64_t kDefaultWaitMillis = 900'000;
// A wait added to the wall time must not overflow it; this is hundreds of millions of years.
constexpr std::uint64_t kLongestWaitMillis =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 2);

constexpr const char* kTransportVersion = "0.0.1";
constexpr const char* kSupportVersion = "0.0.1";

const char* targetName(RDTCORTarget target) {
  switch (target) {
  case RDTCORTargetKCT:
    return "kct";
  case RDTCORTargetFLL:
    return "fll";
  case RDTCORTargetCSH:
    return "csh";
  case RDTCORTargetINT:
    return "int";
  default:
    return "unknown";
  }
}

// Seconds of a "Retry-After" that is a non-negative decimal number ("120", "120.5"), whole
// seconds kept; none for anything else (an HTTP date included). A negative count would wrap
// to a wait of ages as an unsigned number.
std::optional<std::uint64_t> retryAfterSeconds(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  std::size_t i = 0;
  std::uint64_t seconds = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    seconds =
        seconds > (kLongestWaitMillis - digit) / 10 ? kLongestWaitMillis : seconds * 10 + digit;
  }
  if (i == 0) return std::nullopt;
  if (i < text.size() && text[i] == '.') {
    std::size_t fraction = i + 1;
    while (fraction < text.size() && text[fraction] >= '0' && text[fraction] <= '9') ++fraction;
    i = fraction;
  }
  if (i != text.size()) return std::nullopt;
  return seconds;
}

// The file whose lock one uploading process holds; it lives beside the store's folders.
constexpr const char* kUploadLockFileName = "upload.lock";

std::string describeRequest(const platform::URLRequest& request) {
  return platform::format("<URLRequest: %p> { URL: %@ }",
                          {static_cast<const void*>(&request), request.url});
}

}  // namespace

// An exclusive lock on the transport's lock file, shared by every process of the user: the
// store's folders are, too.
class RDTKCTUploadLock {
 public:
  // None when another process holds it. A lock file that cannot be opened locks nothing
  // rather than stopping every upload.
  static std::optional<std::unique_ptr<RDTKCTUploadLock>> tryLock() {
    const std::string path = (RDTCORRootDirectory() / kUploadLockFileName).string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      RDTCORLogDebug("The upload lock could not be opened: %@", {path});
      return std::unique_ptr<RDTKCTUploadLock>();
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return std::nullopt;
    }
    return std::unique_ptr<RDTKCTUploadLock>(new RDTKCTUploadLock(fd));
  }
  ~RDTKCTUploadLock() { ::close(fd_); }
  RDTKCTUploadLock(const RDTKCTUploadLock&) = delete;
  RDTKCTUploadLock& operator=(const RDTKCTUploadLock&) = delete;

 private:
  explicit RDTKCTUploadLock(int fd) : fd_(fd) {}
  const int fd_;
};

RDTKCTUploadOperation::RDTKCTUploadOperation(
    RDTCORTarget target, RDTCORUploadConditions conditions, std::optional<platform::URL> uploadURL,
    platform::QueuePtr queue, std::shared_ptr<RDTCORStoragePromiseProtocol> storage,
    const std::shared_ptr<RDTKCTUploadMetadataProvider>& metadataProvider,
    std::shared_ptr<RDTCORMetricsControllerProtocol> metricsController)
    : target_(target), conditions_(conditions), uploadURL_(std::move(uploadURL)),
      uploaderQueue_(std::move(queue)), storage_(std::move(storage)),
      metadataProvider_(metadataProvider), metricsController_(std::move(metricsController)) {}

RDTKCTUploadOperation::~RDTKCTUploadOperation() = default;

std::shared_ptr<RDTKCTUploadOperation> RDTKCTUploadOperation::sharedSelf() {
  return std::static_pointer_cast<RDTKCTUploadOperation>(shared_from_this());
}

std::string RDTKCTUploadOperation::description() const {
  return platform::format("<RDTKCTUploadOperation: %p>", {static_cast<const void*>(this)});
}

void RDTKCTUploadOperation::setApplication(std::shared_ptr<RDTCORApplicationProtocol> application) {
  std::lock_guard lock(mutex_);
  application_ = std::move(application);
}

void RDTKCTUploadOperation::main() {
  RDTCORLogDebug("Upload operation started: %@", {description()});
  runUploadChain();
}

void RDTKCTUploadOperation::runUploadChain() {
  auto self = sharedSelf();
  uploaderQueue_->async([self] {
    self->beginBackgroundTask();
    const RDTCORTarget target = self->target_;
    const RDTCORUploadConditions conditions = self->conditions_;
    const platform::QueuePtr& queue = self->uploaderQueue_;
    const auto storage = self->storage_;
    const auto notCancelled = [self](const ZBLObject&) { return !self->isCancelled(); };
    self->isReadyToUploadTarget(target, conditions)
        ->validate(queue, notCancelled)
        ->then(queue,
               [self](const ZBLObject&) -> ZBLObject {
                 auto lock = RDTKCTUploadLock::tryLock();
                 if (!lock) {
                   return genericRejectedPromiseErrorWithReason(
                       "Another process is uploading the transport's events.");
                 }
                 self->uploadLock_ = std::move(*lock);
                 return ZBLObject::null();
               })
        ->then(queue,
               [storage, target](const ZBLObject&) -> ZBLObject {
                 // Batches of an interrupted earlier upload give their events back to the pool.
                 return storage->removeAllBatchesForTarget(target, false);
               })
        ->then(queue,
               [storage, target](const ZBLObject&) -> ZBLObject {
                 return storage->hasEventsForTarget(target);
               })
        ->validate(queue,
                   [](const ZBLObject& hasEvents) {
                     const platform::Value* value = hasEvents.asValue();
                     return value != nullptr && value->boolValue();
                   })
        ->then(queue,
               [self, storage, target, conditions](const ZBLObject&) -> ZBLObject {
                 return storage->batchWithEventSelector(
                     self->eventSelectorTarget(target, conditions),
                     platform::Date::now().addingTimeInterval(kBatchLifetimeSeconds));
               })
        ->then(queue,
               [self, target](const ZBLObject& value) -> ZBLObject {
                 const auto batch = value.as<RDTCORUploadBatch>();
                 if (!batch) {
                   return genericRejectedPromiseErrorWithReason("The store answered no batch.");
                 }
                 if (!self->metricsController_) return batch;
                 return self->batchByAddingMetricsEventToBatch(batch, target);
               })
        ->validate(queue, notCancelled)
        ->then(queue,
               [self, storage, target](const ZBLObject& value) -> ZBLObject {
                 self->uploadAttempted_ = true;
                 return self->uploadBatch(value.as<RDTCORUploadBatch>(), target, storage);
               })
        ->catch_(queue,
                 [self](const platform::ErrorPtr&) {
                   // Counts taken for an upload that never went out (cancelled meanwhile) go
                   // back; after an attempt, the send itself has offered them when it failed.
                   if (!self->uploadAttempted_ && self->currentMetrics_ &&
                       self->metricsController_) {
                     self->metricsController_->offerMetrics(self->currentMetrics_);
                   }
                 })
        ->always(queue, [self] {
          self->uploadLock_.reset();
          self->finish();
          self->endBackgroundTask();
        });
  });
}

ZBLPromisePtr RDTKCTUploadOperation::isReadyToUploadTarget(RDTCORTarget target,
                                                           RDTCORUploadConditions conditions) {
  auto self = sharedSelf();
  return ZBLPromise::do_(uploaderQueue_, [self, target, conditions]() -> ZBLObject {
    if (self->readyToUploadTarget(target, conditions)) return ZBLObject::null();
    return genericRejectedPromiseErrorWithReason(platform::format(
        "Target %ld is not ready to upload with condition: %ld", {target, conditions}));
  });
}

bool RDTKCTUploadOperation::readyToUploadTarget(RDTCORTarget target,
                                                RDTCORUploadConditions conditions) {
  if (conditions & RDTCORUploadConditionNoNetwork) {
    RDTCORLogDebug("KCT: Not ready to upload without a network connection.");
    return false;
  }
  if (conditions & RDTCORUploadConditionHighPriority) {
    RDTCORLogDebug("KCT: a high priority event is allowing an upload");
    return true;
  }
  const auto provider = metadataProvider_.lock();
  const auto nextUploadTime = provider ? provider->nextUploadTimeForTarget(target) : nullptr;
  if (!nextUploadTime || RDTCORClock::snapshot()->isAfter(*nextUploadTime)) {
    RDTCORLogDebug("KCT: can upload to target %ld because the request wait time has transpired",
                   {target});
    return true;
  }
  RDTCORLogDebug("KCT: can't upload to target %ld because the backend asked to wait", {target});
  return false;
}

std::shared_ptr<RDTCORStorageEventSelector>
RDTKCTUploadOperation::eventSelectorTarget(RDTCORTarget target, RDTCORUploadConditions conditions) {
  if (conditions & RDTCORUploadConditionHighPriority) {
    return RDTCORStorageEventSelector::eventSelectorForTarget(target);
  }
  std::set<RDTCOREventQoS> qosTiers;
  if (conditions & RDTCORUploadConditionWifiData) {
    qosTiers.insert({RDTCOREventQoSFast, RDTCOREventQoSWifiOnly, RDTCOREventQoSDefault,
                     RDTCOREventQoSTelemetry, RDTCOREventQoSUnknown});
  }
  if (conditions & RDTCORUploadConditionMobileData) {
    qosTiers.insert({RDTCOREventQoSFast, RDTCOREventQoSDefault});
  }
  return std::make_shared<RDTCORStorageEventSelector>(target, std::nullopt, std::nullopt,
                                                      std::move(qosTiers));
}

ZBLPromisePtr RDTKCTUploadOperation::batchByAddingMetricsEventToBatch(
    const std::shared_ptr<RDTCORUploadBatch>& batch, RDTCORTarget target) {
  if (!metricsController_) return ZBLPromise::resolvedWith(batch);
  auto self = sharedSelf();
  return metricsController_->getAndResetMetrics()
      ->then(uploaderQueue_,
             [self, batch, target](const ZBLObject& value) -> ZBLObject {
               const auto metrics = value.as<RDTCORMetrics>();
               if (!metrics) return batch;
               self->currentMetrics_ = metrics;
               auto event = RDTCOREvent::eventWithMetrics(metrics, target);
               if (!event) return batch;
               self->metricsEvent_ = event;
               RDTCOREventSet events = batch->events();
               events.push_back(std::move(event));
               return std::make_shared<RDTCORUploadBatch>(batch->batchID(), std::move(events));
             })
      ->recover(uploaderQueue_, [batch](const platform::ErrorPtr&) -> ZBLObject { return batch; });
}

ZBLPromisePtr
RDTKCTUploadOperation::uploadBatch(const std::shared_ptr<RDTCORUploadBatch>& batch,
                                   RDTCORTarget target,
                                   const std::shared_ptr<RDTCORStoragePromiseProtocol>& storage) {
  auto self = sharedSelf();
  return sendURLRequestWithBatch(batch, target)
      ->chainOnQueue(
          uploaderQueue_,
          [self, batch, target, storage](const ZBLObject& value) -> ZBLObject {
            const auto response = value.as<ZULURLSessionDataResponse>();
            self->updateNextUploadTimeWithResponse(*response, target);
            return self->processResponse(*response, batch, storage);
          },
          [self, batch, storage](const platform::ErrorPtr&) -> ZBLObject {
            // Nothing answered: the events wait for the next attempt, and so do the counts.
            if (self->currentMetrics_ && self->metricsController_) {
              self->metricsController_->offerMetrics(self->currentMetrics_);
            }
            return storage->removeBatchWithID(batch->batchID(), false);
          });
}

ZBLPromisePtr
RDTKCTUploadOperation::sendURLRequestWithBatch(const std::shared_ptr<RDTCORUploadBatch>& batch,
                                               RDTCORTarget target) {
  platform::Data body = constructRequestProtoWithEvents(batch->events());
  if (auto gzipped = RDTKCTCompressionHelper::gzippedData(body);
      gzipped && gzipped->size() < body.size()) {
    body = std::move(*gzipped);
  }
  const auto request = constructRequestWithURL(uploadURL_, target, body);
  RDTCORLogDebug("CTT: request containing %lu events for batch: %@ for target: %ld created: %@",
                 {static_cast<std::uint64_t>(batch->events().size()), batch->batchID(), target,
                  request ? describeRequest(*request) : std::string("(null)")});
  if (!request) {
    return ZBLPromise::resolvedWith(genericRejectedPromiseErrorWithReason(platform::format(
        "No request could be built for batch %@ of target %ld.", {batch->batchID(), target})));
  }
  {
    std::lock_guard lock(mutex_);
    sentBody_ = request->body;
  }
  const auto session = uploaderSession();
  auto self = sharedSelf();
  return zul_dataTaskPromiseWithRequest(session, *request)->always(uploaderQueue_, [self, session] {
    session->finishTasksAndInvalidate();
    std::lock_guard lock(self->mutex_);
    self->uploaderSession_.reset();
  });
}

std::shared_ptr<platform::URLSession> RDTKCTUploadOperation::uploaderSession() {
  std::lock_guard lock(mutex_);
  if (!uploaderSession_) {
    uploaderSession_ = platform::URLSession::create(
        platform::URLSessionConfiguration(),
        std::shared_ptr<platform::URLSessionDelegate>(sharedSelf(), this));
  }
  return uploaderSession_;
}

platform::Data
RDTKCTUploadOperation::constructRequestProtoWithEvents(const RDTCOREventSet& events) {
  return KCTEncodeBatchRequest(events);
}

std::optional<platform::URLRequest>
RDTKCTUploadOperation::constructRequestWithURL(const std::optional<platform::URL>& url,
                                               RDTCORTarget target, const platform::Data& data) {
  if (data.empty()) {
    RDTCORLogDebug("There was no data to construct a request for target %ld.", {target});
    return std::nullopt;
  }
  if (!url) return std::nullopt;
  platform::URLRequest request(*url);
  if (const auto provider = metadataProvider_.lock()) {
    if (const auto key = provider->APIKeyForTarget(target)) {
      request.setValue(*key, "X-Rerora-Api-Key");
    }
  }
  if (RDTKCTCompressionHelper::isGzipped(data)) request.setValue("gzip", "Content-Encoding");
  request.setValue("application/x-protobuf", "Content-Type");
  request.setValue("gzip", "Accept-Encoding");
  request.setValue(platform::format("datatransport/%@ %@support/%@ apple/",
                                    {kTransportVersion, targetName(target), kSupportVersion}),
                   "User-Agent");
  request.httpMethod = "POST";
  request.body = data;
  return request;
}

ZBLPromisePtr RDTKCTUploadOperation::processResponse(
    const ZULURLSessionDataResponse& response, const std::shared_ptr<RDTCORUploadBatch>& batch,
    const std::shared_ptr<RDTCORStoragePromiseProtocol>& storage) {
  const long status = response.HTTPResponse().statusCode;
  const bool succeeded = status >= 200 && status <= 299;
  const bool retryLater = status == 404 || status == 429 || (status >= 500 && status <= 599);
  if (!succeeded && currentMetrics_ && metricsController_) {
    metricsController_->offerMetrics(currentMetrics_);
  }
  if (succeeded) {
    RDTCORLogDebug("KCT: batch %@ uploaded. Batch will be deleted.", {batch->batchID()});
    return storage->removeBatchWithID(batch->batchID(), true);
  }
  if (retryLater) {
    RDTCORLogDebug("KCT: batch %@ upload failed. Batch will attempt to be uploaded later.",
                   {batch->batchID()});
    return storage->removeBatchWithID(batch->batchID(), false);
  }
  if (status == 400 && metricsController_) {
    // The metrics event only carries counts; its own loss is not a dropped client event.
    RDTCOREventSet dropped;
    for (const auto& event : batch->events()) {
      if (event != metricsEvent_) dropped.push_back(event);
    }
    metricsController_->logEventsDroppedForReason(RDTCOREventDropReasonInvalidPayload, dropped);
  }
  RDTCORLogDebug("KCT: batch %@ upload failed. Batch will be deleted.", {batch->batchID()});
  return storage->removeBatchWithID(batch->batchID(), true);
}

void RDTKCTUploadOperation::updateNextUploadTimeWithResponse(
    const ZULURLSessionDataResponse& response, RDTCORTarget target) {
  std::optional<std::uint64_t> waitMillis;

  platform::ErrorPtr decodingError;
  const KCTDecodedResponse decoded =
      KCTDecodeResponse(response.HTTPBody().value_or(platform::Data()), &decodingError);
  if (decodingError) {
    RDTCORLogDebug("There was a response decoding error: %@", {decodingError->description()});
  } else if (decoded.has_next_request_wait_millis && decoded.next_request_wait_millis >= 0) {
    // A negative wait is no usable answer: it would allow an upload at once, or (as an
    // unsigned number) forbid one for ages.
    RDTCORLogDebug("KCT: The backend responded asking to not upload for %lld millis from now.",
                   {decoded.next_request_wait_millis});
    waitMillis = static_cast<std::uint64_t>(decoded.next_request_wait_millis);
  }

  if (!waitMillis) {
    if (const auto retryAfter = response.HTTPResponse().valueForHeaderField("Retry-After");
        retryAfter && !retryAfter->empty()) {
      if (const auto seconds = retryAfterSeconds(*retryAfter)) {
        waitMillis = *seconds > kLongestWaitMillis / 1000 ? kLongestWaitMillis : *seconds * 1000;
      }
    }
  }

  if (!waitMillis) {
    RDTCORLogDebug("KCT: The backend response failed to parse, so the next request won't occur "
                   "until 15 minutes from now");
    waitMillis = kDefaultWaitMillis;
  }

  const auto provider = metadataProvider_.lock();
  if (!provider) return;
  provider->setNextUploadTime(
      RDTCORClock::clockSnapshotInTheFuture(std::min(*waitMillis, kLongestWaitMillis)), target);
}

platform::ErrorPtr
RDTKCTUploadOperation::genericRejectedPromiseErrorWithReason(const std::string& reason) {
  return platform::makeError(kRDTKCTUploaderErrorDomain, -1,
                             {{platform::kLocalizedFailureReasonErrorKey, reason}});
}

void RDTKCTUploadOperation::willPerformHTTPRedirection(
    const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
    const platform::HTTPURLResponse& response, const platform::URLRequest& newRequest,
    std::function<void(std::optional<platform::URLRequest>)> completionHandler) {
  const long status = response.statusCode;
  if (status == 301 || status == 302 || status == 307 || status == 308) {
    platform::Data body;
    {
      std::lock_guard lock(mutex_);
      body = sentBody_;
    }
    // The target's own headers (its API key) go only to the server the upload was meant for;
    // a redirect elsewhere is followed with the headers of target 1000, which carry no key.
    const bool sameServer = uploadURL_ && platform::isSameOrigin(newRequest.url, *uploadURL_);
    completionHandler(
        constructRequestWithURL(newRequest.url, sameServer ? target_ : RDTCORTargetKCT, body));
    return;
  }
  completionHandler(newRequest);
}

void RDTKCTUploadOperation::beginBackgroundTask() {
  std::shared_ptr<RDTCORApplicationProtocol> application;
  {
    std::lock_guard lock(mutex_);
    if (!application_) application_ = RDTCORApplication::sharedApplication();
    application = application_;
  }
  std::weak_ptr<RDTKCTUploadOperation> weakSelf = sharedSelf();
  auto task = std::make_shared<RDTCORBackgroundTask>(
      application, kRDTKCTUploadBackgroundTaskName, [weakSelf](bool wasRunning) {
        if (!wasRunning) {
          RDTCORLogWarning(RDTCORMCDDebugLog,
                           "Attempted to cancel invalid background task in RDTKCTUploadOperation.");
          return;
        }
        const auto self = weakSelf.lock();
        if (!self) return;
        std::shared_ptr<platform::URLSession> session;
        {
          std::lock_guard lock(self->mutex_);
          session = self->uploaderSession_;
        }
        // The session's one task is the upload in flight.
        if (session) session->invalidateAndCancel();
      });
  std::lock_guard lock(mutex_);
  backgroundTask_ = std::move(task);
}

void RDTKCTUploadOperation::endBackgroundTask() {
  std::shared_ptr<RDTCORBackgroundTask> task;
  {
    std::lock_guard lock(mutex_);
    task = backgroundTask_;
  }
  if (task) task->end();
}
