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

// After the calibration on all connections a connection is named only by a
// cause: its spots far from where all connections put them, a floor that
// parallax leaves, more than five pixels off, or no match; never for a
// residual that its own best rotation leaves too.
TEST(ConnectionCheck, CalibratedConnectionsAreNamedByTheirCause) {
  RunState rs = TwoPictures();
  rs.Calibration.Done = true;
  const auto only = [&rs](double joint, double floor) {
    TConnectionRefinement& m = Measured(rs, true, 150, 2.0);
    m.Spots = 400;  // few agree: no matter once calibrated
    m.Calibrated = true;
    m.JointMedianPixels = joint;
    m.FloorMedianPixels = floor;
    return CheckConnections(rs).front();
  };
  // A residual the pair's own rotation leaves as well: not named.
  ConnectionCheck c = only(2.1, 2.0);
  EXPECT_TRUE(c.Calibrated);
  EXPECT_EQ(c.Problem, ConnectionProblem::None);
  EXPECT_EQ(only(0.3, 0.1).Problem, ConnectionProblem::None);  // within half a pixel of its floor
  // Far from where all connections put it: wrong.
  c = only(4.0, 0.4);
  EXPECT_EQ(c.Problem, ConnectionProblem::Disagrees);
  EXPECT_EQ(ConnectionWarning(c), "Connection of pictures 1 and 2: it disagrees with the other connections: its spots lie "
                                  "4.0 pixels from where all connections together put them (0.4 with its own best "
                                  "rotation); the connection is likely wrong, check it by hand");
  // Even its own rotation leaves pixels: parallax; and beyond five pixels
  // a connection is always named.
  c = only(3.6, 3.5);
  EXPECT_EQ(c.Problem, ConnectionProblem::Parallax);
  EXPECT_NE(ConnectionWarning(c).find("taken from different standpoints (parallax)"), std::string::npos);
  EXPECT_EQ(only(5.5, 4.9).Problem, ConnectionProblem::Parallax);
  // Too few consistent spots: no match, whatever the fit.
  Measured(rs, true, 5, 0.1).Calibrated = true;
  EXPECT_EQ(CheckConnections(rs).front().Problem, ConnectionProblem::NoMatch);
}

}  // namespace
}  // namespace vistarium
