// ZULKeychainStorage: secure-coded objects kept as keychain generic passwords of one service,
// one item per key, behind a small in-memory cache and a promise interface; ZULKeychainUtils:
// the item calls it (and other SDK parts) use, with errors in the SDK's keychain domain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/keychain.h"
#include "platform/keyed_archive.h"
#include "platform/value.h"
#include "promises/zbl_promise.h"

inline constexpr const char* ZULKeychainErrorDomain = "com.zul.keychain.ErrorDomain";

class ZULKeychainUtils {
 public:
  // The query with the data-protection keychain asked for.
  static platform::Dictionary multiplatformQueryWithQuery(const platform::Dictionary& query);
  // The item's data; none with a null error when there is no such item (absence is not an
  // error), none with an error when the call failed.
  static std::optional<platform::Data> getItemWithQuery(const platform::Dictionary& query,
                                                        platform::ErrorPtr* error);
  // Updates the data of the item the query finds, or adds one that is accessible after the
  // first unlock on this device only.
  static bool setItem(const platform::Data& item, const platform::Dictionary& query,
                      platform::ErrorPtr* error);
  // Removing an item that is not there succeeds.
  static bool removeItemWithQuery(const platform::Dictionary& query, platform::ErrorPtr* error);
  // Code 0, the failure reason "<function> (<status>)".
  static platform::ErrorPtr keychainErrorWithFunction(const std::string& function,
                                                      platform::OSStatus status);
};

// The in-memory cache in front of the keychain: thread-safe, at most countLimit objects, the
// least recently stored one evicted first.
class ZULKeychainCache {
 public:
  explicit ZULKeychainCache(std::size_t countLimit) : countLimit_(countLimit) {}
  std::optional<platform::ArchivedObject> objectForKey(const std::string& key) const;
  void setObject(const platform::ArchivedObject& object, const std::string& key);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();

 private:
  const std::size_t countLimit_;
  mutable std::mutex mutex_;
  std::list<std::pair<std::string, platform::ArchivedObject>> entries_;  // oldest first
};

// Promises are fulfilled with the object as a ZBLObject: a platform::Value, or a
// std::shared_ptr<platform::SecureCodingObject> for a record (read it with
// as<platform::SecureCodingObject>()); nil for no object; ZBLObject::null() for the
// success of a set or a remove.
class ZULKeychainStorage {
 public:
  // A cache of at most 5 objects.
  explicit ZULKeychainStorage(std::string service);
  ZULKeychainStorage(std::string service, std::shared_ptr<ZULKeychainCache> cache);

  // Answers from the cache when it holds the key (whatever the object's class), else from
  // the keychain, decoding only the expected class.
  ZBLPromisePtr getObjectForKey(const std::string& key, const std::string& objectClass,
                                const std::optional<std::string>& accessGroup);
  // The cache holds the object before the keychain is written, and keeps it if that fails.
  ZBLPromisePtr setObject(const platform::ArchivedObject& object, const std::string& key,
                          const std::optional<std::string>& accessGroup);
  ZBLPromisePtr removeObjectForKey(const std::string& key,
                                   const std::optional<std::string>& accessGroup);
  // The keychain half of the get; an object read is cached.
  ZBLPromisePtr getObjectFromKeychainForKey(const std::string& key, const std::string& objectClass,
                                            const std::optional<std::string>& accessGroup);
  // Empties the cache at once.
  void resetInMemoryCache();

  platform::Dictionary keychainQueryWithKey(const std::string& key,
                                            const std::optional<std::string>& accessGroup) const;

 private:
  // What the queued work holds, so that it may outlive the storage.
  struct State {
    platform::QueuePtr keychainQueue;
    platform::QueuePtr inMemoryCacheQueue;
    std::string service;
    std::shared_ptr<ZULKeychainCache> inMemoryCache;
  };
  static ZBLPromisePtr readFromKeychain(const std::shared_ptr<State>& state, const std::string& key,
                                        const std::string& objectClass,
                                        const std::optional<std::string>& accessGroup);
  static platform::Dictionary queryFor(const State& state, const std::string& key,
                                       const std::optional<std::string>& accessGroup);

  std::shared_ptr<State> state_;
};
