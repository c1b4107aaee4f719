#include "render/band_fill.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VISTARIUM_X86 1
#endif

#ifdef _OPENMP
#include <omp.h>
#endif

#include "alignment/bundle_coord.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"
#include "render/fill_rows.h"
#include "render/picture_file.h"
#include "render/sampling.h"

namespace vistarium::render {

namespace {

using rows::AddWeighted;
using rows::NextOf;
using rows::OffsetAfter;
using rows::PrevOf;
using rows::SpanFromTo;

// ---------------------------------------------------------------------------
// The exact mapping of a panorama pixel into a picture

// Follows the general mapping (closure, orientation, projection) step by
// step, but takes what is constant along a row or down a column out of the
// pixel, and goes from the stereographic plane to the picture plane in
// closed form: for w = (a, b) with b > 0 the ray (x, y, f) has x = f a / b
// and y = f (a^2 + b^2 - 1) / (2 b), which is what the angles of w give
// through tangents; for b <= 0 the direction lies behind the picture. The
// positions agree with the general mapping to far below a thousandth of a
// pixel.
class Mapper {
public:
  explicit Mapper(const RunState& rs)
      : rs_(rs), pp_(rs.Projection), panorama_(alignment::PanoramaProjection(rs)), scale_(rs.Layout.Scale) {
    if (!rs.PictureSet.Is360) {
      // Column x of an open panorama is longitude Left + x (of the layout's
      // scale), brought into half turns of the pictures' circle.
      const int width = rs.Panorama.Width;
      sin_.resize(static_cast<std::size_t>(width));
      cos_.resize(static_cast<std::size_t>(width));
      for (int x = 0; x < width; ++x) {
        const double lon = HalfTurns(Unscaled(rs.Layout.Left + static_cast<double>(x)));
        sin_[static_cast<std::size_t>(x)] = std::sin(lon * pp_.AngleStep);
        cos_[static_cast<std::size_t>(x)] = std::cos(lon * pp_.AngleStep);
      }
    }
  }

  struct Row {
    int Y = 0;
    double Latitude = 0.0;  // pixels of the pictures' circle
    double Radius = 0.0;    // stereographic radius of that latitude
  };
  Row ForRow(int y) const {
    Row r;
    r.Y = y;
    r.Latitude = Unscaled(geom::EqualAreaToLatitude(panorama_, {0.0, rs_.Layout.Top - static_cast<double>(y)}).Y);
    r.Radius = std::tan(r.Latitude * pp_.AngleStep / 2.0 + std::numbers::pi / 4.0);
    return r;
  }

  // Picture i's position of panorama column x on the row; `piece` names the
  // smooth piece of the mapping it lies on, -1 where it has none (the
  // mapping's markers for directions it cannot place).
  TRealPoint Exact(const Row& row, int i, int x, int& piece) const {
    const TRealPoint p = rs_.PictureSet.Is360 ? Circle(row, i, x, piece) : Plain(row, i, x);
    if (!rs_.PictureSet.Is360) piece = 0;
    if (IsMarker(p)) piece = -1;
    return p;
  }

  // The piece of a full circle's mapping that column x of picture i lies
  // on (-1 outside the picture's span).
  int CirclePiece(int i, int x) const {
    const double n = panorama_.CircleLength;
    if (alignment::InSpan(rs_, i, x)) return 1;
    if (alignment::InSpan(rs_, i, x - n)) return 0;
    if (alignment::InSpan(rs_, i, x + n)) return 2;
    return -1;
  }

  // The same on a given piece of a full circle's mapping, whether or not
  // the column lies in the picture's span: the mapping carried on beyond
  // the span's ends, for interpolation windows that reach past them;
  // nothing where it cannot be carried.
  std::optional<TRealPoint> CircleOnPiece(const Row& row, int i, int x, int piece) const {
    const TOrientationMap& m = rs_.Geometry[static_cast<std::size_t>(i)].OrientationMap;
    if (!rs_.PictureSet.Is360 || !m.Active || piece < 0) return std::nullopt;
    const TRealPoint p = OnPiece(row, i, x, piece, m);
    if (IsMarker(p)) return std::nullopt;
    return p;
  }

  static bool IsMarker(TRealPoint p) {
    return (p.X == -10.0 && p.Y == -10.0) || (p.X == 0.0 && p.Y == 0.0);
  }

private:
  double Unscaled(double v) const { return scale_ == 1.0 ? v : v / scale_; }

  TRealPoint Plain(const Row& row, int i, int x) const {
    const TOrientationMap& m = rs_.Geometry[static_cast<std::size_t>(i)].OrientationMap;
    if (!m.Active)
      return alignment::OutputToPicturePlain(rs_, i, {static_cast<double>(x), static_cast<double>(row.Y)});
    const TRealPoint z{sin_[static_cast<std::size_t>(x)] * row.Radius, cos_[static_cast<std::size_t>(x)] * row.Radius};
    return ToPicture(i, geom::MoebiusMap(z, m.P4, m.P5, m.P8, m.P1, m.P2));
  }

  // The longitude is tried around the circle as the general mapping tries
  // it (x, x - N, x + N: pieces 1, 0, 2) and the closure undone first.
  TRealPoint Circle(const Row& row, int i, int x, int& piece) const {
    piece = CirclePiece(i, x);
    if (piece < 0) return {-10.0, -10.0};
    const TOrientationMap& m = rs_.Geometry[static_cast<std::size_t>(i)].OrientationMap;
    if (!m.Active) return alignment::OutputToPictureCircle(rs_, i, {static_cast<double>(x), static_cast<double>(row.Y)});
    return OnPiece(row, i, x, piece, m);
  }

  // Picture i's position of column x taken on the given piece of a circle
  // (its longitude x - N, x or x + N for pieces 0, 1, 2), the closure undone
  // first.
  TRealPoint OnPiece(const Row& row, int i, int x, int piece, const TOrientationMap& m) const {
    const double lon = x + (piece - 1) * panorama_.CircleLength;
    TRealPoint q = alignment::OpenCircle(rs_, {Unscaled(lon), row.Latitude});
    q.X = HalfTurns(q.X);
    return ToPicture(i, geom::MoebiusMap(geom::SphereToStereo(pp_, q), m.P4, m.P5, m.P8, m.P1, m.P2));
  }


  double HalfTurns(double lon) const {
    if (lon < -pp_.HalfCircle) lon += pp_.FullCircle;
    if (lon >= pp_.HalfCircle) lon -= pp_.FullCircle;
    return lon;
  }

  TRealPoint ToPicture(int i, TRealPoint w) const {
    if (!(w.Y > 1e-8)) return {0.0, 0.0};  // behind the picture, as the general mapping marks it
    const double f = pp_.FocalPixels * rs_.Geometry[static_cast<std::size_t>(i)].Zoom;
    const TRealPoint plane{f * w.X / w.Y, f * (w.X * w.X + w.Y * w.Y - 1.0) / (2.0 * w.Y)};
    return geom::PictureCoordinates(pp_, geom::RestoreAberration(pp_, plane));
  }

