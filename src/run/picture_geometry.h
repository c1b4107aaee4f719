#pragma once
// Per-picture geometry: the two connection sides that the matching writes
// and the orientation that the construction derives from them.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "geom/point.h"
#include "geom/rays.h"

namespace vistarium {

// A picture's orientation: the Moebius map of the stereographic plane that
// carries three own points (P1..P3) onto their panorama images (P4..P6).
// P7 and P8 are the cross-ratio constants of the forward and inverse maps.
// All zero (inactive) means the identity.
struct TOrientationMap {
  bool Active = false;
  TRealPoint P1, P2, P3, P4, P5, P6, P7, P8;
};

// One picture's half of the connection with a neighbour. The three points
// are, in this order: the upper end of the matched line, its lower end, and
// the anchor (fixed near the left picture's right border, found in the right
// picture). Point k of one half and point k of the other show the same scene
// point.
struct TConnectionSide {
  bool Linked = false;
  bool LeftSide = false;  // true on the left side, false on the right; informational
  std::array<TRealPoint, 3> WorkingPoints{};   // working coordinates
  std::array<TRealPoint, 3> AnglePoints{};     // full-scale own angle coordinates
  std::array<TRealPoint, 3> ImagePoints{};     // full-size picture pixels
  std::array<TRealPoint, 3> PanoramaPoints{};  // panorama angle coordinates
};

// The connection with the right neighbour measured again on the full-size
// pictures: many correspondences over the overlap and the rotation fitted to
// their consistent majority. The construction uses the rotation in place of
// the one the three points give, as long as the points are still those it
// started from (a connection edited by hand is measured again or falls back).
struct TConnectionRefinement {
  bool Measured = false;  // a refinement ran for this connection
  bool Fitted = false;    // enough consistent correspondences: Rotation holds their fit
  bool Rescued = false;   // the rotation came from the feature-based rescue
  // Rotation is the one between the two pictures' orientations calibrated
  // on all connections together, which the construction then uses, also
  // for a connection without enough correspondences of its own.
  bool Calibrated = false;
  // Carries the right picture's own directions into the left picture's own
  // directions (geom::PixelToRay frames).
  geom::Rotation Rotation = geom::kIdentityRotation;
  // Textured spots searched at full size (without a fit, on the level the
  // measuring ended on), the correspondences found among them (before
  // outliers were dropped) and those the rotation fits.
  int Spots = 0;
  int Candidates = 0;
  int Inliers = 0;           // correspondences the rotation fits
  double RmsPixels = 0.0;    // their root mean square misfit, full-size picture pixels
  std::vector<TRealPoint> LeftPoints, RightPoints;  // the inliers, full-size picture pixels
  std::array<TRealPoint, 3> LeftSource{}, RightSource{};  // ImagePoints the refinement started from
  std::string RescueNote;  // why the feature search could not rescue the connection, when it was tried
  // How the correspondences fit the orientations and camera calibrated on
  // all connections together (JointPoints 0: not calibrated), and how they
  // fit the best rotation of this pair alone under the same camera (its
  // floor: scene parallax keeps it above zero). Pixels of the pictures.
  int JointPoints = 0;
  double JointRmsPixels = 0.0, JointMedianPixels = 0.0;
  double FloorRmsPixels = 0.0, FloorMedianPixels = 0.0;
  // Parallax: the rotations that the pair's near and far spots agree on
  // differ by this much, pixels (0 when not measured).
  double ParallaxPixels = 0.0;
  bool Refound = false;  // searched again by features after the calibrated fit disagreed with it
};

struct PictureGeometry {
  TConnectionSide LeftConnection;
  TConnectionSide RightConnection;
  TOrientationMap OrientationMap;
  double LongitudeFloor = 0.0;
  TConnectionRefinement RightRefinement;  // of the connection with the right neighbour
  // The picture's focal length relative to the run's camera: 1 unless the
  // calibration found the picture taken at another zoom (or a step back or
  // forth, which looks alike from afar).
  double Zoom = 1.0;
  // The rotation (right picture's rays into this one's frame) of the
  // connection with the right neighbour that the focal length estimate's
  // feature matches agree on: a start for a connection whose points the
  // pictures do not confirm. Nothing where the estimate did not search it.
  std::optional<geom::Rotation> EstimatedRightRotation;
};

// Whether a refinement was measured from exactly the present points of the
// connection of a left side and a right side (not from points since moved).
inline bool RefinementCurrent(const TConnectionRefinement& r, const TConnectionSide& left,
                              const TConnectionSide& right) {
  return r.Measured && r.LeftSource == left.ImagePoints && r.RightSource == right.ImagePoints;
}

// A refinement current and fitted to its own correspondences.
inline bool RefinementFitted(const TConnectionRefinement& r, const TConnectionSide& left, const TConnectionSide& right) {
  return r.Fitted && RefinementCurrent(r, left, right);
}

// The refinement the construction uses for that connection: current, and
// fitted or calibrated.
inline bool RefinementApplies(const TConnectionRefinement& r, const TConnectionSide& left,
                              const TConnectionSide& right) {
  return (r.Fitted || r.Calibrated) && RefinementCurrent(r, left, right);
}

}  // namespace vistarium
