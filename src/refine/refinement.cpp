#include "refine/refinement.h"

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <random>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "geom/numbers.h"
#include "refine/grey_store.h"
#include "refine/rescue.h"
#include "run/parallel.h"
#include "render/picture_file.h"

namespace vistarium::refine {

namespace {

using geom::Ray;
using geom::Rotation;

bool Stopped(const RefinementSettings& settings) {
  return settings.Stop != nullptr && settings.Stop->load(std::memory_order_relaxed);
}

// Search radius at full size, pixels.
constexpr int kFullSizeRadius = 4;
// Shortest side of the coarsest pyramid level searched, and the widest
// search window, in pixels of the level searched.
constexpr int kMinLevelSide = 200;
constexpr int kLargestRadius = 40;
// Correspondences found on a level that, without a fit, show the level saw
// enough of the overlap.
constexpr int kDisagreeingCandidates = 3 * kMinRefinedInliers;
// A reduced level that searched at least kDisagreeingCandidates spots and
// found a correspondence for fewer than one in this many saw the overlap
// and nothing in it alike.
constexpr std::size_t kBarrenSpotsPerCandidate = 8;
// Search windows of up to this radius are correlated offset by offset;
// wider ones in the frequency domain (the same measure).
constexpr int kDirectRadius = 6;
// The share of each picture's width, on the side facing the other picture,
// that the rescue searches for features.
constexpr double kRescueFacingShare = 0.6;
// The longer side of the pictures a rescue first finds features on: at 350
// the search takes half the time it takes at 500, every pair of the rescue
// benchmark gets the same answer, and the rotation it finds stays within
// about a pixel of the truth over the overlap at 12 megapixels (0.6 at
// 500), which the measuring from it then finishes.
constexpr int kRescueFirstSide = 350;
// Largest error at the picture border of a rotation that the rescue found,
// or that the focal length estimate's features agreed on (at least: the
// rescue's features of large pictures, found on reduced copies, may be
// coarser).
constexpr double kRescuedErrorPixels = 10.0;

// ---------------------------------------------------------------------------
// Pictures and levels

GreyPicture Halved(const GreyPicture& g) {
  GreyPicture h;
  h.Width = g.Width / 2;
  h.Height = g.Height / 2;
  h.Values.resize(CheckedPixelCount(h.Width, h.Height));
  for (int y = 0; y < h.Height; ++y) {
    const std::uint8_t* a = &g.Values[static_cast<std::size_t>(2 * y) * static_cast<std::size_t>(g.Width)];
    const std::uint8_t* b = a + g.Width;
    std::uint8_t* out = &h.Values[static_cast<std::size_t>(y) * static_cast<std::size_t>(h.Width)];
    for (int x = 0; x < h.Width; ++x)
      out[x] = static_cast<std::uint8_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
  }
  return h;
}

// Level index coordinates: pixel (c, r) of level L has its centre at the
// full-size picture position ((c + 0.5) 2^L, (r + 0.5) 2^L).
TRealPoint ToLevel(TRealPoint picture, double scale) { return {picture.X / scale - 0.5, picture.Y / scale - 0.5}; }
TRealPoint FromLevel(TRealPoint index, double scale) { return {(index.X + 0.5) * scale, (index.Y + 0.5) * scale}; }

// Bilinear value at a level position; nothing outside the pixel centres.
std::optional<float> Sample(const GreyPicture& g, TRealPoint p) {
  if (!(p.X >= 0.0 && p.Y >= 0.0 && p.X <= g.Width - 1 && p.Y <= g.Height - 1)) return std::nullopt;
  const int x0 = std::min(static_cast<int>(p.X), g.Width - 2), y0 = std::min(static_cast<int>(p.Y), g.Height - 2);
  const double fx = p.X - x0, fy = p.Y - y0;
  const std::uint8_t* r0 = &g.Values[static_cast<std::size_t>(y0) * static_cast<std::size_t>(g.Width) + x0];
  const std::uint8_t* r1 = r0 + g.Width;
  const double top = r0[0] + fx * (r0[1] - r0[0]);
  const double bottom = r1[0] + fx * (r1[1] - r1[0]);
  return static_cast<float>(top + fy * (bottom - top));
}

// The full-size position in the left picture of a right picture's position,
// through the rotation (right -> left), and back.
std::optional<TRealPoint> RightToLeft(const PairCameras& c, const Rotation& r, TRealPoint right) {
  return geom::RayToPixel(c.Left, geom::Rotate(r, geom::PixelToRay(c.Right, right)));
}
std::optional<TRealPoint> LeftToRight(const PairCameras& c, const Rotation& rt, TRealPoint left) {
  return geom::RayToPixel(c.Right, geom::Rotate(rt, geom::PixelToRay(c.Left, left)));
}

// Direction of full-scale own angles (panorama pixels), in the frame of
// geom::PixelToRay.
Ray AnglesToRay(const TProjectionParameters& pp, TRealPoint a) {
  const double lon = a.X * pp.AngleStep, lat = a.Y * pp.AngleStep;
  return {std::sin(lon) * std::cos(lat), std::sin(lat), std::cos(lon) * std::cos(lat)};
}

double AngleBetween(const Ray& a, const Ray& b) {
  const double cx = a[1] * b[2] - a[2] * b[1], cy = a[2] * b[0] - a[0] * b[2], cz = a[0] * b[1] - a[1] * b[0];
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// ---------------------------------------------------------------------------
// Textured spots of the left picture

// Spots whose patch is textured in two directions (largest smallest
// eigenvalue of the gradient tensor over the patch, one per grid cell), spread
// over the part of the left picture that the rotation places inside the right
// picture with `margin` level pixels to spare around the patch.
std::vector<TPoint> SelectSpots(const PairCameras& pp, const Rotation& rt, const GreyPicture& left,
                                const GreyPicture& right, double scale, int half, int margin, int target) {
  const auto predictedInside = [&](TPoint spot) {
    const auto q = LeftToRight(pp, rt, FromLevel({double(spot.X), double(spot.Y)}, scale));
    if (!q) return false;
    const TRealPoint p = ToLevel(*q, scale);
    const double m = half + margin;
    return p.X >= m && p.Y >= m && p.X <= right.Width - 1 - m && p.Y <= right.Height - 1 - m;
  };
  // The overlap's share of the left picture, from a coarse grid of samples.
  constexpr int kProbe = 32;
  int inside = 0;
  for (int gy = 0; gy < kProbe; ++gy)
    for (int gx = 0; gx < kProbe; ++gx)
      inside += predictedInside({(2 * gx + 1) * left.Width / (2 * kProbe), (2 * gy + 1) * left.Height / (2 * kProbe)});
  if (inside == 0) return {};
  const double area = double(inside) / (kProbe * kProbe) * left.Width * left.Height;
  const int cell = std::max(half + 1, static_cast<int>(std::sqrt(area / std::max(target, 1))));

  struct Cell {
    int X0, Y0, X1, Y1;
  };
  std::vector<Cell> cells;
  for (int y0 = 0; y0 < left.Height; y0 += cell)
    for (int x0 = 0; x0 < left.Width; x0 += cell) {
      const Cell c{x0, y0, std::min(x0 + cell, left.Width), std::min(y0 + cell, left.Height)};
      // Cells that reach into the overlap: a corner or the centre predicted inside.
      const TPoint probes[5] = {{(c.X0 + c.X1) / 2, (c.Y0 + c.Y1) / 2}, {c.X0, c.Y0}, {c.X1 - 1, c.Y0},
                                {c.X0, c.Y1 - 1}, {c.X1 - 1, c.Y1 - 1}};
      if (std::any_of(std::begin(probes), std::end(probes), predictedInside)) cells.push_back(c);
    }

  constexpr double kMinTexture = 1.0;  // smallest eigenvalue per patch pixel, grey levels squared
  const double patchPixels = double(2 * half + 1) * (2 * half + 1);
  std::vector<TPoint> chosen(cells.size(), TPoint{-1, -1});
  // The most textured spot of a cell, or (-1, -1).
  const auto pickIn = [&](const Cell& c) -> TPoint {
    // Gradients (central differences) over the cell widened by the patch.
    const int rx0 = std::max(c.X0 - half, 1), ry0 = std::max(c.Y0 - half, 1);
    const int rx1 = std::min(c.X1 + half, left.Width - 1), ry1 = std::min(c.Y1 + half, left.Height - 1);
    const int rw = rx1 - rx0, rh = ry1 - ry0;
    if (rw < 2 * half + 1 || rh < 2 * half + 1) return {-1, -1};
    // Integral images of gx^2, gx gy, gy^2.
    const std::size_t stride = static_cast<std::size_t>(rw) + 1;
    // Kept from cell to cell of a thread, so that a cell allocates nothing.
    thread_local std::vector<double> sxx, sxy, syy;
    sxx.assign(stride * (rh + 1), 0.0);
    sxy.assign(sxx.size(), 0.0);
    syy.assign(sxx.size(), 0.0);
    for (int y = 0; y < rh; ++y) {
      double rowXX = 0, rowXY = 0, rowYY = 0;
      const std::uint8_t* row = &left.Values[static_cast<std::size_t>(ry0 + y) * left.Width + rx0];
      const std::uint8_t* above = row - left.Width;
      const std::uint8_t* below = row + left.Width;
      for (int x = 0; x < rw; ++x) {
        const double gx = 0.5 * (row[x + 1] - row[x - 1]);
        const double gy = 0.5 * (below[x] - above[x]);
        rowXX += gx * gx;
        rowXY += gx * gy;
        rowYY += gy * gy;
        const std::size_t k = (y + 1) * stride + (x + 1), up = y * stride + (x + 1);
        sxx[k] = sxx[up] + rowXX;
        sxy[k] = sxy[up] + rowXY;
        syy[k] = syy[up] + rowYY;
      }
    }
    const auto box = [&](const std::vector<double>& s, int x, int y) {  // patch centred on region (x, y)
      const std::size_t x0 = x - half, y0 = y - half, x1 = x + half + 1, y1 = y + half + 1;
      return s[y1 * stride + x1] - s[y0 * stride + x1] - s[y1 * stride + x0] + s[y0 * stride + x0];
    };
    const int step = cell > 48 ? 2 : 1;
    double best = kMinTexture * patchPixels;
    TPoint pick{-1, -1};
    for (int y = std::max(c.Y0, ry0 + half); y < std::min(c.Y1, ry1 - half); y += step)
      for (int x = std::max(c.X0, rx0 + half); x < std::min(c.X1, rx1 - half); x += step) {
        const double a = box(sxx, x - rx0, y - ry0), d = box(syy, x - rx0, y - ry0);
        // The smaller eigenvalue is at most either diagonal entry.
        if (std::min(a, d) <= best) continue;
        const double b = box(sxy, x - rx0, y - ry0);
        const double smaller = 0.5 * (a + d) - std::sqrt(0.25 * (a - d) * (a - d) + b * b);
        if (smaller > best) {
          best = smaller;
          pick = {x, y};
        }
      }
    return pick.X >= 0 && predictedInside(pick) ? pick : TPoint{-1, -1};
  };
  ParallelFailures failures(cells.size());
#pragma omp parallel for schedule(dynamic)
  for (std::size_t n = 0; n < cells.size(); ++n) failures.Run(n, [&] { chosen[n] = pickIn(cells[n]); });
  failures.Rethrow();
  std::vector<TPoint> spots;
  for (const TPoint& p : chosen)
    if (p.X >= 0) spots.push_back(p);
  return spots;
}

// ---------------------------------------------------------------------------
// Correlation search

struct Correspondence {
  TRealPoint Left, Right;  // full-size picture positions
  double Score = 0.0;
};

// Searches the right level for one left spot. The left patch is resampled
// into the right picture's geometry through the rotation (so that roll,
// perspective and lens differences do not blur the peak), then compared by
// zero-mean normalised cross-correlation at every whole-pixel offset within
// `radius` of the predicted place; the peak gets a parabola's sub-pixel
// position in each direction.
std::optional<Correspondence> MeasureSpot(const PairCameras& pp, const Rotation& r, const Rotation& rt,
                                          const GreyPicture& left, const GreyPicture& right, double scale,
                                          TPoint spot, int half, int radius, const RefinementSettings& settings) {
  const auto predicted = LeftToRight(pp, rt, FromLevel({double(spot.X), double(spot.Y)}, scale));
  if (!predicted) return std::nullopt;
  const TRealPoint centre = ToLevel(*predicted, scale);
  const int reach = radius + half + 1;
  if (!(centre.X >= reach && centre.Y >= reach && centre.X <= right.Width - 1 - reach &&
        centre.Y <= right.Height - 1 - reach))
    return std::nullopt;
  const int cx = Round(centre.X), cy = Round(centre.Y);

  const int side = 2 * half + 1, count = side * side;
  const std::optional<PatchMapping> map = PatchMapping::Of(pp, r, centre, scale, half);
  if (!map) return std::nullopt;
  thread_local std::vector<float> patch;
  patch.resize(static_cast<std::size_t>(count));
  double mean = 0.0;
  for (int v = -half, k = 0; v <= half; ++v)
    for (int u = -half; u <= half; ++u, ++k) {
      const auto value = Sample(left, map->At(u, v));
      if (!value) return std::nullopt;
      patch[static_cast<std::size_t>(k)] = *value;
      mean += *value;
    }
  mean /= count;
  double norm = 0.0;
  for (float& t : patch) {
    t = static_cast<float>(t - mean);
    norm += double(t) * t;
  }
  if (!(norm > 1e-6 * count)) return std::nullopt;
  const float inv = static_cast<float>(1.0 / std::sqrt(norm));
  for (float& t : patch) t *= inv;

  const int window = 2 * radius + 1;
  // The searched area of the right picture, with integral images of its
  // values and squares: the sum and spread under the patch at each offset
  // are box sums.
  const int span = window + side - 1;
  const std::size_t stride = static_cast<std::size_t>(span) + 1;
  const auto areaRow = [&](int y) {
    return &right.Values[static_cast<std::size_t>(cy - radius - half + y) * right.Width + (cx - radius - half)];
  };
  thread_local std::vector<std::int64_t> sums, squares;
  sums.resize(stride * stride);
  squares.resize(stride * stride);
  // The first row and column are zero; the loop below writes the rest.
  std::fill_n(sums.begin(), stride, 0);
  std::fill_n(squares.begin(), stride, 0);
  for (int y = 0; y < span; ++y) {
    sums[(y + 1) * stride] = squares[(y + 1) * stride] = 0;
    const std::uint8_t* row = areaRow(y);
    std::int64_t rowSum = 0, rowSquares = 0;
    for (int x = 0; x < span; ++x) {
      rowSum += row[x];
      rowSquares += row[x] * row[x];
      sums[(y + 1) * stride + x + 1] = sums[y * stride + x + 1] + rowSum;
      squares[(y + 1) * stride + x + 1] = squares[y * stride + x + 1] + rowSquares;
    }
  }
  const auto box = [&](const std::vector<std::int64_t>& s, int x, int y) {
    return s[(y + side) * stride + x + side] - s[y * stride + x + side] - s[(y + side) * stride + x] + s[y * stride + x];
  };
  // The patch's dot product with the area at each offset (the patch has
  // zero mean, so the area's own mean drops out).
  thread_local std::vector<float> cross;
  cross.resize(static_cast<std::size_t>(window) * window);
  if (radius > kDirectRadius) {
    // A wide window: correlated in the frequency domain, in single
    // precision as the direct sums below are. The transforms are at least
    // as wide as the area, so that no offset of the window wraps around.
    const int n = cv::getOptimalDFTSize(span);
    thread_local cv::Mat area, templ, areaSpectrum, templSpectrum, product, correlation;
    area.create(n, n, CV_32F);
    templ.create(n, n, CV_32F);
    area.setTo(0.0f);
    templ.setTo(0.0f);
    for (int y = 0; y < span; ++y) {
      const std::uint8_t* row = areaRow(y);
      float* to = area.ptr<float>(y);
      for (int x = 0; x < span; ++x) to[x] = row[x];
    }
    for (int v = 0; v < side; ++v)
      std::copy_n(&patch[static_cast<std::size_t>(v * side)], side, templ.ptr<float>(v));
    cv::dft(area, areaSpectrum, 0, span);
    cv::dft(templ, templSpectrum, 0, side);
    cv::mulSpectrums(areaSpectrum, templSpectrum, product, 0, true);
    cv::dft(product, correlation, cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT, window);
    for (int y = 0; y < window; ++y)
      std::copy_n(correlation.ptr<float>(y), window, &cross[static_cast<std::size_t>(y) * window]);
  } else {
    thread_local std::vector<float> area;
    area.resize(static_cast<std::size_t>(span) * span);
    for (int y = 0; y < span; ++y) std::copy_n(areaRow(y), span, &area[static_cast<std::size_t>(y) * span]);
    for (int dy = 0; dy < window; ++dy)
      for (int dx = 0; dx < window; ++dx) {
        float sum = 0.0f;
        for (int v = 0; v < side; ++v) {
          const float* a = &area[static_cast<std::size_t>(dy + v) * span + dx];
          const float* t = &patch[static_cast<std::size_t>(v * side)];
#pragma omp simd reduction(+ : sum)
          for (int u = 0; u < side; ++u) sum += t[u] * a[u];
        }
        cross[static_cast<std::size_t>(dy * window + dx)] = sum;
      }
  }
  // The normalised scores, a row at a time: the spreads first, then the
  // quotients in a loop the compiler can turn into vector instructions.
  thread_local std::vector<double> scores, spreads;
  scores.resize(static_cast<std::size_t>(window * window));
  spreads.resize(static_cast<std::size_t>(window));
  const double flat = 1e-6 * count;
  for (int dy = 0; dy < window; ++dy) {
    for (int dx = 0; dx < window; ++dx) {
      const double sum = static_cast<double>(box(sums, dx, dy));
      spreads[static_cast<std::size_t>(dx)] = static_cast<double>(box(squares, dx, dy)) - sum * sum / count;
    }
    const float* c = &cross[static_cast<std::size_t>(dy * window)];
    double* out = &scores[static_cast<std::size_t>(dy * window)];
#pragma omp simd
    for (int dx = 0; dx < window; ++dx) {
      const double spread = spreads[static_cast<std::size_t>(dx)];
      // Computed for every offset and then chosen, so that no branch
      // keeps the loop from being vectorised.
      const double quotient = c[dx] / std::sqrt(std::max(spread, flat));
      out[dx] = spread > flat ? quotient : -1.0;
    }
  }
  const auto score = [&](int dx, int dy) { return scores[static_cast<std::size_t>((dy + radius) * window + dx + radius)]; };
  int bx = 0, by = 0;
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx)
      if (score(dx, dy) > score(bx, by)) bx = dx, by = dy;
  const double peak = score(bx, by);
  // A peak on the window's border may belong to a better place outside it.
  if (peak < settings.MinScore || std::abs(bx) == radius || std::abs(by) == radius) return std::nullopt;
  // Another local maximum nearly as good: repeated structure, ambiguous.
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx) {
      if (std::max(std::abs(dx - bx), std::abs(dy - by)) < 2) continue;
      const double s = score(dx, dy);
      if (s <= peak - settings.MinPeakMargin) continue;
      // Only a maximum seen on all sides counts; one on the window's border
      // may be the slope of the true peak.
      bool localMaximum = std::abs(dx) < radius && std::abs(dy) < radius;
      for (int ny = dy - 1; ny <= dy + 1 && localMaximum; ++ny)
        for (int nx = dx - 1; nx <= dx + 1; ++nx)
          if (score(nx, ny) > s) {
            localMaximum = false;
            break;
          }
      if (localMaximum) return std::nullopt;
    }
  const auto vertex = [](double minus, double mid, double plus) {
    const double curvature = minus - 2.0 * mid + plus;
    if (!(curvature < 0.0)) return 0.0;
    return std::clamp(0.5 * (minus - plus) / curvature, -0.5, 0.5);
  };
  const double ox = vertex(score(bx - 1, by), peak, score(bx + 1, by));
  const double oy = vertex(score(bx, by - 1), peak, score(bx, by + 1));

