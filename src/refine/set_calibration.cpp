#include "refine/set_calibration.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <optional>

#include "refine/grey_store.h"
#include "refine/refinement.h"

namespace vistarium::refine {

namespace {

using geom::Rotation;

struct Link {
  int Left = 0, Right = 0;
};

std::vector<Link> Links(const RunState& rs) {
  std::vector<Link> links;
  const int count = rs.PictureSet.Count;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    links.push_back({i, i + 1 == count ? 0 : i + 1});
  }
  return links;
}

const TConnectionSide& LeftSide(const RunState& rs, const Link& l) {
  return rs.Geometry.at(static_cast<std::size_t>(l.Left)).RightConnection;
}
const TConnectionSide& RightSide(const RunState& rs, const Link& l) {
  return rs.Geometry.at(static_cast<std::size_t>(l.Right)).LeftConnection;
}
TConnectionRefinement& RefinementOf(RunState& rs, const Link& l) {
  return rs.Geometry.at(static_cast<std::size_t>(l.Left)).RightRefinement;
}
const TConnectionRefinement& RefinementOf(const RunState& rs, const Link& l) {
  return rs.Geometry.at(static_cast<std::size_t>(l.Left)).RightRefinement;
}
bool Applies(const RunState& rs, const Link& l) {
  return RefinementFitted(RefinementOf(rs, l), LeftSide(rs, l), RightSide(rs, l));
}

// A connection's three matched points as correspondences.
CalibrationPair PointsOf(const RunState& rs, const Link& l) {
  CalibrationPair pair;
  pair.Left = l.Left;
  pair.Right = l.Right;
  pair.LeftPoints.assign(LeftSide(rs, l).ImagePoints.begin(), LeftSide(rs, l).ImagePoints.end());
  pair.RightPoints.assign(RightSide(rs, l).ImagePoints.begin(), RightSide(rs, l).ImagePoints.end());
  return pair;
}

// The correspondences of a connection: its refined ones, or its three
// matched points when it has none that apply.
CalibrationPair PairOf(const RunState& rs, const Link& l) {
  if (!Applies(rs, l)) return PointsOf(rs, l);
  CalibrationPair pair;
  pair.Left = l.Left;
  pair.Right = l.Right;
  pair.LeftPoints = RefinementOf(rs, l).LeftPoints;
  pair.RightPoints = RefinementOf(rs, l).RightPoints;
  return pair;
}

TProjectionParameters CameraOf(const RunState& rs, double focalLength, double aberration) {
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, rs.Projection.PictureSize, focalLength, aberration);
  pp.ExactAberrationInverse = true;
  return pp;
}

PairZooms ZoomsOf(const std::vector<double>& zooms, const Link& l) {
  return {zooms.at(static_cast<std::size_t>(l.Left)), zooms.at(static_cast<std::size_t>(l.Right))};
}

// The cameras of a connection's pictures: the set's camera at each picture's zoom.
PairCameras CamerasOf(const TProjectionParameters& camera, const std::vector<double>& zooms, const Link& l) {
  const PairZooms z = ZoomsOf(zooms, l);
  return {geom::WithZoom(camera, z.Left), geom::WithZoom(camera, z.Right)};
}

bool Zoomed(const std::vector<double>& zooms, const Link& l) {
  const PairZooms z = ZoomsOf(zooms, l);
  return z.Left != 1.0 || z.Right != 1.0;
}

// Start orientations: picture 0 as it is, every further picture chained
// through the rotation of its connection with its left neighbour.
std::vector<Rotation> Chain(const RunState& rs, const TProjectionParameters& pp, const std::vector<Link>& links) {
  std::vector<Rotation> orientations(static_cast<std::size_t>(rs.PictureSet.Count), geom::kIdentityRotation);
  for (const Link& l : links) {
    if (l.Right == 0) continue;  // the closing pair of a circle
    const Rotation r = Applies(rs, l) ? RefinementOf(rs, l).Rotation
                                      : RotationFromPoints(pp, LeftSide(rs, l).ImagePoints, RightSide(rs, l).ImagePoints);
    orientations[static_cast<std::size_t>(l.Right)] = geom::Multiplied(orientations[static_cast<std::size_t>(l.Left)], r);
  }
  return orientations;
}

