#include "alignment/bundle_coord.h"

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "run/run_state.h"

namespace vistarium {

namespace alignment {

namespace {

[[noreturn]] void CannotClose(const std::string& reason) {
  throw std::runtime_error("The circle cannot be closed: " + reason);
}

bool IsFinite(TRealPoint p) { return std::isfinite(p.X) && std::isfinite(p.Y); }

double Distance(TRealPoint a, TRealPoint b) { return std::hypot(a.X - b.X, a.Y - b.Y); }

// |sine| of the angle at corner c between the sides towards a and b.
double CornerSine(TRealPoint c, TRealPoint a, TRealPoint b) {
  const double ux = a.X - c.X, uy = a.Y - c.Y, vx = b.X - c.X, vy = b.Y - c.Y;
  return std::fabs(ux * vy - uy * vx) / (std::hypot(ux, uy) * std::hypot(vx, vy));
}

// Rejects quadrilaterals that define no projective system: coinciding
// corners, three corners on one line, and (as the final word) any corner that
// does not come out of the system's own coordinates as it went in.
void CheckQuadrilateral(const TBundleSystem& s, double tolerance, const char* which) {
  const std::array<TRealPoint, 4> corners{s.P00, s.P10, s.P01, s.P11};
  const std::array<TRealPoint, 4> unit{TRealPoint{0, 0}, TRealPoint{1, 0}, TRealPoint{0, 1}, TRealPoint{1, 1}};
  // Going round the quadrilateral: P00, P10, P11, P01.
  const std::array<TRealPoint, 4> ring{s.P00, s.P10, s.P11, s.P01};
  for (std::size_t k = 0; k < 4; ++k) {
    const double sine = CornerSine(ring[k], ring[(k + 3) % 4], ring[(k + 1) % 4]);
    if (!(sine >= 1e-9)) CannotClose(std::string("three corners of the ") + which + " quadrilateral lie on one line");
  }
  for (std::size_t k = 0; k < 4; ++k) {
    const TRealPoint uv = s.ToUnitSquare(corners[k]);
    const TRealPoint back = s.FromUnitSquare(unit[k]);
    if (!IsFinite(uv) || !IsFinite(back) || Distance(uv, unit[k]) > 1e-6 || Distance(back, corners[k]) > tolerance)
      CannotClose(std::string("the ") + which + " quadrilateral defines no coordinate system");
  }
}

void RequireClosure(const RunState& rs) {
  const TLine& l = rs.ClosureSource.L1;
  if (l.A == 0.0 && l.B == 0.0) throw std::logic_error("The circle closure has not been built");
}

}  // namespace

void CreateClosureSystems(RunState& rs) {
  if (!rs.PictureSet.Is360) return;
  const double n = rs.Projection.FullCircle;
  if (!(n > 0.0)) throw std::logic_error("The circle closure needs the projection parameters of the run");
  if (rs.Geometry.empty()) CannotClose("there are no pictures");
  const PictureGeometry& first = rs.Geometry.front();
  const PictureGeometry& last = rs.Geometry.back();
  if (!first.LeftConnection.Linked || !last.RightConnection.Linked)
    CannotClose("the last picture is not connected to the first");

  const TRealPoint p00 = first.LeftConnection.PanoramaPoints[0];
  const TRealPoint p01 = first.LeftConnection.PanoramaPoints[1];
  const TRealPoint p10 = last.RightConnection.PanoramaPoints[0];
  const TRealPoint p11 = last.RightConnection.PanoramaPoints[1];
  if (!IsFinite(p00) || !IsFinite(p01) || !IsFinite(p10) || !IsFinite(p11))
    CannotClose("a closing point is not a finite number");

  // Points closer than a millionth of a turn count as one point.
  const double tolerance = 1e-6 * n;
  if (Distance(p00, p10) <= tolerance) CannotClose("the two copies of the first closing point coincide");
  if (Distance(p01, p11) <= tolerance) CannotClose("the two copies of the second closing point coincide");
  if (Distance(p00, p01) <= tolerance) CannotClose("the two closing points of the first picture coincide");
  if (Distance(p10, p11) <= tolerance) CannotClose("the two closing points of the last picture coincide");

  TBundleSystem source, target;
  source.InitSystem(p00, p10, p01, p11);
  target.InitSystem(p00, {p00.X + n, p00.Y}, p01, {p01.X + n, p01.Y});
  CheckQuadrilateral(source, tolerance, "chained");
  CheckQuadrilateral(target, tolerance, "closed");
  rs.ClosureSource = source;
  rs.ClosureTarget = target;
}

TRealPoint CloseCircle(const RunState& rs, TRealPoint q) {
  if (!rs.PictureSet.Is360) return q;
  RequireClosure(rs);
  return rs.ClosureTarget.FromUnitSquare(rs.ClosureSource.ToUnitSquare(q));
}

TRealPoint OpenCircle(const RunState& rs, TRealPoint q) {
  if (!rs.PictureSet.Is360) return q;
  RequireClosure(rs);
  return rs.ClosureSource.FromUnitSquare(rs.ClosureTarget.ToUnitSquare(q));
}

}  // namespace alignment
}  // namespace vistarium
