#include "vilmo/QuickLookPreviewHelper.h"

#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Path = std::filesystem::path;

struct Shown {
  bool visible;
  std::optional<Path> item;
};

// What the panel would draw.
std::vector<Shown>& presented() {
  static std::vector<Shown> calls;
  return calls;
}

void installRecordingPresenter() {
  platform::PreviewPanel::installPresenter([](bool visible, const std::optional<Path>& item) {
    presented().push_back({visible, item});
  });
}

TEST(QuickLookPreviewHelperTest, OneSharedHelperWithNothingToShowAtFirst) {
  auto helper = QuickLookPreviewHelper::shared();
  EXPECT_EQ(helper, QuickLookPreviewHelper::shared());
  EXPECT_EQ(helper->previewItem(), std::nullopt);
}

TEST(QuickLookPreviewHelperTest, WithoutAPanelNothingHappensButTheItemIsKept) {
  QuickLookPreviewHelper::attachPreviewPanel();
  QuickLookPreviewHelper::togglePreview("/tmp/a.pdf");
  EXPECT_EQ(QuickLookPreviewHelper::shared()->previewItem(), Path("/tmp/a.pdf"));
  EXPECT_EQ(platform::PreviewPanel::sharedPreviewPanel(), nullptr);
}

TEST(QuickLookPreviewHelperTest, AnswersThePanelAboutItsOneItem) {
  installRecordingPresenter();
  auto panel = platform::PreviewPanel::sharedPreviewPanel();
  ASSERT_NE(panel, nullptr);
  auto helper = QuickLookPreviewHelper::shared();
  EXPECT_EQ(helper->numberOfPreviewItemsInPreviewPanel(*panel), 0);
  EXPECT_EQ(helper->previewItemAtIndex(*panel, 0), std::nullopt);
  helper->setPreviewItem(Path("/tmp/b.png"));
  EXPECT_EQ(helper->numberOfPreviewItemsInPreviewPanel(*panel), 1);
  EXPECT_EQ(helper->previewItemAtIndex(*panel, 7), Path("/tmp/b.png"));

  EXPECT_TRUE(helper->acceptsPreviewPanelControl(*panel));
  helper->beginPreviewPanelControl(*panel);
  EXPECT_EQ(panel->dataSource(), helper);
  EXPECT_EQ(panel->delegate(), helper);
  helper->endPreviewPanelControl(*panel);
  EXPECT_EQ(panel->dataSource(), nullptr);
  EXPECT_EQ(panel->delegate(), nullptr);
}

TEST(QuickLookPreviewHelperTest, AttachMakesTheHelperDelegateAndDataSource) {
  installRecordingPresenter();
  QuickLookPreviewHelper::attachPreviewPanel();
  auto panel = platform::PreviewPanel::sharedPreviewPanel();
  EXPECT_EQ(panel->delegate(), QuickLookPreviewHelper::shared());
  EXPECT_EQ(panel->dataSource(), QuickLookPreviewHelper::shared());
}

TEST(QuickLookPreviewHelperTest, TogglingOpensAndClosesWhateverFileItShows) {
  installRecordingPresenter();
  QuickLookPreviewHelper::attachPreviewPanel();
  auto panel = platform::PreviewPanel::sharedPreviewPanel();

  QuickLookPreviewHelper::togglePreview("/tmp/a.pdf");
  EXPECT_TRUE(panel->isVisible());
  QuickLookPreviewHelper::togglePreview("/tmp/a.pdf");
  EXPECT_FALSE(panel->isVisible());

  QuickLookPreviewHelper::togglePreview("/tmp/a.pdf");
  // Another file while open: closes, and that file is shown at the next toggle.
  QuickLookPreviewHelper::togglePreview("/tmp/b.png");
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(QuickLookPreviewHelper::shared()->previewItem(), Path("/tmp/b.png"));
  QuickLookPreviewHelper::togglePreview("/tmp/b.png");

  ASSERT_EQ(presented().size(), 5u);
  EXPECT_TRUE(presented()[0].visible);
  EXPECT_EQ(presented()[0].item, Path("/tmp/a.pdf"));
  EXPECT_FALSE(presented()[1].visible);
  EXPECT_EQ(presented()[2].item, Path("/tmp/a.pdf"));
  EXPECT_FALSE(presented()[3].visible);
  EXPECT_TRUE(presented()[4].visible);
  EXPECT_EQ(presented()[4].item, Path("/tmp/b.png"));
}

}  // namespace
