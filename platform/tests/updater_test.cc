#include "platform/updater.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/workspace.h"

namespace platform {
namespace {

// Captures what the updater tells the user and what it opens.
class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() {
    Updater::setUserDriver([this](const std::string& message) { messages_.push_back(message); });
    Workspace::sharedWorkspace().setOpener([this](const std::string& url) {
      opened_.push_back(url);
      return openerSucceeds_;
    });
  }
  ~UpdaterTest() override {
    Updater::setUserDriver(nullptr);
    Workspace::sharedWorkspace().setOpener(nullptr);
  }

  std::vector<std::string> messages_;
  std::vector<std::string> opened_;
  bool openerSucceeds_ = true;
};

TEST_F(UpdaterTest, AControllerStartedAtLaunchChecks) {
  UpdaterController controller(true);
  ASSERT_NE(controller.updater(), nullptr);
  EXPECT_TRUE(controller.updater()->isStarted());
  controller.updater()->checkForUpdates();
  EXPECT_EQ(messages_, std::vector<std::string>{Updater::kNoUpdateFeedMessage});
  EXPECT_TRUE(opened_.empty());
}

TEST_F(UpdaterTest, AnUpdaterNotStartedDoesNotCheck) {
  UpdaterController controller(false);
  EXPECT_FALSE(controller.updater()->isStarted());
  controller.updater()->checkForUpdates();
  EXPECT_TRUE(messages_.empty());
  controller.updater()->startUpdater();
  controller.updater()->checkForUpdates();
  EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(UpdaterTest, AConfiguredReleasePageIsOpenedInsteadOfTheMessage) {
  UpdaterController controller(true);
  Updater& updater = *controller.updater();
  updater.setReleasePageURL("https://example.com/releases");
  updater.checkForUpdates();
  EXPECT_EQ(opened_, std::vector<std::string>{"https://example.com/releases"});
  EXPECT_TRUE(messages_.empty());

  // A page that cannot be opened is reported.
  openerSucceeds_ = false;
  updater.checkForUpdates();
  EXPECT_EQ(messages_, std::vector<std::string>{std::string(Updater::kReleasePageFailedMessage) +
                                                "https://example.com/releases"});

  // An empty address is no address.
  updater.setReleasePageURL("");
  EXPECT_EQ(updater.releasePageURL(), std::nullopt);
  updater.checkForUpdates();
  EXPECT_EQ(messages_.back(), Updater::kNoUpdateFeedMessage);
  EXPECT_EQ(opened_.size(), 2u);
}

}  // namespace
}  // namespace platform
