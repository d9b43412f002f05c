#include "installations/ZIRInstallationsStoredItem.h"

#include <cmath>
#include <utility>

#include "foundation/ZIRLogger.h"
#include "installations/ZIRInstallationsErrors.h"

using platform::Value;

namespace {

constexpr const char* kStorageVersionKey = "storageVersion";

// Reads the record's version and warns when a newer writer made it: its unknown fields are
// dropped, the known ones still read.
void checkStorageVersion(platform::KeyedUnarchiver& coder, const char* code, const char* format) {
  const std::int64_t version = coder.decodeInt64(kStorageVersionKey);
  if (version > ZIRInstallationsStoredRecordVersion) {
    ZIRLogAtWarning(kZIRLoggerInstallations, code, format,
                    {version, ZIRInstallationsStoredRecordVersion});
  }
}

void encodeOptionalString(platform::KeyedArchiver& coder, const char* key,
                          const std::optional<std::string>& text) {
  if (text) coder.encodeObject(key, Value(*text));
}

}  // namespace

void ZIRInstallationsRegisterStoredRecordClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::registerSecureCodingClass(ZIRInstallationsStoredItemClassName,
                                        &ZIRInstallationsStoredItem::initWithCoder);
    platform::registerSecureCodingClass(ZIRInstallationsStoredAuthTokenClassName,
                                        &ZIRInstallationsStoredAuthToken::initWithCoder);
  });
}

ZIRInstallationsStoredAuthToken::ZIRInstallationsStoredAuthToken(
    const ZIRInstallationsStoredAuthToken& other)
    : platform::SecureCodingObject(other), status_(other.status()) {
  std::lock_guard lock(other.mutex_);
  token_ = other.token_;
  expirationDate_ = other.expirationDate_;
}

std::optional<std::string> ZIRInstallationsStoredAuthToken::token() const {
  std::lock_guard lock(mutex_);
  return token_;
}

void ZIRInstallationsStoredAuthToken::setToken(std::optional<std::string> token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
}

std::optional<platform::Date> ZIRInstallationsStoredAuthToken::expirationDate() const {
  std::lock_guard lock(mutex_);
  return expirationDate_;
}

void ZIRInstallationsStoredAuthToken::setExpirationDate(
    std::optional<platform::Date> expirationDate) {
  std::lock_guard lock(mutex_);
  expirationDate_ = expirationDate;
}

std::shared_ptr<ZIRInstallationsStoredAuthToken> ZIRInstallationsStoredAuthToken::copy() const {
  return std::make_shared<ZIRInstallationsStoredAuthToken>(*this);
}

void ZIRInstallationsStoredAuthToken::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt64("status", status());
  encodeOptionalString(coder, "token", token());
  if (auto date = expirationDate()) coder.encodeObject("expirationDate", Value(*date));
  coder.encodeInt64(kStorageVersionKey, storageVersion());
}

platform::SecureCodingPtr
ZIRInstallationsStoredAuthToken::initWithCoder(platform::KeyedUnarchiver& coder) {
  checkStorageVersion(coder, "I-ZIS004000",
                      "ZIRInstallationsStoredAuthToken was encoded by a newer coder version %ld. "
                      "Current coder version is %ld. Some auth token data may be lost.");
  auto token = std::make_shared<ZIRInstallationsStoredAuthToken>();
  token->setStatus(coder.decodeInt64("status"));
  token->setToken(coder.decodeString("token"));
  // A date that is not a number would never come due and keep the token for good.
  const auto expirationDate = coder.decodeDate("expirationDate");
  if (expirationDate && std::isfinite(expirationDate->timeIntervalSince1970())) {
    token->setExpirationDate(expirationDate);
  }
  return token;
}

void ZIRInstallationsStoredItem::encodeWithCoder(platform::KeyedArchiver& coder) const {
  encodeOptionalString(coder, "ziruzadaInstallationID", ziruzadaInstallationID);
  encodeOptionalString(coder, "refreshToken", refreshToken);
  if (authToken) coder.encodeObject("authToken", platform::SecureCodingPtr(authToken));
  coder.encodeInt64("registrationStatus", registrationStatus);
  encodeOptionalString(coder, "IIDDefaultToken", IIDDefaultToken);
  coder.encodeInt64(kStorageVersionKey, storageVersion());
}

platform::SecureCodingPtr
ZIRInstallationsStoredItem::initWithCoder(platform::KeyedUnarchiver& coder) {
  checkStorageVersion(coder, "I-ZIS003000",
                      "ZIRInstallationsStoredItem was encoded by a newer coder version %ld. "
                      "Current coder version is %ld. Some installation data may be lost.");
  auto item = std::make_shared<ZIRInstallationsStoredItem>();
  item->ziruzadaInstallationID = coder.decodeString("ziruzadaInstallationID");
  item->refreshToken = coder.decodeString("refreshToken");
  item->authToken = platform::recordAs<ZIRInstallationsStoredAuthToken>(
      coder.decodeObject("authToken", {ZIRInstallationsStoredAuthTokenClassName}));
  item->registrationStatus = coder.decodeInt64("registrationStatus");
  item->IIDDefaultToken = coder.decodeString("IIDDefaultToken");
  return item;
}
