#pragma once
// Rescue of a connection that the line search could not place reliably: the
// whole of both pictures is searched again with a scale-invariant feature
// detector and descriptor (OpenCV's SIFT), the matched features become
// directions of view, and the one camera rotation that most of them agree on
// is fitted under the known focal length. Only a rotation that passes every
// confidence test is offered to the caller; otherwise Reason says, in a
// user's words, why the pair could not be placed.

#include <string>
#include <utility>
#include <vector>

#include "geom/point.h"
#include "geom/projection.h"
#include "geom/rays.h"
#include "image/bitmaps.h"

namespace vistarium::refine {

struct FeatureRotation {
  bool Confident = false;
  // Right-frame ray = Rotation * left-frame ray (camera frames of geom/rays.h).
  geom::Rotation Rotation = geom::kIdentityRotation;
  int Matches = 0;          // descriptor matches kept by the ratio test
  int Inliers = 0;          // matches consistent with Rotation
  double RmsPixels = 0.0;   // inlier residual, in right-picture pixels
  double YawDegrees = 0.0;  // how far the right picture's axis lies to the right of the left one's
  // Standard deviation of the inliers' left positions along their widest
  // direction, as a share of the picture's longer side.
  double Spread = 0.0;
  // The inlier correspondences in full-size picture pixels (left, right);
  // pixel (c, r) has its centre at (c + 0.5, r + 0.5).
  std::vector<std::pair<TRealPoint, TRealPoint>> InlierPairs;
  std::string Reason;  // empty when confident
};

// The measured defaults; see rescue.cpp for what each guards against.
struct RescueOptions {
  int MaxWorkingSide = 1000;       // features are found on greys reduced to this longer side
  int MaxFeatures = 3000;          // per picture, strongest first
  double ContrastThreshold = 0.02; // weakest local contrast a feature may have (SIFT's scale)
  double RatioTest = 0.8;          // best / second-best descriptor distance
  double InlierPixels = 2.0;       // full-size residual that still agrees with a rotation
  double InlierWorkingPixels = 1.0;  // ... at least this many pixels of the reduced pictures
  int RansacIterations = 1000;     // upper bound; fewer when the consensus is clear early
  int MinMatches = 12;             // below this nothing can be said
  int MinInliers = 20;
  double MinInlierShare = 0.2;     // inliers / matches
  double MinSpread = 0.04;         // see FeatureRotation::Spread
  double MaxRmsPixels = 1.5;       // ... or 0.75 reduced-picture pixels, whichever is larger
  double MaxRollDegrees = 30.0;
};

// Searches the pair for the rotation that carries the left picture's
// directions of view onto the right one's. Both pictures have the size of
// the projection parameters (pp.PictureSize); pp supplies the focal length
// and aberration. Throws std::invalid_argument for pictures of another size.
FeatureRotation EstimateRotationByFeatures(const DeviceBitmap& left, const DeviceBitmap& right,
                                           const TProjectionParameters& pp, const RescueOptions& options = {});

// The rotation that most pairs of rays (right = R * left) agree on within
// `threshold` radians, refitted to all of them; the rays must be unit
// vectors. Returns the indices of the agreeing pairs with it (empty when
// fewer than two pairs are given). The random draws are seeded, so a result
// can be reproduced.
struct RayConsensus {
  geom::Rotation Rotation = geom::kIdentityRotation;
  std::vector<int> Inliers;
};
RayConsensus FitRotationToRays(const std::vector<geom::Ray>& left, const std::vector<geom::Ray>& right,
                               double threshold, int maxIterations);

}  // namespace vistarium::refine
