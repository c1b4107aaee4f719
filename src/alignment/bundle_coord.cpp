#include "alignment/bundle_coord.h"

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "app/run_state.h"

namespace vistarium {

namespace {

TLine Negated(const TLine& l) { return {-l.A, -l.B, -l.D}; }

double Evaluate(const TLine& l, TRealPoint p) { return l.A * p.X + l.B * p.Y + l.D; }

// The line of the pencil spanned by la and lb that passes through p. The
// weights are chosen so that neither exceeds 1, whichever line p is nearer.
TLine PencilThrough(const TLine& la, const TLine& lb, TRealPoint p) {
  const double e1 = Evaluate(la, p), e2 = Evaluate(lb, p);
  double g, h;
  if (std::fabs(e1) > std::fabs(e2)) {
    g = -e2 / e1;
    h = 1.0;
  } else {
    g = 1.0;
    h = -e1 / e2;
  }
  return {g * la.A + h * lb.A, g * la.B + h * lb.B, g * la.D + h * lb.D};
}

}  // namespace

void TBundleSystem::InitSystem(TRealPoint p00, TRealPoint p10, TRealPoint p01, TRealPoint p11) {
  P00 = p00;
  P10 = p10;
  P01 = p01;
  P11 = p11;
  Origin = p00;
  EndU = p10;
  EndV = p01;
  L1 = geom::LineThrough(p00, p10);
  L2 = geom::LineThrough(p01, p11);
  L3 = geom::LineThrough(p00, p01);
  L4 = geom::LineThrough(p10, p11);
  // Opposite sides with normals pointing the same way.
  if (L1.A * L2.A + L1.B * L2.B < 0.0) L2 = Negated(L2);
  if (L3.A * L4.A + L3.B * L4.B < 0.0) L4 = Negated(L4);
  BaseU = L1;
  BaseV = L3;
}

TLine TBundleSystem::PencilLine1(TRealPoint p) const { return PencilThrough(L1, L2, p); }

TLine TBundleSystem::PencilLine2(TRealPoint p) const { return PencilThrough(L3, L4, p); }

TRealPoint TBundleSystem::ToUnitSquare(TRealPoint p) const {
  const TRealPoint x1 = geom::LineIntersection(BaseU, PencilLine2(p));
  const TRealPoint x2 = geom::LineIntersection(BaseV, PencilLine1(p));
  return {(x1.X - Origin.X) / (EndU.X - Origin.X), (x2.Y - Origin.Y) / (EndV.Y - Origin.Y)};
}

TRealPoint TBundleSystem::FromUnitSquare(TRealPoint uv) const {
  const TRealPoint e{Origin.X + uv.X * (EndU.X - Origin.X), Origin.Y + uv.X * (EndU.Y - Origin.Y)};
  const TRealPoint f{Origin.X + uv.Y * (EndV.X - Origin.X), Origin.Y + uv.Y * (EndV.Y - Origin.Y)};
  return geom::LineIntersection(PencilLine1(f), PencilLine2(e));
}

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
