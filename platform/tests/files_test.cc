#include "platform/files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

extern char** environ;

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing_support::TemporaryHomeTest;

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void put(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The error a failed call reported: its domain, code, path and errno underneath.
void expectFileError(const ErrorPtr& error, std::int64_t code, const fs::path& path,
                     std::optional<int> posixCode = std::nullopt) {
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), code);
  EXPECT_EQ(error->userInfo()["NSFilePath"], Value(path.string()));
  if (posixCode) {
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(error->underlyingError()->code(), *posixCode);
  }
}

struct Place {
  const char* name;
  std::function<fs::path()> getter;
  const char* variable;
  const char* belowHome;
};

const Place kPlaces[] = {
    {"ApplicationSupport", applicationSupportDirectory, "XDG_DATA_HOME", ".local/share"},
    {"Caches", cachesDirectory, "XDG_CACHE_HOME", ".cache"},
    {"Preferences", preferencesDirectory, "XDG_CONFIG_HOME", ".config"},
};

class FilesTest : public TemporaryHomeTest {
 protected:
  fs::path dir() const { return home_.path() / "work"; }
  void SetUp() override { fs::create_directories(dir()); }
};

TEST_F(FilesTest, PlacesFollowTheXdgVariablesAndFallBackToHome) {
  const std::string identifier = Bundle::main().bundleIdentifier();
  ASSERT_FALSE(identifier.empty());
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(place.name);
    fs::path custom = home_.path() / "custom" / place.name;
    setenv(place.variable, custom.c_str(), 1);
    EXPECT_EQ(place.getter(), custom / identifier);
    // Not created by asking.
    EXPECT_FALSE(fs::exists(custom));

    // Unset, empty and relative values all mean the default below HOME, which is read
    // at each call.
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
      if (value) {
        setenv(place.variable, value, 1);
      } else {
        unsetenv(place.variable);
      }
      fs::path otherHome = home_.path() / "other";
      setenv("HOME", otherHome.c_str(), 1);
      EXPECT_EQ(place.getter(), otherHome / place.belowHome / identifier);
    }
  }
}

TEST_F(FilesTest, CreateDirectory) {
  ErrorPtr error;
  fs::path nested = dir() / "a" / "b";
  EXPECT_FALSE(createDirectory(nested, false, &error));
  expectFileError(error, kFileNoSuchFileError, nested, ENOENT);

  EXPECT_TRUE(createDirectory(nested, true, &error));
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(createDirectory(nested, true));

  error = nullptr;
  EXPECT_FALSE(createDirectory(nested, false, &error));
  expectFileError(error, kFileWriteFileExistsError, nested, EEXIST);

  put(dir() / "file", "x");
  EXPECT_FALSE(createDirectory(dir() / "file", true, &error));
  EXPECT_EQ(error->code(), kFileWriteFileExistsError);
  EXPECT_FALSE(createDirectory(dir() / "file" / "below", true, &error));
  expectFileError(error, kFileWriteUnknownError, dir() / "file" / "below", ENOTDIR);
}

// Owner-only applies to each folder the call makes and to none that was there before: a
// folder the user or the system made keeps its mode.
TEST_F(FilesTest, CreateDirectoryGivesTheFoldersItMakesTheirAccess) {
  struct Case {
    const char* name;
    DirectoryAccess access;
    bool withIntermediates;
    mode_t made;
  } cases[] = {
      {"owner only", DirectoryAccess::OwnerOnly, true, 0700},
      {"owner only, one level", DirectoryAccess::OwnerOnly, false, 0700},
      {"umask", DirectoryAccess::FollowUmask, true, 0755},
  };
  const mode_t savedMask = ::umask(022);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path existing = dir() / c.name;
    fs::create_directories(existing);
    ::chmod(existing.c_str(), 0751);
    const fs::path made = c.withIntermediates ? existing / "a" / "b" : existing / "a";
    ASSERT_TRUE(createDirectory(made, c.withIntermediates, nullptr, c.access));
    for (fs::path folder = made; folder != existing; folder = folder.parent_path()) {
      EXPECT_EQ(fs::status(folder).permissions(), fs::perms(c.made)) << folder;
    }
    EXPECT_EQ(fs::status(existing).permissions(), fs::perms(0751));
    // Asking again changes nothing.
    ::chmod(made.c_str(), 0750);
    EXPECT_TRUE(createDirectory(made, true, nullptr, c.access));
    EXPECT_EQ(fs::status(made).permissions(), fs::perms(0750));
  }
  ::umask(savedMask);
}

