// Reads the installations service's answers as the REST client does: the first byte picks the
// registration answer or the generate-token answer, the rest is the body. What is read must
// be usable in later requests: an identifier that stays one path segment, tokens that stay
// one header line, and an expiration date a clock can reach.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_input.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsItemAPI.h"
#include "platform/url_session.h"

namespace {

const platform::Date kDate = platform::Date::fromTimeIntervalSince1970(1'700'000'000);

void checkToken(const ZIRInstallationsStoredAuthToken& token) {
  const auto value = token.token();
  fuzz::fuzzCheck(value && !value->empty(), "a read token is not empty");
  fuzz::fuzzCheck(platform::isValidHTTPHeaderField("Authorization", *value),
                  "a read token fits in a header");
  const auto expiration = token.expirationDate();
  fuzz::fuzzCheck(expiration && std::isfinite(expiration->timeIntervalSince1970()) &&
                      *expiration <= platform::Date::distantFuture() &&
                      *expiration >= platform::Date::distantPast(),
                  "a read token expires within the calendar");
  fuzz::fuzzCheck(token.status() == ZIRInstallationsAuthTokenStatusTokenReceived,
                  "a read token is received");
}

void checkError(const platform::ErrorPtr& error) {
  fuzz::fuzzCheck(error && error->domain() == ZIRInstallationsErrorDomain && error->code() == 0,
                  "a refused answer gives a code-0 installations error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const bool registration = input.byte() % 2 == 0;
  const platform::Data body = platform::Data::fromString(input.rest());
  platform::ErrorPtr error;

  if (registration) {
    ZIRInstallationsItem sent("1:123:ios:abc", "app");
    sent.setZiruzadaInstallationID("cSentIdentifier");
    sent.setRegistrationStatus(ZIRInstallationStatusUnregistered);
    const auto item =
        ZIRInstallationsItemAPI::registeredInstallationWithJSONData(sent, body, kDate, &error);
    if (!item) {
      checkError(error);
      return 0;
    }
    const auto fid = item->ziruzadaInstallationID();
    fuzz::fuzzCheck(
        fid && !fid->empty() && fid->size() <= ZIRInstallationsItemAPI::kMaximumFIDLength &&
            fid->find_first_of("/?#%\\ ") == std::string::npos && *fid != "." && *fid != "..",
        "a read identifier is one plain path segment");
    const auto refreshToken = item->refreshToken();
    fuzz::fuzzCheck(
        refreshToken && !refreshToken->empty() &&
            platform::isValidHTTPHeaderField("Authorization", "ZIS_v2 " + *refreshToken),
        "a read refresh token fits in the Authorization header");
    fuzz::fuzzCheck(item->registrationStatus() == ZIRInstallationStatusRegistered,
                    "a read installation is registered");
    fuzz::fuzzCheck(item->authToken() != nullptr, "a read installation has a token");
    checkToken(*item->authToken());
    // A valid item is what the store and the next requests take.
    fuzz::fuzzCheck(item->isValid(), "a read installation is valid");
    return 0;
  }

  const auto token =
      ZIRInstallationsItemAPI::authTokenWithGenerateTokenAPIJSONData(body, kDate, &error);
  if (!token) {
    checkError(error);
    return 0;
  }
  checkToken(*token);
  return 0;
}
