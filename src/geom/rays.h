#pragma once
// Directions of picture pixels in the camera's own frame: X to the right,
// Y upwards, Z along the optical axis. Refinement and feature matching fit
// rotations between two pictures' frames in this form.

#include <array>
#include <cmath>
#include <optional>

#include "geom/point.h"
#include "geom/projection.h"

namespace vistarium::geom {

using Ray = std::array<double, 3>;
// Row-major 3 x 3 rotation; R * ray carries a direction of one frame into another.
using Rotation = std::array<double, 9>;

// Unit direction of a full-size picture pixel (aberration corrected).
// These three are defined here so that per-pixel loops inline them.
inline Ray PixelToRay(const TProjectionParameters& pp, TRealPoint pixel) {
  const TRealPoint p = CorrectAberration(pp, CentreCoordinates(pp, pixel));
  const double n = std::sqrt(p.X * p.X + p.Y * p.Y + pp.FocalPixels * pp.FocalPixels);
  return {p.X / n, p.Y / n, pp.FocalPixels / n};
}
// Full-size picture pixel of a direction (aberration restored); nothing for a
// direction that does not lie in front of the camera.
inline std::optional<TRealPoint> RayToPixel(const TProjectionParameters& pp, const Ray& ray) {
  if (!(ray[2] > 1e-9)) return std::nullopt;
  const TRealPoint plane{ray[0] / ray[2] * pp.FocalPixels, ray[1] / ray[2] * pp.FocalPixels};
  return PictureCoordinates(pp, RestoreAberration(pp, plane));
}

inline Ray Rotate(const Rotation& r, const Ray& v) {
  return {r[0] * v[0] + r[1] * v[1] + r[2] * v[2], r[3] * v[0] + r[4] * v[1] + r[5] * v[2],
          r[6] * v[0] + r[7] * v[1] + r[8] * v[2]};
}
Rotation Transposed(const Rotation& r);
Rotation Multiplied(const Rotation& a, const Rotation& b);  // a * b
inline constexpr Rotation kIdentityRotation{1, 0, 0, 0, 1, 0, 0, 0, 1};
// Angle of the rotation a^T b, in radians.
double RotationDistance(const Rotation& a, const Rotation& b);

}  // namespace vistarium::geom
