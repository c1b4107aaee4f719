#include "app/pipeline.h"

#include "alignment/bundle_coord.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "alignment/upright_horizon.h"
#include "matching/all_pairs.h"
#include "matching/preparation.h"
#include "refine/focal_estimate.h"
#include "refine/refinement.h"
#include "refine/set_calibration.h"
#include "render/fill.h"

namespace vistarium::app {

void EstimateStartingCamera(RunState& rs) {
  if (!rs.Refine || !rs.EstimateFocal || rs.ManualStitching) return;
  const std::optional<refine::FocalEstimate> estimate = refine::EstimateFocalLength(rs);
  if (!estimate) return;
  rs.Parameters.Camera.FocalLength = estimate->FocalLength;
  matching::SetProjectionForCamera(rs, estimate->FocalLength, rs.Parameters.Camera.Aberration, false);
  rs.Calibration.EstimatedFocalLength = estimate->FocalLength;
}

void CalibrateCamera(RunState& rs) {
  if (!rs.Refine || !rs.Calibrate || rs.ManualStitching || rs.CancelRequested) return;
  refine::CalibrateSet(rs);
  matching::UseCalibratedCamera(rs);
}

void RunFindingPhase(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                     const params::ParameterSets& parameters) {
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  EstimateStartingCamera(rs);
  matching::EstimateFindingWork(rs);
  matching::ReportFindingProgress(rs, ui, 0.0);
  matching::MatchAllPairs(rs, ui);
  CalibrateCamera(rs);
}

void RunFindingPhaseWithoutEstimate(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                                    const params::ParameterSets& parameters) {
  rs.CancelRequested = false;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  EstimateStartingCamera(rs);
  matching::MatchAllPairs(rs, ui);
  CalibrateCamera(rs);
}

void RunConstructionPhase(RunState& rs, matching::ProgressUi& ui) {
  // Connections corrected by hand since the finding phase are measured
  // again, so that the construction follows them at full precision.
  if (rs.Refine) refine::RefineOutdatedConnections(rs);
  ResetConstructionResults(rs);
  alignment::OrientPictures(rs);
  // Calibrated orientations level by the pictures' horizontal axes, which
  // keeps the horizon straight when the camera was tilted.
  rs.Horizon = rs.Calibration.Done ? alignment::FindUprightHorizon(rs) : alignment::FindHorizon(rs);
  alignment::LevelPanorama(rs, rs.Horizon);
  if (rs.PictureSet.Is360) alignment::CreateClosureSystems(rs);
  alignment::MeasurePictureSpans(rs);
  alignment::MeasureCommonBand(rs);
  if (rs.PictureSet.Is360) {
    alignment::CircleExtent(rs);
    alignment::AllocatePanorama(rs);
    alignment::WrapSpans(rs);
    render::FillCirPanorama(rs, ui);
  } else {
    alignment::PlainExtent(rs);
    alignment::AllocatePanorama(rs);
    alignment::ClampSpans(rs);
    render::FillPlainPanorama(rs, ui);
  }
}

}  // namespace vistarium::app