// Both ways of writing atomically must keep the same promises: through an unnamed file, and
// through a named one where the file system has no unnamed files.
using WriteFunction = bool (*)(const fs::path&, const Data&, ErrorPtr*);

class AtomicWriteTest : public FilesTest, public ::testing::WithParamInterface<WriteFunction> {
 protected:
  bool write(const fs::path& path, const Data& data, ErrorPtr* error = nullptr) {
    return GetParam()(path, data, error);
  }
};

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST_P(AtomicWriteTest, ReplacesContentsAndLeavesNoTemporaryFiles) {
  fs::path path = dir() / "settings.plist";
  ASSERT_TRUE(write(path, Data::fromString("first version, longer")));
  ASSERT_TRUE(write(path, Data::fromString("second")));
  EXPECT_EQ(contents(path), "second");
  ASSERT_TRUE(write(path, Data()));
  EXPECT_EQ(fs::file_size(path), 0u);

  auto entries = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, std::vector<fs::path>{path});
}

// Every file written this way holds private data: a new one is 0600 whatever the umask, and a
// rewrite keeps the mode the file has, however it got it.
TEST_P(AtomicWriteTest, NewFilesArePrivateAndRewritesKeepTheMode) {
  const mode_t savedMask = ::umask(022);
  fs::path path = dir() / "token";
  ASSERT_TRUE(write(path, Data::fromString("first")));
  EXPECT_EQ(modeOf(path), 0600u);
  ASSERT_TRUE(write(path, Data::fromString("second")));
  EXPECT_EQ(modeOf(path), 0600u);

  for (mode_t mode : {0640, 0644, 0400}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(write(path, Data::fromString("rewritten " + std::to_string(mode))));
    EXPECT_EQ(modeOf(path), mode);
    EXPECT_EQ(contents(path), "rewritten " + std::to_string(mode));
  }

  ::umask(077);
  fs::path strict = dir() / "under a strict umask";
  ASSERT_TRUE(write(strict, Data::fromString("x")));
  EXPECT_EQ(modeOf(strict), 0600u);
  ::umask(savedMask);
}

TEST_P(AtomicWriteTest, Failures) {
  ErrorPtr error;
  fs::path inMissingFolder = dir() / "missing" / "file";
  EXPECT_FALSE(write(inMissingFolder, Data::fromString("x"), &error));
  expectFileError(error, kFileNoSuchFileError, inMissingFolder, ENOENT);

  fs::create_directories(dir() / "folder" / "inside");
  EXPECT_FALSE(write(dir() / "folder", Data::fromString("x"), &error));
  EXPECT_EQ(error->code(), kFileWriteUnknownError);
  auto entries = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, std::vector<fs::path>{dir() / "folder"});
}

// The process id of a process that has exited.
pid_t goneProcess() {
  pid_t child = 0;
  char program[] = "/bin/true";
  char* arguments[] = {program, nullptr};
  EXPECT_EQ(::posix_spawn(&child, program, nullptr, nullptr, arguments, environ), 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

// What a killed writer left behind goes with the next write in the folder; what belongs to a
// live writer or to nobody we know stays.
TEST_P(AtomicWriteTest, RemovesTemporaryFilesOfWritersThatAreGone) {
  const std::string gone = std::to_string(goneProcess());
  const std::string live = std::to_string(::getppid());
  const std::string own = std::to_string(::getpid());
  struct Case {
    std::string name;
    bool removed;
  } cases[] = {
      {".other.tmp-" + gone + "-0", true},
      {".settings.plist.tmp-" + gone + "-17", true},
      {".a.tmp-b.tmp-" + gone + "-3", true},
      {".other.tmp-" + live + "-0", false},
      {".other.tmp-" + own + "-0", false},  // another thread's write in progress
      {"other.tmp-" + gone + "-0", false},  // not hidden: not ours
      {".other.tmp-" + gone, false},
      {".other.tmp-" + gone + "-x", false},
      {".other.tmp-x" + gone + "-0", false},
      {".other.tmp--0", false},
      {".other.tmp-99999999999999999999-0", false},
  };
  for (const Case& c : cases) {
    put(dir() / c.name, "left over");
  }
  ASSERT_TRUE(write(dir() / "settings.plist", Data::fromString("x")));
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(dir() / c.name), !c.removed) << c.name;
  }
}

// Writes the file in turns with two large contents of different lengths until killed, and
// says so on the pipe once it has written once.
[[noreturn]] void writeUntilKilled(WriteFunction write, const fs::path& target,
                                   const Data (&contents)[2], int ready) {
  for (std::size_t round = 0;; ++round) {
    if (!write(target, contents[round % 2], nullptr)) {
      std::_Exit(1);
    }
    if (round == 0 && ::write(ready, "r", 1) != 1) {
      std::_Exit(1);
    }
  }
}

