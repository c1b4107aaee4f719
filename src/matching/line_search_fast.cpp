// The fast first search of the pair matching.
//
// It finds exactly the line that the plain scan finds: the earliest
// candidate, in scan order (start column, start row, end column, end row),
// of those with the smallest mismatch.
//
// - The right line and its sums are fixed for the whole search, and so are
//   the sample offsets of a left line for a given direction.
// - For a block of neighbouring start columns the integer sums T0, T1 and
//   U0 = sum X^2 of every channel are accumulated together, one vector lane a
//   column, from a planar copy of the left working picture.
// - The residual then follows from the exact integer sums in closed form,
//   E = U0 - a T1 - b T0. With a rigorous bound on its rounding error, a
//   candidate that is certainly worse than the best found so far is dropped;
//   every other candidate is measured again with the plain LineMismatch on
//   its sampled line, so the winner and its score are exactly those of the
//   plain scan.
// - Blocks of columns are spread over threads; progress and the cancel check
//   stay on the calling thread, in the same sequence as in the plain scan.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <limits>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "geom/numbers.h"
#include "matching/pair_matching.h"
#include "render/working_picture.h"

namespace vistarium::matching {

namespace {

constexpr int kBlock = 16;  // start columns handled together

// A candidate's score and place in scan order; smaller is better.
struct Best {
  double Score = 1e11;
  bool Found = false;
  int X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;

