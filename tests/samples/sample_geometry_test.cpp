#include "sample_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace vistarium::samples {
namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

double Length(Vec3 v) { return std::sqrt(v.X * v.X + v.Y * v.Y + v.Z * v.Z); }

void ExpectNear(Vec3 a, Vec3 b, double tolerance) {
  EXPECT_NEAR(a.X, b.X, tolerance);
  EXPECT_NEAR(a.Y, b.Y, tolerance);
  EXPECT_NEAR(a.Z, b.Z, tolerance);
}

// The focal length in pixels as the 35 mm rule gives it: 36 mm along the
// longer side.
double FocalPixels(const SampleCamera& c) { return c.FocalLength * std::max(c.Size.X, c.Size.Y) / 36.0; }

TEST(SampleRotation, YawTurnsTheAxisToTheRightAndPitchUp) {
  const Vec3 forward{0, 0, 1};
  ExpectNear(Apply(RotationMatrix({30, 0, 0}), forward), {std::sin(30 * kDeg), 0, std::cos(30 * kDeg)}, 1e-12);
  ExpectNear(Apply(RotationMatrix({0, 20, 0}), forward), {0, std::sin(20 * kDeg), std::cos(20 * kDeg)}, 1e-12);
  // Roll turns about the axis: the axis stays, the up vector leans right.
  ExpectNear(Apply(RotationMatrix({0, 0, 10}), forward), forward, 1e-12);
  ExpectNear(Apply(RotationMatrix({0, 0, 10}), {0, 1, 0}), {std::sin(10 * kDeg), std::cos(10 * kDeg), 0}, 1e-12);
}

TEST(SampleRotation, YawIsAppliedLastAboutTheVerticalAndPitchBeforeIt) {
  // With all three angles the optical axis points at longitude yaw and
  // latitude pitch, whatever the roll.
  const Vec3 axis = Apply(RotationMatrix({-50, 12, 33}), {0, 0, 1});
  const LonLat a = DirectionToLonLat(axis);
  EXPECT_NEAR(a.Lon, -50, 1e-10);
  EXPECT_NEAR(a.Lat, 12, 1e-10);
  // The camera's right vector stays horizontal without roll, also when pitched.
  const Vec3 right = Apply(RotationMatrix({70, 25, 0}), {1, 0, 0});
  EXPECT_NEAR(right.Y, 0.0, 1e-12);
  EXPECT_NEAR(DirectionToLonLat(right).Lon, 160, 1e-10);
}

TEST(SampleRotation, TransposeUndoesTheRotation) {
  const Matrix3 m = RotationMatrix({123, -41, 77});
  const Vec3 v{0.3, -0.5, 0.8};
  ExpectNear(ApplyTransposed(m, Apply(m, v)), v, 1e-14);
  EXPECT_NEAR(Length(Apply(m, v)), Length(v), 1e-14);
}

TEST(SampleLonLat, DirectionAndAnglesAgree) {
  EXPECT_NEAR(DirectionToLonLat({1, 0, 0}).Lon, 90, 1e-12);
  EXPECT_NEAR(DirectionToLonLat({-1, 0, -1}).Lon, -135, 1e-12);
  EXPECT_NEAR(DirectionToLonLat({0, 2, 2}).Lat, 45, 1e-12);
  const LonLat a{-147.25, 38.5};
  const LonLat b = DirectionToLonLat(LonLatToDirection(a));
  EXPECT_NEAR(b.Lon, a.Lon, 1e-12);
  EXPECT_NEAR(b.Lat, a.Lat, 1e-12);
}

TEST(SampleGeometry, WithoutAberrationAPixelLooksAlongItsPinHoleRay) {
  const SampleCamera camera{{1024, 768}, 28.0, 0.0};
  const SetGeometry g(camera, {{0, 0, 0}});
  const double f = FocalPixels(camera);
  for (const TRealPoint p : {TRealPoint{512, 384}, TRealPoint{0, 0}, TRealPoint{1024, 768}, TRealPoint{700.5, 100.5}}) {
    const Vec3 ray{p.X - 512.0, 384.0 - p.Y, f};
    const double n = Length(ray);
    ExpectNear(g.OwnDirection(p), {ray.X / n, ray.Y / n, ray.Z / n}, 1e-12);
  }
}

