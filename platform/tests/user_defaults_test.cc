#include "platform/user_defaults.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/system_log.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Stores live for the whole process and fix their file on first use, so each test uses a
// suite name of its own.
class UserDefaultsTest : public testing_support::TemporaryHomeTest {
 protected:
  static Dictionary fileContents(const UserDefaults& defaults) {
    ErrorPtr error;
    auto stored = plist::readDictionaryFile(defaults.filePath().string(), &error);
    EXPECT_TRUE(stored) << (error ? error->description() : "");
    return stored.value_or(Dictionary{});
  }
};

TEST_F(UserDefaultsTest, StoresLiveUnderPreferencesOnePerSuite) {
  auto defaults = UserDefaults::suite("com.example.placement");
  EXPECT_EQ(UserDefaults::suite("com.example.placement"), defaults);
  EXPECT_NE(UserDefaults::suite("com.example.other"), defaults);
  EXPECT_EQ(defaults->filePath(), preferencesDirectory() / "com.example.placement.plist");
  EXPECT_EQ(defaults->filePath().parent_path().parent_path(), home_.configHome());

  EXPECT_EQ(UserDefaults::standard()->suiteName(), Bundle::main().bundleIdentifier());
  EXPECT_EQ(UserDefaults::standard(), UserDefaults::suite(Bundle::main().bundleIdentifier()));
}

