// Levelling by the pictures' horizontal axes: a row shot with the camera
// tilted down keeps its rows level, so the vertical found is the true one,
// where the plane through the picture centres tilts with the camera.
#include "alignment/upright_horizon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "alignment/orientation.h"

namespace vistarium::alignment {
namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

using Vec = std::array<double, 3>;

Vec Direction(const TProjectionParameters& pp, TRealPoint a) {
  const double lon = a.X * pp.AngleStep, lat = a.Y * pp.AngleStep;
  return {std::cos(lon) * std::cos(lat), std::sin(lon) * std::cos(lat), std::sin(lat)};
}

// A row of pictures turned by `yaws` (degrees, to the right) and tilted
// down by `tilt` degrees, oriented exactly (panorama frame: x ahead, y to
// the right, z up).
RunState TiltedRow(const std::vector<double>& yaws, double tilt) {
  RunState rs;
  geom::SetCameraProjection(rs.Projection, {1600, 1200}, 28.0, 0.0);
  const TProjectionParameters& pp = rs.Projection;
  rs.PictureSet.Count = static_cast<int>(yaws.size());
  rs.Geometry.resize(yaws.size());
  for (std::size_t i = 0; i < yaws.size(); ++i) {
    const double c = std::cos(tilt * kDegree), s = std::sin(tilt * kDegree);
    const double cy = std::cos(yaws[i] * kDegree), sy = std::sin(yaws[i] * kDegree);
    const std::array<TRealPoint, 3> own{{{0.0, 0.0}, {300.0, 0.0}, {0.0, 300.0}}};
    std::array<TRealPoint, 3> target;
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec v = Direction(pp, own[k]);
      const Vec tilted{c * v[0] + s * v[2], v[1], -s * v[0] + c * v[2]};  // ahead goes down
      const Vec turned{cy * tilted[0] - sy * tilted[1], sy * tilted[0] + cy * tilted[1], tilted[2]};
      target[k] = {std::atan2(turned[1], turned[0]) / pp.AngleStep,
                   std::atan2(turned[2], std::hypot(turned[0], turned[1])) / pp.AngleStep};
    }
    rs.Geometry[i].OrientationMap = BuildOrientationMap(pp, own, target);
    rs.Geometry[i].LongitudeFloor = -pp.FullCircle;
  }
  return rs;
}

TEST(UprightHorizon, ATiltedCameraKeepsTheTrueVertical) {
  const RunState rs = TiltedRow({-50.0, -25.0, 0.0, 25.0, 50.0}, 10.0);
  const double quarter = rs.Projection.QuarterCircle;
  // The normal stands straight up to well within a panorama pixel.
  EXPECT_NEAR(FindUprightHorizon(rs).Y, quarter, 0.5);
  // The plane through the centres leans towards them, by about the tilt.
  EXPECT_LT(FindHorizon(rs).Y, quarter - 5.0 * kDegree / rs.Projection.AngleStep);
}

TEST(UprightHorizon, PicturesTurnedLittleFallBackOnTheirCentres) {
  // Two pictures a degree apart, level: the axes leave the tilt open, the
  // centres settle it.
  const RunState rs = TiltedRow({0.0, 1.0}, 0.0);
  EXPECT_NEAR(FindUprightHorizon(rs).Y, rs.Projection.QuarterCircle, 1e-3 * rs.Projection.QuarterCircle);
  EXPECT_EQ(FindUprightHorizon(TiltedRow({0.0}, 10.0)).Y, 0.0);  // one picture: nothing to level
}

}  // namespace
}  // namespace vistarium::alignment
