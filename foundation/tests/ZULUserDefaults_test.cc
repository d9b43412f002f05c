#include "foundation/ZULUserDefaults.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/tests/log_capture.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;

constexpr const char* kSuite = "com.example.zul-defaults-test";

class ZULUserDefaultsTest : public testing_support::TemporaryHomeTest {
 protected:
  // The lines of this class, without what the platform store writes about itself.
  std::vector<platform::SystemLog::Entry> zulEntries() {
    std::vector<platform::SystemLog::Entry> result;
    for (auto& entry : log_.entries()) {
      if (entry.message.find("[I-ZUL") != std::string::npos) result.push_back(std::move(entry));
    }
    return result;
  }

  LogCapture log_;
};

struct StoredCase {
  const char* name;
  Value value;
};

const std::vector<StoredCase>& storedCases() {
  static const std::vector<StoredCase> cases = {
      {"string", Value("text")},
      {"integer", Value(-42)},
      {"unsigned", Value(std::uint64_t{18446744073709551615ull})},
      {"double", Value(2.5)},
      {"boolean", Value(true)},
      {"data", Value(Data(std::vector<std::uint8_t>{0, 1, 255}))},
      {"date", Value(Date::fromTimeIntervalSince1970(1700000000))},
      {"array", Value(Array{Value("a"), Value(1)})},
      {"dictionary", Value(Dictionary{{"k", Value("v")}, {"n", Value(Array{})}})},
  };
  return cases;
}

TEST_F(ZULUserDefaultsTest, StoresEveryPropertyListKindAndReadsItBack) {
  ZULUserDefaults defaults(kSuite);
  for (const auto& c : storedCases()) {
    defaults.setObject(c.value, c.name);
    const auto read = defaults.objectForKey(c.name);
    ASSERT_TRUE(read.has_value()) << c.name;
    EXPECT_EQ(read->type(), c.value.type()) << c.name;
    EXPECT_EQ(*read, c.value) << c.name;
  }
  EXPECT_TRUE(zulEntries().empty());
}

// Runs only in a child process, in the home its parent prepared.
TEST(ZULUserDefaultsChild, DISABLED_ReadsWhatAnotherProcessWrote) {
  ZULUserDefaults defaults(kSuite);
  for (const auto& c : storedCases()) {
    const auto read = defaults.objectForKey(c.name);
    ASSERT_TRUE(read.has_value()) << c.name;
    EXPECT_EQ(*read, c.value) << c.name;
  }
  EXPECT_FALSE(defaults.objectForKey("removed").has_value());
  EXPECT_FALSE(defaults.objectForKey("unwritable").has_value());
  EXPECT_EQ(ZULUserDefaults::standardUserDefaults()->integerForKey("standard"), 7);
}

TEST_F(ZULUserDefaultsTest, ChangesPersistAcrossProcesses) {
  ZULUserDefaults defaults(kSuite);
  // Refused, and no obstacle to what follows reaching the file.
  defaults.setObject(Value(Date::distantFuture()), "unwritable");
  for (const auto& c : storedCases()) defaults.setObject(c.value, c.name);
  defaults.setBool(true, "removed");
  defaults.removeObjectForKey("removed");
  ZULUserDefaults::standardUserDefaults()->setInteger(7, "standard");

  const auto result = testing_support::runTestInChildProcess(
      "ZULUserDefaultsChild.DISABLED_ReadsWhatAnotherProcessWrote");
  EXPECT_TRUE(result.passed()) << result.output;
}

TEST_F(ZULUserDefaultsTest, NumericReadingsFollowThePlatformConversions) {
  ZULUserDefaults defaults(kSuite);
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_EQ(defaults.doubleForKey("missing"), 0.0);

  defaults.setFloat(1.5f, "float");
  EXPECT_EQ(defaults.floatForKey("float"), 1.5f);
  EXPECT_EQ(defaults.integerForKey("float"), 1);
  defaults.setObject(Value("42"), "text");
  EXPECT_EQ(defaults.integerForKey("text"), 42);
  defaults.setObject(Value("YES"), "yes");
  EXPECT_TRUE(defaults.boolForKey("yes"));
  defaults.setDouble(-3.75, "double");
  EXPECT_EQ(defaults.doubleForKey("double"), -3.75);

  // The typed getters hand back whatever is stored.
  defaults.setInteger(5, "number");
  const auto asString = defaults.stringForKey("number");
  ASSERT_TRUE(asString.has_value());
  EXPECT_TRUE(asString->isNumber());
  EXPECT_EQ(asString->integerValue(), 5);
  EXPECT_EQ(defaults.arrayForKey("text"), Value("42"));
  EXPECT_EQ(defaults.dictionaryForKey("number"), Value(5));
}

TEST_F(ZULUserDefaultsTest, DefaultsRegisteredWithThePlatformStoreAreNotRead) {
  platform::UserDefaults::suite(kSuite)->registerDefaults(
      Dictionary{{"count", 5}, {"flag", true}, {"name", "registered"}, {"ratio", 0.5}});
  ZULUserDefaults defaults(kSuite);
  EXPECT_FALSE(defaults.objectForKey("name").has_value());
  EXPECT_FALSE(defaults.stringForKey("name").has_value());
  EXPECT_EQ(defaults.integerForKey("count"), 0);
  EXPECT_FALSE(defaults.boolForKey("flag"));
  EXPECT_EQ(defaults.doubleForKey("ratio"), 0.0);

  defaults.setInteger(9, "count");
  EXPECT_EQ(defaults.integerForKey("count"), 9);
  defaults.removeObjectForKey("count");
  EXPECT_EQ(defaults.integerForKey("count"), 0);
}

