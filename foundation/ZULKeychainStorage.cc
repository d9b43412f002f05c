#include "foundation/ZULKeychainStorage.h"

#include <algorithm>
#include <utility>

#include "foundation/ZULSecureCoding.h"
#include "platform/format.h"

using platform::ArchivedObject;
using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::OSStatus;
using platform::Value;

namespace {

ZBLObject objectOf(const ArchivedObject& object) {
  if (const auto* record = std::get_if<platform::SecureCodingPtr>(&object)) {
    return ZBLObject(*record);
  }
  return ZBLObject(std::get<Value>(object));
}

// The object a promise carried; none for nil.
std::optional<ArchivedObject> archivedObjectOf(const ZBLObject& object) {
  if (const Value* value = object.asValue()) return ArchivedObject(*value);
  if (auto record = object.as<platform::SecureCodingObject>()) return ArchivedObject(record);
  return std::nullopt;
}

}  // namespace

Dictionary ZULKeychainUtils::multiplatformQueryWithQuery(const Dictionary& query) {
  Dictionary result = query;
  result.set(platform::kSecUseDataProtectionKeychain, true);
  return result;
}

std::optional<Data> ZULKeychainUtils::getItemWithQuery(const Dictionary& query, ErrorPtr* error) {
  Dictionary search = multiplatformQueryWithQuery(query);
  search.set(platform::kSecReturnData, true);
  search.set(platform::kSecMatchLimit, platform::kSecMatchLimitOne);
  std::optional<Value> result;
  OSStatus status = platform::SecItemCopyMatching(search, &result);
  if (status == platform::errSecSuccess && result && result->asData()) {
    if (error) *error = nullptr;
    return *result->asData();
  }
  if (status == platform::errSecItemNotFound) {
    if (error) *error = nullptr;
    return std::nullopt;
  }
  if (error) *error = keychainErrorWithFunction("SecItemCopyMatching", status);
  return std::nullopt;
}

bool ZULKeychainUtils::setItem(const Data& item, const Dictionary& query, ErrorPtr* error) {
  Dictionary platformQuery = multiplatformQueryWithQuery(query);
  ErrorPtr readError;
  std::optional<Data> existing = getItemWithQuery(platformQuery, &readError);
  if (readError) {
    if (error) *error = readError;
    return false;
  }
  OSStatus status;
  const char* function;
  if (existing) {
    function = "SecItemUpdate";
    status = platform::SecItemUpdate(platformQuery, Dictionary{{platform::kSecValueData, item}});
  } else {
    function = "SecItemAdd";
    Dictionary attributes = platformQuery;
    attributes.set(platform::kSecAttrAccessible,
                   platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    attributes.set(platform::kSecValueData, item);
    status = platform::SecItemAdd(attributes);
  }
  if (status != platform::errSecSuccess) {
    if (error) *error = keychainErrorWithFunction(function, status);
    return false;
  }
  if (error) *error = nullptr;
  return true;
}

bool ZULKeychainUtils::removeItemWithQuery(const Dictionary& query, ErrorPtr* error) {
  OSStatus status = platform::SecItemDelete(multiplatformQueryWithQuery(query));
  if (status == platform::errSecSuccess || status == platform::errSecItemNotFound) {
    if (error) *error = nullptr;
    return true;
  }
  if (error) *error = keychainErrorWithFunction("SecItemDelete", status);
  return false;
}

ErrorPtr ZULKeychainUtils::keychainErrorWithFunction(const std::string& function, OSStatus status) {
  std::string reason = platform::format("%@ (%li)", {Value(function), Value(status)});
  return platform::makeError(ZULKeychainErrorDomain, 0,
                             Dictionary{{platform::kLocalizedFailureReasonErrorKey, reason}});
}

std::optional<ArchivedObject> ZULKeychainCache::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  for (const auto& [entryKey, object] : entries_) {
    if (entryKey == key) return object;
  }
  return std::nullopt;
}

void ZULKeychainCache::setObject(const ArchivedObject& object, const std::string& key) {
  std::lock_guard lock(mutex_);
  entries_.remove_if([&](const auto& entry) { return entry.first == key; });
  entries_.emplace_back(key, object);
  while (entries_.size() > countLimit_) entries_.pop_front();
}

void ZULKeychainCache::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  entries_.remove_if([&](const auto& entry) { return entry.first == key; });
}

void ZULKeychainCache::removeAllObjects() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

ZULKeychainStorage::ZULKeychainStorage(std::string service)
    : ZULKeychainStorage(std::move(service), std::make_shared<ZULKeychainCache>(5)) {}