TEST_F(UserDefaultsTest, TypedGetters) {
  struct Case {
    const char* name;
    std::optional<Value> stored;
    std::optional<std::string> string;
    std::int64_t integer;
    bool boolean;
    double real;
  } cases[] = {
      {"absent", std::nullopt, std::nullopt, 0, false, 0},
      {"integer", Value(42), "42", 42, true, 42},
      {"negative", Value(-7), "-7", -7, true, -7},
      {"double", Value(2.5), "2.5", 2, true, 2.5},
      {"true", Value(true), "1", 1, true, 1},
      {"false", Value(false), "0", 0, false, 0},
      {"numeric string", Value("17"), "17", 17, true, 17},
      {"YES", Value("YES"), "YES", 0, true, 0},
      {"NO", Value("NO"), "NO", 0, false, 0},
      {"word", Value("hello"), "hello", 0, false, 0},
      {"data", Value(Data::fromString("1")), std::nullopt, 0, false, 0},
      {"array", Value(Array{Value(1)}), std::nullopt, 0, false, 0},
      {"dictionary", Value(Dictionary{{"a", 1}}), std::nullopt, 0, false, 0},
  };
  auto defaults = UserDefaults::suite("com.example.typed");
  for (const Case& c : cases) {
    if (c.stored) {
      defaults->setObject(c.name, *c.stored);
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(defaults->objectForKey(c.name), c.stored);
    EXPECT_EQ(defaults->stringForKey(c.name), c.string);
    EXPECT_EQ(defaults->integerForKey(c.name), c.integer);
    EXPECT_EQ(defaults->boolForKey(c.name), c.boolean);
    EXPECT_EQ(defaults->doubleForKey(c.name), c.real);
  }
  EXPECT_EQ(defaults->dataForKey("data"), Data::fromString("1"));
  EXPECT_EQ(defaults->arrayForKey("array"), Array{Value(1)});
  EXPECT_EQ(defaults->dictionaryForKey("dictionary"), (Dictionary{{"a", 1}}));
  for (const char* wrongKind : {"absent", "integer", "word"}) {
    EXPECT_EQ(defaults->dataForKey(wrongKind), std::nullopt);
    EXPECT_EQ(defaults->arrayForKey(wrongKind), std::nullopt);
    EXPECT_EQ(defaults->dictionaryForKey(wrongKind), std::nullopt);
  }
  // Kinds survive the file: a Boolean is not stored as 1.
  EXPECT_EQ(fileContents(*defaults)["true"].type(), Value::Type::Bool);
  EXPECT_EQ(fileContents(*defaults)["integer"].type(), Value::Type::Int);
}

TEST_F(UserDefaultsTest, SettersWriteTheFileAndNoneRemoves) {
  auto defaults = UserDefaults::suite("com.example.setters");
  defaults->setInteger("count", 3);
  defaults->setBool("enabled", true);
  defaults->setDouble("ratio", 0.25);
  defaults->setString("name", "Vilmo");
  defaults->setObject("list", Value(Array{Value("a"), Value(2)}));
  EXPECT_EQ(fileContents(*defaults), (Dictionary{{"count", 3},
                                                 {"enabled", true},
                                                 {"ratio", 0.25},
                                                 {"name", "Vilmo"},
                                                 {"list", Array{Value("a"), Value(2)}}}));

  defaults->setObject("count", std::nullopt);
  defaults->setObject("enabled", Value(nullptr));
  defaults->removeObjectForKey("ratio");
  defaults->removeObjectForKey("never-set");
  for (const char* removed : {"count", "enabled", "ratio"}) {
    EXPECT_EQ(defaults->objectForKey(removed), std::nullopt) << removed;
  }
  EXPECT_EQ(fileContents(*defaults).keys(), (std::vector<std::string>{"name", "list"}));
  EXPECT_EQ(defaults->dictionaryRepresentation(), fileContents(*defaults));
  EXPECT_TRUE(defaults->synchronize());
}

// Settings the file cannot hold: each is refused up front, since one kept in memory would
// make every later save of the suite fail.
struct UnwritableCase {
  const char* name;
  std::string key;
  Value value;
};

std::vector<UnwritableCase> unwritableCases() {
  return {
      {"null in array", "bad", Value(Array{Value(1), Value(nullptr)})},
      {"null in dictionary", "bad", Value(Dictionary{{"inner", Value()}})},
      {"date past the format's range", "bad", Value(Date::distantFuture())},
      {"date inside an array", "bad", Value(Array{Value(Date::distantPast())})},
      {"string with NUL", "bad", Value(std::string("a\0b", 3))},
      {"string that is not UTF-8", "bad", Value(std::string("caf\xe9"))},
      {"key with NUL", std::string("b\0ad", 4), Value(1)},
      {"key that is not UTF-8", "b\xffz", Value(1)},
  };
}

TEST_F(UserDefaultsTest, AnUnwritableSettingIsRefusedAndLaterSettingsAreSaved) {
  auto defaults = UserDefaults::suite("com.example.unwritable");
  defaults->setString("kept", "yes");
  Dictionary expected{{"kept", "yes"}};
  for (const UnwritableCase& c : unwritableCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(defaults->setObject(c.key, c.value), Exception);
    EXPECT_EQ(defaults->objectForKey(c.key), std::nullopt);
    const std::string after = std::string("after ") + c.name;
    defaults->setString(after, "ok");
    expected.set(after, "ok");
    EXPECT_EQ(fileContents(*defaults), expected);
  }
  EXPECT_TRUE(defaults->synchronize());
}

TEST_F(UserDefaultsTest, AFileHoldingTextThatCannotBeSavedAgainKeepsTheSuiteSaving) {
  // Text that is not UTF-8, as an older writer could leave it.
  fs::path path = preferencesDirectory() / "com.example.legacy.plist";
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                         "<key>good</key><string>fine</string>"
                         "<key>bad</key><string>caf\xe9</string>"
                         "<key>k\xff</key><integer>1</integer></dict></plist>";
  auto defaults = UserDefaults::suite("com.example.legacy");
  EXPECT_EQ(defaults->stringForKey("good"), "fine");
  EXPECT_EQ(defaults->objectForKey("bad"), std::nullopt);
  defaults->setInteger("later", 2);
  EXPECT_EQ(fileContents(*defaults), (Dictionary{{"good", "fine"}, {"later", 2}}));
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAnswerAbsentKeysAndAreNotWritten) {
  auto defaults = UserDefaults::suite("com.example.registered");
  defaults->registerDefaults(Dictionary{{"interval", 30}, {"mode", "fast"}});
  defaults->registerDefaults(Dictionary{{"mode", "slow"}});
  EXPECT_EQ(defaults->integerForKey("interval"), 30);
  EXPECT_EQ(defaults->stringForKey("mode"), "slow");

  // Only objectForKey and the typed getters fall back to them.
  EXPECT_EQ(defaults->storedObjectForKey("interval"), std::nullopt);

  defaults->setInteger("interval", 60);
  EXPECT_EQ(defaults->integerForKey("interval"), 60);
  EXPECT_EQ(defaults->storedObjectForKey("interval"), Value(60));
  EXPECT_EQ(defaults->storedObjectForKey("mode"), std::nullopt);
  EXPECT_EQ(defaults->dictionaryRepresentation(), (Dictionary{{"interval", 60}, {"mode", "slow"}}));
  EXPECT_EQ(fileContents(*defaults), (Dictionary{{"interval", 60}}));

  defaults->removeObjectForKey("interval");
  EXPECT_EQ(defaults->integerForKey("interval"), 30);
}

// The files beside the settings file whose names say they were set aside.
std::vector<fs::path> setAsideFiles(const fs::path& settings) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(settings.parent_path())) {
    if (entry.path().filename().string().starts_with(settings.filename().string() + ".damaged-")) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Lines the store writes to the system log while it lives.
class LogLines {
 public:
  LogLines() {
    SystemLog::setCaptureSink([this](const SystemLog::Entry& entry) {
      std::lock_guard lock(mutex_);
      lines_.push_back(entry.message);
    });
  }
  ~LogLines() { SystemLog::setCaptureSink(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A settings file that cannot be read is kept for whoever wants to recover it, once and with
// one log line, and the program goes on with a fresh one.
TEST_F(UserDefaultsTest, ADamagedFileIsSetAsideAndTheSuiteStartsAfresh) {
  std::string binaryArray;
  {
    auto data = plist::write(Value(Array{Value(1)}), plist::Format::Binary);
    ASSERT_TRUE(data);
    binaryArray = data->toString();
  }
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"cut off", "<?xml version=\"1.0\"?><plist><dict><key>broken"},
      {"not a property list", std::string("\x00\x01garbage\xff", 11)},
      {"empty", ""},
      {"XML array at the top",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array>"
       "<integer>1</integer></array></plist>"},
      {"binary array at the top", binaryArray},
      {"string at the top", "<plist version=\"1.0\"><string>text</string></plist>"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string suite = "com.example.damaged" + std::to_string(index++);
    fs::path path = preferencesDirectory() / (suite + ".plist");
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << c.bytes;
    LogLines log;
    auto defaults = UserDefaults::suite(suite);
    EXPECT_EQ(defaults->objectForKey("broken"), std::nullopt);
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    auto aside = setAsideFiles(path);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(bytesOf(aside[0]), c.bytes);
    EXPECT_FALSE(fs::exists(path));

    defaults->setString("fresh", "value");
    EXPECT_EQ(fileContents(*defaults), (Dictionary{{"fresh", "value"}}));
    EXPECT_EQ(setAsideFiles(path), aside);
    EXPECT_EQ(bytesOf(aside[0]), c.bytes);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("set aside as " + aside[0].string()), std::string::npos) << lines[0];
  }
}

// Anything but a regular file where the settings file belongs (a folder named like it, a
// pipe) would make every save fail, and each start begin afresh: it is set aside like a
// damaged file, with one log line, and the settings are saved again.
TEST_F(UserDefaultsTest, AFolderOrPipeInTheFilesPlaceIsSetAsideAndSettingsAreSavedAgain) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    fs::file_type type;
  } cases[] = {
      {"folder", [](const fs::path& path) { fs::create_directories(path / "inside"); },
       fs::file_type::directory},
      {"pipe", [](const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       fs::file_type::fifo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string suite = std::string("com.example.notafile.") + c.name;
    fs::path path = preferencesDirectory() / (suite + ".plist");
    fs::create_directories(path.parent_path());
    c.make(path);
    LogLines log;
    auto defaults = UserDefaults::suite(suite);
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    auto aside = setAsideFiles(path);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fs::symlink_status(aside[0]).type(), c.type);

    defaults->setString("userID", "first");
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fileContents(*defaults), (Dictionary{{"userID", "first"}}));
    EXPECT_TRUE(defaults->synchronize());
    EXPECT_EQ(setAsideFiles(path), aside);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("set aside as " + aside[0].string()), std::string::npos) << lines[0];
  }
}

