#include "installations/ZIRInstallationsItemAPI.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "installations/ZIRInstallationsErrors.h"
#include "platform/json.h"
#include "platform/url_session.h"

namespace {

void setError(platform::ErrorPtr* error, platform::ErrorPtr value) {
  if (error) *error = std::move(value);
}

// Tokens travel in request headers ("Authorization: ZIS_v2 <refresh token>", and callers'
// own for the auth token), so a value that would break the header line is malformed.
bool fitsInHeader(const std::string& token) {
  return platform::isValidHTTPHeaderField("Authorization", token);
}

// The identifier becomes a path segment of later requests: only the characters a URL path
// carries as they are, so that an answer cannot point those requests elsewhere.
bool isPathSafe(const std::string& fid) {
  if (fid.size() > ZIRInstallationsItemAPI::kMaximumFIDLength) return false;
  for (const char c : fid) {
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
    if (!unreserved) return false;
  }
  return fid != "." && fid != "..";
}

// The text without its last character (the unit letter of "604800s").
std::string_view withoutLastCharacter(std::string_view text) {
  std::size_t end = text.size();
  if (end == 0) return text;
  --end;
  // Step back over UTF-8 continuation bytes to the start of the last character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::optional<platform::Dictionary>
ZIRInstallationsItemAPI::dictionaryFromJSONData(const platform::Data& data,
                                                platform::ErrorPtr* error) {
  if (data.size() > kMaximumResponseLength) {
    setError(error, ZIRInstallationsErrorUtil::JSONSerializationError(nullptr));
    return std::nullopt;
  }
  platform::ErrorPtr parseError;
  std::optional<platform::Value> value = platform::json::parse(data, {}, &parseError);
  platform::Dictionary* dictionary = value ? value->asDictionary() : nullptr;
  if (!dictionary) {
    setError(error, ZIRInstallationsErrorUtil::JSONSerializationError(parseError));
    return std::nullopt;
  }
  return std::move(*dictionary);
}

std::optional<std::string>
ZIRInstallationsItemAPI::validStringOrNilForKey(const std::string& key,
                                                const platform::Dictionary& dict) {
  const std::string* value = dict[key].asString();
  if (!value || value->empty()) return std::nullopt;
  return *value;
}

std::shared_ptr<ZIRInstallationsItem> ZIRInstallationsItemAPI::registeredInstallationWithJSONData(
    const ZIRInstallationsItem& installation, const platform::Data& data, platform::Date date,
    platform::ErrorPtr* error) {
  const std::optional<platform::Dictionary> response = dictionaryFromJSONData(data, error);
  if (!response) return nullptr;

  const std::optional<std::string> refreshToken = validStringOrNilForKey("refreshToken", *response);
  if (!refreshToken || !fitsInHeader(*refreshToken)) {
    setError(error, ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
                        "refreshToken"));
    return nullptr;
  }

  const platform::Dictionary* authTokenDict = (*response)["authToken"].asDictionary();
  if (!authTokenDict) {
    setError(error,
             ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken"));
    return nullptr;
  }
  std::shared_ptr<ZIRInstallationsStoredAuthToken> authToken =
      authTokenWithJSONDict(*authTokenDict, date, error);
  if (!authToken) return nullptr;

  std::optional<std::string> fid = validStringOrNilForKey("fid", *response);
  if (fid && !isPathSafe(*fid)) {
    setError(error, ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("fid"));
    return nullptr;
  }

  auto item =
      std::make_shared<ZIRInstallationsItem>(installation.appID(), installation.ziruzadaAppName());
  item->setZiruzadaInstallationID(fid ? std::move(fid) : installation.ziruzadaInstallationID());
  item->setRefreshToken(refreshToken);
  item->setAuthToken(std::move(authToken));
  item->setRegistrationStatus(ZIRInstallationStatusRegistered);
  return item;
}

std::shared_ptr<ZIRInstallationsStoredAuthToken>
ZIRInstallationsItemAPI::authTokenWithGenerateTokenAPIJSONData(const platform::Data& data,
                                                               platform::Date date,
                                                               platform::ErrorPtr* error) {
  const std::optional<platform::Dictionary> response = dictionaryFromJSONData(data, error);
  if (!response) return nullptr;
  return authTokenWithJSONDict(*response, date, error);
}

std::shared_ptr<ZIRInstallationsStoredAuthToken>
ZIRInstallationsItemAPI::authTokenWithJSONDict(const platform::Dictionary& dict,
                                               platform::Date date, platform::ErrorPtr* error) {
  const std::optional<std::string> token = validStringOrNilForKey("token", dict);
  if (!token || !fitsInHeader(*token)) {
    setError(error, ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
                        "authToken.token"));
    return nullptr;
  }

  const std::optional<std::string> expiresIn = validStringOrNilForKey("expiresIn", dict);
  const double lifetime =
      expiresIn ? platform::Value(std::string(withoutLastCharacter(*expiresIn))).doubleValue() : 0;
  const platform::Date expirationDate = date.addingTimeInterval(lifetime);
  // A lifetime out of all proportion ("1e400s") would give a date no clock reaches.
  if (!expiresIn || !std::isfinite(lifetime) || expirationDate > platform::Date::distantFuture() ||
      expirationDate < platform::Date::distantPast()) {
    setError(error, ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
                        "authToken.expiresIn"));
    return nullptr;
  }

  auto authToken = std::make_shared<ZIRInstallationsStoredAuthToken>();
  authToken->setStatus(ZIRInstallationsAuthTokenStatusTokenReceived);
  authToken->setToken(token);
  authToken->setExpirationDate(expirationDate);
  return authToken;
}
