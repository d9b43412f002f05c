#include "platform/installed.h"

#include <memory>

#include <gtest/gtest.h>

namespace {

struct Service {
  int id = 0;
  platform::Installed<Service>* slot = nullptr;
  std::shared_ptr<Service>* seenByDestructor = nullptr;
  // A released object may ask for what replaced it: the lock must be free by then.
  ~Service() {
    if (slot != nullptr) *seenByDestructor = slot->get();
  }
};

TEST(InstalledTest, InstallsOnceAndReleasesTheReplacedOneOutsideItsLock) {
  platform::Installed<Service> slot;
  EXPECT_EQ(slot.get(), nullptr);

  int made = 0;
  const auto make = [&] {
    ++made;
    return std::make_shared<Service>(Service{.id = made});
  };
  EXPECT_EQ(slot.getOrInstall(make)->id, 1);
  EXPECT_EQ(slot.getOrInstall(make)->id, 1);
  EXPECT_EQ(made, 1);

  std::shared_ptr<Service> seen;
  slot.get()->slot = &slot;
  slot.get()->seenByDestructor = &seen;
  auto replacement = std::make_shared<Service>(Service{.id = 7});
  slot.set(replacement);
  EXPECT_EQ(seen, replacement);

  slot.set(nullptr);
  EXPECT_EQ(slot.get(), nullptr);
  EXPECT_EQ(slot.getOrInstall(make)->id, 2);
}

}  // namespace
