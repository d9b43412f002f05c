// APMIdentitySupport: the advertising-identity facts (tracking consent status, limited ad
// tracking, the resettable device identifier) that an optional platform component answers,
// and APMDefaultIdentitySupport, which asks that component when one is linked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/object_runtime.h"

class APMIdentitySupport : public platform::Object {
 public:
  virtual bool hasAppDataConsentStatus() = 0;
  virtual std::uint64_t appDataConsentStatus() = 0;
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  virtual std::optional<std::string> resettableDeviceID() = 0;
};

// The class looked up by name for the platform component, and the class method that hands
// out its shared instance.
inline constexpr const char* kAPMPlatformIdentitySupportClassName = "APMPlatformIdentitySupport";
inline constexpr const char* kAPMIdentitySupportSharedInstanceSelector = "sharedInstance";
using APMIdentitySupportSharedInstance = std::shared_ptr<platform::Object>();

// The identifier a component gives when the user limited ad tracking.
inline constexpr const char* kAPMZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";

class APMDefaultIdentitySupport : public APMIdentitySupport,
                                  public std::enable_shared_from_this<APMDefaultIdentitySupport> {
 public:
  // The one instance, made on first use over the component found by name.
  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Looks the component up by class name and keeps it when it conforms.
  static std::shared_ptr<APMDefaultIdentitySupport> init();
  // Over a given component (null: none linked). Logs which dependencies are linked.
  explicit APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> platformIdentitySupport);
  ~APMDefaultIdentitySupport() override;

  static bool iOS14OrAbove() { return true; }

  bool hasAppDataConsentStatus() override;
  // All bits set without a component.
  std::uint64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // True for no identifier or the all-zero one.
  bool limitedAdTracking() override;
  // Fetched from the component on the instance's serial queue; a caller waits at most 10 ms
  // and otherwise gets the identifier of an earlier fetch.
  std::optional<std::string> resettableDeviceID() override;

  const std::shared_ptr<APMIdentitySupport>& platformIdentitySupport() const {
    return platformIdentitySupport_;
  }

 private:
  const std::shared_ptr<APMIdentitySupport> platformIdentitySupport_;
  std::recursive_mutex lock_;
  std::optional<std::string> resettableDeviceID_;
  const platform::QueuePtr queue_;
};
