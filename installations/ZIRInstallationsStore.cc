#include "installations/ZIRInstallationsStore.h"

#include <utility>

#include "installations/ZIRInstallationsErrors.h"

namespace {

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
  return text && !text->empty() ? std::move(text) : std::nullopt;
}

// On the store's queue: true writes the marker, false removes it. Free of the store, so that
// a chain may still run it after the store is gone.
ZBLPromisePtr setMarker(const platform::QueuePtr& queue,
                        const std::shared_ptr<ZULUserDefaults>& defaults, bool exists,
                        const std::string& identifier) {
  return ZBLPromise::do_(queue, [defaults, exists, identifier]() -> ZBLObject {
    if (exists) {
      defaults->setBool(true, identifier);
    } else {
      defaults->removeObjectForKey(identifier);
    }
    return ZBLObject::null();
  });
}

}  // namespace

ZIRInstallationsStore::ZIRInstallationsStore(std::shared_ptr<ZULKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(secureStorage)), accessGroup_(nonEmpty(std::move(accessGroup))),
      queue_(platform::Queue::serial("com.ziruzada.ZIRInstallationsStore")),
      userDefaults_(std::make_shared<ZULUserDefaults>(
          accessGroup_.value_or(ZIRInstallationsStoreUserDefaultsSuite))) {
  ZIRInstallationsRegisterStoredRecordClasses();
}

ZBLPromisePtr ZIRInstallationsStore::installationForAppID(const std::string& appID,
                                                          const std::string& appName) {
  const std::string identifier = ZIRInstallationsItem::identifierWithAppID(appID, appName);
  return installationExistsForAppID(appID, appName)
      ->then([secureStorage = secureStorage_, accessGroup = accessGroup_,
              identifier](const ZBLObject&) -> ZBLObject {
        return secureStorage->getObjectForKey(identifier, ZIRInstallationsStoredItemClassName,
                                              accessGroup);
      })
      ->then([appID, appName](const ZBLObject& object) -> ZBLObject {
        // The cache answers whatever it holds under the key, so the class is checked here.
        const auto stored = std::dynamic_pointer_cast<ZIRInstallationsStoredItem>(
            object.as<platform::SecureCodingObject>());
        if (!stored) {
          return ZIRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        }
        auto item = std::make_shared<ZIRInstallationsItem>(appID, appName);
        item->updateWithStoredItem(*stored);
        return item;
      });
}

ZBLPromisePtr ZIRInstallationsStore::saveInstallation(
    const std::shared_ptr<const ZIRInstallationsItem>& installationItem) {
  const std::string identifier = installationItem->identifier();
  platform::SecureCodingPtr record = installationItem->storedItem();
  auto defaults = userDefaults_;
  auto queue = queue_;
  return secureStorage_->setObject(record, identifier, accessGroup_)
      ->then([defaults, queue, identifier](const ZBLObject&) -> ZBLObject {
        return setMarker(queue, defaults, true, identifier);
      });
}

ZBLPromisePtr ZIRInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                                const std::string& appName) {
  const std::string identifier = ZIRInstallationsItem::identifierWithAppID(appID, appName);
  auto defaults = userDefaults_;
  auto queue = queue_;
  return secureStorage_->removeObjectForKey(identifier, accessGroup_)
      ->then([defaults, queue, identifier](const ZBLObject&) -> ZBLObject {
        return setMarker(queue, defaults, false, identifier);
      });
}

ZBLPromisePtr ZIRInstallationsStore::installationExistsForAppID(const std::string& appID,
                                                                const std::string& appName) {
  const std::string identifier = ZIRInstallationsItem::identifierWithAppID(appID, appName);
  return ZBLPromise::do_(
      queue_, [defaults = userDefaults_, identifier, appID, appName]() -> ZBLObject {
        if (defaults->objectForKey(identifier)) return ZBLObject::null();
        return ZIRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
      });
}

ZBLPromisePtr ZIRInstallationsStore::setInstallationExists(bool exists,
                                                           const std::string& identifier) {
  return setMarker(queue_, userDefaults_, exists, identifier);
}
