// ZIRInstallationsIIDTokenStore: reads the legacy default push token that the messaging client
// kept in the keychain, so that a new installation of the default app can take it over.
#pragma once

#include <string>

#include "platform/data.h"
#include "platform/value.h"
#include "promises/zbl_promise.h"

// The generic attribute of the legacy token item.
inline constexpr const char* ZIRInstallationsIIDTokenGenericAttribute = "com.rerora.iid-tokens";

// No mutable state; the keychain work runs on the global utility queue.
class ZIRInstallationsIIDTokenStore {
 public:
  explicit ZIRInstallationsIIDTokenStore(std::string RCMSenderID);

  const std::string& RCMSenderID() const { return RCMSenderID_; }

  // The token (a string Value); rejected when the item is missing or unreadable.
  ZBLPromisePtr existingIIDDefaultToken() const;

  // The item's data; the keychain error, or the corrupted-token error when there is no item.
  ZBLPromisePtr IIDDefaultTokenData() const;
  // Class generic password, the generic attribute, the bundle identifier as account (left out
  // when empty or absent) and the service "<sender ID>:*".
  platform::Dictionary IIDDefaultTokenDataKeychainQuery() const;
  // The token of the archive (see ZIRInstallationsIIDTokenInfo::tokenWithArchiveData).
  ZBLPromisePtr IIDCheckinWithData(const platform::Data& data) const;
  // CFBundleIdentifier of the main bundle; empty when absent.
  std::string IIDAppIdentifier() const;
  // "<authorizedEntity>:<scope>".
  std::string serviceKeyForAuthorizedEntity(const std::string& authorizedEntity,
                                            const std::string& scope) const;

 private:
  const std::string RCMSenderID_;
};
