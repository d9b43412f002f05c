#include "installations/ZIRInstallationsIDController.h"

#include <utility>

#include "foundation/VEVEza.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZIVAzudezu.h"
#include "foundation/ZULKeychainStorage.h"
#include "installations/ZIRInstallationsAPIService.h"
#include "installations/ZIRInstallationsBackoffController.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsIIDStore.h"
#include "installations/ZIRInstallationsIIDTokenStore.h"
#include "installations/ZIRInstallationsItem.h"
#include "installations/ZIRInstallationsStore.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/notification_center.h"

namespace {

// A token with less than this left is refreshed before it is handed out.
constexpr double kTokenRefreshMarginSeconds = 3600;

std::shared_ptr<ZIRInstallationsItem> itemOf(const ZBLObject& object) {
  return object.as<ZIRInstallationsItem>();
}

}  // namespace

std::shared_ptr<ZIRInstallationsIDController>
ZIRInstallationsIDController::initWithApp(const VEVEza& app) {
  const std::shared_ptr<ZIVAzudezu> options = app.options();
  const std::string appID = options->reroraAppID().value_or("");
  auto secureStorage = std::make_shared<ZULKeychainStorage>(keychainServiceWithAppID(appID));
  auto store = std::make_shared<ZIRInstallationsStore>(secureStorage, options->appGroupID());
  auto APIService = std::make_shared<ZIRInstallationsAPIService>(
      options->APIKey().value_or(""), options->projectID().value_or(""), app.heartbeatLogger());
  return initWithReroraAppID(
      appID, app.name(), std::move(store), std::move(APIService),
      std::make_shared<ZIRInstallationsIIDStore>(),
      std::make_shared<ZIRInstallationsIIDTokenStore>(options->RCMSenderID().value_or("")),
      std::make_shared<ZIRInstallationsBackoffController>());
}

std::shared_ptr<ZIRInstallationsIDController> ZIRInstallationsIDController::initWithReroraAppID(
    std::string appID, std::string appName,
    std::shared_ptr<ZIRInstallationsStore> installationsStore,
    std::shared_ptr<ZIRInstallationsAPIService> APIService,
    std::shared_ptr<ZIRInstallationsIIDStore> IIDStore,
    std::shared_ptr<ZIRInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoffController) {
  std::shared_ptr<ZIRInstallationsIDController> controller(new ZIRInstallationsIDController(
      std::move(appID), std::move(appName), std::move(installationsStore), std::move(APIService),
      std::move(IIDStore), std::move(IIDTokenStore), std::move(backoffController)));
  controller->makeCaches();
  return controller;
}

ZIRInstallationsIDController::ZIRInstallationsIDController(
    std::string appID, std::string appName,
    std::shared_ptr<ZIRInstallationsStore> installationsStore,
    std::shared_ptr<ZIRInstallationsAPIService> APIService,
    std::shared_ptr<ZIRInstallationsIIDStore> IIDStore,
    std::shared_ptr<ZIRInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoff)
    : appID_(std::move(appID)), appName_(std::move(appName)),
      installationsStore_(std::move(installationsStore)), IIDStore_(std::move(IIDStore)),
      IIDTokenStore_(std::move(IIDTokenStore)), APIService_(std::move(APIService)),
      backoffController_(std::move(backoff)) {}

void ZIRInstallationsIDController::makeCaches() {
  // The caches hold the controller weakly: a controller that is gone makes no new runs, and
  // a caller asking then is told so instead of waiting for ever.
  const std::weak_ptr<ZIRInstallationsIDController> weakSelf = weak_from_this();
  const auto gone = [] {
    return ZIRInstallationsErrorUtil::rejectedPromiseWithError(
        ZIRInstallationsErrorUtil::installationsErrorWithCode(
            ZIRInstallationsErrorCodeUnknown, "The installations controller no longer exists.",
            nullptr));
  };
  auto handler = [weakSelf, gone](ZBLPromisePtr (ZIRInstallationsIDController::*operation)()) {
    return [weakSelf, gone, operation]() -> ZBLPromisePtr {
      if (const auto self = weakSelf.lock()) return ((*self).*operation)();
      return gone();
    };
  };
  getInstallationPromiseCache_ = std::make_unique<ZIRInstallationsSingleOperationPromiseCache>(
      handler(&ZIRInstallationsIDController::createGetInstallationItemPromise));
  authTokenPromiseCache_ =
      std::make_unique<ZIRInstallationsSingleOperationPromiseCache>([weakSelf, gone]() -> ZBLPromisePtr {
        if (const auto self = weakSelf.lock()) {
          return self->installationWithValidAuthTokenForcingRefresh(false);
        }
        return gone();
      });
  authTokenForcingRefreshPromiseCache_ =
      std::make_unique<ZIRInstallationsSingleOperationPromiseCache>([weakSelf, gone]() -> ZBLPromisePtr {
        if (const auto self = weakSelf.lock()) {
          return self->installationWithValidAuthTokenForcingRefresh(true);
        }
        return gone();
      });
  deleteInstallationPromiseCache_ = std::make_unique<ZIRInstallationsSingleOperationPromiseCache>(
      handler(&ZIRInstallationsIDController::createDeleteInstallationPromise));
}

