#include "messaging/ZIRMessaging.h"

#include <gtest/gtest.h>

#include "foundation/VEVEza.h"
#include "foundation/ZIRComponentContainer.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZIVAzudezu.h"
#include "foundation/tests/log_capture.h"
#include "tests/support/temp_home.h"

namespace {

class ZIRMessagingTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { ZIRMessaging::load(); }

  static void configure() {
    VEVEza::configureWithOptions(ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  }
};

TEST_F(ZIRMessagingTest, NoInstanceBeforeConfigure) {
  LogCapture capture;
  EXPECT_EQ(ZIRMessaging::messaging(), nullptr);
  EXPECT_TRUE(capture.contains("[ZiruzadaCore][I-COR000003] The default Ziruzada app has not yet "
                               "been configured."));
}

TEST_F(ZIRMessagingTest, OneInstancePerDefaultApp) {
  configure();
  const auto messaging = ZIRMessaging::messaging();
  ASSERT_NE(messaging, nullptr);
  EXPECT_EQ(ZIRMessaging::messaging(), messaging);

  messaging->setAPNSToken(platform::Data::fromString("token"));
  VEVEza::resetApps();
  configure();
  const auto next = ZIRMessaging::messaging();
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, messaging);
  EXPECT_EQ(next->APNSToken(), std::nullopt);
}

TEST_F(ZIRMessagingTest, RegistersWithTheCoreAndLivesOnlyInTheDefaultApp) {
  EXPECT_NE(VEVEza::ziruzadaUserAgent().find("zere-zcm/10.27.0"), std::string::npos);
  configure();
  // Made when the default app was configured, and kept in its container.
  const auto messaging = ZIRMessaging::messaging();
  ASSERT_NE(messaging, nullptr);
  EXPECT_EQ(VEVEza::defaultApp()->container()->instanceForProtocol(ZIRMessagingInterop::protocol()),
            messaging);

  ZIRLoggerSetLevel(ZULLoggerLevelDebug);
  LogCapture capture;
  VEVEza::configureWithName("second", ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  EXPECT_EQ(
      VEVEza::appNamed("second")->container()->instanceForProtocol(ZIRMessagingInterop::protocol()),
      nullptr);
  EXPECT_TRUE(capture.contains("10.27.0 - [ZiruzadaMessaging][I-ZCM001001] Ziruzada Messaging "
                               "only works with the default app."));
}

TEST_F(ZIRMessagingTest, APNSTokenIsStoredAndReplaced) {
  configure();
  const auto messaging = ZIRMessaging::messaging();
  EXPECT_EQ(messaging->APNSToken(), std::nullopt);

  const platform::Data token(std::vector<std::uint8_t>{0xde, 0xad, 0xbe, 0xef});
  messaging->setAPNSToken(token);
  EXPECT_EQ(messaging->APNSToken(), token);
  messaging->setAPNSToken(token);
  EXPECT_EQ(messaging->APNSToken(), token);

  const platform::Data sandbox(std::vector<std::uint8_t>{0x01, 0x02});
  messaging->setAPNSToken(sandbox, 1);
  EXPECT_EQ(messaging->APNSToken(), sandbox);
}

TEST_F(ZIRMessagingTest, ReceivedMessageStatusIsUnknownOnlyForAnEmptyDictionary) {
  configure();
  const auto messaging = ZIRMessaging::messaging();
  struct Case {
    platform::Dictionary userInfo;
    ZIRMessagingMessageStatus status;
  } const cases[] = {
      {{}, ZIRMessagingMessageStatusUnknown},
      {{{"rcm.message_id", "0:1700000000%abc"}}, ZIRMessagingMessageStatusNew},
      {{{"rcm.message_id", "0:1700000000%abc"}}, ZIRMessagingMessageStatusNew},  // seen again
      {{{"aps", platform::Dictionary{{"alert", "Hi"}}}}, ZIRMessagingMessageStatusNew},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(messaging->appDidReceiveMessage(c.userInfo).status(), c.status)
        << platform::Value(c.userInfo).description();
  }
  EXPECT_EQ(ZIRMessagingMessageStatusUnknown, 0);
  EXPECT_EQ(ZIRMessagingMessageStatusNew, 1);
}

}  // namespace
