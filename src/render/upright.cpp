#include "render/upright.h"

#include <cstddef>
#include <utility>

namespace vistarium::render {

namespace {

// The pixels of a w x h picture stored row after row, turned upright.
template <typename Pixel>
std::vector<Pixel> Turned(const std::vector<Pixel>& stored, int w, int h, int orientation) {
  const bool swap = OrientationSwapsSides(orientation);
  const int width = swap ? h : w, height = swap ? w : h;
  std::vector<Pixel> out(stored.size());
  // The stored pixel shown at upright position (x, y).
  const auto source = [&](int x, int y) -> std::pair<int, int> {
    switch (orientation) {
      case 2: return {w - 1 - x, y};
      case 3: return {w - 1 - x, h - 1 - y};
      case 4: return {x, h - 1 - y};
      case 5: return {y, x};
      case 6: return {y, h - 1 - x};
      case 7: return {w - 1 - y, h - 1 - x};
      default: return {w - 1 - y, x};  // 8
    }
  };
#pragma omp parallel for schedule(static)
  for (int y = 0; y < height; ++y) {
    Pixel* row = &out[static_cast<std::size_t>(y) * static_cast<std::size_t>(width)];
    for (int x = 0; x < width; ++x) {
      const auto [sx, sy] = source(x, y);
      row[x] = stored[static_cast<std::size_t>(sy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(sx)];
    }
  }
  return out;
}

bool Turns(int orientation) { return orientation >= 2 && orientation <= 8; }

}  // namespace

bool OrientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }
bool OrientationReversesX(int orientation) {
  return orientation == 2 || orientation == 3 || orientation == 6 || orientation == 7;
}
bool OrientationReversesY(int orientation) {
  return orientation == 3 || orientation == 4 || orientation == 7 || orientation == 8;
}

DeviceBitmap UprightPicture(DeviceBitmap stored, int orientation) {
  if (!Turns(orientation)) return stored;
  DeviceBitmap out;
  const bool swap = OrientationSwapsSides(orientation);
  out.Width = swap ? stored.Height : stored.Width;
  out.Height = swap ? stored.Width : stored.Height;
  out.Pixels = Turned(stored.Pixels, stored.Width, stored.Height, orientation);
  return out;
}

std::vector<std::uint8_t> UprightValues(std::vector<std::uint8_t> stored, int width, int height, int orientation) {
  if (!Turns(orientation)) return stored;
  return Turned(stored, width, height, orientation);
}

}  // namespace vistarium::render
