#include "geom/point.h"

#include <cmath>
#include <stdexcept>

#include "geom/numbers.h"

namespace vistarium::geom {

TPoint PointAdd(TPoint p, TPoint q) { return {CheckedAdd(p.X, q.X), CheckedAdd(p.Y, q.Y)}; }

TPoint PointSub(TPoint p, TPoint q) { return {CheckedSub(p.X, q.X), CheckedSub(p.Y, q.Y)}; }

TPoint PointMul(TPoint p, TPoint q) {
  return {CheckedSub(CheckedMul(p.X, q.X), CheckedMul(p.Y, q.Y)),
          CheckedAdd(CheckedMul(p.X, q.Y), CheckedMul(p.Y, q.X))};
}

std::int32_t PointNormSqr(TPoint p) { return CheckedAdd(CheckedMul(p.X, p.X), CheckedMul(p.Y, p.Y)); }

TPoint PointConj(TPoint p) { return {p.X, CheckedNeg(p.Y)}; }

TPoint PointScale(TPoint p, double s) {
  return {Round(static_cast<double>(p.X) * s), Round(static_cast<double>(p.Y) * s)};
}

TRealPoint ComplexSub(TRealPoint a, TRealPoint b) { return {a.X - b.X, a.Y - b.Y}; }

TRealPoint ComplexMul(TRealPoint a, TRealPoint b) { return {a.X * b.X - a.Y * b.Y, a.X * b.Y + b.X * a.Y}; }

double ComplexNormSqr(TRealPoint a) { return a.X * a.X + a.Y * a.Y; }

TRealPoint ComplexDiv(TRealPoint a, TRealPoint b) {
  const double n = ComplexNormSqr(b);
  if (n == 0.0) return {0.0, 0.0};
  return {(a.X * b.X + a.Y * b.Y) / n, (a.Y * b.X - a.X * b.Y) / n};
}

TPoint TransferSimilar(TPoint p1, TPoint p2, TPoint p3, TPoint a, TPoint b) {
  const TPoint d = PointSub(p2, p1);
  const TPoint numerator = PointMul(PointMul(PointSub(a, b), PointSub(p3, p1)), PointConj(d));
  const std::int32_t n = PointNormSqr(d);
  // Coinciding p1 and p2 define no similarity: an error, like any other
  // result that cannot be represented.
  if (n == 0) throw NumericOverflow("Division by zero in similarity transfer: the two points coincide");
  const TPoint shifted = PointScale(numerator, 1.0 / static_cast<double>(n));
  return PointAdd(shifted, b);
}

TLine LineThrough(TRealPoint p, TRealPoint q) {
  const double x1 = p.X, y1 = p.Y, x2 = q.X, y2 = q.Y;
  const double e = x1 * y2 - x2 * y1;
  TLine l;
  if (std::fabs(e) <= 1e-6) {
    // Through the origin: take the line through the origin and p. The branch
    // is chosen by comparing p's first coordinate with q's second one; when
    // that choice would divide by zero the other branch is taken, and when p
    // is the origin itself the line is taken through q, so a defined line
    // never comes out as NaN.
    double px = x1, py = y1;
    if (px == 0.0 && py == 0.0) {
      px = x2;
      py = y2;
    }
    if (px == 0.0 && py == 0.0) throw std::invalid_argument("No line is defined by two points at the origin");
    bool unitB = std::fabs(x1) >= std::fabs(y2);
    if (unitB && px == 0.0) unitB = false;
    if (!unitB && py == 0.0) unitB = true;
    l.D = 0.0;
    if (unitB) {
      l.B = 1.0;
      l.A = -py / px;
    } else {
      l.A = 1.0;
      l.B = -px / py;
    }
  } else {
    l.D = -1.0;
    l.A = (y2 - y1) / e;
    l.B = (x1 - x2) / e;
  }
  const double h = std::sqrt(l.A * l.A + l.B * l.B);
  l.A /= h;
  l.B /= h;
  l.D /= h;
  return l;
}

TRealPoint LineIntersection(const TLine& l1, const TLine& l2) {
  const double g = l1.B * l2.A - l2.B * l1.A;
  return {(l1.D * l2.B - l1.B * l2.D) / g, (l1.A * l2.D - l1.D * l2.A) / g};
}

TRealPoint CrossRatioConstant(TRealPoint z1, TRealPoint z2, TRealPoint z3, TRealPoint w1, TRealPoint w2,
                              TRealPoint w3) {
  const TRealPoint num = ComplexMul(ComplexSub(z3, z2), ComplexSub(w3, w1));
  const TRealPoint den = ComplexMul(ComplexSub(z3, z1), ComplexSub(w3, w2));
  return ComplexDiv(num, den);
}

TRealPoint MoebiusMap(TRealPoint z, TRealPoint z1, TRealPoint z2, TRealPoint K, TRealPoint w1, TRealPoint w2) {
  if (std::fabs(z.X - z1.X) + std::fabs(z.Y - z1.Y) < 1e-8) return w1;
  if (std::fabs(z.X - z2.X) + std::fabs(z.Y - z2.Y) < 1e-8) return w2;
  const TRealPoint k = ComplexMul(K, ComplexDiv(ComplexSub(z, z1), ComplexSub(z, z2)));
  const TRealPoint one{1.0, 0.0};
  return ComplexDiv(ComplexSub(ComplexMul(k, w2), w1), ComplexSub(k, one));
}

}  // namespace vistarium::geom