  // The patch's centre shows the left picture at the image of the predicted
  // place; the peak says where the right picture shows it.
  const auto leftAt = RightToLeft(pp, r, FromLevel(centre, scale));
  if (!leftAt) return std::nullopt;
  const TRealPoint found{cx + bx + ox, cy + by + oy};
  return Correspondence{*leftAt, FromLevel(found, scale), peak};
}

// ---------------------------------------------------------------------------
// Robust fit

struct Fit {
  bool Ok = false;
  Rotation R = geom::kIdentityRotation;
  std::vector<std::size_t> Inliers;
  double Rms = 0.0;
};

// Iterated least squares on the pairs that fit: the rotation is fitted to
// the current inliers, and the inliers become the pairs within three times
// the inliers' median residual (never below `floorPixels`), until they
// settle. With `consensus` the first inliers are those of the best of many
// rotations through two random pairs, so that the consistent majority wins
// even when the start is poor or many pairs disagree (a camera that moved a
// little between shots leaves only part of the scene on one rotation).
Fit RobustFit(double f, const std::vector<Ray>& left, const std::vector<Ray>& right, const Rotation& start,
              double floorPixels, bool consensus) {
  Fit fit;
  const std::size_t n = left.size();
  if (n < 3) return fit;
  std::vector<double> residual(n);
  const auto measure = [&](const Rotation& r) {
    for (std::size_t k = 0; k < n; ++k) residual[k] = AngleBetween(geom::Rotate(r, right[k]), left[k]) * f;
  };
  const auto within = [&](double threshold) {
    std::vector<std::size_t> set;
    for (std::size_t k = 0; k < n; ++k)
      if (residual[k] <= threshold) set.push_back(k);
    return set;
  };
  const auto fitted = [&](const std::vector<std::size_t>& set) {
    std::vector<Ray> l, rr;
    for (std::size_t k : set) {
      l.push_back(left[k]);
      rr.push_back(right[k]);
    }
    return FitRotation(l, rr);
  };
  std::vector<std::size_t> inliers(n);
  for (std::size_t k = 0; k < n; ++k) inliers[k] = k;
  if (consensus) {
    std::mt19937 random(12345u);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    const double threshold = 2.0 * floorPixels;
    measure(start);
    std::vector<std::size_t> best = within(threshold);
    for (int trial = 0; trial < 300; ++trial) {
      const std::size_t a = pick(random), b = pick(random);
      if (a == b || AngleBetween(left[a], left[b]) * f < 8.0 * floorPixels) continue;
      measure(FitRotation({left[a], left[b]}, {right[a], right[b]}));
      std::vector<std::size_t> agreeing = within(threshold);
      if (agreeing.size() > best.size()) best = std::move(agreeing);
    }
    if (best.size() >= 3) inliers = std::move(best);
  }
  Rotation r = start;
  for (int round = 0; round < 10; ++round) {
    r = fitted(inliers);
    measure(r);
    std::vector<double> own;
    for (std::size_t k : inliers) own.push_back(residual[k]);
    std::nth_element(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(own.size() / 2), own.end());
    std::vector<std::size_t> next = within(std::max(floorPixels, 3.0 * own[own.size() / 2]));
    if (next.size() < 3) return fit;
    if (next == inliers) break;
    inliers = std::move(next);
  }
  r = fitted(inliers);
  measure(r);
  double sum = 0.0;
  for (std::size_t k : inliers) sum += residual[k] * residual[k];
  fit.Ok = true;
  fit.R = r;
  fit.Rms = std::sqrt(sum / static_cast<double>(inliers.size()));
  fit.Inliers = std::move(inliers);
  return fit;
}

// Parallax: when the pictures were not taken from one standpoint, near and
// far spots agree on different rotations. Among the correspondences the
// fit left out, a second group that agrees on a rotation of its own (at
// least a quarter as many as the fit's, and kMinRefinedInliers) shows it;
// the result is how far apart the two rotations put a point at the picture
// centre, in pixels (focal length f), or 0 when there is no such group.
double SecondRotationOffset(double f, const std::vector<Ray>& left,
                            const std::vector<Ray>& right, const Fit& fit) {
  std::vector<bool> inlier(left.size(), false);
  for (std::size_t k : fit.Inliers) inlier[k] = true;
  std::vector<Ray> l, r;
  for (std::size_t k = 0; k < left.size(); ++k)
    if (!inlier[k]) {
      l.push_back(left[k]);
      r.push_back(right[k]);
    }
  const std::size_t needed = std::max<std::size_t>(kMinRefinedInliers, (fit.Inliers.size() + 3) / 4);
  if (l.size() < needed) return 0.0;
  const Fit second = RobustFit(f, l, r, fit.R, 0.5, true);
  if (!second.Ok || second.Inliers.size() < needed) return 0.0;
  return geom::RotationDistance(fit.R, second.R) * f;
}

}  // namespace