TEST(SampleGeometry, WithAberrationAPixelLooksAlongItsCorrectedRay) {
  // The taken radius r becomes r (1 + k (r/R)^2) on the ideal pin-hole plane,
  // R being half the longer side, before the ray is formed.
  const SampleCamera camera{{768, 1024}, 30.0, -0.04};
  const SetGeometry g(camera, {{0, 0, 0}});
  const double f = FocalPixels(camera), R = 512.0;
  for (const TRealPoint p : {TRealPoint{0, 0}, TRealPoint{700.5, 100.5}, TRealPoint{384, 900}}) {
    const double x = p.X - 384.0, y = 512.0 - p.Y;
    const double scale = 1.0 - 0.04 * (x * x + y * y) / (R * R);
    const Vec3 ray{x * scale, y * scale, f};
    const double n = Length(ray);
    ExpectNear(g.OwnDirection(p), {ray.X / n, ray.Y / n, ray.Z / n}, 1e-12);
  }
}

TEST(SampleGeometry, CentreOfAPictureLooksAlongItsOrientation) {
  const SetGeometry g({{800, 600}, 35.0, -0.03}, {{20, -7, 4}, {-100, 30, -15}});
  for (int i = 0; i < 2; ++i) {
    const Rotation r = g.PictureRotation(i);
    ExpectNear(g.WorldDirection(i, {400, 300}),
               {std::sin(r.Yaw * kDeg) * std::cos(r.Pitch * kDeg), std::sin(r.Pitch * kDeg),
                std::cos(r.Yaw * kDeg) * std::cos(r.Pitch * kDeg)},
               1e-12);
  }
}

TEST(SampleGeometry, PositiveRollMakesTheRightSideLookBelowTheHorizon) {
  const SampleCamera camera{{1024, 768}, 28.0, 0.0};
  const SetGeometry g(camera, {{0, 0, 10}});
  const double x = 300.0, f = FocalPixels(camera);
  const LonLat a = DirectionToLonLat(g.WorldDirection(0, {512 + x, 384}));
  EXPECT_NEAR(a.Lat, -std::asin(std::sin(10 * kDeg) * x / std::hypot(x, f)) / kDeg, 1e-10);
}

TEST(SampleGeometry, OwnPositionExactlyInvertsOwnDirectionWithAberration) {
  // The program's restoring step is only a first-order inverse; the truth
  // must be exact also in the corners, where that inverse is off by pixels.
  for (const double k : {0.0, -0.02, -0.05, 0.04}) {
    const SetGeometry g({{1024, 768}, 24.0, k}, {});
    for (double y = 0; y <= 768; y += 96)
      for (double x = 0; x <= 1024; x += 128) {
        if (x == 512 && y == 384) continue;
        const std::optional<TRealPoint> back = g.OwnPosition(g.OwnDirection({x, y}));
        ASSERT_TRUE(back) << "k " << k << " at " << x << ", " << y;
        EXPECT_NEAR(back->X, x, 1e-8) << "k " << k;
        EXPECT_NEAR(back->Y, y, 1e-8) << "k " << k;
      }
  }
}

TEST(SampleGeometry, AberrationMovesThePicturePositionOfADirection) {
  // The same corner direction appears at different positions with and
  // without aberration: the truth must not ignore k.
  const SetGeometry plain({{1024, 768}, 24.0, 0.0}, {});
  const SetGeometry bent({{1024, 768}, 24.0, -0.05}, {});
  const Vec3 corner = plain.OwnDirection({10, 10});
  const std::optional<TRealPoint> p = bent.OwnPosition(corner);
  ASSERT_TRUE(p);
  EXPECT_GT(std::hypot(p->X - 10, p->Y - 10), 5.0);
}

TEST(SampleGeometry, DirectionsBehindTheCameraHaveNoPosition) {
  const SetGeometry g({{640, 480}, 28.0, 0.0}, {});
  EXPECT_FALSE(g.OwnPosition({0, 0, -1}));
  EXPECT_FALSE(g.OwnPosition({1, 0, 0}));
  EXPECT_TRUE(g.OwnPosition({0.1, 0.1, 1}));
}

TEST(SampleGeometry, StrongBarrelAberrationHasNoPositionBeyondItsReach) {
  // r' = r (1 + k r^2) with k = -0.2 never exceeds about 0.86 R, so a ray
  // further out than that has no picture position.
  const SampleCamera camera{{1000, 1000}, 28.0, -0.2};
  const SetGeometry g(camera, {});
  const double f = FocalPixels(camera);
  EXPECT_FALSE(g.OwnPosition({0.9 * 500 / f, 0, 1}));
  EXPECT_TRUE(g.OwnPosition({0.8 * 500 / f, 0, 1}));
}

class CorrespondenceTest : public ::testing::Test {
protected:
  SetGeometry g_{{{1024, 768}, 28.0, -0.02}, {{-40, 1.5, -1}, {0, -0.5, 2}, {38, 0.8, 0.3}, {180, 0, 0}}};
};