// The problem's priors hold the camera near the start of the run, whatever
// the fit starts from.
struct Start {
  double FocalLength = 0.0, Aberration = 0.0, FocalPrior = 0.0, AberrationPrior = 0.0;
};

CalibrationResult Fit(const RunState& rs, const std::vector<Link>& links, const Start& camera, double focalLength,
                      double aberration, const std::vector<Rotation>& start, const std::vector<double>& zooms,
                      const CalibrationSettings& settings) {
  CalibrationProblem problem;
  problem.Zooms = zooms;
  problem.PictureSize = rs.Projection.PictureSize;
  problem.FocalLength = focalLength;
  problem.Aberration = aberration;
  problem.KnownFocalLength = camera.FocalLength;
  problem.KnownAberration = camera.Aberration;
  problem.FocalPrior = camera.FocalPrior;
  problem.AberrationPrior = camera.AberrationPrior;
  problem.Orientations = start;
  for (const Link& l : links) problem.Pairs.push_back(PairOf(rs, l));
  return CalibrateJointly(problem, settings);
}

// The fit's settings, with zooms judged only when every connection has
// correspondences of its own: one that has only its three matched points
// fits any zoom.
CalibrationSettings Judging(const RunState& rs, const std::vector<Link>& links, const CalibrationSettings& settings) {
  CalibrationSettings s = settings;
  s.FitZoom = settings.FitZoom && std::all_of(links.begin(), links.end(), [&](const Link& l) { return Applies(rs, l); });
  return s;
}

Rotation Between(const std::vector<Rotation>& orientations, const Link& l) {
  return geom::Multiplied(geom::Transposed(orientations[static_cast<std::size_t>(l.Left)]),
                          orientations[static_cast<std::size_t>(l.Right)]);
}

// Grey pyramids of the run's pictures, as the refinement measured them
// (the run's GreyStore, which decodes what it does not hold); the pair in
// hand and the one before stay held for the next connection.
class Pyramids {
public:
  explicit Pyramids(RunState& rs) : rs_(rs), store_(GreyPicturesOf(rs)) {}
  // Both pyramids of a connection; the references stay valid until the next call.
  std::pair<const GreyPyramid&, const GreyPyramid&> Of(const Link& l) {
    for (auto it = held_.begin(); it != held_.end() && held_.size() > 2;)
      it = it->first == l.Left || it->first == l.Right ? std::next(it) : held_.erase(it);
    return {Load(l.Left), Load(l.Right)};
  }

private:
  const GreyPyramid& Load(int p) {
    auto found = held_.find(p);
    if (found != held_.end()) return *found->second;
    return *held_.emplace(p, store_.Pyramid(rs_, p)).first->second;
  }
  const RunState& rs_;
  GreyStore& store_;
  std::map<int, std::shared_ptr<const GreyPyramid>> held_;
};

// Puts back the three image points of a connection, with their angle and
// working forms under the run's projection.
void RestorePoints(RunState& rs, const Link& l, const std::array<TRealPoint, 3>& left,
                   const std::array<TRealPoint, 3>& right) {
  const TProjectionParameters& pp = rs.Projection;
  const auto put = [&pp](TConnectionSide& side, const std::array<TRealPoint, 3>& points) {
    side.ImagePoints = points;
    for (std::size_t k = 0; k < 3; ++k) {
      side.AnglePoints[k] = geom::PictureToAngles(pp, points[k]);
      side.WorkingPoints[k] = geom::ToWorkingScale(pp, side.AnglePoints[k]);
    }
  };
  put(rs.Geometry.at(static_cast<std::size_t>(l.Left)).RightConnection, left);
  put(rs.Geometry.at(static_cast<std::size_t>(l.Right)).LeftConnection, right);
}

// Stores a new refinement of a connection, measured from its present points.
void Store(RunState& rs, const Link& l, TConnectionRefinement result) {
  result.LeftSource = LeftSide(rs, l).ImagePoints;
  result.RightSource = RightSide(rs, l).ImagePoints;
  RefinementOf(rs, l) = std::move(result);
}

// The error, at the picture border, assumed for a rotation the joint fit
// gives a connection: a few pixels beyond how far its correspondences lie
// from the fit.
double AssumedError(const PairResiduals& joint) { return std::clamp(2.0 + 2.0 * joint.Percentile90, 4.0, 40.0); }