  const RunState& rs_;
  const TProjectionParameters& pp_;
  const TProjectionParameters panorama_;
  const double scale_;
  std::vector<double> sin_, cos_;
};

// ---------------------------------------------------------------------------
// One picture's part of a band: its walk along the rows, the grid of exact
// nodes, and the window of its rows that the band reads.

// Position flags of one walk column.
enum : std::uint8_t { kOutside = 0, kInside = 1, kCorner = 2 };

// Interpolation through the (up to) four nodes around an interval: a cubic,
// which follows the mapping to far below a thousandth of a pixel over tens
// of pixels, where a straight line between two nodes misses it by
// hundredths.
constexpr int kWindow = 4;

// The first node of the window around interval k (nodes k and k + 1) of n nodes.
inline int WindowStart(int k, int n) { return std::clamp(k - 1, 0, std::max(0, n - kWindow)); }
inline int WindowSize(int n) { return std::min(n, kWindow); }

// Lagrange weights at x of the nodes at xs[0 .. n).
inline void LagrangeWeights(const double* xs, int n, double x, double* w) {
  for (int j = 0; j < n; ++j) {
    double p = 1.0;
    for (int l = 0; l < n; ++l)
      if (l != j) p *= (x - xs[l]) / (xs[j] - xs[l]);
    w[j] = p;
  }
}

// The polynomial through n points, as coefficients of the powers of
// s = x - origin (Newton's divided differences, multiplied out).
struct Polynomial {
  double C[kWindow] = {0.0, 0.0, 0.0, 0.0};
  double operator()(double s) const { return ((C[3] * s + C[2]) * s + C[1]) * s + C[0]; }
};
inline Polynomial Through(const double* xs, const double* vs, int n, double origin) {
  double d[kWindow];
  for (int j = 0; j < n; ++j) d[j] = vs[j];
  for (int level = 1; level < n; ++level)
    for (int j = n - 1; j >= level; --j) d[j] = (d[j] - d[j - 1]) / (xs[j] - xs[j - level]);
  Polynomial result, basis;
  basis.C[0] = 1.0;
  for (int j = 0; j < n; ++j) {
    for (int c = 0; c < kWindow; ++c) result.C[c] += d[j] * basis.C[c];
    // basis *= (s - (xs[j] - origin))
    const double root = xs[j] - origin;
    for (int c = kWindow - 1; c >= 0; --c) basis.C[c] = (c > 0 ? basis.C[c - 1] : 0.0) - root * basis.C[c];
  }
  return result;
}

// Through for two sets of values at the same points (a position's two
// coordinates): with SSE2 both in the two lanes of one register, with the
// same operations in the same order, so the same polynomials.
inline void ThroughBoth(const double* xs, const double* us, const double* vs, int n, double origin, Polynomial& u,
                        Polynomial& v) {
#if defined(VISTARIUM_X86) && defined(__SSE2__)
  __m128d d[kWindow];
  for (int j = 0; j < n; ++j) d[j] = _mm_setr_pd(us[j], vs[j]);
  for (int level = 1; level < n; ++level)
    for (int j = n - 1; j >= level; --j)
      d[j] = _mm_div_pd(_mm_sub_pd(d[j], d[j - 1]), _mm_set1_pd(xs[j] - xs[j - level]));
  __m128d result[kWindow];
  for (__m128d& r : result) r = _mm_setzero_pd();
  double basis[kWindow] = {1.0, 0.0, 0.0, 0.0};
  for (int j = 0; j < n; ++j) {
    for (int c = 0; c < kWindow; ++c) result[c] = _mm_add_pd(result[c], _mm_mul_pd(d[j], _mm_set1_pd(basis[c])));
    const double root = xs[j] - origin;
    for (int c = kWindow - 1; c >= 0; --c) basis[c] = (c > 0 ? basis[c - 1] : 0.0) - root * basis[c];
  }
  for (int c = 0; c < kWindow; ++c) {
    u.C[c] = _mm_cvtsd_f64(result[c]);
    v.C[c] = _mm_cvtsd_f64(_mm_unpackhi_pd(result[c], result[c]));
  }
#else
  u = Through(xs, us, n, origin);
  v = Through(xs, vs, n, origin);
#endif
}

struct PictureBand {
  bool Active = false;
  int Start = 0;   // panorama column of walk offset 0
  int Length = 0;  // walk columns
  std::vector<int> NodeCols;  // walk offsets of the node columns, the last one Length - 1
  std::vector<TRealPoint> Nodes;  // [row node][column node]
  std::vector<int> Pieces;
  // The piece a node's position in Nodes lies on: its own, or for a node
  // without one (beyond a circle's span) the piece of its row's nearest
  // node that has one, when the mapping carries on to it (-1 otherwise).
  std::vector<int> WindowPieces;
  std::vector<std::uint8_t> Smooth;  // [row cell][column cell]: interpolated, not mapped pixel by pixel
  // [row cell][column cell]: for an interpolated cell of a circle that
  // reaches beyond the picture's span, 1 + the piece its columns inside the
  // span lie on; 0 for every other cell.
  std::vector<int> Partial;
  int Cells = 0, SmoothCells = 0;
  int FirstRow = 0, LastRow = -1;    // rows of the picture the band reads
  // Byte offsets of the held rows in the row stream's store, from row HeldFirst.
  std::vector<std::int32_t> RowOffsets;
  int HeldFirst = 0, HeldEnd = 0;
};

struct BandGeometry {
  int Top = 0, End = 0;       // panorama rows
  std::vector<int> NodeRows;  // from a node row above the band to one below it, within the panorama
};

// The walk of picture i along every row: an open panorama from one column
// left of its span to one right of it, clipped; a full circle from two
// columns before the rounded left bound to just before the column two after
// the rounded right bound, around the seam, all N columns when they meet.
void SetWalk(const RunState& rs, int i, PictureBand& pb) {
  const PanoramaLayout& L = rs.Layout;
  const auto si = static_cast<std::size_t>(i);
  const int width = rs.Panorama.Width;
  if (rs.PictureSet.Is360) {
    const int n = width;
    const int xa = PrevOf(PrevOf(Round(L.SpanLeftWrapped[si]), n), n);
    const int xb = NextOf(NextOf(Round(L.SpanRightWrapped[si]), n), n);
    pb.Start = xa;
    pb.Length = xa == xb ? n : (xb - xa + n) % n;
  } else {
    const int lo = std::max(0, Round(L.SpanLeft[si] - 1.0)), hi = std::min(width - 1, Round(L.SpanRight[si] + 1.0));
    pb.Start = lo;
    pb.Length = std::max(0, hi - lo + 1);
  }
  pb.Active = pb.Length > 0;
  pb.NodeCols.clear();
  for (int t = 0; t < pb.Length - 1; t += kGridStep) pb.NodeCols.push_back(t);
  if (pb.Length > 0) pb.NodeCols.push_back(pb.Length - 1);
}

inline int ColumnOf(const PictureBand& pb, int t, int width) {
  const int x = pb.Start + t;
  return x >= width ? x - width : x;
}

// The interpolation of one picture's nodes over one band.
class GridInterpolation {
public:
  GridInterpolation(const PictureBand& pb, const BandGeometry& band)
      : pb_(pb), rows_(band.NodeRows), cols_(pb.NodeCols.size()) {}

  std::size_t RowCells() const { return rows_.size() > 1 ? rows_.size() - 1 : 0; }
  std::size_t ColumnCells() const { return cols_ > 1 ? cols_ - 1 : 0; }

  // The row cell holding panorama row y.
  std::size_t RowCell(int y) const {
    std::size_t m = 0;
    while (m + 2 < rows_.size() && rows_[m + 1] <= y) ++m;
    return m;
  }

  // The nodes interpolated down to row y (which lies in row cell m), for
  // every node column.
  void NodesAtRow(int y, std::size_t m, std::vector<TRealPoint>& out) const {
    const int n = WindowSize(static_cast<int>(rows_.size())), first = WindowStart(static_cast<int>(m), static_cast<int>(rows_.size()));
    double xs[kWindow], w[kWindow];
    for (int j = 0; j < n; ++j) xs[j] = rows_[static_cast<std::size_t>(first + j)];
    LagrangeWeights(xs, n, y, w);
    out.assign(cols_, TRealPoint{});
    for (int j = 0; j < n; ++j) {
      const TRealPoint* node = &pb_.Nodes[static_cast<std::size_t>(first + j) * cols_];
      for (std::size_t k = 0; k < cols_; ++k) {
        out[k].X += w[j] * node[k].X;
        out[k].Y += w[j] * node[k].Y;
      }
    }
  }

  // Along column cell k of a row of interpolated nodes: the two
  // coordinates' polynomials in t - NodeCols[k].
  void AlongRow(const std::vector<TRealPoint>& row, std::size_t k, Polynomial& u, Polynomial& v) const {
    const int n = WindowSize(static_cast<int>(cols_)), first = WindowStart(static_cast<int>(k), static_cast<int>(cols_));
    double ts[kWindow], us[kWindow], vs[kWindow];
    for (int j = 0; j < n; ++j) {
      const auto c = static_cast<std::size_t>(first + j);
      ts[j] = pb_.NodeCols[c];
      us[j] = row[c].X;
      vs[j] = row[c].Y;
    }
    ThroughBoth(ts, us, vs, n, pb_.NodeCols[k], u, v);
  }

