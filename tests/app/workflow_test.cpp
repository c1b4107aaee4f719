#include "app/workflow.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vistarium::app {
namespace {

TEST(WorkflowStages, RunningPhasesDisableEverythingAndUnknownNamesAreRefused) {
  for (WorkflowStage running : {WorkflowStage::Finding, WorkflowStage::Constructing})
    for (std::string_view item : StageTableItems()) EXPECT_FALSE(IsEnabledInStage(item, running)) << item;
  EXPECT_TRUE(IsEnabledInStage("mnuOpenPanorama", WorkflowStage::PanoramaOpened));  // a second file without New
  EXPECT_FALSE(IsEnabledInStage("mnuSavePanorama", WorkflowStage::ConnectionsReady));
  EXPECT_THROW(IsEnabledInStage("mnuNoSuchItem", WorkflowStage::NoPictures), std::invalid_argument);
  EXPECT_FALSE(PanelsFor(WorkflowStage::Finding, true).ProgressPanel);
  EXPECT_TRUE(PanelsFor(WorkflowStage::Finding, false).ProgressPanel);
  EXPECT_EQ(StageForPictureCount(1), WorkflowStage::NoPictures);
  EXPECT_EQ(StageForPictureCount(2), WorkflowStage::PicturesLoaded);
}

TEST(ThumbnailStrip, GeometryFitsTheBoxWithHalvesToEven) {
  const ThumbnailGeometry wide = ComputeThumbnailGeometry(1024, 768);
  EXPECT_EQ(wide.Width, 100);
  EXPECT_EQ(wide.Height, 75);
  EXPECT_EQ(wide.Left, 0);
  EXPECT_EQ(wide.Top, 12);  // 12.5 rounds to the even 12
  const ThumbnailGeometry tall = ComputeThumbnailGeometry(768, 1024);
  EXPECT_EQ(tall.Width, 75);
  EXPECT_EQ(tall.Left, 12);
  EXPECT_EQ(tall.Top, 0);
  const ThumbnailGeometry square = ComputeThumbnailGeometry(500, 500);
  EXPECT_EQ(square.Width, 100);
  EXPECT_EQ(square.Height, 100);
  EXPECT_THROW(ComputeThumbnailGeometry(0, 10), std::invalid_argument);
}

TEST(ThumbnailStrip, DropSlotsFollowTheReleasePoint) {
  const ThumbnailGeometry g = ComputeThumbnailGeometry(1024, 768);  // Left 0
  EXPECT_EQ(DragSlotShift(0), 0);
  EXPECT_EQ(DragSlotShift(109), 0);
  EXPECT_EQ(DragSlotShift(110), 1);
  EXPECT_EQ(DragSlotShift(-1), -1);
  EXPECT_EQ(DragSlotShift(-110), -2);
  EXPECT_EQ(DropTarget(0, 10 + 220, 10, g, 3), 2);         // first onto third
  EXPECT_EQ(DropTarget(2, 10 - 220, 10, g, 3), 0);         // and back
  EXPECT_FALSE(DropTarget(0, 10, 10, g, 3).has_value());   // on itself
  EXPECT_FALSE(DropTarget(0, 400, 10, g, 3).has_value());  // past the last picture
  EXPECT_FALSE(DropTarget(0, -20, 10, g, 3).has_value());  // before the first
  EXPECT_FALSE(DropTarget(0, 230, 76, g, 3).has_value());  // below the image
  EXPECT_TRUE(DropTarget(0, 230, 75, g, 3).has_value());   // on its last row
  EXPECT_FALSE(DropTarget(0, 230, -1, g, 3).has_value());  // above it
}

TEST(ThumbnailStrip, ChosenFilesSortCaseInsensitivelyAndMismatchTextIsExact) {
  EXPECT_EQ(SortedPicturePaths({"/p/d.jpg", "/p/b.jpg", "/p/A.jpg"}),
            (std::vector<std::string>{"/p/A.jpg", "/p/b.jpg", "/p/d.jpg"}));
  EXPECT_EQ(SizeMismatchMessage("/p/x.jpg"),
            "Picture in file /p/x.jpg\n\rcan't be used, because its size differ from the size of previously "
            "selected pictures.");
}

TEST(PanoramaPreview, StaysWithinItsBoundsAndKeepsTheAspect) {
  for (int n : {2, 4, 8})
    for (int w : {300, 2000, 9000, 40000})
      for (int h : {90, 400, 1300, 5000}) {
        const PreviewGeometry g = MadePanoramaPreview(w, h, n);
        EXPECT_LE(g.ImageWidth, 110 * n - 20);
        EXPECT_LE(g.ImageHeight, 125);
        EXPECT_NEAR(static_cast<double>(g.ImageWidth) / g.ImageHeight, static_cast<double>(w) / h,
                    static_cast<double>(w) / h * (1.0 / g.ImageHeight + 1.0 / g.ImageWidth) + 1e-9);
      }
  EXPECT_THROW(MadePanoramaPreview(0, 10, 2), std::invalid_argument);

  // Nearest pixels: a 2 x 1 panorama shown at scale 2 repeats each pixel.
  Bitmap32 pano;
  pano.SetSize(2, 1);
  pano.SetPixel(0, 0, 0xFF112233u);
  pano.SetPixel(1, 0, 0xFF445566u);
  PreviewGeometry g;
  g.Scale = 2.0;
  g.ImageWidth = 4;
  g.ImageHeight = 2;
  const Bitmap32 shown = PreviewPixels(pano, g);
  EXPECT_EQ(shown.Pixel(0, 0), 0xFF112233u);
  EXPECT_EQ(shown.Pixel(1, 0), 0xFF112233u);  // Round(0.5) = 0
  EXPECT_EQ(shown.Pixel(2, 1), 0xFF445566u);
  EXPECT_EQ(shown.Pixel(3, 1), 0xFF000000u);  // Round(1.5) = 2 lies outside: stays black
}

TEST(ConnectionMenu, EndsOfOpenSetsAndTheClosingPairOfCircles) {
  EXPECT_FALSE(ConnectionMenuFor(0, 4, false).AdjustLeft);
  EXPECT_TRUE(ConnectionMenuFor(0, 4, false).AdjustRight);
  EXPECT_TRUE(ConnectionMenuFor(3, 4, false).AdjustLeft);
  EXPECT_FALSE(ConnectionMenuFor(3, 4, false).AdjustRight);
  EXPECT_TRUE(ConnectionMenuFor(0, 4, true).AdjustLeft);
  EXPECT_TRUE(ConnectionMenuFor(3, 4, true).AdjustRight);
  EXPECT_EQ(LeftConnectionPair(0, 4), (std::pair{3, 0}));
  EXPECT_EQ(RightConnectionPair(3, 4), (std::pair{3, 0}));
  EXPECT_EQ(LeftConnectionPair(2, 4), (std::pair{1, 2}));
  EXPECT_EQ(RightConnectionPair(2, 4), (std::pair{2, 3}));
}

}  // namespace
}  // namespace vistarium::app

