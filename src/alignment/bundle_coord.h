#pragma once
// Closure of a full circle: a projective map of the panorama plane that
// keeps two closing points of picture 0 in place and moves the last
// picture's copies of them exactly one turn further.

#include "geom/point.h"

namespace vistarium {

struct RunState;

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

namespace alignment {

// Builds the closure source and target of a full-circle set from the
// levelled panorama points. Throws std::runtime_error with a clear message
// when the closing points cannot define a closure.
void CreateClosureSystems(RunState& rs);
// Identity unless the set closes a circle.
TRealPoint CloseCircle(const RunState& rs, TRealPoint q);
TRealPoint OpenCircle(const RunState& rs, TRealPoint q);

}  // namespace alignment
}  // namespace vistarium