  // The piece of the mapping that the cell's interpolation window lies on,
  // its nodes beyond a circle's span carried on to it (WindowPieces), and
  // whether a corner of the cell is such a node; -1 when there is none.
  int CellPiece(std::size_t m, std::size_t k, bool& partial) const {
    const int rn = WindowSize(static_cast<int>(rows_.size())), rf = WindowStart(static_cast<int>(m), static_cast<int>(rows_.size()));
    const int cn = WindowSize(static_cast<int>(cols_)), cf = WindowStart(static_cast<int>(k), static_cast<int>(cols_));
    const auto at = [this](const std::vector<int>& v, std::size_t r, std::size_t c) { return v[r * cols_ + c]; };
    const int piece = at(pb_.WindowPieces, m, k);
    if (piece < 0) return -1;
    for (int r = rf; r < rf + rn; ++r)
      for (int c = cf; c < cf + cn; ++c)
        if (at(pb_.WindowPieces, static_cast<std::size_t>(r), static_cast<std::size_t>(c)) != piece) return -1;
    partial = false;
    for (std::size_t r = m; r <= m + 1; ++r)
      for (std::size_t c = k; c <= k + 1; ++c) partial = partial || at(pb_.Pieces, r, c) != piece;
    return piece;
  }

private:
  const PictureBand& pb_;
  const std::vector<int>& rows_;
  const std::size_t cols_;
};

// Computes picture i's nodes of the band, which cells interpolate, and the
// rows of the picture the band reads.
void BuildGrid(const RunState& rs, const Mapper& mapper, const BandGeometry& band, int i, PictureBand& pb) {
  const int width = rs.Panorama.Width;
  const TPoint size = rs.Projection.PictureSize;
  const std::size_t cols = pb.NodeCols.size(), rowsN = band.NodeRows.size();
  pb.Nodes.assign(cols * rowsN, {});
  pb.Pieces.assign(cols * rowsN, -1);
  double vmin = 1e300, vmax = -1e300;
  for (std::size_t m = 0; m < rowsN; ++m) {
    const Mapper::Row row = mapper.ForRow(band.NodeRows[m]);
    for (std::size_t k = 0; k < cols; ++k) {
      int piece = -1;
      const TRealPoint p = mapper.Exact(row, i, ColumnOf(pb, pb.NodeCols[k], width), piece);
      pb.Nodes[m * cols + k] = p;
      pb.Pieces[m * cols + k] = piece;
      // Only nodes near the band's rows bound the rows it reads.
      if (piece >= 0 && band.NodeRows[m] + kGridRowStep >= band.Top && band.NodeRows[m] - kGridRowStep < band.End) {
        vmin = std::min(vmin, p.Y);
        vmax = std::max(vmax, p.Y);
      }
    }
  }
  // Nodes beyond a circle's span carried on along the piece of their row's
  // nearest node inside it, so that the cells at the span's ends
  // interpolate too.
  pb.WindowPieces = pb.Pieces;
  if (rs.PictureSet.Is360)
    for (std::size_t m = 0; m < rowsN; ++m) {
      const Mapper::Row row = mapper.ForRow(band.NodeRows[m]);
      for (std::size_t k = 0; k < cols; ++k) {
        if (pb.Pieces[m * cols + k] >= 0) continue;
        int nearest = -1;
        for (std::size_t d = 1; d < cols && nearest < 0; ++d) {
          if (k >= d && pb.Pieces[m * cols + k - d] >= 0) nearest = pb.Pieces[m * cols + k - d];
          else if (k + d < cols && pb.Pieces[m * cols + k + d] >= 0) nearest = pb.Pieces[m * cols + k + d];
        }
        const std::optional<TRealPoint> carried =
            mapper.CircleOnPiece(row, i, ColumnOf(pb, pb.NodeCols[k], width), nearest);
        if (!carried) continue;
        pb.Nodes[m * cols + k] = *carried;
        pb.WindowPieces[m * cols + k] = nearest;
      }
    }
  const GridInterpolation grid(pb, band);
  const std::size_t cellCols = grid.ColumnCells(), cellRows = grid.RowCells();
  pb.Smooth.assign(cellCols * cellRows, 0);
  pb.Partial.assign(cellCols * cellRows, 0);
  pb.Cells = pb.SmoothCells = 0;
  double step = 0.0;
  std::vector<TRealPoint> nodeRow;
  for (std::size_t m = 0; m < cellRows; ++m) {
    const int y0 = band.NodeRows[m], y1 = band.NodeRows[m + 1];
    if (y1 < band.Top || y0 >= band.End) continue;  // a cell of the margin above or below the band
    // Each cell is checked at its middle pixel: interpolated and exact.
    const int yc = (y0 + y1) / 2;
    const Mapper::Row centreRow = mapper.ForRow(yc);
    grid.NodesAtRow(yc, m, nodeRow);
    for (std::size_t k = 0; k < cellCols; ++k) {
      ++pb.Cells;
      bool partial = false;
      const int piece = grid.CellPiece(m, k, partial);
      if (piece < 0) continue;
      const TRealPoint a = pb.Nodes[m * cols + k], b = pb.Nodes[m * cols + k + 1];
      const TRealPoint c = pb.Nodes[(m + 1) * cols + k], d = pb.Nodes[(m + 1) * cols + k + 1];
      step = std::max({step, std::fabs(b.Y - a.Y), std::fabs(c.Y - a.Y), std::fabs(d.Y - b.Y), std::fabs(d.Y - c.Y)});
      const int t0 = pb.NodeCols[k], t1 = pb.NodeCols[k + 1];
      const int tc = (t0 + t1) / 2;
      Polynomial u, v;
      grid.AlongRow(nodeRow, k, u, v);
      // The exact position at the cell's centre, on the cell's piece.
      std::optional<TRealPoint> exact;
      if (partial) {
        exact = mapper.CircleOnPiece(centreRow, i, ColumnOf(pb, tc, width), piece);
      } else {
        int centrePiece = -1;
        const TRealPoint p = mapper.Exact(centreRow, i, ColumnOf(pb, tc, width), centrePiece);
        if (centrePiece == piece) exact = p;
      }
      if (!exact || !(std::fabs(exact->X - u(tc - t0)) <= kGridTolerance &&
                      std::fabs(exact->Y - v(tc - t0)) <= kGridTolerance))
        continue;
      pb.Smooth[m * cellCols + k] = 1;
      if (partial) pb.Partial[m * cellCols + k] = 1 + piece;
      ++pb.SmoothCells;
    }
  }
  // Rows read: those around the nodes' positions, widened by how far a
  // position can stray between nodes, clipped to the picture.
  if (vmin > vmax) {
    pb.FirstRow = 0;
    pb.LastRow = -1;
    return;
  }
  const double slack = 2.0 + step;
  pb.FirstRow = std::max(0, static_cast<int>(std::floor(std::max(vmin - 0.5 - slack, -1.0))));
  pb.LastRow = std::min(size.Y - 1, static_cast<int>(std::floor(std::min(vmax + 0.5 + slack, size.Y + 1.0))));
}

// ---------------------------------------------------------------------------
// Sampling

// Where a picture's held rows lie, for one band.
struct SampleSource {
  const std::uint8_t* Base = nullptr;
  const std::int32_t* RowOffsets = nullptr;  // index: row - HeldFirst
  int HeldFirst = 0, HeldEnd = 0;            // rows HeldFirst .. HeldEnd - 1 are held
  int Width = 0, Height = 0;
  bool Holds(int row) const { return row >= HeldFirst && row < HeldEnd; }
  const std::uint8_t* Row(int row) const { return Base + RowOffsets[row - HeldFirst]; }
};

// Fixed-point position: 1/256 pixel.
// Positions inside a picture are not negative: truncation rounds.
inline std::int32_t Fixed(double v) { return static_cast<std::int32_t>(v * 256.0 + 0.5); }

// The polynomial's values at s = 0 .. count - 1 in fixed point, by Horner's
// rule; four at a time with AVX2 (the same operations, so the same values).
inline void FixedAlongOneByOne(const Polynomial& p, int count, std::int32_t* out) {
  for (int k = 0; k < count; ++k) out[k] = Fixed(p(k));
}
#ifdef VISTARIUM_X86
__attribute__((target("avx2"))) void FixedAlongAvx2(const Polynomial& p, int count, std::int32_t* out) {
  const __m256d c0 = _mm256_set1_pd(p.C[0]), c1 = _mm256_set1_pd(p.C[1]), c2 = _mm256_set1_pd(p.C[2]),
                c3 = _mm256_set1_pd(p.C[3]), scale = _mm256_set1_pd(256.0), half = _mm256_set1_pd(0.5);
  int k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m256d s = _mm256_setr_pd(k, k + 1, k + 2, k + 3);
    __m256d v = _mm256_add_pd(_mm256_mul_pd(c3, s), c2);
    v = _mm256_add_pd(_mm256_mul_pd(v, s), c1);
    v = _mm256_add_pd(_mm256_mul_pd(v, s), c0);
    v = _mm256_add_pd(_mm256_mul_pd(v, scale), half);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_cvttpd_epi32(v));
  }
  for (; k < count; ++k) out[k] = Fixed(p(k));
}
#endif
inline void FixedAlong(const Polynomial& p, int count, std::int32_t* out, bool simd) {
#ifdef VISTARIUM_X86
  if (simd) {
    FixedAlongAvx2(p, count, out);
    return;
  }
#endif
  (void)simd;
  FixedAlongOneByOne(p, count, out);
}

