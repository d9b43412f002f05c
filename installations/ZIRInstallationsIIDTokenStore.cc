#include "installations/ZIRInstallationsIIDTokenStore.h"

#include <utility>

#include "foundation/ZULKeychainStorage.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsIIDTokenInfo.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/keychain.h"

namespace {

platform::QueuePtr utilityQueue() { return platform::Queue::global(platform::Queue::QoS::Utility); }

}  // namespace

ZIRInstallationsIIDTokenStore::ZIRInstallationsIIDTokenStore(std::string RCMSenderID)
    : RCMSenderID_(std::move(RCMSenderID)) {}

ZBLPromisePtr ZIRInstallationsIIDTokenStore::existingIIDDefaultToken() const {
  return ZBLPromise::do_(utilityQueue(),
                         [store = *this]() -> ZBLObject { return store.IIDDefaultTokenData(); })
      ->then(utilityQueue(), [store = *this](const ZBLObject& data) -> ZBLObject {
        const platform::Value* value = data.asValue();
        const platform::Data* bytes = value ? value->asData() : nullptr;
        if (!bytes) return ZIRInstallationsErrorUtil::corruptedIIDTokenData();
        return store.IIDCheckinWithData(*bytes);
      });
}

ZBLPromisePtr ZIRInstallationsIIDTokenStore::IIDDefaultTokenData() const {
  platform::ErrorPtr error;
  const auto data = ZULKeychainUtils::getItemWithQuery(IIDDefaultTokenDataKeychainQuery(), &error);
  if (data) return ZBLPromise::resolvedWith(*data);
  return ZIRInstallationsErrorUtil::rejectedPromiseWithError(
      error ? error : ZIRInstallationsErrorUtil::corruptedIIDTokenData());
}

platform::Dictionary ZIRInstallationsIIDTokenStore::IIDDefaultTokenDataKeychainQuery() const {
  platform::Dictionary query;
  query.set(platform::kSecClass, platform::kSecClassGenericPassword);
  query.set(platform::kSecAttrGeneric, ZIRInstallationsIIDTokenGenericAttribute);
  const std::string account = IIDAppIdentifier();
  if (!account.empty()) query.set(platform::kSecAttrAccount, account);
  query.set(platform::kSecAttrService, serviceKeyForAuthorizedEntity(RCMSenderID_, "*"));
  return query;
}

ZBLPromisePtr ZIRInstallationsIIDTokenStore::IIDCheckinWithData(const platform::Data& data) const {
  platform::ErrorPtr error;
  if (auto token = ZIRInstallationsIIDTokenInfo::tokenWithArchiveData(data, &error)) {
    return ZBLPromise::resolvedWith(*token);
  }
  return ZIRInstallationsErrorUtil::rejectedPromiseWithError(error);
}

std::string ZIRInstallationsIIDTokenStore::IIDAppIdentifier() const {
  const std::string* identifier =
      platform::Bundle::main().objectForInfoDictionaryKey("CFBundleIdentifier").asString();
  return identifier ? *identifier : std::string();
}

std::string
ZIRInstallationsIIDTokenStore::serviceKeyForAuthorizedEntity(const std::string& authorizedEntity,
                                                             const std::string& scope) const {
  return authorizedEntity + ":" + scope;
}
