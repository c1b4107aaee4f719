#include "render/fill.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <exception>
#include <stdexcept>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "alignment/bundle_coord.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"
#include "render/fill_rows.h"
#include "render/picture_file.h"

namespace vistarium::render {

std::vector<DeviceBitmap> LoadSetPictures(RunState& rs) {
  const std::size_t count = rs.PictureSet.FileNames.size();
  std::vector<DeviceBitmap> pictures(count);
  // Pictures the finding phase kept are taken over; the others are decoded.
  if (rs.KeptPictures.size() == count)
    for (std::size_t i = 0; i < count; ++i) pictures[i] = std::move(rs.KeptPictures[i]);
  rs.KeptPictures.clear();
  std::vector<std::exception_ptr> failures(count);
#pragma omp parallel for schedule(dynamic, 1)
  for (std::size_t i = 0; i < count; ++i) {
    if (!pictures[i].Pixels.empty()) continue;
    try {
      pictures[i] = LoadPictureFile(rs.PictureSet.FileNames[i]);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  }
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);
  for (std::size_t i = 0; i < count; ++i)
    if (pictures[i].Width != rs.Projection.PictureSize.X || pictures[i].Height != rs.Projection.PictureSize.Y)
      throw std::runtime_error("Picture \"" + rs.PictureSet.FileNames[i] + "\" is no longer " +
                               std::to_string(rs.Projection.PictureSize.X) + " x " +
                               std::to_string(rs.Projection.PictureSize.Y) + " pixels");
  return pictures;
}

namespace {

using namespace rows;

// Maps the panorama pixels of one row into the pictures for the fast fills.
// It follows the general mapping (closure, orientation, projection) step by
// step, but computes what is constant along a row or down a column once, and
// goes from the stereographic plane to the picture plane in closed form: for
// w = (a, b) with b > 0 the ray (x, y, f) has x = f a / b and
// y = f (a^2 + b^2 - 1) / (2 b), which is what the angles of w give through
// tangents; for b <= 0 the direction lies behind the picture. The positions
// agree with the general mapping to far below a hundredth of a pixel.
class RowMapper {
public:
  explicit RowMapper(const RunState& rs) : rs_(rs), pp_(rs.Projection) {
    if (!rs.PictureSet.Is360) {
      // Open panoramas: column x is longitude Left + x, brought into half turns.
      const int width = rs.Panorama.Width;
      sin_.resize(static_cast<std::size_t>(width));
      cos_.resize(static_cast<std::size_t>(width));
      for (int x = 0; x < width; ++x) {
        const double lon = HalfTurns(rs.Layout.Left + static_cast<double>(x));
        sin_[static_cast<std::size_t>(x)] = std::sin(lon * pp_.AngleStep);
        cos_[static_cast<std::size_t>(x)] = std::cos(lon * pp_.AngleStep);
      }
    }
  }

  // What is constant along panorama row y.
  struct Row {
    int Y = 0;
    double Latitude = 0.0;  // panorama pixels
    double Radius = 0.0;    // stereographic radius of that latitude
  };
  Row ForRow(int y) const {
    Row r;
    r.Y = y;
    r.Latitude = geom::EqualAreaToLatitude(pp_, {0.0, rs_.Layout.Top - static_cast<double>(y)}).Y;
    r.Radius = std::tan(r.Latitude * pp_.AngleStep / 2.0 + std::numbers::pi / 4.0);
    return r;
  }

  // Open panorama: picture i's position of column x of the row.
  TRealPoint Plain(const Row& row, int i, int x) const {
    const TOrientationMap& m = rs_.Geometry[static_cast<std::size_t>(i)].OrientationMap;
    if (!m.Active)
      return alignment::OutputToPicturePlain(rs_, i, {static_cast<double>(x), static_cast<double>(row.Y)});
    const TRealPoint z{sin_[static_cast<std::size_t>(x)] * row.Radius, cos_[static_cast<std::size_t>(x)] * row.Radius};
    return ToPicture(geom::MoebiusMap(z, m.P4, m.P5, m.P8, m.P1, m.P2));
  }

