#include "geom/point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geom/numbers.h"

namespace vistarium::geom {
namespace {

TEST(PointOps, ComplexProductAndConjugate) {
  EXPECT_EQ(PointMul({3, 4}, {1, -2}), (TPoint{11, -2}));
  EXPECT_EQ(PointConj({7, -9}), (TPoint{7, 9}));
  EXPECT_EQ(PointNormSqr({-3, 4}), 25);
  EXPECT_EQ(PointAdd({1, 2}, {3, -5}), (TPoint{4, -3}));
  EXPECT_EQ(PointSub({1, 2}, {3, -5}), (TPoint{-2, 7}));
}

TEST(PointOps, OverflowIsReportedNotWrapped) {
  EXPECT_THROW(PointMul({50000, 0}, {50000, 0}), NumericOverflow);
  EXPECT_THROW(PointNormSqr({40000, 40000}), NumericOverflow);
  EXPECT_THROW(PointAdd({2147483647, 0}, {1, 0}), NumericOverflow);
  EXPECT_THROW(PointConj({0, -2147483647 - 1}), NumericOverflow);
  EXPECT_THROW(PointScale({2000000000, 0}, 2.0), NumericOverflow);
}

TEST(PointOps, ScaleRoundsHalvesToEven) {
  EXPECT_EQ(PointScale({5, 7}, 0.5), (TPoint{2, 4}));
  EXPECT_EQ(PointScale({-5, 3}, 0.5), (TPoint{-2, 2}));
}

TEST(ComplexOps, DivisionInvertsMultiplicationAndZeroGivesZero) {
  const TRealPoint a{1.5, -2.0}, b{0.25, 3.0};
  const TRealPoint q = ComplexDiv(ComplexMul(a, b), b);
  EXPECT_NEAR(q.X, a.X, 1e-14);
  EXPECT_NEAR(q.Y, a.Y, 1e-14);
  EXPECT_EQ(ComplexDiv({3, 4}, {0, 0}), (TRealPoint{0, 0}));
  EXPECT_EQ(ComplexMul({0, 1}, {0, 1}), (TRealPoint{-1, 0}));
  EXPECT_DOUBLE_EQ(ComplexNormSqr({3, 4}), 25.0);
}

TEST(TransferSimilar, EndPointsMapOntoTargets) {
  const TPoint p1{10, 20}, p2{40, 35}, a{113, 61}, b{80, 50};
  EXPECT_EQ(TransferSimilar(p1, p2, p1, a, b), b);
  EXPECT_EQ(TransferSimilar(p1, p2, p2, a, b), a);
}

TEST(TransferSimilar, MatchesTheRealSimilarityWithinOneRounding) {
  // Rotation by 90 degrees, scale 2 and a shift: p -> b + 2i (p - p1).
  const TPoint p1{3, 4}, p2{7, 4}, b{100, 100};
  const TPoint a{100, 108};  // image of p2
  EXPECT_EQ(TransferSimilar(p1, p2, {3, 9}, a, b), (TPoint{90, 100}));
  // A scale that leaves halves: 1/2 and a shift; (p3 - p1) = (3, 1) -> (1.5, 0.5) -> (2, 0).
  EXPECT_EQ(TransferSimilar({0, 0}, {2, 0}, {3, 1}, {1, 0}, {0, 0}), (TPoint{2, 0}));
}

TEST(TransferSimilar, CoincidingReferencePointsAreAnError) {
  EXPECT_THROW(TransferSimilar({1, 1}, {1, 1}, {2, 2}, {0, 0}, {5, 5}), NumericOverflow);
}

TEST(LineThrough, LineThroughTheOriginSpecialCase) {
  const TLine l = LineThrough({1, 0}, {-3, 0});
  EXPECT_DOUBLE_EQ(l.A, 0.0);
  EXPECT_DOUBLE_EQ(l.B, 1.0);
  EXPECT_DOUBLE_EQ(l.D, 0.0);
  // |x1| < |y2| picks A = 1: the line through the origin and (0.5, 2).
  const TLine m = LineThrough({0.5, 2}, {-1, -4});
  EXPECT_NEAR(m.A * 0.5 + m.B * 2 + m.D, 0.0, 1e-15);
  EXPECT_NEAR(m.A * m.A + m.B * m.B, 1.0, 1e-15);
}

TEST(LineThrough, AnEndPointAtTheOriginStillGivesTheLine) {
  // p at the origin: the line through q.
  const TLine l = LineThrough({0, 0}, {2, 2});
  EXPECT_NEAR(l.A * 2 + l.B * 2 + l.D, 0.0, 1e-15);
  EXPECT_NEAR(l.A * l.A + l.B * l.B, 1.0, 1e-15);
  // q at the origin with p on the y axis: the comparison of x1 with y2 picks a
  // branch that would divide by zero, so the other one is used.
  const TLine m = LineThrough({0, 5}, {0, 0});
  EXPECT_NEAR(std::fabs(m.A), 1.0, 1e-15);
  EXPECT_NEAR(m.B, 0.0, 1e-15);
  EXPECT_NEAR(m.D, 0.0, 1e-15);
  EXPECT_THROW(LineThrough({0, 0}, {0, 0}), std::invalid_argument);
}

TEST(LineThrough, GeneralLineIsNormalised) {
  const TLine l = LineThrough({0, 1}, {1, 0});
  const double s = 1.0 / std::sqrt(2.0);
  EXPECT_NEAR(l.A, s, 1e-15);
  EXPECT_NEAR(l.B, s, 1e-15);
  EXPECT_NEAR(l.D, -s, 1e-15);
}

TEST(LineIntersection, CrossingOfTwoLines) {
  const TLine l1 = LineThrough({0, 1}, {1, 0});
  const TLine l2 = LineThrough({0, 0}, {2, 2});
  const TRealPoint p = LineIntersection(l1, l2);
  EXPECT_NEAR(p.X, 0.5, 1e-14);
  EXPECT_NEAR(p.Y, 0.5, 1e-14);
  const TRealPoint q = LineIntersection(LineThrough({-1, 3}, {5, 3}), LineThrough({2, -7}, {2, 10}));
  EXPECT_NEAR(q.X, 2.0, 1e-13);
  EXPECT_NEAR(q.Y, 3.0, 1e-13);
}

TEST(Moebius, SendsThreePointsOntoTheirTargets) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-3, 3);
  for (int t = 0; t < 200; ++t) {
    const TRealPoint z1{u(gen), u(gen)}, z2{u(gen), u(gen)}, z3{u(gen), u(gen)};
    const TRealPoint w1{u(gen), u(gen)}, w2{u(gen), u(gen)}, w3{u(gen), u(gen)};
    const TRealPoint K = CrossRatioConstant(z1, z2, z3, w1, w2, w3);
    const TRealPoint r3 = MoebiusMap(z3, z1, z2, K, w1, w2);
    const double scale = 1.0 + std::hypot(w3.X, w3.Y);
    EXPECT_NEAR(r3.X, w3.X, 1e-7 * scale);
    EXPECT_NEAR(r3.Y, w3.Y, 1e-7 * scale);
    EXPECT_EQ(MoebiusMap(z1, z1, z2, K, w1, w2), w1);
    EXPECT_EQ(MoebiusMap(z2, z1, z2, K, w1, w2), w2);
  }
}

