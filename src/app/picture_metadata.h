#pragma once
// Metadata of the files this program writes, read and written with libexiv2.
//
// A saved panorama carries the first picture's EXIF date and time, camera
// maker and model, and GPS position when present, "Vistarium" as the
// software and a description naming the number of pictures, so that photo
// libraries file it with the pictures it was made from. The metadata goes
// into an APP1 segment near the start of the JPEG, so the panorama trailer
// stays the file's last bytes.
//
// A 360 photo carries the Photo Sphere (GPano) XMP tags that photo
// libraries and web viewers look for.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/picture_file.h"

namespace vistarium::app {

// The description of a panorama made of `pictureCount` pictures.
std::string PanoramaDescription(int pictureCount);

// The EXIF segment of a panorama of width x height pixels made of
// `pictures` (left to right): the first picture's EXIF is copied where it
// can be read (a picture without EXIF, or one that cannot be read, only
// leaves those fields out).
render::JpegSegment PanoramaExifSegment(const std::vector<std::string>& pictures, int width, int height);

// The EXIF segment of a picture of width x height pixels derived from
// `file` (a 360 photo from a panorama): the file's date, camera, position,
// software and description; nothing when the file has no EXIF or cannot be
// read.
std::optional<render::JpegSegment> CopiedExifSegment(const std::string& file, int width, int height);

// The Photo Sphere tags of an equirectangular picture: the full sphere's
// size (2:1) and where the picture lies in it.
struct SphereTags {
  int FullWidth = 0, FullHeight = 0;
  int CroppedWidth = 0, CroppedHeight = 0;
  int CroppedLeft = 0, CroppedTop = 0;
  friend bool operator==(const SphereTags&, const SphereTags&) = default;
};

// The XMP segment with ProjectionType equirectangular, UsePanoramaViewer
// True and the sizes above.
render::JpegSegment SphereXmpSegment(const SphereTags& tags);

// What a file's metadata says, as far as this program writes it.
struct PictureMetadata {
  std::string DateTime, Make, Model, Software, Description;  // empty when absent
  bool HasGps = false;
  std::optional<double> Latitude, Longitude;  // degrees, north and east positive
  std::optional<SphereTags> Sphere;           // with ProjectionType equirectangular
};

// Reads the file's EXIF and XMP; empty fields when it has none. Throws
// std::runtime_error naming the file when it cannot be read as a picture.
PictureMetadata ReadPictureMetadata(const std::string& file);

}  // namespace vistarium::app