  // Full circle: the same, with the longitude tried around the circle and
  // the closure undone first.
  // `turn` tells which longitude was taken: x (0), x - N (-1) or x + N (1);
  // 2 when none lies in the picture's span.
  TRealPoint Circle(const Row& row, int i, int x, int* turn = nullptr) const {
    const TOrientationMap& m = rs_.Geometry[static_cast<std::size_t>(i)].OrientationMap;
    const double n = pp_.CircleLength;
    double lon = x;
    int taken = 0;
    if (!alignment::InSpan(rs_, i, lon)) {
      if (alignment::InSpan(rs_, i, lon - n)) {
        lon -= n;
        taken = -1;
      } else if (alignment::InSpan(rs_, i, lon + n)) {
        lon += n;
        taken = 1;
      } else {
        taken = 2;
      }
    }
    if (turn) *turn = taken;
    if (taken == 2) return {-10.0, -10.0};
    if (!m.Active) return alignment::PanoramaToPicture(rs_, i, {lon, row.Latitude});
    TRealPoint q = alignment::OpenCircle(rs_, {lon, row.Latitude});
    q.X = HalfTurns(q.X);
    return ToPicture(geom::MoebiusMap(geom::SphereToStereo(pp_, q), m.P4, m.P5, m.P8, m.P1, m.P2));
  }

private:
  // One step each way into [-N/2, N/2), with the same values as the
  // orientation's own mapping uses.
  double HalfTurns(double lon) const {
    if (lon < -pp_.HalfCircle) lon += pp_.FullCircle;
    if (lon >= pp_.HalfCircle) lon -= pp_.FullCircle;
    return lon;
  }

  TRealPoint ToPicture(TRealPoint w) const {
    if (!(w.Y > 1e-8)) return {0.0, 0.0};  // behind the picture, as the general mapping marks it
    const double f = pp_.FocalPixels;
    const TRealPoint plane{f * w.X / w.Y, f * (w.X * w.X + w.Y * w.Y - 1.0) / (2.0 * w.Y)};
    return geom::PictureCoordinates(pp_, geom::RestoreAberration(pp_, plane));
  }

  const RunState& rs_;
  const TProjectionParameters& pp_;
  std::vector<double> sin_, cos_;
};

// Serves one picture's positions along one row, column after column, from
// exact positions at every twentieth column: a cubic through four exact
// nodes spanning 60 columns, accepted only where two more exact positions
// between the nodes agree with it to 1e-5 pixel, where all six lie on one
// smooth piece of the mapping, and away from the picture's border; everywhere
// else the exact position is used. The mapping is smooth at the scale of tens
// of columns (its fourth derivative is of the order of 1 / focal length^3),
// so the cubic stays within about a hundred-thousandth of a pixel of it.
template <typename Exact>
class RowInterpolator {
public:
  // exact(i, x, &piece) gives picture i's position of column x and an id of
  // the smooth piece it lies on (negative: not smooth there). `lastColumn`
  // bounds the nodes (a segment never crosses it).
  RowInterpolator(Exact exact, TPoint size, int lastColumn) : exact_(exact), size_(size), last_(lastColumn) {}

  // Picture i's position of column x; columns of one picture come in order.
  TRealPoint operator()(int i, int x) {
    if (i != picture_) {
      picture_ = i;
      built_ = false;
    }
    if (!built_ || x < start_ || x > start_ + kSpan) Build(x);
    if (!smooth_) return Exact1(x);
    const int t = x - start_;
    const double* w = Weights(t);
    const TRealPoint p{w[0] * node_[0].X + w[1] * node_[1].X + w[2] * node_[2].X + w[3] * node_[3].X,
                       w[0] * node_[0].Y + w[1] * node_[1].Y + w[2] * node_[2].Y + w[3] * node_[3].Y};
    if (NearBorder(p)) return Exact1(x);
    return p;
  }

private:
  static constexpr int kStep = 20, kSpan = 3 * kStep;
  static constexpr double kTolerance = 1e-5, kBorder = 1e-3;

  // Lagrange weights of the four equally spaced nodes at offset t.
  static const double* Weights(int t) {
    static const auto table = [] {
      std::array<std::array<double, 4>, kSpan + 1> w{};
      for (int k = 0; k <= kSpan; ++k) {
        const double u = static_cast<double>(k) / kStep;
        w[static_cast<std::size_t>(k)] = {-(u - 1) * (u - 2) * (u - 3) / 6.0, u * (u - 2) * (u - 3) / 2.0,
                                          -u * (u - 1) * (u - 3) / 2.0, u * (u - 1) * (u - 2) / 6.0};
      }
      return w;
    }();
    return table[static_cast<std::size_t>(t)].data();
  }

  bool NearBorder(TRealPoint p) const {
    return std::fabs(p.X) < kBorder || std::fabs(p.X - size_.X) < kBorder || std::fabs(p.Y) < kBorder ||
           std::fabs(p.Y - size_.Y) < kBorder;
  }

  TRealPoint Exact1(int x) {
    int piece = 0;
    return exact_(picture_, x, &piece);
  }

