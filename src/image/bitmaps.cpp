#include "image/bitmaps.h"

#include <limits>

#include "geom/numbers.h"

namespace vistarium {

std::size_t CheckedPixelCount(int width, int height, int channels) {
  if (width < 0 || height < 0 || channels < 0) throw NumericOverflow("Negative picture size");
  const auto n = static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) *
                 static_cast<unsigned long long>(channels);
  if (n > static_cast<unsigned long long>(std::numeric_limits<std::ptrdiff_t>::max() / 8))
    throw NumericOverflow("Picture size too large");
  return static_cast<std::size_t>(n);
}

DeviceBitmap::DeviceBitmap(int width, int height)
    : Width(width), Height(height), Pixels(CheckedPixelCount(width, height), 0) {}

void Bitmap32::SetSize(int width, int height) {
  if (width == Width && height == Height && Pixels.size() == CheckedPixelCount(width, height)) return;
  Pixels.assign(CheckedPixelCount(width, height), 0xFF000000u);
  Width = width;
  Height = height;
}

TColMatrix::TColMatrix(int columns, int rows)
    : Columns(columns), Rows(rows), Values(CheckedPixelCount(columns, rows, 3), 0) {}

}  // namespace vistarium