// Searches a connection again by features under the camera `pp` and
// refines it from what they find. Returns whether the connection changed:
// features that confirm its rotation leave it as it was; a rotation that
// the pictures do not confirm at full size replaces only a connection that
// had no fit of its own. The connection is marked as searched again.
bool Refind(RunState& rs, const Link& l, Pyramids& pyramids, const TProjectionParameters& camera,
            const std::vector<double>& zooms, const SetCalibrationSettings& settings,
            const RefinementSettings& measuring) {
  const TPoint size = camera.PictureSize;
  const double focalLength = camera.FocalPixels * 18.0 / camera.HalfSize;
  const PairCameras pp = CamerasOf(camera, zooms, l);
  const bool hadFit = Applies(rs, l);
  // The connection's own rotation under the same camera, for comparison.
  Rotation before = geom::kIdentityRotation;
  if (hadFit) PairFloor(size, focalLength, camera.Aberration, PairOf(rs, l), &before, ZoomsOf(zooms, l));
  // The three points the rescue replaces, put back when the connection stays.
  const std::array<TRealPoint, 3> leftPoints = LeftSide(rs, l).ImagePoints, rightPoints = RightSide(rs, l).ImagePoints;
  const auto [left, right] = pyramids.Of(l);
  std::string note;
  const std::optional<RescuedRotation> found =
      TryRescue(rs, pp, l.Left, l.Right, left, right, note, hadFit ? &settings.RefindTests : &settings.LastResortTests);
  TConnectionRefinement result;
  if (found) result = RefineRotation(pp, left, right, found->RightToLeft, found->ErrorPixels, measuring);
  if (StopSignalled(rs)) return false;
  const bool confirmed = found && result.Fitted && hadFit &&
                         geom::RotationDistance(result.Rotation, before) * camera.FocalPixels < settings.SamePixels;
  if (found && (result.Fitted || !hadFit) && !confirmed) {
    result.Rescued = true;
    // Without a fit at full size either way, the features' rotation, which
    // most of them agree on within the scene's parallax, is a better guess
    // than three points that the pictures did not confirm.
    if (!result.Fitted) result.RescueNote = "the feature matches agree on a rotation only within the scene's parallax";
    result.Refound = true;
    Store(rs, l, std::move(result));
    return true;
  }
  if (found) RestorePoints(rs, l, leftPoints, rightPoints);
  TConnectionRefinement& kept = RefinementOf(rs, l);
  kept.Refound = true;
  if (!confirmed)
    kept.RescueNote = found ? "the features found a rotation, but the pictures do not agree with it at full size" : note;
  return false;
}

}  // namespace

std::optional<double> ClosingFocalLength(const RunState& rs, const SetCalibrationSettings& settings, bool fromPoints) {
  const std::vector<Link> links = Links(rs);
  if (!rs.PictureSet.Is360 || links.size() < 3 || rs.Geometry.size() != static_cast<std::size_t>(rs.PictureSet.Count))
    return std::nullopt;
  const double start = rs.Parameters.Camera.FocalLength, aberration = rs.Parameters.Camera.Aberration;
  std::vector<double> zooms;
  for (const PictureGeometry& g : rs.Geometry) zooms.push_back(g.Zoom);
  std::vector<CalibrationPair> pairs;
  for (const Link& l : links) pairs.push_back(fromPoints ? PointsOf(rs, l) : PairOf(rs, l));
  // Each connection's own best rotation under focal length f, and how far
  // the pictures turn around the circle: the sum of the turns of the right
  // pictures' axes about the vertical, and the product of the rotations
  // (back to the first picture when the circle closes).
  struct Around {
    double Turn = 0.0, Closure = 0.0;
  };
  const auto around = [&](double f) {
    const TProjectionParameters camera = CameraOf(rs, f, aberration);
    Around a;
    Rotation product = geom::kIdentityRotation;
    for (std::size_t k = 0; k < links.size(); ++k) {
      const PairCameras pp = CamerasOf(camera, zooms, links[k]);
      std::vector<geom::Ray> left, right;
      for (std::size_t n = 0; n < pairs[k].LeftPoints.size() && n < pairs[k].RightPoints.size(); ++n) {
        left.push_back(geom::PixelToRay(pp.Left, pairs[k].LeftPoints[n]));
        right.push_back(geom::PixelToRay(pp.Right, pairs[k].RightPoints[n]));
      }
      const Rotation r = FitRotation(left, right);  // right -> left: the right axis is its third column
      a.Turn += std::atan2(r[2], r[8]);
      product = geom::Multiplied(product, r);
    }
    a.Closure = geom::RotationDistance(product, geom::kIdentityRotation);
    return a;
  };
  // The turn shrinks as the focal length grows: the focal length of one
  // full turn is searched from a fifth to five times the start, in steps of
  // a percent (a far shorter one would turn twice and close as well).
  double best = 0.0, bestMiss = 0.0, bestClosure = 0.0;
  for (double f = 0.2 * start; f <= 5.0 * start; f *= 1.01) {
    const Around a = around(f);
    const double miss = std::fabs(std::fabs(a.Turn) - 2.0 * std::numbers::pi);
    if (best == 0.0 || miss < bestMiss) best = f, bestMiss = miss, bestClosure = a.Closure;
  }
  if (best > 0.0 && bestClosure < settings.ClosureRadians && std::fabs(best - start) > settings.ClosingShare * start)
    return best;
  return std::nullopt;
}

