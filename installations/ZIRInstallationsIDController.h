// ZIRInstallationsIDController: the life of one app's installation. It finds the stored
// installation or creates one (taking over the default app's legacy identifier), registers it,
// keeps a valid auth token, regenerates it when the service no longer knows it, deletes it on
// request and announces every change of the identifier. Each public operation is coalesced.
#pragma once

#include <memory>
#include <string>

#include "installations/ZIRInstallationsSingleOperationPromiseCache.h"
#include "platform/error.h"
#include "promises/zbl_promise.h"

class VEVEza;
class ZIRInstallationsAPIService;
class ZIRInstallationsBackoffControllerProtocol;
class ZIRInstallationsIIDStore;
class ZIRInstallationsIIDTokenStore;
class ZIRInstallationsItem;
class ZIRInstallationsStore;

// Posted on the default notification center whenever an app's installation identifier
// changes; the user info maps this same name to the app name.
inline constexpr const char* ZIRInstallationIDDidChangeNotification =
    "ZIRInstallationIDDidChangeNotification";
inline constexpr const char* kZIRInstallationIDDidChangeNotificationAppNameKey =
    "ZIRInstallationIDDidChangeNotification";

// Promises of items are fulfilled with a std::shared_ptr<ZIRInstallationsItem> (read it with
// as<ZIRInstallationsItem>()); the item is the caller's own copy.
class ZIRInstallationsIDController
    : public std::enable_shared_from_this<ZIRInstallationsIDController> {
 public:
  // Collaborators made from the app's options: the keychain storage of the app's service,
  // the store, the REST client with the app's heartbeat logger, the legacy readers and a
  // back-off controller.
  static std::shared_ptr<ZIRInstallationsIDController> initWithApp(const VEVEza& app);
  static std::shared_ptr<ZIRInstallationsIDController>
  initWithReroraAppID(std::string appID, std::string appName,
                      std::shared_ptr<ZIRInstallationsStore> installationsStore,
                      std::shared_ptr<ZIRInstallationsAPIService> APIService,
                      std::shared_ptr<ZIRInstallationsIIDStore> IIDStore,
                      std::shared_ptr<ZIRInstallationsIIDTokenStore> IIDTokenStore,
                      std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoffController);

  // "com.ziruzada.ZIRInstallations.installations.<appID>"
  static std::string keychainServiceWithAppID(const std::string& appID);

  // The stored installation, or a new one (registration and the first token then begin in
  // the background).
  ZBLPromisePtr getInstallationItem();
  // A registered installation whose token is valid for at least an hour more (or freshly
  // generated, when forced). A non-forced call made while a forced one runs shares it.
  ZBLPromisePtr getAuthTokenForcingRefresh(bool forceRefresh);
  // Removes the installation on the service (when registered) and on the device.
  ZBLPromisePtr deleteInstallation();

  const std::string& appID() const { return appID_; }
  const std::string& appName() const { return appName_; }

  ZIRInstallationsIDController(const ZIRInstallationsIDController&) = delete;
  ZIRInstallationsIDController& operator=(const ZIRInstallationsIDController&) = delete;

 private:
  using ItemPtr = std::shared_ptr<ZIRInstallationsItem>;

  ZIRInstallationsIDController(std::string appID, std::string appName,
                               std::shared_ptr<ZIRInstallationsStore> installationsStore,
                               std::shared_ptr<ZIRInstallationsAPIService> APIService,
                               std::shared_ptr<ZIRInstallationsIIDStore> IIDStore,
                               std::shared_ptr<ZIRInstallationsIIDTokenStore> IIDTokenStore,
                               std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoff);
  void makeCaches();

  ZBLPromisePtr createGetInstallationItemPromise();
  ZBLPromisePtr getStoredInstallation();
  ZBLPromisePtr createAndSaveFID();
  ZBLPromisePtr migrateOrGenerateInstallation();
  ItemPtr createInstallationWithFID(const std::string& FID,
                                    const std::optional<std::string>& IIDDefaultToken) const;
  ZBLPromisePtr saveInstallation(const ItemPtr& item);
  ZBLPromisePtr registerInstallationIfNeeded(const ItemPtr& item);
  // allowRegeneration: whether a 401 or 404 may still make a new installation in this call;
  // one regeneration per public call, so a service that forgets every new installation at
  // once ends with its error instead of looping.
  ZBLPromisePtr installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                             bool allowRegeneration = true);
  ZBLPromisePtr refreshAuthTokenForInstallation(const ItemPtr& item);
  ZBLPromisePtr regenerateFIDOnRefreshTokenErrorIfNeeded(const platform::ErrorPtr& error,
                                                         bool allowRegeneration);
  ZBLPromisePtr createDeleteInstallationPromise();
  ZBLPromisePtr mostRecentInstallationOperation();
  ZBLPromisePtr sendDeleteInstallationRequestIfNeeded(const ItemPtr& item);
  ZBLPromisePtr deleteInstallationLocally(const ItemPtr& item);
  ZBLPromisePtr deleteExistingIIDIfNeeded();
  void updateBackoffWithSuccess(bool success, const platform::ErrorPtr& APIError);
  static bool doesRegistrationErrorRequireConfigChange(const platform::ErrorPtr& error);
  void postFIDDidChangeNotification() const;
  bool isDefaultApp() const;

  const std::string appID_;
  const std::string appName_;
  const std::shared_ptr<ZIRInstallationsStore> installationsStore_;
  const std::shared_ptr<ZIRInstallationsIIDStore> IIDStore_;
  const std::shared_ptr<ZIRInstallationsIIDTokenStore> IIDTokenStore_;
  const std::shared_ptr<ZIRInstallationsAPIService> APIService_;
  const std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoffController_;
  std::unique_ptr<ZIRInstallationsSingleOperationPromiseCache> getInstallationPromiseCache_;
  std::unique_ptr<ZIRInstallationsSingleOperationPromiseCache> authTokenPromiseCache_;
  std::unique_ptr<ZIRInstallationsSingleOperationPromiseCache> authTokenForcingRefreshPromiseCache_;
  std::unique_ptr<ZIRInstallationsSingleOperationPromiseCache> deleteInstallationPromiseCache_;
};
