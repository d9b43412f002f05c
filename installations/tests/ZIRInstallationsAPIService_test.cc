#include "installations/ZIRInstallationsAPIService.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "foundation/ZIRLogger.h"
#include "foundation/tests/log_capture.h"
#include "installations/ZIRInstallationsErrors.h"
#include "platform/json.h"
#include "platform/run_loop.h"
#include "platform/url_session.h"
#include "tests/support/fake_installations_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using testing_support::FakeInstallationsService;
using Operation = FakeInstallationsService::Operation;

constexpr const char* kAPIKey = "AIzaSy-secret-api-key";
constexpr const char* kAppID = "1:123456789:ios:abcdef";
constexpr const char* kAppName = "__VEVEZA_DEFAULT";
constexpr const char* kFID = "cFidSentByTheClient123";
constexpr const char* kBundleIdentifier = "com.example.vilmo";
constexpr const char* kSDKVersion = "i:10.27.0";

class StubHeartbeatLogger : public ZIRHeartbeatLoggerProtocol {
 public:
  explicit StubHeartbeatLogger(ZiruzadaCoreInternal::HeartbeatsPayload payload)
      : payload_(std::move(payload)) {}
  void log() override {}
  std::shared_ptr<ZIRHeartbeatsPayload> flushHeartbeatsIntoPayload() override {
    return std::make_shared<ZIRHeartbeatsPayload>(payload_);
  }
  std::int64_t heartbeatCodeForToday() override { return ZIRDailyHeartbeatCodeNone; }

 private:
  const ZiruzadaCoreInternal::HeartbeatsPayload payload_;
};

