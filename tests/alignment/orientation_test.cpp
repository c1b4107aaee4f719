#include "alignment/orientation.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "alignment/bundle_coord.h"

namespace vistarium::alignment {
namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;
using Points = std::array<TRealPoint, 3>;

TProjectionParameters Camera() {
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, {1024, 768}, 20.0, 0.0);
  pp.Extent = {geom::PictureToAngles(pp, {1024, 384}).X, geom::PictureToAngles(pp, {512, 0}).Y};
  return pp;
}
const TProjectionParameters kPp = Camera();
const double kN = kPp.FullCircle;

Vector3d Dir(TRealPoint a) {
  const double lon = a.X * kPp.AngleStep, lat = a.Y * kPp.AngleStep;
  return {std::cos(lon) * std::cos(lat), std::sin(lon) * std::cos(lat), std::sin(lat)};
}
TRealPoint Angles(const Vector3d& v) {
  return {std::atan2(v.y(), v.x()) / kPp.AngleStep, std::atan2(v.z(), std::hypot(v.x(), v.y())) / kPp.AngleStep};
}
double Apart(TRealPoint a, TRealPoint b) {  // panorama pixels
  return std::atan2(Dir(a).cross(Dir(b)).norm(), Dir(a).dot(Dir(b))) / kPp.AngleStep;
}
Matrix3d Turn(const Vector3d& axis, double degrees) {
  return Eigen::AngleAxisd(degrees * std::numbers::pi / 180, axis.normalized()).toRotationMatrix();
}

// Picture i is turned 40 degrees further about the axis than picture i - 1,
// and rolled a little. The matched points of each connection are placed by
// this truth; the right picture's copies get Gaussian noise (panorama pixels).
struct Ring {
  Vector3d axis{0, 0, 1};
  double roll = 0;
  Matrix3d Pose(int i) const { return Turn(axis, 40.0 * i) * Turn({1, 0, 0}, roll * (i % 3)); }
  TRealPoint Truth(int i, TRealPoint p) const { return Angles(Pose(i) * Dir(p)); }

  RunState Make(int n, bool is360, double noise = 0) const {
    RunState rs;
    rs.Projection = kPp;
    rs.PictureSet.Count = n;
    rs.PictureSet.Is360 = is360;
    rs.Geometry.resize(n);
    for (PictureGeometry& g : rs.Geometry) g.LeftConnection.Linked = g.RightConnection.Linked = true;
    if (!is360) rs.Geometry.front().LeftConnection.Linked = rs.Geometry.back().RightConnection.Linked = false;
    std::mt19937 gen(7);
    std::normal_distribution<double> jitter(0.0, noise + 1e-300);
    const double e = kPp.Extent.X;
    const Points own{{{0.6 * e, 0.4 * e}, {0.6 * e, -0.4 * e}, {0.75 * e, 0.05 * e}}};
    for (int i = 0; i < n && (is360 || i + 1 < n); ++i)
      for (int k = 0; k < 3; ++k) {
        const TRealPoint o = Angles(Pose((i + 1) % n).transpose() * Pose(i) * Dir(own[k]));
        rs.Geometry[i].RightConnection.AnglePoints[k] = own[k];
        rs.Geometry[(i + 1) % n].LeftConnection.AnglePoints[k] = {o.X + jitter(gen), o.Y + jitter(gen)};
      }
    return rs;
  }
};

// Largest relative change of the angles between some directions of picture i.
double Distortion(const RunState& rs, int i) {
  const TRealPoint p[] = {{0, 0}, {400, 10}, {-300, 250}, {120, -380}};
  double worst = 0;
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b)
      worst = std::max(worst, std::fabs(Apart(OwnToPanorama(rs, i, p[a]), OwnToPanorama(rs, i, p[b])) /
                                            Apart(p[a], p[b]) - 1));
  return worst;
}

const Points kOwn{{{10, 20}, {-200, 150}, {300, -100}}};

