#include "geom/projection.h"
#include "geom/rays.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace vistarium::geom {
namespace {

TProjectionParameters Camera(int w, int h, double focal, double k) {
  TProjectionParameters pp;
  SetCameraProjection(pp, {w, h}, focal, k);
  return pp;
}

TEST(Projection, CircleAndFocalValues) {
  const auto pp = Camera(1024, 768, 28.0, 0.0);
  const double alpha = std::atan(18.0 / 28.0);
  EXPECT_EQ(pp.CircleLength, static_cast<int>(std::nearbyint(512.0 / alpha * 2 * std::numbers::pi)));
  EXPECT_DOUBLE_EQ(pp.HalfSize, 512.0);
  EXPECT_DOUBLE_EQ(pp.FocalPixels, 28.0 * 512.0 / 18.0);
  EXPECT_NEAR(pp.FullCircle, pp.CircleLength, 1e-9);
  EXPECT_EQ(pp.FullCircleInt, pp.CircleLength);
  EXPECT_NEAR(pp.QuarterCircle * 4, pp.CircleLength, 1e-9);
  EXPECT_NEAR(pp.PixelsPerRadian, pp.CircleLength / (2 * std::numbers::pi), 1e-9);
  EXPECT_FALSE(pp.AberrationOn);
  // A portrait picture uses its longer side, with the same 36 mm film width.
  const auto portrait = Camera(768, 1024, 28.0, 0.1);
  EXPECT_DOUBLE_EQ(portrait.HalfSize, 512.0);
  EXPECT_EQ(portrait.CircleLength, pp.CircleLength);
  EXPECT_TRUE(portrait.AberrationOn);
}

TEST(Projection, RefusesSizesAndFocalLengthsThatDefineNothing) {
  TProjectionParameters pp;
  EXPECT_THROW(SetCameraProjection(pp, {0, 768}, 28, 0), std::invalid_argument);
  EXPECT_THROW(SetCameraProjection(pp, {1024, 768}, 0, 0), std::invalid_argument);
  EXPECT_THROW(SetCameraProjection(pp, {1024, 768}, -5, 0), std::invalid_argument);
  EXPECT_THROW(SetCameraProjection(pp, {1024, 768}, std::nan(""), 0), std::invalid_argument);
}

TEST(Projection, CentreAndEdgeOfThePicture) {
  const auto pp = Camera(1024, 768, 35.0, 0.0);
  const TRealPoint c = PictureToAngles(pp, {512, 384});
  EXPECT_DOUBLE_EQ(c.X, 0.0);
  EXPECT_DOUBLE_EQ(c.Y, 0.0);
  const TRealPoint e = PictureToAngles(pp, {1024, 384});
  EXPECT_NEAR(e.X, std::atan(18.0 / 35.0) / pp.AngleStep, 1e-9);
  // R panorama pixels of longitude at the edge of the longer side.
  EXPECT_NEAR(e.X, pp.HalfSize, 0.5);
  EXPECT_DOUBLE_EQ(e.Y, 0.0);
}

TEST(Projection, PictureAnglesPictureRoundTripForEveryPixel) {
  const auto pp = Camera(160, 120, 24.0, 0.0);
  double worst = 0.0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 160; ++x) {
      const TRealPoint back = AnglesToPicture(pp, PictureToAngles(pp, {x + 0.5, y + 0.5}));
      worst = std::max({worst, std::fabs(back.X - (x + 0.5)), std::fabs(back.Y - (y + 0.5))});
    }
  EXPECT_LT(worst, 1e-9);
}

TEST(Projection, RoundTripWithAberrationIsApproximate) {
  const auto pp = Camera(160, 120, 24.0, -0.02);
  double worst = 0.0;
  for (int y = 0; y <= 120; y += 4)
    for (int x = 0; x <= 160; x += 4) {
      const TRealPoint back = AnglesToPicture(pp, PictureToAngles(pp, {double(x), double(y)}));
      worst = std::max({worst, std::fabs(back.X - x), std::fabs(back.Y - y)});
    }
  // First-order inverse: the error is about 3 k^2 s^2 r, largest at the corners
  // (s = 1.5625, r = 100 pixels), so it stays under 0.35 pixels here.
  EXPECT_GT(worst, 1e-6);
  EXPECT_LT(worst, 0.35);
}

