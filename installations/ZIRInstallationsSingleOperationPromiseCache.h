// ZIRInstallationsSingleOperationPromiseCache: coalesces one kind of operation, so that every
// caller who asks while it runs gets the promise of the run already under way.
#pragma once

#include <functional>
#include <mutex>

#include "promises/zbl_promise.h"

class ZIRInstallationsSingleOperationPromiseCache {
 public:
  using NewOperationHandler = std::function<ZBLPromisePtr()>;

  // Raises "NSInvalidArgumentException" for an empty handler.
  explicit ZIRInstallationsSingleOperationPromiseCache(NewOperationHandler newOperationHandler);

  // The running operation's promise, or a new run's when idle. The cache turns idle again
  // once that promise settles (its observers run on the promise default queue). A handler
  // that yields no promise leaves the cache idle and gives none.
  ZBLPromisePtr getExistingPendingOrCreateNewPromise();
  // The running operation's promise; none when idle.
  ZBLPromisePtr getExistingPendingPromise();

  ZIRInstallationsSingleOperationPromiseCache(const ZIRInstallationsSingleOperationPromiseCache&) =
      delete;
  ZIRInstallationsSingleOperationPromiseCache&
  operator=(const ZIRInstallationsSingleOperationPromiseCache&) = delete;

 private:
  struct State {
    std::mutex mutex;
    ZBLPromisePtr pendingPromise;
  };

  const NewOperationHandler newOperationHandler_;
  // Shared with the observers, which may run after the cache is gone.
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};