// Damage that appears while the program runs (another program wrote the file) is found by
// the next write, which keeps the damaged file and writes only its own change: what the
// store had read before is no longer what the file holds.
TEST_F(UserDefaultsTest, DamageFoundAtAWriteIsSetAsideWithoutReplacingAnEarlierOne) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  auto defaults = UserDefaults::suite("com.example.damagedlater");
  fs::path path = defaults->filePath();
  defaults->setString("before", "x");

  for (const char* bytes : {"first damage", "second damage"}) {
    SCOPED_TRACE(bytes);
    std::ofstream(path, std::ios::binary) << bytes;
    LogLines log;
    defaults->setString("after", bytes);
    EXPECT_EQ(fileContents(*defaults), (Dictionary{{"after", bytes}}));
    EXPECT_EQ(defaults->dictionaryRepresentation(), (Dictionary{{"after", bytes}}));
    EXPECT_EQ(log.lines().size(), 1u);
  }
  // The same second in both names: the later one gets a name of its own.
  auto aside = setAsideFiles(path);
  ASSERT_EQ(aside.size(), 2u);
  EXPECT_EQ(bytesOf(aside[0]), "first damage");
  EXPECT_EQ(bytesOf(aside[1]), "second damage");
  EXPECT_EQ(aside[1].string(), aside[0].string() + "-2");
  Clock::install(nullptr);
}

