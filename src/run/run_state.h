#pragma once
// The run state: everything one join of a picture set computes, from the
// snapshot of the picture set and parameters to the finished panorama. One
// object, owned by whoever runs the pipeline (the application or the
// command-line tool) and passed to every step.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "geom/bundle_system.h"
#include "run/picture_geometry.h"
#include "geom/projection.h"
#include "params/output_options.h"
#include "params/parameter_sets.h"
#include "image/bitmaps.h"

namespace vistarium {

struct TPictureSetData {
  std::int32_t Count = 0;
  std::vector<std::string> FileNames;  // full paths, left to right
  bool Is360 = false;
};

// The panorama picture: packed colours 0x00BBGGRR indexed [column][row],
// held column after column in one store.
struct TPanorama {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::vector<std::uint32_t> Pixels;
};

// Where the panorama lies in the panorama frame, and each picture's columns.
struct PanoramaLayout {
  std::vector<double> SpanLeft, SpanRight;                // per picture
  std::vector<double> SpanLeftWrapped, SpanRightWrapped;  // full circles
  double BandTop = 0.0, BandBottom = 0.0;                 // latitudes
  std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;  // frame: longitudes and equal-area heights
  // Panorama pixels per pixel of the pictures' own circle: below 1 when the
  // panorama is made smaller (on request, or to stay within what JPEG
  // holds). Spans, band and frame are in panorama pixels of that scale.
  double Scale = 1.0;
  // Says why the panorama was made smaller than asked; empty otherwise.
  std::string ScaleNote;
};

// Shares of the finding work and the clock of the running phase.
struct ProgressState {
  std::int32_t PairCount = 0;
  double FirstSearchShare = 0.0;
  double SecondSearchShare = 0.0;
  double StartTime = 0.0;  // days
  double Elapsed = 0.0;    // days, at the last report
  double Estimated = 0.0;  // days, at the last report
  bool ContinueConfirmed = false;
  std::int32_t FindingBar = 0;       // percent shown by the finding bar
  // The part of the finding bar that the step in hand fills: a step's
  // fraction f moves the bar to FindingFrom + f x (FindingTo - FindingFrom).
  // The finding phase's steps (the focal length estimate, the matching, the
  // calibration) each fill a part of their own, so that the bar runs once.
  double FindingFrom = 0.0, FindingTo = 1.0;
  std::int32_t ConstructionBar = 0;  // percent shown by the construction bar
};

// What a stage keeps for the rest of a run (found features, for instance),
// owned by the run state without the run state knowing its form.
struct StageStore {
  virtual ~StageStore() = default;
};

// The store of type T that `slot` holds, made there first (by `make`, which
// returns a std::shared_ptr<T>) when it holds none of that type.
template <typename T, typename Make>
T& StageStoreIn(std::shared_ptr<StageStore>& slot, Make&& make) {
  if (auto* store = dynamic_cast<T*>(slot.get())) return *store;
  std::shared_ptr<T> made = make();
  T& store = *made;
  slot = std::move(made);
  return store;
}

// What the finding phase's stages keep of the pictures for the rest of a
// run, each made on first use; all of it goes with the finding results.
struct FindingStores {
  // The rescue's features of the pictures, kept through the finding phase.
  std::shared_ptr<StageStore> RescueFeatures;
  // The pictures' grey pyramids, shared by the finding phase's stages.
  std::shared_ptr<StageStore> GreyPictures;
  // The pictures' reduced colours that the matching decoded, kept for the
  // exposure gains.
  std::shared_ptr<StageStore> ReducedColours;
};

// The camera fitted to the correspondences of all connections together, with
// every picture's orientation. Absent (Done false) with refinement off, for
// placements by hand, and before the finding phase.
struct CameraCalibration {
  // Pictures that did not say their focal length: the one estimated from
  // their features, which the run started from (0: none).
  double EstimatedFocalLength = 0.0;
  // A full circle matched again where it closes (started from an estimate,
  // or from a camera far from it): that focal length, which the calibration
  // started from instead (0: none).
  double ClosingFocalLength = 0.0;
  // A full circle matched again where it closes: the focal length its
  // first matching ran under, the estimate or the camera given (0: none).
  double FirstFocalLength = 0.0;
  bool Done = false;
  double StartFocalLength = 0.0, StartAberration = 0.0;  // the camera the run started from
  double FocalLength = 0.0, Aberration = 0.0;            // the camera the construction uses
  bool FocalKept = false;       // the data could not fix the focal length: the start value stays
  double FocalSpread = 0.0;     // standard error of the fitted focal length, as a share of it
  double StartRmsPixels = 0.0;  // all correspondences under the starting camera (best rotation per pair)
  double RmsPixels = 0.0;       // ... under the calibrated camera and orientations
  int Refound = 0;              // connections searched again after disagreeing with the fit
};

struct RunState {
  // Snapshot taken at the start of a finding phase.
  TPictureSetData PictureSet;
  params::ParameterSets Parameters;