GreyPicture BuildGrey(const DeviceBitmap& picture) {
  GreyPicture base;
  base.Width = picture.Width;
  base.Height = picture.Height;
  base.Values.resize(CheckedPixelCount(picture.Width, picture.Height));
  const std::size_t count = base.Values.size();
  const PackedColor* in = picture.Pixels.data();
  std::uint8_t* out = base.Values.data();
  // Without branches, so that the loop vectorises; an unreadable pixel is black.
#pragma omp parallel for schedule(static)
  for (std::size_t k = 0; k < count; ++k) {
    const PackedColor c = in[k];
    const unsigned u = static_cast<unsigned>(c & ~(c >> 31));
    const unsigned red = u & 0xFFu, green = (u >> 8) & 0xFFu, blue = (u >> 16) & 0xFFu;
    out[k] = static_cast<std::uint8_t>((77u * red + 150u * green + 29u * blue + 128u) >> 8);
  }
  return base;
}

GreyPyramid BuildGreyPyramid(const DeviceBitmap& picture) { return BuildGreyPyramid(BuildGrey(picture)); }

GreyPyramid BuildGreyPyramid(GreyPicture base) {
  GreyPyramid pyramid;
  pyramid.Levels.push_back(std::move(base));
  while (std::min(pyramid.Levels.back().Width, pyramid.Levels.back().Height) >= 128)
    pyramid.Levels.push_back(Halved(pyramid.Levels.back()));
  return pyramid;
}

