#include "alignment/orientation.h"

#include <Eigen/Dense>

#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "alignment/bundle_coord.h"
#include "geom/numbers.h"

namespace vistarium::alignment {

namespace {

constexpr double kPi = std::numbers::pi;

// A longitude is lifted by at most this many whole turns. Real points lie
// within a few turns of their floor; anything further is the sign of a
// broken computation and would otherwise keep the lifting loop busy forever
// (a huge value does not change when a turn is added).
constexpr int kMaxTurns = 4096;

void RequireProjection(const TProjectionParameters& pp) {
  if (!(pp.CircleLength > 0 && pp.AngleStep > 0.0 && pp.FullCircle > 0.0))
    throw std::logic_error("Picture orientation needs the projection parameters of the run");
}

const PictureGeometry& Picture(const RunState& rs, int i) {
  if (i < 0 || static_cast<std::size_t>(i) >= rs.Geometry.size())
    throw std::out_of_range("Picture " + std::to_string(i) + " has no geometry record");
  return rs.Geometry[static_cast<std::size_t>(i)];
}

bool IsFinite(TRealPoint p) { return std::isfinite(p.X) && std::isfinite(p.Y); }

// Adds whole turns to lon until it reaches the floor (or, when strict, until
// it passes it).
double LiftLongitude(const TProjectionParameters& pp, double lon, double floor, bool strict) {
  if (!std::isfinite(lon)) throw std::runtime_error("Picture orientation failed: a panorama longitude is not a finite number");
  if (!std::isfinite(floor))
    throw std::runtime_error("Picture orientation failed: a picture's longitude floor is not a finite number");
  int turns = 0;
  while (strict ? lon <= floor : lon < floor) {
    if (++turns > kMaxTurns)
      throw std::runtime_error("Picture orientation failed: longitude " + std::to_string(lon) +
                               " lies too many turns below its floor " + std::to_string(floor));
    lon += pp.FullCircle;
  }
  return lon;
}

// One step each way into [-N/2, N/2).
double ToHalfTurns(const TProjectionParameters& pp, double lon) {
  if (lon < -pp.HalfCircle) lon += pp.FullCircle;
  if (lon >= pp.HalfCircle) lon -= pp.FullCircle;
  return lon;
}

// Unit vector of a direction given as (azimuth, elevation) in panorama pixels.
Eigen::Vector3d Direction(const TProjectionParameters& pp, TRealPoint a) {
  const double lon = a.X * pp.AngleStep, lat = a.Y * pp.AngleStep;
  return {std::cos(lon) * std::cos(lat), std::sin(lon) * std::cos(lat), std::sin(lat)};
}

TRealPoint AnglesOf(const TProjectionParameters& pp, const Eigen::Vector3d& v) {
  return {std::atan2(v.y(), v.x()) / pp.AngleStep, std::atan2(v.z(), std::hypot(v.x(), v.y())) / pp.AngleStep};
}

// The proper rotation R minimising sum |R own_k - target_k|^2 over the unit
// direction vectors (Kabsch): from the SVD H = U S V^T of H = sum own_k
// target_k^T, R = V diag(1, 1, d) U^T with d = sign det(V U^T), so that a
// reflection is never returned.
Eigen::Matrix3d FitRotation(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                            const std::array<TRealPoint, 3>& target) {
  RequireProjection(pp);
  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (std::size_t k = 0; k < 3; ++k) {
    if (!IsFinite(own[k]) || !IsFinite(target[k]))
      throw std::runtime_error("Picture orientation failed: a matched point is not a finite number");
    h += Direction(pp, own[k]) * Direction(pp, target[k]).transpose();
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::Matrix3d& u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();
  Eigen::Vector3d signs(1.0, 1.0, (v * u.transpose()).determinant() < 0.0 ? -1.0 : 1.0);
  return v * signs.asDiagonal() * u.transpose();
}

// The orientation map through the own points and their best-rotation images.
// Three matched pairs are never an exact rotation; a Moebius map forced
// through them would stretch the sphere, so the map is built through the
// fitted targets and is a pure rotation.
TOrientationMap RotationMap(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                            const std::array<TRealPoint, 3>& target) {
  return BuildOrientationMap(pp, own, RotationFittedTargets(pp, own, target));
}

// The own points of picture i's side that the construction places in the
// panorama. The right side of a refined connection stands for the refined
// rotation: its points are the images of the right neighbour's three points
// under it, so that every map built through them is that rotation.
std::array<TRealPoint, 3> ConstructionPoints(const RunState& rs, std::size_t i, const TConnectionSide& side) {
  const PictureGeometry& g = rs.Geometry[i];
  if (&side != &g.RightConnection || !side.Linked) return side.AnglePoints;
  const TConnectionSide& right = rs.Geometry[(i + 1) % rs.Geometry.size()].LeftConnection;
  if (!RefinementApplies(g.RightRefinement, side, right)) return side.AnglePoints;
  const TProjectionParameters& pp = rs.Projection;
  std::array<TRealPoint, 3> points;
  for (std::size_t k = 0; k < 3; ++k) {
    const double lon = right.AnglePoints[k].X * pp.AngleStep, lat = right.AnglePoints[k].Y * pp.AngleStep;
    const geom::Ray own = geom::Rotate(g.RightRefinement.Rotation,
                                       {std::sin(lon) * std::cos(lat), std::sin(lat), std::cos(lon) * std::cos(lat)});
    points[k] = {std::atan2(own[0], own[2]) / pp.AngleStep, std::atan2(own[1], std::hypot(own[0], own[2])) / pp.AngleStep};
  }
  return points;
}

// The levelling rotation as a Moebius map: it keeps the equator points p and
// r in place and carries m onto t; K is its cross-ratio constant.
struct Levelling {
  TRealPoint Sp, Sr, Sf, Sg, K;
};

TRealPoint LevelPoint(const RunState& rs, const Levelling& l, int i, TRealPoint q) {
  const TProjectionParameters& pp = rs.Projection;
  q.X = ToHalfTurns(pp, q.X);
  const TRealPoint w = geom::MoebiusMap(geom::SphereToStereo(pp, q), l.Sp, l.Sr, l.K, l.Sf, l.Sg);
  TRealPoint levelled = geom::StereoToSphere(pp, w);
  levelled.X = LiftLongitude(pp, levelled.X, Picture(rs, i).LongitudeFloor, true);
  return levelled;
}

}  // namespace

TRealPoint OwnToPanorama(const RunState& rs, int i, TRealPoint p) {
  const TProjectionParameters& pp = rs.Projection;
  const PictureGeometry& g = Picture(rs, i);
  if (!IsFinite(p)) throw std::runtime_error("Picture orientation failed: a direction is not a finite number");
  TRealPoint q = p;
  if (g.OrientationMap.Active) {
    const TOrientationMap& m = g.OrientationMap;
    q = geom::StereoToSphere(pp, geom::MoebiusMap(geom::SphereToStereo(pp, p), m.P1, m.P2, m.P7, m.P4, m.P5));
  }
  q.X = LiftLongitude(pp, q.X, g.LongitudeFloor, false);
  return q;
}

TRealPoint PanoramaToOwn(const RunState& rs, int i, TRealPoint q) {
  const TProjectionParameters& pp = rs.Projection;
  const TOrientationMap& m = Picture(rs, i).OrientationMap;
  if (!m.Active) return q;
  q.X = ToHalfTurns(pp, q.X);
  return geom::StereoToSphere(pp, geom::MoebiusMap(geom::SphereToStereo(pp, q), m.P4, m.P5, m.P8, m.P1, m.P2));
}

TRealPoint PictureToPanorama(const RunState& rs, int i, TRealPoint pixel) {
  const double zoom = Picture(rs, i).Zoom;
  const TRealPoint own = zoom == 1.0 ? geom::PictureToAngles(rs.Projection, pixel)
                                     : geom::PictureToAngles(geom::WithZoom(rs.Projection, zoom), pixel);
  return CloseCircle(rs, OwnToPanorama(rs, i, own));
}

TRealPoint PanoramaToPicture(const RunState& rs, int i, TRealPoint q) {
  const double zoom = Picture(rs, i).Zoom;
  const TRealPoint own = PanoramaToOwn(rs, i, OpenCircle(rs, q));
  return zoom == 1.0 ? geom::AnglesToPicture(rs.Projection, own)
                     : geom::AnglesToPicture(geom::WithZoom(rs.Projection, zoom), own);
}

TOrientationMap BuildOrientationMap(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                                    const std::array<TRealPoint, 3>& target) {
  TOrientationMap m;
  m.Active = true;
  m.P1 = geom::SphereToStereo(pp, own[0]);
  m.P2 = geom::SphereToStereo(pp, own[1]);
  m.P3 = geom::SphereToStereo(pp, own[2]);
  m.P4 = geom::SphereToStereo(pp, target[0]);
  m.P5 = geom::SphereToStereo(pp, target[1]);
  m.P6 = geom::SphereToStereo(pp, target[2]);
  m.P7 = geom::CrossRatioConstant(m.P1, m.P2, m.P3, m.P4, m.P5, m.P6);
  m.P8 = geom::CrossRatioConstant(m.P4, m.P5, m.P6, m.P1, m.P2, m.P3);
  return m;
}

std::array<TRealPoint, 3> RotationFittedTargets(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                                                const std::array<TRealPoint, 3>& target) {
  const Eigen::Matrix3d r = FitRotation(pp, own, target);
  std::array<TRealPoint, 3> fitted;
  for (std::size_t k = 0; k < 3; ++k) {
    fitted[k] = AnglesOf(pp, r * Direction(pp, own[k]));
    // Whole turns towards the original target, so that the fitted point
    // stays on the same lap of the panorama.
    fitted[k].X += Round((target[k].X - fitted[k].X) / pp.FullCircle) * pp.FullCircle;
  }
  return fitted;
}

double RotationResidual(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& own,
                        const std::array<TRealPoint, 3>& target) {
  const Eigen::Matrix3d r = FitRotation(pp, own, target);
  double sum = 0.0;
  for (std::size_t k = 0; k < 3; ++k) {
    const Eigen::Vector3d a = r * Direction(pp, own[k]);
    const Eigen::Vector3d b = Direction(pp, target[k]);
    const double angle = std::atan2(a.cross(b).norm(), a.dot(b));
    sum += angle * angle;
  }
  return std::sqrt(sum / 3.0) / pp.AngleStep;
}

void OrientPictures(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  RequireProjection(pp);
  if (rs.Geometry.empty()) return;

  PictureGeometry& first = rs.Geometry.front();
  first.LeftConnection.PanoramaPoints = first.LeftConnection.AnglePoints;
  first.RightConnection.PanoramaPoints = ConstructionPoints(rs, 0, first.RightConnection);
  first.LongitudeFloor = -pp.QuarterCircle;
  first.OrientationMap = TOrientationMap{};

  const double edge = Round(pp.Extent.X);
  for (std::size_t i = 1; i < rs.Geometry.size(); ++i) {
    const int index = static_cast<int>(i);
    PictureGeometry& g = rs.Geometry[i];
    // No point of this picture lies left of its neighbour's left edge.
    g.LongitudeFloor = OwnToPanorama(rs, index - 1, {-edge, 0.0}).X;
    g.OrientationMap =
        RotationMap(pp, g.LeftConnection.AnglePoints, rs.Geometry[i - 1].RightConnection.PanoramaPoints);
    for (TConnectionSide* side : {&g.LeftConnection, &g.RightConnection}) {
      if (!side->Linked) continue;
      const std::array<TRealPoint, 3> own = ConstructionPoints(rs, i, *side);
      for (std::size_t k = 0; k < 3; ++k) side->PanoramaPoints[k] = OwnToPanorama(rs, index, own[k]);
    }
  }
}

TRealPoint FindHorizon(const RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  RequireProjection(pp);
  const std::size_t count = rs.Geometry.size();
  if (count <= 1) return {0.0, 0.0};

  std::vector<Eigen::Vector3d> centres;
  centres.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    TRealPoint u = OwnToPanorama(rs, static_cast<int>(i), {0.0, 0.0});
    u.X = ToHalfTurns(pp, u.X);
    centres.push_back(Direction(pp, u));
  }
  const auto deviation = [&centres](double alpha, double beta) {
    const Eigen::Vector3d n(std::cos(alpha) * std::cos(beta), std::sin(alpha) * std::cos(beta), std::sin(beta));
    double sum = 0.0;
    for (const Eigen::Vector3d& v : centres) {
      const double d = n.dot(v);
      sum += d * d;
    }
    return sum;
  };

