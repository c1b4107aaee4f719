// Correcting a connection by hand: which corner a press takes, when a
// release moves it, which triangles Save refuses, the inverted drawing and
// what Save writes into the run.
#include "app/adjustment.h"

#include <gtest/gtest.h>

#include "geom/projection.h"

namespace vistarium::app {
namespace {

TEST(Adjustment, PressTakesTheLastNearVertexAndReleaseMovesItOnlyInsideThePressedPicture) {
  ConnectionAdjustment a;
  a.LeftIndex = 2;
  a.RightIndex = 3;
  a.LeftTriangle = {{{100, 100}, {106, 100}, {300, 300}}};
  a.RightTriangle = {{{50, 50}, {50, 150}, {120, 100}}};

  EXPECT_EQ(NearestVertex(a.LeftTriangle, {103, 100}), 2);  // near 1 and 2: the later wins
  EXPECT_EQ(NearestVertex(a.LeftTriangle, {95, 104}), 1);   // |dx| + |dy| = 9
  EXPECT_EQ(NearestVertex(a.LeftTriangle, {95, 105}), 0);   // = 10 is not near
  EXPECT_EQ(NearestVertex(a.LeftTriangle, {300, 309}), 3);

  // A press far from every corner starts nothing, but remembers the image.
  EXPECT_FALSE(PressCorner(a, 2, {200, 100}));
  EXPECT_FALSE(a.Dragging);
  EXPECT_EQ(a.DragVertex, 0);
  EXPECT_EQ(a.DragImageTag, 2);

  // The right picture's press is tested against the right triangle only.
  ASSERT_TRUE(PressCorner(a, 3, {118, 101}));
  EXPECT_TRUE(a.DragRight);
  EXPECT_EQ(a.DragVertex, 3);
  EXPECT_EQ(a.PressPoint, (TPoint{118, 101}));

  const TTriangle left = a.LeftTriangle, right = a.RightTriangle;
  const TPoint size{640, 480};
  // Released on the other picture, outside the pressed one, or off both: no change, drag over.
  const std::pair<int, TPoint> releases[] = {{2, {10, 10}}, {3, {640, 10}}, {3, {10, 480}}, {3, {-1, 10}}, {-1, {5, 5}}};
  for (const auto& [tag, at] : releases) {
    ASSERT_TRUE(PressCorner(a, 3, {120, 100}));
    EXPECT_FALSE(ReleaseCorner(a, tag, at, size).has_value()) << tag << " " << at.X << "," << at.Y;
    EXPECT_FALSE(a.Dragging);
    EXPECT_EQ(a.DragImageTag, -1);
    EXPECT_EQ(a.DragVertex, 0);
    EXPECT_EQ(a.LeftTriangle, left);
    EXPECT_EQ(a.RightTriangle, right);
  }

  // On the pressed picture, to its last pixel: the corner jumps there.
  ASSERT_TRUE(PressCorner(a, 3, {120, 100}));
  const std::optional<CornerMove> move = ReleaseCorner(a, 3, {639, 479}, size);
  ASSERT_TRUE(move.has_value());
  EXPECT_TRUE(move->Right);
  EXPECT_EQ(move->Before, right);
  EXPECT_EQ(a.RightTriangle, (TTriangle{{{50, 50}, {50, 150}, {639, 479}}}));
  EXPECT_EQ(a.ReleasePoint, (TPoint{639, 479}));
  EXPECT_EQ(a.LeftTriangle, left);

  // A release without a drag does nothing.
  EXPECT_FALSE(ReleaseCorner(a, 3, {10, 10}, size).has_value());
}

TEST(Adjustment, SaveRefusesSmallThenNarrowTrianglesLeftFirst) {
  const TTriangle exact{{{0, 0}, {75, 0}, {75, 100}}};  // edges 75, 100, 125: perimeter 300
  EXPECT_EQ(CheckTriangle(exact, 1000), TriangleProblem::None);  // 0.3 x 1000 = 300 exactly
  EXPECT_EQ(CheckTriangle(exact, 1001), TriangleProblem::Small);
  const TTriangle collinear{{{0, 0}, {200, 100}, {400, 200}}};
  EXPECT_EQ(CheckTriangle(collinear, 100), TriangleProblem::Narrow);
  // Two shorter edges longer than the longest by just over 0.6 %: accepted; just under: narrow.
  EXPECT_EQ(CheckTriangle({{{0, 0}, {500, 55}, {1000, 0}}}, 100), TriangleProblem::None);
  EXPECT_EQ(CheckTriangle({{{0, 0}, {500, 54}, {1000, 0}}}, 100), TriangleProblem::Narrow);

  ConnectionAdjustment a;
  a.LeftTriangle = collinear;
  a.RightTriangle = {{{0, 0}, {10, 0}, {0, 10}}};
  EXPECT_EQ(SaveRefusal(a, 4000), kLeftTriangleSmall);  // the left one's first failure only
  EXPECT_EQ(SaveRefusal(a, 100), kLeftTriangleNarrow);
  a.LeftTriangle = exact;
  EXPECT_EQ(SaveRefusal(a, 1000), kRightTriangleSmall);
  a.RightTriangle = collinear;
  EXPECT_EQ(SaveRefusal(a, 1000), kRightTriangleNarrow);
  a.RightTriangle = exact;
  EXPECT_EQ(SaveRefusal(a, 1000), "");
  EXPECT_EQ(kLeftTriangleSmall,
            "The triangle on the left picture is very small.\nPlease increase it or cancel manual adjustment.");
}

TEST(Adjustment, DrawingInvertsVerticesAndRoundedEdgesAndDrawingAgainRestores) {
  // Edge (0,0) -> (4,1): rows 0.25, 0.5 and 0.75 round to 0, 0 (half to even) and 1.
  EXPECT_EQ(EdgeInnerPixels({0, 0}, {4, 1}), (std::vector<TPoint>{{1, 0}, {2, 0}, {3, 1}}));
  EXPECT_EQ(EdgeInnerPixels({4, 1}, {0, 0}), (std::vector<TPoint>{{3, 1}, {2, 0}, {1, 0}}));
  EXPECT_EQ(EdgeInnerPixels({0, 0}, {1, 3}), (std::vector<TPoint>{{0, 1}, {1, 2}}));  // steep: along Y
  EXPECT_TRUE(EdgeInnerPixels({5, 5}, {6, 4}).empty());
  EXPECT_EQ(TrianglePixels({{{0, 0}, {4, 1}, {0, 2}}}).size(), 3u + 3u + 3u + 1u);

  DeviceBitmap picture(8, 4);
  for (std::size_t i = 0; i < picture.Pixels.size(); ++i)
    picture.Pixels[i] = static_cast<PackedColor>(0x00102030u + static_cast<std::uint32_t>(i) * 0x00050301u);
  const DeviceBitmap original = picture;
  const TTriangle t{{{0, 0}, {4, 1}, {0, 3}}};
  DrawTriangle(picture, t);
  EXPECT_EQ(picture.Pixel(0, 0), original.Pixel(0, 0) ^ 0x00808080);
  EXPECT_EQ(picture.Pixel(2, 0), original.Pixel(2, 0) ^ 0x00808080);
  EXPECT_EQ(picture.Pixel(2, 1), original.Pixel(2, 1));  // (2, 0.5) rounds down
  EXPECT_EQ(picture.Pixel(7, 3), original.Pixel(7, 3));
  DrawTriangle(picture, t);
  EXPECT_EQ(picture.Pixels, original.Pixels);

  // Display pixels keep their alpha; pixels off the picture are left out.
  Bitmap32 display;
  display.SetSize(3, 3);
  for (auto& p : display.Pixels) p = 0xFF00FF7Fu;
  DrawTriangle(display, {{{2, 0}, {-4, 0}, {2, 2}}});
  EXPECT_EQ(display.Pixel(0, 0), 0xFF807FFFu);
  EXPECT_EQ(display.Pixel(0, 1), 0xFF807FFFu);  // (-4, 0) -> (2, 2) at x = 0: y = 4/3
  EXPECT_EQ(display.Pixel(1, 1), 0xFF00FF7Fu);
  EXPECT_EQ(display.Pixel(0, 2), 0xFF00FF7Fu);
}

TEST(Adjustment, TheFirstViewShowsAsManyCornersAsItCan) {
  const TPoint picture{4000, 3000};
  // Fits: centred on the triangle.
  EXPECT_EQ(ViewOriginFor({{{1000, 1000}, {1000, 1200}, {1200, 1100}}}, {400, 300}, picture), (TPoint{900, 950}));
  // Too tall for the view: the edge whose two corners fit (1 -> 3).
  EXPECT_EQ(ViewOriginFor({{{1000, 200}, {1000, 2800}, {1300, 300}}}, {400, 300}, picture), (TPoint{950, 100}));
  // Only one corner fits at a time: the first one, and never outside the picture.
  EXPECT_EQ(ViewOriginFor({{{10, 10}, {10, 2900}, {3900, 1500}}}, {400, 300}, picture), (TPoint{0, 0}));
}

RunState ManualRun() {
  RunState rs;
  geom::SetCameraProjection(rs.Projection, {1200, 900}, 28.0, 0.0);
  rs.Projection.WorkingScale = 3.0;
  rs.Projection.WorkingScaled = true;
  rs.PictureSet.Count = 2;
  rs.Geometry.resize(2);
  TConnectionSide& l = rs.Geometry[0].RightConnection;
  TConnectionSide& r = rs.Geometry[1].LeftConnection;
  l.Linked = r.Linked = true;
  l.ImagePoints = {{{900.4, 100.5}, {899.6, 799.5}, {1100.2, 450.0}}};
  r.ImagePoints = {{{200.5, 101.5}, {201.49, 798.51}, {400.0, 449.7}}};
  return rs;
}

TEST(Adjustment, SaveWritesTheRoundedCornersInAllThreeForms) {
  RunState rs = ManualRun();
  ConnectionAdjustment a = OpenAdjustment(rs, 0, 1);
  EXPECT_EQ(a.LeftIndex, 0);
  EXPECT_EQ(a.RightIndex, 1);
  EXPECT_FALSE(a.Dragging);
  EXPECT_EQ(a.DragImageTag, -1);
  EXPECT_EQ(a.LeftTriangle, (TTriangle{{{900, 100}, {900, 800}, {1100, 450}}}));  // halves to even
  EXPECT_EQ(a.RightTriangle, (TTriangle{{{200, 102}, {201, 799}, {400, 450}}}));
  EXPECT_THROW(OpenAdjustment(rs, 1, 2), std::out_of_range);

  ASSERT_EQ(SaveRefusal(a, 900), "");
  a.RightTriangle[2] = {410, 460};
  StoreAdjustment(rs, a);
  const TProjectionParameters& pp = rs.Projection;
  for (const auto& [side, t] : {std::pair{&rs.Geometry[0].RightConnection, a.LeftTriangle},
                                std::pair{&rs.Geometry[1].LeftConnection, a.RightTriangle}}) {
    EXPECT_TRUE(side->Linked);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(side->ImagePoints[k], (TRealPoint{static_cast<double>(t[k].X), static_cast<double>(t[k].Y)}));
      EXPECT_EQ(side->AnglePoints[k], geom::PictureToAngles(pp, side->ImagePoints[k]));
      EXPECT_EQ(side->WorkingPoints[k], geom::ToWorkingScale(pp, side->AnglePoints[k]));
      // The forms agree the other way round too, as the matching would have stored them.
      const TRealPoint back = geom::AnglesToPicture(pp, geom::ToFullScale(pp, side->WorkingPoints[k]));
      EXPECT_NEAR(back.X, t[k].X, 1e-6);
      EXPECT_NEAR(back.Y, t[k].Y, 1e-6);
    }
  }
  EXPECT_NE(rs.Geometry[0].RightConnection.WorkingPoints[0], rs.Geometry[0].RightConnection.AnglePoints[0]);
  // Opening again shows what was saved.
  EXPECT_EQ(OpenAdjustment(rs, 0, 1).RightTriangle, a.RightTriangle);
}

}  // namespace
}  // namespace vistarium::app