ZiruzadaCoreInternal::HeartbeatsPayload heartbeats() {
  return {{{"agent/1.0", {platform::Date::fromTimeIntervalSince1970(1'700'000'000)}}}};
}

class ZIRInstallationsAPIServiceTest : public testing_support::TemporaryHomeTest {
 protected:
  ZIRInstallationsAPIServiceTest() { home_.useBundle({{"CFBundleIdentifier", kBundleIdentifier}}); }

  void TearDown() override {
    EXPECT_TRUE(
        testing_support::pumpMainQueueUntil([] { return ZBLPromise::dispatchGroup().wait(0); }));
    ZIRLoggerSetLevel(ZULLoggerLevelNotice);
  }

  std::shared_ptr<ZIRInstallationsAPIService>
  makeAPIService(ZiruzadaCoreInternal::HeartbeatsPayload payload = heartbeats(),
                 std::optional<std::string> baseURL = std::nullopt) {
    return std::make_shared<ZIRInstallationsAPIService>(
        platform::URLSession::create({}), kAPIKey, service_.projectID(),
        std::make_shared<StubHeartbeatLogger>(std::move(payload)),
        baseURL.value_or(service_.baseURL()));
  }

  static std::shared_ptr<ZIRInstallationsItem> unregisteredItem() {
    auto item = std::make_shared<ZIRInstallationsItem>(kAppID, kAppName);
    item->setZiruzadaInstallationID(kFID);
    item->setRegistrationStatus(ZIRInstallationStatusUnregistered);
    return item;
  }

  // An item the service knows, as the store would hand it out.
  std::shared_ptr<ZIRInstallationsItem> registeredItem(const std::string& refreshToken) {
    service_.addInstallation(kFID, refreshToken, kAppID);
    auto item = unregisteredItem();
    item->setRefreshToken(refreshToken);
    auto token = std::make_shared<ZIRInstallationsStoredAuthToken>();
    token->setStatus(ZIRInstallationsAuthTokenStatusTokenReceived);
    token->setToken("old-token");
    token->setExpirationDate(start_);
    item->setAuthToken(token);
    item->setRegistrationStatus(ZIRInstallationStatusRegistered);
    return item;
  }

  static ZBLPromisePtr settle(const ZBLPromisePtr& promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }

  static void expectHTTPError(const ZBLPromisePtr& promise, long status) {
    ASSERT_TRUE(promise->isRejected()) << promise->description();
    const auto error = std::dynamic_pointer_cast<const ZIRInstallationsHTTPError>(promise->error());
    ASSERT_NE(error, nullptr) << promise->error()->description();
    EXPECT_EQ(error->domain(), ZIRInstallationsErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_EQ(error->HTTPResponse().statusCode, status);
  }

  static platform::Value json(const std::string& text) { return *platform::json::parse(text); }

  const platform::Date start_ = platform::Date::fromTimeIntervalSince1970(1'700'000'000);
  testing_support::ManualClockScope clock_{start_};
  FakeInstallationsService service_;
};

TEST_F(ZIRInstallationsAPIServiceTest, RegistrationPostsTheItemAndReadsTheRegisteredInstallation) {
  const auto installation = unregisteredItem();
  installation->setIIDDefaultToken("legacy-token");
  const ZBLPromisePtr promise = settle(makeAPIService()->registerInstallation(installation));

  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/projects/project-id/installations/");
  EXPECT_EQ(request.header("X-Rerora-Api-Key"), kAPIKey);
  EXPECT_EQ(request.header("X-Ios-Bundle-Identifier"), kBundleIdentifier);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("X-ziruzada-client"), heartbeats().headerValue());
  EXPECT_EQ(request.header("Authorization"), std::nullopt);
  EXPECT_EQ(json(request.body),
            json(std::string(R"({"fid": ")") + kFID + R"(", "authVersion": "ZIS_v2", "appId": ")" +
                 kAppID + R"(", "sdkVersion": ")" + kSDKVersion + R"("})"));

  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  const auto registered = promise->value().as<ZIRInstallationsItem>();
  ASSERT_NE(registered, nullptr);
  const auto known = service_.installation(kFID);
  ASSERT_TRUE(known);
  EXPECT_EQ(registered->appID(), kAppID);
  EXPECT_EQ(registered->ziruzadaAppName(), kAppName);
  EXPECT_EQ(registered->ziruzadaInstallationID(), kFID);
  EXPECT_EQ(registered->refreshToken(), known->refreshToken);
  EXPECT_EQ(registered->registrationStatus(), ZIRInstallationStatusRegistered);
  EXPECT_EQ(registered->IIDDefaultToken(), std::nullopt);
  ASSERT_NE(registered->authToken(), nullptr);
  EXPECT_EQ(registered->authToken()->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
  EXPECT_EQ(registered->authToken()->token(), known->authToken);
  EXPECT_EQ(registered->authToken()->expirationDate(), start_.addingTimeInterval(604800));
}

TEST_F(ZIRInstallationsAPIServiceTest, MigrationAndHeartbeatHeadersGoOnlyWithAValue) {
  struct Case {
    std::optional<std::string> legacyToken;
    bool heartbeat;
  } cases[] = {{std::nullopt, false}, {std::nullopt, true}, {"legacy:token/+=", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legacyToken.value_or("no legacy token") + (c.heartbeat ? ", heartbeat" : ""));
    const auto installation = unregisteredItem();
    installation->setIIDDefaultToken(c.legacyToken);
    const auto api =
        makeAPIService(c.heartbeat ? heartbeats() : ZiruzadaCoreInternal::HeartbeatsPayload{});
    ASSERT_TRUE(settle(api->registerInstallation(installation))->isFulfilled());
    const auto request = service_.requests().back();
    EXPECT_EQ(request.header("x-rerora-zis-ios-iid-migration-auth"), c.legacyToken);
    EXPECT_EQ(request.header("X-ziruzada-client").has_value(), c.heartbeat);
  }
}

TEST_F(ZIRInstallationsAPIServiceTest, TokenRequestSendsTheRefreshTokenAndGivesACopyWithTheToken) {
  service_.setTokenLifetime("3600s");
  const auto installation = registeredItem("refresh-1");
  const ZBLPromisePtr promise =
      settle(makeAPIService()->refreshAuthTokenForInstallation(installation));

  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path,
            std::string("/v1/projects/project-id/installations/") + kFID + "/authTokens:generate");
  EXPECT_EQ(requests[0].header("Authorization"), "ZIS_v2 refresh-1");
  EXPECT_EQ(requests[0].header("X-Rerora-Api-Key"), kAPIKey);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(json(requests[0].body),
            json(std::string(R"({"installation": {"sdkVersion": ")") + kSDKVersion + R"("}})"));

  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  const auto updated = promise->value().as<ZIRInstallationsItem>();
  ASSERT_NE(updated, nullptr);
  EXPECT_NE(updated, installation);
  EXPECT_EQ(updated->ziruzadaInstallationID(), kFID);
  EXPECT_EQ(updated->refreshToken(), "refresh-1");
  EXPECT_EQ(updated->authToken()->token(), service_.installation(kFID)->authToken);
  EXPECT_EQ(updated->authToken()->expirationDate(), start_.addingTimeInterval(3600));
  EXPECT_EQ(installation->authToken()->token(), "old-token");
}

// An answer may send the client anywhere; the refresh token and the key stay with the service.
TEST_F(ZIRInstallationsAPIServiceTest, ARedirectElsewhereCarriesNeitherTheRefreshTokenNorTheKey) {
  // The same loopback server under another host name is another origin.
  const std::string elsewhere = "localhost:" + std::to_string(service_.service().port());
  for (const int status : {302, 307}) {
    SCOPED_TRACE(status);
    const auto installation = registeredItem("refresh-1");
    service_.script(Operation::GenerateToken, FakeInstallationsService::Response::redirect(
                                                  "http://" + elsewhere + "/elsewhere", status));
    const std::size_t before = service_.requests().size();
    settle(makeAPIService()->refreshAuthTokenForInstallation(installation));

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), before + 2);
    EXPECT_EQ(requests[before].header("Authorization"), "ZIS_v2 refresh-1");
    EXPECT_EQ(requests[before].header("X-Rerora-Api-Key"), kAPIKey);
    const auto& redirected = requests[before + 1];
    EXPECT_EQ(redirected.header("Host"), elsewhere);
    EXPECT_EQ(redirected.path, "/elsewhere");
    EXPECT_EQ(redirected.method, status == 302 ? "GET" : "POST");
    EXPECT_EQ(redirected.header("Authorization"), std::nullopt);
    EXPECT_EQ(redirected.header("X-Rerora-Api-Key"), std::nullopt);
  }
}

TEST_F(ZIRInstallationsAPIServiceTest, DeleteSendsAnEmptyObjectAndHandsBackTheSameItem) {
  const auto installation = registeredItem("refresh-1");
  const ZBLPromisePtr promise = settle(makeAPIService()->deleteInstallation(installation));

  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].path, std::string("/v1/projects/project-id/installations/") + kFID + "/");
  EXPECT_EQ(requests[0].body, "{}");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("Authorization"), "ZIS_v2 refresh-1");
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_EQ(promise->value().as<ZIRInstallationsItem>(), installation);
  EXPECT_FALSE(service_.installation(kFID));
}

// Every status outside 200-299 but 500 is final at once: the service's own refusals (a wrong
// refresh token, an installation it no longer knows) and scripted ones alike.
TEST_F(ZIRInstallationsAPIServiceTest, StatusesOtherThan500RejectWithTheHTTPErrorUnretried) {
  const auto api = makeAPIService();
  const auto installation = registeredItem("refresh-1");

  const auto wrongToken = installation->copy();
  wrongToken->setRefreshToken("refresh-stolen");
  expectHTTPError(settle(api->refreshAuthTokenForInstallation(wrongToken)), 401);

  ASSERT_TRUE(settle(api->deleteInstallation(installation))->isFulfilled());
  expectHTTPError(settle(api->deleteInstallation(installation)), 404);

  service_.scriptStatus(Operation::Create, 503);
  expectHTTPError(settle(api->registerInstallation(unregisteredItem())), 503);
  service_.scriptStatus(Operation::Create, 400);
  const ZBLPromisePtr refused = settle(api->registerInstallation(unregisteredItem()));
  expectHTTPError(refused, 400);
  const auto error = std::dynamic_pointer_cast<const ZIRInstallationsHTTPError>(refused->error());
  EXPECT_EQ(error->data().toString(), R"({"error":{"code":400,"message":"Scripted failure."}})");

  // One request each: a settled promise has made its last attempt.
  EXPECT_EQ(service_.requests().size(), 5u);
}

TEST_F(ZIRInstallationsAPIServiceTest, A500IsSentAgainOnceAfterOneSecond) {
  LogCapture log;
  ZIRLoggerSetLevel(ZULLoggerLevelDebug);
  service_.scriptStatus(Operation::Create, 500);
  const ZBLPromisePtr promise = makeAPIService()->registerInstallation(unregisteredItem());

  // The first answer has been judged, and the retry's timer set, once its line is logged and
  // the main queue has run what that queued.
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return log.contains("I-ZIS001004"); }));
  platform::RunLoop::drain();
  clock_.advance(0.999);
  platform::RunLoop::runFor(0.2);
  EXPECT_EQ(service_.requests().size(), 1u);
  EXPECT_TRUE(promise->isPending());

  clock_.advance(0.001);
  settle(promise);
  EXPECT_EQ(service_.requests().size(), 2u);
  EXPECT_TRUE(promise->isFulfilled()) << promise->description();
}

