#include "app/picture_metadata.h"

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string_view>

// The library's headers still use std::auto_ptr, which newer standards deprecate.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

namespace vistarium::app {

namespace {

constexpr std::string_view kExifHeader{"Exif\0\0", 6};
constexpr std::string_view kXmpHeader{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr const char* kSoftware = "Vistarium";

// The library once per process: its XMP toolkit must be set up before
// threads use it, and its warnings (for instance about bytes behind a
// JPEG's end, where the panorama trailer lies) are no business of the user.
void PrepareLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
  });
}

// The file's EXIF; empty when it has none or cannot be read.
Exiv2::ExifData ReadExif(const std::string& file) {
  PrepareLibrary();
  try {
    auto image = Exiv2::ImageFactory::open(file);
    if (!image.get()) return {};
    image->readMetadata();
    return image->exifData();
  } catch (const std::exception&) {
    return {};
  }
}

// Date and time, camera, software, description and the whole GPS group;
// not the orientation or sizes, which belong to the source picture.
bool Kept(const Exiv2::Exifdatum& d) {
  static constexpr std::string_view kKeys[] = {
      "Exif.Image.Make",          "Exif.Image.Model",          "Exif.Image.DateTime",
      "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Photo.SubSecTimeOriginal",
      "Exif.Photo.OffsetTime",    "Exif.Photo.OffsetTimeOriginal", "Exif.Photo.OffsetTimeDigitized",
  };
  const std::string key = d.key();
  for (std::string_view k : kKeys)
    if (key == k) return true;
  return d.groupName() == "GPSInfo";
}

render::JpegSegment Segment(std::string_view header, const std::uint8_t* data, std::size_t size) {
  render::JpegSegment segment;
  segment.App = 1;
  segment.Data.assign(header.begin(), header.end());
  segment.Data.insert(segment.Data.end(), data, data + size);
  return segment;
}

// The segment of `exif` with the picture's size; without the copied fields
// when they would not fit one segment.
render::JpegSegment ExifSegment(const Exiv2::ExifData& source, const std::string& description, bool keepSoftware,
                                int width, int height) {
  auto build = [&](bool copy) {
    Exiv2::ExifData out;
    if (copy)
      for (const Exiv2::Exifdatum& d : source)
        if (Kept(d)) out.add(d);
    const auto software = source.findKey(Exiv2::ExifKey("Exif.Image.Software"));
    const auto described = source.findKey(Exiv2::ExifKey("Exif.Image.ImageDescription"));
    out["Exif.Image.Software"] = keepSoftware && software != source.end() ? software->toString() : kSoftware;
    if (!description.empty())
      out["Exif.Image.ImageDescription"] = description;
    else if (described != source.end())
      out["Exif.Image.ImageDescription"] = described->toString();
    out["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(width);
    out["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(height);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, out);
    return blob;
  };
  Exiv2::Blob blob = build(true);
  if (blob.size() + kExifHeader.size() > render::kMaxJpegSegmentBytes) blob = build(false);
  return Segment(kExifHeader, blob.data(), blob.size());
}

std::string Text(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : it->toString();
}

// Degrees from the three rationals of a GPS coordinate and its reference.
std::optional<double> Coordinate(const Exiv2::ExifData& exif, const char* key, const char* refKey, char negative) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end() || it->count() < 3) return std::nullopt;
  double degrees = 0.0, unit = 1.0;
  for (long k = 0; k < 3; ++k, unit /= 60.0) {
    const Exiv2::Rational r = it->toRational(k);
    if (r.second == 0) return std::nullopt;
    degrees += unit * r.first / r.second;
  }
  const std::string ref = Text(exif, refKey);
  return !ref.empty() && ref[0] == negative ? -degrees : degrees;
}

std::optional<int> XmpInteger(const Exiv2::XmpData& xmp, const char* key) {
  const auto it = xmp.findKey(Exiv2::XmpKey(key));
  if (it == xmp.end()) return std::nullopt;
  return static_cast<int>(it->toLong());
}

}  // namespace

std::string PanoramaDescription(int pictureCount) {
  return "Panorama of " + std::to_string(pictureCount) + (pictureCount == 1 ? " picture" : " pictures");
}

