#pragma once
// The calibration stage of a run: after every connection has been refined
// on its own, the camera (focal length and aberration) and every picture's
// orientation are fitted to the correspondences of all connections together
// (refine/calibration.h). Connections are then measured again under the
// calibrated camera, and a connection that the joint fit disagrees with
// (its correspondences lie far from where the fit puts them, compared with
// what the pair alone reaches) or that has too few consistent
// correspondences is searched again by features, once, and the fit repeated.
// Large pictures are measured at a reduced size until then (MeasuringSide),
// and at full size from the calibrated orientations at the end.
// The construction then builds from the calibrated orientations.

#include <functional>
#include <optional>

#include "refine/calibration.h"
#include "refine/refinement.h"
#include "refine/rescue.h"
#include "run/run_state.h"

namespace vistarium::refine {

struct SetCalibrationSettings {
  // The pictures of a set may differ in zoom: each is given its own focal
  // length where the connections clearly ask for it.
  CalibrationSettings Fit = [] {
    CalibrationSettings s;
    s.FitZoom = true;
    return s;
  }();
  // Trust in the starting camera (CalibrationProblem): the focal length to
  // this share, or EstimatedPrior when it was estimated from the pictures'
  // features, and the aberration to AberrationPrior.
  double FocalPrior = 0.15;
  double EstimatedPrior = 0.30;
  // The standard error up to which the data fix an estimated focal length
  // (CalibrationSettings::MaxFocalSpread for one the pictures say).
  double EstimatedMaxFocalSpread = 0.05;
  double AberrationPrior = 0.05;
  // The connections are measured again when the calibrated focal length
  // differs from the start by more than this share, or the aberration by
  // more than RemeasureAberration: the spots' patches were resampled, and
  // their outliers judged, under the old camera.
  double RemeasureFocalShare = 0.005;
  double RemeasureAberration = 0.005;
  // Where the first fit keeps the focal length (the data fix it poorly, as
  // under a lens that bends much), the connections measured again are
  // measured again under the fit while it moves from the camera they were
  // measured under by more than RoundFocalShare or RoundAberration (any
  // more than RemeasureAberration while it keeps the focal length), up to
  // MeasuringRounds in all. Before that, up to TrialConnections fitted
  // connections are measured again under the aberration moved by
  // TrialAberration either way (0: never), and the rounds start from the
  // one under which they find more than TrialGain times, and TrialMargin
  // more than, the consistent spots they find under the fit's.
  int MeasuringRounds = 4;
  double RoundFocalShare = 0.02;
  double RoundAberration = 0.02;
  double TrialAberration = 0.06;
  int TrialConnections = 3;
  double TrialGain = 1.25;
  int TrialMargin = 10;
  // A connection disagrees with the joint fit when the median distance of
  // its correspondences under the fit exceeds both DisagreeFactor times and
  // DisagreePixels more than the median its own best rotation leaves (the
  // check's thresholds, app/connection_check.h, so that every connection it
  // names as wrong was searched again first).
  double DisagreeFactor = 1.5;
  double DisagreePixels = 0.5;
  bool Refind = true;  // search disagreeing connections again by features
  // Told the share of the calibration done (0 to 1) as it goes; false stops
  // it, unfinished.
  std::function<bool(double)> Progress;
  // A circle was closed by bending the camera when the pairs' own best
  // rotations leave a root mean square above ForcedShare times, and
  // ForcedPixels more than, what they leave under the starting camera.
  double ForcedShare = 1.15;
  double ForcedPixels = 0.03;
  // ClosingFocalLength: a focal length that closes the circle to within
  // ClosureRadians, where the start leaves it open, and differs from the
  // start by more than ClosingShare.
  double ClosingShare = 0.05;
  double ClosureRadians = 0.1;
  // Spots aimed at over each overlap at full size when connections are
  // measured again under the calibrated camera: more than the first
  // measuring's, since these correspondences fix the camera.
  int MeasuringSpots = 250;
  // Pictures whose shorter side exceeds this many pixels are measured at a
  // reduced size (MeasuringLevel) until the camera is settled, and every
  // fitted connection at full size at the end.
  int MeasuringSide = kMeasuringSide;
  // A connection found again within this many pixels of its rotation was
  // right: it stays as it was.
  double SamePixels = 1.0;
  // The feature search's confidence when searching again: under the
  // calibrated camera the matches that agree may lie as far apart as the
  // scene's parallax makes them (real sets: 2 to 3.5 px) and be a smaller
  // share of all; the refinement from the rotation found then decides, and
  // its result is kept only when it fits.
  RescueOptions RefindTests = [] {
    RescueOptions o;
    o.MaxRmsPixels = 5.0;
    o.MinInlierShare = 0.12;
    return o;
  }();
  // For a connection without any fit of its own, whose only other guess
  // is three points the pictures did not confirm: any rotation that enough
  // feature matches agree on, however loosely (strong parallax, or pictures
  // taken at another zoom than the one camera assumes).
  RescueOptions LastResortTests = [] {
    RescueOptions o;
    o.MaxRmsPixels = 25.0;
    o.MaxRmsShare = 0.02;
    o.MinInlierShare = 0.05;
    o.Widening = 5.0;
    return o;
  }();
};

// Calibrates the run (rs.Calibration, Done when the fit succeeded) and
// stores in every connection's refinement how it fits: its joint and floor
// residuals, and, for a fitted connection, the rotation between the two
// calibrated orientations. rs.Projection keeps the starting camera; the
// matching's UseCalibratedCamera puts the calibrated one into it. The
// pictures are decoded again where connections are measured. Stops early,
// with Calibration.Done false, when the run's stop signal is set.
void CalibrateSet(RunState& rs, const SetCalibrationSettings& settings = {});

// The focal length at which the run's full circle closes: the connections'
// own best rotations under it (from their refined correspondences, or their
// three points) turn the pictures once around, and chained around the
// circle come back to the first picture's orientation. Searched from a
// fifth to five times the run's camera (rs.Parameters.Camera); nothing for
// an open set, when the focal length of one turn does not close the circle
// well enough (a connection wrong by much), or when the run's camera closes
// it already (SetCalibrationSettings).
// With `fromPoints`, from the connections' three points alone.
std::optional<double> ClosingFocalLength(const RunState& rs, const SetCalibrationSettings& settings = {},
                                         bool fromPoints = false);

}  // namespace vistarium::refine