TEST(Moebius, ShortCutsWithinOneHundredMillionth) {
  const TRealPoint z1{1, 1}, z2{1 + 5e-9, 1}, w1{10, 0}, w2{20, 0}, K{2, 0};
  // z1 is tested first, so a point near both goes to w1.
  EXPECT_EQ(MoebiusMap({1 + 4e-9, 1}, z1, z2, K, w1, w2), w1);
  const TRealPoint far2{5, 5};
  EXPECT_EQ(MoebiusMap({5 + 3e-9, 5 - 6e-9}, z1, far2, K, w1, w2), w2);
  // Just outside the threshold the general formula runs instead.
  const TRealPoint r = MoebiusMap({1 + 2e-8, 1}, z1, far2, K, w1, w2);
  EXPECT_FALSE(r == w1);
}

TEST(Moebius, ComposesWithItsInverse) {
  const TRealPoint z1{0, 0}, z2{1, 0}, z3{0, 1}, w1{2, 1}, w2{-1, 0.5}, w3{0.3, -2};
  const TRealPoint K = CrossRatioConstant(z1, z2, z3, w1, w2, w3);
  const TRealPoint Kinv = CrossRatioConstant(w1, w2, w3, z1, z2, z3);
  const TRealPoint z{0.37, -0.81};
  const TRealPoint back = MoebiusMap(MoebiusMap(z, z1, z2, K, w1, w2), w1, w2, Kinv, z1, z2);
  EXPECT_NEAR(back.X, z.X, 1e-12);
  EXPECT_NEAR(back.Y, z.Y, 1e-12);
}

}  // namespace
}  // namespace vistarium::geom
