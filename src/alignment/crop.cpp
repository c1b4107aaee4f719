#include "alignment/crop.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"

namespace vistarium::alignment {

namespace {

// Columns first..last (inclusive) of one panorama row.
struct ColumnRange {
  int First = 0, Last = 0;
};

struct Frame {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// The frame that holds every picture whole: columns Left .. Right - 1, rows
// of equal-area height Top down to Bottom + 1.
Frame WholeFrame(const std::vector<std::vector<TRealPoint>>& outlines) {
  double west = std::numeric_limits<double>::infinity(), east = -west, north = -west, south = west;
  for (const auto& outline : outlines)
    for (const TRealPoint& p : outline) {
      west = std::min(west, p.X);
      east = std::max(east, p.X);
      north = std::max(north, p.Y);
      south = std::min(south, p.Y);
    }
  return {Floor(west), Round(std::ceil(north)), Round(std::ceil(east)) + 1, Floor(south) - 1};
}

// Per row v of the frame (height Top - v), the column ranges that the
// outlines cover, merged: rows cross each outline's edges (scanline fill);
// a column counts when its longitude lies between two crossings. On a full
// circle (`circle` columns to a turn) the ranges are taken around it.
std::vector<std::vector<ColumnRange>> CoveredColumns(const std::vector<std::vector<TRealPoint>>& outlines,
                                                     const Frame& frame, int circle) {
  const int rows = frame.Top - frame.Bottom;
  std::vector<std::vector<ColumnRange>> covered(static_cast<std::size_t>(std::max(rows, 0)));
  std::vector<std::vector<double>> crossings(covered.size());
  for (const auto& outline : outlines) {
    for (auto& c : crossings) c.clear();
    for (std::size_t k = 0; k < outline.size(); ++k) {
      const TRealPoint a = outline[k], b = outline[(k + 1) % outline.size()];
      if (a.Y == b.Y) continue;
      const double lo = std::min(a.Y, b.Y), hi = std::max(a.Y, b.Y);
      // Rows whose height h satisfies lo <= h < hi.
      const int firstRow = std::max(0, Round(std::ceil(frame.Top - hi + 1e-9)));
      const int lastRow = std::min(rows - 1, Floor(frame.Top - lo));
      for (int v = firstRow; v <= lastRow; ++v) {
        const double h = frame.Top - v;
        if (h < lo || h >= hi) continue;
        crossings[static_cast<std::size_t>(v)].push_back(a.X + (h - a.Y) * (b.X - a.X) / (b.Y - a.Y));
      }
    }
    for (std::size_t v = 0; v < crossings.size(); ++v) {
      std::vector<double>& c = crossings[v];
      std::sort(c.begin(), c.end());
      for (std::size_t k = 0; k + 1 < c.size(); k += 2) {
        const int first = Round(std::ceil(c[k])) - frame.Left, last = Floor(c[k + 1]) - frame.Left;
        if (first > last) continue;
        if (circle <= 0) {
          covered[v].push_back({first, last});
        } else if (last - first + 1 >= circle) {
          covered[v].push_back({0, circle - 1});
        } else {
          const int start = ((first % circle) + circle) % circle, end = start + (last - first);
          covered[v].push_back({start, std::min(end, circle - 1)});
          if (end >= circle) covered[v].push_back({0, end - circle});
        }
      }
    }
  }
  for (auto& ranges : covered) {
    std::sort(ranges.begin(), ranges.end(), [](ColumnRange a, ColumnRange b) { return a.First < b.First; });
    std::vector<ColumnRange> merged;
    for (const ColumnRange& r : ranges) {
      if (!merged.empty() && r.First <= merged.back().Last + 1)
        merged.back().Last = std::max(merged.back().Last, r.Last);
      else
        merged.push_back(r);
    }
    ranges = std::move(merged);
  }
  return covered;
}

// The largest rectangle of covered columns and rows (rows v0..v1, columns
// u0..u1), by the histogram method row after row; all -1 when nothing is
// covered.
struct Rectangle {
  int U0 = -1, U1 = -1, V0 = -1, V1 = -1;
};
Rectangle LargestCoveredRectangle(const std::vector<std::vector<ColumnRange>>& covered, int width) {
  std::vector<int> height(static_cast<std::size_t>(width) + 1, 0);  // a zero at the end closes every bar
  std::vector<int> stack;
  std::int64_t best = 0;
  Rectangle r;
  for (std::size_t v = 0; v < covered.size(); ++v) {
    std::vector<int> next(static_cast<std::size_t>(width) + 1, 0);
    for (const ColumnRange& c : covered[v])
      for (int u = std::max(c.First, 0); u <= std::min(c.Last, width - 1); ++u)
        next[static_cast<std::size_t>(u)] = height[static_cast<std::size_t>(u)] + 1;
    height.swap(next);
    stack.clear();
    for (int u = 0; u <= width; ++u) {
      while (!stack.empty() && height[static_cast<std::size_t>(stack.back())] >= height[static_cast<std::size_t>(u)]) {
        const int h = height[static_cast<std::size_t>(stack.back())];
        stack.pop_back();
        const int from = stack.empty() ? 0 : stack.back() + 1;
        const std::int64_t area = static_cast<std::int64_t>(h) * (u - from);
        if (h > 0 && area > best) {
          best = area;
          r = {from, u - 1, static_cast<int>(v) - h + 1, static_cast<int>(v)};
        }
      }
      stack.push_back(u);
    }
  }
  return r;
}

void WholeCrop(RunState& rs, const Frame& whole) {
  PanoramaLayout& L = rs.Layout;
  L.Top = whole.Top;
  L.Bottom = whole.Bottom;
  if (!rs.PictureSet.Is360) {
    L.Left = whole.Left;
    L.Right = whole.Right;
  }
}

void LargestCrop(RunState& rs, const std::vector<std::vector<TRealPoint>>& outlines, const Frame& whole) {
  PanoramaLayout& L = rs.Layout;
  const int circle = rs.PictureSet.Is360 ? PanoramaProjection(rs).FullCircleInt : 0;
  if (circle > 0) {
    // Column u of a full circle is longitude u, taken around the circle.
    Frame turn = whole;
    turn.Left = 0;
    const auto covered = CoveredColumns(outlines, turn, circle);
    // The longest run of rows covered all round.
    int bestFirst = -1, bestLength = 0, runFirst = 0;
    for (int v = 0; v <= static_cast<int>(covered.size()); ++v) {
      const bool full = v < static_cast<int>(covered.size()) && covered[static_cast<std::size_t>(v)].size() == 1 &&
                        covered[static_cast<std::size_t>(v)][0].First == 0 &&
                        covered[static_cast<std::size_t>(v)][0].Last == circle - 1;
      if (full) continue;
      if (v - runFirst > bestLength) {
        bestLength = v - runFirst;
        bestFirst = runFirst;
      }
      runFirst = v + 1;
    }
    if (bestLength < 3) return;  // nothing better than the common band
    L.Top = whole.Top - (bestFirst + 1);
    L.Bottom = L.Top - (bestLength - 2);
    return;
  }
  const Rectangle r = LargestCoveredRectangle(CoveredColumns(outlines, whole, 0), whole.Right - whole.Left);
  if (r.U1 - r.U0 < 2 || r.V1 - r.V0 < 2) return;
  // One pixel inside the covered cells all round, as the common band keeps.
  L.Left = whole.Left + r.U0 + 1;
  L.Right = whole.Left + r.U1;
  L.Top = whole.Top - (r.V0 + 1);
  L.Bottom = whole.Top - r.V1;
}

}  // namespace

std::vector<TRealPoint> PictureOutline(const RunState& rs, int i) {
  const TProjectionParameters& pp = rs.Projection;
  const double w1 = pp.PictureSize.X - 1, h1 = pp.PictureSize.Y - 1;
  const int step = std::max(1, std::min(pp.PictureSize.X, pp.PictureSize.Y) / 300);
  std::vector<TRealPoint> border;
  auto side = [&](TRealPoint from, TRealPoint to, double length) {
    const int n = std::max(1, static_cast<int>(std::ceil(length / step)));
    for (int k = 0; k < n; ++k) {
      const double t = static_cast<double>(k) / n;
      border.push_back({from.X + (to.X - from.X) * t, from.Y + (to.Y - from.Y) * t});
    }
  };
  side({0, 0}, {w1, 0}, w1);
  side({w1, 0}, {w1, h1}, h1);
  side({w1, h1}, {0, h1}, w1);
  side({0, h1}, {0, 0}, h1);
  std::vector<TRealPoint> outline;
  outline.reserve(border.size());
  // In panorama pixels of the layout's scale.
  const double s = rs.Layout.Scale;
  const double n = pp.FullCircle * s;
  for (const TRealPoint& pixel : border) {
    const TRealPoint q = PictureToPanorama(rs, i, pixel);
    double lon = q.X * s;
    if (!outline.empty()) {
      // Continuous around the border: no jump of half a turn or more.
      while (lon - outline.back().X > n / 2.0) lon -= n;
      while (outline.back().X - lon > n / 2.0) lon += n;
    }
    outline.push_back({lon, std::sin(q.Y * pp.AngleStep) * pp.PixelsPerRadian * s});
  }
  return outline;
}

void ChooseCrop(RunState& rs) {
  if (rs.Crop == params::CropChoice::Common || rs.PictureSet.Count < 1) return;
  std::vector<std::vector<TRealPoint>> outlines;
  for (int i = 0; i < rs.PictureSet.Count; ++i) outlines.push_back(PictureOutline(rs, i));
  const Frame whole = WholeFrame(outlines);
  if (rs.Crop == params::CropChoice::All)
    WholeCrop(rs, whole);
  else
    LargestCrop(rs, outlines, whole);
}

}  // namespace vistarium::alignment
