#pragma once
// Bilinear resampling: one rule for every place that reads a picture at a
// non-integer position. Pixel (col, row) is centred at (col + 0.5, row + 0.5);
// neighbours outside the picture (or unreadable ones) drop out and the
// remaining weights are renormalised; no neighbour at all gives black.

#include "geom/numbers.h"
#include "geom/point.h"
#include "image/bitmaps.h"

namespace vistarium::render {

// Packed 0x00BBGGRR -> blue, green, red bytes. The value must be 0..0xFFFFFF.
ColorTriple ColorToTriple(PackedColor c);

// Rounds a channel value; a value outside 0..255 is an error, not a wrap.
[[noreturn]] __attribute__((noinline, cold)) inline void ThrowChannelRange() {
  throw NumericOverflow("Channel value outside 0..255");
}
__attribute__((always_inline)) inline std::uint8_t RoundToByte(double v) {
#if defined(__SSE2__)
  // Strictly inside (-0.5, 255.5) the rounded value is 0..255: one conversion.
  if (v > -0.5 && v < 255.5) [[likely]]
    return static_cast<std::uint8_t>(_mm_cvtsd_si32(_mm_set_sd(v)));
#endif
  const std::int32_t r = Round(v);
  if (r < 0 || r > 255) [[unlikely]]
    ThrowChannelRange();
  return static_cast<std::uint8_t>(r);
}

// The sampling rule over any pixel source. `read(col, row, rgb)` is called only
// for neighbours inside the picture; it fills three channel values (blue,
// green, red) and returns false when the pixel cannot be read.
template <typename Reader>
ColorTriple SampleBilinear(TPoint size, TRealPoint pos, Reader&& read) {
  const double x = pos.X, y = pos.Y;
  const std::int32_t ix = Round(x), iy = Round(y);
  const double wx0 = ix + 0.5 - x, wx1 = x - (ix - 0.5);
  const double wy0 = iy + 0.5 - y, wy1 = y - (iy - 0.5);
  const std::int32_t cols[4] = {ix - 1, ix, ix - 1, ix};
  const std::int32_t rows[4] = {iy - 1, iy - 1, iy, iy};
  const double weights[4] = {wx0 * wy0, wx1 * wy0, wx0 * wy1, wx1 * wy1};
  double s[3] = {0.0, 0.0, 0.0};
  double wsum = 0.0;
  for (int i = 0; i < 4; ++i) {
    if (cols[i] < 0 || cols[i] >= size.X || rows[i] < 0 || rows[i] >= size.Y) continue;
    unsigned ch[3];
    if (!read(cols[i], rows[i], ch)) continue;
    for (int k = 0; k < 3; ++k) s[k] += weights[i] * ch[k];
    wsum += weights[i];
  }
  if (!(wsum > 0.0)) return {};
  return {RoundToByte(s[0] / wsum), RoundToByte(s[1] / wsum), RoundToByte(s[2] / wsum)};
}

inline bool ReadPacked(PackedColor c, unsigned ch[3]) {
  if (c < 0) return false;
  ch[0] = (static_cast<unsigned>(c) >> 16) & 0xFFu;
  ch[1] = (static_cast<unsigned>(c) >> 8) & 0xFFu;
  ch[2] = static_cast<unsigned>(c) & 0xFFu;
  return true;
}

// From a decoded picture; pixels reading back negative are skipped.
inline ColorTriple SampleCanvas(TPoint size, const DeviceBitmap& picture, TRealPoint pos) {
  return SampleBilinear(size, pos, [&](int c, int r, unsigned ch[3]) { return ReadPacked(picture.Pixel(c, r), ch); });
}

// SampleCanvas with the common case (all four neighbours inside and
// readable) read straight from the pixel store; same arithmetic in the same
// order, so the same result.
__attribute__((always_inline)) inline ColorTriple SampleCanvasFast(TPoint size, const DeviceBitmap& picture, TRealPoint pos) {
  const double x = pos.X, y = pos.Y;
  const std::int32_t ix = Round(x), iy = Round(y);
  if (ix >= 1 && iy >= 1 && ix < size.X && iy < size.Y && size.X <= picture.Width && size.Y <= picture.Height) {
    const std::size_t stride = static_cast<std::size_t>(picture.Width);
    const PackedColor* top = picture.Pixels.data() + static_cast<std::size_t>(iy - 1) * stride + (ix - 1);
    const PackedColor c[4] = {top[0], top[1], top[stride], top[stride + 1]};
    if ((c[0] | c[1] | c[2] | c[3]) >= 0) {
      const double wx0 = ix + 0.5 - x, wx1 = x - (ix - 0.5);
      const double wy0 = iy + 0.5 - y, wy1 = y - (iy - 0.5);
      const double w[4] = {wx0 * wy0, wx1 * wy0, wx0 * wy1, wx1 * wy1};
      double s0 = 0.0, s1 = 0.0, s2 = 0.0, wsum = 0.0;
      for (int i = 0; i < 4; ++i) {
        const auto u = static_cast<unsigned>(c[i]);
        s0 += w[i] * ((u >> 16) & 0xFFu);
        s1 += w[i] * ((u >> 8) & 0xFFu);
        s2 += w[i] * (u & 0xFFu);
        wsum += w[i];
      }
      return {RoundToByte(s0 / wsum), RoundToByte(s1 / wsum), RoundToByte(s2 / wsum)};
    }
  }
  return SampleCanvas(size, picture, pos);
}

// From a display picture (0xAARRGGBB); alpha has no effect.
inline ColorTriple SampleBitmap32(TPoint size, const Bitmap32& picture, TRealPoint pos) {
  return SampleBilinear(size, pos,
                        [&](int c, int r, unsigned ch[3]) { return ReadPacked(PackedFromArgb(picture.Pixel(c, r)), ch); });
}

// From 16-bit channel values.
inline ColorTriple SampleColMatrix(TPoint size, const TColMatrix& m, TRealPoint pos) {
  return SampleBilinear(size, pos, [&](int c, int r, unsigned ch[3]) {
    ch[0] = m.At(c, r, 0);
    ch[1] = m.At(c, r, 1);
    ch[2] = m.At(c, r, 2);
    return true;
  });
}

}  // namespace vistarium::render