// Bilinear sample of four inner neighbours in fixed point: weights of 1/256
// pixel along each axis, the mean rounded half up.
inline ColorTriple SampleInner(const SampleSource& s, std::int32_t u, std::int32_t v) {
  const int ix = (u + 128) >> 8, iy = (v + 128) >> 8;
  const unsigned fx = static_cast<unsigned>((u + 128) & 255), fy = static_cast<unsigned>((v + 128) & 255);
  const std::uint8_t* top = s.Row(iy - 1) + 3 * (ix - 1);
  const std::uint8_t* bottom = s.Row(iy) + 3 * (ix - 1);
  unsigned out[3];
  for (int c = 0; c < 3; ++c) {
    const unsigned t = top[c] * (256u - fx) + top[3 + c] * fx;
    const unsigned b = bottom[c] * (256u - fx) + bottom[3 + c] * fx;
    out[c] = (t * (256u - fy) + b * fy + 32768u) >> 16;
  }
  return {static_cast<std::uint8_t>(out[2]), static_cast<std::uint8_t>(out[1]), static_cast<std::uint8_t>(out[0])};
}

inline bool IsInner(const SampleSource& s, std::int32_t u, std::int32_t v) {
  const int ix = (u + 128) >> 8, iy = (v + 128) >> 8;
  return ix >= 1 && ix <= s.Width - 1 && iy >= 1 && iy <= s.Height - 1 && iy - 1 >= s.HeldFirst && iy < s.HeldEnd;
}

// The general rule at the border (neighbours outside dropped, weights
// renormalised); false when a row it needs is not held.
inline bool SampleAtBorder(const SampleSource& s, std::int32_t u, std::int32_t v, ColorTriple& out, int& missing) {
  bool held = true;
  out = SampleBilinear({s.Width, s.Height}, {u / 256.0, v / 256.0}, [&](int c, int r, unsigned ch[3]) {
    if (!s.Holds(r)) {
      held = false;
      missing = r;
      return false;
    }
    const std::uint8_t* p = s.Row(r) + 3 * c;
    ch[0] = p[2];
    ch[1] = p[1];
    ch[2] = p[0];
    return true;
  });
  return held;
}

#ifdef VISTARIUM_X86
// The low 32 bits of the 64-bit lanes of lo and then hi, as eight lanes.
__attribute__((target("avx2"))) inline __m256i LowHalves(__m256i lo, __m256i hi) {
  const __m256i index = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  return _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(lo, index), _mm256_permutevar8x32_epi32(hi, index),
                                   0x20);
}

// Eight inner samples at once, with the arithmetic of SampleInner; false
// (nothing written) when any of the eight is not an inner one. Writes 8
// triples and may write one byte beyond them.
__attribute__((target("avx2"))) bool SampleEightAvx2(const SampleSource& s, const std::int32_t* u,
                                                     const std::int32_t* v, ColorTriple* out) {
  const __m256i half = _mm256_set1_epi32(128), byte = _mm256_set1_epi32(255);
  const __m256i ur = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(u)), half);
  const __m256i vr = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)), half);
  const __m256i ix = _mm256_srai_epi32(ur, 8), iy = _mm256_srai_epi32(vr, 8);
  const int lowRow = std::max(1, s.HeldFirst + 1), highRow = std::min(s.Height - 1, s.HeldEnd - 1);
  const __m256i bad = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(1), ix), _mm256_cmpgt_epi32(ix, _mm256_set1_epi32(s.Width - 1))),
      _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(lowRow), iy),
                      _mm256_cmpgt_epi32(iy, _mm256_set1_epi32(highRow))));
  if (!_mm256_testz_si256(bad, bad)) return false;
  const __m256i fx = _mm256_and_si256(ur, byte), fy = _mm256_and_si256(vr, byte);
  // The byte offsets of each pixel's top-left neighbour, then eight-byte
  // loads (the neighbour and the one to its right, and two bytes more: rows
  // are padded) one by one: on many processors loads are faster than gathers.
  alignas(32) std::int32_t ixs[8], iys[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(ixs), ix);
  _mm256_store_si256(reinterpret_cast<__m256i*>(iys), iy);
  std::uint64_t top[8], bottom[8];
  for (int k = 0; k < 8; ++k) {
    const std::int32_t column = 3 * (ixs[k] - 1);
    const std::uint8_t* t = s.Base + s.RowOffsets[iys[k] - 1 - s.HeldFirst] + column;
    const std::uint8_t* b = s.Base + s.RowOffsets[iys[k] - s.HeldFirst] + column;
    std::memcpy(&top[k], t, 8);
    std::memcpy(&bottom[k], b, 8);
  }
  const __m256i topLo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
  const __m256i topHi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + 4));
  const __m256i bottomLo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
  const __m256i bottomHi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + 4));
  const __m256i g00 = LowHalves(topLo, topHi), g01 = LowHalves(_mm256_srli_epi64(topLo, 24), _mm256_srli_epi64(topHi, 24));
  const __m256i g10 = LowHalves(bottomLo, bottomHi),
                g11 = LowHalves(_mm256_srli_epi64(bottomLo, 24), _mm256_srli_epi64(bottomHi, 24));
  const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(256), fx), _mm256_slli_epi32(fx, 16));
  const __m256i wy0 = _mm256_sub_epi32(_mm256_set1_epi32(256), fy);
  const __m256i rounding = _mm256_set1_epi32(32768);
  __m256i packed = _mm256_setzero_si256();
  for (int c = 0; c < 3; ++c) {
    const int shift = 8 * c;
    const __m256i a00 = _mm256_and_si256(_mm256_srli_epi32(g00, shift), byte);
    const __m256i a01 = _mm256_and_si256(_mm256_srli_epi32(g01, shift), byte);
    const __m256i a10 = _mm256_and_si256(_mm256_srli_epi32(g10, shift), byte);
    const __m256i a11 = _mm256_and_si256(_mm256_srli_epi32(g11, shift), byte);
    const __m256i t = _mm256_madd_epi16(_mm256_or_si256(a00, _mm256_slli_epi32(a01, 16)), wx);
    const __m256i b = _mm256_madd_epi16(_mm256_or_si256(a10, _mm256_slli_epi32(a11, 16)), wx);
    const __m256i value = _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(t, wy0), _mm256_mullo_epi32(b, fy)), rounding), 16);
    // Red (c = 0) goes to the triple's third byte, blue (c = 2) to its first.
    packed = _mm256_or_si256(packed, _mm256_slli_epi32(value, 8 * (2 - c)));
  }
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), packed);
  auto* bytes = reinterpret_cast<std::uint8_t*>(out);
  for (int k = 0; k < 8; ++k) std::memcpy(bytes + 3 * k, &lanes[k], 4);
  return true;
}

bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}

