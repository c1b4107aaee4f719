#include "render/picture_metadata.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>

#include "params/file_access.h"

namespace vistarium::render {

namespace {

const Exiv2::Exifdatum* Find(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end() || it->count() == 0) return nullptr;
  return &*it;
}

std::optional<double> PositiveNumber(const Exiv2::ExifData& exif, const char* key) {
  const Exiv2::Exifdatum* d = Find(exif, key);
  if (!d) return std::nullopt;
  const Exiv2::Rational r = d->toRational(0);
  if (r.second == 0) return std::nullopt;
  const double v = static_cast<double>(r.first) / r.second;
  if (!(v > 0.0) || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int> PositiveInteger(const Exiv2::ExifData& exif, const char* key) {
  const Exiv2::Exifdatum* d = Find(exif, key);
  if (!d) return std::nullopt;
  const long v = d->toLong(0);
  if (v <= 0 || v > 1'000'000) return std::nullopt;
  return static_cast<int>(v);
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == '\0')) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && std::isspace(static_cast<unsigned char>(s[start]))) ++start;
  return s.substr(start);
}

std::string Text(const Exiv2::ExifData& exif, const char* key) {
  const Exiv2::Exifdatum* d = Find(exif, key);
  return d ? Trimmed(d->toString()) : std::string();
}

PictureMetadata FromExif(const Exiv2::ExifData& exif) {
  PictureMetadata m;
  if (const auto o = PositiveInteger(exif, "Exif.Image.Orientation"); o && *o >= 1 && *o <= 8) m.Orientation = *o;
  m.FocalLength = PositiveNumber(exif, "Exif.Photo.FocalLength");
  if (const auto f = PositiveInteger(exif, "Exif.Photo.FocalLengthIn35mmFilm")) m.FocalLength35mm = *f;
  // Resolution units: 2 inch, 3 centimetre (the standard's), 4 millimetre
  // and 5 micrometre (written by some makers).
  double mmPerUnit = 25.4;
  if (const auto unit = PositiveInteger(exif, "Exif.Photo.FocalPlaneResolutionUnit")) {
    if (*unit == 3) mmPerUnit = 10.0;
    else if (*unit == 4) mmPerUnit = 1.0;
    else if (*unit == 5) mmPerUnit = 0.001;
  }
  if (const auto x = PositiveNumber(exif, "Exif.Photo.FocalPlaneXResolution")) m.FocalPlaneXPerMm = *x / mmPerUnit;
  if (const auto y = PositiveNumber(exif, "Exif.Photo.FocalPlaneYResolution")) m.FocalPlaneYPerMm = *y / mmPerUnit;
  m.RecordedWidth = PositiveInteger(exif, "Exif.Photo.PixelXDimension");
  m.RecordedHeight = PositiveInteger(exif, "Exif.Photo.PixelYDimension");
  m.Make = Text(exif, "Exif.Image.Make");
  m.Model = Text(exif, "Exif.Image.Model");
  return m;
}

template <typename Open>
PictureMetadata Read(Open open) {
  PrepareMetadataLibrary();
  const std::lock_guard<std::mutex> hold(MetadataLibraryLock());
  try {
    Exiv2::Image::AutoPtr image = open();
    if (!image.get()) return {};
    image->readMetadata();
    return FromExif(image->exifData());
  } catch (const std::exception&) {
    // Exiv2::Error, and anything a damaged block makes the reader throw.
    return {};
  }
}

}  // namespace

void PrepareMetadataLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
  });
}

std::mutex& MetadataLibraryLock() {
  static std::mutex lock;
  return lock;
}

PictureMetadata ReadExifBlock(std::span<const std::uint8_t> tiff) {
  if (tiff.size() < 8 || tiff.size() > 0xFFFFu) return {};
  PrepareMetadataLibrary();
  const std::lock_guard<std::mutex> hold(MetadataLibraryLock());
  try {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(tiff.data()),
                              static_cast<std::uint32_t>(tiff.size()));
    return FromExif(exif);
  } catch (const std::exception&) {
    return {};
  }
}

PictureMetadata ReadPictureMetadata(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4 || bytes.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) return {};
  return Read([&] {
    return Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()), static_cast<long>(bytes.size()));
  });
}

PictureMetadata ReadPictureMetadataFile(const std::string& path) {
  // Read as the decoders read: a regular file only, never a named pipe or
  // a device that would keep the reader waiting.
  std::string bytes;
  try {
    bytes = params::ReadRegularFile(path);
  } catch (const std::exception&) {
    return {};
  }
  return ReadPictureMetadata(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

double FocalLengthFromMetadata(const PictureMetadata& m, int width, int height) {
  // The diagonal of 36 x 24 mm film, on which makers state 35 mm equivalents.
  const double filmDiagonal = std::hypot(36.0, 24.0);
  // The smallest and largest sensors (longer side) of cameras: below the
  // smallest phone sensors, a focal-plane resolution belongs to a picture
  // reduced after the camera wrote it; above medium format, to nothing real.
  constexpr double kSmallestSensorSide = 3.0, kLargestSensorSide = 60.0;
  const double longer = std::max(width, height), shorter = std::min(width, height);
  if (!(longer > 0.0)) return 0.0;
  if (m.FocalLength35mm) return *m.FocalLength35mm * 36.0 / filmDiagonal * std::hypot(longer, shorter) / longer;
  if (!m.FocalLength || !m.FocalPlaneXPerMm || !m.FocalPlaneYPerMm) return 0.0;
  // The sensor's sides: the picture size the camera recorded (the stored
  // picture's x and y, before any turning upright) over the sensor pixels
  // per millimetre.
  const bool storedLandscape = (width >= height) == (m.Orientation < 5);
  const double recordedX = m.RecordedWidth ? *m.RecordedWidth : storedLandscape ? longer : shorter;
  const double recordedY = m.RecordedHeight ? *m.RecordedHeight : storedLandscape ? shorter : longer;
  const double sensorLonger = std::max(recordedX / *m.FocalPlaneXPerMm, recordedY / *m.FocalPlaneYPerMm);
  if (!(sensorLonger >= kSmallestSensorSide && sensorLonger <= kLargestSensorSide)) return 0.0;
  return *m.FocalLength * 36.0 / sensorLonger;
}

std::string CameraName(const PictureMetadata& m) {
  if (m.Model.empty()) return m.Make;
  if (m.Make.empty()) return m.Model;
  // Makers often repeat their name at the start of the model, in any case.
  std::string make = m.Make, model = m.Model;
  const auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  const std::string firstWord = lower(make.substr(0, make.find(' ')));
  if (lower(model).starts_with(firstWord)) return model;
  return make + " " + model;
}

}  // namespace vistarium::render