TEST(Projection, AberrationStepsNearTheAxisAndWhenOff) {
  const auto on = Camera(1000, 800, 50.0, 0.05);
  EXPECT_EQ(CorrectAberration(on, {0, 0}), (TRealPoint{0, 0}));
  EXPECT_EQ(CorrectAberration(on, {0.04, 0.03}), (TRealPoint{0, 0}));  // s = 1e-8 of R^2 = 250000
  const TRealPoint p = CorrectAberration(on, {250, 0});                  // u = 0.5, s = 0.25
  EXPECT_NEAR(p.X, 250 * (1 + 0.05 * 0.25), 1e-12);
  const TRealPoint r = RestoreAberration(on, {250, 0});
  EXPECT_NEAR(r.X, 250 * (1 - 0.05 * 0.25), 1e-12);
  const auto off = Camera(1000, 800, 50.0, 0.0);
  EXPECT_EQ(CorrectAberration(off, {0.01, 0.01}), (TRealPoint{0.01, 0.01}));
}

// The exact inverse of the aberration, as calibrated runs measure with it:
// over every pixel of pictures of both orientations and for bendings
// within and beyond what the quick solution covers, it agrees with the
// step-by-step solution within 1e-9 pixels and undoes CorrectAberration.
TEST(Projection, QuickExactAberrationInverseAgreesWithTheStepByStepOne) {
  for (const TPoint size : {TPoint{764, 1148}, TPoint{1333, 750}}) {
    for (const double k : {-0.15, -0.08, -0.05, -0.004, 0.003, 0.04, 0.1, 0.25}) {
      auto pp = Camera(size.X, size.Y, 27.0, k);
      pp.ExactAberrationInverse = true;
      double apart = 0.0, roundTrip = 0.0, moved = 0.0;
      for (int y = 0; y <= size.Y; y += 3)
        for (int x = 0; x <= size.X; x += 3) {
          // Ideal positions as far out as the picture's corners reach.
          const TRealPoint ideal = CorrectAberration(pp, CentreCoordinates(pp, {x + 0.25, y + 0.75}));
          const TRealPoint quick = RestoreAberration(pp, ideal);
          const TRealPoint plain = RestoreAberrationByNewton(pp, ideal);
          apart = std::max({apart, std::fabs(quick.X - plain.X), std::fabs(quick.Y - plain.Y)});
          const TRealPoint back = CorrectAberration(pp, quick);
          roundTrip = std::max({roundTrip, std::fabs(back.X - ideal.X), std::fabs(back.Y - ideal.Y)});
          moved = std::max(moved, std::hypot(quick.X - ideal.X, quick.Y - ideal.Y));
        }
      SCOPED_TRACE("k = " + std::to_string(k) + ", " + std::to_string(size.X) + " x " + std::to_string(size.Y));
      EXPECT_LT(apart, 1e-9);
      EXPECT_LT(roundTrip, 1e-9);
      EXPECT_GT(moved, 0.1);  // the bending was there to undo
    }
  }
  // Without the exact inverse both give the first-order one.
  const auto first = Camera(1000, 800, 50.0, 0.05);
  EXPECT_EQ(RestoreAberration(first, {250, 0}), RestoreAberrationByNewton(first, {250, 0}));
}

TEST(Projection, PlaneAndAnglesAreExactInversesInsideTheHalfSpace) {
  const auto pp = Camera(1024, 768, 20.0, 0.0);
  for (double lon : {-0.24, -0.1, 0.0, 0.13, 0.2})
    for (double lat : {-0.2, 0.0, 0.17}) {
      const TRealPoint a{lon * pp.CircleLength, lat * pp.CircleLength};
      const TRealPoint b = PlaneToAngles(pp, AnglesToPlane(pp, a));
      EXPECT_NEAR(b.X, a.X, 1e-7);
      EXPECT_NEAR(b.Y, a.Y, 1e-7);
    }
  const double q = pp.CircleLength / 4.0;
  EXPECT_EQ(AnglesToPicture(pp, {q, 0}), (TRealPoint{0, 0}));
  EXPECT_EQ(AnglesToPicture(pp, {0, -q}), (TRealPoint{0, 0}));
  EXPECT_EQ(AnglesToPlane(pp, {-q - 1, 0}), (TRealPoint{0, 0}));
}

