#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "tests/support/temp_home.h"

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
}

TEST_F(FilesTest, AtomicWriteReplacesContentsAndLeavesNoTemporaryFiles) {
  fs::path path = dir() / "settings.plist";
  ASSERT_TRUE(writeFileAtomically(path, Data::fromString("first version, longer")));
  ASSERT_TRUE(writeFileAtomically(path, Data::fromString("second")));
  EXPECT_EQ(contents(path), "second");
  ASSERT_TRUE(writeFileAtomically(path, Data()));
  EXPECT_EQ(fs::file_size(path), 0u);

  auto entries = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, std::vector<fs::path>{path});

  // The umask decides the mode, as for any new file (not 0600 from a temporary file).
  mode_t old = umask(022);
  fs::path fresh = dir() / "fresh";
  ASSERT_TRUE(writeFileAtomically(fresh, Data::fromString("x")));
  umask(old);
  struct stat info {};
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(FilesTest, AtomicWriteFailures) {
  ErrorPtr error;
  fs::path inMissingFolder = dir() / "missing" / "file";
  EXPECT_FALSE(writeFileAtomically(inMissingFolder, Data::fromString("x"), &error));
  expectFileError(error, kFileNoSuchFileError, inMissingFolder, ENOENT);

  fs::create_directories(dir() / "folder" / "inside");
  EXPECT_FALSE(writeFileAtomically(dir() / "folder", Data::fromString("x"), &error));
  EXPECT_EQ(error->code(), kFileWriteUnknownError);
  auto entries = contentsOfDirectory(dir(), false);
  ASSERT_TRUE(entries);
  EXPECT_EQ(*entries, std::vector<fs::path>{dir() / "folder"});
}

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
