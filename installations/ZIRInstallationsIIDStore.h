// ZIRInstallationsIIDStore: reads and deletes the legacy instance identifier of the default
// app: a marker in a property list under Application Support and an RSA key pair in the
// keychain, tagged with the main bundle identifier.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"
#include "promises/zbl_promise.h"

// The key of the marker property list whose presence means there is a legacy identifier.
inline constexpr const char* ZIRInstallationsIIDCreationTimePlistKey = "|S|cre";
inline constexpr const char* ZIRInstallationsIIDKeyPairPublicTagPrefix =
    "com.rerora.iid.keypair.public-";
inline constexpr const char* ZIRInstallationsIIDKeyPairPrivateTagPrefix =
    "com.rerora.iid.keypair.private-";

// No state. Without a main bundle identifier no key tag can be built: the identifier then
// counts as absent and no key is queried or deleted, since an untagged query would reach
// unrelated RSA keys.
//
// The two promise operations are defined here and everything else in the .cc, which does not
// need the promises library, so that the reader of the marker file can be fuzzed on its own.
class ZIRInstallationsIIDStore {
 public:
  // The legacy identifier; rejected (validation failure) when there is none.
  ZBLPromisePtr existingIID() const {
    return ZBLPromise::do_(platform::Queue::global(platform::Queue::QoS::Utility),
                           [store = *this]() -> ZBLObject {
                             if (auto IID = store.existingIIDValue()) return *IID;
                             return nullptr;
                           })
        ->validate([](const ZBLObject& value) {
          const platform::Value* IID = value.asValue();
          return IID && IID->isString() && !IID->asString()->empty();
        });
  }
  // Fulfilled with the null object once the marker and the key pair are gone.
  ZBLPromisePtr deleteExistingIID() const {
    return ZBLPromise::do_(
        platform::Queue::global(platform::Queue::QoS::Utility), [store = *this]() -> ZBLObject {
          platform::ErrorPtr error;
          if (!store.deleteIIDFlagFromPlist(&error) || !store.deleteIID(&error)) {
            return error;
          }
          return ZBLObject::null();
        });
  }

  // The identifier when the marker says there is one and the public key is found.
  std::optional<std::string> existingIIDValue() const;

  // SHA-1 of the key, first byte 0x70 | (b & 0x0F), first 8 bytes, URL-safe Base64 without "=".
  std::string IIDWithPublicKeyData(const platform::Data& publicKeyData) const;
  platform::Data sha1WithData(const platform::Data& data) const;
  // Standard Base64, "/" as "_", "+" as "-", every "=" removed.
  std::string base64URLEncodedStringWithData(const platform::Data& data) const;
  // The public key's data; none when it is absent, the keychain fails or there is no tag.
  std::optional<platform::Data> IIDPublicKeyData() const;
  // Deletes the public key, then (only if that worked) the private key.
  bool deleteIID(platform::ErrorPtr* error) const;
  // A missing key counts as deleted; another failure is the keychain error for
  // "SecItemDelete". Without a tag there is nothing of ours to delete.
  bool deleteKeychainKeyWithTagPrefix(const std::string& tagPrefix,
                                      platform::ErrorPtr* error) const;
  // Class key, the tag, key type RSA, and "return data" when asked.
  platform::Dictionary keyPairQueryWithTag(const std::string& tag, bool returnData) const;
  // The prefix followed by the main bundle identifier; none without one.
  std::optional<std::string> keychainKeyTagWithPrefix(const std::string& prefix) const;
  // Removes the marker key from the file and writes it back; a missing file counts as done.
  bool deleteIIDFlagFromPlist(platform::ErrorPtr* error) const;
  // The file exists, is a dictionary and has a value for the marker key.
  bool hasPlistIIDFlag() const;
  // Application Support, "Rerora/ZiruzadaInstanceID", "com.rerora.iid-keypair.plist".
  std::filesystem::path plistPath() const;
};