  // True when (score, x1, y1, x2, y2) would replace this best in the plain
  // scan, whatever order the candidates were visited in.
  bool Improves(double score, int x1, int y1, int x2, int y2) const {
    if (!(score < 1e11)) return false;
    if (!Found) return true;
    if (score != Score) return score < Score;
    if (x1 != X1) return x1 < X1;
    if (y1 != Y1) return y1 < Y1;
    if (x2 != X2) return x2 < X2;
    return y2 < Y2;
  }
  void Take(double score, int x1, int y1, int x2, int y2) {
    Score = score;
    Found = true;
    X1 = x1;
    Y1 = y1;
    X2 = x2;
    Y2 = y2;
  }
};

struct RightSums {
  std::int64_t S0[3], S1[3], S2[3], D[3];
  std::int32_t Y[3][256];   // Y[ch][q]
  std::int32_t QY[3][256];  // q * Y[ch][q]
  // Weights of the left squares in U0: all 1, except in a channel whose gain
  // is undetermined (D = 0), where only samples with Y = 0 count.
  std::int32_t UW[3][256];
};

// The left working picture as three planes of int32, row by row, with zero
// padding left and right so that every read of a block stays inside.
struct Planes {
  int Pad = 0, Stride = 0;
  std::vector<std::int32_t> Values[3];
  const std::int32_t* Row(int ch, int row) const {
    return Values[ch].data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(Stride) +
           static_cast<std::size_t>(Pad);
  }
};

Planes MakePlanes(const TColMatrix& m, int pad) {
  Planes p;
  p.Pad = pad;
  p.Stride = m.Columns + 2 * pad + kBlock;
  for (int ch = 0; ch < 3; ++ch) {
    p.Values[ch].assign(static_cast<std::size_t>(p.Stride) * static_cast<std::size_t>(m.Rows), 0);
    for (int row = 0; row < m.Rows; ++row)
      for (int col = 0; col < m.Columns; ++col)
        p.Values[ch][static_cast<std::size_t>(row) * p.Stride + pad + col] = m.At(col, row, ch);
  }
  return p;
}

// The two innermost loops are built for AVX2 and for any processor, the
// version chosen when the program is loaded; sanitizer builds, whose
// runtime is not ready at that moment, build the plain version only.
#if VISTARIUM_TARGET_CLONES
#define VISTARIUM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VISTARIUM_CLONES
#endif

// Sums of one channel for kBlock neighbouring start columns: lane c reads
// the samples of the line that starts at column c0 + c.
struct BlockSums {
  std::int32_t T0[3][kBlock], T1[3][kBlock], U0[3][kBlock];
};

VISTARIUM_CLONES void AccumulateBlock(const Planes& planes, const RightSums& rsum, int n, const int* rows,
                                      const int* colOffsets, int c0, BlockSums& out) {
  for (int ch = 0; ch < 3; ++ch) {
    std::int32_t t0[kBlock] = {}, t1[kBlock] = {}, u0[kBlock] = {};
    for (int k = 0; k < n; ++k) {
      const std::int32_t* src = planes.Row(ch, rows[k]) + c0 + colOffsets[k];
      const std::int32_t y = rsum.Y[ch][k], qy = rsum.QY[ch][k], uw = rsum.UW[ch][k];
      for (int c = 0; c < kBlock; ++c) {
        const std::int32_t x = src[c];
        t0[c] += y * x;
        t1[c] += qy * x;
        u0[c] += uw * x * x;
      }
    }
    for (int c = 0; c < kBlock; ++c) {
      out.T0[ch][c] = t0[c];
      out.T1[ch][c] = t1[c];
      out.U0[ch][c] = u0[c];
    }
  }
}

// Per-channel constants of the closed form, from the right line's sums.
struct ClosedForm {
  bool Undetermined[3];
  double S0[3], S1[3], S2[3];
  double Alpha[3], Beta[3], Gamma[3];  // S0 / D, S1 / D, S2 / D
};

ClosedForm MakeClosedForm(const RightSums& rsum) {
  ClosedForm f{};
  for (int ch = 0; ch < 3; ++ch) {
    f.Undetermined[ch] = rsum.D[ch] == 0;
    f.S0[ch] = static_cast<double>(rsum.S0[ch]);
    f.S1[ch] = static_cast<double>(rsum.S1[ch]);
    f.S2[ch] = static_cast<double>(rsum.S2[ch]);
    const double d = static_cast<double>(rsum.D[ch]);
    f.Alpha[ch] = f.Undetermined[ch] ? 0.0 : f.S0[ch] / d;
    f.Beta[ch] = f.Undetermined[ch] ? 0.0 : f.S1[ch] / d;
    f.Gamma[ch] = f.Undetermined[ch] ? 0.0 : f.S2[ch] / d;
  }
  return f;
}

// For every lane, a number never above the residual sum E that LineMismatch
// forms for that candidate. The least-squares residual E(a, b) of a channel
// is a quadratic in the gain (a, b), smallest at the exact fit; it is
// evaluated at a near-exact (a, b), and the bound subtracts the distance to
// the minimum (second order in the error of a and b), the rounding of this
// evaluation, and the rounding of the plain sum in LineMismatch (about n
// units of rounding of the magnitude of its terms), each with a factor 4 to
// spare.
VISTARIUM_CLONES void LowerBounds(const ClosedForm& f, const BlockSums& b, int n, double* low) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const double sumRounding = 4.0 * (9.0 * n + 63.0) * eps;
  double e[kBlock] = {};
  for (int ch = 0; ch < 3; ++ch) {
    if (f.Undetermined[ch]) {  // the residual is the weighted sum of squares, exactly
      for (int c = 0; c < kBlock; ++c) e[c] += static_cast<double>(b.U0[ch][c]);
      continue;
    }
    const double s0 = f.S0[ch], s1 = f.S1[ch], s2 = f.S2[ch];
    const double al = f.Alpha[ch], be = f.Beta[ch], ga = f.Gamma[ch];
    for (int c = 0; c < kBlock; ++c) {
      const double t0 = b.T0[ch][c], t1 = b.T1[ch][c], u0 = b.U0[ch][c];
      const double a = t1 * al - t0 * be;
      const double g = t0 * ga - t1 * be;
      const double quad = a * a * s2 + 2.0 * a * g * s1 + g * g * s0;
      const double value = u0 - 2.0 * (a * t1 + g * t0) + quad;
      const double ea = 24.0 * eps * (t1 * al + t0 * std::fabs(be));
      const double eg = 24.0 * eps * (t0 * ga + t1 * std::fabs(be));
      const double scale = u0 + 2.0 * (std::fabs(a) * t1 + std::fabs(g) * t0) + a * a * s2 +
                           2.0 * std::fabs(a * g) * s1 + g * g * s0;
      const double literal = (std::fabs(a) + ea) * (std::fabs(a) + ea) * s2 +
                             (std::fabs(g) + eg) * (std::fabs(g) + eg) * s0 + u0;
      e[c] += value - 2.0 * (ea * ea * s2 + eg * eg * s0) - 40.0 * eps * scale - sumRounding * literal;
    }
  }
  for (int c = 0; c < kBlock; ++c) low[c] = e[c];
}

// The residual sum above which a candidate's mismatch is certainly larger
// than `score` (sqrt(E) / n / 3 rounds monotonically).
double ResidualThreshold(double score, int n) {
  const double e = score * 3.0 * n;
  return e * e * (1.0 + 1e-12);
}

}  // namespace

