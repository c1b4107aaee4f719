#include "alignment/upright_horizon.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "alignment/orientation.h"

namespace vistarium::alignment {

namespace {

// Weight of the plane through the picture centres: enough to settle what
// the axes leave open, little enough that a camera tilted by 15 degrees
// over a wide set tilts the vertical by under a hundredth of a degree.
constexpr double kPlaneWeight = 0.0003;

Eigen::Vector3d Direction(const TProjectionParameters& pp, TRealPoint a) {
  const double lon = a.X * pp.AngleStep, lat = a.Y * pp.AngleStep;
  return {std::cos(lon) * std::cos(lat), std::sin(lon) * std::cos(lat), std::sin(lat)};
}

}  // namespace

TRealPoint FindUprightHorizon(const RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const int count = static_cast<int>(rs.Geometry.size());
  if (count <= 1) return {0.0, 0.0};
  Eigen::Matrix3d moment = Eigen::Matrix3d::Zero();
  Eigen::Vector3d up = Eigen::Vector3d::Zero();
  for (int i = 0; i < count; ++i) {
    // The picture's optical axis and its horizontal axis (own longitude a
    // quarter turn to the right on its own equator), in the panorama frame.
    const Eigen::Vector3d centre = Direction(pp, OwnToPanorama(rs, i, {0.0, 0.0}));
    const Eigen::Vector3d right = Direction(pp, OwnToPanorama(rs, i, {pp.QuarterCircle, 0.0}));
    moment += right * right.transpose() + kPlaneWeight * centre * centre.transpose();
    up += centre.cross(right);  // the picture's own up
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(moment);
  Eigen::Vector3d normal = solver.eigenvectors().col(0);  // the smallest eigenvalue's
  if (normal.dot(up) < 0.0) normal = -normal;
  const double azimuth = std::atan2(normal.y(), normal.x());
  const double elevation = std::asin(std::clamp(normal.z(), -1.0, 1.0));
  double opposite = azimuth + std::numbers::pi;
  if (opposite > 2.0 * std::numbers::pi) opposite -= 2.0 * std::numbers::pi;
  if (opposite < 0.0) opposite += 2.0 * std::numbers::pi;
  return {opposite / pp.AngleStep, elevation / pp.AngleStep};
}

}  // namespace vistarium::alignment
