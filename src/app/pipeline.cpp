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
  if (rs.Refine) refine::RefineOutdatedConnections(rs);
  if (Stopped(rs)) return false;
  ResetConstructionResults(rs);
  alignment::OrientPictures(rs);
  rs.Horizon = alignment::FindHorizon(rs);
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

void RunConstructionPhase(RunState& rs, matching::ProgressUi& ui, const render::BandSink& sink,
                          const render::BandFillOptions& options) {
  if (!PrepareConstruction(rs)) return;
  if (rs.UseReferenceFill) {
    // The plain fill makes the panorama whole; it is handed on from there.
    Fill(rs, ui);
    if (!Stopped(rs)) render::HandOnInBands(rs.Panorama, sink, options.BandRows);
    rs.Panorama.Pixels.clear();
    rs.Panorama.Pixels.shrink_to_fit();
    return;
  }
  alignment::SizePanorama(rs);
  if (rs.PictureSet.Is360)
    alignment::WrapSpans(rs);
  else
    alignment::ClampSpans(rs);
  render::FillPanoramaInBands(rs, ui, sink, options);
  Stopped(rs);
}

}  // namespace vistarium::app
