#pragma once
// The panorama as a 360 photo for other viewers: an equirectangular JPEG
// (longitude along x, latitude along y, the horizon at the middle row of the
// full sphere) with the Photo Sphere (GPano) XMP tags that photo libraries,
// social sites and web viewers look for.
//
// The panorama's own rows are equal-area heights around its horizon row,
// its columns longitude; the trailer's values (or a made panorama's run
// values) say how many columns make a full turn. A full circle becomes the
// whole sphere, 2:1, its rows beyond the panorama's top and bottom in the
// mean colour of the panorama's top and bottom row; an open panorama
// becomes its cropped area, placed with its middle column at the middle of
// the sphere.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/panorama_file.h"
#include "app/picture_metadata.h"
#include "image/bitmaps.h"

namespace vistarium::app {

// What the export needs of a panorama besides its pixels.
struct SphereSource {
  bool Is360 = false;
  double AngleStep = 0.0;        // radians per panorama column
  double PixelsPerRadian = 0.0;  // equal-area rows: height = sin(latitude) * PixelsPerRadian
  double HorizonRow = 0.0;       // panorama row of latitude 0
};

// The source of a panorama file's sound trailer (horizon row: the
// trailer's, else the middle row).
SphereSource SphereSourceFor(const PanoramaTrailer& trailer, int height);

// The full sphere's width that keeps the panorama's resolution at the
// horizon: one column per panorama column, rounded to an even number.
int DefaultSphereWidth(const SphereSource& source);

// Where the photo lies in a full sphere `fullWidth` wide (0: the default
// width). Throws std::invalid_argument for values that cannot make a photo
// (not finite or not positive, an odd or too large width, an empty
// panorama).
SphereTags SpherePhotoLayout(const SphereSource& source, int panoramaWidth, int panoramaHeight, int fullWidth = 0);

// The photo encoded as JPEG (quality 90) with the Photo Sphere tags, the
// extra segments (an EXIF segment, say) and the pixels of `panorama`
// (0x00BBGGRR packed, or 0xAARRGGBB display pixels), made band by band as
// they are encoded. `progress` gets the share done, 0 to 1.
using ExportProgress = std::function<void(double)>;
std::vector<std::uint8_t> EncodeSpherePhoto(const DeviceBitmap& panorama, const SphereSource& source,
                                            const SphereTags& layout, std::vector<render::JpegSegment> segments,
                                            const ExportProgress& progress = {});
std::vector<std::uint8_t> EncodeSpherePhoto(const Bitmap32& panorama, const SphereSource& source,
                                            const SphereTags& layout, std::vector<render::JpegSegment> segments,
                                            const ExportProgress& progress = {});

// The message for a file that cannot be exported: it has no sound trailer.
std::string NotExportableMessage(const std::string& path, const TrailerReading& trailer);

// Writes the 360 photo of a shown panorama (a display picture) to `output`,
// whole or not at all, with the EXIF segment when given. Throws
// std::invalid_argument for values that cannot make a photo and
// render::PictureFileError for a failed write. Returns the layout written.
SphereTags WriteSpherePhoto(const Bitmap32& panorama, const SphereSource& source, const std::string& output,
                            std::vector<render::JpegSegment> segments, int fullWidth = 0,
                            const ExportProgress& progress = {});

// Reads a saved panorama file and writes its 360 photo to `output` (whole
// or not at all), keeping the file's EXIF (date, camera, position). Throws
// std::runtime_error with NotExportableMessage for a file without a sound
// trailer, the errors of OpenPanoramaFile, and render::PictureFileError for
// a failed write. Returns the layout written.
SphereTags ExportSpherePhoto(const std::string& panoramaFile, const std::string& output, int fullWidth = 0,
                             const ExportProgress& progress = {});

}  // namespace vistarium::app