TEST_F(UserDefaultsTest, ConcurrentWritersKeepEveryKey) {
  auto defaults = UserDefaults::suite("com.example.concurrent");
  constexpr int kThreads = 4;
  constexpr int kKeysPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeysPerThread; ++i) {
        std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        defaults->setInteger(key, t * 1000 + i);
        EXPECT_EQ(defaults->integerForKey(key), t * 1000 + i);
        defaults->setInteger("shared", i);
        defaults->dictionaryRepresentation();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  Dictionary stored = fileContents(*defaults);
  EXPECT_EQ(stored, defaults->dictionaryRepresentation());
  EXPECT_EQ(stored.size(), kThreads * kKeysPerThread + 1u);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeysPerThread; ++i) {
      EXPECT_EQ(stored["t" + std::to_string(t) + "-" + std::to_string(i)], Value(t * 1000 + i));
    }
  }
}

TEST_F(UserDefaultsTest, AWriteIsVisibleToANewProcess) {
  auto defaults = UserDefaults::suite("com.example.crossprocess");
  defaults->setString("fromParent", "hello");
  // A refused setting must not keep the ones after it from the file.
  EXPECT_THROW(defaults->setObject("unsaved", Value(Date::distantFuture())), Exception);
  defaults->setObject("numbers", Value(Array{Value(1), Value(2.5)}));
  defaults->setInteger("removedByChild", 1);
  auto result = testing_support::runTestInChildProcess(
      "UserDefaultsChild.DISABLED_ReadsWhatTheParentWroteAndWritesBack");
  ASSERT_TRUE(result.passed()) << result.output;

  // The child's write reached the file before it exited.
  Dictionary stored = fileContents(*defaults);
  EXPECT_EQ(stored["fromChild"], Value(true));
  EXPECT_EQ(stored["fromParent"], Value("hello"));
  EXPECT_FALSE(stored.contains("removedByChild"));

  // This store still has the child's removal to read, but its next write takes over only its
  // own change: the child's key stays and the removed one stays removed.
  defaults->setInteger("afterChild", 2);
  EXPECT_EQ(fileContents(*defaults), (Dictionary{{"fromParent", "hello"},
                                                 {"numbers", Array{Value(1), Value(2.5)}},
                                                 {"fromChild", true},
                                                 {"afterChild", 2}}));
  EXPECT_EQ(defaults->dictionaryRepresentation(), fileContents(*defaults));
}

