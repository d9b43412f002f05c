#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"

#include <set>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"

namespace {

// The first firing after a start comes this soon, whatever the interval.
constexpr double kFirstFiringDelaySeconds = 0.5;

double seconds(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e9; }

}  // namespace

std::shared_ptr<RDTCORUploadCoordinator> RDTCORUploadCoordinator::sharedInstance() {
  // Kept until exit: its timer and the store that holds it live as long as the process.
  static const auto* shared = [] {
    auto* coordinator =
        new std::shared_ptr<RDTCORUploadCoordinator>(std::make_shared<RDTCORUploadCoordinator>());
    (*coordinator)->startTimer();
    return coordinator;
  }();
  return *shared;
}

RDTCORUploadCoordinator::RDTCORUploadCoordinator()
    : coordinationQueue_(platform::Queue::serial("com.rerora.RDTCORUploadCoordinator")),
      registrar_(RDTCORRegistrar::sharedInstance()) {}

std::shared_ptr<RDTCORRegistrar> RDTCORUploadCoordinator::registrar() const {
  std::lock_guard lock(registrarMutex_);
  return registrar_;
}

void RDTCORUploadCoordinator::setRegistrar(std::shared_ptr<RDTCORRegistrar> registrar) {
  std::lock_guard lock(registrarMutex_);
  registrar_ = std::move(registrar);
}

bool RDTCORUploadCoordinator::hasTimer() const {
  bool running = false;
  coordinationQueue_->sync([&] { running = timer_ != nullptr; });
  return running;
}

void RDTCORUploadCoordinator::forceUploadForTarget(RDTCORTarget target) {
  coordinationQueue_->async([weak = weak_from_this(), target] {
    const auto self = weak.lock();
    if (!self) return;
    RDTCORLogDebug("Forcing an upload of target %ld", {target});
    self->uploadTargets({target}, self->uploadConditions() | RDTCORUploadConditionHighPriority);
  });
}

void RDTCORUploadCoordinator::startTimer() {
  coordinationQueue_->async([weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->timer_) return;
    self->timer_ = platform::TimerSource::create(self->coordinationQueue_);
    self->timer_->setTimer(kFirstFiringDelaySeconds, seconds(self->timerInterval_),
                           seconds(self->timerLeeway_));
    // No foreground notification comes on this platform, so every firing drops what expired
    // before any upload can take it: the sweep is queued on the store's queue ahead of the
    // batches the uploaders will ask for. Not at the start itself: the shared coordinator is
    // made inside the shared store's creation, before that store registers itself.
    self->timer_->setEventHandler([weak] {
      const auto self = weak.lock();
      if (!self) return;
      self->signalToStoragesToCheckExpirations();
      if (RDTCORApplication::sharedApplication()->isRunningInBackground()) return;
      const RDTCORUploadConditions conditions = self->uploadConditions();
      RDTCORLogDebug("Upload timer fired");
      std::vector<RDTCORTarget> targets;
      for (const auto& [target, uploader] : self->registrar()->targetToUploader()) {
        targets.push_back(target);
      }
      self->uploadTargets(targets, conditions);
    });
    RDTCORLogDebug("Upload timer started");
    self->timer_->resume();
  });
}

void RDTCORUploadCoordinator::stopTimer() {
  // Inline when queued by the lifecycle, which already runs on the queue.
  coordinationQueue_->sync([this] {
    if (!timer_) return;
    timer_->cancel();
    timer_.reset();
  });
}

void RDTCORUploadCoordinator::uploadTargets(const std::vector<RDTCORTarget>& targets,
                                            RDTCORUploadConditions conditions) {
  coordinationQueue_->async([weak = weak_from_this(), targets, conditions] {
    const auto self = weak.lock();
    if (!self) return;
    if (conditions & RDTCORUploadConditionNoNetwork) return;
    const auto uploaders = self->registrar()->targetToUploader();
    for (const RDTCORTarget target : targets) {
      const auto found = uploaders.find(target);
      if (found != uploaders.end()) found->second->uploadTarget(target, conditions);
    }
  });
}

RDTCORUploadConditions RDTCORUploadCoordinator::uploadConditions() const {
  const platform::NetworkReachabilityFlags flags = RDTCORReachability::currentFlags();
  if (!RDTCORFlagsSayReachable(flags)) return RDTCORUploadConditionNoNetwork;
  return RDTCORFlagsSayCellular(flags) ? RDTCORUploadConditionMobileData
                                       : RDTCORUploadConditionWifiData;
}

void RDTCORUploadCoordinator::signalToStoragesToCheckExpirations() {
  // One store serves several targets; each sweeps once.
  std::set<const RDTCORStorageProtocol*> signalled;
  for (const auto& [target, storage] : registrar()->targetToStorage()) {
    if (signalled.insert(storage.get()).second) storage->checkForExpirations();
  }
}

std::shared_ptr<RDTCORStorageProtocol>
RDTCORUploadCoordinator::storageForTarget(RDTCORTarget target) const {
  const auto storages = registrar()->targetToStorage();
  const auto found = storages.find(target);
  if (found == storages.end()) {
    RDTCORAssert(false, "A storage must be registered for target %@", {target});
    return nullptr;
  }
  return found->second;
}

void RDTCORUploadCoordinator::appWillForeground(const RDTCORApplicationPtr&) {
  startTimer();
  signalToStoragesToCheckExpirations();
}

void RDTCORUploadCoordinator::appWillBackground(const RDTCORApplicationPtr&) {
  coordinationQueue_->async([weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->stopTimer();
  });
}

void RDTCORUploadCoordinator::appWillTerminate(const RDTCORApplicationPtr&) {
  coordinationQueue_->async([weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->stopTimer();
  });
}
