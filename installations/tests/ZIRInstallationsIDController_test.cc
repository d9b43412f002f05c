#include "installations/ZIRInstallationsIDController.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZIRHeartbeatLogger.h"
#include "foundation/ZULKeychainStorage.h"
#include "foundation/tests/log_capture.h"
#include "installations/ZIRInstallationsAPIService.h"
#include "installations/ZIRInstallationsBackoffController.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsIIDStore.h"
#include "installations/ZIRInstallationsIIDTokenStore.h"
#include "installations/ZIRInstallationsItem.h"
#include "installations/ZIRInstallationsStore.h"
#include "platform/date.h"
#include "platform/notification_center.h"
#include "platform/url_session.h"
#include "tests/support/fake_installations_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using testing_support::FakeInstallationsService;
using Operation = FakeInstallationsService::Operation;
using ItemPtr = std::shared_ptr<ZIRInstallationsItem>;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr const char* kAppName = "second-app";

// A settled promise's outcome.
struct Outcome {
  ItemPtr item;
  platform::ErrorPtr error;
};

// The controller of one app against a loopback installations service, with a real keychain
// store and user defaults in the test's own home. Every identifier-change notification for
// any app is counted.
class InstallationsControllerTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    home_.useBundle();
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        ZIRInstallationIDDidChangeNotification, nullptr, nullptr,
        [this](const platform::Notification& notification) {
          const platform::Value* name =
              notification.userInfo.find(kZIRInstallationIDDidChangeNotificationAppNameKey);
          notifiedAppNames_.push_back(name && name->asString() ? *name->asString() : "");
        });
  }
  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
  }

  std::shared_ptr<ZIRInstallationsStore> makeStore() const {
    return std::make_shared<ZIRInstallationsStore>(
        std::make_shared<ZULKeychainStorage>(
            ZIRInstallationsIDController::keychainServiceWithAppID(kAppID)),
        std::nullopt);
  }

  std::shared_ptr<ZIRInstallationsIDController>
  makeController(const std::string& appName = kAppName,
                 std::shared_ptr<ZIRInstallationsBackoffControllerProtocol> backoff = nullptr) {
    auto APIService = std::make_shared<ZIRInstallationsAPIService>(
        platform::URLSession::create({}), "AKey", service_.projectID(),
        std::make_shared<ZIRHeartbeatLogger>(kAppID), service_.baseURL());
    if (!backoff) backoff = std::make_shared<ZIRInstallationsBackoffController>();
    return ZIRInstallationsIDController::initWithReroraAppID(
        kAppID, appName, makeStore(), std::move(APIService),
        std::make_shared<ZIRInstallationsIIDStore>(),
        std::make_shared<ZIRInstallationsIIDTokenStore>("123"), std::move(backoff));
  }

  static Outcome settle(const ZBLPromisePtr& promise) {
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return {promise->value().as<ZIRInstallationsItem>(), promise->error()};
  }

  // A registered installation on the device and on the service, whose token has this long
  // left.
  ItemPtr storeRegisteredInstallation(double secondsLeft) {
    auto item = std::make_shared<ZIRInstallationsItem>(kAppID, kAppName);
    item->setZiruzadaInstallationID("cAAAAAAAAAAAAAAAAAAAAA");
    item->setRefreshToken("refresh-1");
    auto token = std::make_shared<ZIRInstallationsStoredAuthToken>();
    token->setStatus(ZIRInstallationsAuthTokenStatusTokenReceived);
    token->setToken("old-token");
    token->setExpirationDate(platform::Date::now().addingTimeInterval(secondsLeft));
    item->setAuthToken(token);
    item->setRegistrationStatus(ZIRInstallationStatusRegistered);
    const Outcome saved = settle(makeStore()->saveInstallation(item));
    EXPECT_EQ(saved.error, nullptr);
    service_.addInstallation("cAAAAAAAAAAAAAAAAAAAAA", "refresh-1", kAppID);
    return item;
  }

  std::size_t requestCount(Operation operation) const {
    return service_.requests(operation).size();
  }

  FakeInstallationsService service_;
  std::vector<std::string> notifiedAppNames_;
  platform::ObserverToken observer_;
};

TEST_F(InstallationsControllerTest, FirstTokenOnAFreshDeviceRegistersOnceAndStoresIt) {
  const auto controller = makeController();
  const Outcome outcome = settle(controller->getAuthTokenForcingRefresh(false));

  ASSERT_EQ(outcome.error, nullptr) << outcome.error->description();
  ASSERT_TRUE(outcome.item->ziruzadaInstallationID());
  const std::string fid = *outcome.item->ziruzadaInstallationID();
  EXPECT_EQ(fid.size(), 22u);
  EXPECT_EQ(outcome.item->registrationStatus(), ZIRInstallationStatusRegistered);
  ASSERT_TRUE(outcome.item->authToken());
  EXPECT_EQ(outcome.item->authToken()->token(), service_.installation(fid)->authToken);
  EXPECT_EQ(requestCount(Operation::Create), 1u);
  // The token of the registration answer is valid for a week: no token request.
  EXPECT_EQ(requestCount(Operation::GenerateToken), 0u);
  EXPECT_EQ(notifiedAppNames_, std::vector<std::string>{kAppName});

  // A second controller (a later launch) finds the registered installation without asking.
  const Outcome again = settle(makeController()->getAuthTokenForcingRefresh(false));
  ASSERT_EQ(again.error, nullptr);
  EXPECT_EQ(again.item->ziruzadaInstallationID(), fid);
  EXPECT_EQ(again.item->authToken()->token(), outcome.item->authToken()->token());
  EXPECT_EQ(service_.requests().size(), 1u);
}

