#include "browse/browser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "app/panorama_file.h"
#include "geom/numbers.h"
#include "render/picture_file.h"

namespace vistarium::browse {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A panorama of `columns` columns to the full turn, focal length one turn
// / 2 pi, horizon at row `horizon`.
BrowserSource SourceFor(int columns, bool is360, double horizon) {
  BrowserSource src;
  src.Is360 = is360;
  src.AngleStep = 2.0 * kPi / columns;
  src.PixelsPerRadian = columns / (2.0 * kPi);
  src.FocalPixels = src.PixelsPerRadian;
  src.HorizonRow = horizon;
  return src;
}

Bitmap32 Stripes(int width, int height) {
  Bitmap32 p;
  p.SetSize(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.SetPixel(x, y, 0xFF000000u | (((x / 7 % 2) ? 0xC08040u : 0x203060u) + y % 50));
  return p;
}

BrowserState Opened(const Bitmap32& pano, const BrowserSource& src) {
  BrowserState s;
  ResetBrowser(s);
  OpenBrowser(s, pano, src);
  return s;
}

TEST(BrowserTest, OpensAtFullHeightAndZoomStopsAtItsLimits) {
  const Bitmap32 pano = Stripes(1200, 300);
  BrowserState s = Opened(pano, SourceFor(3600, false, 150));
  EXPECT_EQ(s.MapWidth, 1200);
  EXPECT_EQ(s.MapHeight % 2, 1);
  EXPECT_EQ(s.ViewX, 600);
  EXPECT_EQ(s.ViewY, 0);
  EXPECT_EQ(s.Scale, s.InitialScale);
  // The full map height fills the view: its top and bottom rows are two
  // view-plane pixels outside the view.
  EXPECT_NEAR(std::tan(s.MapHeight * 0.5 * s.AngleStep) * s.FocalPixels - s.InitialScale * s.ViewCentreY, 2.0, 1e-9);
  // The opening view is covered by the map in every pixel, the bottom row
  // (one row further from the centre row than the top row) included.
  // The last has a map of 655 rows whose middle row rounds to 328, 1.5 rows
  // short below of what the zoom fits.
  struct Case {
    int Width, Height, Columns;
    bool Is360;
  };
  for (const Case c : {Case{1200, 300, 1200, true}, Case{1200, 300, 3600, false}, Case{5631, 642, 5631, true}}) {
    BrowserState t = Opened(Stripes(c.Width, c.Height), SourceFor(c.Columns, c.Is360, c.Height / 2));
    Bitmap32 view;
    view.SetSize(400, 300);
    std::fill(view.Pixels.begin(), view.Pixels.end(), 0x12345678u);
    RenderView(t, view);
    EXPECT_EQ(std::count(view.Pixels.begin(), view.Pixels.end(), 0x12345678u), 0);
    EXPECT_EQ(std::count(view.Pixels.begin(), view.Pixels.end(), 0xFF000000u), 0);
  }
  ButtonStates b = UpdateButtons(s);
  EXPECT_FALSE(b.ZoomDown);
  EXPECT_FALSE(b.ZoomInit);
  EXPECT_TRUE(b.ZoomUp);
  EXPECT_TRUE(b.Left && b.Right && b.AutoLeft && b.AutoRight);
  EXPECT_FALSE(b.AutoStop);

  ZoomIn(s);
  EXPECT_DOUBLE_EQ(s.Scale, s.InitialScale / 1.1);
  for (int k = 0; k < 200; ++k) ZoomIn(s);
  EXPECT_EQ(s.Scale, 0.01);
  EXPECT_FALSE(UpdateButtons(s).ZoomUp);
  EXPECT_TRUE(UpdateButtons(s).ZoomInit);
  // Closer views have room to tilt and turn.
  EXPECT_GT(s.MaxViewY, 100);
  EXPECT_LT(s.MinViewX, 20);
  for (int k = 0; k < 200; ++k) ZoomOut(s);
  EXPECT_EQ(s.Scale, s.InitialScale);
  EXPECT_FALSE(UpdateButtons(s).ZoomDown);

  // Tilting to the top and zooming back out clamps the tilt.
  ZoomIn(s);
  for (int k = 0; k < 100; ++k) MoveUp(s);
  EXPECT_EQ(s.ViewY, s.MaxViewY);
  EXPECT_FALSE(UpdateButtons(s).Up);
  ZoomInit(s);
  EXPECT_EQ(s.ViewY, s.MaxViewY);
  EXPECT_LE(s.MaxViewY, 1);
}

TEST(BrowserTest, MapRowsBeyondAPanoramaWithItsHorizonOffTheMiddleRepeatTheEdgeRow) {
  const Bitmap32 pano = Stripes(600, 300);
  // Horizon 20 rows above the middle: the map's top rows lie above the
  // panorama's top.
  const BrowserState s = Opened(pano, SourceFor(1800, false, 130));
  for (int x : {0, 17, 599})
    for (int y : {0, 5}) {
      const std::uint32_t edge = pano.Pixel(x, 0);
      EXPECT_EQ(s.Map.At(x, y, 0), edge & 0xFF);
      EXPECT_EQ(s.Map.At(x, y, 2), (edge >> 16) & 0xFF);
    }
  // The middle row of the map is the horizon row of the panorama.
  const int middle = Round(s.MapHeight / 2.0);
  EXPECT_EQ(s.Map.At(17, middle, 0), pano.Pixel(17, 130) & 0xFF);
}

// With the horizon 30 rows below the middle, the opening view reaches below
// the panorama's last row: there it shows the background with a clean edge,
// not the last row drawn out into a streak; plain and fast drawing agree.
TEST(BrowserTest, BeyondThePanoramasBottomTheViewShowsTheBackground) {
  const Bitmap32 pano = Stripes(1200, 300);
  const BrowserState s = Opened(pano, SourceFor(3600, true, 180));
  Bitmap32 fast, plain;
  for (Bitmap32* v : {&fast, &plain}) {
    v->SetSize(400, 300);
    std::fill(v->Pixels.begin(), v->Pixels.end(), 0x12345678u);
  }
  RenderView(s, fast);
  RenderViewReference(s, plain);
  EXPECT_EQ(fast.Pixels, plain.Pixels);
  EXPECT_EQ(std::count(fast.Pixels.begin(), fast.Pixels.end(), 0x12345678u), 0);
  EXPECT_NE(fast.Pixel(199, 0), kBackground);
  // Down the middle column: panorama, then from one row on background only.
  int firstBackground = -1;
  for (int j = 0; j < 300; ++j)
    if (fast.Pixel(199, j) == kBackground) {
      firstBackground = j;
      break;
    }
  ASSERT_GT(firstBackground, 200);
  for (int j = firstBackground; j < 300; ++j) EXPECT_EQ(fast.Pixel(199, j), kBackground) << j;
}

TEST(BrowserTest, AutomaticRotationSwingsOnAnOpenPanoramaAndWrapsOnACircle) {
  const Bitmap32 pano = Stripes(1000, 200);
  BrowserState open = Opened(pano, SourceFor(3600, false, 100));
  StartAutoRight(open);
  ButtonStates b = UpdateButtons(open);
  EXPECT_TRUE(b.AutoStop && b.AutoLeft);
  EXPECT_FALSE(b.AutoRight || b.Left || b.ZoomUp);
  int reversals = 0, lowest = open.ViewX, highest = open.ViewX;
  double step = open.AutoStep;
  for (int k = 0; k < 1000; ++k) {
    AutoTick(open);
    lowest = std::min(lowest, open.ViewX);
    highest = std::max(highest, open.ViewX);
    if (open.AutoStep != step) ++reversals, step = open.AutoStep;
  }
  EXPECT_EQ(lowest, open.MinViewX);
  EXPECT_EQ(highest, open.MaxViewX);
  EXPECT_GE(reversals, 2);
  // Moving left now: the right button is the one offered.
  if (open.AutoStep > 0) StartAutoLeft(open);
  b = UpdateButtons(open);
  EXPECT_TRUE(b.AutoRight);
  EXPECT_FALSE(b.AutoLeft);
  StopAuto(open);
  EXPECT_FALSE(UpdateButtons(open).AutoStop);

  BrowserState circle = Opened(Stripes(3600, 200), SourceFor(3600, true, 100));
  StartAutoLeft(circle);
  const int step360 = Round(circle.AutoStep / circle.AngleStep);
  EXPECT_EQ(step360, -6);
  bool wrapped = false;
  int previous = circle.ViewX;
  for (int k = 0; k < 700; ++k) {
    AutoTick(circle);
    ASSERT_GE(circle.ViewX, 0);
    ASSERT_LT(circle.ViewX, circle.MapWidth);
    if (circle.ViewX > previous) wrapped = true;
    previous = circle.ViewX;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_LT(circle.AutoStep, 0.0);  // never reverses
  EXPECT_EQ(circle.ViewX, ((1800 - 700 * 6) % 3600 + 3600) % 3600);
}

// A full circle seen from inside a box-shaped room: a wall straight ahead
// (at longitude kWallLon) whose upper half is dark, and a door frame, a
// vertical edge, 10 degrees to its right. Rendered exactly into
// equal-area rows. In a perspective view facing the wall, its horizontal
// edge must be one view row and the door frame one view column, at every
// tilt.
class RoomTest : public ::testing::Test {
protected:
  static constexpr int kColumns = 3600;
  static constexpr int kHeight = 800;
  static constexpr double kWallLon = 1000.0;  // columns
  static constexpr double kEdgeHeight = 0.3;  // edge height / wall distance

  void SetUp() override {
    src_ = SourceFor(kColumns, true, kHeight / 2);
    pano_.SetSize(kColumns, kHeight);
    for (int v = 0; v < kHeight; ++v)
      for (int x = 0; x < kColumns; ++x) {
        const double lat = std::asin((src_.HorizonRow - v) / src_.PixelsPerRadian);
        const double lon = (x - kWallLon) * src_.AngleStep;
        // Height on the wall plane at unit distance, for directions at it.
        const bool above = std::cos(lon) > 0.0 && std::tan(lat) / std::cos(lon) > kEdgeHeight;
        const bool door = lon > 10.0 * kPi / 180.0;
        pano_.SetPixel(x, v, (above != door) ? 0xFF202020u : 0xFFE0E0E0u);
      }
  }

  // The view column of each row's first dark-to-light change, and the row
  // of each column's change, found in the view.
  static int ChangeColumn(const Bitmap32& view, int j, int from) {
    for (int i = from; i + 1 < view.Width; ++i)
      if (((view.Pixel(i, j) & 0xFF) < 128) != ((view.Pixel(i + 1, j) & 0xFF) < 128)) return i;
    return -1;
  }
  static int ChangeRow(const Bitmap32& view, int i) {
    for (int j = 0; j + 1 < view.Height; ++j)
      if (((view.Pixel(i, j) & 0xFF) < 128) != ((view.Pixel(i, j + 1) & 0xFF) < 128)) return j;
    return -1;
  }

  BrowserSource src_;
  Bitmap32 pano_;
};

TEST_F(RoomTest, VerticalAndHorizontalEdgesStayStraightAtEveryTilt) {
  BrowserState s = Opened(pano_, src_);
  for (int k = 0; k < 8; ++k) ZoomIn(s);  // about 34 by 26 degrees
  s.ViewX = static_cast<int>(kWallLon);
  Bitmap32 view;
  view.SetSize(400, 300);
  const double f = s.FocalPixels;
  for (int tilt : {-60, 0, 60, 120}) {
    s.ViewY = 0;
    Pan(s, 0, tilt);
    ASSERT_EQ(s.ViewY, tilt);
    std::fill(view.Pixels.begin(), view.Pixels.end(), 0u);
    RenderView(s, view);
    // Where the two edges should be: the door at f tan(10 deg), the wall's
    // edge at kEdgeHeight f on the view plane.
    const double doorColumn = s.ViewCentreX + f * std::tan(10.0 * kPi / 180.0) / s.Scale;
    const double edgeRow = s.ViewCentreY - (kEdgeHeight * f - s.ViewY) / s.Scale;
    ASSERT_GT(doorColumn, 20);
    ASSERT_LT(doorColumn, 380);
    ASSERT_GT(edgeRow, 5);
    ASSERT_LT(edgeRow, 295);
    for (int j = 0; j < view.Height; j += 7) {
      const int c = ChangeColumn(view, j, 5);
      EXPECT_NEAR(c, doorColumn, 1.0) << "tilt " << tilt << " row " << j;
    }
    for (int i = 0; i < doorColumn - 3; i += 7) {
      const int r = ChangeRow(view, i);
      EXPECT_NEAR(r, edgeRow, 1.0) << "tilt " << tilt << " column " << i;
    }
  }
}

TEST(BrowserTest, FastDrawingAndMapGiveThePlainOnesPixelsOnARealPicture) {
  const std::filesystem::path file = std::filesystem::path(VISTARIUM_SOURCE_DIR) / "samples/open4/open4_02.jpg";
  Bitmap32 pano;
  app::ShowPicture(render::LoadPictureFile(file.string()), pano);
  for (bool is360 : {false, true}) {
    BrowserSource src = SourceFor(3 * pano.Width, is360, pano.Height * 0.45);
    BrowserState s = Opened(pano, src);
    ASSERT_EQ(BuildMapReference(pano, src).Values, s.Map.Values);
    struct Size {
      int W, H;
    };
    for (Size size : {Size{400, 300}, Size{257, 191}}) {
      SetViewSize(s, size.W, size.H);
      for (int k = 0; k < 7; ++k) {
        // Initial view, turned across the seam, zoomed, tilted both ways.
        if (k == 1) Pan(s, s.MapWidth / 2 - 3, 0);
        if (k == 2) ZoomIn(s), ZoomIn(s);
        if (k == 3) Pan(s, -5, 17);
        if (k == 4) Pan(s, 0, -40);
        if (k == 5) ZoomIn(s), ZoomIn(s), ZoomIn(s), ZoomIn(s);
        if (k == 6) ZoomInit(s), Pan(s, 0, 1);
        Bitmap32 plain, fast;
        plain.SetSize(size.W, size.H);
        fast.SetSize(size.W, size.H);
        RenderViewReference(s, plain);
        RenderView(s, fast);
        ASSERT_EQ(plain.Pixels, fast.Pixels) << "360 " << is360 << " step " << k;
        // The view shows the picture, not the untouched background.
        EXPECT_GT(std::count_if(fast.Pixels.begin(), fast.Pixels.end(), [](std::uint32_t p) { return p != 0u; }),
                  size.W * size.H / 2);
      }
    }
  }
}

TEST(BrowserTest, ViewAnglesTurnTiltAndZoomWithinTheLimits) {
  BrowserState s = Opened(Stripes(3600, 400), SourceFor(3600, true, 200));
  SetViewAngles(s, 90.0, 0.0, 1.0);
  EXPECT_EQ(s.ViewX, 1800 + 900);
  SetViewAngles(s, -270.0 - 360.0, 0.0, 1.0);
  EXPECT_EQ(s.ViewX, 2700);
  SetViewAngles(s, 0.0, 5.0, 4.0);
  EXPECT_DOUBLE_EQ(s.Scale, s.InitialScale / 4.0);
  EXPECT_EQ(s.ViewY, Round(std::tan(5.0 * kPi / 180.0) * s.FocalPixels));
  SetViewAngles(s, 0.0, 80.0, 1e9);
  EXPECT_EQ(s.Scale, s.MinScale);
  EXPECT_EQ(s.ViewY, s.MaxViewY);
  EXPECT_THROW(SetViewAngles(s, 0.0, 90.0, 1.0), std::invalid_argument);
  EXPECT_THROW(SetViewAngles(s, 0.0, 0.0, 0.0), std::invalid_argument);

  BrowserState open = Opened(Stripes(1000, 400), SourceFor(3600, false, 200));
  SetViewAngles(open, 170.0, 0.0, 1.0);
  EXPECT_EQ(open.ViewX, open.MaxViewX);
}

}  // namespace
}  // namespace vistarium::browse
