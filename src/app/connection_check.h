#pragma once
// A check of every matched connection, on what the construction uses. For
// the three matched points: they must fit one rotation of the viewing
// sphere; a correct match leaves a residual well under one working-grid
// cell, a match at a wrong place leaves several. For a refined connection:
// enough correspondences over the overlap must agree with the refined
// rotation, and agree closely. After the calibration of the camera on all
// connections a connection is named only for a cause: its match failed, it
// disagrees with what all connections together say (it is wrong), or its
// pictures were taken from different standpoints (parallax); never for a
// residual that the calibrated camera cannot make smaller.

#include <string>
#include <vector>

#include "run/run_state.h"

namespace vistarium {

enum class ConnectionProblem {
  None,
  NoMatch,           // the points fit no rotation, or no rotation fits enough correspondences
  NotOneStandpoint,  // many consistent correspondences, but a large residual (no calibration)
  Disagrees,         // calibrated: far from where all connections together put the pair
  Parallax,          // calibrated: even the pair's own best rotation leaves a large residual
};

struct ConnectionCheck {
  int Left = 0, Right = 0;      // pictures i and j of the pair
  double ResidualPixels = 0.0;  // three points' root mean square misfit, full-size pixels (panorama pixels)
  double ResidualCells = 0.0;   // the same in working-grid cells
  bool Measured = false;        // a refinement ran for the connection
  bool Refined = false;         // the construction uses the refined rotation
  bool Rescued = false;         // the refined rotation came from the rescue
  int Spots = 0;                // textured spots the refinement searched
  int Inliers = 0;              // consistent correspondences of the refinement
  double RefinedRmsPixels = 0.0;  // their residual, full-size picture pixels
  // After the calibration: the correspondences' median distance under the
  // calibrated orientations, and under the pair's own best rotation.
  bool Calibrated = false;
  double JointMedianPixels = 0.0, FloorMedianPixels = 0.0, JointRmsPixels = 0.0;
  ConnectionProblem Problem = ConnectionProblem::None;
  std::string RescueNote;       // why the feature search could not rescue it, when it was tried
};

// Residuals above this many working cells mark the three points of a
// connection as unreliable.
inline constexpr double kUnreliableResidualCells = 1.0;

// After the calibration a connection disagrees with the others when the
// median distance of its correspondences under the calibrated orientations
// exceeds both kDisagreeFactor times and kDisagreeMarginPixels more than
// under its own best rotation, and always beyond kAlwaysNamedPixels. Its
// pictures show parallax when even its own best rotation leaves a median
// above kParallaxPixels. On the real sets measured, sound connections stay
// within 1.5 times their floor plus a tenth of a pixel, and their floors
// at 2.3 pixels or less (12-megapixel phone pictures with trees near the
// edges included); a connection of a circle whose chain of pictures is
// wrong lies tens of pixels off.
inline constexpr double kDisagreeFactor = 1.5;
inline constexpr double kDisagreeMarginPixels = 0.5;
inline constexpr double kAlwaysNamedPixels = 5.0;
inline constexpr double kParallaxPixels = 3.0;

// One entry per adjacent pair in set order (with the closing pair of a full
// circle). A refined connection is judged by its refinement, any other by
// its stored angle points.
std::vector<ConnectionCheck> CheckConnections(const RunState& rs);

// The warning for an unreliable connection (pictures counted from 1), or ""
// for a sound one.
std::string ConnectionWarning(const ConnectionCheck& c);

}  // namespace vistarium