  // Finding results.
  TProjectionParameters Projection;
  std::vector<PictureGeometry> Geometry;
  TColMatrix RawWorking;
  TColMatrix LeftWorking;
  TColMatrix RightWorking;
  CameraCalibration Calibration;
  FindingStores Stores;

  // Construction results.
  TRealPoint Horizon;
  TBundleSystem ClosureSource;  // full circles only
  TBundleSystem ClosureTarget;
  PanoramaLayout Layout;
  TPanorama Panorama;

  ProgressState Progress;
  bool CancelRequested = false;
  // Set from another thread to stop a running phase as soon as it can: the
  // searches, the refinement and the fills look at it between small pieces
  // of work. Owned by whoever runs the phases; none means never.
  const std::atomic<bool>* StopSignal = nullptr;
  std::int32_t CurrentPairIndex = -1;
  bool ManualStitching = false;
  // With ManualStitching: each connection starts where the feature search
  // sees the two pictures overlap, and only without a confident answer where
  // the expected overlap puts it.
  bool PlaceByFeatures = false;
  // Run the plain sequential searches instead of the fast ones (same results).
  bool UseReferenceSearch = false;
  // Fill the panorama pixel after pixel on one thread (the fast fill agrees
  // within the bound stated in render/band_fill.h).
  bool UseReferenceFill = false;
  // The panorama's scale asked for (0 < scale <= 1); the layout makes it
  // smaller still when a side would exceed what JPEG holds.
  double RequestedScale = 1.0;
  // Measure every connection again on the full-size pictures and build from
  // the refined rotations. Off, the results are exactly those of the three
  // matched points; the application and the command-line tool switch it on.
  bool Refine = false;

  // Even out the exposure of the pictures: one gain per picture and colour
  // channel, estimated from the refined correspondences before the fill and
  // applied by it. Off (or with nothing to compare), Gains stays empty and
  // the fill takes the pictures' colours as they are.
  bool CompensateExposure = false;
  std::vector<std::array<double, 3>> Gains;  // per picture: blue, green, red
  // Which part of the panorama frame becomes the panorama picture.
  params::CropChoice Crop = params::CropChoice::Common;
  // With Refine: the finding phase ends with the calibration of the camera
  // and orientations on all connections together (off: each connection is
  // built from its own refinement).
  bool Calibrate = true;
  // With Refine: pictures that do not say their focal length; the finding
  // phase estimates it from their features before matching.
  bool EstimateFocal = false;
  // With Refine: pictures that say another focal length than the camera's
  // (a zoom lens moved between shots), per picture its ratio to the
  // camera's; empty, all the camera's. The finding phase starts from them.
  std::vector<double> StartZooms;
};

// Whether the stop signal of the run is set (cheap: one relaxed load).
inline bool StopSignalled(const RunState& rs) {
  return rs.StopSignal != nullptr && rs.StopSignal->load(std::memory_order_relaxed);
}

// The camera of picture i: the run's, at the picture's own zoom.
inline TProjectionParameters PictureProjection(const RunState& rs, int i) {
  const double zoom = i >= 0 && static_cast<std::size_t>(i) < rs.Geometry.size()
                          ? rs.Geometry[static_cast<std::size_t>(i)].Zoom
                          : 1.0;
  return zoom == 1.0 ? rs.Projection : geom::WithZoom(rs.Projection, zoom);
}

// Count = 0 and no file names; Is360 keeps its value.
void ResetPictureSetData(RunState& rs);
// Projection values to zero (the working scale to 1.0), geometry array and
// working pictures emptied.
void ResetFindingResults(RunState& rs);
// Orientation, panorama points, horizon, panorama and exposure gains cleared. It walks the
// geometry array, so when combined with the other resets it runs first.
void ResetConstructionResults(RunState& rs);

}  // namespace vistarium
