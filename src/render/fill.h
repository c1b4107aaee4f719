#pragma once
// Filling the panorama picture by inverse mapping: every panorama pixel is
// looked up in the pictures that cover it, sampled bilinearly, and the
// pictures are cross-faded linearly across their overlaps.
//
// Each fill exists twice: a plain one that visits pixel after pixel as the
// rules read, and a fast one (the default) that spreads blocks of rows over
// all cores and takes per-row and per-column values out of the pixel loop.
// rs.UseReferenceFill selects the plain one.

#include <vector>

#include "run/run_state.h"
#include "run/progress.h"
#include "image/bitmaps.h"

namespace vistarium::render {

// Every picture of the set: those the finding phase kept are taken over
// (rs.KeptPictures is emptied), the others decoded. They must all have the
// set's size.
std::vector<DeviceBitmap> LoadSetPictures(RunState& rs);

// Open panorama: needs the layout with spans clamped to columns.
void FillPlainPanorama(RunState& rs, matching::ProgressUi& ui);
// Full circle: needs the layout with wrapped spans.
void FillCirPanorama(RunState& rs, matching::ProgressUi& ui);

}  // namespace vistarium::render
