#include "sample_exif.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "geom/numbers.h"

namespace vistarium::samples {

namespace {

constexpr double kFilmDiagonal = 43.27;  // mm, of the 36 x 24 mm frame
constexpr double kLongerSide = 36.0;     // mm, of the virtual sensor
constexpr std::uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

}  // namespace

int FocalLengthIn35mmFilm(const SampleCamera& camera) {
  const double longer = std::max(camera.Size.X, camera.Size.Y), shorter = std::min(camera.Size.X, camera.Size.Y);
  const double diagonal = kLongerSide * std::hypot(1.0, shorter / longer);
  return Round(camera.FocalLength * kFilmDiagonal / diagonal);
}

render::JpegSegment ExifFor(const SampleCamera& camera) {
  Exiv2::ExifData exif;
  exif["Exif.Image.Make"] = "Vistarium";
  exif["Exif.Image.Model"] = "Sample renderer";
  exif["Exif.Photo.FocalLength"] = Exiv2::URational(static_cast<std::uint32_t>(Round(camera.FocalLength * 100)), 100);
  exif["Exif.Photo.FocalLengthIn35mmFilm"] = static_cast<std::uint16_t>(FocalLengthIn35mmFilm(camera));
  // The virtual sensor: 36 mm along the longer side, square pixels.
  const double longer = std::max(camera.Size.X, camera.Size.Y);
  const auto perCentimetre = Exiv2::URational(static_cast<std::uint32_t>(Round(longer / (kLongerSide / 10.0) * 1000)), 1000);
  exif["Exif.Photo.FocalPlaneXResolution"] = perCentimetre;
  exif["Exif.Photo.FocalPlaneYResolution"] = perCentimetre;
  exif["Exif.Photo.FocalPlaneResolutionUnit"] = static_cast<std::uint16_t>(3);  // centimetres
  exif["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(camera.Size.X);
  exif["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(camera.Size.Y);
  Exiv2::Blob blob;
  Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
  render::JpegSegment segment;
  segment.App = 1;
  segment.Data.resize(sizeof kExifHeader + blob.size());
  std::copy(blob.begin(), blob.end(), std::copy(std::begin(kExifHeader), std::end(kExifHeader), segment.Data.begin()));
  return segment;
}

}  // namespace vistarium::samples
