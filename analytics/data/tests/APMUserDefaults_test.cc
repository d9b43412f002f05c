#include "analytics/data/APMUserDefaults.h"

#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMPersistentDictionary.h"
#include "foundation/tests/log_capture.h"
#include "platform/files.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Value;

class OpaqueObject : public platform::ValueObject {
 public:
  const char* className() const override { return "OpaqueObject"; }
  std::string description() const override { return "opaque"; }
  bool isEqual(const platform::ValueObject& other) const override { return this == &other; }
};

// The backup mark on a file: its text, "" without one, none where the file system keeps no
// such marks.
std::optional<std::string> backupMark(const std::string& path) {
  char buffer[16] = {};
  const ssize_t got = ::getxattr(path.c_str(), "user.xdg.robots.backup", buffer, sizeof buffer);
  if (got >= 0) return std::string(buffer, static_cast<std::size_t>(got));
  if (errno == ENOTSUP) return std::nullopt;
  return "";
}

class APMUserDefaultsTest : public testing_support::TemporaryHomeTest {};

TEST_F(APMUserDefaultsTest, KeysAndValuesAreCheckedAndRefusalsLogged) {
  LogCapture capture;
  APMUserDefaults defaults(std::string("APMAnalyticsSuiteName"));
  defaults.setObject(Value("kept"), "k");

  EXPECT_FALSE(defaults.objectForKey(""));
  defaults.setObject(Value("v"), "");
  defaults.setObject(Value(std::make_shared<OpaqueObject>()), "k");
  // The preference file cannot hold what the array holds: refused the same way, not thrown.
  defaults.setObject(Value(platform::Array{Value(std::make_shared<OpaqueObject>())}), "k");
  EXPECT_EQ(defaults.stringForKey("k"), "kept");

  EXPECT_TRUE(capture.contains(
      "<DedArorarivuva>[I-ACS041001] Cannot get object for invalid user default key."));
  EXPECT_TRUE(capture.contains(
      "<DedArorarivuva>[I-ACS041002] Cannot set object for invalid user default key."));
  EXPECT_TRUE(capture.contains("<DedArorarivuva>[I-ACS041003] Cannot set invalid object to user "
                               "defaults. Must be a string or number or an array. Value opaque"));
}

TEST_F(APMUserDefaultsTest, TypedAccessAndRemoval) {
  APMUserDefaults defaults(std::string("com.rerora.viz.measurement.monitor"));
  defaults.setInteger(42, "integer");
  defaults.setDouble(2.5, "double");
  defaults.setFloat(0.5F, "float");
  defaults.setBool(true, "bool");
  defaults.setObject(Value("text"), "string");
  defaults.setObject(Value(platform::Array{Value(1), Value("a")}), "array");
  defaults.setObject(Value(platform::Dictionary{{"a", Value(1)}}), "dictionary");

  EXPECT_EQ(defaults.integerForKey("integer"), 42);
  EXPECT_EQ(defaults.doubleForKey("double"), 2.5);
  EXPECT_EQ(defaults.floatForKey("float"), 0.5F);
  EXPECT_TRUE(defaults.boolForKey("bool"));
  EXPECT_EQ(defaults.numberForKey("integer"), Value(42));
  EXPECT_EQ(defaults.arrayForKey("array")->size(), 2u);
  EXPECT_EQ(defaults.dictionaryForKey("dictionary")->size(), 1u);
  EXPECT_FALSE(defaults.stringForKey("integer"));
  EXPECT_EQ(defaults.doubleForKey("string"), 0.0);
  EXPECT_EQ(defaults.integerForKey("string"), 0);
  EXPECT_FALSE(defaults.numberForKey("string"));
  EXPECT_FALSE(defaults.arrayForKey("dictionary"));

  // Another object on the same suite sees the same preferences.
  APMUserDefaults again(std::string("com.rerora.viz.measurement.monitor"));
  EXPECT_EQ(again.integerForKey("integer"), 42);

  defaults.setObject(std::nullopt, "integer");
  EXPECT_FALSE(defaults.objectForKey("integer"));
  EXPECT_EQ(defaults.integerForKey("integer"), 0);
  defaults.removeObjectForKey("double");
  EXPECT_FALSE(defaults.objectForKey("double"));

  defaults.clearAllData();
  for (const char* key : {"float", "bool", "string", "array", "dictionary"}) {
    EXPECT_FALSE(defaults.objectForKey(key)) << key;
  }
}

TEST_F(APMUserDefaultsTest, SynchronizeMarksANamedSuiteFileOnce) {
  const std::string suite = "com.rerora.viz.measurement.tcf.userdefaults";
  APMUserDefaults defaults(suite);
  const std::string path = APMPreferencesPlistPath(suite);
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());

  // No file yet: tried again later.
  defaults.synchronize();
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());

  defaults.setObject(Value(1), "k");
  ASSERT_TRUE(platform::fileExists(path));
  defaults.synchronize();
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
  const auto mark = backupMark(path);
  if (!mark) GTEST_SKIP() << "the file system keeps no backup marks";
  EXPECT_EQ(*mark, "false");

  // Marked once per object: a second synchronize leaves the file alone.
  ASSERT_EQ(::removexattr(path.c_str(), "user.xdg.robots.backup"), 0);
  defaults.synchronize();
  EXPECT_EQ(backupMark(path), "");
}

TEST_F(APMUserDefaultsTest, TheSharedInstanceNeverMarksTheAppsFile) {
  const auto shared = APMUserDefaults::sharedUserDefaults();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, APMUserDefaults::sharedUserDefaults());
  EXPECT_FALSE(shared->suiteName());
  EXPECT_TRUE(shared->isPreferenceFileExcluded());
  shared->setInteger(1, "/rerora/measurement/measurement_enabled_state");
  shared->synchronize();
  EXPECT_EQ(shared->integerForKey("/rerora/measurement/measurement_enabled_state"), 1);
  const auto file = platform::UserDefaults::standard()->filePath().string();
  ASSERT_TRUE(platform::fileExists(file));
  const auto mark = backupMark(file);
  if (mark) {
    EXPECT_EQ(*mark, "");
  }
}

}  // namespace
