#include "analytics/data/APMInfoPlistFileUtil.h"
#include "analytics/data/APMPersistentDictionary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/messages/APMServices.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/tests/log_capture.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Value;
namespace fs = std::filesystem;

// Stands for any object that a property list cannot hold (a set, a URL).
class OpaqueObject : public platform::ValueObject {
 public:
  const char* className() const override { return "OpaqueObject"; }
  std::string description() const override { return "opaque"; }
  bool isEqual(const platform::ValueObject& other) const override { return this == &other; }
};

std::uint64_t inodeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_ino;
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

class APMPersistentDictionaryTest : public testing_support::TemporaryHomeTest {
 protected:
  static fs::path analyticsDirectory() {
    return platform::applicationSupportDirectory() / "Rerora" / "Measurement";
  }
  // Lets every delayed write that is due run to its end.
  static void settle(APMPersistentDictionary& dictionary) {
    dictionary.serialQueue()->sync([] {});
  }

  testing_support::ManualClockScope clock_;
};

TEST_F(APMPersistentDictionaryTest, PathsLiveInTheAnalyticsDirectoryAndPreferences) {
  EXPECT_EQ(APMApplicationSupportPath("data.sql"), (analyticsDirectory() / "data.sql").string());
  EXPECT_EQ(APMApplicationSupportPath(""), "");
  const struct {
    const char* name;
    const char* file;
  } plistCases[] = {{"config", "config.plist"},
                    {"config.plist", "config.plist"},
                    {"config.PLIST", "config.PLIST.plist"},
                    {"com.rerora.viz.measurement", "com.rerora.viz.measurement.plist"}};
  for (const auto& c : plistCases) {
    EXPECT_EQ(APMApplicationSupportPlistPath(c.name), (analyticsDirectory() / c.file).string());
  }
  EXPECT_EQ(APMApplicationSupportPlistPath(""), "");
  EXPECT_EQ(APMPreferencesPlistPath("suite"),
            (platform::preferencesDirectory() / "suite.plist").string());
  EXPECT_EQ(APMPreferencesPlistPath(""), "");
}

