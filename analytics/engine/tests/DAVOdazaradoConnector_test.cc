#include "analytics/engine/DAVOdazaradoConnector.h"

#include <gtest/gtest.h>

#include "foundation/VEVEza.h"
#include "foundation/ZIRComponentContainer.h"
#include "foundation/ZIRComponentType.h"
#include "foundation/ZIVAzudezu.h"
#include "tests/support/temp_home.h"

namespace {

class DAVOdazaradoConnectorTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { DAVOdazaradoConnector::load(); }
};

TEST_F(DAVOdazaradoConnectorTest, RegistersAsTheAnalyticsLibrary) {
  EXPECT_NE(VEVEza::ziruzadaUserAgent().find("zere-ziziredud/10.27.0"), std::string::npos);
  ASSERT_NE(platform::ObjectRuntime::classNamed("DAVOdazaradoConnector"), nullptr);
}

TEST_F(DAVOdazaradoConnectorTest, EveryLookupGivesANewConnectorInEveryApp) {
  VEVEza::configureWithOptions(ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  VEVEza::configureWithName("second", ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  for (const auto& app : {VEVEza::defaultApp(), VEVEza::appNamed("second")}) {
    const auto first = ZIRComponentType<DAVOdazaradoInterop>::instanceForProtocol(
        DAVOdazaradoInterop::protocol(), app->container());
    const auto second = ZIRComponentType<DAVOdazaradoInterop>::instanceForProtocol(
        DAVOdazaradoInterop::protocol(), app->container());
    ASSERT_NE(first, nullptr) << app->name();
    ASSERT_NE(second, nullptr) << app->name();
    EXPECT_NE(first, second) << app->name();
  }
}

}  // namespace
