#pragma once
// Levelling from the pictures' own axes. A camera turned about the vertical
// keeps its horizontal axis (the picture's rows) level, whatever it was
// tilted up or down: the true vertical is the direction most nearly at
// right angles to every picture's horizontal axis. The plane through
// the picture centres, which the default levelling fits, is the equator
// only when the camera was held level; a camera tilted down puts the
// centres on a small circle, and levelling to the plane through them bends
// the horizon into an arch. With orientations calibrated on all connections
// the axes are known well enough to level by them.

#include "run/run_state.h"

namespace vistarium::alignment {

// The horizon record for LevelPanorama (azimuth opposite the normal,
// elevation, in panorama pixels): the vertical that minimises the squared
// heights of the pictures' horizontal axes above the plane normal to it
// (a camera's tilt, steady or wandering, leaves it alone; its roll does
// not); the plane through the centres settles only what the axes leave
// open (pictures nearly parallel). (0, 0) for a single picture.
TRealPoint FindUprightHorizon(const RunState& rs);

}  // namespace vistarium::alignment
