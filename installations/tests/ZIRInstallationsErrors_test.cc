#include "installations/ZIRInstallationsErrors.h"

#include <gtest/gtest.h>

#include "platform/keyed_archive.h"

using platform::Data;
using platform::ErrorPtr;
using platform::HTTPURLResponse;

namespace {

HTTPURLResponse responseWithStatus(long status, platform::URL url = "https://example.com/v1") {
  HTTPURLResponse response;
  response.url = std::move(url);
  response.statusCode = status;
  response.headers["Content-Type"] = "application/json";
  return response;
}

std::string failureReason(const ErrorPtr& error) {
  return error->localizedFailureReason().value_or("<none>");
}

TEST(ZIRInstallationsErrorsTest, HTTPErrorNamesURLStatusAndBody) {
  const auto error = ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(
      responseWithStatus(404, "https://zis.example/v1/projects/p/installations/"),
      Data::fromString("{}"));
  EXPECT_EQ(error->domain(), "com.ziruzada.installations");
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->userInfo().size(), 1u);
  EXPECT_EQ(failureReason(error),
            "The server responded with an error: \n - URL: "
            "https://zis.example/v1/projects/p/installations/ \n - HTTP status code: 404 \n"
            " - Response body: {}");
  EXPECT_EQ(error->HTTPResponse().statusCode, 404);
  EXPECT_EQ(error->data(), Data::fromString("{}"));

  // A body that is not UTF-8 has no text.
  const auto binary = ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(
      responseWithStatus(500), Data(std::vector<std::uint8_t>{0xff, 0xfe}));
  EXPECT_NE(failureReason(binary).find("Response body: (null)"), std::string::npos);
}

TEST(ZIRInstallationsErrorsTest, APIErrorIsFoundByTypeAndStatusThroughAPromise) {
  const ErrorPtr error =
      ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(responseWithStatus(500), Data());
  // Errors travel through promises as plain errors; the type must survive the trip.
  const ErrorPtr carried = ZBLObject(error).asError();
  EXPECT_TRUE(ZIRInstallationsErrorUtil::isAPIError(carried, 500));
  EXPECT_FALSE(ZIRInstallationsErrorUtil::isAPIError(carried, 503));
  const ErrorPtr plain = platform::makeError(ZIRInstallationsErrorDomain, 0);
  EXPECT_FALSE(ZIRInstallationsErrorUtil::isAPIError(plain, 0));
  EXPECT_FALSE(ZIRInstallationsErrorUtil::isAPIError(nullptr, 500));
}

TEST(ZIRInstallationsErrorsTest, FactoriesGiveTheirCodeAndReason) {
  const ErrorPtr underlying = platform::makeError(platform::kURLErrorDomain, -1004);
  struct Case {
    ErrorPtr error;
    std::int64_t code;
    std::string reason;
    ErrorPtr underlying;
  };
  const Case cases[] = {
      {ZIRInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", -25299), 1,
       "SecItemDelete (-25299)", nullptr},
      {ZIRInstallationsErrorUtil::installationItemNotFoundForAppID("1:2:ios:3", "app"), 0,
       "Installation for appID 1:2:ios:3 appName app not found", nullptr},
      {ZIRInstallationsErrorUtil::corruptedIIDTokenData(), 0,
       "IID token data stored in Keychain is corrupted or in an incompatible format.", nullptr},
      {ZIRInstallationsErrorUtil::JSONSerializationError(underlying), 0,
       "Failed to serialize JSON data.", underlying},
      {ZIRInstallationsErrorUtil::JSONSerializationError(nullptr), 0,
       "Failed to serialize JSON data.", nullptr},
      {ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken"), 0,
       "A required response field with name authToken is missing", nullptr},
      {ZIRInstallationsErrorUtil::backoffIntervalWaitError(), 2, "Too many server requests.",
       nullptr},
      {ZIRInstallationsErrorUtil::installationsErrorWithCode(1, "given", underlying), 1, "given",
       underlying},
      {ZIRInstallationsErrorUtil::installationsErrorWithCode(0, std::nullopt, underlying), 0,
       "Underlying error: " + underlying->localizedDescription(), underlying},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(c.error->domain(), ZIRInstallationsErrorDomain);
    EXPECT_EQ(c.error->code(), c.code);
    EXPECT_EQ(failureReason(c.error), c.reason);
    EXPECT_EQ(c.error->underlyingError(), c.underlying);
  }
}