ZULKeychainStorage::ZULKeychainStorage(std::string service, std::shared_ptr<ZULKeychainCache> cache)
    : state_(std::make_shared<State>(
          State{platform::Queue::serial("com.zul.KeychainStorage.Keychain"),
                platform::Queue::serial("com.zul.KeychainStorage.InMemoryCache"),
                std::move(service), std::move(cache)})) {}

ZBLPromisePtr ZULKeychainStorage::getObjectForKey(const std::string& key,
                                                  const std::string& objectClass,
                                                  const std::optional<std::string>& accessGroup) {
  auto state = state_;
  return ZBLPromise::async(state->inMemoryCacheQueue,
                           [state, key](ZBLPromise::Fulfill fulfill, ZBLPromise::Reject reject) {
                             if (auto object = state->inMemoryCache->objectForKey(key)) {
                               fulfill(objectOf(*object));
                             } else {
                               reject(platform::makeError(ZBLPromiseErrorDomain,
                                                          ZBLPromiseErrorCodeValidationFailure));
                             }
                           })
      ->recover([state, key, objectClass, accessGroup](const ErrorPtr&) -> ZBLObject {
        return readFromKeychain(state, key, objectClass, accessGroup);
      });
}

ZBLPromisePtr
ZULKeychainStorage::getObjectFromKeychainForKey(const std::string& key,
                                                const std::string& objectClass,
                                                const std::optional<std::string>& accessGroup) {
  return readFromKeychain(state_, key, objectClass, accessGroup);
}

ZBLPromisePtr ZULKeychainStorage::readFromKeychain(const std::shared_ptr<State>& state,
                                                   const std::string& key,
                                                   const std::string& objectClass,
                                                   const std::optional<std::string>& accessGroup) {
  return ZBLPromise::async(
             state->keychainQueue,
             [state, key, objectClass, accessGroup](ZBLPromise::Fulfill fulfill,
                                                    ZBLPromise::Reject reject) {
               ErrorPtr error;
               auto data =
                   ZULKeychainUtils::getItemWithQuery(queryFor(*state, key, accessGroup), &error);
               if (error) return reject(error);
               if (!data) return fulfill(nullptr);
               auto object = ZULSecureCoding::unarchivedObjectOfClass(objectClass, *data, &error);
               if (!object) return reject(error);
               fulfill(objectOf(*object));
             })
      ->then(state->inMemoryCacheQueue, [state, key](const ZBLObject& object) -> ZBLObject {
        if (auto archived = archivedObjectOf(object)) {
          state->inMemoryCache->setObject(*archived, key);
        }
        return object;
      });
}

ZBLPromisePtr ZULKeychainStorage::setObject(const ArchivedObject& object, const std::string& key,
                                            const std::optional<std::string>& accessGroup) {
  auto state = state_;
  return ZBLPromise::do_(state->inMemoryCacheQueue,
                         [state, object, key]() -> ZBLObject {
                           state->inMemoryCache->setObject(object, key);
                           return ZBLObject::null();
                         })
      ->then(state->keychainQueue,
             [state, object, key, accessGroup](const ZBLObject&) -> ZBLObject {
               ErrorPtr error;
               auto data = ZULSecureCoding::archivedDataWithRootObject(object, &error);
               if (!data) return error;
               if (!ZULKeychainUtils::setItem(*data, queryFor(*state, key, accessGroup), &error)) {
                 return error;
               }
               return ZBLObject::null();
             });
}

ZBLPromisePtr
ZULKeychainStorage::removeObjectForKey(const std::string& key,
                                       const std::optional<std::string>& accessGroup) {
  auto state = state_;
  return ZBLPromise::do_(state->inMemoryCacheQueue,
                         [state, key]() -> ZBLObject {
                           state->inMemoryCache->removeObjectForKey(key);
                           return ZBLObject::null();
                         })
      ->then(state->keychainQueue, [state, key, accessGroup](const ZBLObject&) -> ZBLObject {
        ErrorPtr error;
        if (!ZULKeychainUtils::removeItemWithQuery(queryFor(*state, key, accessGroup), &error)) {
          return error;
        }
        return ZBLObject::null();
      });
}

void ZULKeychainStorage::resetInMemoryCache() { state_->inMemoryCache->removeAllObjects(); }

Dictionary
ZULKeychainStorage::keychainQueryWithKey(const std::string& key,
                                         const std::optional<std::string>& accessGroup) const {
  return queryFor(*state_, key, accessGroup);
}

Dictionary ZULKeychainStorage::queryFor(const State& state, const std::string& key,
                                        const std::optional<std::string>& accessGroup) {
  Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                   {platform::kSecAttrService, state.service},
                   {platform::kSecAttrAccount, key}};
  if (accessGroup) query.set(platform::kSecAttrAccessGroup, *accessGroup);
  query.set(platform::kSecUseDataProtectionKeychain, true);
  return query;
}
