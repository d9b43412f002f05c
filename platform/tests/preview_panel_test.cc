#include "platform/preview_panel.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

// A controller that, like the application's helper, makes itself data source and delegate
// while in control and holds one item.
class Helper : public PreviewPanelDataSource,
               public PreviewPanelDelegate,
               public std::enable_shared_from_this<Helper> {
 public:
  long numberOfPreviewItemsInPreviewPanel(PreviewPanel&) override { return item ? 1 : 0; }
  std::optional<fs::path> previewItemAtIndex(PreviewPanel&, long) override { return item; }
  bool acceptsPreviewPanelControl(PreviewPanel&) override {
    calls.push_back("accepts");
    return accepts;
  }
  void beginPreviewPanelControl(PreviewPanel& panel) override {
    calls.push_back("begin");
    panel.setDataSource(shared_from_this());
    panel.setDelegate(shared_from_this());
  }
  void endPreviewPanelControl(PreviewPanel& panel) override {
    calls.push_back("end");
    panel.setDataSource(nullptr);
    panel.setDelegate(nullptr);
  }

  std::optional<fs::path> item;
  bool accepts = true;
  std::vector<std::string> calls;
};

// What the presenter was told: "show <item>" / "show -" / "hide".
class PreviewPanelTest : public ::testing::Test {
 protected:
  PreviewPanelTest() {
    PreviewPanel::installPresenter([this](bool visible, const std::optional<fs::path>& item) {
      shown_.push_back(visible ? "show " + (item ? item->string() : "-") : "hide");
    });
    panel_ = PreviewPanel::sharedPreviewPanel();
  }
  ~PreviewPanelTest() override {
    panel_->orderOut();
    panel_->setDelegate(nullptr);
    panel_->setDataSource(nullptr);
    PreviewPanel::installPresenter(nullptr);
  }

  std::shared_ptr<PreviewPanel> panel_;
  std::vector<std::string> shown_;
};

TEST(PreviewPanelWithoutDisplayTest, ThereIsNoPanelWithoutAPresenter) {
  EXPECT_EQ(PreviewPanel::sharedPreviewPanel(), nullptr);
}

TEST_F(PreviewPanelTest, ShowsTheFirstItemOfTheControllerAndHandsControlBackOnHiding) {
  ASSERT_NE(panel_, nullptr);
  EXPECT_EQ(PreviewPanel::sharedPreviewPanel(), panel_);
  auto helper = std::make_shared<Helper>();
  helper->item = "/tmp/a.png";
  panel_->setDelegate(helper);
  panel_->setDataSource(helper);

  panel_->makeKeyAndOrderFront();
  EXPECT_TRUE(panel_->isVisible());
  panel_->orderOut();
  EXPECT_FALSE(panel_->isVisible());
  EXPECT_EQ(panel_->delegate(), nullptr);
  EXPECT_EQ(panel_->dataSource(), nullptr);
  panel_->orderOut();  // already hidden: nothing

  // Shown again with no delegate set: the last controller is found and takes control.
  helper->item = "/tmp/b.txt";
  panel_->makeKeyAndOrderFront();
  EXPECT_EQ(panel_->delegate(), helper);

  EXPECT_EQ(shown_, (std::vector<std::string>{"show /tmp/a.png", "hide", "show /tmp/b.txt"}));
  EXPECT_EQ(helper->calls,
            (std::vector<std::string>{"accepts", "begin", "end", "accepts", "begin"}));
}

TEST_F(PreviewPanelTest, WithoutAnItemOrAControllerThePanelIsEmpty) {
  panel_->makeKeyAndOrderFront();  // nothing set
  auto refusing = std::make_shared<Helper>();
  refusing->accepts = false;
  refusing->item = "/tmp/never.png";
  panel_->setDelegate(refusing);
  panel_->makeKeyAndOrderFront();  // refuses control, so it is no data source
  auto empty = std::make_shared<Helper>();
  panel_->setDataSource(empty);
  panel_->makeKeyAndOrderFront();  // a data source with no items
  EXPECT_EQ(shown_, (std::vector<std::string>{"show -", "show -", "show -"}));
  EXPECT_EQ(refusing->calls, (std::vector<std::string>{"accepts", "accepts"}));
}

}  // namespace
}  // namespace platform