// The cross-fade of two pictures over columns [x, x + 4): the picture on
// top fades in with w = (x - from) / overlap, the one below keeps 1 - w,
// with the plain fill's operations in double precision, in four lanes
// (a multiplication and an addition each, never fused), rounded halves to
// even as RoundToByte rounds. The result lies between two bytes, so every
// value is a byte. Output as the fill stores it: red, green, blue.
__attribute__((target("avx2"))) void CrossFadeFourAvx2(const ColorTriple* top, const ColorTriple* below, int x,
                                                       int from, int overlap, std::uint8_t* out) {
  const __m256d w = _mm256_div_pd(_mm256_cvtepi32_pd(_mm_setr_epi32(x - from, x + 1 - from, x + 2 - from, x + 3 - from)),
                                  _mm256_set1_pd(static_cast<double>(overlap)));
  const __m256d keep = _mm256_sub_pd(_mm256_set1_pd(1.0), w);
  alignas(16) std::int32_t blue[4], green[4], red[4];
  for (auto [channel, values] : {std::pair{&ColorTriple::Blue, blue}, {&ColorTriple::Green, green},
                                 {&ColorTriple::Red, red}}) {
    const __m256d t = _mm256_cvtepi32_pd(
        _mm_setr_epi32(top[x].*channel, top[x + 1].*channel, top[x + 2].*channel, top[x + 3].*channel));
    const __m256d b = _mm256_cvtepi32_pd(
        _mm_setr_epi32(below[x].*channel, below[x + 1].*channel, below[x + 2].*channel, below[x + 3].*channel));
    _mm_store_si128(reinterpret_cast<__m128i*>(values),
                    _mm256_cvtpd_epi32(_mm256_add_pd(_mm256_mul_pd(w, t), _mm256_mul_pd(keep, b))));
  }
  std::uint8_t* p = out + 3 * static_cast<std::size_t>(x);
  for (std::size_t k = 0; k < 4; ++k, p += 3) {
    p[0] = static_cast<std::uint8_t>(red[k]);
    p[1] = static_cast<std::uint8_t>(green[k]);
    p[2] = static_cast<std::uint8_t>(blue[k]);
  }
}
#endif

// ---------------------------------------------------------------------------
// One row

// Per thread: a row of samples per picture, and the positions of one walk.
struct RowScratch {
  int Count = 0, Width = 0;
  std::vector<ColorTriple> Buffer;  // Count x (Width + 1): one spare triple for the eight-at-once writes
  std::vector<int> First, Last, Overlap;
  std::vector<char> HasRun;
  std::vector<std::int32_t> U, V;
  std::vector<std::uint8_t> Flags;
  std::vector<TRealPoint> NodeRow;
  std::vector<char> Covers;
  RowScratch(int count, int width)
      : Count(count), Width(width), Buffer(CheckedPixelCount(count, width + 1)), First(count), Last(count),
        Overlap(count), HasRun(count), U(static_cast<std::size_t>(width) + 8), V(static_cast<std::size_t>(width) + 8),
        Flags(static_cast<std::size_t>(width) + 8) {}
  ColorTriple* Row(int i) { return Buffer.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(Width + 1); }
};

// A row needed a picture row that the band does not hold.
struct Miss {
  int Picture = -1, Row = 0;
};

// The exposure gains as tables of every byte's result per picture (blue,
// green, red): the same values as rows::WithGain gives, without its
// arithmetic per sample. None without gains.
using GainTable = std::array<std::array<std::uint8_t, 256>, 3>;
std::vector<GainTable> GainTables(const RunState& rs) {
  std::vector<GainTable> tables;
  for (int i = 0; i < static_cast<int>(rs.Gains.size()); ++i) {
    GainTable& t = tables.emplace_back();
    for (int v = 0; v < 256; ++v) {
      const auto b = static_cast<std::uint8_t>(v);
      const ColorTriple c = rows::WithGain(rs, i, ColorTriple{b, b, b});
      t[0][static_cast<std::size_t>(v)] = c.Blue;
      t[1][static_cast<std::size_t>(v)] = c.Green;
      t[2][static_cast<std::size_t>(v)] = c.Red;
    }
  }
  return tables;
}

class RowFiller {
public:
  RowFiller(const RunState& rs, const Mapper& mapper, const BandGeometry& band, const std::vector<PictureBand>& pictures,
            const std::vector<SampleSource>& sources, const std::vector<ColorTriple>& corners,
            const std::vector<GainTable>& gains, bool simd)
      : rs_(rs), mapper_(mapper), band_(band), pictures_(pictures), sources_(sources), corners_(corners),
        gains_(gains), simd_(simd), size_(rs.Projection.PictureSize), width_(rs.Panorama.Width) {}

  // Fills panorama row y into `out` (3 bytes a pixel); records a picture row
  // that was needed but not held in `miss`.
  void Fill(int y, RowScratch& wk, std::uint8_t* out, Miss& miss) const {
    const Mapper::Row row = mapper_.ForRow(y);
    const int count = wk.Count;
    const bool circle = rs_.PictureSet.Is360;
    for (int i = 0; i < count; ++i) {
      const auto si = static_cast<std::size_t>(i);
      const PictureBand& pb = pictures_[si];
      wk.HasRun[si] = 0;
      if (circle) {
        wk.First[si] = 0;
        wk.Last[si] = 0;
      } else {
        wk.First[si] = Round(rs_.Layout.SpanRight[si]);
        wk.Last[si] = Round(rs_.Layout.SpanLeft[si]);
      }
      if (!pb.Active) {
        if (!circle) {
          ColorTriple* buffer = wk.Row(i);
          for (int x = std::max(wk.First[si], 0); x <= std::min(wk.Last[si], width_ - 1); ++x) buffer[x] = ColorTriple{};
        }
        continue;
      }
      Positions(row, i, pb, wk);
      int a = -1, b = -1;  // the run, in walk offsets
      if (circle) {
        for (int t = 0; t < pb.Length; ++t) {
          if (wk.Flags[static_cast<std::size_t>(t)] != kOutside) {
            if (a < 0) a = t;
            b = t;
          } else if (a >= 0) {
            break;
          }
        }
        if (a < 0) continue;
        wk.HasRun[si] = 1;
        wk.First[si] = ColumnOf(pb, a, width_);
        wk.Last[si] = ColumnOf(pb, b, width_);
      } else {
        // The first and the last position inside the picture.
        for (int t = 0; t < pb.Length && a < 0; ++t)
          if (wk.Flags[static_cast<std::size_t>(t)] != kOutside) a = t;
        for (int t = pb.Length - 1; t >= 0 && a >= 0 && b < 0; --t)
          if (wk.Flags[static_cast<std::size_t>(t)] != kOutside) b = t;
        if (a >= 0) {
          wk.First[si] = std::min(wk.First[si], pb.Start + a);
          wk.Last[si] = std::max(wk.Last[si], pb.Start + b);
        }
        // The run's columns that were not sampled (its bounds start from the
        // span's, crossed) are black.
        ColorTriple* buffer = wk.Row(i);
        const int from = std::max(wk.First[si], 0), to = std::min(wk.Last[si], width_ - 1);
        if (a < 0) {
          for (int x = from; x <= to; ++x) buffer[x] = ColorTriple{};
          continue;
        }
        for (int x = from; x <= std::min(to, pb.Start + a - 1); ++x) buffer[x] = ColorTriple{};
        for (int x = std::max(from, pb.Start + b + 1); x <= to; ++x) buffer[x] = ColorTriple{};
      }
      Samples(i, pb, a, b, wk, miss);
    }
    if (circle)
      BlendCircle(wk, out);
    else
      BlendPlain(wk, out);
  }

private:
  // Picture i's positions along its walk on this row, and whether each lies
  // inside the picture.
  void Positions(const Mapper::Row& row, int i, const PictureBand& pb, RowScratch& wk) const {
    const GridInterpolation grid(pb, band_);
    const std::size_t m = grid.RowCell(row.Y);
    const std::size_t cellCols = grid.ColumnCells();
    const bool interpolating = grid.RowCells() > 0 && cellCols > 0;
    if (interpolating) grid.NodesAtRow(row.Y, m, wk.NodeRow);
    const double w = size_.X, h = size_.Y;
    const auto exact = [&](int t) {
      int piece = 0;
      return mapper_.Exact(row, i, ColumnOf(pb, t, width_), piece);
    };
    const auto store = [&](int t, TRealPoint p, bool fromGrid) {
      if (fromGrid && (std::fabs(p.X) < kBorderMargin || std::fabs(p.X - w) < kBorderMargin ||
                       std::fabs(p.Y) < kBorderMargin || std::fabs(p.Y - h) < kBorderMargin))
        p = exact(t);
      const auto st = static_cast<std::size_t>(t);
      const bool inside = 0.0 <= p.X && p.X < w && 0.0 <= p.Y && p.Y < h;
      wk.Flags[st] = !inside ? kOutside : (p.X == 0.0 && p.Y == 0.0 ? kCorner : kInside);
      if (inside) {
        wk.U[st] = Fixed(p.X);
        wk.V[st] = Fixed(p.Y);
      }
    };
    // A cubic strays from the chord between its nodes by far less than this
    // within one cell: ends this far inside keep every position between
    // clear of the border.
    constexpr double kClearance = kBorderMargin + 0.5;
    const auto clear = [&](double u, double v) {
      return u >= kClearance && u <= w - kClearance && v >= kClearance && v <= h - kClearance;
    };
    for (std::size_t k = 0; k < std::max<std::size_t>(cellCols, 1); ++k) {
      const int t0 = pb.NodeCols[k];
      const int t1 = cellCols == 0 ? t0 + 1 : (k + 1 == cellCols ? pb.NodeCols[k + 1] + 1 : pb.NodeCols[k + 1]);
      if (!interpolating || !pb.Smooth[m * cellCols + k]) {
        for (int t = t0; t < t1; ++t) store(t, exact(t), false);
        continue;
      }
      Polynomial u, v;
      grid.AlongRow(wk.NodeRow, k, u, v);
      if (const int piece = pb.Partial[m * cellCols + k] - 1; piece >= 0) {
        // Columns beyond the span are mapped as the plain mapping maps them.
        for (int t = t0; t < t1; ++t)
          if (mapper_.CirclePiece(i, ColumnOf(pb, t, width_)) == piece)
            store(t, {u(t - t0), v(t - t0)}, true);
          else
            store(t, exact(t), false);
        continue;
      }
      const double end = t1 - 1 - t0;
      if (clear(u(0.0), v(0.0)) && clear(u(end), v(end))) {
        FixedAlong(u, t1 - t0, wk.U.data() + t0, simd_);
        FixedAlong(v, t1 - t0, wk.V.data() + t0, simd_);
        std::memset(wk.Flags.data() + t0, kInside, static_cast<std::size_t>(t1 - t0));
        continue;
      }
      for (int t = t0; t < t1; ++t) store(t, {u(t - t0), v(t - t0)}, true);
    }
  }