namespace vistarium::app {
namespace {

// At the starting size the preview is that of the made panorama, narrowed
// only to fit the visible strip (a full circle of eight needs no scroll
// bar); a grown strip lets it grow up to its width and height.
TEST(GrownPanoramaPreview, FitsTheVisibleStripAndGrowsWithIt) {
  const PreviewGeometry start = GrownPanoramaPreview(3124, 629, 4, 751, 0, 0);
  const PreviewGeometry made = MadePanoramaPreview(3124, 629, 4);
  EXPECT_EQ(start.ImageWidth, made.ImageWidth);
  EXPECT_EQ(start.ImageHeight, made.ImageHeight);
  EXPECT_EQ(start.PanelHeight, 135);
  const PreviewGeometry circle = GrownPanoramaPreview(5631, 642, 8, 751, 0, 0);
  EXPECT_LE(circle.PanelWidth + 5, 751);
  EXPECT_LT(circle.ImageWidth, MadePanoramaPreview(5631, 642, 8).ImageWidth);
  const PreviewGeometry grown = GrownPanoramaPreview(3124, 629, 4, 1575, 824, 600);
  EXPECT_EQ(grown.ImageWidth, 110 * 4 - 20 + 824);  // the strip's extra width is the preview's
  EXPECT_LT(grown.ImageHeight, 125 + 600);
  EXPECT_EQ(grown.PanelHeight, grown.ImageHeight + 10);
}

}  // namespace
}  // namespace vistarium::app
