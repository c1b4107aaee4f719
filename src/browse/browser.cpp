#include "browse/browser.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "geom/numbers.h"
#include "render/sampling.h"

namespace vistarium::browse {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Two doubles, for the fast drawing's two rows at a time.
typedef double V2 __attribute__((vector_size(16)));

// Columns per block in the fast loops: a block's pixels of one row share a
// cache line of the picture they read or write.
constexpr int kBlock = 16;

std::uint32_t OpaqueArgb(ColorTriple c) {
  return 0xFF000000u | (static_cast<std::uint32_t>(c.Red) << 16) | (static_cast<std::uint32_t>(c.Green) << 8) |
         c.Blue;
}

void CheckSource(const Bitmap32& panorama, const BrowserSource& src) {
  const double values[] = {src.AngleStep, src.PixelsPerRadian, src.FocalPixels};
  for (double v : values)
    if (!std::isfinite(v) || !(v > 0.0))
      throw std::invalid_argument("The panorama's projection values cannot be browsed");
  if (!std::isfinite(src.HorizonRow)) throw std::invalid_argument("The panorama's horizon row is not a number");
  if (panorama.Width < 1 || panorama.Height < 1 ||
      panorama.Pixels.size() != CheckedPixelCount(panorama.Width, panorama.Height))
    throw std::invalid_argument("There is no panorama picture to browse");
}

std::int32_t MapCentreRow(std::int32_t mapHeight) { return Round(mapHeight / 2.0); }

// ViewX wrapped into [0, MapWidth) however far it went.
std::int32_t WrapColumn(std::int64_t x, std::int32_t width) {
  if (width <= 0) return 0;
  std::int64_t r = x % width;
  if (r < 0) r += width;
  return static_cast<std::int32_t>(r);
}

void ClampViewY(BrowserState& s) {
  if (s.ViewY > s.MaxViewY) s.ViewY = s.MaxViewY;
  if (s.ViewY < s.MinViewY) s.ViewY = s.MinViewY;
}

void ClampViewX(BrowserState& s) {
  if (s.ViewX > s.MaxViewX) s.ViewX = s.MaxViewX;
  if (s.ViewX < s.MinViewX) s.ViewX = s.MinViewX;
}

// Whether a map column has a cell with weight in its sample: in the
// sampling rule, cell k is centred at k + 0.5, so positions from -0.5 to
// count + 0.5 (exclusive) reach one. Columns beyond leave their view pixels
// as they are (an open panorama seen past its ends).
bool InsideMap(double at, std::int32_t count) { return at > -0.5 && at < count + 0.5; }

// A map row beyond the map's top or bottom is drawn from the edge row. The
// map holds latitudes round(MapHeight / 2) down to that less MapHeight - 1,
// rounded half to even, so one side can be a row and a half shorter than
// the height that the full-height zoom fits, and the view has one row more
// below its centre row than above: at that zoom the bottom view row can
// fall just below the map, and would otherwise keep stale pixels.
double RowInsideMap(double lat, std::int32_t count) {
  if (!(lat > -0.5)) return 0.5;
  if (!(lat < count + 0.5)) return count - 0.5;
  return lat;
}

// What a view column needs: its longitude in map columns and the distance
// from the eye to the view plane's column, in view-plane pixels.
struct ViewColumn {
  double Lon = 0.0;
  double G = 0.0;
  bool Inside = false;
};

ViewColumn ColumnOf(const BrowserState& s, int i) {
  ViewColumn c;
  const double t = (i - s.ViewCentreX) * s.Scale / s.FocalPixels;
  c.G = s.FocalPixels * std::sqrt(t * t + 1.0);
  double lon = s.ViewX + std::atan(t) / s.AngleStep;
  if (s.Is360) {
    if (lon < 0.0) lon += s.MapWidth;
    if (lon >= s.MapWidth) lon -= s.MapWidth;
  }
  c.Lon = lon;
  c.Inside = InsideMap(lon, s.MapWidth);
  return c;
}

// Whether a map row (real) lies beyond the panorama's top or bottom row by
// more than two rows. Within them the edge rows are drawn: the map's rows
// are rounded, so the opening view's outermost rows may fall a row or so
// beyond the panorama and must not show a ragged line of background.
bool BeyondPanorama(const BrowserState& s, double row) {
  return row < s.FirstPanoramaRow - 2.0 || row > s.LastPanoramaRow + 2.0;
}

double LatitudeRow(const BrowserState& s, double centreRow, int j, double g) {
  return centreRow - std::atan(((s.ViewCentreY - j) * s.Scale + s.ViewY) / g) / s.AngleStep;
}

}  // namespace

