#include "ReroraDataTransport/RDTCORLibrary/RDTCORTransport.h"

#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/value.h"

namespace {

// A transformer that cannot transform.
constexpr long kTransformerDoesntImplementTransformCode = 1000;

platform::Value describe(const RDTCOREventTransformers& transformers) {
  platform::Array descriptions;
  for (const auto& transformer : transformers) {
    descriptions.emplace_back(RDTCORDescribe(transformer));
  }
  return platform::Value(std::move(descriptions));
}

platform::ErrorPtr noStorageError(RDTCORTarget target) {
  return platform::makeError(
      kRDTCORTransformerErrorDomain, -1,
      {{platform::kLocalizedFailureReasonErrorKey,
        platform::format("No storage is registered for target %ld.", {target})}});
}

}  // namespace

// ---- Transformer

std::shared_ptr<RDTCORTransformer> RDTCORTransformer::sharedInstance() {
  // Kept until exit: events may still be on their way to the store while the process ends.
  static const auto* shared =
      new std::shared_ptr<RDTCORTransformer>(std::make_shared<RDTCORTransformer>());
  return *shared;
}

RDTCORTransformer::RDTCORTransformer()
    : RDTCORTransformer(RDTCORApplication::sharedApplication()) {}

RDTCORTransformer::RDTCORTransformer(std::shared_ptr<RDTCORApplicationProtocol> application,
                                     std::shared_ptr<RDTCORRegistrar> registrar)
    : eventWritingQueue_(platform::Queue::serial("com.rerora.RDTCORTransformer")),
      application_(std::move(application)),
      registrar_(registrar ? std::move(registrar) : RDTCORRegistrar::sharedInstance()) {}

platform::QueuePtr RDTCORTransformer::eventWritingQueue() const {
  std::lock_guard lock(mutex_);
  return eventWritingQueue_;
}

void RDTCORTransformer::setEventWritingQueue(platform::QueuePtr queue) {
  std::lock_guard lock(mutex_);
  eventWritingQueue_ = std::move(queue);
}

void RDTCORTransformer::transformEvent(const std::shared_ptr<RDTCOREvent>& event,
                                       const RDTCOREventTransformers& transformers,
                                       RDTCORStorageProtocol::StoreCompletion onComplete) {
  RDTCORAssert(event != nullptr, "You can't write a nil event");

  const RDTCORBackgroundTask backgroundTask(application_, "RDTTransformer");
  RDTCORStorageProtocol::StoreCompletion completion =
      [onComplete = std::move(onComplete), backgroundTask](bool wasWritten,
                                                           const platform::ErrorPtr& error) {
        if (onComplete) onComplete(wasWritten, error);
        if (!backgroundTask.end()) {
          RDTCORLogWarning(RDTCORMCDDebugLog,
                           "Attempted to cancel invalid background task in RDTCORTransformer.");
        }
      };

  eventWritingQueue()->async(
      [event, transformers, completion = std::move(completion), registrar = registrar_] {
        std::shared_ptr<RDTCOREvent> result = event;
        for (const auto& transformer : transformers) {
          if (!transformer) {
            RDTCORLogError(kTransformerDoesntImplementTransformCode,
                           "Transformer doesn't implement transformRDTEvent: %@",
                           {RDTCORDescribe(transformer)});
            completion(false, nullptr);
            return;
          }
          RDTCORLogDebug("Applying a transformer to event %@", {RDTCORDescribe(event)});
          result = transformer->transformRDTEvent(event);
          if (!result) {
            completion(false, nullptr);
            return;
          }
        }
        // The store is chosen by the event as sent, whatever the transformers returned.
        const RDTCORTarget target = event ? event->target() : 0;
        const auto storages = registrar->targetToStorage();
        const auto storage = storages.find(target);
        if (storage == storages.end()) {
          completion(false, noStorageError(target));
          return;
        }
        storage->second->storeEvent(result, completion);
      });
}

// ---- Transport

