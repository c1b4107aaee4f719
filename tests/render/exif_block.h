#pragma once
// EXIF blocks made by hand, as the standard lays them out, for tests of
// pictures with metadata: the reader is checked against the format rather
// than against a writer of the same library.

#include <cstdint>
#include <utility>
#include <vector>

#include "image/bitmaps.h"
#include "render/picture_file.h"

namespace vistarium::render {

// A little-endian TIFF block for an APP1 "Exif" segment: IFD0 with the
// orientation (and a pointer to the EXIF IFD when it has entries), the EXIF
// IFD with the focal length (rational), its 35 mm equivalent (short) and
// the focal plane resolution (rationals per inch).
struct ExifFields {
  int Orientation = 0;
  double FocalLength = 0;  // 0: absent
  int Focal35 = 0;
  double PlanePerInchX = 0, PlanePerInchY = 0;
};

inline std::vector<std::uint8_t> ExifSegment(const ExifFields& f) {
  struct Entry {
    std::uint16_t Tag, Type;
    std::uint32_t Count, Value;  // value or offset
  };
  std::vector<std::uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
  const auto put16 = [&](std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  const auto put32 = [&](std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>((v >> (8 * k)) & 0xFF));
  };
  std::vector<Entry> ifd0, exif;
  if (f.Orientation) ifd0.push_back({0x0112, 3, 1, static_cast<std::uint32_t>(f.Orientation)});
  std::vector<std::pair<std::uint32_t, std::uint32_t>> rationals;  // stored after the EXIF IFD
  const auto rational = [&](std::uint16_t tag, double v) {
    rationals.push_back({static_cast<std::uint32_t>(v * 1000.0 + 0.5), 1000u});
    exif.push_back({tag, 5, 1, 0});  // offset filled below
  };
  if (f.FocalLength > 0) rational(0x920A, f.FocalLength);
  if (f.PlanePerInchX > 0) {
    rational(0xA20E, f.PlanePerInchX);
    rational(0xA20F, f.PlanePerInchY);
    exif.push_back({0xA210, 3, 1, 2});  // inches
  }
  if (f.Focal35) exif.push_back({0xA405, 3, 1, static_cast<std::uint32_t>(f.Focal35)});
  if (!exif.empty()) ifd0.push_back({0x8769, 4, 1, 0});
  const std::uint32_t ifd0Size = 2 + 12 * static_cast<std::uint32_t>(ifd0.size()) + 4;
  const std::uint32_t exifAt = 8 + ifd0Size;
  const std::uint32_t exifSize = 2 + 12 * static_cast<std::uint32_t>(exif.size()) + 4;
  std::uint32_t dataAt = exifAt + exifSize;
  for (Entry& e : ifd0)
    if (e.Tag == 0x8769) e.Value = exifAt;
  std::size_t r = 0;
  for (Entry& e : exif)
    if (e.Type == 5) e.Value = dataAt + 8 * static_cast<std::uint32_t>(r++);
  const auto writeIfd = [&](const std::vector<Entry>& entries) {
    put16(tiff, static_cast<std::uint16_t>(entries.size()));
    for (const Entry& e : entries) {
      put16(tiff, e.Tag);
      put16(tiff, e.Type);
      put32(tiff, e.Count);
      if (e.Type == 3) {
        put16(tiff, static_cast<std::uint16_t>(e.Value));
        put16(tiff, 0);
      } else {
        put32(tiff, e.Value);
      }
    }
    put32(tiff, 0);
  };
  writeIfd(ifd0);
  if (!exif.empty()) writeIfd(exif);
  for (const auto& [n, d] : rationals) {
    put32(tiff, n);
    put32(tiff, d);
  }
  std::vector<std::uint8_t> segment;
  segment.reserve(10 + tiff.size());
  for (int b : {0xFF, 0xE1, 0, 0, int('E'), int('x'), int('i'), int('f'), 0, 0}) segment.push_back(static_cast<std::uint8_t>(b));
  segment.insert(segment.end(), tiff.begin(), tiff.end());
  const std::size_t length = segment.size() - 2;
  segment[2] = static_cast<std::uint8_t>(length >> 8);
  segment[3] = static_cast<std::uint8_t>(length & 0xFF);
  return segment;
}

// A JPEG of the picture with the EXIF segment right after its start marker.
inline std::vector<std::uint8_t> JpegWithExif(const DeviceBitmap& picture, const ExifFields& f) {
  std::vector<std::uint8_t> jpeg = EncodeJpeg(picture, 95);
  const std::vector<std::uint8_t> segment = ExifSegment(f);
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
  return jpeg;
}

}  // namespace vistarium::render