GreyPicture LoadGrey(const std::string& file) {
  render::GreyPictureData grey = render::LoadGreyPicture(file);
  GreyPicture base;
  base.Width = grey.Width;
  base.Height = grey.Height;
  base.Values = std::move(grey.Values);
  return base;
}

Rotation FitRotation(const std::vector<Ray>& left, const std::vector<Ray>& right, const std::vector<double>* weights) {
  if (left.size() != right.size() || left.empty()) throw std::invalid_argument("A rotation needs matched directions");
  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (std::size_t k = 0; k < left.size(); ++k) {
    const double w = weights ? (*weights)[k] : 1.0;
    const Eigen::Vector3d a(right[k][0], right[k][1], right[k][2]), b(left[k][0], left[k][1], left[k][2]);
    h += w * a * b.transpose();
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::Matrix3d& u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();
  const Eigen::Vector3d signs(1.0, 1.0, (v * u.transpose()).determinant() < 0.0 ? -1.0 : 1.0);
  const Eigen::Matrix3d m = v * signs.asDiagonal() * u.transpose();
  Rotation r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[static_cast<std::size_t>(3 * i + j)] = m(i, j);
  return r;
}

Rotation RotationFromPoints(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& left,
                            const std::array<TRealPoint, 3>& right) {
  std::vector<Ray> l, r;
  for (std::size_t k = 0; k < 3; ++k) {
    l.push_back(geom::PixelToRay(pp, left[k]));
    r.push_back(geom::PixelToRay(pp, right[k]));
  }
  return FitRotation(l, r);
}

std::optional<PatchMapping> PatchMapping::Of(const PairCameras& cameras, const Rotation& r, TRealPoint centre,
                                             double scale, int half) {
  PatchMapping map;
  map.half_ = half;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      const auto at = RightToLeft(cameras, r, FromLevel({centre.X + (i - 1) * half, centre.Y + (j - 1) * half}, scale));
      if (!at) return std::nullopt;
      map.nodes_[static_cast<std::size_t>(3 * j + i)] = ToLevel(*at, scale);
    }
  return map;
}