void CalibrateSet(RunState& rs, const SetCalibrationSettings& settings) {
  const double estimated = rs.Calibration.EstimatedFocalLength, closing = rs.Calibration.ClosingFocalLength;
  const double first = rs.Calibration.FirstFocalLength;
  rs.Calibration = CameraCalibration{};
  rs.Calibration.EstimatedFocalLength = estimated;
  rs.Calibration.ClosingFocalLength = closing;
  rs.Calibration.FirstFocalLength = first;
  // Pictures at another zoom, as the focal length estimate or an earlier
  // calibration found them, start from it.
  std::vector<double> startZooms;
  for (const PictureGeometry& g : rs.Geometry) startZooms.push_back(g.Zoom);
  const std::vector<Link> links = Links(rs);
  if (links.empty() || rs.Geometry.size() != static_cast<std::size_t>(rs.PictureSet.Count)) return;
  const TProjectionParameters& startCamera = rs.Projection;
  const double startFocal = rs.Parameters.Camera.FocalLength, startAberration = rs.Parameters.Camera.Aberration;
  const TPoint size = startCamera.PictureSize;

  // The root mean square of all correspondences under a camera (and the
  // pictures' zooms, when given), each pair by its own best rotation.
  const auto floorUnder = [&](double focal, double aberration, const std::vector<double>* zooms) {
    double squares = 0.0;
    long points = 0;
    for (const Link& l : links) {
      const PairResiduals floor =
          PairFloor(size, focal, aberration, PairOf(rs, l), nullptr, zooms ? ZoomsOf(*zooms, l) : PairZooms{});
      squares += floor.Rms * floor.Rms * floor.Points;
      points += floor.Points;
    }
    return points > 0 ? std::sqrt(squares / static_cast<double>(points)) : 0.0;
  };
  double startFloor = floorUnder(startFocal, startAberration, nullptr);
  // A focal length estimated from features (not one a circle closes at) is
  // known far less well than one the pictures say: it is held more loosely,
  // and the data need fix it less tightly to replace it.
  const bool estimatedStart = estimated > 0.0 && closing <= 0.0;
  CalibrationSettings fitting = settings.Fit;
  if (estimatedStart) fitting.MaxFocalSpread = std::max(fitting.MaxFocalSpread, settings.EstimatedMaxFocalSpread);
  const Start start{startFocal, startAberration, estimatedStart ? settings.EstimatedPrior : settings.FocalPrior,
                    settings.AberrationPrior};

  CalibrationResult fit = Fit(rs, links, start, startFocal, startAberration, Chain(rs, startCamera, links),
                              startZooms, Judging(rs, links, fitting));
  if (!fit.Solved || StopSignalled(rs)) return;
  // Measuring stops at once with the run's stop signal (its result is then
  // not fitted, and the calibration ends unfinished).
  RefinementSettings measuring;
  measuring.Stop = rs.StopSignal;
  measuring.Spots = settings.MeasuringSpots;
  // Large pictures are measured at a reduced size until the camera is
  // settled, and at full size at the end.
  measuring.FinestLevel = MeasuringLevel(size, settings.MeasuringSide);
  const bool reduced = measuring.FinestLevel > 0;

  Pyramids pyramids(rs);
  // Every connection measured again under the calibrated camera, from the
  // calibrated orientations, when the camera changed, a picture of it has a
  // zoom of its own or the connection has no refinement of its own; kept
  // when it finds at least as many consistent correspondences.
  bool moved = std::fabs(fit.FocalLength - startFocal) > settings.RemeasureFocalShare * startFocal ||
               std::fabs(fit.Aberration - startAberration) > settings.RemeasureAberration;
  TProjectionParameters calibrated = CameraOf(rs, fit.FocalLength, fit.Aberration);
  // The measuring again takes most of the time, the searches again by
  // features the rest: told as the share `done` of the way from `from` to
  // `to`.
  // With reduced measuring, the measuring at full size at the end takes
  // the last quarter.
  const double end = reduced ? 0.75 : 1.0;
  const auto goOn = [&settings, end](double from, double to, double done) {
    return !settings.Progress || settings.Progress(end * (from + (to - from) * done));
  };
  const auto share = [](std::size_t k, std::size_t n) { return static_cast<double>(k) / static_cast<double>(n); };
  // Connection k measured from the orientations and under the camera of a fit.
  const auto measureFrom = [&](const CalibrationResult& f, std::size_t k, const RefinementSettings& how) {
    const auto [left, right] = pyramids.Of(links[k]);
    return RefineRotation(CamerasOf(CameraOf(rs, f.FocalLength, f.Aberration), f.Zooms, links[k]), left, right,
                          Between(f.Orientations, links[k]), AssumedError(f.Pairs[k]), how);
  };
  // A lens that bends much leaves the first measuring only the spots near
  // where one rotation under a straight camera puts them: they say the lens
  // is straight and fix the focal length poorly. Where the fit kept the
  // focal length, a few fitted connections are measured again under the
  // camera bent either way; when one way finds clearly more consistent
  // spots, the rounds below start from it.
  const bool weak = fit.FocalKept;
  std::optional<double> straight;  // the fit's aberration, when a trial bent the camera
  if (weak && settings.TrialAberration > 0.0) {
    std::vector<std::size_t> tried;
    for (std::size_t k = 0; k < links.size(); ++k)
      if (Applies(rs, links[k])) tried.push_back(k);
    std::sort(tried.begin(), tried.end(), [&](std::size_t a, std::size_t b) {
      return RefinementOf(rs, links[a]).Inliers > RefinementOf(rs, links[b]).Inliers;
    });
    tried.resize(std::min<std::size_t>(tried.size(), static_cast<std::size_t>(settings.TrialConnections)));
    const auto inliersUnder = [&](double aberration) {
      CalibrationResult trial = fit;
      trial.Aberration = aberration;
      int sum = 0;
      for (std::size_t k : tried) {
        const TConnectionRefinement r = measureFrom(trial, k, measuring);
        sum += r.Fitted ? r.Inliers : 0;
      }
      return sum;
    };
    if (tried.size() >= 2) {
      const int here = inliersUnder(fit.Aberration);
      int best = here;
      double bent = fit.Aberration;
      for (const double aberration :
           {fit.Aberration + settings.TrialAberration, fit.Aberration - settings.TrialAberration}) {
        const int found = inliersUnder(aberration);
        if (found > best) best = found, bent = aberration;
      }
      if (StopSignalled(rs)) return;
      if (best > settings.TrialGain * here + settings.TrialMargin) {
        straight = fit.Aberration;
        fit.Aberration = bent;
        moved = true;
      }
    }
  }
  // Where the fit kept the focal length, the data fix the camera only
  // roughly: while it moves far from the camera the connections were
  // measured under, they are all measured again under it, a few rounds at
  // most. Later rounds start from orientations fitted to connections
  // measured under a camera near the fit's: one search at full size.
  RefinementSettings later = measuring;
  later.FullSizePasses = 1;
  for (int round = 0; round < (weak ? settings.MeasuringRounds : 1); ++round) {
    bool changed = false;
    const double measuredFocal = fit.FocalLength, measuredAberration = fit.Aberration;
    for (std::size_t k = 0; k < links.size(); ++k) {
      const Link& l = links[k];
      const bool zoomed = Zoomed(fit.Zooms, l);
      // The bar moves over the first round; later ones only check the stop.
      if (!goOn(0.0, 0.7, round == 0 ? share(k, links.size()) : 1.0)) return;
      if (round == 0 && !moved && !zoomed && Applies(rs, l)) continue;
      TConnectionRefinement again = measureFrom(fit, k, round == 0 ? measuring : later);
      if (StopSignalled(rs)) return;
      if (!again.Fitted) continue;
      const TConnectionRefinement& before = RefinementOf(rs, l);
      if (round == 0 && Applies(rs, l) && again.Inliers < before.Inliers && !moved && !zoomed) continue;
      again.Rescued = before.Rescued;
      Store(rs, l, std::move(again));
      changed = true;
    }
    if (!changed) {
      // Nothing measured under a trial camera: the fit stays as it was.
      if (round == 0 && straight) fit.Aberration = *straight;
      break;
    }
    fit = Fit(rs, links, start, fit.FocalLength, fit.Aberration, fit.Orientations, fit.Zooms,
              Judging(rs, links, fitting));
    if (!fit.Solved) return;
    // The camera, fitted again from the calibrated one, is measured from
    // the starting camera.
    calibrated = CameraOf(rs, fit.FocalLength, fit.Aberration);
    // With the focal length kept, the data are still weak: any move of the
    // aberration is measured again.
    const double aberrationRound = fit.FocalKept ? settings.RemeasureAberration : settings.RoundAberration;
    if (std::fabs(fit.FocalLength - measuredFocal) <= settings.RoundFocalShare * measuredFocal &&
        std::fabs(fit.Aberration - measuredAberration) <= aberrationRound)
      break;
  }

  // A circle closes only when its connections' rotations add up to a full
  // turn. When each pair's own best rotation fits it better under the
  // starting camera than under the calibrated one, the camera was bent to
  // close the circle around a wrong connection: the circle is fitted again
  // with the starting camera, and every connection searched again, which
  // finds the wrong one.
  bool forced = false;
  if (rs.PictureSet.Is360) {
    const double calibratedFloor = floorUnder(fit.FocalLength, fit.Aberration, &fit.Zooms);
    forced = calibratedFloor > settings.ForcedShare * startFloor + settings.ForcedPixels;
    if (forced) {
      CalibrationSettings held = fitting;
      held.FitFocal = held.FitAberration = false;
      held.FitZoom = false;
      fit = Fit(rs, links, start, startFocal, startAberration, fit.Orientations,
                std::vector<double>(static_cast<std::size_t>(rs.PictureSet.Count), 1.0), held);
      if (!fit.Solved) return;
      calibrated = CameraOf(rs, startFocal, startAberration);
    }
  }

  // Connections that do not hold: searched again by features under the
  // calibrated camera, once each, and measured from what they find.
  if (settings.Refind) {
    // Chosen before any is searched again: a search changes only its own
    // connection.
    std::vector<std::size_t> wanted;
    std::vector<std::pair<int, int>> pairs;
    for (std::size_t k = 0; k < links.size(); ++k) {
      const Link& l = links[k];
      const PairResiduals floor =
          PairFloor(size, fit.FocalLength, fit.Aberration, PairOf(rs, l), nullptr, ZoomsOf(fit.Zooms, l));
      const PairResiduals& joint = fit.Pairs[k];
      const bool lacking = !Applies(rs, l) || Verdict(RefinementOf(rs, l)) == RefinedVerdict::NoMatch;
      const bool disagrees = joint.Median > settings.DisagreeFactor * floor.Median &&
                             joint.Median > floor.Median + settings.DisagreePixels;
      if (!(lacking || disagrees || forced) || RefinementOf(rs, l).Refound) continue;
      wanted.push_back(k);
      pairs.emplace_back(l.Left, l.Right);
    }
    // Their pictures' features first, two small searches at a time, each
    // on one core, rather than one picture after the other as each search
    // needs them (library's five: 0.2 s instead of 0.3).
    if (!pairs.empty() &&
        !AddPairFeatures(rs, RescueFeaturesOf(rs), pairs, [&goOn](double found) { return goOn(0.7, 0.85, found); }, true))
      return;
    bool refound = false;
    for (std::size_t n = 0; n < wanted.size(); ++n) {
      const Link& l = links[wanted[n]];
      if (!goOn(0.85, 1.0, share(n, wanted.size()))) return;
      if (Refind(rs, l, pyramids, calibrated, fit.Zooms, settings, measuring)) {
        refound = true;
        ++rs.Calibration.Refound;
      }
      if (StopSignalled(rs)) return;
    }
    if (refound || forced) {
      // A circle closed by a bent camera keeps one focal length for all.
      CalibrationSettings again = Judging(rs, links, fitting);
      again.FitZoom = again.FitZoom && !forced;
      fit = Fit(rs, links, start, fit.FocalLength, fit.Aberration, fit.Orientations, fit.Zooms, again);
      if (!fit.Solved) {
        rs.Calibration.Refound = 0;
        return;
      }
    }
  }

  if (reduced) {
    // Every fitted connection measured at full size from the calibrated
    // orientations, with as many spots as a first measuring at full size
    // and one search (the patches are resampled through a calibrated
    // rotation), and the fit repeated; a connection that finds no fit at
    // full size keeps its reduced measuring.
    RefinementSettings full;
    full.Stop = rs.StopSignal;
    full.FullSizePasses = 1;
    bool measured = false;
    for (std::size_t k = 0; k < links.size(); ++k) {
      const Link& l = links[k];
      if (settings.Progress && !settings.Progress(end + (1.0 - end) * share(k, links.size()))) return;
      if (!Applies(rs, l)) continue;
      TConnectionRefinement again = measureFrom(fit, k, full);
      if (StopSignalled(rs)) return;
      if (!again.Fitted) continue;
      const TConnectionRefinement& before = RefinementOf(rs, l);
      again.Rescued = before.Rescued;
      again.Refound = before.Refound;
      again.RescueNote = before.RescueNote;
      Store(rs, l, std::move(again));
      measured = true;
    }
    if (measured) {
      CalibrationSettings last = Judging(rs, links, fitting);
      last.FitZoom = last.FitZoom && !forced;
      // Should it fail, the fit at the reduced size stands.
      CalibrationResult refitted =
          Fit(rs, links, start, fit.FocalLength, fit.Aberration, fit.Orientations, fit.Zooms, last);
      if (refitted.Solved) fit = std::move(refitted);
      // The starting camera's residual as reported is that of the same
      // correspondences.
      startFloor = floorUnder(startFocal, startAberration, nullptr);
    }
  }

  CameraCalibration& c = rs.Calibration;
  c.Done = true;
  c.StartFocalLength = startFocal;
  c.StartAberration = startAberration;
  c.FocalLength = fit.FocalLength;
  c.Aberration = fit.Aberration;
  c.FocalKept = fit.FocalKept;
  c.FocalSpread = fit.FocalSpread;
  c.StartRmsPixels = startFloor;
  c.RmsPixels = fit.RmsPixels;
  for (std::size_t k = 0; k < links.size(); ++k) {
    const Link& l = links[k];
    const PairResiduals floor =
        PairFloor(size, fit.FocalLength, fit.Aberration, PairOf(rs, l), nullptr, ZoomsOf(fit.Zooms, l));
    TConnectionRefinement& r = RefinementOf(rs, l);
    r.JointPoints = fit.Pairs[k].Points;
    r.JointRmsPixels = fit.Pairs[k].Rms;
    r.JointMedianPixels = fit.Pairs[k].Median;
    r.FloorRmsPixels = floor.Rms;
    r.FloorMedianPixels = floor.Median;
    // Every connection, fitted or not, is built from the calibrated
    // orientations: for a circle, the rotations then close it.
    r.Rotation = Between(fit.Orientations, l);
    r.Calibrated = true;
    r.Measured = true;
    r.LeftSource = LeftSide(rs, l).ImagePoints;
    r.RightSource = RightSide(rs, l).ImagePoints;
  }
  for (std::size_t i = 0; i < rs.Geometry.size() && i < fit.Zooms.size(); ++i) rs.Geometry[i].Zoom = fit.Zooms[i];
}

}  // namespace vistarium::refine
