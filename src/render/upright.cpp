#include "render/upright.h"

#include <cstddef>
#include <utility>

namespace vistarium::render {

bool OrientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

DeviceBitmap UprightPicture(DeviceBitmap stored, int orientation) {
  if (orientation < 2 || orientation > 8) return stored;
  const int w = stored.Width, h = stored.Height;
  const bool swap = OrientationSwapsSides(orientation);
  DeviceBitmap out;
  out.Width = swap ? h : w;
  out.Height = swap ? w : h;
  out.Pixels.resize(stored.Pixels.size());
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
  for (int y = 0; y < out.Height; ++y) {
    PackedColor* row = &out.Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(out.Width)];
    for (int x = 0; x < out.Width; ++x) {
      const auto [sx, sy] = source(x, y);
      row[x] = stored.Pixels[static_cast<std::size_t>(sy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(sx)];
    }
  }
  return out;
}

}  // namespace vistarium::render
