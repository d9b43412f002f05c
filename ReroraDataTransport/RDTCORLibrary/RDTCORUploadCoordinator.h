// RDTCORUploadCoordinator: decides when uploads are attempted: a repeating timer asks every
// registered uploader to upload under the current network conditions, and a stored tier-4
// event forces an upload of its target.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"
#include "platform/dispatch.h"

class RDTCORRegistrar;
class RDTCORStorageProtocol;

// A bit set describing the network when an upload is asked for.
using RDTCORUploadConditions = std::int64_t;
inline constexpr RDTCORUploadConditions RDTCORUploadConditionNoNetwork = 1;
inline constexpr RDTCORUploadConditions RDTCORUploadConditionMobileData = 2;
inline constexpr RDTCORUploadConditions RDTCORUploadConditionWifiData = 4;
inline constexpr RDTCORUploadConditions RDTCORUploadConditionHighPriority = 16;

// Uploads the stored events of a target.
class RDTCORUploader : public virtual RDTCORLifecycleProtocol {
 public:
  virtual void uploadTarget(RDTCORTarget target, RDTCORUploadConditions conditions) = 0;
};

class RDTCORUploadCoordinator : public RDTCORLifecycleProtocol,
                                public std::enable_shared_from_this<RDTCORUploadCoordinator> {
 public:
  // Created once, its timer started right after.
  static std::shared_ptr<RDTCORUploadCoordinator> sharedInstance();

  void forceUploadForTarget(RDTCORTarget target);
  void startTimer();
  void stopTimer();
  void uploadTargets(const std::vector<RDTCORTarget>& targets, RDTCORUploadConditions conditions);
  // 4 on a reachable network (no mobile links here), else 1.
  RDTCORUploadConditions uploadConditions() const;
  // Each distinct registered store sweeps once.
  void signalToStoragesToCheckExpirations();
  // Asserts and answers nullptr when no store is registered for the target.
  std::shared_ptr<RDTCORStorageProtocol> storageForTarget(RDTCORTarget target) const;

  void appWillForeground(const RDTCORApplicationPtr& application) override;
  void appWillBackground(const RDTCORApplicationPtr& application) override;
  void appWillTerminate(const RDTCORApplicationPtr& application) override;

  const platform::QueuePtr& coordinationQueue() const { return coordinationQueue_; }
  std::uint64_t timerInterval() const { return timerInterval_; }
  void setTimerInterval(std::uint64_t nanoseconds) { timerInterval_ = nanoseconds; }
  std::uint64_t timerLeeway() const { return timerLeeway_; }
  void setTimerLeeway(std::uint64_t nanoseconds) { timerLeeway_ = nanoseconds; }
  std::shared_ptr<RDTCORRegistrar> registrar() const;
  void setRegistrar(std::shared_ptr<RDTCORRegistrar> registrar);
  // Whether the timer runs (read on the coordination queue).
  bool hasTimer() const;

  // Use sharedInstance; public only for make_shared and tests.
  RDTCORUploadCoordinator();

 private:
  platform::QueuePtr coordinationQueue_;
  // Touched only on coordinationQueue_.
  std::shared_ptr<platform::TimerSource> timer_;
  std::uint64_t timerInterval_ = 30'000'000'000;
  std::uint64_t timerLeeway_ = 5'000'000'000;
  mutable std::mutex registrarMutex_;
  std::shared_ptr<RDTCORRegistrar> registrar_;
};
