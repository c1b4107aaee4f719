#pragma once
// A focal length from the pictures themselves, for pictures that do not say
// theirs. Features of adjacent pictures are matched (SIFT, as the rescue
// finds them, on smaller copies); under the right focal length
// the most matches of every pair agree on one rotation of the camera, so the
// focal length is searched over a wide range for the largest agreement, and
// then fitted to the agreeing matches of all pairs together. The matching
// and the refinement then start from a camera within a few percent, which
// the calibration after them finishes.

#include <functional>
#include <optional>
#include <vector>

#include "run/run_state.h"

namespace vistarium::refine {

struct FocalEstimate {
  double FocalLength = 0.0;  // millimetres along the longer side of 36 mm film
  int Inliers = 0;           // matches that agree with it, over all pairs
  int Pairs = 0;             // pairs with enough agreeing matches
  // Every picture's focal length over FocalLength: 1, but for a picture
  // clearly taken at another zoom (or a step back or forth).
  std::vector<double> Zooms;
  // The rotations of the pairs searched whose matches agree, under the
  // estimate's camera and zooms: the right picture's rays into the left
  // one's frame.
  struct PairRotation {
    int Left = 0, Right = 0;
    geom::Rotation RightToLeft = geom::kIdentityRotation;
  };
  std::vector<PairRotation> Rotations;
};

struct FocalSearchSettings {
  double Shortest = 8.0, Longest = 400.0;  // the range searched, millimetres
  double Step = 1.05;                      // ratio of neighbouring focal lengths tried
  int RansacIterations = 200;
  int MinInliers = 20;  // agreeing matches for a pair to count
  int MaxPairs = 4;     // pairs searched, spread over the set
  int PairsInARun = 2;  // neighbouring pairs searched together
  // Features on copies of the first of these longer sides, at most
  // MaxFeatures a picture, and on copies of the next only when the pairs
  // agree on no focal length there. At 400 pixels the search costs less
  // than half what it costs at 600; on the real sets measured, the pairs
  // agree there as they do at 600, and the calibration ends within a few
  // percent of where it ends from 600.
  std::vector<int> FeatureSides{400, 600};
  int MaxFeatures = 1500;
  // A pair whose matches agree on no rotation is tried with one picture at
  // zooms up to this factor either way, in steps of this share.
  double LargestZoom = 1.3;
  double ZoomStep = 0.02;
  // The focal length where one pair agrees most, when it differs from the
  // one where all agree most together by more than OtherPeakRatio either
  // way, replaces it when the pairs' agreement there, summed as the
  // logarithms of their agreeing matches, is larger by more than
  // ClearlyBetterAgreement (0.25: as if one pair had 28 % more, and none
  // fewer). Closer peaks lie within what the calibration corrects.
  double OtherPeakRatio = 1.25;
  double ClearlyBetterAgreement = 0.25;
  // Told the share of the search done (0 to 1) as it goes; false stops the
  // search, which then finds nothing.
  std::function<bool(double)> Progress;
};

// The matched pixels of a pair of pictures: (left, right) positions at full
// size.
struct MatchedPair {
  int Left = 0, Right = 0;
  std::vector<std::pair<TRealPoint, TRealPoint>> Pixels;
};

// The search on given matches of pairs of `count` pictures of `size`,
// which agree with a rotation within `tolerance` pixels; nothing when fewer
// than half of the pairs agree on any focal length.
std::optional<FocalEstimate> EstimateFromMatches(TPoint size, int count, const std::vector<MatchedPair>& pairs,
                                                 double tolerance, const FocalSearchSettings& settings = {});

// Searches the run's pictures (rs.PictureSet, the size in rs.Projection);
// nothing when fewer than half of the pairs agree on any focal length.
std::optional<FocalEstimate> EstimateFocalLength(RunState& rs, const FocalSearchSettings& settings = {});

}  // namespace vistarium::refine
