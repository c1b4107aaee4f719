#pragma once
// Pictures that a camera stored turned or mirrored (a phone held upright
// writes its pictures sideways and says so in the EXIF orientation) are
// turned to stand upright right after decoding, so that every later step,
// thumbnails, matching, refinement, gains, fill and the adjustment window,
// sees them as the photographer did.

#include <cstdint>
#include <vector>

#include "image/bitmaps.h"

namespace vistarium::render {

// Whether the orientation (EXIF 1 to 8) exchanges width and height: 5 to 8.
bool OrientationSwapsSides(int orientation);
// Whether the upright picture's x (or y) axis runs against the stored
// picture's axis it comes from: x for 2, 3, 6 and 7; y for 3, 4, 7 and 8.
bool OrientationReversesX(int orientation);
bool OrientationReversesY(int orientation);

// The picture as it is meant to be seen, for an EXIF orientation of 1 to 8
// (2 mirrored left-right, 3 turned half round, 4 mirrored top-bottom,
// 5 mirrored along the main diagonal, 6 to be turned a quarter clockwise,
// 7 mirrored along the other diagonal, 8 to be turned a quarter
// anticlockwise). Any other value leaves the picture as stored.
DeviceBitmap UprightPicture(DeviceBitmap stored, int orientation);

// The same for one value a pixel (a grey picture) of width x height as
// stored, row after row; the upright picture's size follows from
// OrientationSwapsSides.
std::vector<std::uint8_t> UprightValues(std::vector<std::uint8_t> stored, int width, int height, int orientation);

}  // namespace vistarium::render
