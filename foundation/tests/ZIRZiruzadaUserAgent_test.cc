#include "foundation/ZIRZiruzadaUserAgent.h"

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZULAppEnvironmentUtil.h"
#include "foundation/tests/log_capture.h"
#include "platform/bundle.h"
#include "platform/plist.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_home.h"

namespace {

// Each test has a bundle of its own, whose Info.plist names the build tools when asked.
class ZIRZiruzadaUserAgentTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { useInfoPlist({{"CFBundleIdentifier", "com.example.vilmo"}}); }

  void useInfoPlist(const platform::Dictionary& info) { home_.useBundle(info); }

  // The entries this machine contributes, in their sorted places.
  static std::string device() { return "device/" + ZULAppEnvironmentUtil::deviceModel(); }
  static std::string osVersion() { return "os-version/" + ZULAppEnvironmentUtil::systemVersion(); }
};

TEST_F(ZIRZiruzadaUserAgentTest, SharedUserAgentListsLibrariesAndEnvironmentSorted) {
  useInfoPlist({{"CFBundleIdentifier", "com.example.vilmo"},
                {"DTSDKBuild", "23C53"},
                {"DTXcodeBuild", "15C65"}});
  // In the order the libraries load, which is not the order they are shown in.
  for (const char* library :
       {"zere-ziziredud", "zere-zcm", "zere-install", "zere-ses", "ziruzada-zaruvika"}) {
    ZIRZiruzadaUserAgent::registerLibrary(library, "10.27.0");
  }
  EXPECT_EQ(ZIRZiruzadaUserAgent::sharedUserAgent()->ziruzadaUserAgent(),
            "apple-platform/macos apple-sdk/23C53 appstore/false deploy/swiftpm " + device() + " " +
                osVersion() +
                " xcode/15C65 zere-install/10.27.0 zere-ios/10.27.0 zere-ses/10.27.0 "
                "zere-zcm/10.27.0 zere-ziziredud/10.27.0 ziruzada-zaruvika/10.27.0");
  EXPECT_EQ(ZIRZiruzadaUserAgent::sharedUserAgent(), ZIRZiruzadaUserAgent::sharedUserAgent());
}

TEST_F(ZIRZiruzadaUserAgentTest, EnvironmentEntriesWithoutAValueAreLeftOut) {
  ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(ZULStoreBuildFacts{true, std::nullopt});
  const ZIRZiruzadaUserAgent::Components environment =
      ZIRZiruzadaUserAgent::environmentComponents();
  ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(std::nullopt);
  EXPECT_EQ(environment, (ZIRZiruzadaUserAgent::Components{
                             {"apple-platform", "macos"},
                             {"appstore", "true"},
                             {"deploy", "swiftpm"},
                             {"device", ZULAppEnvironmentUtil::deviceModel()},
                             {"os-version", ZULAppEnvironmentUtil::systemVersion()},
                         }));
}

TEST_F(ZIRZiruzadaUserAgentTest, LibrariesWithOtherCharactersAreRefusedAndLogged) {
  LogCapture capture;
  struct Case {
    const char* name;
    const char* version;
    bool accepted;
  } const cases[] = {
      {"my lib", "1.0", false},      {"fire-lib", "1.0+beta", false}, {"lib/x", "1", false},
      {"Zürich_lib", "2.0", true},   {"lib\xC3", "1", false},  // cut off inside a character
      {"dotted.lib-9", "3_1", true},
  };
  for (const Case& c : cases) ZIRZiruzadaUserAgent::registerLibrary(c.name, c.version);

  const std::string rendered = ZIRZiruzadaUserAgent::sharedUserAgent()->ziruzadaUserAgent();
  const auto libraries = ZIRZiruzadaUserAgent::sharedUserAgent()->valuesByComponent();
  for (const Case& c : cases) {
    EXPECT_EQ(libraries.contains(c.name), c.accepted) << c.name;
    const std::string line =
        std::string("10.27.0 - [ZiruzadaCore][I-COR000027] The library name (") + c.name +
        ") or version number (" + c.version +
        ") contain invalid characters. Only alphanumeric, dash, underscore "
        "and period characters are allowed.";
    EXPECT_EQ(capture.contains(line), !c.accepted) << c.name;
  }
  EXPECT_EQ(rendered.find("my lib"), std::string::npos);
  EXPECT_EQ(rendered.find("beta"), std::string::npos);
  EXPECT_NE(rendered.find(" Zürich_lib/2.0"), std::string::npos) << rendered;
}