TEST_F(APMPersistentDictionaryTest, DeletingAndExcludingFiles) {
  platform::ErrorPtr error;
  EXPECT_FALSE(APMDeleteFileAtPath("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kAPMErrorDomain);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty path for deleting file");

  const fs::path file = home_.path() / "file";
  writeText(file, "x");
  EXPECT_TRUE(APMExcludePathFromBackup(file.string()));
  EXPECT_TRUE(APMDeleteFileAtPath(file.string()));
  EXPECT_FALSE(fs::exists(file));
  error.reset();
  EXPECT_FALSE(APMDeleteFileAtPath(file.string(), &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(APMExcludePathFromBackup(file.string()));
}

TEST_F(APMPersistentDictionaryTest, MigrationMovesASuiteFileOnce) {
  const fs::path source = APMPreferencesPlistPath("suite");
  const fs::path target = APMApplicationSupportPlistPath("suite");
  EXPECT_FALSE(APMMigrateDefaultsPlist(""));

  // Neither file: nothing to do.
  EXPECT_TRUE(APMMigrateDefaultsPlist("suite"));
  EXPECT_FALSE(fs::exists(target));

  writeText(source, "first");
  EXPECT_TRUE(APMMigrateDefaultsPlist("suite"));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(platform::readFile(target)->size(), 5u);

  // Moved before: the stale source goes, the target stays.
  writeText(source, "stale");
  EXPECT_TRUE(APMMigrateDefaultsPlist("suite"));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(platform::readFile(target)->bytes()), 5),
            "first");

  // Folders where files belong are left alone.
  fs::create_directories(source);
  EXPECT_FALSE(APMMigrateDefaultsPlist("suite"));
  fs::remove(source);
  writeText(source, "again");
  fs::remove(target);
  fs::create_directories(target);
  EXPECT_FALSE(APMMigrateDefaultsPlist("suite"));
  EXPECT_TRUE(fs::exists(source));
}

TEST_F(APMPersistentDictionaryTest, CreationReadsTheFileAndStartsEmptyOverBadOnes) {
  EXPECT_EQ(APMPersistentDictionary::initWithFileName(""), nullptr);

  auto fresh = APMPersistentDictionary::initWithFileName("store");
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(fs::is_directory(analyticsDirectory()));
  EXPECT_FALSE(fresh->objectForKey("k"));
  EXPECT_FALSE(fs::exists(fresh->filePath()));  // made at the first write
  fresh.reset();

  const fs::path path = analyticsDirectory() / "store.plist";
  ASSERT_TRUE(platform::plist::writeFile(
      Value(platform::Dictionary{{"k", Value("v")}, {"", Value(1)}, {"n", Value(2)}}),
      path.string(), platform::plist::Format::XML));
  auto read = APMPersistentDictionary::initWithFileName("store");
  EXPECT_EQ(read->stringForKey("k"), "v");
  EXPECT_EQ(read->integerForKey("n"), 2);
  read.reset();

  for (const char* bad :
       {"not a property list", "<?xml version=\"1.0\"?><plist><array/></plist>", ""}) {
    writeText(path, bad);
    auto dictionary = APMPersistentDictionary::initWithFileName("store.plist");
    ASSERT_TRUE(dictionary) << bad;
    EXPECT_FALSE(dictionary->objectForKey("k")) << bad;
  }
}

TEST_F(APMPersistentDictionaryTest, TypedAccessReadsOnlyItsOwnKind) {
  auto dictionary = APMPersistentDictionary::initWithFileName("store");
  dictionary->setObject(Value("12"), "string");
  dictionary->setInteger(7, "integer");
  dictionary->setDouble(2.5, "double");
  dictionary->setFloat(1.5F, "float");
  dictionary->setBool(true, "bool");
  dictionary->setObject(Value(platform::Array{Value(1)}), "array");
  dictionary->setObject(Value(platform::Dictionary{{"a", Value(1)}}), "dictionary");

  EXPECT_EQ(dictionary->integerForKey("string"), 0);
  EXPECT_EQ(dictionary->doubleForKey("string"), 0.0);
  EXPECT_FALSE(dictionary->boolForKey("string"));
  EXPECT_FALSE(dictionary->stringForKey("integer"));
  EXPECT_FALSE(dictionary->numberForKey("string"));
  EXPECT_FALSE(dictionary->arrayForKey("dictionary"));
  EXPECT_FALSE(dictionary->dictionaryForKey("array"));
  EXPECT_EQ(dictionary->integerForKey("integer"), 7);
  EXPECT_EQ(dictionary->doubleForKey("double"), 2.5);
  EXPECT_EQ(dictionary->floatForKey("float"), 1.5F);
  EXPECT_TRUE(dictionary->boolForKey("bool"));
  EXPECT_EQ(dictionary->arrayForKey("array")->size(), 1u);
  EXPECT_EQ(dictionary->dictionaryForKey("dictionary")->size(), 1u);
  EXPECT_EQ(dictionary->integerForKey("missing"), 0);
}

TEST_F(APMPersistentDictionaryTest, RefusedKeysAndValuesAreLoggedAndChangeNothing) {
  LogCapture capture;
  auto dictionary = APMPersistentDictionary::initWithFileName("store");
  dictionary->setObject(Value("kept"), "k");
  clock_.advance(1);
  settle(*dictionary);
  ASSERT_FALSE(dictionary->hasPendingPersistence());

  dictionary->setObject(Value("v"), "");
  EXPECT_FALSE(dictionary->objectForKey(""));
  dictionary->setObject(Value(std::make_shared<OpaqueObject>()), "k");
  dictionary->setObject(Value(nullptr), "k");
  EXPECT_EQ(dictionary->stringForKey("k"), "kept");
  EXPECT_FALSE(dictionary->hasPendingPersistence());
  EXPECT_TRUE(capture.contains("<DedArorarivuva>[I-ACS043002] Cannot set object for invalid "
                               "config key."));
  EXPECT_TRUE(capture.contains("<DedArorarivuva>[I-ACS043001] Cannot get object for invalid "
                               "config key."));
  EXPECT_TRUE(capture.contains("[I-ACS043003] Cannot set invalid object to config. Must be a "
                               "string, number, array, dictionary, date, or data. Value opaque"));

  // Only the top level is checked: the file cannot take this, and says so at the write.
  dictionary->setObject(Value(platform::Array{Value(std::make_shared<OpaqueObject>())}), "k");
  clock_.advance(1);
  settle(*dictionary);
  EXPECT_TRUE(capture.contains("[I-ACS043000] Cannot persist configs to disk"));
  EXPECT_TRUE(dictionary->arrayForKey("k"));
  const auto onDisk = platform::plist::readDictionaryFile(dictionary->filePath());
  ASSERT_TRUE(onDisk);
  EXPECT_EQ((*onDisk)["k"], Value("kept"));
}

TEST_F(APMPersistentDictionaryTest, OnlyChangesScheduleAWriteAndABurstMakesOne) {
  auto dictionary = APMPersistentDictionary::initWithFileName("store");
  dictionary->removeObjectForKey("missing");
  dictionary->clearAllData();
  EXPECT_FALSE(dictionary->hasPendingPersistence());

  // Ten changes within half a second.
  for (int i = 0; i < 10; ++i) {
    dictionary->setInteger(i, "key" + std::to_string(i));
    clock_.advance(0.05);
  }
  EXPECT_TRUE(dictionary->hasPendingPersistence());
  clock_.advance(0.49);
  settle(*dictionary);
  EXPECT_FALSE(fs::exists(dictionary->filePath()));
  clock_.advance(0.01);  // one second after the first change
  settle(*dictionary);
  ASSERT_TRUE(fs::exists(dictionary->filePath()));
  EXPECT_FALSE(dictionary->hasPendingPersistence());
  const auto written = platform::plist::readDictionaryFile(dictionary->filePath());
  ASSERT_TRUE(written);
  EXPECT_EQ(written->size(), 10u);
  const std::uint64_t firstWrite = inodeOf(dictionary->filePath());
  clock_.advance(10);
  settle(*dictionary);
  EXPECT_EQ(inodeOf(dictionary->filePath()), firstWrite);

  // The same value again changes nothing; a new one makes one more write.
  dictionary->setInteger(3, "key3");
  EXPECT_FALSE(dictionary->hasPendingPersistence());
  dictionary->removeObjectForKey("key3");
  EXPECT_TRUE(dictionary->hasPendingPersistence());
  clock_.advance(1);
  settle(*dictionary);
  EXPECT_EQ(platform::plist::readDictionaryFile(dictionary->filePath())->size(), 9u);
  dictionary->clearAllData();
  EXPECT_TRUE(dictionary->hasPendingPersistence());
}

TEST_F(APMPersistentDictionaryTest, AWriteReplacesTheFileWholeAndDisposalWritesAtOnce) {
  auto dictionary = APMPersistentDictionary::initWithFileName("store");
  dictionary->setObject(Value("one"), "k");
  clock_.advance(1);
  settle(*dictionary);
  const std::string path = dictionary->filePath();
  const auto before = platform::readFile(path);
  // A reader that opened the file before the next write keeps reading the whole old file.
  const int reader = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);

  dictionary->setObject(Value("two"), "k");
  dictionary.reset();  // with the write pending
  EXPECT_EQ((*platform::plist::readDictionaryFile(path))["k"], Value("two"));
  std::string old(before->size() + 16, '\0');
  const ssize_t got = ::pread(reader, old.data(), old.size(), 0);
  ::close(reader);
  ASSERT_EQ(got, static_cast<ssize_t>(before->size()));
  EXPECT_EQ(0, std::memcmp(old.data(), before->bytes(), before->size()));
  // Nothing left behind beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(analyticsDirectory()), fs::directory_iterator{}),
            1);
  clock_.advance(5);  // the delayed write finds its dictionary gone
}