TEST(OrientationMap, SendsOwnPointsOntoTargetsAndFitsRotations) {
  RunState rs = Ring().Make(1, false);
  rs.Geometry[0].LongitudeFloor = -kN;
  const Points stretched{{{110, 50}, {-90, 140}, {390, -60}}};
  rs.Geometry[0].OrientationMap = BuildOrientationMap(kPp, kOwn, stretched);
  for (int k = 0; k < 3; ++k) {
    EXPECT_LT(Apart(OwnToPanorama(rs, 0, kOwn[k]), stretched[k]), 1e-9);
    EXPECT_LT(Apart(PanoramaToOwn(rs, 0, stretched[k]), kOwn[k]), 1e-9);
  }
  EXPECT_GT(Distortion(rs, 0), 1e-3);

  Points exact;
  for (int k = 0; k < 3; ++k) exact[k] = Angles(Turn({0.3, -0.2, 1}, 57) * Dir(kOwn[k]));
  exact[1].X += kN;  // a later lap is kept
  const Points fitted = RotationFittedTargets(kPp, kOwn, exact);
  for (int k = 0; k < 3; ++k) EXPECT_LT(std::hypot(fitted[k].X - exact[k].X, fitted[k].Y - exact[k].Y), 1e-8);
  EXPECT_LT(RotationResidual(kPp, kOwn, exact), 1e-8);

  double previous = 0;
  for (double noise : {1.0, 4.0, 16.0}) {
    Points noisy = exact;
    noisy[0].X += noise, noisy[1].Y -= noise, noisy[2].X -= noise;
    const Points f = RotationFittedTargets(kPp, kOwn, noisy);
    rs.Geometry[0].OrientationMap = BuildOrientationMap(kPp, kOwn, f);
    EXPECT_LT(Distortion(rs, 0), 1e-9);
    const double residual = RotationResidual(kPp, kOwn, noisy);
    EXPECT_GT(residual, previous);
    EXPECT_LT(residual, noise);
    previous = residual;
  }
  // A mirror image is no rotation of the points.
  EXPECT_GT(RotationResidual(kPp, kOwn, {{{10, -20}, {-200, -150}, {300, 100}}}), 10.0);
  EXPECT_THROW(RotationFittedTargets(kPp, kOwn, {{{std::nan(""), 0}, {0, 0}, {1, 1}}}), std::runtime_error);
}

TEST(OrientationMap, LongitudeFloorAndInactiveMaps) {
  RunState rs = Ring().Make(2, false);
  OrientPictures(rs);
  for (double floor : {-3000.0, -500.0, 250.0, 2 * kN + 33.3})
    for (TRealPoint p : {TRealPoint{-900, 40}, TRealPoint{0, 0}, TRealPoint{700, -300}}) {
      rs.Geometry[1].LongitudeFloor = floor;
      const TRealPoint q = OwnToPanorama(rs, 1, p);
      EXPECT_GE(q.X, floor);
      EXPECT_LT(q.X - kN, std::max(floor, -kN / 2));  // the least number of turns
      rs.Geometry[1].LongitudeFloor = q.X;           // a point on its floor stays there
      EXPECT_EQ(OwnToPanorama(rs, 1, p).X, q.X);
    }
  EXPECT_EQ(PanoramaToOwn(rs, 0, {1.7 * kN, 12.5}), (TRealPoint{1.7 * kN, 12.5}));
  const double inf = std::numeric_limits<double>::infinity();
  for (TRealPoint bad : {TRealPoint{std::nan(""), 0}, TRealPoint{-inf, 0}, TRealPoint{-1e300, 0}})
    EXPECT_THROW(OwnToPanorama(rs, 0, bad), std::runtime_error);
  rs.Geometry[1].LongitudeFloor = std::nan("");
  EXPECT_THROW(OwnToPanorama(rs, 1, {0, 0}), std::runtime_error);
}

