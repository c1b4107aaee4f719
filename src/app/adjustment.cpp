#include "app/adjustment.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "geom/numbers.h"
#include "geom/projection.h"

namespace vistarium::app {

namespace {

template <typename Picture>
void InvertPixels(Picture& picture, const TTriangle& t) {
  for (const TPoint p : TrianglePixels(t)) {
    if (p.X < 0 || p.Y < 0 || p.X >= picture.Width || p.Y >= picture.Height) continue;
    const auto inverted = static_cast<std::uint32_t>(picture.Pixels[static_cast<std::size_t>(p.Y) *
                                                                        static_cast<std::size_t>(picture.Width) +
                                                                    static_cast<std::size_t>(p.X)]) ^
                          kInvertMask;
    picture.Pixels[static_cast<std::size_t>(p.Y) * static_cast<std::size_t>(picture.Width) +
                   static_cast<std::size_t>(p.X)] =
        static_cast<typename decltype(picture.Pixels)::value_type>(inverted);
  }
}

double Distance(TPoint p, TPoint q) {
  return std::hypot(static_cast<double>(q.X) - p.X, static_cast<double>(q.Y) - p.Y);
}

const PictureGeometry& GeometryAt(const RunState& rs, int i) {
  if (i < 0 || static_cast<std::size_t>(i) >= rs.Geometry.size())
    throw std::out_of_range("No connection for picture " + std::to_string(i + 1));
  return rs.Geometry[static_cast<std::size_t>(i)];
}

TTriangle Rounded(const std::array<TRealPoint, 3>& points) {
  TTriangle t;
  for (std::size_t k = 0; k < 3; ++k) t[k] = {Round(points[k].X), Round(points[k].Y)};
  return t;
}

void Store(const TProjectionParameters& pp, TConnectionSide& side, const TTriangle& t) {
  for (std::size_t k = 0; k < 3; ++k) {
    side.ImagePoints[k] = {static_cast<double>(t[k].X), static_cast<double>(t[k].Y)};
    side.AnglePoints[k] = geom::PictureToAngles(pp, side.ImagePoints[k]);
    side.WorkingPoints[k] = geom::ToWorkingScale(pp, side.AnglePoints[k]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Drawing

std::vector<TPoint> EdgeInnerPixels(TPoint p, TPoint q) {
  std::vector<TPoint> pixels;
  const std::int64_t dx = static_cast<std::int64_t>(q.X) - p.X, dy = static_cast<std::int64_t>(q.Y) - p.Y;
  if (std::llabs(dx) <= 1 && std::llabs(dy) <= 1) return pixels;
  if (std::llabs(dy) < std::llabs(dx)) {
    const int step = dx > 0 ? 1 : -1;
    pixels.reserve(static_cast<std::size_t>(std::llabs(dx) - 1));
    for (std::int32_t x = p.X + step; x != q.X; x += step)
      pixels.push_back({x, Round(static_cast<double>(x - p.X) / static_cast<double>(dx) * static_cast<double>(dy) +
                                 p.Y)});
  } else {
    const int step = dy > 0 ? 1 : -1;
    pixels.reserve(static_cast<std::size_t>(std::llabs(dy) - 1));
    for (std::int32_t y = p.Y + step; y != q.Y; y += step)
      pixels.push_back({Round(static_cast<double>(y - p.Y) / static_cast<double>(dy) * static_cast<double>(dx) +
                              p.X),
                        y});
  }
  return pixels;
}

std::vector<TPoint> TrianglePixels(const TTriangle& t) {
  std::vector<TPoint> pixels(t.begin(), t.end());
  for (std::size_t k = 0; k < 3; ++k) {
    const std::vector<TPoint> edge = EdgeInnerPixels(t[k], t[(k + 1) % 3]);
    pixels.insert(pixels.end(), edge.begin(), edge.end());
  }
  return pixels;
}

void DrawTriangle(DeviceBitmap& picture, const TTriangle& t) { InvertPixels(picture, t); }
void DrawTriangle(Bitmap32& picture, const TTriangle& t) { InvertPixels(picture, t); }

// ---------------------------------------------------------------------------
// Opening and dragging

ConnectionAdjustment OpenAdjustment(const RunState& rs, int l, int r) {
  ConnectionAdjustment a;
  a.LeftTriangle = Rounded(GeometryAt(rs, l).RightConnection.ImagePoints);
  a.RightTriangle = Rounded(GeometryAt(rs, r).LeftConnection.ImagePoints);
  a.LeftIndex = l;
  a.RightIndex = r;
  return a;
}

int NearestVertex(const TTriangle& t, TPoint p, int reach) {
  int vertex = 0;
  for (int k = 0; k < 3; ++k) {
    const std::int64_t d = std::llabs(static_cast<std::int64_t>(p.X) - t[static_cast<std::size_t>(k)].X) +
                           std::llabs(static_cast<std::int64_t>(p.Y) - t[static_cast<std::size_t>(k)].Y);
    if (d < reach) vertex = k + 1;
  }
  return vertex;
}

bool PressCorner(ConnectionAdjustment& a, int tag, TPoint p, int reach) {
  a.Dragging = false;
  a.DragVertex = 0;
  a.DragImageTag = tag;
  a.DragRight = tag != a.LeftIndex;
  a.DragVertex = NearestVertex(a.DragRight ? a.RightTriangle : a.LeftTriangle, p, reach);
  if (a.DragVertex > 0) {
    a.Dragging = true;
    a.DragOrigin = (a.DragRight ? a.RightTriangle : a.LeftTriangle)[static_cast<std::size_t>(a.DragVertex - 1)];
    a.PressPoint = p;
  }
  return a.Dragging;
}

namespace {

bool OnPressedPicture(const ConnectionAdjustment& a, int tag, TPoint p, TPoint pictureSize) {
  return a.Dragging && a.DragVertex > 0 && tag >= 0 && tag == a.DragImageTag && p.X >= 0 && p.X < pictureSize.X &&
         p.Y >= 0 && p.Y < pictureSize.Y;
}

// Puts the dragged corner at `to`; the triangle before, when it changed.
std::optional<CornerMove> PlaceDraggedCorner(ConnectionAdjustment& a, TPoint to) {
  TTriangle& t = a.DragRight ? a.RightTriangle : a.LeftTriangle;
  TPoint& corner = t[static_cast<std::size_t>(a.DragVertex - 1)];
  if (corner == to) return std::nullopt;
  CornerMove move{a.DragRight, t};
  corner = to;
  return move;
}

}  // namespace

std::optional<CornerMove> DragCorner(ConnectionAdjustment& a, int tag, TPoint p, TPoint pictureSize) {
  if (!a.Dragging || a.DragVertex <= 0) return std::nullopt;
  return PlaceDraggedCorner(a, OnPressedPicture(a, tag, p, pictureSize) ? p : a.DragOrigin);
}

std::optional<CornerMove> ReleaseCorner(ConnectionAdjustment& a, int tag, TPoint p, TPoint pictureSize) {
  std::optional<CornerMove> move;
  if (OnPressedPicture(a, tag, p, pictureSize)) {
    a.ReleasePoint = p;
    TTriangle& t = a.DragRight ? a.RightTriangle : a.LeftTriangle;
    move = CornerMove{a.DragRight, t};
    t[static_cast<std::size_t>(a.DragVertex - 1)] = p;
  } else if (a.Dragging && a.DragVertex > 0) {
    move = PlaceDraggedCorner(a, a.DragOrigin);  // a corner that followed the mouse goes back
  }
  a.Dragging = false;
  a.DragImageTag = -1;
  a.DragVertex = 0;
  return move;
}

TPoint ViewOriginFor(const TTriangle& t, TPoint view, TPoint picture) {
  constexpr int kMargin = 12;  // a corner this close to the view's border is hard to take
  auto origin = [&](double cx, double cy) {
    auto clamp = [](double centre, int v, int p) {
      return std::max(0, std::min(Round(centre - v / 2.0), std::max(0, p - v)));
    };
    return TPoint{clamp(cx, view.X, picture.X), clamp(cy, view.Y, picture.Y)};
  };
  auto shown = [&](TPoint o) {
    int n = 0;
    // Where the view ends at the picture's border, the border is no obstacle.
    const int left = o.X > 0 ? o.X + kMargin : 0, top = o.Y > 0 ? o.Y + kMargin : 0;
    const int right = o.X + view.X < picture.X ? o.X + view.X - kMargin : picture.X;
    const int bottom = o.Y + view.Y < picture.Y ? o.Y + view.Y - kMargin : picture.Y;
    for (const TPoint& c : t) n += c.X >= left && c.X < right && c.Y >= top && c.Y < bottom;
    return n;
  };
  std::vector<TPoint> candidates;
  const auto [minX, maxX] = std::minmax({t[0].X, t[1].X, t[2].X});
  const auto [minY, maxY] = std::minmax({t[0].Y, t[1].Y, t[2].Y});
  candidates.push_back(origin((minX + maxX) / 2.0, (minY + maxY) / 2.0));
  for (std::size_t k = 0; k < 3; ++k) {
    const TPoint p = t[k], q = t[(k + 1) % 3];
    candidates.push_back(origin((p.X + q.X) / 2.0, (p.Y + q.Y) / 2.0));
  }
  for (const TPoint& c : t) candidates.push_back(origin(c.X, c.Y));
  TPoint best = candidates.front();
  int most = shown(best);
  for (const TPoint& o : candidates)
    if (const int n = shown(o); n > most) {
      best = o;
      most = n;
    }
  return best;
}

// ---------------------------------------------------------------------------
// Saving

TriangleProblem CheckTriangle(const TTriangle& t, int pictureHeight) {
  const double e1 = Distance(t[0], t[1]), e2 = Distance(t[1], t[2]), e3 = Distance(t[2], t[0]);
  const double perimeter = e1 + e2 + e3;
  if (pictureHeight * 0.3 > perimeter) return TriangleProblem::Small;
  const double longest = std::max({e1, e2, e3});
  if (longest * 0.006 > (perimeter - longest) - longest) return TriangleProblem::Narrow;
  return TriangleProblem::None;
}

std::string SaveRefusal(const ConnectionAdjustment& a, int pictureHeight) {
  switch (CheckTriangle(a.LeftTriangle, pictureHeight)) {
    case TriangleProblem::Small:
      return std::string(kLeftTriangleSmall);
    case TriangleProblem::Narrow:
      return std::string(kLeftTriangleNarrow);
    case TriangleProblem::None:
      break;
  }
  switch (CheckTriangle(a.RightTriangle, pictureHeight)) {
    case TriangleProblem::Small:
      return std::string(kRightTriangleSmall);
    case TriangleProblem::Narrow:
      return std::string(kRightTriangleNarrow);
    case TriangleProblem::None:
      break;
  }
  return {};
}

void StoreAdjustment(RunState& rs, const ConnectionAdjustment& a) {
  GeometryAt(rs, a.LeftIndex);
  GeometryAt(rs, a.RightIndex);
  Store(PictureProjection(rs, a.LeftIndex), rs.Geometry[static_cast<std::size_t>(a.LeftIndex)].RightConnection,
        a.LeftTriangle);
  Store(PictureProjection(rs, a.RightIndex), rs.Geometry[static_cast<std::size_t>(a.RightIndex)].LeftConnection,
        a.RightTriangle);
}

}  // namespace vistarium::app
