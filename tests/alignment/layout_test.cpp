#include "alignment/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "alignment/bundle_coord.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"

namespace vistarium::alignment {
namespace {

// Pictures whose orientations are turns `step` own-longitude pixels apart
// (and `rise` latitude pixels up), connected through exact points, taken
// with a lens of that aberration.
RunState Turns(int count, double step, bool is360, double rise = 0, double aberration = 0.0) {
  RunState rs;
  geom::SetCameraProjection(rs.Projection, {800, 600}, 24.0, aberration);
  rs.Projection.ExactAberrationInverse = true;  // as after a calibration
  rs.Projection.Extent = {geom::PictureToAngles(rs.Projection, {800, 300}).X,
                          geom::PictureToAngles(rs.Projection, {400, 0}).Y};
  rs.PictureSet.Count = count;
  rs.PictureSet.Is360 = is360;
  rs.Geometry.resize(static_cast<std::size_t>(count));
  for (PictureGeometry& g : rs.Geometry) g.LeftConnection.Linked = g.RightConnection.Linked = true;
  if (!is360) rs.Geometry.front().LeftConnection.Linked = rs.Geometry.back().RightConnection.Linked = false;
  const double e = rs.Projection.Extent.X;
  const std::array<TRealPoint, 3> own{{{0.7 * e, 150}, {0.7 * e, -150}, {0.8 * e, 10}}};
  for (int i = 0; i < count && (is360 || i + 1 < count); ++i) {
    const int j = (i + 1) % count;
    for (int k = 0; k < 3; ++k) {
      rs.Geometry[static_cast<std::size_t>(i)].RightConnection.AnglePoints[static_cast<std::size_t>(k)] = own[k];
      rs.Geometry[static_cast<std::size_t>(j)].LeftConnection.AnglePoints[static_cast<std::size_t>(k)] = {
          own[k].X - step, own[k].Y - rise};
    }
  }
  OrientPictures(rs);
  rs.Horizon = FindHorizon(rs);
  LevelPanorama(rs, rs.Horizon);
  if (is360) CreateClosureSystems(rs);
  MeasurePictureSpans(rs);
  MeasureCommonBand(rs);
  return rs;
}

bool InsidePicture(const RunState& rs, TRealPoint p) {
  return p.X >= 0 && p.Y >= 0 && p.X < rs.Projection.PictureSize.X && p.Y < rs.Projection.PictureSize.Y;
}

TEST(PlainLayout, TheCornersOfThePanoramaLieInsideTheOuterPictures) {
  RunState rs = Turns(3, 500, false);
  PlainExtent(rs);
  AllocatePanorama(rs);
  const int w = rs.Panorama.Width, h = rs.Panorama.Height;
  ASSERT_GT(w, 0);
  ASSERT_GT(h, 0);
  for (int v : {0, h - 1}) {
    EXPECT_TRUE(InsidePicture(rs, OutputToPicturePlain(rs, 0, {0, double(v)}))) << "row " << v;
    EXPECT_TRUE(InsidePicture(rs, OutputToPicturePlain(rs, 2, {double(w - 1), double(v)}))) << "row " << v;
  }
  // One pixel further out is no longer inside on at least one of the rows.
  const TRealPoint outside = OutputToPicturePlain(rs, 0, {-2, 0});
  const TRealPoint outside2 = OutputToPicturePlain(rs, 0, {-2, double(h - 1)});
  EXPECT_FALSE(InsidePicture(rs, outside) && InsidePicture(rs, outside2));
  // Every pixel starts black.
  EXPECT_TRUE(std::all_of(rs.Panorama.Pixels.begin(), rs.Panorama.Pixels.end(), [](std::uint32_t p) { return p == 0; }));
}

// A lens that bends bows the pictures' borders between their corners: no
// row of the panorama's first or last column lies outside the outer pictures.
TEST(PlainLayout, ALensThatBendsLeavesNoEmptyPixelsAtEitherEnd) {
  RunState rs = Turns(3, 500, false, 0, 0.1);
  PlainExtent(rs);
  AllocatePanorama(rs);
  const int w = rs.Panorama.Width, h = rs.Panorama.Height;
  ASSERT_GT(w, 0);
  for (int v = 0; v < h; ++v) {
    EXPECT_TRUE(InsidePicture(rs, OutputToPicturePlain(rs, 0, {0, double(v)}))) << "row " << v;
    EXPECT_TRUE(InsidePicture(rs, OutputToPicturePlain(rs, 2, {double(w - 1), double(v)}))) << "row " << v;
  }
}

TEST(PlainLayout, SpansBecomeClampedColumns) {
  RunState rs = Turns(3, 500, false);
  PlainExtent(rs);
  AllocatePanorama(rs);
  const double left0 = rs.Layout.SpanLeft[0], right1 = rs.Layout.SpanRight[1];
  ClampSpans(rs);
  EXPECT_EQ(rs.Layout.SpanLeft[0], 0.0);  // picture 0 starts left of the panorama
  EXPECT_EQ(rs.Layout.SpanRight[2], rs.Panorama.Width - 1.0);
  EXPECT_DOUBLE_EQ(rs.Layout.SpanRight[1], right1 - rs.Layout.Left);
  EXPECT_LT(left0, rs.Layout.Left);
}

TEST(PlainLayout, PicturesThatDoNotOverlapGiveAClearError) {
  // The second picture lies wholly above the first: no row is common to both.
  RunState rs = Turns(2, 300, false, 700);
  PlainExtent(rs);
  try {
    AllocatePanorama(rs);
    FAIL() << "no error for an empty layout";
  } catch (const LayoutError& e) {
    EXPECT_NE(std::string(e.what()).find("do not overlap enough"), std::string::npos);
  }
}

TEST(PlainLayout, AbsurdlyLargeLayoutsAreRefusedBeforeAllocating) {
  RunState rs = Turns(3, 500, false);
  PlainExtent(rs);
  rs.Layout.Right = rs.Layout.Left + 2'000'000;  // as connections far off the truth could make it
  rs.Layout.Top = rs.Layout.Bottom + 1'000;
  EXPECT_THROW(AllocatePanorama(rs), LayoutError);
  EXPECT_TRUE(rs.Panorama.Pixels.empty());
}

TEST(CircleLayout, OneTurnWideAndEveryColumnOfAPictureFindsIt) {
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, {800, 600}, 24.0, 0.0);
  RunState rs = Turns(8, pp.FullCircle / 8, true);
  CircleExtent(rs);
  AllocatePanorama(rs);
  WrapSpans(rs);
  EXPECT_EQ(rs.Panorama.Width, Round(rs.Projection.FullCircle));
  // A column far from picture 3's span gives the marker.
  const double mid = (rs.Layout.SpanLeft[3] + rs.Layout.SpanRight[3]) / 2;
  const double away = geom::WrapToCircle(rs.Projection, mid + rs.Projection.FullCircle / 2);
  EXPECT_EQ(OutputToPictureCircle(rs, 3, {std::floor(away), 10}), (TRealPoint{-10, -10}));
  // Picture 0 straddles the seam: columns just left and right of it both map inside.
  const TRealPoint a = OutputToPictureCircle(rs, 0, {double(rs.Panorama.Width - 1), 10});
  const TRealPoint b = OutputToPictureCircle(rs, 0, {0, 10});
  ASSERT_TRUE(InsidePicture(rs, a));
  ASSERT_TRUE(InsidePicture(rs, b));
  EXPECT_NEAR(b.X - a.X, 1.0, 0.2);  // neighbours on the circle, about one pixel apart in the picture
}

}  // namespace
}  // namespace vistarium::alignment
