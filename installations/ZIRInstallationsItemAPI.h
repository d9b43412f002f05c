// ZIRInstallationsItemAPI: the installations service's answers to create and generate-token
// read into installation items and auth tokens. The answers are outside bytes: sizes are
// bounded and every field that later goes into a request path or header is checked.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "installations/ZIRInstallationsItem.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/error.h"
#include "platform/value.h"

struct ZIRInstallationsItemAPI {
  // Longest answer read; real answers are a few kilobytes.
  static constexpr std::size_t kMaximumResponseLength = std::size_t{1} << 20;
  // Longest identifier taken from an answer; the ones made here have 22 characters.
  static constexpr std::size_t kMaximumFIDLength = 256;

  // The JSON object the data holds. Anything else (a parse failure, another top level, an
  // answer longer than kMaximumResponseLength) gives the JSON error "Failed to serialize JSON
  // data." with the parser's error, if any, underneath.
  static std::optional<platform::Dictionary> dictionaryFromJSONData(const platform::Data& data,
                                                                    platform::ErrorPtr* error);

  // The value when it is a string of at least one character, else none.
  static std::optional<std::string> validStringOrNilForKey(const std::string& key,
                                                           const platform::Dictionary& dict);

  // The registered item from the answer {"fid", "refreshToken", "authToken": {"token",
  // "expiresIn"}} to the registration of `installation`: same app identifier and name, the
  // answer's "fid" (the sent identifier when it gives none), its refresh token and token,
  // status registered; the legacy token is not carried over. A missing or malformed field
  // gives the missing-field error naming it ("refreshToken", "authToken", "fid",
  // "authToken.token", "authToken.expiresIn").
  static std::shared_ptr<ZIRInstallationsItem>
  registeredInstallationWithJSONData(const ZIRInstallationsItem& installation,
                                     const platform::Data& data, platform::Date date,
                                     platform::ErrorPtr* error);

  // The token of a generate-token answer, which is itself the token object.
  static std::shared_ptr<ZIRInstallationsStoredAuthToken>
  authTokenWithGenerateTokenAPIJSONData(const platform::Data& data, platform::Date date,
                                        platform::ErrorPtr* error);

  // A received token from {"token", "expiresIn"}: the expiration date is `date` plus the
  // number "expiresIn" gives before its unit letter ("604800s").
  static std::shared_ptr<ZIRInstallationsStoredAuthToken>
  authTokenWithJSONDict(const platform::Dictionary& dict, platform::Date date,
                        platform::ErrorPtr* error);
};