TEST_F(InstallationsControllerTest, ConcurrentCallsShareOneCreationAndOneRegistration) {
  const auto controller = makeController();
  const ZBLPromisePtr first = controller->getInstallationItem();
  EXPECT_EQ(controller->getInstallationItem(), first);
  std::vector<ZBLPromisePtr> tokens;
  for (int i = 0; i < 100; ++i) tokens.push_back(controller->getAuthTokenForcingRefresh(false));

  const Outcome identifier = settle(first);
  ASSERT_EQ(identifier.error, nullptr);
  for (const ZBLPromisePtr& token : tokens) {
    const Outcome outcome = settle(token);
    ASSERT_EQ(outcome.error, nullptr);
    EXPECT_EQ(outcome.item->ziruzadaInstallationID(), identifier.item->ziruzadaInstallationID());
  }
  EXPECT_EQ(service_.requests().size(), 1u);
  EXPECT_EQ(notifiedAppNames_.size(), 1u);
}

struct RefreshCase {
  double secondsLeft;
  bool force;
  bool refreshed;
};

class InstallationsTokenRefreshTest : public InstallationsControllerTest,
                                      public testing::WithParamInterface<RefreshCase> {};

TEST_P(InstallationsTokenRefreshTest, RefreshesOnlyWithLessThanAnHourLeftOrWhenForced) {
  const RefreshCase& c = GetParam();
  storeRegisteredInstallation(c.secondsLeft);

  const Outcome outcome = settle(makeController()->getAuthTokenForcingRefresh(c.force));

  ASSERT_EQ(outcome.error, nullptr) << outcome.error->description();
  EXPECT_EQ(requestCount(Operation::Create), 0u);
  EXPECT_EQ(requestCount(Operation::GenerateToken), c.refreshed ? 1u : 0u);
  if (c.refreshed) {
    const auto requests = service_.requests(Operation::GenerateToken);
    EXPECT_EQ(requests[0].header("Authorization"), "ZIS_v2 refresh-1");
    const std::string issued = service_.installation("cAAAAAAAAAAAAAAAAAAAAA")->authToken;
    EXPECT_EQ(outcome.item->authToken()->token(), issued);
    // The new token is what the next launch finds.
    const Outcome stored = settle(makeStore()->installationForAppID(kAppID, kAppName));
    ASSERT_EQ(stored.error, nullptr);
    EXPECT_EQ(stored.item->authToken()->token(), issued);
  } else {
    EXPECT_EQ(outcome.item->authToken()->token(), "old-token");
  }
  EXPECT_TRUE(notifiedAppNames_.empty());
}

INSTANTIATE_TEST_SUITE_P(Expiry, InstallationsTokenRefreshTest,
                         testing::Values(RefreshCase{59 * 60, false, true},
                                         RefreshCase{61 * 60, false, false},
                                         RefreshCase{61 * 60, true, true},
                                         RefreshCase{-10, false, true}));

TEST_F(InstallationsControllerTest, AForcedRequestInProgressServesANonForcedOne) {
  storeRegisteredInstallation(7 * 24 * 3600);
  const auto controller = makeController();
  const ZBLPromisePtr forced = controller->getAuthTokenForcingRefresh(true);
  EXPECT_EQ(controller->getAuthTokenForcingRefresh(false), forced);
  ASSERT_EQ(settle(forced).error, nullptr);
  EXPECT_EQ(requestCount(Operation::GenerateToken), 1u);
}

TEST_F(InstallationsControllerTest, RefreshAnswered401StartsAFreshInstallation) {
  storeRegisteredInstallation(60);
  service_.scriptStatus(Operation::GenerateToken, 401);

  const Outcome outcome = settle(makeController()->getAuthTokenForcingRefresh(false));

  ASSERT_EQ(outcome.error, nullptr) << outcome.error->description();
  const std::string fid = outcome.item->ziruzadaInstallationID().value_or("");
  EXPECT_NE(fid, "cAAAAAAAAAAAAAAAAAAAAA");
  EXPECT_EQ(outcome.item->authToken()->token(), service_.installation(fid)->authToken);
  EXPECT_EQ(requestCount(Operation::Create), 1u);
  // One for the local deletion, one for the new installation.
  EXPECT_EQ(notifiedAppNames_, (std::vector<std::string>{kAppName, kAppName}));
  const Outcome stored = settle(makeStore()->installationForAppID(kAppID, kAppName));
  ASSERT_EQ(stored.error, nullptr);
  EXPECT_EQ(stored.item->ziruzadaInstallationID(), fid);
}

