#pragma once
// The crop of the panorama: which part of the panorama frame the picture
// shows. The layout's own extent is the band that every picture covers
// (PlainExtent, CircleExtent); two other choices keep more of the pictures:
// the largest rectangle without empty pixels, and the whole frame of every
// picture with the empty pixels black. All keep the layout's conventions
// (column u is longitude Left + u, row v equal-area height Top - v), so the
// fills, the horizon row (Top) and the browser need nothing else.

#include <vector>

#include "run/run_state.h"

namespace vistarium::alignment {

// Picture i's border as a closed polygon of (longitude, equal-area height)
// points in panorama pixels of the layout's scale, pixel centres along the border (one point
// every few pixels), longitudes continuous around it.
std::vector<TRealPoint> PictureOutline(const RunState& rs, int i);

// Applies rs.Crop after PlainExtent or CircleExtent: Common keeps their
// extent; All takes every picture whole (a full circle stays one turn
// wide); Largest takes the largest rectangle that the pictures cover
// without a gap, one pixel inside their borders (for a full circle: the
// highest band of rows that the pictures cover all round). Needs the
// orientation and, for a full circle, the closure.
void ChooseCrop(RunState& rs);

}  // namespace vistarium::alignment
