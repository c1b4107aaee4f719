#pragma once
// Matching of one adjacent pair of working pictures: a vertical line near the
// right picture's left border is found in the left picture, then the partner
// of an anchor near the left picture's right border is found in the right
// picture. Lines match when, channel by channel, the left samples are the
// right samples times a gain that changes linearly along the line.

#include <array>
#include <limits>

#include "run/run_state.h"
#include "run/progress.h"
#include "image/bitmaps.h"

namespace vistarium::matching {

// Residual of the best fit X ~ (a q + b) Y per channel, sqrt(E) / n / 3.
// A channel whose gain is undetermined (at most one right sample non-zero,
// D = 0) adds its least-squares residual: the squares of the left samples
// where the right ones are zero. It never scores better than an exact fit.
double LineMismatch(const TColVector& left, const TColVector& right);

// The candidate lines of the first search, in index coordinates.
struct FirstSearchPlan {
  TPoint RightStart, RightEnd;  // rs, re
  int Dx = 0, Dy = 0;           // re - rs
  int FirstX1 = 0, LastX1 = 0;  // start columns, before clipping to the grid
  int LastY1 = 0;               // start rows 0 .. LastY1, before clipping
  int ToleranceA = 0;           // column tolerance of the line end
  int ToleranceL = 0;           // row tolerance of the line end
  int ManualShift = 0;          // shift of the placement without search
};
FirstSearchPlan PlanFirstSearch(const RunState& rs, int w, int h);

struct LineMatch {
  TPoint RightStart, RightEnd, LeftStart, LeftEnd;  // rs, re, ls, le
  bool Cancelled = false;
};

// The left line placed without search: the right line shifted by the
// expected overlap.
LineMatch PlaceWithoutSearch(const FirstSearchPlan& plan);

// The finding progress due before the first search visits start column x1.
void ReportFirstSearchProgress(RunState& rs, ProgressUi& ui, const FirstSearchPlan& plan, int x1);

// The first search. Results are identical whichever implementation runs:
// the plain one follows the scan literally, the fast one (used unless
// rs.UseReferenceSearch) precomputes, vectorises and spreads columns over
// threads. Progress and the cancel check run on the calling thread.
LineMatch FindMatchingLine(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right);
LineMatch FindMatchingLineReference(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right);
LineMatch FindMatchingLineFast(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right);

struct AnchorMatch {
  TPoint Anchor;   // b, in the left picture
  TPoint Partner;  // P, in the right picture
};
AnchorMatch FindAnchorMatch(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right,
                            const LineMatch& line);

struct PairMatch {
  std::array<TPoint, 3> Left;   // ls, le, b in working coordinates
  std::array<TPoint, 3> Right;  // rs, re, P in working coordinates
  bool Cancelled = false;
};
PairMatch MatchPair(RunState& rs, ProgressUi& ui, const TColMatrix& left, const TColMatrix& right);

}  // namespace vistarium::matching