LineMatch FindMatchingLineFast(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right) {
  const int w = left.Columns, h = left.Rows, n = rs.Parameters.Method.QualityCoefficient;
  const FirstSearchPlan p = PlanFirstSearch(rs, w, h);
  LineMatch m = PlaceWithoutSearch(p);
  if (rs.ManualStitching) return m;
  if (n < 2 || n > 255) throw std::invalid_argument("Quality coefficient out of range");

  const TColVector r = render::SampleLine(right, n, p.RightStart, p.RightEnd);
  RightSums rsum{};
  for (int ch = 0; ch < 3; ++ch) {
    std::int64_t s0 = 0, s1 = 0, s2 = 0;
    for (int q = 0; q < n; ++q) {
      const ColorTriple& t = r[static_cast<std::size_t>(q)];
      const std::int64_t y = ch == 0 ? t.Blue : ch == 1 ? t.Green : t.Red;
      rsum.Y[ch][q] = static_cast<std::int32_t>(y);
      rsum.QY[ch][q] = static_cast<std::int32_t>(q * y);
      rsum.UW[ch][q] = 1;
      s0 += y * y;
      s1 += q * y * y;
      s2 += static_cast<std::int64_t>(q) * q * y * y;
    }
    rsum.S0[ch] = s0;
    rsum.S1[ch] = s1;
    rsum.S2[ch] = s2;
    rsum.D[ch] = s2 * s0 - s1 * s1;
    if (rsum.D[ch] == 0)
      for (int q = 0; q < n; ++q) rsum.UW[ch][q] = rsum.Y[ch][q] == 0 ? 1 : 0;
  }

  // Start columns and rows that lie on the grid.
  const int x1lo = std::max(p.FirstX1, 0), x1hi = std::min(p.LastX1, w - 1);
  const int y1hi = std::min(p.LastY1, h - 1);
  const int nDx = 2 * p.ToleranceA + 1, nDy = 2 * p.ToleranceL + 1;

  // Column offsets of the samples for every direction, and the start columns
  // for which rounding makes them differ (those are measured the plain way).
  std::vector<int> colOffsets(static_cast<std::size_t>(nDx) * n);
  std::vector<char> irregular(static_cast<std::size_t>(nDx) * std::max(0, x1hi - x1lo + 1), 0);
  for (int di = 0; di < nDx; ++di) {
    const int dxv = p.Dx - p.ToleranceA + di;
    const double step = static_cast<double>(dxv) / (n - 1);
    for (int k = 0; k < n; ++k) colOffsets[static_cast<std::size_t>(di) * n + k] = Round(k * step);
    for (int x1 = x1lo; x1 <= x1hi; ++x1)
      for (int k = 0; k < n; ++k)
        if (Round(k * step + x1) - x1 != colOffsets[static_cast<std::size_t>(di) * n + k]) {
          irregular[static_cast<std::size_t>(di) * (x1hi - x1lo + 1) + (x1 - x1lo)] = 1;
          break;
        }
  }

  const Planes planes = MakePlanes(left, p.ToleranceA + std::abs(p.Dx) + 2);

  // Work on one block of start columns [c0, c0 + count).
  const ClosedForm form = MakeClosedForm(rsum);
  auto searchBlock = [&](int c0, int count) {
    Best best;
    double threshold = std::numeric_limits<double>::infinity();
    std::vector<int> rows(static_cast<std::size_t>(n));
    BlockSums sums;
    double low[kBlock];
    for (int y1 = 0; y1 <= y1hi; ++y1) {
      if (StopSignalled(rs)) break;  // the caller sees the signal and drops the block
      for (int dyi = 0; dyi < nDy; ++dyi) {
        const int dyv = p.Dy - p.ToleranceL + dyi;
        const int y2 = y1 + dyv;
        if (y2 < 0 || y2 > h - 1) continue;
        const double ystep = static_cast<double>(dyv) / (n - 1);
        for (int k = 0; k < n; ++k) rows[static_cast<std::size_t>(k)] = Round(k * ystep + y1);
        for (int di = 0; di < nDx; ++di) {
          const int dxv = p.Dx - p.ToleranceA + di;
          AccumulateBlock(planes, rsum, n, rows.data(), colOffsets.data() + static_cast<std::size_t>(di) * n, c0,
                          sums);
          LowerBounds(form, sums, n, low);
          for (int c = 0; c < count; ++c) {
            const int x1 = c0 + c, x2 = x1 + dxv;
            if (x2 < 0 || x2 > w - 1) continue;
            const bool exact = irregular[static_cast<std::size_t>(di) * (x1hi - x1lo + 1) + (x1 - x1lo)] != 0;
            if (!exact && low[c] > threshold) continue;
            const double score = LineMismatch(render::SampleLine(left, n, {x1, y1}, {x2, y2}), r);
            if (best.Improves(score, x1, y1, x2, y2)) {
              best.Take(score, x1, y1, x2, y2);
              threshold = ResidualThreshold(score, n);
            }
          }
        }
      }
    }
    return best;
  };

  // Blocks in column order; groups of as many blocks as there are threads.
  std::vector<int> blockStarts;
  for (int c0 = x1lo; c0 <= x1hi; c0 += kBlock) blockStarts.push_back(c0);
  int threads = 1;
#ifdef _OPENMP
  threads = std::max(1, omp_get_max_threads());
#endif
  Best best;
  int reported = p.FirstX1;  // next column whose progress report is due
  auto reportUpTo = [&](int lastColumn) {  // reports columns reported..lastColumn; false when cancelled
    if (StopSignalled(rs)) {
      rs.CancelRequested = true;
      return false;
    }
    for (; reported <= lastColumn; ++reported) {
      ReportFirstSearchProgress(rs, ui, p, reported);
      if (rs.CancelRequested) return false;
    }
    return true;
  };

  std::size_t next = 0;
  while (next < blockStarts.size()) {
    const std::size_t groupEnd = std::min(blockStarts.size(), next + static_cast<std::size_t>(threads));
    // The plain scan reports a column just before searching it.
    if (!reportUpTo(blockStarts[next])) {
      m.Cancelled = true;
      return m;
    }
    std::vector<Best> results(groupEnd - next);
    std::vector<std::exception_ptr> failures(groupEnd - next);
#pragma omp parallel for schedule(static, 1) num_threads(threads)
    for (std::size_t g = next; g < groupEnd; ++g) {
      const int c0 = blockStarts[g];
      try {
        results[g - next] = searchBlock(c0, std::min(kBlock, x1hi - c0 + 1));
      } catch (...) {
        failures[g - next] = std::current_exception();
      }
    }
    for (const auto& f : failures)
      if (f) std::rethrow_exception(f);
    for (const Best& b : results)
      if (b.Found && best.Improves(b.Score, b.X1, b.Y1, b.X2, b.Y2)) best.Take(b.Score, b.X1, b.Y1, b.X2, b.Y2);
    const int groupLast = std::min(x1hi, blockStarts[groupEnd - 1] + kBlock - 1);
    if (!reportUpTo(groupLast)) {
      m.Cancelled = true;
      return m;
    }
    next = groupEnd;
  }
  if (!reportUpTo(p.LastX1)) {
    m.Cancelled = true;
    return m;
  }
  if (best.Found) {
    m.LeftStart = {best.X1, best.Y1};
    m.LeftEnd = {best.X2, best.Y2};
  }
  return m;
}

}  // namespace vistarium::matching
