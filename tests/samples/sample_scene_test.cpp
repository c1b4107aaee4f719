#include "sample_scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "render/sampling.h"

namespace vistarium::samples {
namespace {

int Red(PackedColor c) { return c & 0xFF; }
int Green(PackedColor c) { return (c >> 8) & 0xFF; }
int Blue(PackedColor c) { return (c >> 16) & 0xFF; }

// A photo whose colour tells where it was read: red = column, green = row
// (so at most 256 x 256 pixels).
// Bilinear sampling of a linear ramp is exact, so a sample at photo position
// (u, v) reads red u - 0.5 and green v - 0.5 (pixel centres at +0.5).
DeviceBitmap RampPhoto(int w, int h) {
  DeviceBitmap b(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.SetPixel(x, y, (50 << 16) | (y << 8) | x);
  return b;
}

// Photo position of a world direction by the scene's rule: centred on
// longitude 0 and the equator, `perDegree` photo pixels a degree both ways.
TRealPoint ExpectedPosition(Vec3 world, int w, int h, double perDegree) {
  const double lon = std::atan2(world.X, world.Z) * 180.0 / M_PI;
  const double lat = std::atan2(world.Y, std::hypot(world.X, world.Z)) * 180.0 / M_PI;
  return {w / 2.0 + lon * perDegree, h / 2.0 - lat * perDegree};
}

TEST(SampleScene, PhotoCoversItsSpanCentredOnTheForwardDirection) {
  const Scene scene(RampPhoto(200, 120), 100.0, false);  // 2 pixels a degree
  EXPECT_DOUBLE_EQ(scene.LatitudeSpan(), 60.0);
  auto at = [&](double lon, double lat) { return scene.PhotoPosition(LonLatToDirection({lon, lat})); };
  ASSERT_TRUE(at(0, 0));
  EXPECT_NEAR(at(0, 0)->X, 100, 1e-9);
  EXPECT_NEAR(at(0, 0)->Y, 60, 1e-9);
  ASSERT_TRUE(at(25, 10));
  EXPECT_NEAR(at(25, 10)->X, 150, 1e-9);
  EXPECT_NEAR(at(25, 10)->Y, 40, 1e-9);
  ASSERT_TRUE(at(-49.9, -29.9));
  EXPECT_NEAR(at(-49.9, -29.9)->X, 0.2, 1e-9);
  EXPECT_NEAR(at(-49.9, -29.9)->Y, 119.8, 1e-9);
  // Beyond the patch the scene is grey.
  EXPECT_FALSE(at(50.5, 0));
  EXPECT_FALSE(at(-120, 0));
  EXPECT_FALSE(at(0, 30.5));
  EXPECT_EQ(scene.Colour(LonLatToDirection({0, -31})), kSceneGrey);
  EXPECT_EQ(scene.Colour(LonLatToDirection({179, 0})), kSceneGrey);
}

TEST(SampleScene, MirroredSceneReflectsAtThePhotoEdgesAndClosesTheCircle) {
  const Scene scene(RampPhoto(200, 100), 90.0, true);
  auto at = [&](double lon, double lat) { return *scene.PhotoPosition(LonLatToDirection({lon, lat})); };
  for (const double d : {3.0, 17.5, 44.0}) {
    EXPECT_NEAR(at(45 + d, 5).X, at(45 - d, 5).X, 1e-9);
    EXPECT_NEAR(at(-45 - d, 5).X, at(-45 + d, 5).X, 1e-9);
  }
  // No seam at the back: the two sides of longitude 180 meet.
  EXPECT_NEAR(at(179.99, -3).X, at(-179.99, -3).X, 0.05);
  EXPECT_NEAR(at(179.99, -3).Y, at(-179.99, -3).Y, 1e-9);
  // Above and below the patch it is still grey.
  EXPECT_FALSE(scene.PhotoPosition(LonLatToDirection({130, 40})));
}

TEST(SampleScene, RejectsSpansThatCannotHoldThePhoto) {
  EXPECT_THROW(Scene(RampPhoto(200, 100), 0.0, false), std::invalid_argument);
  EXPECT_THROW(Scene(RampPhoto(200, 100), 361.0, false), std::invalid_argument);
  // 360 degrees wide would make this photo 180.5 degrees high.
  EXPECT_THROW(Scene(RampPhoto(200, 101), 360.0, false), std::invalid_argument);
  // A mirrored span must divide 180 degrees to close the circle.
  EXPECT_THROW(Scene(RampPhoto(200, 100), 100.0, true), std::invalid_argument);
  EXPECT_NO_THROW(Scene(RampPhoto(200, 100), 60.0, true));
  EXPECT_THROW(Scene(DeviceBitmap(), 90.0, false), std::invalid_argument);
}

TEST(SampleScene, RenderedPixelsShowThePhotoInTheirTrueDirection) {
  const int w = 250, h = 150;
  const double perDegree = 2.5;
  const Scene scene(RampPhoto(w, h), w / perDegree, false);
  const SetGeometry g({{160, 120}, 50.0, -0.03}, {{10, -5, 7}, {-20, 4, -3}});
  for (int i = 0; i < 2; ++i) {
    const DeviceBitmap picture = RenderPicture(scene, g, i);
    ASSERT_EQ(picture.Width, 160);
    ASSERT_EQ(picture.Height, 120);
    for (int y = 0; y < 120; y += 7)
      for (int x = 0; x < 160; x += 9) {
        const TRealPoint p = ExpectedPosition(g.WorldDirection(i, {x + 0.5, y + 0.5}), w, h, perDegree);
        const PackedColor c = picture.Pixel(x, y);
        EXPECT_LE(std::abs(Red(c) - (p.X - 0.5)), 0.5 + 1e-6) << i << ": " << x << ", " << y;
        EXPECT_LE(std::abs(Green(c) - (p.Y - 0.5)), 0.5 + 1e-6) << i << ": " << x << ", " << y;
        EXPECT_EQ(Blue(c), 50);
      }
  }
}

TEST(SampleScene, CorrespondingPositionsShowTheSameColour) {
  // Two overlapping pictures of a smooth scene agree at true correspondences.
  const Scene scene(RampPhoto(240, 200), 120.0, false);
  const SetGeometry g({{200, 150}, 28.0, -0.02}, {{-12, 2, -1}, {14, -1, 2}});
  const DeviceBitmap a = RenderPicture(scene, g, 0), b = RenderPicture(scene, g, 1);
  int shared = 0;
  for (int y = 0; y < 150; y += 5)
    for (int x = 0; x < 200; x += 5) {
      const std::optional<TRealPoint> q = g.Correspond(0, {x + 0.5, y + 0.5}, 1);
      if (!q || q->X < 1 || q->Y < 1 || q->X > 199 || q->Y > 149) continue;
      const ColorTriple s = render::SampleCanvas({200, 150}, b, *q);
      EXPECT_LE(std::abs(Red(a.Pixel(x, y)) - s.Red), 2) << x << ", " << y;
      EXPECT_LE(std::abs(Green(a.Pixel(x, y)) - s.Green), 2) << x << ", " << y;
      ++shared;
    }
  EXPECT_GT(shared, 200);
}

TEST(SampleScene, PicturesLookingAwayFromThePatchAreGrey) {
  const Scene scene(RampPhoto(200, 100), 90.0, false);
  const SetGeometry g({{64, 48}, 50.0, 0.0}, {{140, 0, 0}});
  const DeviceBitmap picture = RenderPicture(scene, g, 0);
  for (const PackedColor c : picture.Pixels) ASSERT_EQ(c, kSceneGrey);
}

TEST(SampleScene, ReducingAPhotoAveragesBlocksAndDropsTheRemainder) {
  DeviceBitmap photo(5, 3);
  const int reds[2][4] = {{10, 20, 0, 0}, {30, 41, 0, 0}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) photo.SetPixel(x, y, (200 << 16) | (7 << 8) | (y < 2 && x < 4 ? reds[y][x] : 255));
  const DeviceBitmap r = ReducePhoto(photo, 2);
  ASSERT_EQ(r.Width, 2);
  ASSERT_EQ(r.Height, 1);
  EXPECT_EQ(Red(r.Pixel(0, 0)), 25);  // (10 + 20 + 30 + 41) / 4 = 25.25
  EXPECT_EQ(Red(r.Pixel(1, 0)), 0);
  EXPECT_EQ(Green(r.Pixel(0, 0)), 7);
  EXPECT_EQ(Blue(r.Pixel(1, 0)), 200);
  EXPECT_THROW(ReducePhoto(photo, 0), std::invalid_argument);
  EXPECT_THROW(ReducePhoto(photo, 4), std::invalid_argument);
}

}  // namespace
}  // namespace vistarium::samples
