#pragma once
// Directions of picture pixels in the camera's own frame: X to the right,
// Y upwards, Z along the optical axis. Refinement and feature matching fit
// rotations between two pictures' frames in this form.

#include <array>
#include <optional>

#include "geom/point.h"
#include "geom/projection.h"

namespace vistarium::geom {

using Ray = std::array<double, 3>;
// Row-major 3 x 3 rotation; R * ray carries a direction of one frame into another.
using Rotation = std::array<double, 9>;

// Unit direction of a full-size picture pixel (aberration corrected).
Ray PixelToRay(const TProjectionParameters& pp, TRealPoint pixel);
// Full-size picture pixel of a direction (aberration restored); nothing for a
// direction that does not lie in front of the camera.
std::optional<TRealPoint> RayToPixel(const TProjectionParameters& pp, const Ray& ray);

Ray Rotate(const Rotation& r, const Ray& v);
Rotation Transposed(const Rotation& r);
Rotation Multiplied(const Rotation& a, const Rotation& b);  // a * b
inline constexpr Rotation kIdentityRotation{1, 0, 0, 0, 1, 0, 0, 0, 1};
// Angle of the rotation a^T b, in radians.
double RotationDistance(const Rotation& a, const Rotation& b);

}  // namespace vistarium::geom
