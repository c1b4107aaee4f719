// The verdict on each connection follows what the construction uses: the
// three points when nothing else applies, the refinement when it does.
#include "app/connection_check.h"

#include <gtest/gtest.h>

#include "params/text_files.h"

namespace vistarium {
namespace {

RunState TwoPictures() {
  RunState rs;
  geom::SetCameraProjection(rs.Projection, {1000, 750}, 28.0, 0.0);
  rs.Projection.WorkingScale = 4.0;
  rs.PictureSet.Count = 2;
  rs.Geometry.resize(2);
  TConnectionSide& l = rs.Geometry[0].RightConnection;
  TConnectionSide& r = rs.Geometry[1].LeftConnection;
  l.Linked = r.Linked = true;
  l.AnglePoints = {{{300, 200}, {300, -200}, {400, 0}}};
  r.AnglePoints = {{{-300, 200}, {-300, -200}, {-200, 0}}};  // a pure turn: residual 0
  for (int k = 0; k < 3; ++k) {
    l.ImagePoints[k] = geom::AnglesToPicture(rs.Projection, l.AnglePoints[k]);
    r.ImagePoints[k] = geom::AnglesToPicture(rs.Projection, r.AnglePoints[k]);
  }
  return rs;
}

TConnectionRefinement& Measured(RunState& rs, bool fitted, int inliers, double rms) {
  TConnectionRefinement& m = rs.Geometry[0].RightRefinement;
  m.Measured = true;
  m.Fitted = fitted;
  m.Inliers = inliers;
  m.RmsPixels = rms;
  m.LeftSource = rs.Geometry[0].RightConnection.ImagePoints;
  m.RightSource = rs.Geometry[1].LeftConnection.ImagePoints;
  return m;
}

TEST(ConnectionCheck, VerdictFollowsWhatTheConstructionUses) {
  RunState rs = TwoPictures();
  auto only = [&rs] {
    const std::vector<ConnectionCheck> checks = CheckConnections(rs);
    EXPECT_EQ(checks.size(), 1u);
    return checks.front();
  };
  ConnectionCheck c = only();
  EXPECT_LT(c.ResidualCells, 1e-6);
  EXPECT_EQ(c.Problem, ConnectionProblem::None);
  EXPECT_EQ(ConnectionWarning(c), "");

  // Three points far from one rotation: the warning of the three points.
  rs.Geometry[1].LeftConnection.AnglePoints[2].Y += 40.0;
  c = only();
  EXPECT_EQ(c.Problem, ConnectionProblem::NoMatch);
  EXPECT_EQ(ConnectionWarning(c), "Connection of pictures 1 and 2 looks unreliable (residual " +
                                      params::FormatFixed(c.ResidualCells, 0, 1) + " working cells); check it by hand");

  // A sound refinement outweighs the points; a stale one does not.
  Measured(rs, true, 150, 0.2);
  c = only();
  EXPECT_TRUE(c.Refined);
  EXPECT_EQ(c.Problem, ConnectionProblem::None);
  rs.Geometry[1].LeftConnection.ImagePoints[2].X += 1.0;  // edited by hand after the refinement
  c = only();
  EXPECT_FALSE(c.Refined);
  EXPECT_FALSE(c.Measured);
  EXPECT_EQ(c.Problem, ConnectionProblem::NoMatch);
  rs.Geometry[1].LeftConnection.ImagePoints[2].X -= 1.0;

  // Many consistent spots with a large residual, or only a small share of
  // the spots agreeing: not one standpoint.
  Measured(rs, true, 150, 2.5).Spots = 160;
  c = only();
  EXPECT_EQ(c.Problem, ConnectionProblem::NotOneStandpoint);
  EXPECT_NE(ConnectionWarning(c).find("the pictures do not share one standpoint well (residual 2.5 pixels, 150 of 160 "
                                      "spots agree)"),
            std::string::npos);
  Measured(rs, true, 50, 0.4).Spots = 160;
  EXPECT_EQ(only().Problem, ConnectionProblem::NotOneStandpoint);
  Measured(rs, true, 70, 0.4).Spots = 160;
  EXPECT_EQ(only().Problem, ConnectionProblem::None);

  // Too few consistent spots, or no fit at all: no match, though the three
  // points look sound.
  rs = TwoPictures();
  Measured(rs, true, 5, 0.1);
  EXPECT_EQ(only().Problem, ConnectionProblem::NoMatch);
  Measured(rs, false, 3, 0.0);
  c = only();
  EXPECT_FALSE(c.Refined);
  EXPECT_EQ(c.Problem, ConnectionProblem::NoMatch);
  EXPECT_EQ(ConnectionWarning(c), "Connection of pictures 1 and 2: no match found at full size (3 consistent spots); "
                                  "check it by hand");
}

}  // namespace
}  // namespace vistarium
