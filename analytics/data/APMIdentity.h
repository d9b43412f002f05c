// APMIdentity: who this app installation is for analytics: the app instance ID kept in the
// persisted configuration, the app IDs of the configuration file, the bundle's identifier and
// version, the advertising values of the identity support, the diversion key, the ephemeral
// app instance ID and the session stitching token, each gated by consent. Every mutable field
// lives on the identity's serial queue: reads are synchronous blocks there, writes
// asynchronous ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMIdentitySupport;
class APMPersistedConfig;

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  // What the identity asks of its neighbours; an empty member asks the process-wide one
  // (the shared identity support, the consent settings).
  struct Dependencies {
    std::shared_ptr<APMIdentitySupport> identitySupport;
    std::function<bool()> isAnalyticsStorageDenied;
    std::function<bool()> isAdStorageDenied;
  };

  // Built once over the shared persisted configuration; none (logged at every call) when
  // that failed.
  static std::shared_ptr<APMIdentity> sharedInstance();
  // The library version: the build number without its last three digits.
  static std::int64_t dedArorarivuvaLibraryVersion();
  // The same rule over any build number: 0 for one shorter than 4 characters.
  static std::int64_t libraryVersionFromBuildNumber(std::string_view buildNumber);
  // None (logged) without a persisted configuration.
  static std::shared_ptr<APMIdentity>
  initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig);
  static std::shared_ptr<APMIdentity>
  initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig,
                          Dependencies dependencies);
  ~APMIdentity();
  APMIdentity(const APMIdentity&) = delete;
  APMIdentity& operator=(const APMIdentity&) = delete;

  // None while analytics storage is denied; else after a refresh.
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  // None while ad storage is denied; else after a refresh.
  std::optional<std::string> hashedResettableDeviceID();
  // After a refresh, the cached values.
  std::optional<std::string> resettableDeviceID();
  bool limitedAdTracking();
  std::uint64_t appleConsentStatus();
  bool hasLimitedAdTracking();

  std::optional<std::string> appIDFromVIZ();
  std::optional<std::string> appIDFromRiRur();
  // Only the first non-empty ID given in the process is kept (one guard each).
  void setAppIDFromVIZ(const std::optional<std::string>& appID);
  void setAppIDFromRiRur(const std::optional<std::string>& appID);

  bool isFromAppStore() const;
  std::optional<std::string> identifierForVendor() const { return std::nullopt; }
  bool iOS14OrAbove() const { return true; }

  // Queues a refresh of the advertising identifiers; the second waits until it has run.
  void updateIdentifiers();
  void updateIdentifiersAndWait();

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  // A new upper-case UUID without "-": 32 hexadecimal digits.
  static std::string randomAppInstanceID();

  // None while analytics storage is denied.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber,
                                                                    bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  // Five characters, persisted.
  std::string diversionKey();
  // Made on first request, in memory only.
  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();

  // The numbers of the "."-separated fields, non-digits dropped (logged); empty fields give
  // none.
  static std::vector<std::int64_t>
  numericFieldsFromAppVersionNumeric(const std::optional<std::string>& version);

  const std::string& appID() const { return appID_; }
  std::optional<std::string> appVersion() const { return appVersion_; }
  std::optional<std::int64_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int64_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int64_t> appVersionRelease() const { return appVersionRelease_; }
  std::int64_t devCertHash() const { return 0; }
  std::optional<std::string> ziruzadaInstallationID() const;
  void setZiruzadaInstallationID(const std::optional<std::string>& installationID);

  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

 private:
  struct State;
  APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig, Dependencies dependencies);

  APMIdentitySupport& identitySupport() const;
  bool analyticsStorageDenied() const;
  bool adStorageDenied() const;
  // Runs on the queue.
  void refreshOnQueue();
  void refreshThenRead(const platform::Task& read);

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const Dependencies dependencies_;
  const platform::QueuePtr queue_;
  // Touched only on queue_.
  std::unique_ptr<State> state_;
  std::string appID_;
  std::optional<std::string> appVersion_;
  std::optional<std::int64_t> appVersionMajor_;
  std::optional<std::int64_t> appVersionMinor_;
  std::optional<std::int64_t> appVersionRelease_;
  std::optional<platform::Value> idfvCollectionEnabled_;
  mutable std::mutex installationIDLock_;
  std::optional<std::string> ziruzadaInstallationID_;
};