TRealPoint PatchMapping::At(int u, int v) const {
  if (half_ == 0) return nodes_[4];
  // Lagrange weights of the nodes -half, 0, half at offset t.
  const auto weights = [this](int t) {
    const double s = static_cast<double>(t) / half_;
    return std::array<double, 3>{0.5 * s * (s - 1.0), 1.0 - s * s, 0.5 * s * (s + 1.0)};
  };
  const std::array<double, 3> wu = weights(u), wv = weights(v);
  TRealPoint p{0.0, 0.0};
  for (std::size_t j = 0; j < 3; ++j)
    for (std::size_t i = 0; i < 3; ++i) {
      const double w = wv[j] * wu[i];
      p.X += w * nodes_[3 * j + i].X;
      p.Y += w * nodes_[3 * j + i].Y;
    }
  return p;
}

int MeasuringLevel(TPoint pictureSize, int side) {
  int level = 0;
  for (int shorter = std::min(pictureSize.X, pictureSize.Y); (shorter >> level) > side;) ++level;
  return level;
}

PairCameras CamerasOf(const RunState& rs, int i, int j) {
  PairCameras c{PictureProjection(rs, i), PictureProjection(rs, j)};
  c.Left.ExactAberrationInverse = c.Right.ExactAberrationInverse = true;
  return c;
}

