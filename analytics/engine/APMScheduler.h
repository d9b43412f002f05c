// APMScheduler: the analytics engine's one serial worker queue, onto which all measurement
// work is handed under a block identifier, and the check that a method runs off the main
// thread.
#pragma once

#include <string>

#include "platform/dispatch.h"

class APMScheduler {
 public:
  // The platform's serial queues all draw on one shared worker pool, so the queue has no
  // priority of its own to lower.
  explicit APMScheduler(std::string label);

  // An empty block is not dispatched and is logged with the identifier.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, platform::Task block);
  // Returns once the block has run. Called from a block already on the worker queue, it runs
  // the block there and then, instead of waiting on itself for ever.
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const platform::Task& block);

  const platform::QueuePtr& workerQueue() const { return workerQueue_; }

  // False, after a monitor line, on the main thread; true elsewhere. A diagnostic only:
  // callers go on with their work either way.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

 private:
  const platform::QueuePtr workerQueue_;
};
