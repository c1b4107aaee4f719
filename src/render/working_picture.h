#pragma once
// Working pictures: small equal-angle views of a picture about its own
// optical axis, on which the matching compares lines of colour samples.
// Cell (i, j) of a working picture stands for the working coordinates
// (i - W', H' - j); a working picture has 2W' + 1 columns and 2H' + 1 rows.

#include "geom/projection.h"
#include "image/bitmaps.h"

namespace vistarium::render {

// Resamples the picture (of the projection's picture size) onto the working
// grid, column by column.
void BuildWorkingPicture(const TProjectionParameters& pp, const DeviceBitmap& source, TColMatrix& target);

// The same from the picture decoded at 1 / `factor` of its size (see
// render::ReducedPicture): each cell samples the reduced picture at the
// full-size position divided by the factor, so that a cell sees the mean of
// the pixels around it instead of a single full-size pixel.
void BuildWorkingPictureFromReduced(const TProjectionParameters& pp, const DeviceBitmap& reduced, int factor,
                                    TColMatrix& target);

// The reduction worth decoding for working pictures: the largest of 1, 2, 4
// and 8 that keeps a reduced pixel within half a working cell.
int WorkingDecodeFactor(const TProjectionParameters& pp);

// Box mean of radius s (0 or 1) clipped at the border, rounded half to even.
// With s = 0 the target equals the source.
void SmoothWorkingPicture(const TColMatrix& source, int s, TColMatrix& target);

void CopyWorkingPicture(const TColMatrix& source, TColMatrix& target);

// The nearest cells at n evenly spaced positions from start to end, both
// included (n >= 2). Throws std::out_of_range for a cell outside the matrix.
TColVector SampleLine(const TColMatrix& m, int n, TPoint start, TPoint end);

}  // namespace vistarium::render