std::shared_ptr<RDTCORTransport>
RDTCORTransport::initWithMappingID(std::string mappingID, RDTCOREventTransformers transformers,
                                   RDTCORTarget target) {
  RDTCORAssert(!mappingID.empty(), "A mapping ID cannot be nil or empty");
  RDTCORAssert(target > 0, "A target cannot be negative or 0");
  if (mappingID.empty() || target <= 0) return nullptr;
  auto transport =
      std::make_shared<RDTCORTransport>(std::move(mappingID), std::move(transformers), target);
  RDTCORLogDebug("Transport object created. mappingID:%@ transformers:%@ target:%ld",
                 {transport->mappingID_, describe(transport->transformers_), target});
  return transport;
}

RDTCORTransport::RDTCORTransport(std::string mappingID, RDTCOREventTransformers transformers,
                                 RDTCORTarget target)
    : mappingID_(std::move(mappingID)), transformers_(std::move(transformers)), target_(target),
      transformerInstance_(RDTCORTransformer::sharedInstance()) {}

std::shared_ptr<RDTCOREvent> RDTCORTransport::eventForTransport() const {
  std::lock_guard lock(mutex_);
  return RDTCOREvent::initWithMappingID(mappingID_, target_);
}

std::shared_ptr<RDTCOREvent> RDTCORTransport::eventForTransportWithProductData(
    std::shared_ptr<RDTCORProductData> productData) const {
  std::lock_guard lock(mutex_);
  return RDTCOREvent::initWithMappingID(mappingID_, std::move(productData), target_);
}

void RDTCORTransport::sendTelemetryEvent(const std::shared_ptr<RDTCOREvent>& event,
                                         RDTCORStorageProtocol::StoreCompletion onComplete) {
  if (event) event->setQosTier(RDTCOREventQoSTelemetry);
  sendEvent(event, std::move(onComplete));
}

void RDTCORTransport::sendDataEvent(const std::shared_ptr<RDTCOREvent>& event,
                                    RDTCORStorageProtocol::StoreCompletion onComplete) {
  RDTCORAssert(!event || event->qosTier() != RDTCOREventQoSTelemetry,
               "Use -sendTelemetryEvent, please.");
  sendEvent(event, std::move(onComplete));
}

void RDTCORTransport::sendEvent(const std::shared_ptr<RDTCOREvent>& event,
                                RDTCORStorageProtocol::StoreCompletion onComplete) {
  RDTCORAssert(event != nullptr, "You can't send a nil event");
  // The caller keeps its object; only the copy travels on.
  std::shared_ptr<RDTCOREvent> copy = event ? event->copy() : nullptr;
  if (copy) copy->setClockSnapshot(RDTCORClock::snapshot());
  transformerInstance()->transformEvent(copy, transformers(), std::move(onComplete));
}

std::string RDTCORTransport::mappingID() const {
  std::lock_guard lock(mutex_);
  return mappingID_;
}

void RDTCORTransport::setMappingID(std::string mappingID) {
  std::lock_guard lock(mutex_);
  mappingID_ = std::move(mappingID);
}

RDTCOREventTransformers RDTCORTransport::transformers() const {
  std::lock_guard lock(mutex_);
  return transformers_;
}

void RDTCORTransport::setTransformers(RDTCOREventTransformers transformers) {
  std::lock_guard lock(mutex_);
  transformers_ = std::move(transformers);
}

RDTCORTarget RDTCORTransport::target() const {
  std::lock_guard lock(mutex_);
  return target_;
}

void RDTCORTransport::setTarget(RDTCORTarget target) {
  std::lock_guard lock(mutex_);
  target_ = target;
}

std::shared_ptr<RDTCORTransformer> RDTCORTransport::transformerInstance() const {
  std::lock_guard lock(mutex_);
  return transformerInstance_;
}

void RDTCORTransport::setTransformerInstance(std::shared_ptr<RDTCORTransformer> transformer) {
  std::lock_guard lock(mutex_);
  transformerInstance_ = std::move(transformer);
}