// Run only as the child of the test above, which shares its temporary home through the
// environment.
TEST(UserDefaultsChild, DISABLED_ReadsWhatTheParentWroteAndWritesBack) {
  auto defaults = UserDefaults::suite("com.example.crossprocess");
  EXPECT_EQ(defaults->stringForKey("fromParent"), "hello");
  EXPECT_EQ(defaults->arrayForKey("numbers"), (Array{Value(1), Value(2.5)}));
  EXPECT_EQ(defaults->objectForKey("unsaved"), std::nullopt);
  EXPECT_EQ(defaults->integerForKey("removedByChild"), 1);
  defaults->setBool("fromChild", true);
  defaults->removeObjectForKey("removedByChild");
}

// Two processes that share a suite each write only their own changes, under the suite's
// lock, so neither loses the other's; a process that read the file before sees both after
// its next synchronize.
TEST_F(UserDefaultsTest, ProcessesWritingOneSuiteKeepEachOthersKeys) {
  auto defaults = UserDefaults::suite("com.example.shared");
  defaults->setString("parent", "here");
  std::vector<testing_support::ChildTestResult> results(2);
  std::vector<std::thread> writers;
  for (int writer = 0; writer < 2; ++writer) {
    writers.emplace_back([&results, writer] {
      results[writer] =
          testing_support::runTestInChildProcess("UserDefaultsChild.DISABLED_SetsItsOwnKeys",
                                                 {{"VILMO_TEST_WRITER", std::to_string(writer)}});
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  for (const auto& result : results) {
    ASSERT_TRUE(result.passed()) << result.output;
  }
  Dictionary stored = fileContents(*defaults);
  EXPECT_EQ(stored.size(), 401u);
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < 200; ++i) {
      EXPECT_EQ(stored["w" + std::to_string(writer) + "-" + std::to_string(i)], Value(i));
    }
  }
  EXPECT_EQ(defaults->storedObjectForKey("w1-199"), std::nullopt);
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(defaults->dictionaryRepresentation(), stored);
}

TEST(UserDefaultsChild, DISABLED_SetsItsOwnKeys) {
  const char* writer = std::getenv("VILMO_TEST_WRITER");
  ASSERT_NE(writer, nullptr);
  auto defaults = UserDefaults::suite("com.example.shared");
  for (int i = 0; i < 200; ++i) {
    defaults->setInteger("w" + std::string(writer) + "-" + std::to_string(i), i);
  }
}

// The settings, their lock and the folder made for them are the user's alone; folders that
// were there before keep their mode, and a settings file given another mode keeps it.
TEST_F(UserDefaultsTest, SettingsFilesArePrivate) {
  const mode_t savedMask = ::umask(022);
  ::chmod(home_.configHome().c_str(), 0755);
  auto defaults = UserDefaults::suite("com.example.private");
  defaults->setString("token", "secret");
  auto modeOf = [](const fs::path& path) { return fs::status(path).permissions(); };
  EXPECT_EQ(modeOf(preferencesDirectory()), fs::perms(0700));
  EXPECT_EQ(modeOf(home_.configHome()), fs::perms(0755));
  EXPECT_EQ(modeOf(defaults->filePath()), fs::perms(0600));
  EXPECT_EQ(modeOf(defaults->filePath().string() + ".lock"), fs::perms(0600));

  ::chmod(defaults->filePath().c_str(), 0640);
  defaults->setString("token", "rewritten");
  EXPECT_EQ(modeOf(defaults->filePath()), fs::perms(0640));
  EXPECT_EQ(fileContents(*defaults), (Dictionary{{"token", "rewritten"}}));
  ::umask(savedMask);
}

}  // namespace
}  // namespace platform