TEST(OrientPictures, ChainFollowsTheTrueRotations) {
  const Ring ring{{0.05, 0.02, 1}, 2.0};
  for (int n : {2, 9}) {
    RunState rs = ring.Make(n, n == 9);
    OrientPictures(rs);
    EXPECT_FALSE(rs.Geometry[0].OrientationMap.Active);
    EXPECT_EQ(rs.Geometry[1].LongitudeFloor, -std::nearbyint(kPp.Extent.X));
    for (int i = 1; i < n; ++i) {
      for (int k = 0; k < 3; ++k) {
        const TRealPoint a = rs.Geometry[i].LeftConnection.PanoramaPoints[k];
        const TRealPoint b = rs.Geometry[i - 1].RightConnection.PanoramaPoints[k];
        EXPECT_LT(std::hypot(a.X - b.X, a.Y - b.Y), 1e-6);
      }
      for (TRealPoint p : {TRealPoint{0, 0}, TRealPoint{-300, 200}})
        EXPECT_LT(Apart(OwnToPanorama(rs, i, p), ring.Truth(i, p)), 1e-6);
      EXPECT_GT(OwnToPanorama(rs, i, {0, 0}).X, OwnToPanorama(rs, i - 1, {0, 0}).X);
    }
    // Once round: the last picture's copy of a closing point is one turn on.
    if (n == 9) {
      EXPECT_NEAR(rs.Geometry[8].RightConnection.PanoramaPoints[0].X - kN,
                  rs.Geometry[0].LeftConnection.PanoramaPoints[0].X, 1e-6);
    }
  }
  RunState noisy = Ring{{0, 0, 1}, 3.0}.Make(5, false, 3.0);
  OrientPictures(noisy);
  for (int i = 1; i < 5; ++i) EXPECT_LT(Distortion(noisy, i), 1e-9);
}

TEST(Levelling, PicturesOnTheEquatorStayWhereTheyAre) {
  RunState rs = Ring().Make(4, false);
  OrientPictures(rs);
  const TRealPoint h = FindHorizon(rs);
  EXPECT_EQ(h, (TRealPoint{kPp.HalfCircle, kPp.QuarterCircle}));
  const auto before = rs.Geometry;
  LevelPanorama(rs, h);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rs.Geometry[i].OrientationMap.P4, before[i].OrientationMap.P4);
    EXPECT_EQ(rs.Geometry[i].RightConnection.PanoramaPoints, before[i].RightConnection.PanoramaPoints);
  }
  EXPECT_EQ(FindHorizon(Ring().Make(1, false)), (TRealPoint{0, 0}));
}

TEST(Levelling, TiltedRingIsBroughtOntoTheEquator) {
  const double tilt = 12;  // degrees, on the search grid
  const Ring ring{Turn({1, 0, 0}, tilt) * Vector3d(0, 0, 1)};
  RunState rs = ring.Make(5, false);
  OrientPictures(rs);
  const TRealPoint h = FindHorizon(rs);
  EXPECT_NEAR(h.X, kN / 4, 1e-6);  // opposite the normal's azimuth of 270 degrees
  EXPECT_NEAR(h.Y, (90 - tilt) / 360 * kN, 1e-6);

  RunState onFloor = rs;
  LevelPanorama(rs, h);
  for (int i = 0; i < 5; ++i) {
    const PictureGeometry& g = rs.Geometry[i];
    EXPECT_NEAR(OwnToPanorama(rs, i, {0, 0}).Y, 0.0, 1e-6);
    for (int k = 0; k < 3 && g.RightConnection.Linked; ++k)
      EXPECT_GT(g.RightConnection.PanoramaPoints[k].X, g.LongitudeFloor);
    for (int k = 0; k < 3 && g.LeftConnection.Linked; ++k)
      EXPECT_LT(Apart(g.LeftConnection.PanoramaPoints[k], OwnToPanorama(rs, i, g.LeftConnection.AnglePoints[k])), 1e-6);
    // Still one rigid frame, picture 0 turned with the others.
    const TRealPoint p{200, -150}, o{-100, 300};
    EXPECT_NEAR(Apart(OwnToPanorama(rs, 0, p), OwnToPanorama(rs, i, o)), Apart(ring.Truth(0, p), ring.Truth(i, o)), 1e-6);
  }
  // A levelled point exactly on its picture's floor goes one turn on.
  const double v = rs.Geometry[1].RightConnection.PanoramaPoints[0].X;
  onFloor.Geometry[1].LongitudeFloor = v;
  LevelPanorama(onFloor, h);
  EXPECT_NEAR(onFloor.Geometry[1].RightConnection.PanoramaPoints[0].X, v + kN, 1e-9);
  EXPECT_THROW(LevelPanorama(onFloor, {std::nan(""), 10}), std::runtime_error);
}