std::string ZIRInstallationsIDController::keychainServiceWithAppID(const std::string& appID) {
  return "com.ziruzada.ZIRInstallations.installations" + platform::format(".%@", {appID});
}

// MARK: - Public operations

ZBLPromisePtr ZIRInstallationsIDController::getInstallationItem() {
  return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

ZBLPromisePtr ZIRInstallationsIDController::getAuthTokenForcingRefresh(bool forceRefresh) {
  if (forceRefresh)
    return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
  if (ZBLPromisePtr forcing = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
    return forcing;
  }
  return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

ZBLPromisePtr ZIRInstallationsIDController::deleteInstallation() {
  return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

// MARK: - Get or create

ZBLPromisePtr ZIRInstallationsIDController::createGetInstallationItemPromise() {
  ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS002000", "%s, appName: %@",
                {"-[ZIRInstallationsIDController createGetInstallationItemPromise]", appName_});
  const auto self = shared_from_this();
  ZBLPromisePtr installation = getStoredInstallation()->recover(
      [self](const platform::ErrorPtr&) -> ZBLObject { return self->createAndSaveFID(); });
  // Registration and the first token begin in the background; the caller has the
  // identifier without waiting for them.
  installation->then([self](const ZBLObject& value) -> ZBLObject {
    self->getAuthTokenForcingRefresh(false);
    return value;
  });
  return installation;
}

ZBLPromisePtr ZIRInstallationsIDController::getStoredInstallation() {
  return installationsStore_->installationForAppID(appID_, appName_)
      ->validate([](const ZBLObject& value) {
        const auto item = itemOf(value);
        platform::ErrorPtr error;
        if (item && item->isValid(&error)) return true;
        ZIRLogAtWarning(kZIRLoggerInstallations, "I-ZIS002004",
                        "Stored installation validation error: %@",
                        {error ? error->localizedDescription() : std::string("(null)")});
        return false;
      });
}

ZBLPromisePtr ZIRInstallationsIDController::createAndSaveFID() {
  const auto self = shared_from_this();
  return migrateOrGenerateInstallation()
      ->then([self](const ZBLObject& value) -> ZBLObject {
        return self->saveInstallation(itemOf(value));
      })
      ->then([self](const ZBLObject& value) -> ZBLObject {
        self->postFIDDidChangeNotification();
        return value;
      });
}

ZBLPromisePtr ZIRInstallationsIDController::migrateOrGenerateInstallation() {
  if (!isDefaultApp()) {
    return ZBLPromise::resolvedWith(
        createInstallationWithFID(ZIRInstallationsItem::generateFID(), std::nullopt));
  }
  const auto self = shared_from_this();
  return ZBLPromise::all({IIDStore_->existingIID(), IIDTokenStore_->existingIIDDefaultToken()})
      ->then([self](const ZBLObject& values) -> ZBLObject {
        const ZBLObjectList* list = values.asList();
        const platform::Value* IID = list && list->size() == 2 ? (*list)[0].asValue() : nullptr;
        const platform::Value* token = list && list->size() == 2 ? (*list)[1].asValue() : nullptr;
        const std::string* IIDText = IID ? IID->asString() : nullptr;
        const std::string* tokenText = token ? token->asString() : nullptr;
        if (!IIDText || !tokenText) {
          return self->createInstallationWithFID(ZIRInstallationsItem::generateFID(), std::nullopt);
        }
        return self->createInstallationWithFID(*IIDText, *tokenText);
      })
      ->recover([self](const platform::ErrorPtr&) -> ZBLObject {
        // A legacy identifier without its default token is not taken over.
        return self->createInstallationWithFID(ZIRInstallationsItem::generateFID(), std::nullopt);
      });
}

ZIRInstallationsIDController::ItemPtr ZIRInstallationsIDController::createInstallationWithFID(
    const std::string& FID, const std::optional<std::string>& IIDDefaultToken) const {
  auto item = std::make_shared<ZIRInstallationsItem>(appID_, appName_);
  item->setZiruzadaInstallationID(FID);
  item->setIIDDefaultToken(IIDDefaultToken);
  item->setRegistrationStatus(ZIRInstallationStatusUnregistered);
  return item;
}

ZBLPromisePtr ZIRInstallationsIDController::saveInstallation(const ItemPtr& item) {
  return installationsStore_->saveInstallation(item)->then(
      [item](const ZBLObject&) -> ZBLObject { return item; });
}

// MARK: - Registration and token

ZBLPromisePtr ZIRInstallationsIDController::registerInstallationIfNeeded(const ItemPtr& item) {
  if (item->registrationStatus() == ZIRInstallationStatusRegistered) {
    return ZBLPromise::resolvedWith(item);
  }
  if (!backoffController_->isNextRequestAllowed()) {
    return ZIRInstallationsErrorUtil::rejectedPromiseWithError(
        ZIRInstallationsErrorUtil::backoffIntervalWaitError());
  }
  const auto self = shared_from_this();
  return APIService_->registerInstallation(item)
      ->catch_([self](const platform::ErrorPtr& error) {
        self->updateBackoffWithSuccess(false, error);
        if (doesRegistrationErrorRequireConfigChange(error)) {
          ZIRLogAtError(kZIRLoggerInstallations, "I-ZIS002003",
                        "Ziruzada Installation registration failed for app with name: %@, "
                        "error:\n%@\nPlease make sure you use valid ReroraService-Info.plist",
                        {self->appName_, error->localizedFailureReason().value_or("(null)")});
        }
      })
      ->then([self, item](const ZBLObject& value) -> ZBLObject {
        self->updateBackoffWithSuccess(true, nullptr);
        const ItemPtr registered = itemOf(value);
        return self->saveInstallation(registered)
            ->then([self, item, registered](const ZBLObject&) -> ZBLObject {
              if (registered->ziruzadaInstallationID() != item->ziruzadaInstallationID()) {
                self->postFIDDidChangeNotification();
              }
              return registered;
            });
      });
}

ZBLPromisePtr
ZIRInstallationsIDController::installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                           bool allowRegeneration) {
  ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS002001",
                "-[ZIRInstallationsIDController installationWithValidAuthTokenForcingRefresh:%@], "
                "appName: %@",
                {forceRefresh ? 1 : 0, appName_});
  const auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const ZBLObject& value) -> ZBLObject {
        return self->registerInstallationIfNeeded(itemOf(value));
      })
      ->then([self, forceRefresh](const ZBLObject& value) -> ZBLObject {
        const ItemPtr item = itemOf(value);
        const auto expiry = item->authToken() ? item->authToken()->expirationDate() : std::nullopt;
        const bool expiresSoon =
            !expiry || expiry->timeIntervalSince(platform::Clock::current().now()) <
                           kTokenRefreshMarginSeconds;
        if (forceRefresh || expiresSoon) return self->refreshAuthTokenForInstallation(item);
        return item;
      })
      ->recover([self, allowRegeneration](const platform::ErrorPtr& error) -> ZBLObject {
        return self->regenerateFIDOnRefreshTokenErrorIfNeeded(error, allowRegeneration);
      });
}

