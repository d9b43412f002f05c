#include "installations/ZIRInstallationsItem.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "installations/ZIRInstallationsErrors.h"
#include "platform/base64.h"

namespace {

// The identifier keeps 22 Base64 characters: 132 bits, the prefix's top four and the UUID's
// 128 minus the four its last byte lends to the prefix.
constexpr std::size_t kFIDLength = 22;

bool isEmpty(const std::optional<std::string>& text) { return !text || text->empty(); }

}  // namespace

ZIRInstallationsItem::ZIRInstallationsItem(std::string appID, std::string ziruzadaAppName)
    : appID_(std::move(appID)), ziruzadaAppName_(std::move(ziruzadaAppName)) {}

std::shared_ptr<ZIRInstallationsItem> ZIRInstallationsItem::copy() const {
  auto item = std::make_shared<ZIRInstallationsItem>(*this);
  if (authToken_) item->authToken_ = authToken_->copy();
  return item;
}

void ZIRInstallationsItem::updateWithStoredItem(const ZIRInstallationsStoredItem& item) {
  ziruzadaInstallationID_ = item.ziruzadaInstallationID;
  refreshToken_ = item.refreshToken;
  authToken_ = item.authToken ? item.authToken->copy() : nullptr;
  registrationStatus_ = item.registrationStatus;
  IIDDefaultToken_ = item.IIDDefaultToken;
}

std::shared_ptr<ZIRInstallationsStoredItem> ZIRInstallationsItem::storedItem() const {
  auto item = std::make_shared<ZIRInstallationsStoredItem>();
  item->ziruzadaInstallationID = ziruzadaInstallationID_;
  item->refreshToken = refreshToken_;
  item->authToken = authToken_ ? authToken_->copy() : nullptr;
  item->registrationStatus = registrationStatus_;
  item->IIDDefaultToken = IIDDefaultToken_;
  return item;
}

std::string ZIRInstallationsItem::identifier() const {
  return identifierWithAppID(appID_, ziruzadaAppName_);
}

std::string ZIRInstallationsItem::identifierWithAppID(const std::string& appID,
                                                      const std::string& appName) {
  return appID + appName;
}

bool ZIRInstallationsItem::isValid(platform::ErrorPtr* error) const {
  std::vector<std::string> notes;
  if (appID_.empty()) notes.push_back("`appID` must not be empty");
  if (ziruzadaAppName_.empty()) notes.push_back("`ziruzadaAppName` must not be empty");
  if (isEmpty(ziruzadaInstallationID_)) {
    notes.push_back("`ziruzadaInstallationID` must not be empty");
  }
  switch (registrationStatus_) {
  case ZIRInstallationStatusUnknown:
    notes.push_back("invalid `registrationStatus`");
    break;
  case ZIRInstallationStatusRegistered:
    // Presence only: the service decides what a usable token is.
    if (!refreshToken_) {
      notes.push_back("registered installation must have non-empty `refreshToken`");
    }
    if (!authToken_ || !authToken_->token()) {
      notes.push_back("registered installation must have non-empty `authToken.token`");
    }
    if (!authToken_ || !authToken_->expirationDate()) {
      notes.push_back("registered installation must have non-empty `authToken.expirationDate`");
    }
    break;
  default:
    break;
  }
  if (notes.empty()) return true;
  if (error) {
    std::string joined;
    for (const auto& note : notes) joined += (joined.empty() ? "" : ", ") + note;
    *error = ZIRInstallationsErrorUtil::installationsErrorWithCode(
        ZIRInstallationsErrorCodeUnknown, "ZIRInstallationsItem validation errors: " + joined,
        nullptr);
  }
  return false;
}

std::string ZIRInstallationsItem::generateFID() { return FIDWithUUID(platform::UUID::random()); }

std::string ZIRInstallationsItem::FIDWithUUID(const platform::UUID& uuid) {
  const auto& bytes = uuid.bytes();
  platform::Data data;
  const std::uint8_t prefix = 0x70 | (bytes[15] & 0x0F);
  data.append(&prefix, 1);
  data.append(bytes.data(), bytes.size());
  return base64URLEncodedStringWithData(data).substr(0, kFIDLength);
}

std::string ZIRInstallationsItem::base64URLEncodedStringWithData(const platform::Data& data) {
  return platform::base64::encode(data, platform::base64::Alphabet::URLSafe, true);
}
