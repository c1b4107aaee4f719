#pragma once
// A projective coordinate system of the plane given by a quadrilateral, as
// the closure of a full circle uses it.

#include "geom/point.h"

namespace vistarium {

// A projective coordinate system given by a quadrilateral: P00 -> (0, 0),
// P10 -> (1, 0), P01 -> (0, 1), P11 -> (1, 1).
class TBundleSystem {
public:
  void InitSystem(TRealPoint p00, TRealPoint p10, TRealPoint p01, TRealPoint p11);
  TLine PencilLine1(TRealPoint p) const;
  TLine PencilLine2(TRealPoint p) const;
  TRealPoint ToUnitSquare(TRealPoint p) const;
  TRealPoint FromUnitSquare(TRealPoint uv) const;

  TRealPoint P00, P10, P01, P11;
  TRealPoint Origin, EndU, EndV;
  TLine L1, L2, L3, L4;
  TLine BaseU, BaseV;
};

}  // namespace vistarium