  // Samples of picture i over its run (walk offsets a..b) into its row.
  void Samples(int i, const PictureBand& pb, int a, int b, RowScratch& wk, Miss& miss) const {
    const SampleSource& src = sources_[static_cast<std::size_t>(i)];
    ColorTriple* row = wk.Row(i);
    for (int t = a; t <= b;) {
      const int x = ColumnOf(pb, t, width_);
#ifdef VISTARIUM_X86
      // Eight at once where all eight are inside and do not cross the seam.
      if (simd_ && t + 8 <= b + 1 && x + 8 <= width_ &&
          std::all_of(wk.Flags.begin() + t, wk.Flags.begin() + t + 8, [](std::uint8_t f) { return f == kInside; }) &&
          SampleEightAvx2(src, wk.U.data() + t, wk.V.data() + t, row + x)) {
        t += 8;
        continue;
      }
#endif
      const auto st = static_cast<std::size_t>(t);
      if (wk.Flags[st] == kOutside) {
        row[x] = ColorTriple{};
      } else if (wk.Flags[st] == kCorner) {
        row[x] = corners_[static_cast<std::size_t>(i)];
      } else if (IsInner(src, wk.U[st], wk.V[st])) {
        row[x] = SampleInner(src, wk.U[st], wk.V[st]);
      } else {
        int missing = 0;
        if (!SampleAtBorder(src, wk.U[st], wk.V[st], row[x], missing)) {
          miss.Picture = i;
          miss.Row = missing;
        }
      }
      ++t;
    }
    // Exposure gains, as the plain fill applies them: to the samples, before
    // the cross-fade (black stays black).
    if (!gains_.empty()) {
      const GainTable& g = gains_[static_cast<std::size_t>(i)];
      // Walk offsets a..b are the columns from ColumnOf(a), around the seam
      // of a circle at most once.
      const auto apply = [&g](ColorTriple* from, ColorTriple* to) {
        for (ColorTriple* c = from; c != to; ++c) *c = {g[0][c->Blue], g[1][c->Green], g[2][c->Red]};
      };
      const int first = ColumnOf(pb, a, width_), count = b - a + 1;
      const int before = std::min(count, width_ - first);
      apply(row + first, row + first + before);
      apply(row, row + (count - before));
    }
  }

  static void Store(std::uint8_t* out, int x, const double sum[3]) {
    std::uint8_t* p = out + 3 * static_cast<std::size_t>(x);
    p[0] = RoundToByte(sum[2]);
    p[1] = RoundToByte(sum[1]);
    p[2] = RoundToByte(sum[0]);
  }
  static void Copy(std::uint8_t* out, int x, const ColorTriple& c) {
    std::uint8_t* p = out + 3 * static_cast<std::size_t>(x);
    p[0] = c.Red;
    p[1] = c.Green;
    p[2] = c.Blue;
  }

