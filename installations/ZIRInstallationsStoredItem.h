// ZIRInstallationsStoredItem and ZIRInstallationsStoredAuthToken: the secure-coded records of
// one app's installation and its auth token, as the store keeps them in the keychain (the app
// identifier and name are the record's key, not part of it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/date.h"
#include "platform/keyed_archive.h"

inline constexpr const char* ZIRInstallationsStoredItemClassName = "ZIRInstallationsStoredItem";
inline constexpr const char* ZIRInstallationsStoredAuthTokenClassName =
    "ZIRInstallationsStoredAuthToken";

// Registration status of an installation.
inline constexpr std::int64_t ZIRInstallationStatusUnknown = 0;
inline constexpr std::int64_t ZIRInstallationStatusUnregistered = 1;
inline constexpr std::int64_t ZIRInstallationStatusRegistered = 2;

// Status of an auth token.
inline constexpr std::int64_t ZIRInstallationsAuthTokenStatusUnknown = 0;
inline constexpr std::int64_t ZIRInstallationsAuthTokenStatusTokenReceived = 1;

// The version these records are written with; a newer one is read as far as the known keys go.
inline constexpr std::int64_t ZIRInstallationsStoredRecordVersion = 1;

// Registers both record classes for secure coding; safe to call again and from any thread.
// Whatever archives or reads the records calls it first.
void ZIRInstallationsRegisterStoredRecordClasses();

// An auth token, its expiry and status. Each field may be read and set from any thread.
class ZIRInstallationsStoredAuthToken : public platform::SecureCodingObject {
 public:
  ZIRInstallationsStoredAuthToken() = default;
  ZIRInstallationsStoredAuthToken(const ZIRInstallationsStoredAuthToken& other);
  ZIRInstallationsStoredAuthToken& operator=(const ZIRInstallationsStoredAuthToken&) = delete;

  std::int64_t status() const { return status_.load(); }
  void setStatus(std::int64_t status) { status_.store(status); }
  std::optional<std::string> token() const;
  void setToken(std::optional<std::string> token);
  std::optional<platform::Date> expirationDate() const;
  void setExpirationDate(std::optional<platform::Date> expirationDate);
  std::int64_t storageVersion() const { return ZIRInstallationsStoredRecordVersion; }

  // A new token of the same status, token and expiration date.
  std::shared_ptr<ZIRInstallationsStoredAuthToken> copy() const;

  // Keys "status", "token", "expirationDate", "storageVersion".
  std::string archiveClassName() const override { return ZIRInstallationsStoredAuthTokenClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // A "storageVersion" above the current one is logged as a warning ("I-ZIS004000"). An
  // expiration date that is not finite reads as none.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);
  static bool supportsSecureCoding() { return true; }

 private:
  std::atomic<std::int64_t> status_{ZIRInstallationsAuthTokenStatusUnknown};
  mutable std::mutex mutex_;  // guards the two below
  std::optional<std::string> token_;
  std::optional<platform::Date> expirationDate_;
};

// One app's installation as archived. Plain fields: a record is filled by one owner, then
// archived or read.
class ZIRInstallationsStoredItem : public platform::SecureCodingObject {
 public:
  std::optional<std::string> ziruzadaInstallationID;
  std::optional<std::string> refreshToken;
  std::shared_ptr<ZIRInstallationsStoredAuthToken> authToken;
  std::int64_t registrationStatus = ZIRInstallationStatusUnknown;
  std::optional<std::string> IIDDefaultToken;
  std::int64_t storageVersion() const { return ZIRInstallationsStoredRecordVersion; }

  // Keys "ziruzadaInstallationID", "refreshToken", "authToken", "registrationStatus",
  // "IIDDefaultToken", "storageVersion", in that order.
  std::string archiveClassName() const override { return ZIRInstallationsStoredItemClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // A "storageVersion" above the current one is logged as a warning ("I-ZIS003000"). A field
  // of the wrong class fails the whole unarchiving.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);
  static bool supportsSecureCoding() { return true; }
};
