#include "platform/bundle.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/plist.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class BundleTest : public testing_support::TemporaryHomeTest {
 protected:
  // A bundle folder with an Info.plist and one image.
  fs::path makeBundle() {
    fs::path path = home_.path() / "Resources";
    fs::create_directories(path);
    Dictionary info{{"CFBundleIdentifier", "com.example.viewer"},
                    {"CFBundleShortVersionString", "2.4"},
                    {"CFBundleVersion", "240"},
                    {"ServiceURL", "http://127.0.0.1:1/"}};
    EXPECT_TRUE(plist::writeFile(Value(info), (path / "Info.plist").string(), plist::Format::XML));
    std::ofstream(path / "logo.png") << "png";
    return path;
  }
};

TEST_F(BundleTest, ReadsTheInfoDictionaryAndResourcesOfTheMainBundle) {
  fs::path path = makeBundle();
  Bundle::setMainForTesting(path);
  Bundle& bundle = Bundle::main();
  EXPECT_EQ(bundle.bundlePath(), path);
  EXPECT_EQ(bundle.resourcePath(), path);
  EXPECT_EQ(bundle.bundleIdentifier(), "com.example.viewer");
  EXPECT_EQ(bundle.shortVersionString(), "2.4");
  EXPECT_EQ(bundle.version(), "240");
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("ServiceURL"), Value("http://127.0.0.1:1/"));
  EXPECT_TRUE(bundle.objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(bundle.infoDictionary().size(), 4u);

  EXPECT_EQ(bundle.pathForResource("logo", "png"), path / "logo.png");
  EXPECT_EQ(bundle.pathForResource("logo.png", ""), path / "logo.png");
  EXPECT_EQ(bundle.pathForResource("logo", "jpg"), std::nullopt);
}

TEST_F(BundleTest, WithoutInfoPlistTheIdentifierIsTheExecutableName) {
  fs::path empty = home_.path() / "Empty";
  fs::path corrupt = home_.path() / "Corrupt";
  fs::create_directories(empty);
  fs::create_directories(corrupt);
  std::ofstream(corrupt / "Info.plist") << "<?xml this is not a property list";
  for (const fs::path& path : {empty, corrupt, home_.path() / "Missing"}) {
    SCOPED_TRACE(path);
    Bundle bundle(path);
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_EQ(bundle.bundleIdentifier(), "platform_fresh_tests");
    EXPECT_EQ(bundle.shortVersionString(), std::nullopt);
    EXPECT_EQ(bundle.version(), std::nullopt);
  }
  EXPECT_EQ(Bundle(empty).executablePath().filename(), "platform_fresh_tests");
}

TEST_F(BundleTest, ReferencesToAReplacedMainBundleStayValid) {
  Bundle& before = Bundle::main();
  fs::path beforePath = before.bundlePath();
  Bundle::setMainForTesting(makeBundle());
  EXPECT_EQ(before.bundlePath(), beforePath);
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.viewer");
}

TEST_F(BundleTest, TheEnvironmentVariableChoosesTheMainBundle) {
  fs::path path = makeBundle();
  auto result = testing_support::runTestInChildProcess(
      "BundleChild.DISABLED_MainBundleIsTheOneNamedByTheEnvironment",
      {{"VILMO_BUNDLE_PATH", path.string()}, {"EXPECTED_BUNDLE_PATH", path.string()}});
  EXPECT_TRUE(result.passed()) << result.output;
}

TEST_F(BundleTest, DefaultMainBundleIsTheResourcesFolderBesideTheExecutable) {
  auto result = testing_support::runTestInChildProcess(
      "BundleChild.DISABLED_MainBundleIsBesideTheExecutable", {{"VILMO_BUNDLE_PATH", ""}});
  EXPECT_TRUE(result.passed()) << result.output;
}

// Run only in a child process started by the tests above: the main bundle is chosen once
// per process, at first use.
TEST(BundleChild, DISABLED_MainBundleIsTheOneNamedByTheEnvironment) {
  const char* expected = std::getenv("EXPECTED_BUNDLE_PATH");
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(Bundle::main().bundlePath(), fs::path(expected));
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.viewer");
}

TEST(BundleChild, DISABLED_MainBundleIsBesideTheExecutable) {
  Bundle& bundle = Bundle::main();
  EXPECT_EQ(bundle.bundlePath(), bundle.executablePath().parent_path() / "Resources");
}

}  // namespace
}  // namespace platform
