#include "app/pipeline.h"

#include "alignment/bundle_coord.h"
#include "alignment/crop.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "matching/all_pairs.h"
#include "matching/preparation.h"
#include "refine/refinement.h"
#include "render/fill.h"
#include "render/gain_compensation.h"

namespace vistarium::app {

void RunFindingPhase(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                     const params::ParameterSets& parameters) {
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  matching::EstimateFindingWork(rs);
  matching::ReportFindingProgress(rs, ui, 0.0);
  matching::MatchAllPairs(rs, ui);
}

void RunFindingPhaseWithoutEstimate(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                                    const params::ParameterSets& parameters) {
  rs.CancelRequested = false;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  matching::MatchAllPairs(rs, ui);
}

void RunConstructionPhase(RunState& rs, matching::ProgressUi& ui) {
  rs.CancelRequested = false;
  // Each step ends early once the stop signal is set; the phase then stops
  // after it, with CancelRequested set and the panorama incomplete.
  const auto stopped = [&rs] { return rs.CancelRequested = rs.CancelRequested || StopSignalled(rs); };
  // Connections corrected by hand since the finding phase are measured
  // again, so that the construction follows them at full precision.
  if (rs.Refine) refine::RefineOutdatedConnections(rs);
  if (stopped()) return;
  ResetConstructionResults(rs);
  alignment::OrientPictures(rs);
  rs.Horizon = alignment::FindHorizon(rs);
  alignment::LevelPanorama(rs, rs.Horizon);
  if (rs.PictureSet.Is360) alignment::CreateClosureSystems(rs);
  alignment::MeasurePictureSpans(rs);
  alignment::MeasureCommonBand(rs);
  if (stopped()) return;
  if (rs.PictureSet.Is360)
    alignment::CircleExtent(rs);
  else
    alignment::PlainExtent(rs);
  alignment::ChooseCrop(rs);
  alignment::AllocatePanorama(rs);
  if (rs.PictureSet.Is360)
    alignment::WrapSpans(rs);
  else
    alignment::ClampSpans(rs);
  render::CompensateExposure(rs);
  if (stopped()) return;
  if (rs.PictureSet.Is360)
    render::FillCirPanorama(rs, ui);
  else
    render::FillPlainPanorama(rs, ui);
  stopped();
}

}  // namespace vistarium::app
