// Operation and OperationQueue: units of work run on the shared workers, a bounded number at
// a time, in the order added once their dependencies are done; suspendable and cancellable.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"

namespace platform {

namespace detail {
struct OperationAccess;
}

// One unit of work. The base class runs the block it was made with; subclasses override
// main(). A synchronous operation finishes when main() returns; an asynchronous one
// (isAsynchronous() returns true) stays executing until it calls finish().
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation();
  explicit Operation(Task block);
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs main() on the calling thread, or, if cancelled already, finishes without it.
  // Does nothing once started. Queues call this; call it yourself only for an operation
  // that is in no queue.
  void start();
  virtual void main();
  virtual bool isAsynchronous() const { return false; }
  // Ends the operation: marks it finished, runs the completion block, then lets dependent
  // operations and its queue go on. Later calls do nothing.
  void finish();

  // Pending operations then finish without running main(); a running one sees
  // isCancelled() and decides itself whether to stop early.
  void cancel();
  bool isCancelled() const;
  bool isExecuting() const;
  bool isFinished() const;
  // Cancelled, or every dependency has finished.
  bool isReady() const;

  void addDependency(const std::shared_ptr<Operation>& operation);
  void removeDependency(const std::shared_ptr<Operation>& operation);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  // Runs once, on the thread that finishes the operation, and is released afterwards.
  void setCompletionBlock(Task block);

  // Returns once the operation finished and its completion block returned.
  void waitUntilFinished();

 private:
  friend struct detail::OperationAccess;
  struct State;
  std::unique_ptr<State> state_;
};

// Starts added operations on the shared workers: in the order added, skipping those whose
// dependencies are not done, at most maxConcurrentOperationCount at a time (1 makes it
// serial). Destroying the queue lets started operations finish and starts the rest as slots
// free up; operations still held back then (suspended queue, unfinished dependencies) are
// dropped.
class OperationQueue {
 public:
  static constexpr long kDefaultMaxConcurrentOperationCount = -1;  // no limit

  OperationQueue();
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  std::string name() const;
  void setName(std::string name);
  long maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(long count);

  // Throws Exception "NSInvalidArgumentException" for an operation that is already in a
  // queue, executing or finished.
  void addOperation(std::shared_ptr<Operation> operation);
  void addOperationWithBlock(Task block);

  // A suspended queue starts nothing new; running operations go on.
  void setSuspended(bool suspended);
  bool isSuspended() const;

  void cancelAllOperations();
  // Blocks until no operation is waiting or executing (completion blocks included).
  void waitUntilAllOperationsAreFinished();
  // Operations waiting or executing.
  std::size_t operationCount() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