TConnectionRefinement RefineRotation(const PairCameras& pp, const GreyPyramid& left, const GreyPyramid& right,
                                     const Rotation& start, double errorPixels, const RefinementSettings& settings) {
  TConnectionRefinement result;
  result.Measured = true;
  const int levels = static_cast<int>(std::min(left.Levels.size(), right.Levels.size()));
  if (levels == 0) return result;
  // The coarsest level searched sees the assumed error as a few of its
  // pixels, but keeps its shorter side at 200 pixels or more: smaller, a
  // narrow overlap holds too few spots to fit (the search window grows
  // instead).
  const int shorter = std::min(left.Levels[0].Width, left.Levels[0].Height);
  const int finest = std::clamp(settings.FinestLevel, 0, levels - 1);
  int top = finest;
  while (top + 1 < levels && errorPixels / std::ldexp(1.0, top) > 4.0 && (shorter >> (top + 1)) >= kMinLevelSide)
    ++top;

  Rotation r = start;
  // Whether the rotation in hand was fitted on the level above; if not, the
  // next level searches the whole assumed error again.
  bool fittedAbove = false;
  for (int level = top; level >= finest; --level) {
    const double scale = std::ldexp(1.0, level);
    const GreyPicture& l = left.Levels[static_cast<std::size_t>(level)];
    const GreyPicture& rp = right.Levels[static_cast<std::size_t>(level)];
    const int half = level == finest ? settings.PatchHalf : settings.CoarsePatchHalf;
    // Below the top level the error is a pixel or so. At the finest level
    // (full size, unless the settings end the search above it) the window
    // stays wide enough to see the misfit of a rotation that does not
    // explain the pair (a wrong focal length leaves spots pixels away).
    const int wholeError = std::min(static_cast<int>(std::ceil(errorPixels / scale)) + 1, kLargestRadius);
    const int firstRadius = !fittedAbove ? wholeError : (level == finest ? kFullSizeRadius : 3);
    // Full size is searched twice (FullSizePasses): the second time from
    // the rotation fitted the first time, with the patches resampled
    // through it. A reduced finest level, measured for the calibration and
    // measured again at full size after it, is searched once.
    const int passes = level == 0 ? std::max(settings.FullSizePasses, 1) : 1;
    const std::vector<TPoint> spots = SelectSpots(pp, geom::Transposed(r), l, rp, scale, half, firstRadius + 1,
                                                  level == finest ? settings.Spots : settings.CoarseSpots);
    for (int pass = 0; pass < passes; ++pass) {
      if (Stopped(settings)) return result;
      const int radius = pass == 0 ? firstRadius : kFullSizeRadius;
      const Rotation rt = geom::Transposed(r);
      std::vector<std::optional<Correspondence>> found(spots.size());
      ParallelFailures failures(spots.size());
#pragma omp parallel for schedule(dynamic, 4)
      for (std::size_t k = 0; k < spots.size(); ++k)
        failures.Run(k, [&] {
          if (!Stopped(settings)) found[k] = MeasureSpot(pp, r, rt, l, rp, scale, spots[k], half, radius, settings);
        });
      failures.Rethrow();
      if (Stopped(settings)) return result;
      std::vector<Correspondence> matches;
      for (const auto& c : found)
        if (c) matches.push_back(*c);
      std::vector<Ray> lr, rr;
      for (const Correspondence& c : matches) {
        lr.push_back(geom::PixelToRay(pp.Left, c.Left));
        rr.push_back(geom::PixelToRay(pp.Right, c.Right));
      }
      const Fit fit = RobustFit(pp.Left.FocalPixels, lr, rr, r, 0.5 * scale, pass == 0);
      result.Spots = static_cast<int>(spots.size());
      result.Candidates = static_cast<int>(matches.size());
      result.Inliers = fit.Ok ? static_cast<int>(fit.Inliers.size()) : 0;
      if (!fit.Ok || result.Inliers < kMinRefinedInliers) {
        // A reduced level may see too little of a narrow overlap: the next
        // level starts over from the same rotation. At full size it ends,
        // and so it does where a reduced level found plenty of spots that
        // disagree: the pictures do not confirm the rotation, and the next
        // level, which searches no farther, nearly always finds the same (on
        // the real sets such searches at full size failed but once, and took
        // a sixth of the library circle's run). It ends too where a reduced
        // level searched plenty of spots and matched hardly any: on the real
        // and rendered sets, full size then matched no more, after its
        // widest search (helens: 13 ms of a 190 ms run).
        const bool barren = static_cast<int>(spots.size()) >= kDisagreeingCandidates &&
                            matches.size() * kBarrenSpotsPerCandidate < spots.size();
        if (level == finest || static_cast<int>(matches.size()) >= kDisagreeingCandidates || barren) return result;
        fittedAbove = false;
        break;
      }
      r = fit.R;
      fittedAbove = true;
      if (level == finest && pass == passes - 1) {
        result.Fitted = true;
        result.Rotation = r;
        result.RmsPixels = fit.Rms;
        for (std::size_t k : fit.Inliers) {
          result.LeftPoints.push_back(matches[k].Left);
          result.RightPoints.push_back(matches[k].Right);
        }
        result.ParallaxPixels = SecondRotationOffset(pp.Left.FocalPixels, lr, rr, fit);
      }
    }
  }
  return result;
}