// ---------------------------------------------------------------------------

std::int32_t ViewCentreFor(int size) { return Round(size / 2.0) - 1; }

void ResetBrowser(BrowserState& s, int viewWidth, int viewHeight) {
  s = BrowserState{};
  s.ViewCentreX = ViewCentreFor(viewWidth);
  s.ViewCentreY = ViewCentreFor(viewHeight);
}

std::int32_t MapHeightFor(double height, double angleStep, double pixelsPerRadian) {
  const double sine = height * 0.5 / pixelsPerRadian;
  if (!(sine >= 0.0 && sine <= 1.0))
    throw std::invalid_argument("The panorama is higher than its projection values allow");
  const std::int32_t h = 2 * Round(std::asin(sine) / angleStep) - 1;
  if (h < 1) throw std::invalid_argument("The panorama is too low to browse");
  return h;
}

std::int32_t MapHeightFor(const BrowserSource& src, int height) {
  // The taller side of a horizon off the middle, up to 80 degrees (a
  // perspective view of more has no use), else the half height.
  const double taller = std::max(src.HorizonRow, height - src.HorizonRow);
  const double reach = std::min(taller, std::sin(80.0 * std::numbers::pi / 180.0) * src.PixelsPerRadian);
  return MapHeightFor(std::max(static_cast<double>(height), 2.0 * reach), src.AngleStep, src.PixelsPerRadian);
}

double MapRowSource(const BrowserSource& src, int height, std::int32_t mapHeight, std::int32_t y) {
  const double lat = static_cast<double>(MapCentreRow(mapHeight) - y);
  const double row = src.HorizonRow - std::sin(lat * src.AngleStep) * src.PixelsPerRadian;
  return std::clamp(row, 0.0, height - 1.0);
}

TColMatrix BuildMapReference(const Bitmap32& panorama, const BrowserSource& src) {
  const std::int32_t mapWidth = panorama.Width;
  const std::int32_t mapHeight = MapHeightFor(src, panorama.Height);
  TColMatrix map(mapWidth, mapHeight);
  const TPoint size{panorama.Width, panorama.Height};
  for (int x = 0; x < mapWidth; ++x)
    for (int y = 0; y < mapHeight; ++y) {
      // Pixel (col, row) is centred at (col + 0.5, row + 0.5).
      const TRealPoint at{x + 0.5, MapRowSource(src, panorama.Height, mapHeight, y) + 0.5};
      const ColorTriple c = render::SampleBitmap32(size, panorama, at);
      map.At(x, y, 0) = c.Blue;
      map.At(x, y, 1) = c.Green;
      map.At(x, y, 2) = c.Red;
    }
  return map;
}

