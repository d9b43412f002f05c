// ZIRInstallationsStore: one installation record per app in the keychain, with a presence
// marker beside it in a user-defaults suite; a record is read only while its marker exists.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/ZULKeychainStorage.h"
#include "foundation/ZULUserDefaults.h"
#include "installations/ZIRInstallationsItem.h"
#include "platform/dispatch.h"
#include "promises/zbl_promise.h"

// The marker suite when there is no access group.
inline constexpr const char* ZIRInstallationsStoreUserDefaultsSuite =
    "com.ziruzada.ZIRInstallations";

// Promises of items are fulfilled with a std::shared_ptr<ZIRInstallationsItem>; the others with
// ZBLObject::null(). The store may be used from any thread, and its queued work may outlive it.
class ZIRInstallationsStore {
 public:
  // An empty access group counts as none. The markers live in the suite named by the access
  // group, or in ZIRInstallationsStoreUserDefaultsSuite without one.
  ZIRInstallationsStore(std::shared_ptr<ZULKeychainStorage> secureStorage,
                        std::optional<std::string> accessGroup);

  // The stored item; the not-found error (code 0) without a marker or without a record, the
  // keychain storage's error when reading or decoding fails.
  ZBLPromisePtr installationForAppID(const std::string& appID, const std::string& appName);
  // Writes the record, then the marker; no marker when the keychain write fails.
  ZBLPromisePtr
  saveInstallation(const std::shared_ptr<const ZIRInstallationsItem>& installationItem);
  // Removes the record, then the marker.
  ZBLPromisePtr removeInstallationForAppID(const std::string& appID, const std::string& appName);
  // Fulfilled when the marker exists, else rejected with the not-found error.
  ZBLPromisePtr installationExistsForAppID(const std::string& appID, const std::string& appName);
  // True writes the marker under the identifier, false removes it.
  ZBLPromisePtr setInstallationExists(bool exists, const std::string& identifier);

  const std::optional<std::string>& accessGroup() const { return accessGroup_; }

 private:
  const std::shared_ptr<ZULKeychainStorage> secureStorage_;
  const std::optional<std::string> accessGroup_;
  const platform::QueuePtr queue_;
  const std::shared_ptr<ZULUserDefaults> userDefaults_;
};
