#include "platform/workspace.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/run_loop.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(WorkspaceTest, OnlyAbsoluteURLsAreHandedToTheOpener) {
  std::vector<std::string> opened;
  Workspace::sharedWorkspace().setOpener([&](const std::string& url) {
    opened.push_back(url);
    return true;
  });
  struct Case {
    const char* url;
    bool handed;
  } cases[] = {
      {"https://example.com/form", true},
      {"mailto:someone@example.com", true},
      {"x-app+1.2:rest", true},
      {"", false},
      {"example.com/form", false},
      {":nothing", false},
      {"-help:x", false},
      {"1http://x", false},
      {"ht tp://x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    opened.clear();
    EXPECT_EQ(Workspace::sharedWorkspace().openURL(c.url), c.handed);
    EXPECT_EQ(opened.size(), c.handed ? 1u : 0u);
  }
  Workspace::sharedWorkspace().setOpener(nullptr);
}

// The default opener, with a PATH holding only a stand-in for the desktop's opener.
class DesktopOpenerTest : public testing_support::TemporaryHomeTest {
 protected:
  DesktopOpenerTest() {
    if (const char* path = std::getenv("PATH")) savedPath_ = path;
    bin_ = home_.path() / "bin";
    fs::create_directories(bin_);
    setenv("PATH", bin_.c_str(), 1);
  }
  ~DesktopOpenerTest() override {
    if (savedPath_) setenv("PATH", savedPath_->c_str(), 1);
  }

  void installOpener(const std::string& contents) {
    fs::path opener = bin_ / "xdg-open";
    std::ofstream(opener) << contents;
    ::chmod(opener.c_str(), 0755);
  }

  fs::path bin_;
  std::optional<std::string> savedPath_;
};

TEST_F(DesktopOpenerTest, StartsTheOpenerWithTheURLAsItsOneArgument) {
  fs::path received = home_.path() / "received";
  // Written under another name and moved, so the file appears complete.
  installOpener("#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + received.string() +
                ".part' && /bin/mv '" + received.string() + ".part' '" + received.string() + "'\n");
  // Shell syntax in the URL reaches the opener untouched: no shell is involved.
  const std::string url = "https://example.com/a b?x=$(id)&y=`z`;'q'";
  EXPECT_TRUE(Workspace::sharedWorkspace().openURL(url));
  ASSERT_TRUE(RunLoop::runUntil([&] { return fs::exists(received); }, 10));
  EXPECT_EQ(readFile(received)->toString(), "1|" + url);
}

TEST_F(DesktopOpenerTest, FailsWithoutAnOpenerThatCanBeStarted) {
  EXPECT_FALSE(Workspace::sharedWorkspace().openURL("https://example.com"));
  installOpener("not a program\n");  // executable, but exec refuses it
  EXPECT_FALSE(Workspace::sharedWorkspace().openURL("https://example.com"));
}

}  // namespace
}  // namespace platform