render::JpegSegment PanoramaExifSegment(const std::vector<std::string>& pictures, int width, int height) {
  const Exiv2::ExifData first = pictures.empty() ? Exiv2::ExifData() : ReadExif(pictures.front());
  return ExifSegment(first, PanoramaDescription(static_cast<int>(pictures.size())), false, width, height);
}

std::optional<render::JpegSegment> CopiedExifSegment(const std::string& file, int width, int height) {
  const Exiv2::ExifData exif = ReadExif(file);
  if (exif.empty()) return std::nullopt;
  return ExifSegment(exif, {}, true, width, height);
}

render::JpegSegment SphereXmpSegment(const SphereTags& tags) {
  PrepareLibrary();
  Exiv2::XmpData xmp;
  xmp["Xmp.GPano.ProjectionType"] = "equirectangular";
  xmp["Xmp.GPano.UsePanoramaViewer"] = "True";
  xmp["Xmp.GPano.FullPanoWidthPixels"] = static_cast<std::int32_t>(tags.FullWidth);
  xmp["Xmp.GPano.FullPanoHeightPixels"] = static_cast<std::int32_t>(tags.FullHeight);
  xmp["Xmp.GPano.CroppedAreaImageWidthPixels"] = static_cast<std::int32_t>(tags.CroppedWidth);
  xmp["Xmp.GPano.CroppedAreaImageHeightPixels"] = static_cast<std::int32_t>(tags.CroppedHeight);
  xmp["Xmp.GPano.CroppedAreaLeftPixels"] = static_cast<std::int32_t>(tags.CroppedLeft);
  xmp["Xmp.GPano.CroppedAreaTopPixels"] = static_cast<std::int32_t>(tags.CroppedTop);
  std::string packet;
  if (Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::useCompactFormat) != 0)
    throw std::runtime_error("The Photo Sphere tags cannot be written");
  return Segment(kXmpHeader, reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
}

PictureMetadata ReadPictureMetadata(const std::string& file) {
  PrepareLibrary();
  PictureMetadata m;
  Exiv2::ExifData exif;
  Exiv2::XmpData xmp;
  try {
    auto image = Exiv2::ImageFactory::open(file);
    if (!image.get()) throw std::runtime_error("unknown picture format");
    image->readMetadata();
    exif = image->exifData();
    xmp = image->xmpData();
  } catch (const std::exception& e) {
    throw std::runtime_error("Cannot read the metadata of \"" + file + "\": " + e.what());
  }
  m.DateTime = Text(exif, "Exif.Photo.DateTimeOriginal");
  if (m.DateTime.empty()) m.DateTime = Text(exif, "Exif.Image.DateTime");
  m.Make = Text(exif, "Exif.Image.Make");
  m.Model = Text(exif, "Exif.Image.Model");
  m.Software = Text(exif, "Exif.Image.Software");
  m.Description = Text(exif, "Exif.Image.ImageDescription");
  for (const Exiv2::Exifdatum& d : exif)
    if (d.groupName() == "GPSInfo") m.HasGps = true;
  m.Latitude = Coordinate(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", 'S');
  m.Longitude = Coordinate(exif, "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSLongitudeRef", 'W');
  const auto projection = xmp.findKey(Exiv2::XmpKey("Xmp.GPano.ProjectionType"));
  if (projection != xmp.end() && projection->toString() == "equirectangular") {
    SphereTags t;
    t.FullWidth = XmpInteger(xmp, "Xmp.GPano.FullPanoWidthPixels").value_or(0);
    t.FullHeight = XmpInteger(xmp, "Xmp.GPano.FullPanoHeightPixels").value_or(0);
    t.CroppedWidth = XmpInteger(xmp, "Xmp.GPano.CroppedAreaImageWidthPixels").value_or(0);
    t.CroppedHeight = XmpInteger(xmp, "Xmp.GPano.CroppedAreaImageHeightPixels").value_or(0);
    t.CroppedLeft = XmpInteger(xmp, "Xmp.GPano.CroppedAreaLeftPixels").value_or(0);
    t.CroppedTop = XmpInteger(xmp, "Xmp.GPano.CroppedAreaTopPixels").value_or(0);
    m.Sphere = t;
  }
  return m;
}

}  // namespace vistarium::app
