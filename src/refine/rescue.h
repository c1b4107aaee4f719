#pragma once
// Rescue of a connection that the line search could not place reliably: the
// whole of both pictures is searched again with a scale-invariant feature
// detector and descriptor (OpenCV's SIFT), the matched features become
// directions of view, and the one camera rotation that most of them agree on
// is fitted under the known focal length. Only a rotation that passes every
// confidence test is offered to the caller; otherwise Reason says, in a
// user's words, why the pair could not be placed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "geom/point.h"
#include "geom/projection.h"
#include "geom/rays.h"
#include "image/bitmaps.h"
#include "run/run_state.h"

namespace vistarium::refine {

struct FeatureRotation {
  bool Confident = false;
  // Right-frame ray = Rotation * left-frame ray (camera frames of geom/rays.h).
  geom::Rotation Rotation = geom::kIdentityRotation;
  int Matches = 0;          // descriptor matches kept by the ratio test
  int Inliers = 0;          // matches within the widened tolerance of Rotation (RescueOptions)
  double RmsPixels = 0.0;   // root mean square inlier residual, in right-picture pixels
  double YawDegrees = 0.0;  // how far the right picture's axis lies to the right of the left one's
  // Standard deviation of the inliers' left positions along their widest
  // direction, as a share of the picture's longer side.
  double Spread = 0.0;
  // The inlier correspondences in full-size picture pixels (left, right);
  // pixel (c, r) has its centre at (c + 0.5, r + 0.5).
  std::vector<std::pair<TRealPoint, TRealPoint>> InlierPairs;
  std::string Reason;  // empty when confident
  // How many full-size pixels a pixel of the reduced pictures the features
  // were found on spans.
  double FeaturePixels = 1.0;
};

// The defaults, chosen on rendered pairs of three photographs at 1600 x 1200
// and 4000 x 3000 (bench/rescue_bench.cpp prints the figures).
struct RescueOptions {
  // Features are found on greys reduced to this longer side: at 800 a soft
  // scene gives more matches within the cap than at 1000 or 1200 (the cap
  // fills with fine grain that does not match) at two thirds of the time, and
  // the rotation stays within 0.6 px of the truth at 12 megapixels.
  int MaxWorkingSide = 800;
  // When set (and smaller), a FeatureStore first searches a pair on greys
  // reduced to this longer side, and at MaxWorkingSide only when those leave
  // the rotation in doubt: at 350 to 500 the search costs a sixth to a
  // third, and most pairs still show their rotation plainly (within a pixel
  // or so of the truth, which the refinement then finishes).
  int FirstWorkingSide = 0;
  int MaxFeatures = 3000;          // per picture, strongest first
  // SIFT's weakest local contrast; OpenCV's 0.04 finds too little in
  // smooth skies and soft, enlarged pictures.
  double ContrastThreshold = 0.02;
  double RatioTest = 0.8;          // best / second-best descriptor distance
  // Pairs agree with a rotation within InlierPixels at full size, never
  // finer than InlierWorkingPixels of the reduced pictures (their features
  // are located to a fraction of a reduced pixel).
  double InlierPixels = 2.0;
  double InlierWorkingPixels = 1.0;
  // The final fit takes every match within this many tolerances, weighted
  // down towards the edge: a pair that no single rotation fits exactly (a
  // hand-held pair, a lens or focal length the camera entry gets wrong) is
  // fitted to its whole consistent majority rather than to one part of it,
  // and its residual then shows how well it fits.
  double Widening = 3.0;
  int RansacIterations = 1000;     // upper bound; fewer when the consensus is clear early
  // Confidence. Pairs that share nothing keep at most 3 inliers and 8 % of
  // their matches; pairs that overlap keep 170 or more and over 85 %.
  int MinMatches = 12;
  int MinInliers = 20;
  double MinInlierShare = 0.25;
  // Inliers crowded into a spot fix the roll about it poorly; overlapping
  // pairs measure 0.08 (details along a horizon) to 0.23.
  double MinSpread = 0.04;
  // The inliers' residual may reach MaxRmsPixels or MaxRmsShare of the longer
  // side, whichever is larger: exact pairs measure 0.4 to 0.8 px at 1600 and
  // 1.0 to 1.7 px at 4000; a focal length 4 % off 1.3 to 1.6 and 3.2 to 4.0 px
  // (still placed); barrel distortion of k = -0.02 left out of the model 3.1
  // to 4.1 and 7.7 to 10.1 px (refused: no rotation places it within 5 px).
  double MaxRmsPixels = 2.5;
  double MaxRmsShare = 0.00125;
  double MaxRollDegrees = 30.0;    // the right picture's roll against the left one
  // The share of a picture's width, on the side that faces the other
  // picture of a pair, that a FeatureStore searches for features (1: the
  // whole picture). Pictures are arranged left to right, so a pair overlaps
  // on the left picture's right side and the right picture's left side.
  double FacingShare = 1.0;
};

// The right camera's frame seen from the left one, in radians: first rolled
// about its axis, then tilted up, then turned to the right. `leftToRight`
// carries left directions onto right ones.
struct Turn {
  double Yaw = 0.0, Pitch = 0.0, Roll = 0.0;
};
Turn TurnOf(const geom::Rotation& leftToRight);

// What keeps a rotation from placing a pair as the pictures are arranged,
// left to right: the right picture turned to the right of the left one, by
// less than the field of view, tilted by less than it and rolled by at most
// maxRollDegrees. Empty when nothing does; otherwise the reason, in the
// feature search's words.
std::string ArrangementFault(const geom::Rotation& leftToRight, const TProjectionParameters& pp,
                             double maxRollDegrees);

// Searches the pair for the rotation that carries the left picture's
// directions of view onto the right one's. Both pictures have the size of
// the projection parameters (pp.PictureSize); pp supplies the focal length
// and aberration. Throws std::invalid_argument for pictures of another size.
FeatureRotation EstimateRotationByFeatures(const DeviceBitmap& left, const DeviceBitmap& right,
                                           const TProjectionParameters& pp, const RescueOptions& options = {});

// Grey pictures, one byte a pixel by rows from the top, as the refinement
// holds them; not owned.
struct GreyView {
  int Width = 0;
  int Height = 0;
  const std::uint8_t* Values = nullptr;
};
// The same search on grey pictures.
FeatureRotation EstimateRotationByFeatures(const GreyView& left, const GreyView& right,
                                           const TProjectionParameters& pp, const RescueOptions& options = {});

// The features of a run's pictures, found once per picture, and the matches
// of each pair, found once per pair: a connection searched again (with
// another camera, after the calibration) costs only the rotation fit.
class FeatureStore : public StageStore {
public:
  explicit FeatureStore(const RescueOptions& options = {});
  ~FeatureStore() override;
  // EstimateRotationByFeatures for pictures leftIndex and rightIndex of the
  // run, whose grey pictures are given (the same pictures every time a
  // picture's index is given).
  // The confidence tests are those of `tests` when given (the features are
  // found and matched with the store's own options either way). The right
  // picture has the camera `rightCamera` when given (another zoom), `pp`
  // otherwise.
  FeatureRotation Estimate(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right,
                           const TProjectionParameters& pp, const RescueOptions* tests = nullptr,
                           const TProjectionParameters* rightCamera = nullptr);

