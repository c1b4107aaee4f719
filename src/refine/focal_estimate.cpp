#include "refine/focal_estimate.h"

#include <algorithm>
#include <cmath>

#include "refine/calibration.h"
#include "refine/refinement.h"
#include "refine/rescue.h"
#include "render/picture_file.h"
#include "run/parallel.h"

namespace vistarium::refine {

namespace {

// The matches of a pair that agree on one rotation under the camera `pp`,
// the right picture at `zoom` times its focal length.
RayConsensus AgreeingAt(const MatchedPair& pair, const TProjectionParameters& pp, double zoom, double tolerance,
                        int iterations) {
  const TProjectionParameters right = geom::WithZoom(pp, zoom);
  std::vector<geom::Ray> a, b;
  for (const auto& [l, r] : pair.Pixels) {
    a.push_back(geom::PixelToRay(pp, l));
    b.push_back(geom::PixelToRay(right, r));
  }
  return FitRotationToRays(a, b, tolerance / pp.FocalPixels, iterations, 2.0);
}

struct PairConsensus {
  RayConsensus Agreeing;
  double Zoom = 1.0;  // of the right picture over the left one
};

// The consensus of a pair under the camera, or, when too few matches agree
// on a rotation, under the zoom of the right picture over the left one that
// most agree with: a picture taken at another zoom (or a step back) fits no
// rotation of the same focal length.
PairConsensus ConsensusOf(const MatchedPair& pair, const TProjectionParameters& pp, double tolerance,
                          const FocalSearchSettings& settings) {
  const int iterations = 4 * settings.RansacIterations;
  PairConsensus best{AgreeingAt(pair, pp, 1.0, tolerance, iterations), 1.0};
  if (static_cast<int>(best.Agreeing.Inliers.size()) >= settings.MinInliers) return best;
  for (double zoom = 1.0 / settings.LargestZoom; zoom <= settings.LargestZoom; zoom *= 1.0 + settings.ZoomStep) {
    if (std::fabs(std::log(zoom)) < 0.5 * settings.ZoomStep) continue;  // tried above
    RayConsensus c = AgreeingAt(pair, pp, zoom, tolerance, iterations);
    if (c.Inliers.size() > best.Agreeing.Inliers.size()) best = {std::move(c), zoom};
  }
  return best;
}

// A curve smoothed over three neighbours.
std::vector<double> Smoothed(const std::vector<double>& curve) {
  std::vector<double> smooth(curve.size());
  for (std::size_t n = 0; n < curve.size(); ++n) {
    const double before = curve[n > 0 ? n - 1 : n], after = curve[n + 1 < curve.size() ? n + 1 : n];
    smooth[n] = 0.25 * before + 0.5 * curve[n] + 0.25 * after;
  }
  return smooth;
}

// The focal length in the middle of where `curve` stays within 95 % of its
// peak (narrow fields of view leave a broad plateau), the first peak where
// it peaks twice.
double PlateauMiddle(const std::vector<double>& focals, const std::vector<double>& curve) {
  const std::size_t peak = static_cast<std::size_t>(std::max_element(curve.begin(), curve.end()) - curve.begin());
  std::size_t low = peak, high = peak;
  while (low > 0 && curve[low - 1] >= 0.95 * curve[peak]) --low;
  while (high + 1 < curve.size() && curve[high + 1] >= 0.95 * curve[peak]) ++high;
  return std::sqrt(focals[low] * focals[high]);
}

// The pairs searched: every adjacent pair of a small set, a few spread over
// a large one (all share the one focal length), in runs of neighbouring
// pairs that share their middle pictures: four pairs in two runs need the
// features of six pictures, not eight.
std::vector<std::pair<int, int>> ChosenPairs(const RunState& rs, const FocalSearchSettings& settings) {
  const int count = rs.PictureSet.Count;
  std::vector<std::pair<int, int>> chosen;
  const int pairCount = rs.PictureSet.Is360 ? count : count - 1;
  if (pairCount <= settings.MaxPairs) {
    for (int i = 0; i < pairCount; ++i) chosen.emplace_back(i, i + 1 == count ? 0 : i + 1);
  } else {
    const int run = std::max(1, settings.PairsInARun), runs = std::max(1, settings.MaxPairs / run);
    for (int r = 0; r < runs; ++r)
      for (int k = 0, start = r * pairCount / runs; k < run; ++k) {
        const int i = (start + k) % pairCount;
        chosen.emplace_back(i, i + 1 == count ? 0 : i + 1);
      }
  }
  return chosen;
}

// The search on features of copies of longer side `side`; nothing when the
// pairs do not agree, and `stopped` when told to stop (or a picture of
// another size stopped it: the finding phase names that).
std::optional<FocalEstimate> EstimateAt(RunState& rs, const FocalSearchSettings& settings,
                                        const std::vector<std::pair<int, int>>& chosen, int side,
                                        const std::function<bool(double)>& goOn, bool& stopped) {
  const int count = rs.PictureSet.Count;
  const TPoint size = rs.Projection.PictureSize;
  stopped = true;
  // Features of their own, coarser than the rescue's: a focal length within
  // a few percent is all the search needs, and the calibration finishes it.
  RescueOptions coarse;
  coarse.MaxWorkingSide = side;
  coarse.MaxFeatures = settings.MaxFeatures;
  FeatureStore store(coarse);
  // Features of the pictures the pairs need, from the grey pictures that
  // the matching and the calibration measure on afterwards. They take most
  // of the search's time, their matching most of the rest.
  if (!AddPairFeatures(rs, store, chosen, [&goOn](double share) { return goOn(0.8 * share); })) return std::nullopt;
  store.MatchPairs(chosen);
  if (!goOn(0.95)) return std::nullopt;
  stopped = false;
  std::vector<MatchedPair> pairs;
  for (const auto& [i, j] : chosen) pairs.push_back({i, j, store.MatchedPixels(i, j)});
  // Agreement within a couple of pixels, never finer than the reduced
  // pictures the features were found on.
  return EstimateFromMatches(size, count, pairs, std::max(2.0, store.FeatureScale()), settings);
}

}  // namespace

std::optional<FocalEstimate> EstimateFromMatches(TPoint size, int count, const std::vector<MatchedPair>& pairs,
                                                 double tolerance, const FocalSearchSettings& settings) {
  std::vector<double> focals;
  for (double f = settings.Shortest; f <= settings.Longest; f *= settings.Step) focals.push_back(f);
  std::vector<std::vector<int>> agreeing(focals.size(), std::vector<int>(pairs.size(), 0));
  ParallelFailures failures(focals.size());
#pragma omp parallel for schedule(dynamic)
  for (std::size_t n = 0; n < focals.size(); ++n)
    failures.Run(n, [&] {
      TProjectionParameters pp;
      geom::SetCameraProjection(pp, size, focals[n], 0.0);
      for (std::size_t k = 0; k < pairs.size(); ++k) {
        std::vector<geom::Ray> a, b;
        for (const auto& [l, r] : pairs[k].Pixels) {
          a.push_back(geom::PixelToRay(pp, l));
          b.push_back(geom::PixelToRay(pp, r));
        }
        agreeing[n][k] = static_cast<int>(
            FitRotationToRays(a, b, tolerance / pp.FocalPixels, settings.RansacIterations).Inliers.size());
      }
    });
  failures.Rethrow();
  // The total agreement, smoothed over three neighbours; its peak, widened
  // to where it stays within 95 % of it (narrow fields of view leave a broad
  // plateau, whose middle is taken).
  // Each pair counts by the logarithm of its agreement, so that one pair
  // with many matches does not outvote the others.
  std::vector<double> total(focals.size(), 0.0);
  for (std::size_t n = 0; n < focals.size(); ++n)
    for (int v : agreeing[n]) total[n] += std::log1p(static_cast<double>(v));
  // A pair whose pictures were taken at different zooms agrees on no
  // rotation at the focal length where the others do, and a little, on
  // spurious matches, at far shorter or longer ones: the total can peak
  // where no pair agrees well (weir's pairs agree on a fifth of their
  // matches at 30 mm, on 95 % at 75 mm with one picture at 1.14 times the
  // zoom), or move along a broad plateau with a couple of such matches.
  // Each pair's own peak, where far from the total's, is tried as well,
  // with zooms allowed, and wins where the pairs clearly agree better.
  struct Candidate {
    double FocalLength = 0.0;
    std::vector<PairConsensus> Consensus;
    double Agreement = 0.0;
  };
  std::vector<double> tried{PlateauMiddle(focals, Smoothed(total))};
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    std::vector<double> own(focals.size());
    for (std::size_t n = 0; n < focals.size(); ++n) own[n] = agreeing[n][k];
    const double f = PlateauMiddle(focals, Smoothed(own));
    if (std::fabs(std::log(f / tried[0])) > std::log(settings.OtherPeakRatio)) tried.push_back(f);
  }
  std::vector<Candidate> candidates(tried.size());
  ParallelFailures tries(tried.size());
#pragma omp parallel for schedule(dynamic)
  for (std::size_t n = 0; n < tried.size(); ++n)
    tries.Run(n, [&] {
      Candidate& c = candidates[n];
      c.FocalLength = tried[n];
      TProjectionParameters pp;
      geom::SetCameraProjection(pp, size, c.FocalLength, 0.0);
      for (const MatchedPair& pair : pairs) {
        c.Consensus.push_back(ConsensusOf(pair, pp, tolerance, settings));
        c.Agreement += std::log1p(static_cast<double>(c.Consensus.back().Agreeing.Inliers.size()));
      }
    });
  tries.Rethrow();
  std::size_t best = 0;
  for (std::size_t n = 1; n < candidates.size(); ++n)
    if (candidates[n].Agreement > candidates[best].Agreement &&
        candidates[n].Agreement > candidates[0].Agreement + settings.ClearlyBetterAgreement)
      best = n;
  FocalEstimate estimate;
  estimate.FocalLength = candidates[best].FocalLength;
  const std::vector<PairConsensus>& consensus = candidates[best].Consensus;
  // A pair counts when its matches agree at the chosen focal length, on
  // their own or with one of its pictures at another zoom.
  for (const PairConsensus& c : consensus)
    if (static_cast<int>(c.Agreeing.Inliers.size()) >= settings.MinInliers) ++estimate.Pairs;
  if (2 * estimate.Pairs < static_cast<int>(pairs.size()) || estimate.Pairs == 0) return std::nullopt;