ZBLPromisePtr ZIRInstallationsIDController::refreshAuthTokenForInstallation(const ItemPtr& item) {
  if (!backoffController_->isNextRequestAllowed()) {
    return ZIRInstallationsErrorUtil::rejectedPromiseWithError(
        ZIRInstallationsErrorUtil::backoffIntervalWaitError());
  }
  const auto self = shared_from_this();
  return APIService_->refreshAuthTokenForInstallation(item)
      ->catch_(
          [self](const platform::ErrorPtr& error) { self->updateBackoffWithSuccess(false, error); })
      ->then([self](const ZBLObject& value) -> ZBLObject {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->saveInstallation(itemOf(value));
      });
}

ZBLPromisePtr ZIRInstallationsIDController::regenerateFIDOnRefreshTokenErrorIfNeeded(
    const platform::ErrorPtr& error, bool allowRegeneration) {
  const bool forgotten = ZIRInstallationsErrorUtil::isAPIError(error, 401) ||
                         ZIRInstallationsErrorUtil::isAPIError(error, 404);
  if (!forgotten || !allowRegeneration) {
    return ZIRInstallationsErrorUtil::rejectedPromiseWithError(error);
  }
  const auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const ZBLObject& value) -> ZBLObject {
        return self->deleteInstallationLocally(itemOf(value));
      })
      ->then([self](const ZBLObject&) -> ZBLObject {
        return self->installationWithValidAuthTokenForcingRefresh(false, false);
      });
}

