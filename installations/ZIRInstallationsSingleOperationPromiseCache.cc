#include "installations/ZIRInstallationsSingleOperationPromiseCache.h"

#include <utility>

#include "platform/error.h"

ZIRInstallationsSingleOperationPromiseCache::ZIRInstallationsSingleOperationPromiseCache(
    NewOperationHandler newOperationHandler)
    : newOperationHandler_(std::move(newOperationHandler)) {
  if (!newOperationHandler_) {
    throw platform::Exception("NSInvalidArgumentException",
                              "`newOperationHandler` must not be `nil`.");
  }
}

ZBLPromisePtr ZIRInstallationsSingleOperationPromiseCache::getExistingPendingOrCreateNewPromise() {
  std::lock_guard lock(state_->mutex);
  if (state_->pendingPromise) return state_->pendingPromise;
  ZBLPromisePtr promise = newOperationHandler_();
  if (!promise) return nullptr;
  state_->pendingPromise = promise;
  // Held weakly: a settled promise must not keep itself alive through its own observers.
  const std::weak_ptr<State> weakState = state_;
  const std::weak_ptr<ZBLPromise> weakPromise = promise;
  auto clear = [weakState, weakPromise] {
    const std::shared_ptr<State> state = weakState.lock();
    if (!state) return;
    std::lock_guard clearLock(state->mutex);
    // Only the run this observer belongs to may turn the cache idle.
    if (state->pendingPromise == weakPromise.lock()) state->pendingPromise = nullptr;
  };
  promise->observeOnQueue(
      ZBLPromise::defaultDispatchQueue(), [clear](const ZBLObject&) { clear(); },
      [clear](const platform::ErrorPtr&) { clear(); });
  return promise;
}

ZBLPromisePtr ZIRInstallationsSingleOperationPromiseCache::getExistingPendingPromise() {
  std::lock_guard lock(state_->mutex);
  return state_->pendingPromise;
}