  // Fitted to the agreeing matches of all pairs together. The pictures are
  // chained through the pairs' rotations; the first picture of a chain
  // (pairs spread over a large set need not touch) is held.
  CalibrationProblem problem;
  problem.PictureSize = size;
  problem.FocalLength = estimate.FocalLength;
  problem.Orientations.assign(static_cast<std::size_t>(count), geom::kIdentityRotation);
  problem.Held.assign(static_cast<std::size_t>(count), false);
  problem.Zooms.assign(static_cast<std::size_t>(count), 1.0);
  std::vector<bool> placed(static_cast<std::size_t>(count), false);
  for (std::size_t n = 0; n < pairs.size(); ++n) {
    const MatchedPair& pair = pairs[n];
    const RayConsensus& c = consensus[n].Agreeing;
    if (static_cast<int>(c.Inliers.size()) < settings.MinInliers) continue;
    CalibrationPair cp;
    cp.Left = pair.Left;
    cp.Right = pair.Right;
    for (int k : c.Inliers) {
      cp.LeftPoints.push_back(pair.Pixels[static_cast<std::size_t>(k)].first);
      cp.RightPoints.push_back(pair.Pixels[static_cast<std::size_t>(k)].second);
    }
    estimate.Inliers += static_cast<int>(c.Inliers.size());
    const std::size_t i = static_cast<std::size_t>(pair.Left), j = static_cast<std::size_t>(pair.Right);
    if (!placed[i]) problem.Held[i] = placed[i] = true;
    if (!placed[j]) {
      // The consensus carries left rays onto right ones; the right picture's
      // orientation carries its own rays into the left one's frame.
      problem.Orientations[j] = geom::Multiplied(problem.Orientations[i], geom::Transposed(c.Rotation));
      problem.Zooms[j] = problem.Zooms[i] * consensus[n].Zoom;
      placed[j] = true;
    }
    problem.Pairs.push_back(std::move(cp));
  }
  CalibrationSettings fit;
  fit.FitAberration = false;
  fit.LossPixels = tolerance;
  // A picture taken at another zoom fits no rotation of the others' focal
  // length: it gets its own, and the set's follows the rest.
  fit.FitZoom = true;
  const CalibrationResult result = CalibrateJointly(problem, fit);
  estimate.Zooms.assign(static_cast<std::size_t>(count), 1.0);
  const bool fitted = result.Solved && !result.FocalKept;
  // The pairs' rotations under the camera the estimate ends with.
  const std::vector<geom::Rotation>& orientations = fitted ? result.Orientations : problem.Orientations;
  for (const CalibrationPair& pair : problem.Pairs)
    estimate.Rotations.push_back(
        {pair.Left, pair.Right,
         geom::Multiplied(geom::Transposed(orientations[static_cast<std::size_t>(pair.Left)]),
                          orientations[static_cast<std::size_t>(pair.Right)])});
  if (!fitted) return estimate;
  estimate.FocalLength = result.FocalLength;
  estimate.Zooms = result.Zooms;
  return estimate;
}

std::optional<FocalEstimate> EstimateFocalLength(RunState& rs, const FocalSearchSettings& settings) {
  const TPoint size = rs.Projection.PictureSize;
  if (rs.PictureSet.Count < 2 || size.X <= 0 || size.Y <= 0) return std::nullopt;
  const std::vector<std::pair<int, int>> chosen = ChosenPairs(rs, settings);
  // The share told never goes back when a larger side searches again.
  double told = 0.0;
  const auto goOn = [&settings, &told](double share) {
    told = std::max(told, share);
    return !settings.Progress || settings.Progress(told);
  };
  for (const int side : settings.FeatureSides) {
    bool stopped = false;
    std::optional<FocalEstimate> estimate = EstimateAt(rs, settings, chosen, side, goOn, stopped);
    if (estimate || stopped) return estimate;
  }
  return std::nullopt;
}

}  // namespace vistarium::refine