RefinedVerdict Verdict(const TConnectionRefinement& r) {
  if (!r.Fitted || r.Inliers < kMinRefinedInliers) return RefinedVerdict::NoMatch;
  if (r.RmsPixels > kMaxRefinedRmsPixels || r.Inliers < kMinAgreeingShare * r.Spots)
    return RefinedVerdict::NotOneStandpoint;
  return RefinedVerdict::Sound;
}

namespace {

// A connection point carried into the other picture by a rotation: its
// image, angle and working forms. Nothing when it leaves the view in front
// of the camera.
std::optional<TRealPoint> CarriedPixel(const TProjectionParameters& from, const TProjectionParameters& to,
                                       const Rotation& r, TRealPoint pixel) {
  return geom::RayToPixel(to, geom::Rotate(r, geom::PixelToRay(from, pixel)));
}

void SetPoint(const TProjectionParameters& pp, TConnectionSide& side, std::size_t k, TRealPoint pixel) {
  side.ImagePoints[k] = pixel;
  side.AnglePoints[k] = geom::PictureToAngles(pp, pixel);
  side.WorkingPoints[k] = geom::ToWorkingScale(pp, side.AnglePoints[k]);
}

}  // namespace

FeatureStore& RescueFeaturesOf(RunState& rs) {
  return StageStoreIn<FeatureStore>(rs.Stores.RescueFeatures, [] {
    // A connection is searched on the facing parts of its pictures.
    RescueOptions options;
    options.FacingShare = kRescueFacingShare;
    options.FirstWorkingSide = kRescueFirstSide;
    return std::make_shared<FeatureStore>(options);
  });
}

bool AddPairFeatures(RunState& rs, FeatureStore& store, const std::vector<std::pair<int, int>>& pairs,
                     const std::function<bool(double)>& goOn, bool first) {
  const TPoint size = rs.Projection.PictureSize;
  GreyStore& greys = GreyPicturesOf(rs);
  return store.AddPairs(
      pairs,
      [&](int p) -> std::pair<GreyView, std::shared_ptr<const void>> {
        std::shared_ptr<const GreyPyramid> pyramid = greys.Pyramid(rs, p);
        const GreyPicture& g = pyramid->Levels.at(0);
        if (g.Width != size.X || g.Height != size.Y) return {};
        return {GreyView{g.Width, g.Height, g.Values.data()}, std::move(pyramid)};
      },
      goOn, first ? store.FirstSearchSide(std::max(size.X, size.Y)) : 0);
}

std::optional<RescuedRotation> TryRescue(RunState& rs, const PairCameras& pp, int i, int j, const GreyPyramid& left,
                                         const GreyPyramid& right, std::string& note, const RescueOptions* tests) {
  const GreyPicture& l = left.Levels.at(0);
  const GreyPicture& r = right.Levels.at(0);
  const FeatureRotation found =
      RescueFeaturesOf(rs).Estimate(i, GreyView{l.Width, l.Height, l.Values.data()}, j,
                                    GreyView{r.Width, r.Height, r.Values.data()}, pp.Left, tests, &pp.Right);
  if (!found.Confident) {
    note = found.Reason;
    return std::nullopt;
  }
  const Rotation rightToLeft = geom::Transposed(found.Rotation);
  PlaceByRotation(rs, pp, i, j, rightToLeft);
  return RescuedRotation{rightToLeft, std::max(kRescuedErrorPixels, 2.0 * found.FeaturePixels)};
}

void PlaceByRotation(RunState& rs, const PairCameras& pp, int i, int j, const Rotation& rightToLeft) {
  PictureGeometry& g = rs.Geometry.at(static_cast<std::size_t>(i));
  // The points the line search fixes stay where they are (the right line's
  // ends in the right picture, the anchor in the left one); their partners
  // go where the rotation puts them.
  const Rotation leftToRight = geom::Transposed(rightToLeft);
  TConnectionSide& ls = g.RightConnection;
  TConnectionSide& rsd = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection;
  const auto lineStart = CarriedPixel(pp.Right, pp.Left, rightToLeft, rsd.ImagePoints[0]);
  const auto lineEnd = CarriedPixel(pp.Right, pp.Left, rightToLeft, rsd.ImagePoints[1]);
  const auto partner = CarriedPixel(pp.Left, pp.Right, leftToRight, ls.ImagePoints[2]);
  if (lineStart && lineEnd && partner) {
    SetPoint(pp.Left, ls, 0, *lineStart);
    SetPoint(pp.Left, ls, 1, *lineEnd);
    SetPoint(pp.Right, rsd, 2, *partner);
  }
}