TColMatrix BuildMap(const Bitmap32& panorama, const BrowserSource& src) {
  const std::int32_t width = panorama.Width, height = panorama.Height;
  const std::int32_t mapHeight = MapHeightFor(src, height);
  TColMatrix map(width, mapHeight);
  const TPoint size{width, height};

  // Per map row: the sampled position and its two source rows and weights.
  struct RowPlan {
    double Y = 0.0, Wy0 = 0.0, Wy1 = 0.0;
    std::int32_t Iy = 0;
    bool Interior = false;
  };
  std::vector<RowPlan> rows(static_cast<std::size_t>(mapHeight));
  for (int y = 0; y < mapHeight; ++y) {
    RowPlan& r = rows[static_cast<std::size_t>(y)];
    r.Y = MapRowSource(src, height, mapHeight, y) + 0.5;
    r.Interior = r.Y > 0.5 && r.Y < height - 0.5;  // both rows inside, so the rounding fits
    if (!r.Interior) continue;
    r.Iy = Round(r.Y);
    r.Interior = r.Iy >= 1 && r.Iy < height;
    r.Wy0 = r.Iy + 0.5 - r.Y;
    r.Wy1 = r.Y - (r.Iy - 0.5);
  }

  const std::size_t stride = static_cast<std::size_t>(width);
  const std::size_t mapRows = static_cast<std::size_t>(mapHeight);
  const int blocks = (width + kBlock - 1) / kBlock;
#pragma omp parallel for schedule(dynamic, 4)
  for (int b = 0; b < blocks; ++b) {
    const int x0 = b * kBlock, x1 = std::min(width, x0 + kBlock);
    // The same arithmetic as the sampling rule, in the same order.
    double wx0[kBlock], wx1[kBlock];
    std::int32_t ixs[kBlock];
    bool inside[kBlock];
    for (int x = x0; x < x1; ++x) {
      const double X = x + 0.5;
      const std::int32_t ix = Round(X);
      ixs[x - x0] = ix;
      wx0[x - x0] = ix + 0.5 - X;
      wx1[x - x0] = X - (ix - 0.5);
      inside[x - x0] = ix >= 1 && ix < width;
    }
    for (int y = 0; y < mapHeight; ++y) {
      const RowPlan& r = rows[static_cast<std::size_t>(y)];
      for (int x = x0; x < x1; ++x) {
        const int k = x - x0;
        std::uint16_t* out = map.Values.data() + (static_cast<std::size_t>(x) * mapRows + y) * 3u;
        if (r.Interior && inside[k]) {
          const std::uint32_t* top =
              panorama.Pixels.data() + static_cast<std::size_t>(r.Iy - 1) * stride + (ixs[k] - 1);
          const std::uint32_t c[4] = {top[0], top[1], top[stride], top[stride + 1]};
          const double w[4] = {wx0[k] * r.Wy0, wx1[k] * r.Wy0, wx0[k] * r.Wy1, wx1[k] * r.Wy1};
          double s0 = 0.0, s1 = 0.0, s2 = 0.0, wsum = 0.0;
          for (int i = 0; i < 4; ++i) {
            s0 += w[i] * (c[i] & 0xFFu);
            s1 += w[i] * ((c[i] >> 8) & 0xFFu);
            s2 += w[i] * ((c[i] >> 16) & 0xFFu);
            wsum += w[i];
          }
          out[0] = render::RoundToByte(s0 / wsum);
          out[1] = render::RoundToByte(s1 / wsum);
          out[2] = render::RoundToByte(s2 / wsum);
        } else {
          const ColorTriple c = render::SampleBitmap32(size, panorama, {x + 0.5, r.Y});
          out[0] = c.Blue;
          out[1] = c.Green;
          out[2] = c.Red;
        }
      }
    }
  }
  return map;
}

void OpenBrowser(BrowserState& s, const Bitmap32& panorama, const BrowserSource& src) {
  CheckSource(panorama, src);
  if (s.ViewCentreX < 1 || s.ViewCentreY < 1) throw std::invalid_argument("The view is too small to browse in");
  s.Is360 = src.Is360;
  s.AngleStep = src.AngleStep;
  s.PixelsPerRadian = src.PixelsPerRadian;
  s.FocalPixels = src.FocalPixels;
  s.Map = BuildMap(panorama, src);
  s.MapWidth = s.Map.Columns;
  s.MapHeight = s.Map.Rows;
  // The inverse of MapRowSource for the panorama's first and last rows.
  const auto mapRowOf = [&](double row) {
    const double sine = std::clamp((src.HorizonRow - row) / src.PixelsPerRadian, -1.0, 1.0);
    return MapCentreRow(s.MapHeight) - std::asin(sine) / src.AngleStep;
  };
  s.FirstPanoramaRow = mapRowOf(0.0);
  s.LastPanoramaRow = mapRowOf(panorama.Height - 1.0);
  s.InitialScale = (std::tan(s.MapHeight * 0.5 * s.AngleStep) * s.FocalPixels - 2.0) / s.ViewCentreY;
  s.Scale = s.InitialScale;
  UpdateLimits(s);
  s.ViewX = Round(s.MapWidth * 0.5);
  s.ViewY = 0;
}

