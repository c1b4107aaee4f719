#pragma once
// The row routines of the two fills: one panorama row is sampled from every
// picture that reaches it and the pictures are cross-faded. They take the
// mapping of a panorama pixel into a picture as an argument, so that the
// plain and the fast fill (and tests) share one blend.

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "run/run_state.h"
#include "geom/numbers.h"
#include "render/sampling.h"

namespace vistarium::render::rows {

// One panorama row per picture, and the per-picture values of a row.
struct RowWork {
  int Count = 0, Width = 0;
  std::vector<ColorTriple> Buffer;  // Count x Width
  std::vector<int> First, Last, Overlap;
  std::vector<char> Covers, HasRun;
  std::vector<std::uint64_t> Masks;  // per column, the pictures covering it (fast fill only)
  RowWork(int count, int width)
      : Count(count), Width(width), Buffer(CheckedPixelCount(count, width)), First(count), Last(count),
        Overlap(count), Covers(count), HasRun(count) {}
  ColorTriple* Row(int i) { return Buffer.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(Width); }
};

inline bool Inside(TRealPoint p, TPoint size) { return 0.0 <= p.X && p.X < size.X && 0.0 <= p.Y && p.Y < size.Y; }

inline std::uint32_t Packed(const double sum[3]) {
  return static_cast<std::uint32_t>(RoundToByte(sum[0])) * 65536u +
         static_cast<std::uint32_t>(RoundToByte(sum[1])) * 256u + static_cast<std::uint32_t>(RoundToByte(sum[2]));
}

inline void AddWeighted(double sum[3], double w, const ColorTriple& c) {
  sum[0] += w * c.Blue;
  sum[1] += w * c.Green;
  sum[2] += w * c.Red;
}

inline void StorePixel(TPanorama& pano, int x, int y, std::uint32_t value) {
  pano.Pixels[static_cast<std::size_t>(x) * static_cast<std::size_t>(pano.Height) + static_cast<std::size_t>(y)] =
      value;
}

// Exposure compensation enters the fill here, and only here: picture i's
// sampled colour times the picture's gain per channel, before the
// cross-fade. Without gains (compensation off) the sample passes unchanged.
inline ColorTriple WithGain(const RunState& rs, int i, ColorTriple c) {
  if (rs.Gains.empty()) return c;
  const std::array<double, 3>& g = rs.Gains[static_cast<std::size_t>(i)];
  return {RoundToByte(std::min(255.0, c.Blue * g[0])), RoundToByte(std::min(255.0, c.Green * g[1])),
          RoundToByte(std::min(255.0, c.Red * g[2]))};
}

// Row y of an open panorama. `map(i, x, y)` gives picture i's position of
// panorama pixel (x, y).
inline ColorTriple PlainSample(TPoint size, const DeviceBitmap& picture, TRealPoint pos) {
  return SampleCanvas(size, picture, pos);
}

template <typename Map, typename Sample = decltype(&PlainSample)>
inline void FillPlainRow(RunState& rs, const std::vector<DeviceBitmap>& pictures, int y, RowWork& wk, Map&& map,
                         Sample sample = &PlainSample) {
  const int count = wk.Count, width = wk.Width;
  const TPoint size = rs.Projection.PictureSize;
  const PanoramaLayout& L = rs.Layout;
  for (int i = 0; i < count; ++i) {
    const double spanLeft = L.SpanLeft[static_cast<std::size_t>(i)], spanRight = L.SpanRight[static_cast<std::size_t>(i)];
    int first = Round(spanRight), last = Round(spanLeft);
    ColorTriple* row = wk.Row(i);
    std::fill(row, row + width, ColorTriple{});
    const int lo = std::max(0, Round(spanLeft - 1.0)), hi = std::min(width - 1, Round(spanRight + 1.0));
    for (int x = lo; x <= hi; ++x) {
      const TRealPoint p = map(i, x, y);
      if (!Inside(p, size)) continue;
      first = std::min(first, x);
      last = std::max(last, x);
      row[x] = WithGain(rs, i, sample(size, pictures[static_cast<std::size_t>(i)], p));
    }
    wk.First[static_cast<std::size_t>(i)] = first;
    wk.Last[static_cast<std::size_t>(i)] = last;
  }
  for (int i = 1; i < count; ++i)
    wk.Overlap[static_cast<std::size_t>(i)] =
        wk.Last[static_cast<std::size_t>(i - 1)] - (wk.First[static_cast<std::size_t>(i)] - 1);
  for (int x = 0; x < width; ++x) {
    for (int i = 0; i < count; ++i)
      wk.Covers[static_cast<std::size_t>(i)] =
          wk.First[static_cast<std::size_t>(i)] <= x && x <= wk.Last[static_cast<std::size_t>(i)];
    double sum[3] = {0.0, 0.0, 0.0};
    double given = 0.0;
    for (int i = count - 1; i >= 0; --i) {
      if (!wk.Covers[static_cast<std::size_t>(i)]) continue;
      if (i == 0 || !wk.Covers[static_cast<std::size_t>(i - 1)]) {
        AddWeighted(sum, 1.0 - given, wk.Row(i)[x]);
        break;
      }
      const double w = (1.0 - given) * (x - (wk.First[static_cast<std::size_t>(i)] - 1)) /
                       wk.Overlap[static_cast<std::size_t>(i)];
      AddWeighted(sum, w, wk.Row(i)[x]);
      given += w;
    }
    StorePixel(rs.Panorama, x, y, Packed(sum));
  }
}

// Cyclic steps around the circle of n columns or count pictures.
inline int NextOf(int x, int n) { return x + 1 >= n ? 0 : x + 1; }
inline int PrevOf(int x, int n) { return x - 1 < 0 ? n - 1 : x - 1; }
inline int SpanFromTo(int b, int a, int n) { return a > b ? a - b : a - b + n; }
inline int OffsetAfter(int x, int s1, int n) { return x >= s1 ? x - s1 : x - s1 + n; }
inline bool InRun(int x, int s, int e) { return s < e ? (s <= x && x <= e) : s > e ? (x >= s || x <= e) : x == s; }

// Row y of a full-circle panorama.
template <typename Map>
inline void FillCirRow(RunState& rs, const std::vector<DeviceBitmap>& pictures, int y, RowWork& wk, Map&& map) {
  const int count = wk.Count, n = wk.Width;
  const TPoint size = rs.Projection.PictureSize;
  const PanoramaLayout& L = rs.Layout;
  for (int i = 0; i < count; ++i) {
    const auto si = static_cast<std::size_t>(i);
    ColorTriple* row = wk.Row(i);
    std::fill(row, row + n, ColorTriple{});
    wk.HasRun[si] = 0;
    wk.First[si] = 0;
    wk.Last[si] = 0;
    // From two columns before the left bound to just before the column two
    // after the right bound; the whole circle when they meet.
    const int xa = PrevOf(PrevOf(Round(L.SpanLeftWrapped[si]), n), n);
    const int xb = NextOf(NextOf(Round(L.SpanRightWrapped[si]), n), n);
    bool started = false, ended = false;
    int x = xa;
    do {
      const TRealPoint p = map(i, x, y);
      if (Inside(p, size)) {
        if (!started) {
          wk.First[si] = x;
          started = true;
          wk.HasRun[si] = 1;
        }
        if (!ended) wk.Last[si] = x;
        row[x] = WithGain(rs, i, SampleCanvas(size, pictures[si], p));
      } else if (started) {
        ended = true;
      }
      x = NextOf(x, n);
    } while (x != xb);
  }
  for (int i = 0; i < count; ++i)
    wk.Overlap[static_cast<std::size_t>(i)] = SpanFromTo(PrevOf(wk.First[static_cast<std::size_t>(i)], n),
                                                         wk.Last[static_cast<std::size_t>(PrevOf(i, count))], n);
  for (int x = 0; x < n; ++x) {
    int firstOut = -1;
    for (int i = 0; i < count; ++i) {
      const auto si = static_cast<std::size_t>(i);
      wk.Covers[si] = wk.HasRun[si] && InRun(x, wk.First[si], wk.Last[si]);
      if (!wk.Covers[si] && firstOut < 0) firstOut = i;
    }
    int last;
    if (firstOut < 0) {
      // Every picture covers the column: the blended run starts after the
      // picture whose run began last before it, the one fading in on top.
      int newest = 0;
      for (int i = 1; i < count; ++i)
        if (OffsetAfter(x, wk.First[static_cast<std::size_t>(i)], n) <
            OffsetAfter(x, wk.First[static_cast<std::size_t>(newest)], n))
          newest = i;
      last = NextOf(newest, count);
    } else {
      last = NextOf(firstOut, count);
      while (last != firstOut && !wk.Covers[static_cast<std::size_t>(last)]) last = NextOf(last, count);
      if (last == firstOut) continue;  // no picture covers it: the cleared pixel stays black
    }
    int top = last;
    for (int steps = 1; steps < count && wk.Covers[static_cast<std::size_t>(NextOf(top, count))]; ++steps)
      top = NextOf(top, count);
    double sum[3] = {0.0, 0.0, 0.0};
    double given = 0.0;
    for (int i = top;; i = PrevOf(i, count)) {
      const auto si = static_cast<std::size_t>(i);
      if (i == last || !wk.Covers[static_cast<std::size_t>(PrevOf(i, count))]) {
        AddWeighted(sum, 1.0 - given, wk.Row(i)[x]);
        break;
      }
      const double w = (1.0 - given) * OffsetAfter(x, wk.First[si] - 1, n) / wk.Overlap[si];
      AddWeighted(sum, w, wk.Row(i)[x]);
      given += w;
    }
    StorePixel(rs.Panorama, x, y, Packed(sum));
  }
}

}  // namespace vistarium::render::rows