TEST_F(ZULUserDefaultsTest, EmptyKeysAreRefusedWithTheirLogLines) {
  ZULUserDefaults defaults(kSuite);
  EXPECT_FALSE(defaults.objectForKey("").has_value());
  EXPECT_EQ(defaults.integerForKey(""), 0);
  defaults.setObject(Value("v"), "");
  defaults.setBool(true, "");

  std::vector<std::string> lines;
  for (const auto& entry : zulEntries()) lines.push_back(entry.message);
  ASSERT_EQ(lines.size(), 4u);
  for (int i : {0, 1}) {
    EXPECT_NE(lines[i].find(
                  "<ReroraUtilities>[I-ZUL000001] Cannot get object for invalid user default key."),
              std::string::npos)
        << lines[i];
  }
  for (int i : {2, 3}) {
    EXPECT_NE(lines[i].find("[ReroraUtilities/UserDefaults][I-ZUL000002] Cannot set object for "
                            "invalid user default key."),
              std::string::npos)
        << lines[i];
  }
  EXPECT_TRUE(platform::UserDefaults::suite(kSuite)->dictionaryRepresentation().empty());
}

TEST_F(ZULUserDefaultsTest, ValuesThatAreNotPropertyListsLeaveTheStoredValueUnchanged) {
  ZULUserDefaults defaults(kSuite);
  defaults.setObject(Value("kept"), "key");
  const std::vector<Value> invalid = {Value(nullptr),
                                      Value(Array{Value(nullptr)}),
                                      Value(Dictionary{{"inner", Value(nullptr)}}),
                                      Value(Date::distantFuture()),
                                      Value(std::string("a\0b", 3)),
                                      Value(std::string("caf\xe9"))};
  for (const auto& value : invalid) {
    defaults.setObject(value, "key");
    EXPECT_EQ(defaults.objectForKey("key"), Value("kept")) << value.description();
    // The suite still saves.
    defaults.setInteger(1, "later");
    defaults.removeObjectForKey("later");
  }
  const auto entries = zulEntries();
  ASSERT_EQ(entries.size(), invalid.size());
  EXPECT_NE(entries[0].message.find(
                "[ReroraUtilities/UserDefaults][I-ZUL000003] Cannot set invalid object to user "
                "defaults. Must be a string, number, array, dictionary, date, or data. Value: "),
            std::string::npos)
      << entries[0].message;
  for (const auto& entry : entries) {
    EXPECT_NE(entry.message.find("[I-ZUL000003]"), std::string::npos) << entry.message;
  }
}

TEST_F(ZULUserDefaultsTest, RemovingAKeyWritesTheDomainToDisk) {
  ZULUserDefaults defaults(kSuite);
  defaults.setObject(Value("v"), "gone");
  defaults.setObject(Value("w"), "stays");
  defaults.removeObjectForKey("gone");

  const auto onDisk = platform::plist::readFile(platform::UserDefaults::suite(kSuite)->filePath());
  ASSERT_TRUE(onDisk.has_value());
  EXPECT_EQ(*onDisk, Value(Dictionary{{"stays", Value("w")}}));
}

TEST_F(ZULUserDefaultsTest, EmptyOrNoSuiteNameSelectsTheApplicationsOwnDomain) {
  const auto standardName = platform::UserDefaults::standard()->suiteName();
  EXPECT_EQ(ZULUserDefaults().appNameRef(), standardName);
  EXPECT_EQ(ZULUserDefaults(std::string()).appNameRef(), standardName);
  EXPECT_EQ(ZULUserDefaults::standardUserDefaults()->appNameRef(), standardName);
  EXPECT_EQ(ZULUserDefaults(kSuite).appNameRef(), kSuite);

  ZULUserDefaults(std::string()).setObject(Value("shared"), "key");
  EXPECT_EQ(ZULUserDefaults::standardUserDefaults()->objectForKey("key"), Value("shared"));
  EXPECT_EQ(platform::UserDefaults::standard()->objectForKey("key"), Value("shared"));
  EXPECT_FALSE(ZULUserDefaults(kSuite).objectForKey("key").has_value());
}

TEST_F(ZULUserDefaultsTest, AFailedWriteToDiskIsLoggedAsAnError) {
  // A plain file where the suite's folder belongs makes every write fail (a folder in the
  // suite file's own place would be set aside and the write would succeed).
  const auto folder = platform::UserDefaults::suite(kSuite)->filePath().parent_path();
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder.parent_path());
  std::ofstream(folder) << "not a folder";
  ZULUserDefaults defaults(kSuite);
  defaults.setObject(Value("v"), "key");
  EXPECT_EQ(defaults.objectForKey("key"), Value("v"));

  const auto entries = zulEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, platform::SystemLog::Error);
  EXPECT_NE(entries[0].message.find("[ReroraUtilities/UserDefaults][I-ZUL000004] Cannot "
                                    "synchronize user defaults to disk"),
            std::string::npos)
      << entries[0].message;
}

TEST_F(ZULUserDefaultsTest, PreferenceFileExclusionIsAStoredFlag) {
  ZULUserDefaults defaults(kSuite);
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());
  defaults.setIsPreferenceFileExcluded(true);
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
}

}  // namespace