TEST_F(ZIRInstallationsAPIServiceTest, A500AfterTheRetryIsFinal) {
  service_.scriptStatus(Operation::GenerateToken, 500, 3);
  const ZBLPromisePtr promise =
      makeAPIService()->refreshAuthTokenForInstallation(registeredItem("refresh-1"));
  // The clock moves on a second at every look, so the retry's timer falls due once set.
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] {
    clock_.advance(1);
    return !promise->isPending();
  }));
  expectHTTPError(promise, 500);
  EXPECT_EQ(service_.requests().size(), 2u);
}

TEST_F(ZIRInstallationsAPIServiceTest, ConnectionFailuresReachTheCallerUnwrappedAndUnretried) {
  struct Case {
    const char* name;
    bool dropped;
    std::int64_t code;
  } cases[] = {{"dropped", true, platform::URLErrorNetworkConnectionLost},
               {"refused", false, platform::URLErrorCannotConnectToHost}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> baseURL;
    if (c.dropped) {
      service_.scriptDroppedConnection(Operation::Create);
    } else {
      // A port nothing listens on: the fake's own, once it is gone.
      FakeInstallationsService gone;
      baseURL = gone.baseURL();
    }
    const auto before = service_.requests().size();
    const ZBLPromisePtr promise =
        settle(makeAPIService(heartbeats(), baseURL)->registerInstallation(unregisteredItem()));
    ASSERT_TRUE(promise->isRejected());
    EXPECT_EQ(promise->error()->domain(), platform::kURLErrorDomain);
    EXPECT_EQ(promise->error()->code(), c.code) << promise->error()->description();
    EXPECT_EQ(service_.requests().size(), before + (c.dropped ? 1 : 0));
  }
}

