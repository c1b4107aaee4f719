#include "alignment/layout.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "alignment/crop.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"

namespace vistarium::alignment {

TProjectionParameters PanoramaProjection(const RunState& rs) {
  if (rs.Layout.Scale == 1.0) return rs.Projection;
  return geom::WithCircleLength(rs.Projection, Round(rs.Projection.CircleLength * rs.Layout.Scale));
}

void MeasurePictureSpans(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const double scale = rs.Layout.Scale;
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
    L.SpanLeft[static_cast<std::size_t>(i)] = left * scale;
    L.SpanRight[static_cast<std::size_t>(i)] = right * scale;
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
  rs.Layout.BandTop = top * rs.Layout.Scale;
  rs.Layout.BandBottom = bottom * rs.Layout.Scale;
}

namespace {
void BandExtent(RunState& rs) {
  const TProjectionParameters pp = PanoramaProjection(rs);
  rs.Layout.Top = Round(std::sin(rs.Layout.BandTop * pp.AngleStep) * pp.PixelsPerRadian - 1.0);
  rs.Layout.Bottom = Round(std::sin(rs.Layout.BandBottom * pp.AngleStep) * pp.PixelsPerRadian + 1.0);
}
}  // namespace

void PlainExtent(RunState& rs) {
  const TProjectionParameters& pp = rs.Projection;
  const double w1 = pp.PictureSize.X - 1, h1 = pp.PictureSize.Y - 1;
  const int last = rs.PictureSet.Count - 1;
  const double s = rs.Layout.Scale;
  BandExtent(rs);
  double left = std::max(PictureToPanorama(rs, 0, {0, 0}).X, PictureToPanorama(rs, 0, {0, h1}).X);
  double right = std::min(PictureToPanorama(rs, last, {w1, 0}).X, PictureToPanorama(rs, last, {w1, h1}).X);
  // Under the exact inverse of the lens (a calibrated camera), the first
  // picture's left border and the last one's right border all along: a lens
  // that bends bows them between the corners. The first-order inverse of a
  // plain run fills out to the corners' extent.
  for (int y = 1; pp.AberrationOn && pp.ExactAberrationInverse && y < pp.PictureSize.Y - 1; ++y) {
    left = std::max(left, PictureToPanorama(rs, 0, {0, static_cast<double>(y)}).X);
    right = std::min(right, PictureToPanorama(rs, last, {w1, static_cast<double>(y)}).X);
  }
  rs.Layout.Left = Round(left * s + 1.0);
  rs.Layout.Right = Round(right * s - 1.0);
}

void CircleExtent(RunState& rs) { BandExtent(rs); }

TPoint LaidOutSize(const RunState& rs) {
  const PanoramaLayout& L = rs.Layout;
  return {rs.PictureSet.Is360 ? PanoramaProjection(rs).FullCircleInt : CheckedSub(L.Right, L.Left),
          CheckedSub(L.Top, L.Bottom)};
}

void SizePanorama(RunState& rs) {
  const TPoint size = LaidOutSize(rs);
  const std::int32_t width = size.X, height = size.Y;
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
  rs.Panorama.Pixels.clear();
  rs.Panorama.Pixels.shrink_to_fit();
}

void AllocatePanorama(RunState& rs) {
  SizePanorama(rs);
  rs.Panorama.Pixels.assign(CheckedPixelCount(rs.Panorama.Width, rs.Panorama.Height), 0u);  // a cleared panorama every time
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
  const TProjectionParameters pp = PanoramaProjection(rs);
  for (std::size_t i = 0; i < L.SpanLeft.size(); ++i) {
    L.SpanLeftWrapped[i] = geom::WrapToCircle(pp, L.SpanLeft[i]);
    L.SpanRightWrapped[i] = geom::WrapToCircle(pp, L.SpanRight[i]);
  }
}

namespace {
// Panorama angles of the layout's scale to those of the pictures' circle.
TRealPoint Unscaled(const RunState& rs, TRealPoint q) {
  if (rs.Layout.Scale == 1.0) return q;
  return {q.X / rs.Layout.Scale, q.Y / rs.Layout.Scale};
}
}  // namespace

TRealPoint OutputToPicturePlain(const RunState& rs, int i, TRealPoint uv) {
  const TRealPoint q =
      geom::EqualAreaToLatitude(PanoramaProjection(rs), {rs.Layout.Left + uv.X, rs.Layout.Top - uv.Y});
  return PanoramaToPicture(rs, i, Unscaled(rs, q));
}

bool InSpan(const RunState& rs, int i, double x) {
  return rs.Layout.SpanLeft[static_cast<std::size_t>(i)] <= x && x <= rs.Layout.SpanRight[static_cast<std::size_t>(i)];
}

TRealPoint OutputToPictureCircle(const RunState& rs, int i, TRealPoint uv) {
  const TProjectionParameters pp = PanoramaProjection(rs);
  const double n = pp.CircleLength;
  double x = uv.X;
  if (!InSpan(rs, i, x)) {
    if (InSpan(rs, i, uv.X - n))
      x = uv.X - n;
    else if (InSpan(rs, i, uv.X + n))
      x = uv.X + n;
    else
      return {-10.0, -10.0};
  }
  const TRealPoint q = geom::EqualAreaToLatitude(pp, {x, rs.Layout.Top - uv.Y});
  return PanoramaToPicture(rs, i, Unscaled(rs, q));
}

namespace {
// "45 %", or "4.5 %" below ten.
std::string Percent(double share) {
  const double p = 100.0 * share;
  if (p >= 10.0) return std::to_string(Round(p)) + " %";
  const int tenths = Round(10.0 * p);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " %";
}
}  // namespace

std::string LayOutPanorama(RunState& rs) {
  const double requested = rs.RequestedScale;
  if (!(requested > 0.0 && requested <= 1.0)) throw std::invalid_argument("A panorama's scale must lie in (0, 1]");
  const std::int32_t n = rs.Projection.CircleLength;
  // The scale is that of a whole number of panorama pixels to a turn.
  const auto setCircle = [&rs, n](std::int32_t length) {
    rs.Layout.Scale = length >= n ? 1.0 : static_cast<double>(length) / n;
  };
  const auto measure = [&rs] {
    MeasurePictureSpans(rs);
    MeasureCommonBand(rs);
    if (rs.PictureSet.Is360)
      CircleExtent(rs);
    else
      PlainExtent(rs);
    ChooseCrop(rs);
  };
  setCircle(std::max(4, Floor(n * requested)));
  measure();
  const TPoint asked = LaidOutSize(rs);
  if (asked.X <= kMaxPanoramaSide && asked.Y <= kMaxPanoramaSide) return {};
  // Smaller until both sides fit: the first guess is proportional, and each
  // further try takes one percent off.
  const double scale = rs.Layout.Scale;
  double factor = std::min(static_cast<double>(kMaxPanoramaSide) / std::max(asked.X, 1),
                           static_cast<double>(kMaxPanoramaSide) / std::max(asked.Y, 1));
  for (int attempt = 0; attempt < 100; ++attempt, factor *= 0.99) {
    setCircle(std::max(4, Floor(n * scale * factor)));
    measure();
    const TPoint size = LaidOutSize(rs);
    if (size.X <= kMaxPanoramaSide && size.Y <= kMaxPanoramaSide)
      return "The panorama would be " + std::to_string(asked.X) + " x " + std::to_string(asked.Y) +
             " pixels, more than the " + std::to_string(kMaxPanoramaSide) + " a side that JPEG holds; it is made at " +
             Percent(rs.Layout.Scale) + " of the pictures' scale, " +
             std::to_string(size.X) + " x " + std::to_string(size.Y) + " pixels.";
  }
  throw LayoutError("The panorama cannot be made small enough for JPEG");
}

}  // namespace vistarium::alignment
