#include "geom/bundle_system.h"

#include <cmath>

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

}  // namespace vistarium