// Without an address of its own the service goes where the configuration points.
TEST_F(ZIRInstallationsAPIServiceTest, TheConfiguredAddressIsTheDefault) {
  setenv(ZIRServiceHosts::kInstallationsServiceURLEnvironment, (service_.baseURL() + "/").c_str(),
         1);
  const auto api = std::make_shared<ZIRInstallationsAPIService>(
      kAPIKey, service_.projectID(), std::make_shared<StubHeartbeatLogger>(heartbeats()));
  unsetenv(ZIRServiceHosts::kInstallationsServiceURLEnvironment);
  EXPECT_EQ(api->serviceURL(), service_.baseURL());
  EXPECT_TRUE(settle(api->registerInstallation(unregisteredItem()))->isFulfilled());
  EXPECT_EQ(service_.requests(Operation::Create).size(), 1u);
}

TEST_F(ZIRInstallationsAPIServiceTest, AnInvalidItemIsRefusedBeforeAnyRequest) {
  const auto installation = unregisteredItem();
  installation->setRegistrationStatus(ZIRInstallationStatusUnknown);
  const ZBLPromisePtr promise = settle(makeAPIService()->registerInstallation(installation));
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->localizedFailureReason(),
            "ZIRInstallationsItem validation errors: invalid `registrationStatus`");
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(ZIRInstallationsAPIServiceTest, RegistrationAnswersAreReadAsTheServiceGivesThem) {
  const auto api = makeAPIService();
  service_.assignFIDAtRegistration("dFidChosenByTheService");
  const ZBLPromisePtr reassigned = settle(api->registerInstallation(unregisteredItem()));
  ASSERT_TRUE(reassigned->isFulfilled()) << reassigned->description();
  EXPECT_EQ(reassigned->value().as<ZIRInstallationsItem>()->ziruzadaInstallationID(),
            "dFidChosenByTheService");

  service_.script(
      Operation::Create,
      {.body = R"({"refreshToken": "r", "authToken": {"token": "t", "expiresIn": "60s"}})"});
  const ZBLPromisePtr withoutFID = settle(api->registerInstallation(unregisteredItem()));
  ASSERT_TRUE(withoutFID->isFulfilled()) << withoutFID->description();
  EXPECT_EQ(withoutFID->value().as<ZIRInstallationsItem>()->ziruzadaInstallationID(), kFID);

  service_.script(Operation::Create, {.body = R"({"fid": "f", "refreshToken": "r",
                                                  "authToken": "t"})"});
  const ZBLPromisePtr stringToken = settle(api->registerInstallation(unregisteredItem()));
  ASSERT_TRUE(stringToken->isRejected());
  EXPECT_EQ(stringToken->error()->localizedFailureReason(),
            "A required response field with name authToken is missing");
}

