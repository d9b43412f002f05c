// RDTCORTransport: the event transport's one public door: a client makes a transport for its
// log source and destination, asks it for events and sends them; RDTCORTransformer applies
// the client's transformers on its own queue and hands each result to the target's store.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "platform/dispatch.h"

class RDTCORApplicationProtocol;
class RDTCORRegistrar;

// The domain of the error a send completes with when no store serves the event's target.
inline constexpr const char* kRDTCORTransformerErrorDomain = "RDTCORTransformer";

// Rewrites an event before it is stored; returning nullptr drops it.
class RDTCOREventTransformer {
 public:
  virtual ~RDTCOREventTransformer() = default;
  virtual std::shared_ptr<RDTCOREvent>
  transformRDTEvent(const std::shared_ptr<RDTCOREvent>& event) = 0;
};

using RDTCOREventTransformers = std::vector<std::shared_ptr<RDTCOREventTransformer>>;

// Applies transformers and stores the result, one event at a time in the order sent, on its
// queue "com.rerora.RDTCORTransformer". Answers none of the lifecycle operations.
class RDTCORTransformer : public RDTCORLifecycleProtocol {
 public:
  static std::shared_ptr<RDTCORTransformer> sharedInstance();

  // Every transformer receives the event given here; the last one's result is stored. A
  // transformer answering nullptr, or a null entry (which answers nothing), stores nothing
  // and completes with (false, nullptr). With no store registered for the event's target the
  // completion gets (false, an error of kRDTCORTransformerErrorDomain, code -1). Otherwise
  // the store's completion; it runs on the store's queue.
  void transformEvent(const std::shared_ptr<RDTCOREvent>& event,
                      const RDTCOREventTransformers& transformers,
                      RDTCORStorageProtocol::StoreCompletion onComplete);

  platform::QueuePtr eventWritingQueue() const;
  void setEventWritingQueue(platform::QueuePtr queue);
  const std::shared_ptr<RDTCORApplicationProtocol>& application() const { return application_; }

  // Stores are looked up in the given registrar (the shared one when null). Use
  // sharedInstance; public for make_shared and tests.
  explicit RDTCORTransformer(std::shared_ptr<RDTCORApplicationProtocol> application,
                             std::shared_ptr<RDTCORRegistrar> registrar = nullptr);
  // With the shared application.
  RDTCORTransformer();

 private:
  mutable std::mutex mutex_;
  platform::QueuePtr eventWritingQueue_;
  const std::shared_ptr<RDTCORApplicationProtocol> application_;
  const std::shared_ptr<RDTCORRegistrar> registrar_;
};

// Makes and sends the events of one log source to one destination. Usable from any thread.
class RDTCORTransport {
 public:
  // nullptr, after an assertion report, for an empty mapping ID or a target <= 0.
  static std::shared_ptr<RDTCORTransport> initWithMappingID(std::string mappingID,
                                                            RDTCOREventTransformers transformers,
                                                            RDTCORTarget target);

  std::shared_ptr<RDTCOREvent> eventForTransport() const;
  std::shared_ptr<RDTCOREvent>
  eventForTransportWithProductData(std::shared_ptr<RDTCORProductData> productData) const;

  // Sets the caller's event to tier 1, then sends a copy.
  void sendTelemetryEvent(const std::shared_ptr<RDTCOREvent>& event,
                          RDTCORStorageProtocol::StoreCompletion onComplete = nullptr);
  // A tier-1 event is reported (telemetry has its own call) and sent as it is.
  void sendDataEvent(const std::shared_ptr<RDTCOREvent>& event,
                     RDTCORStorageProtocol::StoreCompletion onComplete = nullptr);
  // Sends a copy stamped with a clock snapshot taken now; the caller's event is unchanged.
  void sendEvent(const std::shared_ptr<RDTCOREvent>& event,
                 RDTCORStorageProtocol::StoreCompletion onComplete);

  std::string mappingID() const;
  void setMappingID(std::string mappingID);
  RDTCOREventTransformers transformers() const;
  void setTransformers(RDTCOREventTransformers transformers);
  RDTCORTarget target() const;
  void setTarget(RDTCORTarget target);
  std::shared_ptr<RDTCORTransformer> transformerInstance() const;
  void setTransformerInstance(std::shared_ptr<RDTCORTransformer> transformer);

  // Use initWithMappingID; public only for make_shared.
  RDTCORTransport(std::string mappingID, RDTCOREventTransformers transformers, RDTCORTarget target);

 private:
  mutable std::mutex mutex_;
  std::string mappingID_;
  RDTCOREventTransformers transformers_;
  RDTCORTarget target_;
  std::shared_ptr<RDTCORTransformer> transformerInstance_;
};