TEST(PictureMapping, PixelsComeBackFromThePanorama) {
  for (bool is360 : {false, true}) {
    // The noise makes the chain miss the full turn, so the closure does some work.
    RunState rs = Ring{{0.05, 0, 1}, 1.0}.Make(9, is360, 2.0);
    OrientPictures(rs);
    LevelPanorama(rs, FindHorizon(rs));
    CreateClosureSystems(rs);
    for (int i : {0, 4, 8})
      for (double x = 0; x <= 1024; x += 128)
        for (double y = 0; y <= 768; y += 96) {
          const TRealPoint back = PanoramaToPicture(rs, i, PictureToPanorama(rs, i, {x, y}));
          EXPECT_LT(std::hypot(back.X - x, back.Y - y), 1e-6);
        }
  }
}


// A refined connection replaces its three points in the construction: with
// the true rotation stored as the refinement, true correspondences meet
// exactly however noisy the points are, also after levelling; once the
// points are edited the stale refinement is no longer used.
TEST(OrientPictures, BuildsRefinedConnectionsFromTheirRotation) {
  const Ring ring{{0.1, 0, 1}, 2.0};
  RunState rs = ring.Make(3, false, 6.0);
  // Own frame of the projection (x right, y up, z forward) from this test's
  // (x forward, y right, z up).
  Matrix3d toRay;
  toRay << 0, 1, 0, 0, 0, 1, 1, 0, 0;
  for (int i = 0; i < 2; ++i) {
    TConnectionSide& l = rs.Geometry[i].RightConnection;
    TConnectionSide& r = rs.Geometry[i + 1].LeftConnection;
    for (int k = 0; k < 3; ++k) {
      l.ImagePoints[k] = geom::AnglesToPicture(kPp, l.AnglePoints[k]);
      r.ImagePoints[k] = geom::AnglesToPicture(kPp, r.AnglePoints[k]);
    }
    const Matrix3d m = toRay * ring.Pose(i).transpose() * ring.Pose(i + 1) * toRay.transpose();
    TConnectionRefinement& refinement = rs.Geometry[i].RightRefinement;
    refinement.Measured = refinement.Fitted = true;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) refinement.Rotation[static_cast<std::size_t>(3 * a + b)] = m(a, b);
    refinement.LeftSource = l.ImagePoints;
    refinement.RightSource = r.ImagePoints;
  }
  const auto worstMiss = [&](const RunState& state) {
    double worst = 0;
    for (int i = 0; i < 2; ++i)
      for (TRealPoint p : {TRealPoint{-300, 40}, TRealPoint{-150, -200}, TRealPoint{-50, 220}}) {
        const TRealPoint inLeft = Angles(ring.Pose(i).transpose() * ring.Pose(i + 1) * Dir(p));
        worst = std::max(worst, Apart(OwnToPanorama(state, i + 1, p), OwnToPanorama(state, i, inLeft)));
      }
    return worst;
  };
  OrientPictures(rs);
  EXPECT_LT(worstMiss(rs), 1e-6);
  LevelPanorama(rs, FindHorizon(rs));
  EXPECT_LT(worstMiss(rs), 1e-6);

  RunState edited = rs;
  edited.Geometry[1].LeftConnection.ImagePoints[2].X += 1.0;  // a hand correction
  OrientPictures(edited);
  EXPECT_GT(worstMiss(edited), 1.0);
}

}  // namespace
}  // namespace vistarium::alignment
