#pragma once
// Closure of a full circle: a projective map of the panorama plane that
// keeps two closing points of picture 0 in place and moves the last
// picture's copies of them exactly one turn further.

#include "geom/bundle_system.h"
#include "geom/point.h"

namespace vistarium {

struct RunState;

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