TEST_F(CorrespondenceTest, MappingThereAndBackReturnsTheStart) {
  int checked = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (double y = 0.5; y < 768; y += 37)
        for (double x = 0.5; x < 1024; x += 41) {
          const std::optional<TRealPoint> q = g_.Correspond(i, {x, y}, j);
          if (!q) continue;
          const std::optional<TRealPoint> back = g_.Correspond(j, *q, i);
          ASSERT_TRUE(back);
          EXPECT_NEAR(back->X, x, 1e-6);
          EXPECT_NEAR(back->Y, y, 1e-6);
          if (i == j) {
            EXPECT_NEAR(q->X, x, 1e-9);
            EXPECT_NEAR(q->Y, y, 1e-9);
          }
          ++checked;
        }
  // Some points of every pair i != j are shared, so the loop tested them.
  EXPECT_GT(checked, 3 * 500);
}

TEST_F(CorrespondenceTest, OppositePicturesShareNothing) {
  for (double y = 0.5; y < 768; y += 50)
    for (double x = 0.5; x < 1024; x += 50) EXPECT_FALSE(g_.Correspond(1, {x, y}, 3));
}

TEST_F(CorrespondenceTest, PointsBeyondTheNeighbourAreOutside) {
  // The left edge of the leftmost picture is 40 degrees away from the
  // middle picture's field, whose half-width is under 33 degrees.
  EXPECT_FALSE(g_.Correspond(0, {0.5, 384}, 1));
  EXPECT_TRUE(g_.Correspond(0, {1023.5, 384}, 1));
}

TEST(SampleGeometry, LevelPicturesTurnedByYawShiftAlongTheCentreRow) {
  const SampleCamera camera{{1024, 768}, 28.0, 0.0};
  const SetGeometry g(camera, {{-10, 0, 0}, {15, 0, 0}});
  const std::optional<TRealPoint> q = g.Correspond(0, {512, 384}, 1);
  ASSERT_TRUE(q);
  EXPECT_NEAR(q->X, 512 + FocalPixels(camera) * std::tan(-25 * kDeg), 1e-9);
  EXPECT_NEAR(q->Y, 384, 1e-9);
}

TEST(SampleGeometry, CentreRowOverlapOfLevelPicturesFollowsThePinHoleModel) {
  const SampleCamera camera{{1024, 768}, 28.0, 0.0};
  const double step = 40.0;
  const SetGeometry g(camera, {{0, 0, 0}, {step, 0, 0}});
  const double f = FocalPixels(camera), edge = std::atan(512 / f);
  // Picture 0 shares the part of its row from the longitude at which
  // picture 1's left edge lies, to its own right edge.
  const double shared = (512 - f * std::tan(step * kDeg - edge)) / 1024;
  EXPECT_NEAR(g.CentreRowOverlap(0, 1), shared, 1.0 / 1024);
  EXPECT_DOUBLE_EQ(g.RightEdgeVisible(0, 1), 1.0);
  // The left picture's right edge is not visible in a picture to its left.
  EXPECT_DOUBLE_EQ(g.RightEdgeVisible(1, 0), 0.0);
}

TEST(SampleGeometry, RightEdgeIsPartlyHiddenWhenTheNeighbourIsTiltedAway) {
  // A neighbour pitched up by much more than its half-height misses the
  // lower part of the edge column.
  const SetGeometry g({{1024, 768}, 28.0, 0.0}, {{0, 0, 0}, {30, 20, 0}});
  const double visible = g.RightEdgeVisible(0, 1);
  EXPECT_GT(visible, 0.1);
  EXPECT_LT(visible, 0.9);
}

TEST(SampleGeometry, RejectsBadCamerasAndIndices) {
  EXPECT_THROW(SetGeometry({{0, 768}, 28.0, 0.0}, {}), std::invalid_argument);
  EXPECT_THROW(SetGeometry({{1024, 768}, 0.0, 0.0}, {}), std::invalid_argument);
  EXPECT_THROW(SetGeometry({{1024, 768}, 28.0, 0.0}, {{NAN, 0, 0}}), std::invalid_argument);
  const SetGeometry g({{1024, 768}, 28.0, 0.0}, {{0, 0, 0}});
  EXPECT_THROW((void)g.WorldDirection(1, {0, 0}), std::out_of_range);
  EXPECT_THROW((void)g.Correspond(0, {0, 0}, -1), std::out_of_range);
}

}  // namespace
}  // namespace vistarium::samples