TEST_F(APMPersistentDictionaryTest, HostileFileBytesAreRefusedOrFiltered) {
  EXPECT_FALSE(
      APMPersistentDictionary::contentFromFileData(platform::Data::fromString("bplist00")));
  EXPECT_FALSE(APMPersistentDictionary::contentFromFileData(platform::Data::fromString("")));
  const auto big = std::string(APMPersistentDictionary::kMaxFileSize + 1, ' ');
  EXPECT_FALSE(APMPersistentDictionary::contentFromFileData(platform::Data::fromString(big)));
  const auto kept = APMPersistentDictionary::contentFromFileData(
      *platform::plist::write(Value(platform::Dictionary{{"", Value(1)}, {"a", Value(2)}}),
                              platform::plist::Format::Binary));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->keys(), std::vector<std::string>{"a"});

  // An entry that could not be written again would stop every later write of the file.
  const std::string unwritable =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>bad</key><string>\xff\xfe</string><key>good</key><integer>1</integer>"
      "</dict></plist>";
  const auto filtered =
      APMPersistentDictionary::contentFromFileData(platform::Data::fromString(unwritable));
  ASSERT_TRUE(filtered);
  EXPECT_EQ(filtered->keys(), std::vector<std::string>{"good"});
}

// Makes the bundle the main one for the rest of the process: this file's cases each run in a
// process of their own.
TEST_F(APMPersistentDictionaryTest, TheServiceInfoFileIsFoundInTheMainBundle) {
  const fs::path bundle = home_.useBundle();
  EXPECT_FALSE(APMInfoPlistFileUtil::reroraServiceInfoPlistPath());
  EXPECT_FALSE(APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist());

  const fs::path file = bundle / "ReroraService-Info.plist";
  writeText(file, "not a property list");
  EXPECT_EQ(APMInfoPlistFileUtil::reroraServiceInfoPlistPath(), file.string());
  EXPECT_FALSE(APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist());

  ASSERT_TRUE(platform::plist::writeFile(Value(platform::Dictionary{{"APP_ID", Value("1:2")}}),
                                         file.string(), platform::plist::Format::XML));
  const auto info = APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist();
  ASSERT_TRUE(info);
  EXPECT_EQ((*info)["APP_ID"], Value("1:2"));
}

}  // namespace