  void Build(int x) {
    start_ = x;
    built_ = true;
    smooth_ = false;
    if (x + kSpan > last_) return;  // too close to the end: exact, column by column
    int piece[4];
    for (int k = 0; k < 4; ++k) node_[k] = exact_(picture_, x + k * kStep, &piece[k]);
    if (piece[0] < 0 || piece[1] != piece[0] || piece[2] != piece[0] || piece[3] != piece[0]) return;
    for (int t : {kStep / 2, kSpan - kStep / 2}) {
      int checkPiece = 0;
      const TRealPoint e = exact_(picture_, x + t, &checkPiece);
      const double* w = Weights(t);
      const double ix = w[0] * node_[0].X + w[1] * node_[1].X + w[2] * node_[2].X + w[3] * node_[3].X;
      const double iy = w[0] * node_[0].Y + w[1] * node_[1].Y + w[2] * node_[2].Y + w[3] * node_[3].Y;
      if (checkPiece != piece[0] || !(std::fabs(ix - e.X) <= kTolerance && std::fabs(iy - e.Y) <= kTolerance)) return;
    }
    smooth_ = true;
  }

  Exact exact_;
  TPoint size_;
  int last_;
  int picture_ = -1, start_ = 0;
  bool built_ = false, smooth_ = false;
  TRealPoint node_[4];
};


// The markers that the mapping returns for directions it cannot place.
bool IsMarker(TRealPoint p) { return (p.X == -10.0 && p.Y == -10.0) || (p.X == 0.0 && p.Y == 0.0); }

// The row of a full circle as FillCirRow makes it, faster: a picture's row
// buffer is written only along its walk (the blend reads nothing else), and
// which pictures cover a column is kept as a bit mask built from the runs,
// not tested picture by picture. Sets of more than 64 pictures use FillCirRow.
template <typename Map>
void FillCirRowFast(RunState& rs, const std::vector<DeviceBitmap>& pictures, int y, RowWork& wk, Map&& map) {
  const int count = wk.Count, n = wk.Width;
  if (count > 64) {
    FillCirRow(rs, pictures, y, wk, map);
    return;
  }
  const TPoint size = rs.Projection.PictureSize;
  const PanoramaLayout& L = rs.Layout;
  std::vector<std::uint64_t>& masks = wk.Masks;
  masks.assign(static_cast<std::size_t>(n), 0);
  for (int i = 0; i < count; ++i) {
    const auto si = static_cast<std::size_t>(i);
    ColorTriple* row = wk.Row(i);
    wk.HasRun[si] = 0;
    wk.First[si] = 0;
    wk.Last[si] = 0;
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
        row[x] = WithGain(rs, i, SampleCanvasFast(size, pictures[si], p));
      } else {
        row[x] = ColorTriple{};
        if (started) ended = true;
      }
      x = NextOf(x, n);
    } while (x != xb);
    if (wk.HasRun[si]) {
      const std::uint64_t bit = std::uint64_t{1} << i;
      for (int c = wk.First[si];; c = NextOf(c, n)) {
        masks[static_cast<std::size_t>(c)] |= bit;
        if (c == wk.Last[si]) break;
      }
    }
  }
  for (int i = 0; i < count; ++i)
    wk.Overlap[static_cast<std::size_t>(i)] = SpanFromTo(PrevOf(wk.First[static_cast<std::size_t>(i)], n),
                                                         wk.Last[static_cast<std::size_t>(PrevOf(i, count))], n);
  const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  auto covers = [](std::uint64_t m, int i) { return ((m >> i) & 1u) != 0; };
  for (int x = 0; x < n; ++x) {
    const std::uint64_t m = masks[static_cast<std::size_t>(x)];
    if (m == 0) continue;  // no picture covers it: the cleared pixel stays black
    if ((m & (m - 1)) == 0 && m != all) {
      // One picture alone: it takes the whole weight, its sample unchanged.
      const ColorTriple& c = wk.Row(std::countr_zero(m))[x];
      StorePixel(rs.Panorama, x, y, static_cast<std::uint32_t>(c.Blue) * 65536u + c.Green * 256u + c.Red);
      continue;
    }
    int last;
    if (m == all) {
      int newest = 0;
      for (int i = 1; i < count; ++i)
        if (OffsetAfter(x, wk.First[static_cast<std::size_t>(i)], n) <
            OffsetAfter(x, wk.First[static_cast<std::size_t>(newest)], n))
          newest = i;
      last = NextOf(newest, count);
    } else {
      const int firstOut = std::countr_zero(~m & all);
      const std::uint64_t above = firstOut + 1 < 64 ? m >> (firstOut + 1) : 0;
      last = above != 0 ? firstOut + 1 + std::countr_zero(above) : std::countr_zero(m);
    }
    int top = last;
    for (int steps = 1; steps < count && covers(m, NextOf(top, count)); ++steps) top = NextOf(top, count);
    double sum[3] = {0.0, 0.0, 0.0};
    double given = 0.0;
    for (int i = top;; i = PrevOf(i, count)) {
      const auto si = static_cast<std::size_t>(i);
      if (i == last || !covers(m, PrevOf(i, count))) {
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

constexpr int kRowBlock = 16;  // rows of one task: a cache line of each panorama column

// Runs `fillRow(y, work)` for every row, reporting progress y / Height at the
// start of each row in order on the calling thread; plain: one row after
// another, otherwise blocks of rows on all cores.
template <typename FillRow>
void FillRows(RunState& rs, matching::ProgressUi& ui, bool plain, FillRow&& fillRow) {
  const int height = rs.Panorama.Height, width = rs.Panorama.Width, count = rs.PictureSet.Count;
  if (plain) {
    RowWork wk(count, width);
    for (int y = 0; y < height; ++y) {
      if (StopSignalled(rs)) return;
      matching::ReportConstructionProgress(rs, ui, static_cast<double>(y) / height);
      fillRow(y, wk);
    }
    return;
  }
  int threads = 1;
#ifdef _OPENMP
  threads = std::max(1, omp_get_max_threads());
#endif
  std::vector<RowWork> work;
  for (int t = 0; t < threads; ++t) work.emplace_back(count, width);
  // A few blocks per thread in each group, handed out as threads get free.
  const int group = kRowBlock * threads * 4;
  for (int y0 = 0; y0 < height; y0 += group) {
    const int y1 = std::min(height, y0 + group);
    if (StopSignalled(rs)) return;
    matching::ReportConstructionProgress(rs, ui, static_cast<double>(y0) / height);
    const int blocks = (y1 - y0 + kRowBlock - 1) / kRowBlock;
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(blocks));
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (int b = 0; b < blocks; ++b) {
      int t = 0;
#ifdef _OPENMP
      t = omp_get_thread_num();
#endif
      if (StopSignalled(rs)) continue;  // the rest of the group is left unfilled
      try {
        const int first = y0 + b * kRowBlock;
        for (int y = first; y < std::min(y1, first + kRowBlock); ++y) fillRow(y, work[static_cast<std::size_t>(t)]);
      } catch (...) {
        failures[static_cast<std::size_t>(b)] = std::current_exception();
      }
    }
    for (const auto& f : failures)
      if (f) std::rethrow_exception(f);
    for (int y = y0 + 1; y < y1; ++y) matching::ReportConstructionProgress(rs, ui, static_cast<double>(y) / height);
  }
}

}  // namespace

void FillPlainPanorama(RunState& rs, matching::ProgressUi& ui) {
  const std::vector<DeviceBitmap> pictures = LoadSetPictures(rs);
  if (rs.UseReferenceFill) {
    auto map = [&rs](int i, int x, int y) {
      return alignment::OutputToPicturePlain(rs, i, {static_cast<double>(x), static_cast<double>(y)});
    };
    FillRows(rs, ui, true, [&](int y, RowWork& wk) { FillPlainRow(rs, pictures, y, wk, map); });
    return;
  }
  const RowMapper mapper(rs);
  FillRows(rs, ui, false, [&](int y, RowWork& wk) {
    const RowMapper::Row row = mapper.ForRow(y);
    auto exact = [&](int i, int x, int* piece) {
      const TRealPoint p = mapper.Plain(row, i, x);
      *piece = IsMarker(p) ? -1 : 0;
      return p;
    };
    RowInterpolator interpolated(exact, rs.Projection.PictureSize, rs.Panorama.Width - 1);
    FillPlainRow(
        rs, pictures, y, wk, [&](int i, int x, int) { return interpolated(i, x); },
        [](TPoint size, const DeviceBitmap& picture, TRealPoint pos) { return SampleCanvasFast(size, picture, pos); });
  });
}

void FillCirPanorama(RunState& rs, matching::ProgressUi& ui) {
  if (rs.Panorama.Width != rs.Projection.CircleLength)
    throw std::logic_error("A full-circle panorama must be one turn wide");
  const std::vector<DeviceBitmap> pictures = LoadSetPictures(rs);
  if (rs.UseReferenceFill) {
    auto map = [&rs](int i, int x, int y) {
      return alignment::OutputToPictureCircle(rs, i, {static_cast<double>(x), static_cast<double>(y)});
    };
    FillRows(rs, ui, true, [&](int y, RowWork& wk) { FillCirRow(rs, pictures, y, wk, map); });
    return;
  }
  const RowMapper mapper(rs);
  FillRows(rs, ui, false, [&](int y, RowWork& wk) {
    const RowMapper::Row row = mapper.ForRow(y);
    auto exact = [&](int i, int x, int* piece) {
      int turn = 0;
      const TRealPoint p = mapper.Circle(row, i, x, &turn);
      *piece = turn == 2 || IsMarker(p) ? -1 : turn + 1;
      return p;
    };
    RowInterpolator interpolated(exact, rs.Projection.PictureSize, rs.Panorama.Width - 1);
    FillCirRowFast(rs, pictures, y, wk, [&](int i, int x, int) { return interpolated(i, x); });
  });
}

}  // namespace vistarium::render
