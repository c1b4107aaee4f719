#include "sample_geometry.h"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

namespace vistarium::samples {

namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3 c;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) c.M[r][k] = a.M[r][0] * b.M[0][k] + a.M[r][1] * b.M[1][k] + a.M[r][2] * b.M[2][k];
  return c;
}

// Solves rho * (1 + k rho^2) = target for the root on the rising branch that
// starts at 0. Newton's method from `target` approaches that root from one
// side only (the polynomial is concave for k < 0 and convex for k > 0), so it
// never jumps to another branch.
std::optional<double> InvertRadial(double k, double target) {
  if (k < 0.0) {
    // The rising branch ends at rho^2 = 1 / (3|k|); beyond its top no radius
    // maps to the target.
    const double top = 1.0 / std::sqrt(-3.0 * k);
    if (target >= top * (1.0 + k * top * top)) return std::nullopt;
  }
  double rho = target;
  for (int iteration = 0; iteration < 100; ++iteration) {
    const double g = rho * (1.0 + k * rho * rho) - target;
    const double slope = 1.0 + 3.0 * k * rho * rho;
    if (!(slope > 0.0)) return std::nullopt;
    const double step = g / slope;
    rho -= step;
    if (std::fabs(step) <= 1e-16 * (1.0 + std::fabs(rho))) break;
  }
  return rho;
}

}  // namespace

Matrix3 RotationMatrix(const Rotation& r) {
  const double cy = std::cos(r.Yaw * kDegree), sy = std::sin(r.Yaw * kDegree);
  const double cp = std::cos(r.Pitch * kDegree), sp = std::sin(r.Pitch * kDegree);
  const double cr = std::cos(r.Roll * kDegree), sr = std::sin(r.Roll * kDegree);
  Matrix3 yaw, pitch, roll;
  yaw.M[0][0] = cy, yaw.M[0][2] = sy, yaw.M[2][0] = -sy, yaw.M[2][2] = cy;
  pitch.M[1][1] = cp, pitch.M[1][2] = sp, pitch.M[2][1] = -sp, pitch.M[2][2] = cp;
  roll.M[0][0] = cr, roll.M[0][1] = sr, roll.M[1][0] = -sr, roll.M[1][1] = cr;
  return Multiply(Multiply(yaw, pitch), roll);
}

Vec3 Apply(const Matrix3& m, Vec3 v) {
  return {m.M[0][0] * v.X + m.M[0][1] * v.Y + m.M[0][2] * v.Z, m.M[1][0] * v.X + m.M[1][1] * v.Y + m.M[1][2] * v.Z,
          m.M[2][0] * v.X + m.M[2][1] * v.Y + m.M[2][2] * v.Z};
}

Vec3 ApplyTransposed(const Matrix3& m, Vec3 v) {
  return {m.M[0][0] * v.X + m.M[1][0] * v.Y + m.M[2][0] * v.Z, m.M[0][1] * v.X + m.M[1][1] * v.Y + m.M[2][1] * v.Z,
          m.M[0][2] * v.X + m.M[1][2] * v.Y + m.M[2][2] * v.Z};
}

LonLat DirectionToLonLat(Vec3 d) {
  const double horizontal = std::hypot(d.X, d.Z);
  return {std::atan2(d.X, d.Z) / kDegree, std::atan2(d.Y, horizontal) / kDegree};
}

Vec3 LonLatToDirection(LonLat a) {
  const double lon = a.Lon * kDegree, lat = a.Lat * kDegree;
  return {std::cos(lat) * std::sin(lon), std::sin(lat), std::cos(lat) * std::cos(lon)};
}

SetGeometry::SetGeometry(const SampleCamera& camera, std::vector<Rotation> rotations)
    : camera_(camera), rotations_(std::move(rotations)) {
  geom::SetCameraProjection(pp_, camera.Size, camera.FocalLength, camera.Aberration);
  matrices_.reserve(rotations_.size());
  for (const Rotation& r : rotations_) {
    if (!std::isfinite(r.Yaw) || !std::isfinite(r.Pitch) || !std::isfinite(r.Roll))
      throw std::invalid_argument("Picture orientations must be finite numbers of degrees");
    matrices_.push_back(RotationMatrix(r));
  }
}

void SetGeometry::CheckIndex(int i) const {
  if (i < 0 || i >= Count())
    throw std::out_of_range("Picture index " + std::to_string(i) + " outside a set of " + std::to_string(Count()));
}

const Rotation& SetGeometry::PictureRotation(int i) const {
  CheckIndex(i);
  return rotations_[static_cast<std::size_t>(i)];
}

Vec3 SetGeometry::OwnDirection(TRealPoint pixel) const {
  const TRealPoint a = geom::PictureToAngles(pp_, pixel);
  const double lon = a.X * pp_.AngleStep, lat = a.Y * pp_.AngleStep;
  return {std::cos(lat) * std::sin(lon), std::sin(lat), std::cos(lat) * std::cos(lon)};
}

std::optional<TRealPoint> SetGeometry::OwnPosition(Vec3 own) const {
  if (!(own.Z > 0.0)) return std::nullopt;
  const double f = pp_.FocalPixels;
  // Ideal centred coordinates of the ray: the pin-hole plane at distance f.
  TRealPoint centred{f * own.X / own.Z, f * own.Y / own.Z};
  if (pp_.AberrationOn) {
    const double R = pp_.HalfSize;
    const double target = std::hypot(centred.X, centred.Y) / R;
    if (target > 0.0) {
      const std::optional<double> rho = InvertRadial(pp_.Aberration, target);
      if (!rho) return std::nullopt;
      const double scale = *rho / target;
      centred = {centred.X * scale, centred.Y * scale};
    }
  }
  return geom::PictureCoordinates(pp_, centred);
}

Vec3 SetGeometry::WorldDirection(int i, TRealPoint pixel) const {
  CheckIndex(i);
  return Apply(matrices_[static_cast<std::size_t>(i)], OwnDirection(pixel));
}

std::optional<TRealPoint> SetGeometry::ProjectToPicture(int j, Vec3 world) const {
  CheckIndex(j);
  return OwnPosition(ApplyTransposed(matrices_[static_cast<std::size_t>(j)], world));
}

bool SetGeometry::Inside(TRealPoint p) const {
  return p.X >= 0.0 && p.X <= camera_.Size.X && p.Y >= 0.0 && p.Y <= camera_.Size.Y;
}

std::optional<TRealPoint> SetGeometry::Correspond(int i, TRealPoint pixel, int j) const {
  const std::optional<TRealPoint> q = ProjectToPicture(j, WorldDirection(i, pixel));
  if (!q || !Inside(*q)) return std::nullopt;
  return q;
}

double SetGeometry::CentreRowOverlap(int i, int j) const {
  const int w = camera_.Size.X;
  int seen = 0;
  for (int c = 0; c < w; ++c)
    if (Correspond(i, {c + 0.5, camera_.Size.Y / 2.0}, j)) ++seen;
  return static_cast<double>(seen) / w;
}

double SetGeometry::RightEdgeVisible(int i, int j) const {
  const int h = camera_.Size.Y;
  int seen = 0;
  for (int r = 0; r < h; ++r)
    if (Correspond(i, {camera_.Size.X - 0.5, r + 0.5}, j)) ++seen;
  return static_cast<double>(seen) / h;
}

}  // namespace vistarium::samples
