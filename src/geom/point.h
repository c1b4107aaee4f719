#pragma once
// Plane geometry: integer points, complex arithmetic on real pairs, lines and
// the Moebius map fixed by three point pairs. All operations are pure.

#include <cstdint>

namespace vistarium {

// Integer point, used for pixel positions of the working pictures.
struct TPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

// Pair of doubles; also a complex number X + iY.
struct TRealPoint {
  double X = 0.0;
  double Y = 0.0;
  friend bool operator==(const TRealPoint&, const TRealPoint&) = default;
};

// The line A*x + B*y + D = 0.
struct TLine {
  double A = 0.0;
  double B = 0.0;
  double D = 0.0;
};

namespace geom {

// Integer point operations; any sum, difference or product that does not fit
// 32 bits throws NumericOverflow.
TPoint PointAdd(TPoint p, TPoint q);
TPoint PointSub(TPoint p, TPoint q);
TPoint PointMul(TPoint p, TPoint q);  // complex product
std::int32_t PointNormSqr(TPoint p);
TPoint PointConj(TPoint p);
TPoint PointScale(TPoint p, double s);  // each coordinate rounded half to even

// Complex operations.
TRealPoint ComplexSub(TRealPoint a, TRealPoint b);
TRealPoint ComplexMul(TRealPoint a, TRealPoint b);
double ComplexNormSqr(TRealPoint a);
// a / b; (0, 0) when |b|^2 is exactly 0.
TRealPoint ComplexDiv(TRealPoint a, TRealPoint b);

// The similarity (rotation, scaling, shift) that sends p1 to b and p2 to a,
// applied to p3, in exact integer complex arithmetic with one rounding.
TPoint TransferSimilar(TPoint p1, TPoint p2, TPoint p3, TPoint a, TPoint b);

// Normalised line (A^2 + B^2 = 1) through p and q.
TLine LineThrough(TRealPoint p, TRealPoint q);
// Common point of two non-parallel lines (Cramer's rule).
TRealPoint LineIntersection(const TLine& l1, const TLine& l2);

// K = (z3 - z2)(w3 - w1) / ((z3 - z1)(w3 - w2)): stands for the third pair of
// a Moebius map of three points onto three points.
TRealPoint CrossRatioConstant(TRealPoint z1, TRealPoint z2, TRealPoint z3, TRealPoint w1, TRealPoint w2,
                              TRealPoint w3);
// Image of z under the Moebius map sending z1 -> w1, z2 -> w2 and the third
// point (folded into K) onto its target.
TRealPoint MoebiusMap(TRealPoint z, TRealPoint z1, TRealPoint z2, TRealPoint K, TRealPoint w1, TRealPoint w2);

}  // namespace geom
}  // namespace vistarium
