#pragma once
// Filling the panorama picture by inverse mapping: every panorama pixel is
// looked up in the pictures that cover it, sampled bilinearly, and the
// pictures are cross-faded linearly across their overlaps.
//
// Each fill exists twice: a plain one that holds every picture and visits
// pixel after pixel as the rules read, and the fast one of band_fill.h (the
// default), which makes the panorama in bands of rows on all cores and
// agrees with the plain one within the bound stated there.
// rs.UseReferenceFill selects the plain one.

#include <vector>

#include "run/run_state.h"
#include "run/progress.h"
#include "image/bitmaps.h"

namespace vistarium::render {

// Every picture of the set, decoded whole (for the plain fills). They must
// all have the set's size.
std::vector<DeviceBitmap> LoadSetPictures(const RunState& rs);

// Open panorama: needs the layout with spans clamped to columns.
void FillPlainPanorama(RunState& rs, matching::ProgressUi& ui);
// Full circle: needs the layout with wrapped spans.
void FillCirPanorama(RunState& rs, matching::ProgressUi& ui);

}  // namespace vistarium::render