// Run by the test below in a fresh process, which has a single thread and so may fork writers
// cheaply: each writer is killed at a random point of its writes, and the file must then hold
// one whole version.
TEST(AtomicWriteChild, DISABLED_KillsWritersAtRandomPoints) {
  const char* target = std::getenv("VILMO_TEST_ATOMIC_TARGET");
  const char* way = std::getenv("VILMO_TEST_ATOMIC_WAY");
  ASSERT_TRUE(target && way);
  WriteFunction write = std::string(way) == "named" ? &detail::writeFileAtomicallyThroughNamedFile
                                                    : &writeFileAtomically;
  const Data contents[] = {Data(std::vector<std::uint8_t>(3 << 20, 'a')),
                           Data(std::vector<std::uint8_t>(2 << 20, 'b'))};
  ASSERT_TRUE(write(target, contents[0], nullptr));
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay(0, 10'000);
  for (int kill = 0; kill < 30; ++kill) {
    SCOPED_TRACE(kill);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(ends[0]);
      writeUntilKilled(write, target, contents, ends[1]);
    }
    ::close(ends[1]);
    char byte = 0;
    const bool ready = ::read(ends[0], &byte, 1) == 1;
    ::close(ends[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(ready);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto now = readFile(target);
    ASSERT_TRUE(now);
    ASSERT_TRUE(*now == contents[0] || *now == contents[1])
        << "a file of " << now->length() << " bytes";
  }
}

// What was committed survives a writer killed at any point, and nothing the kills left stays
// behind once the next write (here the parent's) has run.
TEST_P(AtomicWriteTest, AWriterKilledAtAnyPointLeavesTheFileWholeAndNoTemporaryFiles) {
  const fs::path target = dir() / "large";
  const char* way = GetParam() == &writeFileAtomically ? "unnamed" : "named";
  auto result = testing_support::runTestInChildProcess(
      "AtomicWriteChild.DISABLED_KillsWritersAtRandomPoints",
      {{"VILMO_TEST_ATOMIC_TARGET", target.string()}, {"VILMO_TEST_ATOMIC_WAY", way}});
  ASSERT_TRUE(result.passed()) << result.output;
  ASSERT_TRUE(write(target, Data::fromString("after")));
  auto entries = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, std::vector<fs::path>{target});
  EXPECT_EQ(modeOf(target), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Ways, AtomicWriteTest,
                         ::testing::Values(&writeFileAtomically,
                                           &detail::writeFileAtomicallyThroughNamedFile),
                         [](const auto& info) {
                           return info.index == 0 ? std::string("UnnamedFile")
                                                  : std::string("NamedFile");
                         });

TEST_F(FilesTest, ReadFile) {
  fs::path path = dir() / "data";
  std::string bytes("a\0b\xff", 4);
  put(path, bytes);
  auto data = readFile(path);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->toString(), bytes);

  put(dir() / "empty", "");
  auto empty = readFile(dir() / "empty");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  ErrorPtr error;
  EXPECT_FALSE(readFile(dir() / "missing", &error));
  expectFileError(error, kFileReadNoSuchFileError, dir() / "missing", ENOENT);
  EXPECT_FALSE(readFile(dir(), &error));
  expectFileError(error, kFileReadUnknownError, dir(), EISDIR);
}

TEST_F(FilesTest, FileExistsAndRemoveItem) {
  fs::create_directories(dir() / "tree" / "branch");
  put(dir() / "tree" / "branch" / "leaf", "x");
  bool isDirectory = false;
  EXPECT_TRUE(fileExists(dir() / "tree", &isDirectory));
  EXPECT_TRUE(isDirectory);
  EXPECT_TRUE(fileExists(dir() / "tree" / "branch" / "leaf", &isDirectory));
  EXPECT_FALSE(isDirectory);

  EXPECT_TRUE(removeItem(dir() / "tree"));
  EXPECT_FALSE(fileExists(dir() / "tree"));

  ErrorPtr error;
  EXPECT_FALSE(removeItem(dir() / "tree", &error));
  expectFileError(error, kFileNoSuchFileError, dir() / "tree", ENOENT);
}

TEST_F(FilesTest, ContentsOfDirectorySortsAndSkipsHiddenEntries) {
  for (const char* name : {"b", ".hidden", "a", "C"}) {
    put(dir() / name, name);
  }
  fs::create_directories(dir() / "folder");
  auto all = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, (std::vector<fs::path>{dir() / ".hidden", dir() / "C", dir() / "a", dir() / "b",
                                         dir() / "folder"}));
  auto visible = contentsOfDirectory(dir(), true);
  ASSERT_TRUE(visible);
  EXPECT_EQ(*visible,
            (std::vector<fs::path>{dir() / "C", dir() / "a", dir() / "b", dir() / "folder"}));

  ErrorPtr error;
  EXPECT_FALSE(contentsOfDirectory(dir() / "missing", false, &error));
  expectFileError(error, kFileReadNoSuchFileError, dir() / "missing", ENOENT);
  EXPECT_FALSE(contentsOfDirectory(dir() / "a", false, &error));
  expectFileError(error, kFileReadUnknownError, dir() / "a", ENOTDIR);
}