void UpdateLimits(BrowserState& s) {
  s.MaxViewY = Round(std::tan(s.MapHeight / 2.0 * s.AngleStep) * s.FocalPixels - s.ViewCentreY * s.Scale) - 1;
  s.MinViewY = -s.MaxViewY;
  if (s.Is360) {
    s.MinViewX = s.MaxViewX = 0;
  } else {
    s.MinViewX = Round(std::atan(s.Scale * s.ViewCentreX / s.FocalPixels) / s.AngleStep) - 1;
    s.MaxViewX = s.MapWidth - s.MinViewX;
  }
}

void SetViewSize(BrowserState& s, int viewWidth, int viewHeight) {
  const bool filled = s.Scale == s.InitialScale;
  s.ViewCentreX = ViewCentreFor(viewWidth);
  s.ViewCentreY = ViewCentreFor(viewHeight);
  if (s.MapHeight <= 0 || s.ViewCentreY <= 0) return;
  s.InitialScale = (std::tan(s.MapHeight * 0.5 * s.AngleStep) * s.FocalPixels - 2.0) / s.ViewCentreY;
  if (filled || s.Scale > s.InitialScale) s.Scale = s.InitialScale;
  if (s.Scale < s.MinScale) s.Scale = s.MinScale;
  RenewAndClamp(s);
}

// ---------------------------------------------------------------------------

void RenderViewReference(const BrowserState& s, Bitmap32& view) {
  if (s.MapWidth <= 0 || s.MapHeight <= 0) return;
  const TPoint size{s.MapWidth, s.MapHeight};
  const double centreRow = MapCentreRow(s.MapHeight);
  for (int i = 0; i < view.Width; ++i) {
    const ViewColumn c = ColumnOf(s, i);
    if (!c.Inside) continue;
    for (int j = 0; j < view.Height; ++j) {
      const double row = LatitudeRow(s, centreRow, j, c.G);
      if (BeyondPanorama(s, row)) {
        view.SetPixel(i, j, kBackground);
        continue;
      }
      const double lat = RowInsideMap(row, s.MapHeight);
      view.SetPixel(i, j, OpaqueArgb(render::SampleColMatrix(size, s.Map, {c.Lon, lat})));
    }
  }
}

namespace {

// Fills the tables for this state and view size unless they hold them
// already; the same expressions as the plain drawing, so the same values.
const BrowserState::ViewTables& TablesFor(const BrowserState& s, int width, int height) {
  BrowserState::ViewTables& t = s.Tables;
  if (t.Valid && t.Scale == s.Scale && t.FocalPixels == s.FocalPixels && t.AngleStep == s.AngleStep &&
      t.ViewY == s.ViewY && t.ViewCentreX == s.ViewCentreX && t.ViewCentreY == s.ViewCentreY &&
      t.MapHeight == s.MapHeight && t.Width == width && t.Height == height)
    return t;
  t.Valid = false;
  t.Scale = s.Scale;
  t.FocalPixels = s.FocalPixels;
  t.AngleStep = s.AngleStep;
  t.ViewY = s.ViewY;
  t.ViewCentreX = s.ViewCentreX;
  t.ViewCentreY = s.ViewCentreY;
  t.MapHeight = s.MapHeight;
  t.Width = width;
  t.Height = height;
  t.LonOffset.assign(static_cast<std::size_t>(width), 0.0);
  t.G.assign(static_cast<std::size_t>(width), 0.0);
  int distances = 0;
  for (int i = 0; i < width; ++i) {
    const double u = (i - s.ViewCentreX) * s.Scale / s.FocalPixels;
    t.G[static_cast<std::size_t>(i)] = s.FocalPixels * std::sqrt(u * u + 1.0);
    t.LonOffset[static_cast<std::size_t>(i)] = std::atan(u) / s.AngleStep;
    distances = std::max(distances, std::abs(i - s.ViewCentreX) + 1);
  }
  // Columns i and 2 * ViewCentreX - i have opposite t, so the same g and the
  // same rows: one row table per distance from the centre column.
  std::vector<double> gOf(static_cast<std::size_t>(distances), 0.0);
  for (int i = 0; i < width; ++i) gOf[static_cast<std::size_t>(std::abs(i - s.ViewCentreX))] = t.G[static_cast<std::size_t>(i)];
  t.Lat.assign(static_cast<std::size_t>(distances) * static_cast<std::size_t>(height), 0.0);
  const double centreRow = MapCentreRow(s.MapHeight);
#pragma omp parallel for schedule(dynamic, 8)
  for (int d = 0; d < distances; ++d) {
    double* lat = t.Lat.data() + static_cast<std::size_t>(d) * static_cast<std::size_t>(height);
    const double g = gOf[static_cast<std::size_t>(d)];
    for (int j = 0; j < height; ++j) lat[j] = LatitudeRow(s, centreRow, j, g);
  }
  t.Valid = true;
  return t;
}

}  // namespace