TEST(ZIRInstallationsErrorsTest, PublicDomainErrorKeepsOwnErrorsAndWrapsForeignOnes) {
  const ErrorPtr foreign = platform::makeError(platform::kURLErrorDomain, -1001);
  const ErrorPtr wrapped = ZIRInstallationsErrorUtil::publicDomainErrorWithError(foreign);
  EXPECT_EQ(wrapped->domain(), ZIRInstallationsErrorDomain);
  EXPECT_EQ(wrapped->code(), 0);
  EXPECT_EQ(wrapped->underlyingError(), foreign);
  EXPECT_EQ(failureReason(wrapped), "Underlying error: " + foreign->localizedDescription());

  const ErrorPtr HTTPError =
      ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(responseWithStatus(401), Data());
  EXPECT_EQ(ZIRInstallationsErrorUtil::publicDomainErrorWithError(HTTPError), HTTPError);
  const ErrorPtr backoff = ZIRInstallationsErrorUtil::backoffIntervalWaitError();
  EXPECT_EQ(ZIRInstallationsErrorUtil::publicDomainErrorWithError(backoff), backoff);
}

TEST(ZIRInstallationsErrorsTest, RejectedPromiseCarriesTheError) {
  const ErrorPtr error = ZIRInstallationsErrorUtil::backoffIntervalWaitError();
  const ZBLPromisePtr promise = ZIRInstallationsErrorUtil::rejectedPromiseWithError(error);
  EXPECT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error(), error);
}

// Stands in for an archive written without a response.
class ResponselessHTTPError : public platform::SecureCodingObject {
 public:
  std::string archiveClassName() const override { return ZIRInstallationsHTTPErrorClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("data", platform::Value(Data::fromString("{}")));
  }
};

TEST(ZIRInstallationsErrorsTest, HTTPErrorSurvivesSecureCodingAndCopy) {
  ZIRInstallationsHTTPError::registerSecureCodingClasses();
  auto error = std::make_shared<ZIRInstallationsHTTPError>(
      responseWithStatus(403, "https://zis.example/x"), Data::fromString("{\"error\":1}"));
  platform::ErrorPtr archiveError;
  const auto archive =
      platform::KeyedArchiver::archivedData(platform::SecureCodingPtr(error), &archiveError);
  ASSERT_TRUE(archive) << (archiveError ? archiveError->description() : "");

  const auto decoded = platform::recordAs<ZIRInstallationsHTTPError>(
      platform::KeyedUnarchiver::unarchivedObject({ZIRInstallationsHTTPErrorClassName}, *archive));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->HTTPResponse().statusCode, 403);
  EXPECT_EQ(decoded->HTTPResponse().url, "https://zis.example/x");
  EXPECT_EQ(decoded->HTTPResponse().valueForHeaderField("content-type"), "application/json");
  EXPECT_EQ(decoded->data(), Data::fromString("{\"error\":1}"));
  EXPECT_EQ(decoded->localizedFailureReason(), error->localizedFailureReason());

  const auto copy = error->copy();
  EXPECT_NE(copy, error);
  EXPECT_EQ(copy->HTTPResponse().statusCode, 403);
  EXPECT_EQ(copy->data(), error->data());

  const auto responseless = platform::KeyedArchiver::archivedData(
      platform::SecureCodingPtr(std::make_shared<ResponselessHTTPError>()));
  ASSERT_TRUE(responseless);
  EXPECT_FALSE(
      platform::recordAs<ZIRInstallationsHTTPError>(platform::KeyedUnarchiver::unarchivedObject(
          {ZIRInstallationsHTTPErrorClassName}, *responseless)));
}

}  // namespace
