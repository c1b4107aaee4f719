#include "sample_exif.h"

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "geom/numbers.h"

namespace vistarium::samples {

namespace {

constexpr double kFilmDiagonal = 43.27;  // mm, of the 36 x 24 mm frame
constexpr double kLongerSide = 36.0;     // mm, of the virtual sensor
constexpr ExifByteOrder kOrder = EXIF_BYTE_ORDER_INTEL;

// A new entry of `count` elements of `format` in an IFD; its data is zeroed.
ExifEntry* AddEntry(ExifData* data, ExifIfd ifd, ExifTag tag, ExifFormat format, unsigned long count) {
  ExifMem* mem = exif_mem_new_default();
  ExifEntry* entry = exif_entry_new_mem(mem);
  const unsigned int size = exif_format_get_size(format) * static_cast<unsigned int>(count);
  entry->data = static_cast<unsigned char*>(exif_mem_alloc(mem, size));
  std::memset(entry->data, 0, size);
  entry->size = size;
  entry->tag = tag;
  entry->format = format;
  entry->components = count;
  exif_content_add_entry(data->ifd[ifd], entry);
  exif_mem_unref(mem);
  exif_entry_unref(entry);  // the IFD holds it
  return entry;
}

void AddText(ExifData* data, ExifIfd ifd, ExifTag tag, const std::string& text) {
  ExifEntry* e = AddEntry(data, ifd, tag, EXIF_FORMAT_ASCII, text.size() + 1);
  std::memcpy(e->data, text.c_str(), text.size() + 1);
}

void AddRational(ExifData* data, ExifIfd ifd, ExifTag tag, double value, std::uint32_t denominator) {
  ExifEntry* e = AddEntry(data, ifd, tag, EXIF_FORMAT_RATIONAL, 1);
  exif_set_rational(e->data, kOrder,
                    {static_cast<ExifLong>(std::lround(value * denominator)), static_cast<ExifLong>(denominator)});
}

void AddShort(ExifData* data, ExifIfd ifd, ExifTag tag, int value) {
  ExifEntry* e = AddEntry(data, ifd, tag, EXIF_FORMAT_SHORT, 1);
  exif_set_short(e->data, kOrder, static_cast<ExifShort>(value));
}

}  // namespace

int FocalLengthIn35mmFilm(const SampleCamera& camera) {
  const double longer = std::max(camera.Size.X, camera.Size.Y), shorter = std::min(camera.Size.X, camera.Size.Y);
  const double diagonal = kLongerSide * std::hypot(1.0, shorter / longer);
  return Round(camera.FocalLength * kFilmDiagonal / diagonal);
}

std::vector<std::uint8_t> ExifFor(const SampleCamera& camera) {
  const std::unique_ptr<ExifData, decltype(&exif_data_unref)> data(exif_data_new(), &exif_data_unref);
  if (!data) throw std::runtime_error("no memory for the EXIF data");
  exif_data_set_byte_order(data.get(), kOrder);
  exif_data_set_data_type(data.get(), EXIF_DATA_TYPE_COMPRESSED);
  AddText(data.get(), EXIF_IFD_0, EXIF_TAG_MAKE, "Vistarium");
  AddText(data.get(), EXIF_IFD_0, EXIF_TAG_MODEL, "Sample renderer");
  AddRational(data.get(), EXIF_IFD_EXIF, EXIF_TAG_FOCAL_LENGTH, camera.FocalLength, 100);
  AddShort(data.get(), EXIF_IFD_EXIF, EXIF_TAG_FOCAL_LENGTH_IN_35MM_FILM, FocalLengthIn35mmFilm(camera));
  // The virtual sensor: 36 mm along the longer side, square pixels.
  const double longer = std::max(camera.Size.X, camera.Size.Y);
  const double pixelsPerCentimetre = longer / (kLongerSide / 10.0);
  AddRational(data.get(), EXIF_IFD_EXIF, EXIF_TAG_FOCAL_PLANE_X_RESOLUTION, pixelsPerCentimetre, 1000);
  AddRational(data.get(), EXIF_IFD_EXIF, EXIF_TAG_FOCAL_PLANE_Y_RESOLUTION, pixelsPerCentimetre, 1000);
  AddShort(data.get(), EXIF_IFD_EXIF, EXIF_TAG_FOCAL_PLANE_RESOLUTION_UNIT, 3);  // centimetres
  AddShort(data.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, camera.Size.X);
  AddShort(data.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, camera.Size.Y);
  unsigned char* bytes = nullptr;
  unsigned int size = 0;
  exif_data_save_data(data.get(), &bytes, &size);
  if (!bytes || size == 0) throw std::runtime_error("the EXIF data could not be written");
  std::vector<std::uint8_t> block(bytes, bytes + size);
  std::free(bytes);
  return block;
}

std::vector<std::uint8_t> WithExif(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& exif) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw std::invalid_argument("not a JPEG");
  if (exif.size() + 2 > 0xFFFF) throw std::invalid_argument("the EXIF block is too long for one segment");
  // After the JFIF header (APP0), where one is, else after the start marker.
  std::size_t at = 2;
  if (jpeg[2] == 0xFF && jpeg[3] == 0xE0 && jpeg.size() >= 6) at = 4 + (static_cast<std::size_t>(jpeg[4]) << 8 | jpeg[5]);
  if (at > jpeg.size()) throw std::invalid_argument("not a JPEG");
  const std::size_t length = exif.size() + 2;
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(at));
  out.insert(out.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)});
  out.insert(out.end(), exif.begin(), exif.end());
  out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
  return out;
}

}  // namespace vistarium::samples
