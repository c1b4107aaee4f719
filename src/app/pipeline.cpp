#include "app/pipeline.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "alignment/bundle_coord.h"
#include "alignment/crop.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "alignment/upright_horizon.h"
#include "matching/all_pairs.h"
#include "matching/preparation.h"
#include "refine/focal_estimate.h"
#include "refine/refinement.h"
#include "refine/set_calibration.h"
#include "render/fill.h"
#include "render/gain_compensation.h"

namespace vistarium::app {

namespace {

// A step's progress on the finding bar, within the part the run state gives
// it; false once the user stopped the phase.
std::function<bool(double)> StepProgress(RunState& rs, matching::ProgressUi* ui) {
  if (!ui) return {};
  return [&rs, ui](double f) {
    matching::ReportFindingProgress(rs, *ui, f);
    return !rs.CancelRequested;
  };
}

}  // namespace

FindingSteps PlanFindingSteps(const RunState& rs) {
  // In proportion to the work, as measured on real sets: the estimate's
  // features of a picture cost about what the matching of a pair costs,
  // and the calibration about one pair's matching a connection.
  const int count = rs.PictureSet.Count;
  const double pairs = std::max(1, rs.PictureSet.Is360 ? count : count - 1);
  const bool searching = rs.Refine && !rs.ManualStitching;
  // The estimate searches at most four pairs, in two runs of three pictures.
  const double estimate = searching && rs.EstimateFocal ? std::min(count, 6) : 0.0;
  const double again = searching && rs.EstimateFocal && rs.PictureSet.Is360 ? pairs : 0.0;
  const double calibration = searching && rs.Calibrate ? pairs : 0.0;
  const double total = estimate + pairs + again + calibration;
  return {estimate / total, (estimate + pairs) / total, (estimate + pairs + again) / total};
}

void EstimateStartingCamera(RunState& rs, matching::ProgressUi* ui) {
  if (!rs.Refine || !rs.EstimateFocal || rs.ManualStitching) return;
  refine::FocalSearchSettings settings;
  settings.Progress = StepProgress(rs, ui);
  const std::optional<refine::FocalEstimate> estimate = refine::EstimateFocalLength(rs, settings);
  if (!estimate) return;
  rs.Parameters.Camera.FocalLength = estimate->FocalLength;
  matching::SetProjectionForCamera(rs, estimate->FocalLength, rs.Parameters.Camera.Aberration, false);
  rs.Calibration.EstimatedFocalLength = estimate->FocalLength;
  for (std::size_t i = 0; i < rs.Geometry.size() && i < estimate->Zooms.size(); ++i)
    rs.Geometry[i].Zoom = estimate->Zooms[i];
  for (const refine::FocalEstimate::PairRotation& r : estimate->Rotations)
    if (r.Left >= 0 && static_cast<std::size_t>(r.Left) < rs.Geometry.size())
      rs.Geometry[static_cast<std::size_t>(r.Left)].EstimatedRightRotation = r.RightToLeft;
}

namespace {

// A calibrated circle is left open where a connection's correspondences
// lie, by their median, farther than this share of the pictures' shorter
// side from where the joint fit puts them: the library circle's worst lies
// 0.4 % off (2 % enlarged to 12 megapixels), while started from a focal
// length 15 to 30 % off, or enlarged to 3.5 megapixels, its closing pair
// lay 47 to 170 % off.
constexpr double kOpenCircleShare = 0.05;

// A circle whose camera was given (EXIF, the list) is matched again before
// the calibration where it closes at a focal length more than this share
// away: the library circle closes 7 % from its EXIF focal length, and the
// calibration finds its camera from there, while from 16 % (EXIF made to
// say 34 mm where it closes at 29) it leaves the circle open.
constexpr double kGivenClosingShare = 0.1;
// ... and where its measured connections close it within this share of the
// focal length that its three points close it at.
constexpr double kClosingAgreement = 0.02;

// How far the calibrated connections that the pictures confirm (their own
// measuring fitted, or features placed them) lie from the joint fit: each
// one's median.
std::vector<double> ConfirmedMisfits(const RunState& rs) {
  std::vector<double> misfits;
  for (const PictureGeometry& g : rs.Geometry)
    if (g.RightRefinement.Fitted || g.RightRefinement.Rescued) misfits.push_back(g.RightRefinement.JointMedianPixels);
  return misfits;
}

// Matches the circle again from the focal length `focal`: the one that
// closes it (Calibration.ClosingFocalLength), with `closes`, or the one its
// first matching ran under.
void MatchAgainFrom(RunState& rs, matching::ProgressUi& ui, double focal, bool closes) {
  const double estimatedFocal = rs.Calibration.EstimatedFocalLength, firstFocal = rs.Calibration.FirstFocalLength;
  std::vector<double> zooms;
  for (const PictureGeometry& g : rs.Geometry) zooms.push_back(g.Zoom);
  // The decoded pictures and the features found stay; the connections go.
  const FindingStores stores = rs.Stores;
  rs.Parameters.Camera.FocalLength = focal;
  matching::SetUpProjection(rs);
  rs.Stores = stores;
  for (std::size_t i = 0; i < rs.Geometry.size() && i < zooms.size(); ++i) rs.Geometry[i].Zoom = zooms[i];
  rs.Calibration.EstimatedFocalLength = estimatedFocal;
  rs.Calibration.FirstFocalLength = firstFocal;
  rs.Calibration.ClosingFocalLength = closes ? focal : 0.0;
  matching::EstimateFindingWork(rs);
  matching::MatchAllPairs(rs, ui);
}

// Matches the circle again from `focal` (as MatchAgainFrom) and calibrates
// it again; the connections, camera and calibration it had are put back
// unless `misfit` of the new ones is smaller.
void MatchAndCalibrateAgain(RunState& rs, matching::ProgressUi& ui, double focal, bool closes,
                            const std::function<double(const RunState&)>& misfit) {
  const double before = misfit(rs);
  const std::vector<PictureGeometry> geometry = rs.Geometry;
  const CameraCalibration calibration = rs.Calibration;
  const TProjectionParameters projection = rs.Projection;
  const params::TParametersCamera camera = rs.Parameters.Camera;
  // The bar runs again over the matching and the calibration.
  matching::SetFindingStep(rs, 0.0, 1.0);
  MatchAgainFrom(rs, ui, focal, closes);
  CalibrateCamera(rs, &ui);
  if (rs.CancelRequested || (rs.Calibration.Done && misfit(rs) < before)) return;
  rs.Geometry = geometry;
  rs.Calibration = calibration;
  rs.Projection = projection;
  rs.Parameters.Camera = camera;
}

}  // namespace

bool ClosingSearchFollows(const RunState& rs) {
  if (!rs.PictureSet.Is360 || !rs.Refine) return false;
  return rs.Calibration.EstimatedFocalLength > 0.0 || (rs.Calibrate && !rs.ManualStitching);
}

bool MeasuredWhileMatching(const RunState& rs) {
  return !ClosingSearchFollows(rs) || rs.Calibration.EstimatedFocalLength <= 0.0;
}

void MatchAgainWhereTheCircleCloses(RunState& rs, matching::ProgressUi& ui) {
  if (!ClosingSearchFollows(rs) || rs.CancelRequested) return;
  const bool given = rs.Calibration.EstimatedFocalLength <= 0.0;
  // A camera the pictures or the user gave is left only where the circle
  // closes far from it.
  refine::SetCalibrationSettings settings;
  if (given) settings.ClosingShare = kGivenClosingShare;
  // From the connections' three points first.
  std::optional<double> closing = refine::ClosingFocalLength(rs, settings, true);
  if (given) {
    // Measured while they were matched, they must close it at the same focal
    // length: pairs matched under a camera far off can be wrong (a rendered
    // circle given a camera 5 % long closes 10 % short).
    if (!closing) return;
    const std::optional<double> measured = refine::ClosingFocalLength(rs, settings);
    if (!measured || std::fabs(*measured - *closing) > kClosingAgreement * *closing) return;
  } else if (!closing) {
    // Where the points do not say, from the connections measured.
    matching::MeasureConnections(rs, ui);
    if (rs.CancelRequested) return;
    closing = refine::ClosingFocalLength(rs, settings);
  }
  if (!closing) return;
  // A circle whose camera was given has no part of the bar for this: it
  // takes half of what is left, and the calibration the rest.
  if (given) {
    const double from = rs.Progress.FindingTo;
    matching::SetFindingStep(rs, from, from + 0.5 * (1.0 - from));
  }
  rs.Calibration.FirstFocalLength = rs.Parameters.Camera.FocalLength;
  MatchAgainFrom(rs, ui, *closing, true);
}

namespace {

void Calibrate(RunState& rs, const refine::SetCalibrationSettings& settings) {
  if (!rs.Refine || !rs.Calibrate || rs.ManualStitching || rs.CancelRequested) return;
  refine::CalibrateSet(rs, settings);
  if (StopSignalled(rs)) rs.CancelRequested = true;
  if (rs.CancelRequested) return;
  matching::UseCalibratedCamera(rs);
  if (settings.Progress) settings.Progress(1.0);
}

}  // namespace

void CalibrateCamera(RunState& rs, matching::ProgressUi* ui) {
  refine::SetCalibrationSettings settings;
  settings.Progress = StepProgress(rs, ui);
  Calibrate(rs, settings);
  // The grey pictures served the finding phase; the construction decodes
  // what it needs.
  rs.Stores.GreyPictures.reset();
}

void MatchAgainWhereAnOpenCircleCloses(RunState& rs, matching::ProgressUi& ui) {
  if (!rs.PictureSet.Is360 || !rs.Refine || rs.ManualStitching || rs.CancelRequested || !rs.Calibration.Done ||
      rs.Calibration.ClosingFocalLength > 0.0)
    return;
  // Only connections that the pictures confirm count. A set joined as a
  // circle by mistake has a closing pair that nothing confirms, and closes
  // only at a focal length far off (helens: 14.6 mm instead of 30.7).
  const auto worst = [](const RunState& state) {
    const std::vector<double> misfits = ConfirmedMisfits(state);
    return misfits.empty() ? 0.0 : *std::max_element(misfits.begin(), misfits.end());
  };
  const TPoint size = rs.Projection.PictureSize;
  if (worst(rs) <= kOpenCircleShare * std::min(size.X, size.Y)) return;
  // From the three points, which a camera far off bends less than the
  // measuring; and where they do not say, from the connections measured.
  std::optional<double> closing = refine::ClosingFocalLength(rs, {}, true);
  if (!closing) closing = refine::ClosingFocalLength(rs);
  // What the calibration made stays unless the circle closes better.
  if (closing) MatchAndCalibrateAgain(rs, ui, *closing, true, worst);
}

void MatchAgainWhereNothingConfirmsTheClosing(RunState& rs, matching::ProgressUi& ui) {
  const CameraCalibration& c = rs.Calibration;
  if (!rs.PictureSet.Is360 || !rs.Refine || rs.ManualStitching || rs.CancelRequested || !c.Done ||
      c.ClosingFocalLength <= 0.0 || c.FirstFocalLength <= 0.0 || rs.Geometry.empty() ||
      rs.Geometry.back().RightRefinement.Fitted || rs.Geometry.back().RightRefinement.Rescued)
    return;
  // The median of the confirmed connections' misfits.
  const auto misfit = [](const RunState& state) {
    std::vector<double> misfits = ConfirmedMisfits(state);
    if (misfits.empty()) return std::numeric_limits<double>::infinity();
    const auto middle = misfits.begin() + static_cast<std::ptrdiff_t>(misfits.size() / 2);
    std::nth_element(misfits.begin(), middle, misfits.end());
    return *middle;
  };
  MatchAndCalibrateAgain(rs, ui, c.FirstFocalLength, false, misfit);
}

bool StartFindingWithEstimate(RunState& rs, matching::ProgressUi& ui, const FindingSteps& steps) {
  matching::EstimateFindingWork(rs);
  matching::SetFindingStep(rs, 0.0, steps.Estimate);
  matching::ReportFindingProgress(rs, ui, 0.0);
  EstimateStartingCamera(rs, &ui);
  if (rs.CancelRequested) {
    matching::SetFindingStep(rs, 0.0, 1.0);
    return false;
  }
  // The shares of a pair's two searches under the estimated camera.
  matching::EstimateFindingWork(rs);
  matching::SetFindingStep(rs, steps.Estimate, steps.Matching);
  return true;
}

void RunFindingPhase(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                     const params::ParameterSets& parameters) {
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  // One run of the bar over the estimate, the matching (again, for a
  // circle) and the calibration.
  const FindingSteps steps = PlanFindingSteps(rs);
  if (StartFindingWithEstimate(rs, ui, steps)) {
    matching::MatchAllPairs(rs, ui, nullptr, MeasuredWhileMatching(rs));
    matching::SetFindingStep(rs, steps.Matching, steps.Rematch);
    MatchAgainWhereTheCircleCloses(rs, ui);
    // From where the bar stands: a circle whose camera was given and that
    // was matched again took part of the calibration's.
    matching::SetFindingStep(rs, std::max(steps.Rematch, rs.Progress.FindingTo), 1.0);
    CalibrateCamera(rs, &ui);
    MatchAgainWhereAnOpenCircleCloses(rs, ui);
    MatchAgainWhereNothingConfirmsTheClosing(rs, ui);
    matching::SetFindingStep(rs, 0.0, 1.0);
  }
}

void RunFindingPhaseWithoutEstimate(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                                    const params::ParameterSets& parameters) {
  rs.CancelRequested = false;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  EstimateStartingCamera(rs);
  matching::MatchAllPairs(rs, ui, nullptr, MeasuredWhileMatching(rs));
  MatchAgainWhereTheCircleCloses(rs, ui);
  CalibrateCamera(rs);
  MatchAgainWhereAnOpenCircleCloses(rs, ui);
  MatchAgainWhereNothingConfirmsTheClosing(rs, ui);
}

namespace {

// Whether the stop signal is set; the phase then stops after the step it is
// in, with CancelRequested set and the panorama incomplete.
bool Stopped(RunState& rs) { return rs.CancelRequested = rs.CancelRequested || StopSignalled(rs); }

// Orientation, levelling, closure and layout: everything before the fill.
// False when stopped on the way.
bool PrepareConstruction(RunState& rs) {
  rs.CancelRequested = false;
  // Connections corrected by hand since the finding phase are measured
  // again, so that the construction follows them at full precision.
  const int remeasured = rs.Refine ? refine::RefineOutdatedConnections(rs) : 0;
  if (Stopped(rs)) return false;
  // A calibrated run whose connections changed by hand is calibrated again
  // with them, without searching any connection again: the user's
  // placements stay his.
  if (remeasured > 0 && rs.Calibration.Done) {
    refine::SetCalibrationSettings settings;
    settings.Refind = false;
    Calibrate(rs, settings);
    if (Stopped(rs)) return false;
  }
  ResetConstructionResults(rs);
  alignment::OrientPictures(rs);
  // Calibrated orientations level by the pictures' horizontal axes, which
  // keeps the horizon straight when the camera was tilted.
  rs.Horizon = rs.Calibration.Done ? alignment::FindUprightHorizon(rs) : alignment::FindHorizon(rs);
  alignment::LevelPanorama(rs, rs.Horizon);
  if (rs.PictureSet.Is360) alignment::CreateClosureSystems(rs);
  // Spans, band and extent with the chosen crop, at a smaller scale when a
  // side would exceed what JPEG holds.
  rs.Layout.ScaleNote = alignment::LayOutPanorama(rs);
  if (Stopped(rs)) return false;
  render::CompensateExposure(rs);
  return !Stopped(rs);
}

void Fill(RunState& rs, matching::ProgressUi& ui) {
  alignment::AllocatePanorama(rs);
  if (rs.PictureSet.Is360) {
    alignment::WrapSpans(rs);
    render::FillCirPanorama(rs, ui);
  } else {
    alignment::ClampSpans(rs);
    render::FillPlainPanorama(rs, ui);
  }
}

}  // namespace

void RunConstructionPhase(RunState& rs, matching::ProgressUi& ui) {
  if (!PrepareConstruction(rs)) return;
  Fill(rs, ui);
  Stopped(rs);
}

render::BandFillReport RunConstructionPhase(RunState& rs, matching::ProgressUi& ui, const render::BandSink& sink,
                                            const render::BandFillOptions& options) {
  if (!PrepareConstruction(rs)) return {};
  if (rs.UseReferenceFill) {
    // The plain fill makes the panorama whole; it is handed on from there.
    Fill(rs, ui);
    if (!Stopped(rs)) render::HandOnInBands(rs.Panorama, sink, options.BandRows);
    rs.Panorama.Pixels.clear();
    rs.Panorama.Pixels.shrink_to_fit();
    return {};
  }
  alignment::SizePanorama(rs);
  if (rs.PictureSet.Is360)
    alignment::WrapSpans(rs);
  else
    alignment::ClampSpans(rs);
  const render::BandFillReport report = render::FillPanoramaInBands(rs, ui, sink, options);
  Stopped(rs);
  return report;
}

}  // namespace vistarium::app