void RenderView(const BrowserState& s, Bitmap32& view) {
  if (s.MapWidth <= 0 || s.MapHeight <= 0) return;
  const BrowserState::ViewTables& t = TablesFor(s, view.Width, view.Height);
  const TPoint size{s.MapWidth, s.MapHeight};
  const std::size_t mapRows = static_cast<std::size_t>(s.MapHeight);
  const std::uint16_t* values = s.Map.Values.data();
  const int blocks = (view.Width + kBlock - 1) / kBlock;
#pragma omp parallel for schedule(dynamic, 1)
  for (int b = 0; b < blocks; ++b) {
    const int i0 = b * kBlock, i1 = std::min(view.Width, i0 + kBlock);
    for (int i = i0; i < i1; ++i) {
      double lon = s.ViewX + t.LonOffset[static_cast<std::size_t>(i)];
      if (s.Is360) {
        if (lon < 0.0) lon += s.MapWidth;
        if (lon >= s.MapWidth) lon -= s.MapWidth;
      }
      if (!InsideMap(lon, s.MapWidth)) continue;
      const double* lats =
          t.Lat.data() + static_cast<std::size_t>(std::abs(i - s.ViewCentreX)) * static_cast<std::size_t>(view.Height);
      // The sampling rule's per-column half, as it computes it.
      const std::int32_t ix = Round(lon);
      const double wx0 = ix + 0.5 - lon, wx1 = lon - (ix - 0.5);
      const bool columnsInside = ix >= 1 && ix < s.MapWidth;
      const std::uint16_t* left = columnsInside ? values + static_cast<std::size_t>(ix - 1) * mapRows * 3u : nullptr;
      const std::uint16_t* right = left ? left + mapRows * 3u : nullptr;
      std::uint32_t* out = view.Pixels.data() + i;
      const std::size_t stride = static_cast<std::size_t>(view.Width);
      // One pixel, as the sampling rule computes it.
      auto pixel = [&](int j) {
        std::uint32_t& to = out[static_cast<std::size_t>(j) * stride];
        if (BeyondPanorama(s, lats[j])) {
          to = kBackground;
          return;
        }
        const double lat = RowInsideMap(lats[j], s.MapHeight);
        const std::int32_t iy = Round(lat);
        if (columnsInside && iy >= 1 && iy < s.MapHeight) {
          const double wy0 = iy + 0.5 - lat, wy1 = lat - (iy - 0.5);
          const std::size_t r0 = static_cast<std::size_t>(iy - 1) * 3u, r1 = r0 + 3u;
          const std::uint16_t* p[4] = {left + r0, right + r0, left + r1, right + r1};
          const double w[4] = {wx0 * wy0, wx1 * wy0, wx0 * wy1, wx1 * wy1};
          double s0 = 0.0, s1 = 0.0, s2 = 0.0, wsum = 0.0;
          for (int k = 0; k < 4; ++k) {
            s0 += w[k] * p[k][0];
            s1 += w[k] * p[k][1];
            s2 += w[k] * p[k][2];
            wsum += w[k];
          }
          to = 0xFF000000u | (static_cast<std::uint32_t>(render::RoundToByte(s2 / wsum)) << 16) |
               (static_cast<std::uint32_t>(render::RoundToByte(s1 / wsum)) << 8) | render::RoundToByte(s0 / wsum);
        } else {
          to = OpaqueArgb(render::SampleColMatrix(size, s.Map, {lon, lat}));
        }
      };
      // Two rows at a time in the two lanes of packed doubles: each lane
      // does the single pixel's operations in the same order.
      const V2 vx0 = {wx0, wx0}, vx1 = {wx1, wx1};
      int j = 0;
      for (; j + 1 < view.Height; j += 2) {
        const double latA = RowInsideMap(lats[j], s.MapHeight), latB = RowInsideMap(lats[j + 1], s.MapHeight);
        const std::int32_t iyA = Round(latA), iyB = Round(latB);
        if (!(columnsInside && iyA >= 1 && iyA < s.MapHeight && iyB >= 1 && iyB < s.MapHeight) ||
            BeyondPanorama(s, lats[j]) || BeyondPanorama(s, lats[j + 1])) {
          pixel(j);
          pixel(j + 1);
          continue;
        }
        const V2 lat = {latA, latB};
        const V2 iy = {static_cast<double>(iyA), static_cast<double>(iyB)};
        const V2 wy0 = iy + 0.5 - lat, wy1 = lat - (iy - 0.5);
        const std::size_t a0 = static_cast<std::size_t>(iyA - 1) * 3u, a1 = a0 + 3u;
        const std::size_t b0 = static_cast<std::size_t>(iyB - 1) * 3u, b1 = b0 + 3u;
        const std::uint16_t* pa[4] = {left + a0, right + a0, left + a1, right + a1};
        const std::uint16_t* pb[4] = {left + b0, right + b0, left + b1, right + b1};
        const V2 w[4] = {vx0 * wy0, vx1 * wy0, vx0 * wy1, vx1 * wy1};
        V2 s0 = {0.0, 0.0}, s1 = s0, s2 = s0, wsum = s0;
        for (int k = 0; k < 4; ++k) {
          s0 += w[k] * V2{static_cast<double>(pa[k][0]), static_cast<double>(pb[k][0])};
          s1 += w[k] * V2{static_cast<double>(pa[k][1]), static_cast<double>(pb[k][1])};
          s2 += w[k] * V2{static_cast<double>(pa[k][2]), static_cast<double>(pb[k][2])};
          wsum += w[k];
        }
        const V2 q0 = s0 / wsum, q1 = s1 / wsum, q2 = s2 / wsum;
        for (int lane = 0; lane < 2; ++lane)
          out[static_cast<std::size_t>(j + lane) * stride] =
              0xFF000000u | (static_cast<std::uint32_t>(render::RoundToByte(q2[lane])) << 16) |
              (static_cast<std::uint32_t>(render::RoundToByte(q1[lane])) << 8) | render::RoundToByte(q0[lane]);
      }
      if (j < view.Height) pixel(j);
    }
  }
}