TEST_F(InstallationsControllerTest, AServiceThatKeepsForgettingIsReportedAfterOneRegeneration) {
  storeRegisteredInstallation(60);
  service_.scriptStatus(Operation::GenerateToken, 401);
  service_.scriptStatus(Operation::Create, 404, 10);

  const Outcome outcome = settle(makeController()->getAuthTokenForcingRefresh(false));

  ASSERT_NE(outcome.error, nullptr);
  EXPECT_TRUE(ZIRInstallationsErrorUtil::isAPIError(outcome.error, 404));
  EXPECT_EQ(requestCount(Operation::Create), 1u);
}

TEST_F(InstallationsControllerTest, TheServiceMayAssignAnotherIdentifierAtRegistration) {
  service_.assignFIDAtRegistration("dBBBBBBBBBBBBBBBBBBBBB");

  const Outcome outcome = settle(makeController()->getAuthTokenForcingRefresh(false));

  ASSERT_EQ(outcome.error, nullptr);
  EXPECT_EQ(outcome.item->ziruzadaInstallationID(), "dBBBBBBBBBBBBBBBBBBBBB");
  const Outcome stored = settle(makeStore()->installationForAppID(kAppID, kAppName));
  EXPECT_EQ(stored.item->ziruzadaInstallationID(), "dBBBBBBBBBBBBBBBBBBBBB");
  EXPECT_EQ(notifiedAppNames_.size(), 2u);  // the new installation, then the changed identifier
}

TEST_F(InstallationsControllerTest, ARegistrationRefusedWith403WaitsADayAndSaysWhy) {
  LogCapture log;
  service_.scriptStatus(Operation::Create, 403);
  const auto controller = makeController();

  const Outcome refused = settle(controller->getAuthTokenForcingRefresh(false));
  ASSERT_NE(refused.error, nullptr);
  EXPECT_TRUE(ZIRInstallationsErrorUtil::isAPIError(refused.error, 403));
  EXPECT_TRUE(log.waitFor("I-ZIS002003"));

  // The identifier is still handed out; the next token request waits without asking.
  const Outcome identifier = settle(controller->getInstallationItem());
  ASSERT_EQ(identifier.error, nullptr);
  EXPECT_EQ(identifier.item->registrationStatus(), ZIRInstallationStatusUnregistered);
  const Outcome throttled = settle(controller->getAuthTokenForcingRefresh(false));
  ASSERT_NE(throttled.error, nullptr);
  EXPECT_EQ(throttled.error->domain(), ZIRInstallationsErrorDomain);
  EXPECT_EQ(throttled.error->code(), ZIRInstallationsErrorCodeServerUnreachable);
  EXPECT_EQ(requestCount(Operation::Create), 1u);
}

TEST_F(InstallationsControllerTest, DeleteRemovesTheInstallationHereAndOnTheService) {
  for (const bool serviceForgotIt : {false, true}) {
    SCOPED_TRACE(serviceForgotIt ? "service answers 404" : "service deletes");
    storeRegisteredInstallation(7 * 24 * 3600);
    if (serviceForgotIt) service_.scriptStatus(Operation::Delete, 404);
    notifiedAppNames_.clear();
    const std::size_t deletesBefore = requestCount(Operation::Delete);

    const ZBLPromisePtr deletion = makeController()->deleteInstallation();
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !deletion->isPending(); }));

    EXPECT_EQ(deletion->error(), nullptr);
    EXPECT_EQ(requestCount(Operation::Delete), deletesBefore + 1);
    EXPECT_EQ(service_.requests(Operation::Delete).back().header("Authorization"),
              "ZIS_v2 refresh-1");
    EXPECT_NE(settle(makeStore()->installationForAppID(kAppID, kAppName)).error, nullptr);
    EXPECT_EQ(notifiedAppNames_.size(), 1u);
  }
}

TEST_F(InstallationsControllerTest, DeleteWithNothingStoredReportsNotFound) {
  const ZBLPromisePtr deletion = makeController()->deleteInstallation();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !deletion->isPending(); }));
  ASSERT_NE(deletion->error(), nullptr);
  EXPECT_EQ(deletion->error()->localizedFailureReason(), std::string("Installation for appID ") +
                                                             kAppID + " appName " + kAppName +
                                                             " not found");
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(InstallationsControllerTest, KeychainServiceNamesTheApp) {
  EXPECT_EQ(ZIRInstallationsIDController::keychainServiceWithAppID("1:2:ios:3"),
            "com.ziruzada.ZIRInstallations.installations.1:2:ios:3");
}

}  // namespace
