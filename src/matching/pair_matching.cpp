#include "matching/pair_matching.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "geom/numbers.h"
#include "geom/point.h"
#include "render/working_picture.h"

namespace vistarium::matching {

double LineMismatch(const TColVector& left, const TColVector& right) {
  const std::size_t n = left.size();
  double e = 0.0;
  for (int ch = 0; ch < 3; ++ch) {
    auto channel = [ch](const ColorTriple& t) -> std::int64_t {
      return ch == 0 ? t.Blue : ch == 1 ? t.Green : t.Red;
    };
    std::int64_t s0 = 0, s1 = 0, s2 = 0, t0 = 0, t1 = 0;
    for (std::size_t q = 0; q < n; ++q) {
      const std::int64_t x = channel(left[q]), y = channel(right[q]), qq = static_cast<std::int64_t>(q);
      s0 += y * y;
      s1 += qq * y * y;
      s2 += qq * qq * y * y;
      t0 += x * y;
      t1 += qq * x * y;
    }
    const std::int64_t d = s2 * s0 - s1 * s1;
    if (d == 0) {
      // At most one right sample is non-zero, so the gain is not determined;
      // the least-squares residual still is: the left samples where the
      // right ones are zero cannot be fitted, a single non-zero one can.
      for (std::size_t q = 0; q < n; ++q)
        if (channel(right[q]) == 0) {
          const double x = static_cast<double>(channel(left[q]));
          e += x * x;
        }
      continue;
    }
    const std::int64_t A = t1 * s0 - t0 * s1;
    const std::int64_t B = s2 * t0 - s1 * t1;
    const double a = static_cast<double>(A) / static_cast<double>(d);
    const double b = static_cast<double>(B) / static_cast<double>(d);
    for (std::size_t q = 0; q < n; ++q) {
      const double r = (a * static_cast<double>(q) + b) * static_cast<double>(channel(right[q])) -
                       static_cast<double>(channel(left[q]));
      e += r * r;
    }
  }
  return std::sqrt(e) / static_cast<double>(n) / 3.0;
}

FirstSearchPlan PlanFirstSearch(const RunState& rs, int w, int h) {
  const int s = rs.Parameters.Method.PreliminarySmoothing;
  const auto& two = rs.Parameters.TwoPic;
  const double cw = two.OverlapWidthPercent, vs = two.VerticalShiftPercent;
  FirstSearchPlan p;
  // The right line runs down the right picture's left border region. Its
  // ends are kept inside the grid even for a vertical shift that would put
  // them outside.
  const int top = std::clamp(Round(3.0 * s + vs * h / 100.0), 1, h - 1);
  p.RightStart = {s + 1, top};
  p.RightEnd = {s + 1, h - top};
  p.Dx = p.RightEnd.X - p.RightStart.X;
  p.Dy = p.RightEnd.Y - p.RightStart.Y;
  p.ManualShift = Round((1.0 - cw / 100.0) * w);
  p.FirstX1 = Round((1.0 - cw / 100.0) * w - s - 1);
  p.LastX1 = w - 1;
  p.LastY1 = CheckedAdd(Round(vs * h / 100.0 + s + 1), top);
  const double ady = std::abs(p.Dy);
  p.ToleranceA = Round(std::tan(two.VerticalLinesAngle * std::numbers::pi / 180.0) * ady + s + 1);
  p.ToleranceL = Round(two.VerticalLengthDifferencePercent * ady / 100.0 + s + 1);
  return p;
}

LineMatch PlaceWithoutSearch(const FirstSearchPlan& p) {
  LineMatch m;
  m.RightStart = p.RightStart;
  m.RightEnd = p.RightEnd;
  m.LeftStart = {CheckedAdd(p.RightStart.X, p.ManualShift), p.RightStart.Y};
  m.LeftEnd = {CheckedAdd(p.RightEnd.X, p.ManualShift), p.RightEnd.Y};
  return m;
}

void ReportFirstSearchProgress(RunState& rs, ProgressUi& ui, const FirstSearchPlan& p, int x1) {
  if (rs.Progress.PairCount <= 0) return;
  const double f = (rs.CurrentPairIndex + (x1 - p.FirstX1) * rs.Progress.FirstSearchShare /
                                              (p.LastX1 - p.FirstX1 + 1)) /
                   rs.Progress.PairCount;
  ReportFindingProgress(rs, ui, f);
}

LineMatch FindMatchingLine(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right) {
  return rs.UseReferenceSearch ? FindMatchingLineReference(rs, ui, left, right)
                               : FindMatchingLineFast(rs, ui, left, right);
}

LineMatch FindMatchingLineReference(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right) {
  const int w = left.Columns, h = left.Rows, n = rs.Parameters.Method.QualityCoefficient;
  const FirstSearchPlan p = PlanFirstSearch(rs, w, h);
  LineMatch m = PlaceWithoutSearch(p);
  if (rs.ManualStitching) return m;

  const TColVector r = render::SampleLine(right, n, p.RightStart, p.RightEnd);
  double best = 1e11;
  bool found = false;
  for (int x1 = p.FirstX1; x1 <= p.LastX1; ++x1) {
    ReportFirstSearchProgress(rs, ui, p, x1);
    if (rs.CancelRequested) {
      m.Cancelled = true;
      return m;
    }
    if (x1 < 0 || x1 > w - 1) continue;  // start points off the grid are no candidates
    for (int y1 = 0; y1 <= std::min(p.LastY1, h - 1); ++y1) {
      if (StopSignalled(rs)) {
        rs.CancelRequested = m.Cancelled = true;
        return m;
      }
      for (int x2 = x1 + p.Dx - p.ToleranceA; x2 <= x1 + p.Dx + p.ToleranceA; ++x2) {
        for (int y2 = y1 + p.Dy - p.ToleranceL; y2 <= y1 + p.Dy + p.ToleranceL; ++y2) {
          if (x2 < 0 || x2 > w - 1 || y2 < 0 || y2 > h - 1) continue;
          const double mm = LineMismatch(render::SampleLine(left, n, {x1, y1}, {x2, y2}), r);
          if (mm < best) {
            best = mm;
            found = true;
            m.LeftStart = {x1, y1};
            m.LeftEnd = {x2, y2};
          }
        }
      }
    }
  }
  // No candidate inside the grid (or none with a defined fit): keep the
  // placement without search.
  if (!found) return PlaceWithoutSearch(p);
  return m;
}

AnchorMatch FindAnchorMatch(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right,
                            const LineMatch& line) {
  const int w = left.Columns, h = left.Rows, n = rs.Parameters.Method.QualityCoefficient;
  const int s = rs.Parameters.Method.PreliminarySmoothing;
  const auto& two = rs.Parameters.TwoPic;
  const TPoint ls = line.LeftStart, le = line.LeftEnd, rs0 = line.RightStart, re = line.RightEnd;

  AnchorMatch a;
  a.Anchor = {w - 2 - s, Round((h - 1) / 2.0)};
  const TPoint p0 = geom::TransferSimilar(ls, le, a.Anchor, re, rs0);
  a.Partner = p0;
  if (rs.ManualStitching) return a;

  auto third = [](TPoint p, TPoint q) {  // p/3 + 2q/3, each component rounded
    return TPoint{Round(p.X / 3.0 + 2.0 * q.X / 3.0), Round(p.Y / 3.0 + 2.0 * q.Y / 3.0)};
  };
  const TPoint l2 = third(ls, le), l1 = third(le, ls), r2 = third(rs0, re), r1 = third(re, rs0);

  const double lh = two.HorizontalLengthDifferencePercent / 100.0, lv = two.VerticalLengthDifferencePercent / 100.0;
  const int firstX = std::max(0, Round((1.0 - lh) * p0.X - 3 - 3 * s));
  const int lastX = std::min(w - 1, Round((1.0 + lh) * p0.X + 3 + 3 * s));
  const int firstY = std::max(0, Round((1.0 - lv) * p0.Y - 3 - 3 * s));
  const int lastY = std::min(h - 1, Round((1.0 + lv) * p0.Y + 3 + 3 * s));

  const TColVector f1 = render::SampleLine(left, n, a.Anchor, ls);
  const TColVector f2 = render::SampleLine(left, n, a.Anchor, l2);
  const TColVector f3 = render::SampleLine(left, n, a.Anchor, l1);
  const TColVector f4 = render::SampleLine(left, n, a.Anchor, le);

  double best = 1e11;
  for (int x = firstX; x <= lastX; ++x) {
    if (rs.CancelRequested || StopSignalled(rs)) {
      rs.CancelRequested = true;
      return a;
    }
    if (rs.Progress.PairCount > 0) {
      const double f = (rs.CurrentPairIndex + rs.Progress.FirstSearchShare) / rs.Progress.PairCount +
                       (x - firstX) * rs.Progress.SecondSearchShare / (lastX - firstX + 1) / rs.Progress.PairCount;
      ReportFindingProgress(rs, ui, f);
    }
    for (int y = firstY; y <= lastY; ++y) {
      const TPoint g{x, y};
      const double m = LineMismatch(f1, render::SampleLine(right, n, g, rs0)) +
                       LineMismatch(f2, render::SampleLine(right, n, g, r2)) +
                       LineMismatch(f3, render::SampleLine(right, n, g, r1)) +
                       LineMismatch(f4, render::SampleLine(right, n, g, re));
      if (m < best) {
        best = m;
        a.Partner = g;
      }
    }
  }
  return a;
}

PairMatch MatchPair(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right) {
  const int wh = rs.Projection.WorkingHalfSize.X, hh = rs.Projection.WorkingHalfSize.Y;
  PairMatch result;
  const LineMatch line = FindMatchingLine(rs, ui, left, right);
  if (line.Cancelled || rs.CancelRequested) {
    result.Cancelled = true;
    return result;
  }
  const AnchorMatch anchor = FindAnchorMatch(rs, ui, left, right, line);
  if (rs.CancelRequested) {
    result.Cancelled = true;
    return result;
  }
  auto working = [wh, hh](TPoint p) { return TPoint{CheckedSub(p.X, wh), CheckedSub(hh, p.Y)}; };
  result.Left = {working(line.LeftStart), working(line.LeftEnd), working(anchor.Anchor)};
  result.Right = {working(line.RightStart), working(line.RightEnd), working(anchor.Partner)};
  return result;
}

}  // namespace vistarium::matching
