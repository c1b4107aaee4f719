#include "app/connection_check.h"

#include "alignment/orientation.h"
#include "params/text_files.h"
#include "refine/refinement.h"

namespace vistarium {

namespace {

// The verdict on a connection of a calibrated run (see the thresholds).
ConnectionProblem CalibratedProblem(const TConnectionRefinement& r) {
  if (!r.Fitted || r.Inliers < refine::kMinRefinedInliers) return ConnectionProblem::NoMatch;
  const double joint = r.JointMedianPixels, floor = r.FloorMedianPixels;
  const bool disagrees = joint > kDisagreeFactor * floor && joint > floor + kDisagreeMarginPixels;
  if (disagrees) return ConnectionProblem::Disagrees;
  if (floor > kParallaxPixels || joint > kAlwaysNamedPixels) return ConnectionProblem::Parallax;
  return ConnectionProblem::None;
}

}  // namespace

std::vector<ConnectionCheck> CheckConnections(const RunState& rs) {
  std::vector<ConnectionCheck> checks;
  const int count = rs.PictureSet.Count;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    const int j = i + 1 == count ? 0 : i + 1;
    const PictureGeometry& g = rs.Geometry.at(static_cast<std::size_t>(i));
    const TConnectionSide& l = g.RightConnection;
    const TConnectionSide& r = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection;
    ConnectionCheck c;
    c.Left = i;
    c.Right = j;
    c.ResidualPixels = alignment::RotationResidual(rs.Projection, r.AnglePoints, l.AnglePoints);
    c.ResidualCells = c.ResidualPixels / rs.Projection.WorkingScale;
    const TConnectionRefinement& refinement = g.RightRefinement;
    c.Measured = RefinementCurrent(refinement, l, r);
    c.Refined = RefinementApplies(refinement, l, r);
    c.Rescued = c.Refined && refinement.Rescued;
    c.Spots = refinement.Spots;
    c.Inliers = refinement.Inliers;
    c.RefinedRmsPixels = refinement.RmsPixels;
    if (c.Measured) c.RescueNote = refinement.RescueNote;
    c.Calibrated = rs.Calibration.Done && c.Measured && refinement.Calibrated;
    if (c.Calibrated) {
      c.JointMedianPixels = refinement.JointMedianPixels;
      c.JointRmsPixels = refinement.JointRmsPixels;
      c.FloorMedianPixels = refinement.FloorMedianPixels;
      c.Problem = CalibratedProblem(refinement);
    } else if (c.Refined) {
      const refine::RefinedVerdict v = refine::Verdict(refinement);
      c.Problem = v == refine::RefinedVerdict::Sound     ? ConnectionProblem::None
                  : v == refine::RefinedVerdict::NoMatch ? ConnectionProblem::NoMatch
                                                         : ConnectionProblem::NotOneStandpoint;
    } else if (c.Measured) {
      // Measured without a fit that the construction could use: it builds
      // from three points that nothing at full size confirms.
      c.Problem = ConnectionProblem::NoMatch;
    } else if (c.ResidualCells > kUnreliableResidualCells) {
      c.Problem = ConnectionProblem::NoMatch;
    }
    checks.push_back(c);
  }
  return checks;
}

std::string ConnectionWarning(const ConnectionCheck& c) {
  const std::string pair = "Connection of pictures " + std::to_string(c.Left + 1) + " and " + std::to_string(c.Right + 1);
  // What the feature search found, when it was tried in vain.
  const std::string tried = c.RescueNote.empty() ? "" : " (feature search: " + c.RescueNote + ")";
  switch (c.Problem) {
    case ConnectionProblem::None:
      return "";
    case ConnectionProblem::Disagrees:
      return pair + ": it disagrees with the other connections: its spots lie " +
             params::FormatFixed(c.JointMedianPixels, 0, 1) + " pixels from where all connections together put them (" +
             params::FormatFixed(c.FloorMedianPixels, 0, 1) + " with its own best rotation)" + tried +
             "; the connection is likely wrong, check it by hand";
    case ConnectionProblem::Parallax:
      return pair + ": the pictures were taken from different standpoints (parallax): near and far spots agree on "
                    "different rotations, and the best one leaves " +
             params::FormatFixed(c.FloorMedianPixels, 0, 1) + " pixels; turn the camera about its lens, not about yourself";
    case ConnectionProblem::NotOneStandpoint:
      return pair + ": the pictures do not share one standpoint well (residual " +
             params::FormatFixed(c.RefinedRmsPixels, 0, 1) + " pixels, " + std::to_string(c.Inliers) + " of " +
             std::to_string(c.Spots) + " spots agree)" + tried + "; check the camera entry and the connection by hand";
    case ConnectionProblem::NoMatch:
      if (c.Measured)
        return pair + ": no match found at full size (" + std::to_string(c.Inliers) +
               " consistent spots)" + tried + "; check it by hand";
      return pair + " looks unreliable (residual " + params::FormatFixed(c.ResidualCells, 0, 1) +
             " working cells); check it by hand";
  }
  return "";
}

}  // namespace vistarium
