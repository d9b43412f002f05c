// TemporaryHome: gives a test its own HOME and XDG folders, so that anything the code
// under test stores lands in a fresh directory that is removed afterwards.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/value.h"

namespace testing_support {

class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::filesystem::path& path() const { return root_; }
  std::filesystem::path dataHome() const { return root_ / ".local/share"; }
  std::filesystem::path cacheHome() const { return root_ / ".cache"; }
  std::filesystem::path configHome() const { return root_ / ".config"; }

  // Makes a fresh bundle folder inside the home, whose Info.plist holds these entries (and
  // the identifier "com.example.vilmo" unless they give one), the main bundle from now on.
  // Returns the folder, where a test may put further resources.
  std::filesystem::path useBundle(platform::Dictionary info = {});

 private:
  std::filesystem::path root_;
  int bundles_ = 0;
  std::map<std::string, std::optional<std::string>> saved_;
};

// A fixture whose every test runs in its own TemporaryHome.
class TemporaryHomeTest : public ::testing::Test {
 protected:
  TemporaryHome home_;
};

}  // namespace testing_support