  // Grid search over one-degree steps; the first of equal minima wins.
  const double step = kPi / 180.0;
  double bestAlpha = 0.0, bestBeta = kPi / 2.0;
  double best = deviation(bestAlpha, bestBeta);
  for (int j = 1;; ++j) {
    const double beta = kPi / 2.0 - j * step;
    if (!(beta > 0.5)) break;
    for (int k = 0;; ++k) {
      const double alpha = k * step;
      if (!(alpha < 2.0 * kPi - 1e-8)) break;
      const double value = deviation(alpha, beta);
      if (value < best) {
        best = value;
        bestAlpha = alpha;
        bestBeta = beta;
      }
    }
  }
  double azimuth = bestAlpha + kPi;
  if (azimuth > 2.0 * kPi) azimuth -= 2.0 * kPi;
  return {azimuth / pp.AngleStep, bestBeta / pp.AngleStep};
}

void LevelPanorama(RunState& rs, TRealPoint h) {
  const TProjectionParameters& pp = rs.Projection;
  RequireProjection(pp);
  if (!IsFinite(h)) throw std::runtime_error("Levelling failed: the horizon is not a finite direction");
  if (rs.Geometry.empty()) return;
  const double a = h.X, b = h.Y;
  if (std::fabs(b - pp.QuarterCircle) < 1e-8 / pp.AngleStep) return;  // the normal is vertical

  const auto intoCircle = [&pp](double lon) {
    if (lon < 0.0) lon += pp.FullCircle;
    if (lon > pp.FullCircle) lon -= pp.FullCircle;
    return lon;
  };
  // Turn about the axis through the equator points at azimuth a +- N/4,
  // lowering the point at azimuth a by N/4 - b.
  const TRealPoint p{intoCircle(a + pp.QuarterCircle), 0.0};
  const TRealPoint r{intoCircle(a - pp.QuarterCircle), 0.0};
  const TRealPoint m{intoCircle(a), 0.0};
  const TRealPoint f = p, g = r;
  const TRealPoint t{m.X, b - pp.QuarterCircle};

  Levelling l;
  l.Sp = geom::SphereToStereo(pp, p);
  l.Sr = geom::SphereToStereo(pp, r);
  l.Sf = geom::SphereToStereo(pp, f);
  l.Sg = geom::SphereToStereo(pp, g);
  l.K = geom::CrossRatioConstant(l.Sp, l.Sr, geom::SphereToStereo(pp, m), l.Sf, l.Sg, geom::SphereToStereo(pp, t));

  for (std::size_t i = 0; i < rs.Geometry.size(); ++i) {
    PictureGeometry& pg = rs.Geometry[i];
    for (TConnectionSide* side : {&pg.RightConnection, &pg.LeftConnection}) {
      if (!side->Linked) continue;
      for (TRealPoint& q : side->PanoramaPoints) q = LevelPoint(rs, l, static_cast<int>(i), q);
    }
  }

  rs.Geometry.front().OrientationMap = RotationMap(pp, {p, r, m}, {f, g, t});
  for (std::size_t i = 1; i < rs.Geometry.size(); ++i)
    rs.Geometry[i].OrientationMap = RotationMap(pp, rs.Geometry[i].LeftConnection.AnglePoints,
                                                rs.Geometry[i - 1].RightConnection.PanoramaPoints);
}

}  // namespace vistarium::alignment
