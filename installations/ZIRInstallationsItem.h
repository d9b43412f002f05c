// ZIRInstallationsItem: the in-memory record of one app's installation (identifier, tokens,
// registration status, legacy default token) that travels through the controller's promise
// chains; converts to and from the stored record, checks itself and makes new identifiers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "installations/ZIRInstallationsStoredItem.h"
#include "platform/data.h"
#include "platform/error.h"
#include "platform/uuid.h"

// Not guarded: each step of a chain works on the item in turn, and a step that hands an item
// on to other callers hands a copy.
class ZIRInstallationsItem {
 public:
  // All other fields empty, status unknown.
  ZIRInstallationsItem(std::string appID, std::string ziruzadaAppName);

  const std::string& appID() const { return appID_; }
  const std::string& ziruzadaAppName() const { return ziruzadaAppName_; }

  const std::optional<std::string>& ziruzadaInstallationID() const {
    return ziruzadaInstallationID_;
  }
  void setZiruzadaInstallationID(std::optional<std::string> FID) {
    ziruzadaInstallationID_ = std::move(FID);
  }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  void setRefreshToken(std::optional<std::string> token) { refreshToken_ = std::move(token); }
  const std::shared_ptr<ZIRInstallationsStoredAuthToken>& authToken() const { return authToken_; }
  void setAuthToken(std::shared_ptr<ZIRInstallationsStoredAuthToken> token) {
    authToken_ = std::move(token);
  }
  // ZIRInstallationStatusUnknown, ...Unregistered or ...Registered.
  std::int64_t registrationStatus() const { return registrationStatus_; }
  void setRegistrationStatus(std::int64_t status) { registrationStatus_ = status; }
  const std::optional<std::string>& IIDDefaultToken() const { return IIDDefaultToken_; }
  void setIIDDefaultToken(std::optional<std::string> token) { IIDDefaultToken_ = std::move(token); }

  // A new item of the same values, with its own copy of the auth token.
  std::shared_ptr<ZIRInstallationsItem> copy() const;

  // Takes identifier, refresh token, auth token, status and legacy token from the record. The
  // token is copied, here and in storedItem(), so that an item and the record the store may
  // keep in its cache never share one.
  void updateWithStoredItem(const ZIRInstallationsStoredItem& item);
  // A new record of those five values.
  std::shared_ptr<ZIRInstallationsStoredItem> storedItem() const;

  // The key of the item in the store: identifierWithAppID(appID(), ziruzadaAppName()).
  std::string identifier() const;
  // The app identifier immediately followed by the app name.
  static std::string identifierWithAppID(const std::string& appID, const std::string& appName);

  // True when consistent. Otherwise, when given, *error receives the code-0 error
  // "ZIRInstallationsItem validation errors: <notes joined by ", ">".
  bool isValid(platform::ErrorPtr* error = nullptr) const;

  // A new 22-character identifier from a random UUID.
  static std::string generateFID();
  // The identifier made from the given UUID: its 16 bytes after the prefix byte
  // 0x70 | (byte 15 & 0x0F), URL-safe Base64, first 22 characters.
  static std::string FIDWithUUID(const platform::UUID& uuid);
  // Standard Base64 with "/" as "_" and "+" as "-"; the "=" padding stays.
  static std::string base64URLEncodedStringWithData(const platform::Data& data);

 private:
  std::string appID_;
  std::string ziruzadaAppName_;
  std::optional<std::string> ziruzadaInstallationID_;
  std::optional<std::string> refreshToken_;
  std::shared_ptr<ZIRInstallationsStoredAuthToken> authToken_;
  std::int64_t registrationStatus_ = ZIRInstallationStatusUnknown;
  std::optional<std::string> IIDDefaultToken_;
};