  // The open fill's cross-fade, segment by segment: between the ends of the
  // pictures' runs the covering pictures do not change.
  void BlendPlain(RowScratch& wk, std::uint8_t* out) const {
    const int count = wk.Count, width = width_;
    for (int i = 1; i < count; ++i)
      wk.Overlap[static_cast<std::size_t>(i)] =
          wk.Last[static_cast<std::size_t>(i - 1)] - (wk.First[static_cast<std::size_t>(i)] - 1);
    thread_local std::vector<int> cuts;
    cuts.assign({0, width});
    for (int i = 0; i < count; ++i) {
      const int f = wk.First[static_cast<std::size_t>(i)], l = wk.Last[static_cast<std::size_t>(i)];
      if (f > l) continue;
      if (f > 0 && f < width) cuts.push_back(f);
      if (l + 1 > 0 && l + 1 < width) cuts.push_back(l + 1);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const auto covers = [&wk](int i, int x) {
      return wk.First[static_cast<std::size_t>(i)] <= x && x <= wk.Last[static_cast<std::size_t>(i)];
    };
    for (std::size_t s = 0; s + 1 < cuts.size(); ++s) {
      const int x0 = cuts[s], x1 = cuts[s + 1];
      int top = count - 1;
      while (top >= 0 && !covers(top, x0)) --top;
      if (top < 0) {
        std::memset(out + 3 * static_cast<std::size_t>(x0), 0, 3 * static_cast<std::size_t>(x1 - x0));
        continue;
      }
      int last = top;
      while (last > 0 && covers(last - 1, x0)) --last;
      if (last == top) {
        const ColorTriple* row = wk.Row(top);
        for (int x = x0; x < x1; ++x) Copy(out, x, row[x]);
        continue;
      }
      int x = x0;
#ifdef VISTARIUM_X86
      // Two pictures, the common case, four columns at a time.
      if (simd_ && top == last + 1) {
        const ColorTriple *above = wk.Row(top), *below = wk.Row(last);
        const int from = wk.First[static_cast<std::size_t>(top)] - 1,
                  overlap = wk.Overlap[static_cast<std::size_t>(top)];
        for (; x + 4 <= x1; x += 4) CrossFadeFourAvx2(above, below, x, from, overlap, out);
      }
#endif
      for (; x < x1; ++x) {
        double sum[3] = {0.0, 0.0, 0.0};
        double given = 0.0;
        for (int i = top; i > last; --i) {
          const double w = (1.0 - given) * (x - (wk.First[static_cast<std::size_t>(i)] - 1)) /
                           wk.Overlap[static_cast<std::size_t>(i)];
          AddWeighted(sum, w, wk.Row(i)[x]);
          given += w;
        }
        AddWeighted(sum, 1.0 - given, wk.Row(last)[x]);
        Store(out, x, sum);
      }
    }
  }

  // The full circle's cross-fade, segment by segment: between the starts
  // and the ends of the pictures' runs the covering pictures do not change,
  // nor does the run of them that is blended, which the circle's rules find
  // column by column.
  void BlendCircle(RowScratch& wk, std::uint8_t* out) const {
    const int count = wk.Count, n = width_;
    for (int i = 0; i < count; ++i)
      wk.Overlap[static_cast<std::size_t>(i)] = SpanFromTo(PrevOf(wk.First[static_cast<std::size_t>(i)], n),
                                                           wk.Last[static_cast<std::size_t>(PrevOf(i, count))], n);
    thread_local std::vector<int> cuts;
    cuts.assign({0, n});
    for (int i = 0; i < count; ++i) {
      const auto si = static_cast<std::size_t>(i);
      if (!wk.HasRun[si]) continue;
      cuts.push_back(wk.First[si]);
      cuts.push_back(NextOf(wk.Last[si], n));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    wk.Covers.resize(static_cast<std::size_t>(count));
    const auto covers = [&wk](int i) { return wk.Covers[static_cast<std::size_t>(i)] != 0; };
    for (std::size_t s = 0; s + 1 < cuts.size(); ++s) {
      const int x0 = cuts[s], x1 = cuts[s + 1];
      int firstOut = -1;
      for (int i = 0; i < count; ++i) {
        const auto si = static_cast<std::size_t>(i);
        wk.Covers[si] = wk.HasRun[si] && rows::InRun(x0, wk.First[si], wk.Last[si]);
        if (!wk.Covers[si] && firstOut < 0) firstOut = i;
      }
      int last;
      if (firstOut < 0) {
        last = NextOf(Newest(wk, x0), count);
      } else {
        last = NextOf(firstOut, count);
        while (last != firstOut && !covers(last)) last = NextOf(last, count);
        if (last == firstOut) {  // no picture covers the segment: black
          std::memset(out + 3 * static_cast<std::size_t>(x0), 0, 3 * static_cast<std::size_t>(x1 - x0));
          continue;
        }
      }
      int top = last;
      for (int steps = 1; steps < count && covers(NextOf(top, count)); ++steps) top = NextOf(top, count);
      if (top == last) {
        const ColorTriple* row = wk.Row(top);
        for (int x = x0; x < x1; ++x) Copy(out, x, row[x]);
        continue;
      }
      for (int x = x0; x < x1; ++x) CircleWalk(wk, x, last, top, covers, out);
    }
  }

  // Every picture covers the column: the blended run starts after the
  // picture whose run began last before it, the one fading in on top.
  int Newest(const RowScratch& wk, int x) const {
    int newest = 0;
    for (int i = 1; i < wk.Count; ++i)
      if (OffsetAfter(x, wk.First[static_cast<std::size_t>(i)], width_) <
          OffsetAfter(x, wk.First[static_cast<std::size_t>(newest)], width_))
        newest = i;
    return newest;
  }

  template <typename Covers>
  void CircleWalk(RowScratch& wk, int x, int last, int top, Covers&& covers, std::uint8_t* out) const {
    const int count = wk.Count;
    double sum[3] = {0.0, 0.0, 0.0};
    double given = 0.0;
    for (int i = top;; i = PrevOf(i, count)) {
      const auto si = static_cast<std::size_t>(i);
      if (i == last || !covers(PrevOf(i, count))) {
        AddWeighted(sum, 1.0 - given, wk.Row(i)[x]);
        break;
      }
      const double w = (1.0 - given) * OffsetAfter(x, wk.First[si] - 1, width_) / wk.Overlap[si];
      AddWeighted(sum, w, wk.Row(i)[x]);
      given += w;
    }
    Store(out, x, sum);
  }

  const RunState& rs_;
  const Mapper& mapper_;
  const BandGeometry& band_;
  const std::vector<PictureBand>& pictures_;
  const std::vector<SampleSource>& sources_;
  const std::vector<ColorTriple>& corners_;
  const std::vector<GainTable>& gains_;
  const bool simd_;
  const TPoint size_;
  const int width_;
};

// ---------------------------------------------------------------------------
// Threads

constexpr int kRowsPerTask = 4;

int ThreadCount() {
#ifdef _OPENMP
  return std::max(1, omp_get_max_threads());
#else
  return 1;
#endif
}

int ThreadIndex() {
#ifdef _OPENMP
  return omp_get_thread_num();
#else
  return 0;
#endif
}

}  // namespace

BandFillReport FillPanoramaInBands(RunState& rs, matching::ProgressUi& ui, const BandSink& sink,
                                   const BandFillOptions& options) {
  const int width = rs.Panorama.Width, height = rs.Panorama.Height, count = rs.PictureSet.Count;
  if (width <= 0 || height <= 0) throw std::logic_error("The panorama must be laid out before it is filled");
  if (rs.PictureSet.Is360 && width != alignment::PanoramaProjection(rs).CircleLength)
    throw std::logic_error("A full-circle panorama must be one turn wide");
  const int bandRows = std::max(kGridStep, options.BandRows);
  bool simd = options.Simd;
#ifdef VISTARIUM_X86
  simd = simd && HaveAvx2();
#else
  simd = false;
#endif
  const TPoint size = rs.Projection.PictureSize;
  std::vector<PictureRowStream> streams;
  streams.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    streams.emplace_back(rs.PictureSet.FileNames.at(static_cast<std::size_t>(i)), PictureSize{size.X, size.Y},
                         RowStreamOptions{options.TurnLosslessly});
  std::vector<ColorTriple> corners(static_cast<std::size_t>(count));
  std::vector<char> started(static_cast<std::size_t>(count), 0);

  const Mapper mapper(rs);
  std::vector<PictureBand> pictures(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) SetWalk(rs, i, pictures[static_cast<std::size_t>(i)]);
  std::vector<SampleSource> sources(static_cast<std::size_t>(count));
  std::vector<RowScratch> scratch;
  for (int t = 0; t < ThreadCount(); ++t) scratch.emplace_back(count, width);

  // Picture i holds rows first..last (or none); its sample source follows.
  const auto HoldRows = [&](int i, const std::vector<int>& wantFirst, const std::vector<int>& wantLast) {
    const auto si = static_cast<std::size_t>(i);
    PictureBand& pb = pictures[si];
    PictureRowStream& stream = streams[si];
    const int first = wantFirst[si], last = wantLast[si];
    if (!pb.Active || first > last) {
      sources[si] = SampleSource{nullptr, nullptr, 0, 0, size.X, size.Y};
      return;
    }
    if (!started[si]) {
      // Row 0 first: its corner pixel is what a direction that the mapping
      // cannot place shows (the mapping marks it as (0, 0)).
      stream.Hold(0, 0);
      const std::uint8_t* p = stream.Row(0);
      corners[si] = ColorTriple{p[2], p[1], p[0]};
      started[si] = 1;
    }
    stream.Hold(first, last);
    pb.HeldFirst = first;
    pb.HeldEnd = last + 1;
    pb.RowOffsets.resize(static_cast<std::size_t>(last - first + 1));
    for (int r = first; r <= last; ++r)
      pb.RowOffsets[static_cast<std::size_t>(r - first)] = static_cast<std::int32_t>(stream.RowOffset(r));
    sources[si] = SampleSource{stream.Base(), pb.RowOffsets.data(), first, last + 1, size.X, size.Y};
  };

  BandFillReport report;
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(width);
  // Two bands: one handed on while the next is made.
  std::array<std::vector<std::uint8_t>, 2> buffers;
  for (auto& b : buffers) b.resize(rowBytes * static_cast<std::size_t>(bandRows));
  std::exception_ptr failure;
  std::mutex failureLock;
  // Runs a task's work; a failure is kept (the first one) and ends the fill.
  const auto guarded = [&](auto&& work) {
    try {
      work();
    } catch (...) {
      std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
    }
  };
  const auto failed = [&] {
    std::lock_guard<std::mutex> lock(failureLock);
    return failure != nullptr;
  };
  const std::vector<GainTable> gainTables = GainTables(rs);

  // Every step of a band is a group of tasks on all cores; the calling
  // thread makes them (and reports progress), the others take them, and the
  // previous band is handed on by one more task meanwhile.
#pragma omp parallel num_threads(ThreadCount())
#pragma omp master
  {
    for (int y0 = 0, b = 0; y0 < height && !failed(); y0 += bandRows, ++b) {
      // Stopped: the rest of the panorama is not made, and the sink gets no
      // more bands.
      if (StopSignalled(rs)) break;
      const int y1 = std::min(height, y0 + bandRows);
      guarded([&] { matching::ReportConstructionProgress(rs, ui, static_cast<double>(y0) / height); });
      BandGeometry band;
      band.Top = y0;
      band.End = y1;
      // Node rows from one above the band to one below it (a cubic window
      // needs a node on each side), within the panorama.
      for (int r = y0 - kGridRowStep; r < y1 + 2 * kGridRowStep; r += kGridRowStep) {
        const int clipped = std::clamp(r, 0, height - 1);
        if (band.NodeRows.empty() || clipped > band.NodeRows.back()) band.NodeRows.push_back(clipped);
      }

      // The grid, then the rows of each picture that the band reads.
#pragma omp taskgroup
      {
        for (int i = 0; i < count; ++i) {
#pragma omp task firstprivate(i) shared(pictures, band)
          guarded([&] {
            PictureBand& pb = pictures[static_cast<std::size_t>(i)];
            if (pb.Active) BuildGrid(rs, mapper, band, i, pb);
          });
        }
      }
      if (failed()) break;
      for (const PictureBand& pb : pictures) {
        report.Cells += pb.Cells;
        report.InterpolatedCells += pb.SmoothCells;
      }
      // The rows each picture must hold: those the grid says, widened by
      // those a row found missing.
      std::vector<int> wantFirst(static_cast<std::size_t>(count)), wantLast(static_cast<std::size_t>(count));
      for (std::size_t i = 0; i < pictures.size(); ++i) {
        wantFirst[i] = pictures[i].Active ? pictures[i].FirstRow : 0;
        wantLast[i] = pictures[i].Active ? pictures[i].LastRow : -1;
      }
      std::vector<std::uint8_t>& buffer = buffers[static_cast<std::size_t>(b % 2)];
      for (int attempt = 0; !failed(); ++attempt) {
#pragma omp taskgroup
        {
          for (int i = 0; i < count; ++i) {
#pragma omp task firstprivate(i) shared(pictures, streams, sources, corners, started, wantFirst, wantLast)
            guarded([&] { HoldRows(i, wantFirst, wantLast); });
          }
        }
        if (failed()) break;
        std::size_t held = 0;
        for (const PictureRowStream& s : streams) held += s.HeldBytes();
        report.PeakPictureBytes = std::max(report.PeakPictureBytes, held);

        const RowFiller filler(rs, mapper, band, pictures, sources, corners, gainTables, simd);
        std::vector<Miss> misses(static_cast<std::size_t>(y1 - y0));
#pragma omp taskgroup
        {
          for (int y = y0; y < y1; y += kRowsPerTask) {
#pragma omp task firstprivate(y) shared(filler, scratch, buffer, misses)
            guarded([&] {
              for (int r = y; r < std::min(y1, y + kRowsPerTask); ++r)
                filler.Fill(r, scratch[static_cast<std::size_t>(ThreadIndex())],
                            buffer.data() + rowBytes * static_cast<std::size_t>(r - y0),
                            misses[static_cast<std::size_t>(r - y0)]);
            });
          }
        }
        bool missed = false;
        for (const Miss& m : misses) {
          if (m.Picture < 0) continue;
          missed = true;
          const auto si = static_cast<std::size_t>(m.Picture);
          const int lo = std::max(0, m.Row - 1), hi = std::min(size.Y - 1, m.Row + 1);
          if (wantFirst[si] > wantLast[si]) {
            wantFirst[si] = lo;
            wantLast[si] = hi;
          } else {
            wantFirst[si] = std::min(wantFirst[si], lo);
            wantLast[si] = std::max(wantLast[si], hi);
          }
        }
        if (!missed) break;
        if (attempt > count + 1)
          guarded([] { throw std::logic_error("The fill could not hold the picture rows it needs"); });
      }
      if (failed()) break;
      // The band before this one has been handed on: its buffer is free for
      // the next band, and the sink takes the bands in order.
#pragma omp taskwait
      if (failed()) break;
      PanoramaBand done;
      done.Top = y0;
      done.Rows = y1 - y0;
      done.Width = width;
      done.PanoramaHeight = height;
      done.Rgb = buffer.data();
#pragma omp task firstprivate(done) shared(sink)
      guarded([&] { sink(done); });
      ++report.Bands;
      guarded([&] {
        for (int y = y0 + 1; y < y1; ++y) matching::ReportConstructionProgress(rs, ui, static_cast<double>(y) / height);
      });
    }
#pragma omp taskwait
  }
  if (failure) std::rethrow_exception(failure);
  return report;
}

BandSink PanoramaRecordSink(TPanorama& panorama) {
  return [&panorama](const PanoramaBand& band) {
    const auto height = static_cast<std::size_t>(panorama.Height);
    if (band.Width != panorama.Width || panorama.Pixels.size() != CheckedPixelCount(panorama.Width, panorama.Height))
      throw std::logic_error("The panorama record is not sized for its bands");
    for (int r = 0; r < band.Rows; ++r) {
      const std::uint8_t* p = band.Rgb + 3 * static_cast<std::size_t>(r) * static_cast<std::size_t>(band.Width);
      const auto y = static_cast<std::size_t>(band.Top + r);
      for (int x = 0; x < band.Width; ++x, p += 3)
        panorama.Pixels[static_cast<std::size_t>(x) * height + y] =
            static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
    }
  };
}

int ReductionToFit(std::int64_t width, std::int64_t height, std::int64_t maxPixels) {
  maxPixels = std::max<std::int64_t>(maxPixels, 1);
  int factor = 1;
  while ((width + factor - 1) / factor * ((height + factor - 1) / factor) > maxPixels) ++factor;
  return factor;
}

BandSink DisplayPictureSink(Bitmap32& picture, std::int64_t maxPixels, int& factor) {
  // Sums of the display rows being gathered: red, green, blue and count per pixel.
  auto sums = std::make_shared<std::vector<std::uint32_t>>();
  return [&picture, maxPixels, &factor, sums](const PanoramaBand& band) {
    if (band.Top == 0) {
      const std::int64_t w = band.Width, h = band.PanoramaHeight;
      const int f = ReductionToFit(w, h, maxPixels);
      factor = f;
      picture = Bitmap32{};
      picture.SetSize(static_cast<int>((w + f - 1) / f), static_cast<int>((h + f - 1) / f));
      sums->assign(4 * static_cast<std::size_t>(picture.Width), 0u);
    }
    const int f = factor;
    for (int r = 0; r < band.Rows; ++r) {
      const int y = band.Top + r;
      const std::uint8_t* p = band.Rgb + 3 * static_cast<std::size_t>(r) * static_cast<std::size_t>(band.Width);
      std::uint32_t* out = picture.Pixels.data() + static_cast<std::size_t>(y / f) * static_cast<std::size_t>(picture.Width);
      if (f == 1) {
        for (int x = 0; x < band.Width; ++x, p += 3)
          out[x] = 0xFF000000u | static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
        continue;
      }
      std::vector<std::uint32_t>& s = *sums;
      for (int x = 0; x < band.Width; ++x, p += 3) {
        std::uint32_t* cell = s.data() + 4 * static_cast<std::size_t>(x / f);
        cell[0] += p[0];
        cell[1] += p[1];
        cell[2] += p[2];
        cell[3] += 1;
      }
      // A display row is complete at the last panorama row of its block.
      if (y % f == f - 1 || y == band.PanoramaHeight - 1) {
        for (int c = 0; c < picture.Width; ++c) {
          std::uint32_t* cell = s.data() + 4 * static_cast<std::size_t>(c);
          const std::uint32_t n = cell[3], half = n / 2;
          out[c] = 0xFF000000u | (cell[0] + half) / n << 16 | (cell[1] + half) / n << 8 | (cell[2] + half) / n;
        }
        std::fill(s.begin(), s.end(), 0u);
      }
    }
  };
}

void HandOnInBands(const TPanorama& panorama, const BandSink& sink, int bandRows) {
  const int width = panorama.Width, height = panorama.Height;
  if (panorama.Pixels.size() != CheckedPixelCount(width, height))
    throw std::invalid_argument("The panorama's pixels do not match its size");
  bandRows = std::max(1, bandRows);
  std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(bandRows));
  for (int y0 = 0; y0 < height; y0 += bandRows) {
    const int rowsHere = std::min(bandRows, height - y0);
    for (int r = 0; r < rowsHere; ++r) {
      std::uint8_t* out = rgb.data() + 3 * static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
      for (int x = 0; x < width; ++x, out += 3) {
        const std::uint32_t c = panorama.Pixels[static_cast<std::size_t>(x) * static_cast<std::size_t>(height) +
                                                static_cast<std::size_t>(y0 + r)];
        out[0] = static_cast<std::uint8_t>(c & 0xFFu);
        out[1] = static_cast<std::uint8_t>((c >> 8) & 0xFFu);
        out[2] = static_cast<std::uint8_t>((c >> 16) & 0xFFu);
      }
    }
    sink(PanoramaBand{y0, rowsHere, width, height, rgb.data()});
  }
}

}  // namespace vistarium::render