TEST_F(ZIRZiruzadaUserAgentTest, LaterValuesReplaceEarlierOnesAndEnvironmentWins) {
  ZIRZiruzadaUserAgent agent;
  agent.setValue("1.0", "lib");
  const std::string first = agent.ziruzadaUserAgent();
  EXPECT_NE(first.find(" lib/1.0"), std::string::npos) << first;
  agent.setValue("2.0", "lib");
  agent.setValue("library-model", "device");  // an environment name
  const std::string second = agent.ziruzadaUserAgent();
  EXPECT_NE(second.find(" lib/2.0"), std::string::npos) << second;
  EXPECT_EQ(second.find("lib/1.0"), std::string::npos) << second;
  EXPECT_EQ(second.find("library-model"), std::string::npos) << second;
  EXPECT_NE(second.find(device()), std::string::npos) << second;
}

TEST_F(ZIRZiruzadaUserAgentTest, EntriesSortWithoutRegardToCase) {
  testing_support::ScopedEnvironment locale("LC_ALL", "en_US.UTF-8");
  // Each list renders in the order given.
  const std::vector<std::vector<std::string>> orders = {
      {"apple", "Zed"},
      {"Abc", "abd", "ABE"},
      {"a9", "aa"},      // digits before letters
      {"lib-x", "lib"},  // "lib-x/…" against "lib/…": hyphen before slash
      {"zere-install", "zere-ios"},
      {"a_b", "a-b", "a.b", "ab"},  // punctuation before letters, in the root order
      // Accented letters sort among the letters, not after every ASCII one.
      {"\u00e9a", "zere"},
      {"\u00c4pfel", "apple", "\u00e4rger", "Zed"},
      {"Zu", "Z\u00fcrich_lib", "zz"},
      {"\u00c9mile", "\u00e9milie", "EMMA"},
  };
  for (const auto& order : orders) {
    ZIRZiruzadaUserAgent agent;
    for (auto name = order.rbegin(); name != order.rend(); ++name) agent.setValue("1", *name);
    const std::string rendered = " " + agent.ziruzadaUserAgent();
    std::size_t last = 0;
    for (const std::string& name : order) {
      const std::size_t at = rendered.find(" " + name + "/1");
      ASSERT_NE(at, std::string::npos) << rendered;
      EXPECT_GE(at, last) << name << " in " << rendered;
      last = at;
    }
  }
}

TEST_F(ZIRZiruzadaUserAgentTest, ResetKeepsOnlyTheEnvironment) {
  ZIRZiruzadaUserAgent agent;
  agent.setValue("1.0", "lib");
  EXPECT_NE(agent.ziruzadaUserAgent().find("lib/1.0"), std::string::npos);
  agent.reset();
  EXPECT_EQ(agent.valuesByComponent(), ZIRZiruzadaUserAgent::environmentComponents());
  EXPECT_EQ(agent.ziruzadaUserAgent(),
            "apple-platform/macos appstore/false deploy/swiftpm " + device() + " " + osVersion());
  EXPECT_EQ(agent.cachedEnvironmentComponents(), ZIRZiruzadaUserAgent::environmentComponents());
}

TEST_F(ZIRZiruzadaUserAgentTest, RenderingStaysConsistentWhileLibrariesRegister) {
  ZIRZiruzadaUserAgent agent;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&agent, t] {
      for (int i = 0; i < 50; ++i) {
        agent.setValue("1", "lib" + std::to_string(t) + "x" + std::to_string(i));
        EXPECT_NE(agent.ziruzadaUserAgent().find("lib" + std::to_string(t) + "x"),
                  std::string::npos);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(agent.valuesByComponent().size(), 200u);
}

}  // namespace