TEST(Projection, StereographicPlane) {
  const auto pp = Camera(1024, 768, 28.0, 0.0);
  const double q = pp.CircleLength / 4.0;
  const TRealPoint s0 = SphereToStereo(pp, {0, 0});
  EXPECT_NEAR(s0.X, 0.0, 1e-15);
  EXPECT_NEAR(s0.Y, 1.0, 1e-15);
  const TRealPoint s1 = SphereToStereo(pp, {q, 0});
  EXPECT_NEAR(s1.X, 1.0, 1e-12);
  EXPECT_NEAR(s1.Y, 0.0, 1e-12);
  const TRealPoint a1 = StereoToSphere(pp, s1);
  EXPECT_NEAR(a1.X, q, 1e-7);
  EXPECT_NEAR(a1.Y, 0.0, 1e-7);
  const TRealPoint a0 = StereoToSphere(pp, s0);
  EXPECT_NEAR(a0.X, 0.0, 1e-9);
  EXPECT_NEAR(a0.Y, 0.0, 1e-9);
  // The origin is the south pole; the negative real axis has longitude -N/4.
  EXPECT_EQ(StereoToSphere(pp, {0, 0}), (TRealPoint{0.0, -pp.CircleLength / 4.0}));
  EXPECT_NEAR(StereoToSphere(pp, {-2, 0}).X, -q, 1e-9);
  for (double lon : {-0.45, -0.2, 0.1, 0.3, 0.49})
    for (double lat : {-0.2, 0.0, 0.22}) {
      const TRealPoint a{lon * pp.CircleLength, lat * pp.CircleLength};
      const TRealPoint b = StereoToSphere(pp, SphereToStereo(pp, a));
      EXPECT_NEAR(b.X, a.X, 1e-6);
      EXPECT_NEAR(b.Y, a.Y, 1e-6);
    }
}

TEST(Projection, EqualAreaHeight) {
  const auto pp = Camera(1024, 768, 28.0, 0.0);
  const TRealPoint h = LatitudeToEqualArea(pp, {12, pp.CircleLength / 4.0});
  EXPECT_DOUBLE_EQ(h.X, 12);
  EXPECT_NEAR(h.Y, pp.PixelsPerRadian, 1e-9);
  const TRealPoint back = EqualAreaToLatitude(pp, LatitudeToEqualArea(pp, {3, 101.25}));
  EXPECT_NEAR(back.Y, 101.25, 1e-9);
}

TEST(Projection, WrapToCircleTakesOneStepEachWay) {
  const auto pp = Camera(1024, 768, 28.0, 0.0);
  const double n = pp.CircleLength;
  EXPECT_DOUBLE_EQ(WrapToCircle(pp, -1), n - 1);
  EXPECT_DOUBLE_EQ(WrapToCircle(pp, n), 0.0);
  EXPECT_DOUBLE_EQ(WrapToCircle(pp, 2 * n), n);
  EXPECT_DOUBLE_EQ(WrapToCircle(pp, 17.5), 17.5);
}

TEST(Projection, WorkingScale) {
  auto pp = Camera(1024, 768, 28.0, 0.0);
  EXPECT_EQ(ToWorkingScale(pp, {10, 20}), (TRealPoint{10, 20}));
  pp.WorkingScaled = true;
  pp.WorkingScale = 2.5;
  EXPECT_EQ(ToWorkingScale(pp, {10, 20}), (TRealPoint{4, 8}));
  EXPECT_EQ(ToFullScale(pp, {4, 8}), (TRealPoint{10, 20}));
}

}  // namespace
}  // namespace vistarium::geom

TEST(Rays, PixelAndRayRoundTripAndRotationsCompose) {
  using namespace vistarium;
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, {1600, 1200}, 35.0, 0.0);
  const TRealPoint pixel{1234.5, 321.25};
  const geom::Ray ray = geom::PixelToRay(pp, pixel);
  EXPECT_NEAR(ray[0] * ray[0] + ray[1] * ray[1] + ray[2] * ray[2], 1.0, 1e-12);
  EXPECT_GT(ray[0], 0.0);  // right of centre
  EXPECT_GT(ray[1], 0.0);  // above centre
  const auto back = geom::RayToPixel(pp, ray);
  ASSERT_TRUE(back.has_value());
  EXPECT_NEAR(back->X, pixel.X, 1e-9);
  EXPECT_NEAR(back->Y, pixel.Y, 1e-9);
  EXPECT_FALSE(geom::RayToPixel(pp, {0.0, 0.0, -1.0}).has_value());

  const double c = std::cos(0.3), s = std::sin(0.3);
  const geom::Rotation yaw{c, 0, s, 0, 1, 0, -s, 0, c};
  EXPECT_NEAR(geom::RotationDistance(geom::kIdentityRotation, yaw), 0.3, 1e-12);
  EXPECT_NEAR(geom::RotationDistance(geom::Multiplied(yaw, geom::Transposed(yaw)), geom::kIdentityRotation), 0.0, 1e-7);
  const geom::Ray turned = geom::Rotate(yaw, {0.0, 0.0, 1.0});
  EXPECT_NEAR(turned[0], s, 1e-12);
}
