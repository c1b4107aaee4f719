#include "alignment/layout.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "alignment/orientation.h"
#include "geom/numbers.h"

namespace vistarium::alignment {

void MeasurePictureSpans(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const int count = rs.PictureSet.Count, w = pp.PictureSize.X, h = pp.PictureSize.Y;
  PanoramaLayout& L = rs.Layout;
  L.SpanLeft.assign(static_cast<std::size_t>(count), 0.0);
  L.SpanRight.assign(static_cast<std::size_t>(count), 0.0);
  for (int i = 0; i < count; ++i) {
    double left = 2.0 * pp.CircleLength, right = -pp.CircleLength / 2.0;
    for (int y = 0; y < h; ++y) {
      left = std::min(left, PictureToPanorama(rs, i, {0.0, static_cast<double>(y)}).X);
      right = std::max(right, PictureToPanorama(rs, i, {static_cast<double>(w - 1), static_cast<double>(y)}).X);
    }
    L.SpanLeft[static_cast<std::size_t>(i)] = left;
    L.SpanRight[static_cast<std::size_t>(i)] = right;
  }
}

void MeasureCommonBand(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const double w1 = pp.PictureSize.X - 1, h1 = pp.PictureSize.Y - 1;
  double top = pp.CircleLength, bottom = -pp.CircleLength;
  for (int i = 0; i < rs.PictureSet.Count; ++i) {
    top = std::min({top, PictureToPanorama(rs, i, {0, 0}).Y, PictureToPanorama(rs, i, {w1, 0}).Y});
    bottom = std::max({bottom, PictureToPanorama(rs, i, {0, h1}).Y, PictureToPanorama(rs, i, {w1, h1}).Y});
  }
  rs.Layout.BandTop = top;
  rs.Layout.BandBottom = bottom;
}

namespace {
void BandExtent(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  rs.Layout.Top = Round(std::sin(rs.Layout.BandTop * pp.AngleStep) * pp.PixelsPerRadian - 1.0);
  rs.Layout.Bottom = Round(std::sin(rs.Layout.BandBottom * pp.AngleStep) * pp.PixelsPerRadian + 1.0);
}
}  // namespace

void PlainExtent(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const double w1 = pp.PictureSize.X - 1, h1 = pp.PictureSize.Y - 1;
  const int last = rs.PictureSet.Count - 1;
  BandExtent(rs);
  rs.Layout.Left = Round(std::max(PictureToPanorama(rs, 0, {0, 0}).X, PictureToPanorama(rs, 0, {0, h1}).X) + 1.0);
  rs.Layout.Right =
      Round(std::min(PictureToPanorama(rs, last, {w1, 0}).X, PictureToPanorama(rs, last, {w1, h1}).X) - 1.0);
}

void CircleExtent(RunState& rs) { BandExtent(rs); }

void AllocatePanorama(RunState& rs) {
  const PanoramaLayout& L = rs.Layout;
  const std::int32_t width = rs.PictureSet.Is360 ? rs.Projection.FullCircleInt : CheckedSub(L.Right, L.Left);
  const std::int32_t height = CheckedSub(L.Top, L.Bottom);
  if (width <= 0 || height <= 0)
    throw LayoutError("The pictures do not overlap enough to make a panorama (the common part is " +
                      std::to_string(width) + " x " + std::to_string(height) +
                      " pixels): check the order of the pictures and the parameters of adjacent pictures");
  // A layout far beyond any real panorama comes from connections that make no
  // sense; refuse it rather than exhaust the memory.
  constexpr std::int64_t kMaxPanoramaPixels = 1'000'000'000;
  if (static_cast<std::int64_t>(width) * height > kMaxPanoramaPixels)
    throw LayoutError("The panorama would be " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels, which is far too large: check the order of the pictures and their connections");
  rs.Panorama.Width = width;
  rs.Panorama.Height = height;
  rs.Panorama.Pixels.assign(CheckedPixelCount(width, height), 0u);  // a cleared panorama every time
}

void ClampSpans(RunState& rs) {
  PanoramaLayout& L = rs.Layout;
  const double hi = rs.Panorama.Width - 1;
  for (std::size_t i = 0; i < L.SpanLeft.size(); ++i) {
    L.SpanLeft[i] = std::clamp(L.SpanLeft[i] - L.Left, 0.0, hi);
    L.SpanRight[i] = std::clamp(L.SpanRight[i] - L.Left, 0.0, hi);
  }
}

void WrapSpans(RunState& rs) {
  PanoramaLayout& L = rs.Layout;
  L.SpanLeftWrapped.resize(L.SpanLeft.size());
  L.SpanRightWrapped.resize(L.SpanRight.size());
  for (std::size_t i = 0; i < L.SpanLeft.size(); ++i) {
    L.SpanLeftWrapped[i] = geom::WrapToCircle(rs.Projection, L.SpanLeft[i]);
    L.SpanRightWrapped[i] = geom::WrapToCircle(rs.Projection, L.SpanRight[i]);
  }
}

TRealPoint OutputToPicturePlain(const RunState& rs, int i, TRealPoint uv) {
  const TRealPoint q = geom::EqualAreaToLatitude(rs.Projection, {rs.Layout.Left + uv.X, rs.Layout.Top - uv.Y});
  return PanoramaToPicture(rs, i, q);
}

bool InSpan(const RunState& rs, int i, double x) {
  return rs.Layout.SpanLeft[static_cast<std::size_t>(i)] <= x && x <= rs.Layout.SpanRight[static_cast<std::size_t>(i)];
}

TRealPoint OutputToPictureCircle(const RunState& rs, int i, TRealPoint uv) {
  const double n = rs.Projection.CircleLength;
  double x = uv.X;
  if (!InSpan(rs, i, x)) {
    if (InSpan(rs, i, uv.X - n))
      x = uv.X - n;
    else if (InSpan(rs, i, uv.X + n))
      x = uv.X + n;
    else
      return {-10.0, -10.0};
  }
  const TRealPoint q = geom::EqualAreaToLatitude(rs.Projection, {x, rs.Layout.Top - uv.Y});
  return PanoramaToPicture(rs, i, q);
}

}  // namespace vistarium::alignment