// ---------------------------------------------------------------------------

std::int32_t MoveColumns(const BrowserState& s) { return Round(s.MoveStep / s.AngleStep); }

void MoveRight(BrowserState& s) {
  s.ViewX += MoveColumns(s);
  if (s.Is360) {
    if (s.ViewX >= s.MapWidth) s.ViewX -= s.MapWidth;
  } else {
    s.ViewX = std::min(s.ViewX, s.MaxViewX);
  }
}

void MoveLeft(BrowserState& s) {
  s.ViewX -= MoveColumns(s);
  if (s.Is360) {
    if (s.ViewX < 0) s.ViewX += s.MapWidth;
  } else {
    s.ViewX = std::max(s.ViewX, s.MinViewX);
  }
}

void MoveUp(BrowserState& s) { s.ViewY = std::min(s.ViewY + MoveColumns(s), s.MaxViewY); }

void MoveDown(BrowserState& s) { s.ViewY = std::max(s.ViewY - MoveColumns(s), s.MinViewY); }

void RenewAndClamp(BrowserState& s) {
  UpdateLimits(s);
  ClampViewY(s);
  if (!s.Is360) ClampViewX(s);
}

void ZoomIn(BrowserState& s) {
  s.Scale = std::max(s.Scale / s.ZoomFactor, s.MinScale);
  RenewAndClamp(s);
}

