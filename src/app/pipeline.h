#pragma once
// The pipeline driver: the phases of joining a picture set, in order, over
// the run state.

#include "run/run_state.h"
#include "run/progress.h"
#include "render/band_fill.h"

namespace vistarium::app {

// Snapshot, projection, progress start, estimate, the matching of all pairs
// and the calibration, the finding bar running once through them. Ends
// early, with CancelRequested set, when the user stops it.
void RunFindingPhase(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                     const params::ParameterSets& parameters);

// The parts of the finding bar that the steps of a finding phase fill, in
// proportion to their work: where the focal length estimate's part ends,
// the matching's, and the part of a circle matched again; the calibration
// fills the rest.
struct FindingSteps {
  double Estimate = 0.0, Matching = 1.0, Rematch = 1.0;
};
FindingSteps PlanFindingSteps(const RunState& rs);

// The start of a finding phase whose bar runs once through its steps: the
// bar's clock starts, the camera is estimated within the estimate's part
// (EstimateStartingCamera) and the matching's part is given to what
// follows. False, with the whole bar given back, when the user stopped the
// estimate.
bool StartFindingWithEstimate(RunState& rs, matching::ProgressUi& ui, const FindingSteps& steps);

// With refinement on, for pictures that do not say their focal length
// (EstimateFocal): the projection of the focal length estimated from their
// features, when they agree on one. The finding phases start with it. With
// `ui`, it moves the finding bar through the step's part
// (matching::SetFindingStep) and stops, with CancelRequested set, when the
// user stops the phase.
void EstimateStartingCamera(RunState& rs, matching::ProgressUi* ui = nullptr);

// A full circle whose focal length was estimated from features
// (Calibration.EstimatedFocalLength) is matched again from the focal length
// that closes it (refine::ClosingFocalLength), with Calibration.
// ClosingFocalLength and FirstFocalLength set, where the estimate leaves it
// open: where near and far things disagree the estimate can be far off, and
// connections measured under a camera far off neither close the circle nor
// let the calibration find the camera. A circle whose camera was given (the
// EXIF, the list) and that will be calibrated is matched again only where it
// closes more than a tenth away from that camera (an EXIF focal length that
// a crop or a converter made wrong). The decoded pictures and found
// features stay. The finding phases run it after the matching, which leaves
// an estimated circle's connections unmeasured (MeasuredWhileMatching): the
// focal length that closes it is found from their three points first (the
// library circle's as from its measured connections, and a sixth of its run
// sooner), and only where those do not say are they measured to find it,
// and kept when it is not matched again.
bool ClosingSearchFollows(const RunState& rs);
bool MeasuredWhileMatching(const RunState& rs);
void MatchAgainWhereTheCircleCloses(RunState& rs, matching::ProgressUi& ui);

// With refinement on and pictures matched by the search: the camera and the
// orientations calibrated on all connections together, and the projection
// of the calibrated camera in force for the construction. The finding
// phases end with it. With `ui`, as EstimateStartingCamera.
void CalibrateCamera(RunState& rs, matching::ProgressUi* ui = nullptr);

// A full circle that the calibration left open (a connection far off where
// the joint fit puts it), not matched again before, is matched again from
// the focal length that closes it and calibrated again, kept where its
// worst connection then lies nearer. A starting camera far off (a lens that
// bends, a crop factor the EXIF gets wrong: the library circle with its
// EXIF made to say 22 or 34 mm, where it closes at 29) leaves the first
// measuring too few connections that hold for the calibration to find it.
// The finding phases run it after the calibration.
void MatchAgainWhereAnOpenCircleCloses(RunState& rs, matching::ProgressUi& ui);

// A full circle matched again from the focal length that closes it
// (MatchAgainWhereTheCircleCloses) whose closing pair the pictures do not
// confirm after the calibration (neither its own measuring fitted nor
// features placed it) was closed on nothing: a set joined as a circle by
// mistake. It is matched again from the focal length its first matching
// ran under (Calibration.FirstFocalLength) and calibrated again, kept
// where the connections that the pictures confirm then lie nearer the joint
// fit (helens without EXIF, joined as a circle: 14.5 mm where it closes,
// 30.8 from the estimate).
void MatchAgainWhereNothingConfirmsTheClosing(RunState& rs, matching::ProgressUi& ui);

// The same without the estimate and the progress start; CancelRequested is
// cleared at its start. With ManualStitching set no search runs.
void RunFindingPhaseWithoutEstimate(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                                    const params::ParameterSets& parameters);

// Orientation, levelling, closure of a full circle, layout with the chosen
// crop, exposure gains (when switched on) and fill, from the stored
// connections; running it again gives the same panorama. Ends early, with
// CancelRequested set and the panorama unfinished, when the run's stop
// signal is set.
void RunConstructionPhase(RunState& rs, matching::ProgressUi& ui);

// The same, handing the panorama's rows on to `sink` band by band as they
// are made instead of keeping it in rs.Panorama (whose Width and Height are
// set, its pixels left empty). Returns what the fill held and did (nothing
// for the plain fill, rs.UseReferenceFill).
render::BandFillReport RunConstructionPhase(RunState& rs, matching::ProgressUi& ui, const render::BandSink& sink,
                                            const render::BandFillOptions& options = {});

}  // namespace vistarium::app