  // Which part of a picture features are found on: the whole picture, or
  // the share of its width (RescueOptions::FacingShare) on its left or right
  // side.
  enum class Part { Whole, LeftPart, RightPart };
  // Finds the features of that part of picture `index` unless it holds them already.
  void AddPicture(int index, const GreyView& picture, Part part = Part::Whole);
  bool Holds(int index, Part part = Part::Whole) const;
  // Finds the features a pair needs: the facing parts of both pictures, or
  // the whole of a picture whose whole features the store holds.
  void AddPair(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right);
  // A picture's grey picture and what keeps it alive while it is searched;
  // no holder when the picture cannot be searched.
  using GreyLoader = std::function<std::pair<GreyView, std::shared_ptr<const void>>(int index)>;
  // AddPair for several pairs of pictures (left, right), loaded when their
  // features are missing: searches of small reduced pictures two at a time,
  // each on one core, larger ones one at a time with the next picture loaded
  // meanwhile. `goOn` is told the share found as it goes. False when it
  // says stop or a picture cannot be loaded: the features of the pictures
  // after it are not found.
  // The features are found on pictures reduced to `side` (MaxWorkingSide
  // when 0).
  bool AddPairs(const std::vector<std::pair<int, int>>& pairs, const GreyLoader& load,
                const std::function<bool(double)>& goOn = {}, int side = 0);
  // The longer side of the reduced pictures Estimate searches first, for
  // pictures whose longer side is `longerSide`.
  int FirstSearchSide(int longerSide) const;
  // Matches the features of the pairs added before whose matches it does
  // not hold yet, several pairs at once.
  void MatchPairs(const std::vector<std::pair<int, int>>& pairs);
  // The matched features of a pair added before, as full-size pixel
  // positions (left, right), pixel centres at +0.5.
  std::vector<std::pair<TRealPoint, TRealPoint>> MatchedPixels(int leftIndex, int rightIndex);
  // How many full-size pixels a pixel of the reduced pictures the features
  // are found on spans (1 before any picture was added).
  double FeatureScale() const;

private:
  void AddPictureAt(int index, const GreyView& picture, Part part, int side);
  void AddPairAt(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right, int side);
  // A part of a picture whose features are wanted, and the picture (loaded
  // when it has no values).
  struct Wanted {
    int Index = 0;
    Part Facing = Part::Whole;
    GreyView Picture;
  };
  // Finds the features the store lacks of the pictures' parts at `side`.
  bool FindMissing(const std::vector<Wanted>& wanted, int side, const GreyLoader& load = {},
                   const std::function<bool(double)>& goOn = {});
  const std::vector<std::pair<int, int>>& Matched(int leftIndex, int rightIndex, int side);
  std::pair<Part, Part> PartsOf(int leftIndex, int rightIndex) const;
  // A pair's parts and working side: (left, its part, right, its part, side).
  using PairKey = std::tuple<int, Part, int, Part, int>;
  // The matches of a pair whose features the store holds.
  std::vector<std::pair<int, int>> MatchesOf(const PairKey& key) const;
  struct Stored;
  RescueOptions options_;
  std::unique_ptr<Stored> stored_;
};

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
                               double threshold, int maxIterations, double widening = 1.0);

}  // namespace vistarium::refine