TEST_F(FilesTest, SizeAndModificationDate) {
  fs::path path = dir() / "five";
  put(path, "12345");
  EXPECT_EQ(fileSize(path), 5u);
  timespec times[2] = {{1'600'000'000, 0}, {1'700'000'000, 250'000'000}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(fileModificationDate(path), Date::fromTimeIntervalSince1970(1'700'000'000.25));

  ErrorPtr error;
  EXPECT_FALSE(fileSize(dir() / "missing", &error));
  expectFileError(error, kFileReadNoSuchFileError, dir() / "missing", ENOENT);
  error = nullptr;
  EXPECT_FALSE(fileModificationDate(dir() / "missing", &error));
  expectFileError(error, kFileReadNoSuchFileError, dir() / "missing", ENOENT);
}

// Both ways of moving must keep the same promises: the normal one and the one used on
// file systems without the no-replace flag.
using MoveFunction = bool (*)(const fs::path&, const fs::path&, ErrorPtr*);

class MoveItemTest : public FilesTest, public ::testing::WithParamInterface<MoveFunction> {
 protected:
  bool move(const fs::path& from, const fs::path& to, ErrorPtr* error = nullptr) {
    return GetParam()(from, to, error);
  }
};

TEST_P(MoveItemTest, MovesFilesAndFolders) {
  put(dir() / "file", "content");
  ASSERT_TRUE(move(dir() / "file", dir() / "renamed"));
  EXPECT_FALSE(fs::exists(dir() / "file"));
  EXPECT_EQ(contents(dir() / "renamed"), "content");

  fs::create_directories(dir() / "folder" / "inner");
  put(dir() / "folder" / "inner" / "x", "x");
  ASSERT_TRUE(move(dir() / "folder", dir() / "moved"));
  EXPECT_FALSE(fs::exists(dir() / "folder"));
  EXPECT_EQ(contents(dir() / "moved" / "inner" / "x"), "x");
}

TEST_P(MoveItemTest, NeverReplacesAnExistingItem) {
  put(dir() / "source", "source");
  put(dir() / "target", "target");
  fs::create_directories(dir() / "emptyFolder");
  fs::create_directories(dir() / "otherFolder");
  struct Case {
    const char* from;
    const char* to;
  } cases[] = {
      {"source", "target"},            // file onto file
      {"source", "emptyFolder"},       // file onto folder
      {"otherFolder", "emptyFolder"},  // folder onto an empty folder
      {"otherFolder", "target"},       // folder onto file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    ErrorPtr error;
    EXPECT_FALSE(move(dir() / c.from, dir() / c.to, &error));
    expectFileError(error, kFileWriteFileExistsError, dir() / c.to);
  }
  EXPECT_EQ(contents(dir() / "source"), "source");
  EXPECT_EQ(contents(dir() / "target"), "target");
  EXPECT_TRUE(fs::is_directory(dir() / "emptyFolder"));
  EXPECT_TRUE(fs::is_directory(dir() / "otherFolder"));
}

TEST_P(MoveItemTest, MissingSource) {
  ErrorPtr error;
  EXPECT_FALSE(move(dir() / "missing", dir() / "target", &error));
  expectFileError(error, kFileNoSuchFileError, dir() / "missing", ENOENT);
  EXPECT_FALSE(fs::exists(dir() / "target"));
}

INSTANTIATE_TEST_SUITE_P(Moves, MoveItemTest,
                         ::testing::Values(&moveItem, &detail::moveItemWithoutNoReplaceFlag),
                         [](const auto& info) {
                           return info.index == 0 ? std::string("NoReplaceFlag")
                                                  : std::string("LinkFallback");
                         });

}  // namespace
}  // namespace platform