void ZoomOut(BrowserState& s) {
  s.Scale = std::min(s.Scale * s.ZoomFactor, s.InitialScale);
  RenewAndClamp(s);
}

void ZoomInit(BrowserState& s) {
  s.Scale = s.InitialScale;
  RenewAndClamp(s);
}

void Pan(BrowserState& s, std::int32_t columns, std::int32_t rows) {
  if (s.Is360) {
    s.ViewX = WrapColumn(static_cast<std::int64_t>(s.ViewX) + columns, s.MapWidth);
  } else {
    s.ViewX = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(s.ViewX) + columns, INT32_MIN, INT32_MAX));
    ClampViewX(s);
  }
  s.ViewY = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(static_cast<std::int64_t>(s.ViewY) + rows, INT32_MIN, INT32_MAX));
  ClampViewY(s);
}

void StartAutoRight(BrowserState& s) {
  s.AutoStep = std::abs(s.AutoStep);
  s.AutoRunning = true;
}

void StartAutoLeft(BrowserState& s) {
  s.AutoStep = -std::abs(s.AutoStep);
  s.AutoRunning = true;
}

void StopAuto(BrowserState& s) { s.AutoRunning = false; }

void AutoTick(BrowserState& s) {
  s.ViewX += Round(s.AutoStep / s.AngleStep);
  if (s.Is360) {
    if (s.ViewX >= s.MapWidth) s.ViewX -= s.MapWidth;
    if (s.ViewX < 0) s.ViewX += s.MapWidth;
  } else {
    ClampViewX(s);
    if (s.ViewX == s.MinViewX || s.ViewX == s.MaxViewX) s.AutoStep = -s.AutoStep;
  }
}

ButtonStates UpdateButtons(const BrowserState& s) {
  const bool t = s.AutoRunning;
  ButtonStates b;
  b.Up = !t && s.ViewY < s.MaxViewY;
  b.Down = !t && s.ViewY > s.MinViewY;
  b.Right = !t && (s.Is360 || s.ViewX < s.MaxViewX);
  b.Left = !t && (s.Is360 || s.ViewX > s.MinViewX);
  b.ZoomDown = !t && s.Scale < s.InitialScale;
  b.ZoomInit = !t && s.Scale != s.InitialScale;
  b.ZoomUp = !t && s.Scale > s.MinScale;
  b.AutoStop = t;
  b.AutoRight = !(t && s.AutoStep >= 0.0);
  b.AutoLeft = !t || s.AutoStep > 0.0;
  return b;
}

void SetViewAngles(BrowserState& s, double yawDegrees, double pitchDegrees, double zoom) {
  if (!std::isfinite(yawDegrees) || !(std::abs(pitchDegrees) < 90.0) || !std::isfinite(zoom) || !(zoom > 0.0))
    throw std::invalid_argument("A view needs a finite yaw, a pitch between -90 and 90 degrees and a positive zoom");
  s.Scale = std::clamp(s.InitialScale / zoom, s.MinScale, std::max(s.MinScale, s.InitialScale));
  UpdateLimits(s);
  // Whole turns do not matter on a full circle; an open panorama clamps
  // anything beyond its width anyway.
  double turn = yawDegrees * kPi / 180.0 / s.AngleStep;
  turn = s.Is360 ? std::fmod(turn, s.MapWidth) : std::clamp(turn, -2.0 * s.MapWidth, 2.0 * s.MapWidth);
  const std::int32_t x = Round(s.MapWidth * 0.5) + Round(turn);
  if (s.Is360) {
    s.ViewX = WrapColumn(x, s.MapWidth);
  } else {
    s.ViewX = x;
    ClampViewX(s);
  }
  const double shift = std::tan(pitchDegrees * kPi / 180.0) * s.FocalPixels;
  s.ViewY = Round(std::clamp<double>(shift, s.MinViewY, std::max(s.MinViewY, s.MaxViewY)));
  ClampViewY(s);
}

}  // namespace vistarium::browse
