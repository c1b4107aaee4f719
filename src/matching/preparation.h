#pragma once
// Preparation of a finding phase: the snapshot of the picture set and the
// parameters, the projection of the camera, the size of the working pictures
// and the per-picture geometry array, and the working picture of one picture.

#include <string>

#include "run/run_state.h"
#include "params/parameter_sets.h"
#include "image/bitmaps.h"

namespace vistarium::matching {

// Copies the picture set and the three parameter sets into the run state.
void TakeRunSnapshot(RunState& rs, const TPictureSetData& pictures, const params::ParameterSets& parameters);

// Throws std::invalid_argument with a one-line message naming the first
// parameter of the snapshot that the matching cannot work with.
void ValidateRunParameters(const RunState& rs);

// Projection values from the first picture's size and the camera, the
// reduction of the working grid, WorkingHalfSize and a new geometry array.
void SetUpProjection(RunState& rs);

// The projection values for another camera on the same pictures (the size
// stays), with the working grid that follows from it; `exactInverse` as
// TProjectionParameters::ExactAberrationInverse.
void SetProjectionForCamera(RunState& rs, double focalLength, double aberration, bool exactInverse);

// After a calibration: the projection of the calibrated camera (with the
// exact inverse of its aberration, as it was fitted), and the
// angle and working forms of every matched point recomputed from its
// picture pixels. Nothing happens without a calibration.
void UseCalibratedCamera(RunState& rs);

// Decodes picture p into `source` (reused between calls), builds its working
// picture into rs.RawWorking and smooths that into `target`.
void PrepareWorkingPicture(RunState& rs, int p, DeviceBitmap& source, TColMatrix& target);
// The same for picture p already decoded into `source`.
void PrepareDecodedWorkingPicture(RunState& rs, int p, const DeviceBitmap& source, TColMatrix& target);

}  // namespace vistarium::matching
