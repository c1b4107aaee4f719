#include "alignment/bundle_coord.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "run/run_state.h"

namespace vistarium::alignment {
namespace {

using Quad = std::array<TRealPoint, 4>;  // P00, P10, P01, P11
const Quad kUnit{{{0, 0}, {1, 0}, {0, 1}, {1, 1}}};

void ExpectNear(TRealPoint a, TRealPoint b, double tolerance) {
  EXPECT_LT(std::hypot(a.X - b.X, a.Y - b.Y), tolerance) << "(" << a.X << ", " << a.Y << ") (" << b.X << ", " << b.Y << ")";
}
TRealPoint Along(TRealPoint a, TRealPoint b, double t) { return {a.X + t * (b.X - a.X), a.Y + t * (b.Y - a.Y)}; }

TEST(BundleSystem, CornersSidesAndNegatedLines) {
  // A long quadrilateral like a closure, and one around the origin, where the
  // normals of opposite sides come out pointing apart.
  for (const Quad& q : {Quad{{{120, 300}, {4500, 420}, {80, -250}, {4300, -180}}},
                        Quad{{{-50, 30}, {60, 35}, {-40, -20}, {55, -30}}}}) {
    TBundleSystem s;
    s.InitSystem(q[0], q[1], q[2], q[3]);
    for (int k = 0; k < 4; ++k) {
      ExpectNear(s.ToUnitSquare(q[k]), kUnit[k], 1e-9);
      ExpectNear(s.FromUnitSquare(kUnit[k]), q[k], 1e-9);
    }
    // Read evenly along the sides through P00; the whole side P10 P11 has u = 1.
    ExpectNear(s.ToUnitSquare(Along(q[0], q[1], 0.5)), {0.5, 0}, 1e-9);
    ExpectNear(s.ToUnitSquare(Along(q[0], q[2], 0.5)), {0, 0.5}, 1e-9);
    EXPECT_NEAR(s.ToUnitSquare(Along(q[1], q[3], 2.5)).X, 1, 1e-9);
    for (TRealPoint uv : {TRealPoint{0.3, 0.8}, TRealPoint{1.7, -0.6}}) {
      const TRealPoint p = s.FromUnitSquare(uv);
      ExpectNear(s.ToUnitSquare(p), uv, 1e-9);
      for (TLine TBundleSystem::*line : {&TBundleSystem::L1, &TBundleSystem::L2, &TBundleSystem::L3,
                                         &TBundleSystem::L4, &TBundleSystem::BaseU, &TBundleSystem::BaseV}) {
        TBundleSystem t = s;
        t.*line = {-(s.*line).A, -(s.*line).B, -(s.*line).D};
        ExpectNear(t.ToUnitSquare(p), uv, 1e-9);
        ExpectNear(t.FromUnitSquare(uv), p, 1e-9);
      }
    }
  }
}

const TRealPoint kP00{-150, 200}, kP01{-140, -220};
const double kN = [] {
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, {1024, 768}, 20.0, 0.0);
  return pp.FullCircle;
}();

RunState ClosingSet(TRealPoint p10, TRealPoint p11, TRealPoint p00 = kP00, TRealPoint p01 = kP01) {
  RunState rs;
  geom::SetCameraProjection(rs.Projection, {1024, 768}, 20.0, 0.0);
  rs.PictureSet.Count = 3;
  rs.PictureSet.Is360 = true;
  rs.Geometry.resize(3);
  for (PictureGeometry& g : rs.Geometry) g.LeftConnection.Linked = g.RightConnection.Linked = true;
  rs.Geometry[0].LeftConnection.PanoramaPoints = {p00, p01, {0, 0}};
  rs.Geometry[2].RightConnection.PanoramaPoints = {p10, p11, {0, 0}};
  return rs;
}

TEST(CircleClosure, ClosesTheGapAndOpensItAgain) {
  const TRealPoint turned00{kP00.X + kN, kP00.Y}, turned01{kP01.X + kN, kP01.Y};
  RunState exact = ClosingSet(turned00, turned01);
  const TRealPoint p10{turned00.X - 37, kP00.Y + 12}, p11{turned01.X - 25, kP01.Y - 8};
  RunState gap = ClosingSet(p10, p11);
  CreateClosureSystems(exact);
  CreateClosureSystems(gap);
  for (double x = -500; x < 2 * kN; x += 311)
    for (double y = -900; y < 900; y += 170) {
      ExpectNear(CloseCircle(exact, {x, y}), {x, y}, 1e-9 * kN);  // a chain that closes needs nothing
      ExpectNear(OpenCircle(gap, CloseCircle(gap, {x, y})), {x, y}, 1e-7);
    }
  ExpectNear(CloseCircle(gap, kP00), kP00, 1e-9);
  ExpectNear(CloseCircle(gap, kP01), kP01, 1e-9);
  ExpectNear(CloseCircle(gap, p10), turned00, 1e-9);
  ExpectNear(CloseCircle(gap, p11), turned01, 1e-9);
  // The line of the chained copies goes onto the line one turn after P00 P01.
  const TRealPoint c = CloseCircle(gap, Along(p10, p11, 2.0));
  EXPECT_NEAR((c.X - turned00.X) * (kP01.Y - kP00.Y) - (c.Y - kP00.Y) * (kP01.X - kP00.X), 0, 1e-6);

  gap.PictureSet.Is360 = false;
  EXPECT_EQ(CloseCircle(gap, {1234.5, -67}), (TRealPoint{1234.5, -67}));
  EXPECT_EQ(OpenCircle(gap, {1234.5, -67}), (TRealPoint{1234.5, -67}));
}

TEST(CircleClosure, DegenerateClosingPointsAreRefused) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const TRealPoint p10{kP00.X + kN, kP00.Y}, p11{kP01.X + kN, kP01.Y};
  const std::array<Quad, 8> cases{{
      {kP00, kP00, kP01, p11},                                        // P10 = P00
      {kP00, {kP00.X + 1e-7, kP00.Y}, kP01, p11},                     // P10 all but P00
      {kP00, p10, kP00, p11},                                         // P01 = P00
      {kP00, p10, kP01, kP01},                                        // P11 = P01
      {kP00, p10, {kP01.X, kP00.Y}, p11},                             // P01 on the line P00 P10
      {kP00, p10, kP01, {2 * kP00.X - kP01.X, 2 * kP00.Y - kP01.Y}},  // P11 on the line P01 P00
      {kP00, {nan, 0}, kP01, p11},
      {kP00, p10, kP01, {inf, 3}},
  }};
  for (const Quad& q : cases) {
    RunState rs = ClosingSet(q[1], q[3], q[0], q[2]);
    try {
      CreateClosureSystems(rs);
      ADD_FAILURE() << "accepted P10 = (" << q[1].X << ", " << q[1].Y << ")";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("The circle cannot be closed: ", 0), 0u) << e.what();
    }
    EXPECT_THROW(CloseCircle(rs, {0, 0}), std::logic_error);  // nothing half-built is kept
  }
  RunState open = ClosingSet(p10, p11);
  open.Geometry[2].RightConnection.Linked = false;
  EXPECT_THROW(CreateClosureSystems(open), std::runtime_error);
}

}  // namespace
}  // namespace vistarium::alignment
