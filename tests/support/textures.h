#pragma once
// Synthetic pictures for tests: smooth random textures with detail at
// several scales, reproducible from a seed.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "image/bitmaps.h"

namespace vistarium::testing {

// A texture of cols x rows cells with values 0..255 per channel: the sum of
// a few random blobs of different sizes.
inline TColMatrix TextureMatrix(int cols, int rows, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  struct Blob {
    double x, y, r, a[3];
  };
  std::vector<Blob> blobs;
  for (int i = 0; i < 400; ++i) {
    const double r = 2.0 + 30.0 * std::pow(u(gen), 2.0);
    blobs.push_back({u(gen) * cols, u(gen) * rows, r, {u(gen) - 0.5, u(gen) - 0.5, u(gen) - 0.5}});
  }
  TColMatrix m(cols, rows);
  for (int c = 0; c < cols; ++c)
    for (int r = 0; r < rows; ++r) {
      double v[3] = {128, 128, 128};
      for (const Blob& b : blobs) {
        const double d2 = ((c - b.x) * (c - b.x) + (r - b.y) * (r - b.y)) / (b.r * b.r);
        if (d2 < 9.0) {
          const double g = std::exp(-d2);
          for (int ch = 0; ch < 3; ++ch) v[ch] += 200.0 * b.a[ch] * g;
        }
      }
      for (int ch = 0; ch < 3; ++ch) m.At(c, r, ch) = static_cast<std::uint16_t>(std::clamp(v[ch], 0.0, 255.0));
    }
  return m;
}

// The cells [x0, x0 + cols) x [y0, y0 + rows) of a matrix.
inline TColMatrix Cut(const TColMatrix& m, int x0, int y0, int cols, int rows) {
  TColMatrix out(cols, rows);
  for (int c = 0; c < cols; ++c)
    for (int r = 0; r < rows; ++r)
      for (int ch = 0; ch < 3; ++ch) out.At(c, r, ch) = m.At(x0 + c, y0 + r, ch);
  return out;
}

}  // namespace vistarium::testing
