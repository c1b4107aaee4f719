#include "render/working_picture.h"

#include <gtest/gtest.h>

#include "../support/textures.h"
#include "render/sampling.h"

namespace vistarium::render {
namespace {

TEST(SmoothWorkingPicture, RadiusZeroCopiesAndRadiusOneAveragesClippedWindows) {
  const TColMatrix src = testing::TextureMatrix(7, 5, 3);
  TColMatrix out;
  SmoothWorkingPicture(src, 0, out);
  EXPECT_EQ(out.Values, src.Values);

  TColMatrix corner(4, 3);
  corner.At(1, 0, 1) = 255;
  corner.At(0, 1, 1) = 255;
  corner.At(1, 1, 1) = 255;
  SmoothWorkingPicture(corner, 1, out);
  EXPECT_EQ(out.At(0, 0, 1), 191);  // 765 / 4 = 191.25
  EXPECT_EQ(out.At(0, 0, 0), 0);
  // Edge cell (2, 0): window of 3 x 2 holding 255 at (1,0) and (1,1): 510 / 6 = 85.
  EXPECT_EQ(out.At(2, 0, 1), 85);
  // Inner cell (1, 1): 9 cells, three of them 255: 85.
  EXPECT_EQ(out.At(1, 1, 1), 85);
  // Halves go to the even neighbour: 2 x 255 + 1 over 4 cells = 127.75 -> 128;
  // a 2 x 2 corner holding 1, 0, 0, 0 gives 0.25 -> 0, holding 2, 0, 0, 0 gives 0.5 -> 0.
  TColMatrix tiny(2, 2);
  tiny.At(0, 0, 0) = 2;
  SmoothWorkingPicture(tiny, 1, out);
  EXPECT_EQ(out.At(1, 1, 0), 0);
  tiny.At(0, 0, 0) = 6;  // 6 / 4 = 1.5 -> 2
  SmoothWorkingPicture(tiny, 1, out);
  EXPECT_EQ(out.At(1, 1, 0), 2);
}

TEST(SmoothWorkingPicture, OneCellPicture) {
  TColMatrix one(1, 1);
  one.At(0, 0, 2) = 77;
  TColMatrix out;
  SmoothWorkingPicture(one, 1, out);
  EXPECT_EQ(out.At(0, 0, 2), 77);
}

TEST(SampleLine, EndPointsAndHalfEvenColumns) {
  TColMatrix m(11, 6);
  for (int c = 0; c < 11; ++c)
    for (int r = 0; r < 6; ++r) {
      m.At(c, r, 0) = static_cast<std::uint16_t>(c);
      m.At(c, r, 1) = static_cast<std::uint16_t>(r);
    }
  const TColVector v = SampleLine(m, 3, {0, 0}, {10, 5});
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].Blue, 0);
  EXPECT_EQ(v[0].Green, 0);
  EXPECT_EQ(v[1].Blue, 5);
  EXPECT_EQ(v[1].Green, 2);  // 2.5 rounds to 2
  EXPECT_EQ(v[2].Blue, 10);
  EXPECT_EQ(v[2].Green, 5);
  const TColVector same = SampleLine(m, 4, {3, 4}, {3, 4});
  for (const ColorTriple& t : same) EXPECT_EQ(t, (ColorTriple{3, 4, 0}));
  EXPECT_THROW(SampleLine(m, 3, {0, 0}, {11, 5}), std::out_of_range);
  EXPECT_THROW(SampleLine(m, 1, {0, 0}, {1, 1}), std::invalid_argument);
}

TEST(BuildWorkingPicture, CentreCellIsThePictureCentreAndGridMatchesTheProjection) {
  DeviceBitmap pic(64, 48);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) pic.SetPixel(x, y, (x * 4) | ((y * 5) << 8) | (((x + y) * 2) << 16));
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, {64, 48}, 30.0, 0.0);
  pp.WorkingHalfSize = {10, 8};
  pp.WorkingScaled = true;
  pp.WorkingScale = 2.0;
  TColMatrix w;
  BuildWorkingPicture(pp, pic, w);
  ASSERT_EQ(w.Columns, 21);
  ASSERT_EQ(w.Rows, 17);
  const ColorTriple centre = SampleCanvas({64, 48}, pic, {32, 24});
  EXPECT_EQ(w.At(10, 8, 0), centre.Blue);
  EXPECT_EQ(w.At(10, 8, 1), centre.Green);
  EXPECT_EQ(w.At(10, 8, 2), centre.Red);
  // Cell (15, 3) stands for working (5, 5), own angles (10, 10).
  const TRealPoint pos = geom::AnglesToPicture(pp, {10, 10});
  const ColorTriple t = SampleCanvas({64, 48}, pic, pos);
  EXPECT_EQ(w.At(15, 3, 2), t.Red);
  EXPECT_GT(pos.X, 32);  // right of the centre
  EXPECT_LT(pos.Y, 24);  // above it
}

}  // namespace
}  // namespace vistarium::render