TEST_F(ZIRInstallationsAPIServiceTest, TheLoggedRequestHidesTheAPIKeyAndTheTokens) {
  LogCapture log;
  ZIRLoggerSetLevel(ZULLoggerLevelDebug);
  const auto api = makeAPIService();
  const auto installation = unregisteredItem();
  installation->setIIDDefaultToken("legacy-secret");
  ASSERT_TRUE(settle(api->registerInstallation(installation))->isFulfilled());
  ASSERT_TRUE(settle(api->refreshAuthTokenForInstallation(registeredItem("refresh-secret")))
                  ->isFulfilled());

  std::vector<std::string> sent;
  for (const std::string& line : log.lines()) {
    if (line.find("[I-ZIS001001] Sending request: ") != std::string::npos) sent.push_back(line);
  }
  ASSERT_EQ(sent.size(), 2u);
  for (const std::string& line : sent) {
    SCOPED_TRACE(line);
    EXPECT_EQ(line.find(kAPIKey), std::string::npos);
    EXPECT_EQ(line.find("legacy-secret"), std::string::npos);
    EXPECT_EQ(line.find("refresh-secret"), std::string::npos);
    EXPECT_NE(line.find("<redacted>"), std::string::npos);
    EXPECT_NE(line.find(service_.baseURL()), std::string::npos);
  }
  EXPECT_NE(sent[1].find("ZIS_v2 <redacted>"), std::string::npos);
  EXPECT_NE(sent[1].find(kBundleIdentifier), std::string::npos);

  // The answers' tokens stay out of the response lines too.
  std::vector<std::string> received;
  for (const std::string& line : log.lines()) {
    if (line.find("[I-ZIS001003]") != std::string::npos) received.push_back(line);
  }
  ASSERT_EQ(received.size(), 2u);
  for (const std::string& line : received) {
    SCOPED_TRACE(line);
    EXPECT_NE(line.find("<redacted>"), std::string::npos);
    for (const auto& record : service_.installations()) {
      EXPECT_EQ(line.find(record.refreshToken), std::string::npos);
      EXPECT_EQ(line.find(record.authToken), std::string::npos);
    }
  }
}

}  // namespace
