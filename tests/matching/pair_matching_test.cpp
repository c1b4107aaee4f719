#include "matching/pair_matching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../support/textures.h"
#include "geom/numbers.h"
#include "render/working_picture.h"

namespace vistarium::matching {
namespace {

using testing::Cut;
using testing::TextureMatrix;

RunState PairState(int halfW, int halfH, int n, int s) {
  RunState rs;
  rs.Parameters.Method = {150, n, s};
  rs.Parameters.TwoPic = {45, 15, 3, 5, 5};
  rs.Projection.WorkingHalfSize = {halfW, halfH};
  rs.Progress.PairCount = 1;
  rs.Progress.FirstSearchShare = 0.9;
  rs.Progress.SecondSearchShare = 0.1;
  rs.CurrentPairIndex = 0;
  return rs;
}

TColVector Line(std::initializer_list<ColorTriple> v) { return TColVector(v); }

TEST(LineMismatch, LinearGainAlongTheLineFitsExactly) {
  // Right samples Y, left samples X = (0.5 + 0.25 q) Y in every channel.
  TColVector right, left;
  for (int q = 0; q < 5; ++q) {
    const int y[3] = {40 + 10 * q, 100 - 7 * q, 20 + q * q};
    ColorTriple r{}, l{};
    const double g = 0.5 + 0.25 * q;
    r = {static_cast<std::uint8_t>(y[0]), static_cast<std::uint8_t>(y[1]), static_cast<std::uint8_t>(y[2])};
    l = {static_cast<std::uint8_t>(std::lround(g * y[0])), static_cast<std::uint8_t>(std::lround(g * y[1])),
         static_cast<std::uint8_t>(std::lround(g * y[2]))};
    right.push_back(r);
    left.push_back(l);
  }
  // Gains that make every product whole: exact fit.
  TColVector right2 = Line({{4, 8, 12}, {4, 8, 12}, {4, 8, 12}, {4, 8, 12}});
  TColVector left2 = Line({{2, 4, 6}, {3, 6, 9}, {4, 8, 12}, {5, 10, 15}});  // gain 0.5 + 0.25 q
  EXPECT_NEAR(LineMismatch(left2, right2), 0.0, 1e-12);
  // With rounding to bytes the fit is near, not exact.
  EXPECT_LT(LineMismatch(left, right), 0.3);
  // A different shape is a worse fit.
  TColVector other = Line({{90, 10, 30}, {10, 90, 30}, {90, 10, 30}, {10, 90, 30}});
  EXPECT_GT(LineMismatch(other, right2), 5.0);
}

TEST(LineMismatch, UndeterminedGainAddsItsLeastSquaresResidual) {
  // Red is zero along the right line: D = 0 in that channel, and the red
  // residual is the sum of the left red squares.
  const TColVector right = Line({{10, 20, 0}, {30, 40, 0}, {50, 60, 0}});
  const TColVector darkLeft = Line({{10, 20, 0}, {30, 40, 0}, {50, 60, 0}});
  const TColVector redLeft = Line({{10, 20, 3}, {30, 40, 4}, {50, 60, 0}});
  EXPECT_NEAR(LineMismatch(darkLeft, right), 0.0, 1e-12);
  EXPECT_NEAR(LineMismatch(redLeft, right), std::sqrt(25.0) / 3 / 3, 1e-9);
  // A single non-zero right sample is fitted exactly; the others are not.
  const TColVector single = Line({{10, 20, 0}, {30, 40, 9}, {50, 60, 0}});
  EXPECT_NEAR(LineMismatch(redLeft, single), std::sqrt(9.0) / 3 / 3, 1e-9);
  // Never better than an exact fit of every channel.
  EXPECT_GE(LineMismatch(redLeft, right), LineMismatch(darkLeft, right));
}

TEST(FirstSearchPlan, RangesAndTolerances) {
  RunState rs = PairState(40, 30, 50, 1);
  const FirstSearchPlan p = PlanFirstSearch(rs, 81, 61);
  // top = Round(3 + 15 * 61 / 100) = Round(12.15) = 12.
  EXPECT_EQ(p.RightStart, (TPoint{2, 12}));
  EXPECT_EQ(p.RightEnd, (TPoint{2, 49}));
  EXPECT_EQ(p.FirstX1, 43);  // Round(0.55 * 81 - 2) = Round(42.55)
  EXPECT_EQ(p.LastX1, 80);
  EXPECT_EQ(p.LastY1, 23);  // Round(9.15 + 2) + 12
  EXPECT_EQ(p.ToleranceA, 4);  // Round(tan 3 deg * 37 + 2) = Round(3.94)
  EXPECT_EQ(p.ToleranceL, 4);  // Round(5 * 37 / 100 + 2) = Round(3.85)
  EXPECT_EQ(p.ManualShift, 45);  // Round(44.55)
  // Without smoothing and with no angle the line may still lean one column.
  rs.Parameters.Method.PreliminarySmoothing = 0;
  rs.Parameters.TwoPic.VerticalLinesAngle = 0;
  EXPECT_EQ(PlanFirstSearch(rs, 81, 61).ToleranceA, 1);
  EXPECT_EQ(PlanFirstSearch(rs, 81, 61).RightStart.X, 1);
}

TEST(FirstSearchPlan, RightLineStaysOnTheGridForExtremeShifts) {
  RunState rs = PairState(10, 10, 21, 0);
  rs.Parameters.TwoPic.VerticalShiftPercent = 1;  // top would be Round(0.21) = 0
  FirstSearchPlan p = PlanFirstSearch(rs, 21, 21);
  EXPECT_GE(p.RightStart.Y, 0);
  EXPECT_LE(p.RightEnd.Y, 20);
  rs.Parameters.TwoPic.VerticalShiftPercent = 99;
  p = PlanFirstSearch(rs, 21, 21);
  EXPECT_LE(p.RightStart.Y, 20);
  EXPECT_GE(p.RightEnd.Y, 0);
}

// Left and right working pictures cut from one texture, the right one
// shifted by (dx, dy) cells.
struct ShiftedPair {
  TColMatrix left, right;
};
ShiftedPair CutPair(unsigned seed, int w, int h, int dx, int dy) {
  const TColMatrix big = TextureMatrix(w + dx + 4, h + 20, seed);
  return {Cut(big, 0, 10, w, h), Cut(big, dx, 10 + dy, w, h)};
}

TEST(FindMatchingLine, FindsAKnownShift) {
  for (int s : {0, 1}) {
    RunState rs = PairState(40, 30, 50, s);
    const ShiftedPair pair = CutPair(11, 81, 61, 50, 4);
    SilentProgressUi ui;
    for (bool reference : {true, false}) {
      rs.UseReferenceSearch = reference;
      const LineMatch m = FindMatchingLine(rs, ui, pair.left, pair.right);
      ASSERT_FALSE(m.Cancelled);
      EXPECT_EQ(m.LeftStart, (TPoint{m.RightStart.X + 50, m.RightStart.Y + 4})) << "s=" << s;
      EXPECT_EQ(m.LeftEnd, (TPoint{m.RightEnd.X + 50, m.RightEnd.Y + 4})) << "s=" << s;
      const AnchorMatch a = FindAnchorMatch(rs, ui, pair.left, pair.right, m);
      EXPECT_EQ(a.Anchor, (TPoint{81 - 2 - s, 30}));
      EXPECT_EQ(a.Partner, (TPoint{a.Anchor.X - 50, a.Anchor.Y - 4}));
    }
  }
}

TEST(FindMatchingLine, FastAndReferenceAgreeOnManyPairs) {
  struct Case {
    unsigned seed;
    int n, s, av, cw, dx, dy;
  };
  const Case cases[] = {{1, 50, 1, 3, 45, 48, 3}, {2, 21, 0, 0, 40, 52, -2}, {3, 51, 1, 5, 50, 40, 0},
                        {4, 33, 0, 2, 30, 57, 6},  {5, 199, 1, 3, 45, 45, -5}, {6, 64, 0, 8, 60, 35, 2}};
  for (const Case& c : cases) {
    RunState rs = PairState(40, 30, c.n, c.s);
    rs.Parameters.TwoPic.VerticalLinesAngle = c.av;
    rs.Parameters.TwoPic.OverlapWidthPercent = c.cw;
    // Noise on the right picture so that the scores are not trivially zero.
    ShiftedPair pair = CutPair(c.seed, 81, 61, c.dx, c.dy);
    for (int i = 0; i < 81; ++i)
      for (int j = 0; j < 61; ++j)
        for (int ch = 0; ch < 3; ++ch)
          pair.right.At(i, j, ch) = static_cast<std::uint16_t>(
              std::clamp<int>(pair.right.At(i, j, ch) + static_cast<int>((i * 7 + j * 13 + ch * 5) % 9) - 4, 0, 255));
    SilentProgressUi ui;
    rs.UseReferenceSearch = true;
    const LineMatch ref = FindMatchingLine(rs, ui, pair.left, pair.right);
    rs.UseReferenceSearch = false;
    const LineMatch fast = FindMatchingLine(rs, ui, pair.left, pair.right);
    EXPECT_EQ(fast.LeftStart, ref.LeftStart) << "seed " << c.seed;
    EXPECT_EQ(fast.LeftEnd, ref.LeftEnd) << "seed " << c.seed;
  }
}

TEST(FindMatchingLine, TiesKeepTheEarliestCandidateInBothPaths) {
  // Columns repeat every 6 cells, so several start columns fit equally well;
  // the first of them in scan order must win.
  const TColMatrix tex = TextureMatrix(6, 61, 21);
  TColMatrix periodic(81, 61);
  for (int i = 0; i < 81; ++i)
    for (int j = 0; j < 61; ++j)
      for (int ch = 0; ch < 3; ++ch) periodic.At(i, j, ch) = tex.At(i % 6, j, ch);
  RunState rs = PairState(40, 30, 40, 0);
  SilentProgressUi ui;
  rs.UseReferenceSearch = true;
  const LineMatch ref = FindMatchingLine(rs, ui, periodic, periodic);
  rs.UseReferenceSearch = false;
  const LineMatch fast = FindMatchingLine(rs, ui, periodic, periodic);
  EXPECT_EQ(fast.LeftStart, ref.LeftStart);
  EXPECT_EQ(fast.LeftEnd, ref.LeftEnd);
  const FirstSearchPlan p = PlanFirstSearch(rs, 81, 61);
  // The right line is column 1; the first start column of the same phase.
  int first = p.FirstX1;
  while (first % 6 != 1) ++first;
  EXPECT_EQ(ref.LeftStart, (TPoint{first, p.RightStart.Y}));
}

TEST(FindMatchingLine, BlackChannelsAndBlackPicturesAgreeInBothPaths) {
  RunState rs = PairState(40, 30, 30, 1);
  ShiftedPair pair = CutPair(5, 81, 61, 47, 2);
  // Red black everywhere in both pictures: matching rests on blue and green.
  for (TColMatrix* m : {&pair.left, &pair.right})
    for (int i = 0; i < 81; ++i)
      for (int j = 0; j < 61; ++j) m->At(i, j, 2) = 0;
  SilentProgressUi ui;
  for (bool reference : {true, false}) {
    rs.UseReferenceSearch = reference;
    const LineMatch m = FindMatchingLine(rs, ui, pair.left, pair.right);
    EXPECT_EQ(m.LeftStart, (TPoint{m.RightStart.X + 47, m.RightStart.Y + 2}));
  }
  // An all-black right picture fits every left line equally badly or well;
  // both paths pick the same line.
  const TColMatrix black(81, 61);
  rs.UseReferenceSearch = true;
  const LineMatch ref = FindMatchingLine(rs, ui, pair.left, black);
  rs.UseReferenceSearch = false;
  const LineMatch fast = FindMatchingLine(rs, ui, pair.left, black);
  EXPECT_EQ(fast.LeftStart, ref.LeftStart);
  EXPECT_EQ(fast.LeftEnd, ref.LeftEnd);
}

TEST(FindMatchingLine, StartPointsOffTheGridAreSkipped) {
  RunState rs = PairState(20, 15, 25, 1);
  rs.Parameters.TwoPic.VerticalShiftPercent = 60;    // start rows beyond the last row
  rs.Parameters.TwoPic.OverlapWidthPercent = 99;     // first start column negative
  const ShiftedPair pair = CutPair(8, 41, 31, 10, 1);
  SilentProgressUi ui;
  const FirstSearchPlan p = PlanFirstSearch(rs, 41, 31);
  ASSERT_LT(p.FirstX1, 0);
  ASSERT_GT(p.LastY1, 30);
  rs.UseReferenceSearch = true;
  const LineMatch ref = FindMatchingLine(rs, ui, pair.left, pair.right);
  rs.UseReferenceSearch = false;
  const LineMatch fast = FindMatchingLine(rs, ui, pair.left, pair.right);
  EXPECT_EQ(fast.LeftStart, ref.LeftStart);
  EXPECT_EQ(fast.LeftEnd, ref.LeftEnd);
  EXPECT_GE(ref.LeftStart.X, 0);
  EXPECT_LE(ref.LeftStart.Y, 30);
}

TEST(MatchPair, ManualStitchingPlacesByTheExpectedOverlap) {
  RunState rs = PairState(40, 30, 50, 1);
  rs.ManualStitching = true;
  const TColMatrix any = TextureMatrix(81, 61, 3);
  SilentProgressUi ui;
  const PairMatch m = MatchPair(rs, ui, any, any);
  const int shift = Round((1 - 0.45) * 81);  // 45
  // Working coordinates: (X - 40, 30 - Y).
  EXPECT_EQ(m.Right[0], (TPoint{2 - 40, 30 - 12}));
  EXPECT_EQ(m.Left[0], (TPoint{2 + shift - 40, 30 - 12}));
  EXPECT_EQ(m.Left[1], (TPoint{2 + shift - 40, 30 - 49}));
  EXPECT_EQ(m.Left[2], (TPoint{78 - 40, 0}));               // anchor (w - 2 - s, 30)
  EXPECT_EQ(m.Right[2], (TPoint{78 - shift - 40, 0}));      // shifted back by the same amount
}

// A UI whose bar movement stands for the user's No.
class CancellingUi : public SilentProgressUi {
public:
  explicit CancellingUi(RunState& rs) : rs_(rs) {}
  void ShowBar(Phase, int percent) override {
    if (percent >= 30) rs_.CancelRequested = true;
  }

private:
  RunState& rs_;
};

TEST(MatchPair, CancelDuringTheFirstSearchEndsThePair) {
  for (bool reference : {true, false}) {
    RunState rs = PairState(40, 30, 30, 1);
    rs.UseReferenceSearch = reference;
    const ShiftedPair pair = CutPair(4, 81, 61, 45, 0);
    CancellingUi ui(rs);
    ReportFindingProgress(rs, ui, 0.0);
    const PairMatch m = MatchPair(rs, ui, pair.left, pair.right);
    EXPECT_TRUE(m.Cancelled);
    EXPECT_TRUE(rs.CancelRequested);
  }
}

}  // namespace
}  // namespace vistarium::matching