void RefineStoredConnection(RunState& rs, int i, int j, const GreyPyramid& left, const GreyPyramid& right,
                            const RefinementSettings& given) {
  RefinementSettings settings = given;
  if (!settings.Stop) settings.Stop = rs.StopSignal;
  // Measured under the exact inverse of the aberration polynomial, so that
  // the correspondences carry no error of the model's first-order one.
  const PairCameras pp = CamerasOf(rs, i, j);
  PictureGeometry& g = rs.Geometry.at(static_cast<std::size_t>(i));
  const TConnectionSide& l = g.RightConnection;
  const TConnectionSide& r = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection;
  std::vector<Ray> lr, rr;
  const bool zoomed = pp.Left.FocalPixels != pp.Right.FocalPixels || g.Zoom != 1.0;
  for (std::size_t k = 0; k < 3; ++k) {
    // The matching placed the points under the set's camera; a picture at
    // another zoom sees their pixels in directions of its own.
    lr.push_back(zoomed ? geom::PixelToRay(pp.Left, l.ImagePoints[k]) : AnglesToRay(pp.Left, l.AnglePoints[k]));
    rr.push_back(zoomed ? geom::PixelToRay(pp.Right, r.ImagePoints[k]) : AnglesToRay(pp.Right, r.AnglePoints[k]));
  }
  const double errorPixels = settings.SearchCells * pp.Left.WorkingScale + 2.0;
  TConnectionRefinement result = RefineRotation(pp, left, right, FitRotation(lr, rr), errorPixels, settings);
  // The estimate's features see the pictures whatever their order: a
  // rotation that puts the right picture on the left (a set loaded the
  // wrong way round) is no connection of this arrangement, as the rescue
  // would not accept it either; the connection is then named, and Join
  // offers the order that fits.
  if (settings.FromEstimate && g.EstimatedRightRotation && !Stopped(settings) &&
      Verdict(result) == RefinedVerdict::NoMatch &&
      ArrangementFault(geom::Transposed(*g.EstimatedRightRotation), pp.Left, RescueOptions{}.MaxRollDegrees).empty()) {
    // The focal length estimate's features agree on a rotation of this
    // pair: measured from it, a connection whose points the pictures do not
    // confirm may need no feature search of its own. Its consistent
    // correspondences decide, as after a rescue.
    TConnectionRefinement seeded =
        RefineRotation(pp, left, right, *g.EstimatedRightRotation, kRescuedErrorPixels, settings);
    if (!Stopped(settings) && Verdict(seeded) != RefinedVerdict::NoMatch) {
      PlaceByRotation(rs, pp, i, j, *g.EstimatedRightRotation);
      result = std::move(seeded);
      result.Rescued = true;
    }
  }
  if (settings.Rescue && !Stopped(settings) && Verdict(result) != RefinedVerdict::Sound) {
    std::string note;
    if (const auto rescued = TryRescue(rs, pp, i, j, left, right, note)) {
      // The rescue placed the three points anew: what was measured from the
      // old ones no longer belongs to the connection.
      // The feature fit is good to a few pixels, whatever the working grid.
      result = RefineRotation(pp, left, right, rescued->RightToLeft, rescued->ErrorPixels, settings);
      result.Rescued = true;
    } else {
      result.RescueNote = note;
    }
  }
  // A measuring that was stopped is no result: the connection keeps what it
  // had and is measured again next time.
  if (Stopped(settings)) return;
  // The points now in place (a rescue may have replaced them).
  result.LeftSource = rs.Geometry.at(static_cast<std::size_t>(i)).RightConnection.ImagePoints;
  result.RightSource = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection.ImagePoints;
  rs.Geometry.at(static_cast<std::size_t>(i)).RightRefinement = std::move(result);
}

void RefineConnections(RunState& rs, int only, const RefinementSettings& settings) {
  const int count = rs.PictureSet.Count;
  // The luma as the finding phase decodes it, so that a later refinement
  // measures what the refinement during the matching measured.
  const auto load = [&rs](int p) { return BuildGreyPyramid(LoadGrey(rs.PictureSet.FileNames.at(static_cast<std::size_t>(p)))); };
  GreyPyramid left;
  int leftIndex = -1;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    if (only >= 0 && i != only) continue;
    if (StopSignalled(rs)) return;
    const int j = i + 1 == count ? 0 : i + 1;
    if (leftIndex != i) left = load(i);
    GreyPyramid right = load(j);
    RefineStoredConnection(rs, i, j, left, right, settings);
    left = std::move(right);
    leftIndex = j;
  }
}

int RefineOutdatedConnections(RunState& rs) {
  const int count = rs.PictureSet.Count;
  RefinementSettings settings;
  settings.Rescue = false;
  settings.FromEstimate = false;
  int measured = 0;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    const int j = i + 1 == count ? 0 : i + 1;
    const PictureGeometry& g = rs.Geometry.at(static_cast<std::size_t>(i));
    if (!RefinementCurrent(g.RightRefinement, g.RightConnection,
                           rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection)) {
      RefineConnections(rs, i, settings);
      ++measured;
    }
  }
  return measured;
}

}  // namespace vistarium::refine