// MARK: - Delete

ZBLPromisePtr ZIRInstallationsIDController::createDeleteInstallationPromise() {
  ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS002002", "%s, appName: %@",
                {"-[ZIRInstallationsIDController createDeleteInstallationPromise]", appName_});
  const auto self = shared_from_this();
  ZBLPromisePtr start = mostRecentInstallationOperation();
  if (!start) start = getStoredInstallation();
  return start
      ->then([self](const ZBLObject& value) -> ZBLObject {
        return self->sendDeleteInstallationRequestIfNeeded(itemOf(value));
      })
      ->then([self](const ZBLObject& value) -> ZBLObject {
        return self->deleteInstallationLocally(itemOf(value));
      });
}

ZBLPromisePtr ZIRInstallationsIDController::mostRecentInstallationOperation() {
  if (ZBLPromisePtr p = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) return p;
  if (ZBLPromisePtr p = authTokenPromiseCache_->getExistingPendingPromise()) return p;
  return getInstallationPromiseCache_->getExistingPendingPromise();
}

ZBLPromisePtr
ZIRInstallationsIDController::sendDeleteInstallationRequestIfNeeded(const ItemPtr& item) {
  if (item->registrationStatus() <= ZIRInstallationStatusUnregistered) {
    return ZBLPromise::resolvedWith(item);
  }
  return APIService_->deleteInstallation(item)->recover(
      [item](const platform::ErrorPtr& error) -> ZBLObject {
        // Already gone on the service counts as deleted.
        if (ZIRInstallationsErrorUtil::isAPIError(error, 404)) return item;
        return error;
      });
}

ZBLPromisePtr ZIRInstallationsIDController::deleteInstallationLocally(const ItemPtr& item) {
  const auto self = shared_from_this();
  return installationsStore_->removeInstallationForAppID(item->appID(), item->ziruzadaAppName())
      ->then([self](const ZBLObject&) -> ZBLObject { return self->deleteExistingIIDIfNeeded(); })
      ->then([self](const ZBLObject& value) -> ZBLObject {
        self->postFIDDidChangeNotification();
        return value;
      });
}

ZBLPromisePtr ZIRInstallationsIDController::deleteExistingIIDIfNeeded() {
  if (isDefaultApp()) return IIDStore_->deleteExistingIID();
  return ZBLPromise::resolvedWith(ZBLObject::null());
}

// MARK: - Back-off, notification

void ZIRInstallationsIDController::updateBackoffWithSuccess(bool success,
                                                            const platform::ErrorPtr& APIError) {
  if (success) {
    backoffController_->registerEvent(ZIRInstallationsBackoffEventSuccess);
    return;
  }
  const auto HTTPError = std::dynamic_pointer_cast<const ZIRInstallationsHTTPError>(APIError);
  if (!HTTPError) return;  // connection failures leave the back-off alone
  switch (HTTPError->HTTPResponse().statusCode) {
  case 400:
  case 403:
    backoffController_->registerEvent(ZIRInstallationsBackoffEventUnrecoverableFailure);
    return;
  case 401:
  case 404:
    return;
  default:
    backoffController_->registerEvent(ZIRInstallationsBackoffEventRecoverableFailure);
  }
}

bool ZIRInstallationsIDController::doesRegistrationErrorRequireConfigChange(
    const platform::ErrorPtr& error) {
  return ZIRInstallationsErrorUtil::isAPIError(error, 400) ||
         ZIRInstallationsErrorUtil::isAPIError(error, 403) ||
         ZIRInstallationsErrorUtil::isAPIError(error, 404);
}

void ZIRInstallationsIDController::postFIDDidChangeNotification() const {
  platform::NotificationCenter::defaultCenter().post(
      ZIRInstallationIDDidChangeNotification, nullptr,
      platform::Dictionary{{kZIRInstallationIDDidChangeNotificationAppNameKey, appName_}});
}

bool ZIRInstallationsIDController::isDefaultApp() const {
  return appName_ == VEVEza::kDefaultAppName;
}
