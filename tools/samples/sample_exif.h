#pragma once
// The camera of a rendered set written into each picture as EXIF, the way a
// real camera writes it, so that a reader of EXIF finds the lens the set was
// rendered with: the focal length on a virtual sensor whose longer side is
// 36 mm (so that it equals the program's own focal length), that sensor's
// resolution, and the 35 mm equivalent in the makers' diagonal convention.

#include "render/picture_file.h"
#include "sample_geometry.h"

namespace vistarium::samples {

// The 35 mm equivalent focal length (diagonal convention, 43.27 mm) of a
// camera whose focal length spans 36 mm on the picture's longer side:
// F x 43.27 / (36 x the diagonal / the longer side), rounded as EXIF stores it.
int FocalLengthIn35mmFilm(const SampleCamera& camera);

// The EXIF segment (APP1: "Exif\0\0" and the TIFF structure) for the camera:
// Make, Model, FocalLength, FocalLengthIn35mmFilm, the focal plane resolution
// in pixels per centimetre and the picture's size.
render::JpegSegment ExifFor(const SampleCamera& camera);

}  // namespace vistarium::samples
