#pragma once
// Refinement of a connection on the full-size pictures. The three matched
// points of a connection carry the coarse search's precision, about one
// working cell. Starting from the rotation they give, this stage measures
// many correspondences spread over the overlap: textured spots of the left
// picture, each searched around its predicted place in the right picture by
// zero-mean normalised cross-correlation (blind to exposure differences),
// with a sub-pixel peak. The search runs from a reduced copy of the pictures
// down to full size, each level starting from the rotation the level above
// fitted, and the rotation is fitted robustly to the consistent majority.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "geom/point.h"
#include "geom/projection.h"
#include "geom/rays.h"
#include "image/bitmaps.h"
#include "refine/rescue.h"
#include "run/run_state.h"

namespace vistarium::refine {

// A grey picture, one byte a pixel, row after row from the top.
struct GreyPicture {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint8_t> Values;
  std::uint8_t At(int x, int y) const {
    return Values[static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x)];
  }
};

// A picture and its halvings: level L has pixels 2^L full-size pixels wide,
// each the mean of its four pixels at level L - 1.
struct GreyPyramid {
  std::vector<GreyPicture> Levels;
};

// Luma of a decoded picture.
GreyPicture BuildGrey(const DeviceBitmap& picture);

// Luma of a decoded picture and its halvings down to about 64 pixels on the
// shorter side.
GreyPyramid BuildGreyPyramid(const DeviceBitmap& picture);
// The same from the full-size grey picture itself.
GreyPyramid BuildGreyPyramid(GreyPicture base);

// The luma of a picture file at full size, upright, as the refinement
// measures it (a JPEG's own luma channel, render::LoadGreyPicture).
GreyPicture LoadGrey(const std::string& file);

struct RefinementSettings {
  int Spots = 200;            // spots aimed at over the overlap at full size
  int CoarseSpots = 120;      // the same on the reduced levels
  int PatchHalf = 10;         // full-size patches of 21 x 21 pixels
  int CoarsePatchHalf = 7;    // 15 x 15 on the reduced levels
  double SearchCells = 4.0;   // largest error of the three points, in working cells
  double MinScore = 0.7;      // weakest correlation peak kept
  double MinPeakMargin = 0.04;  // a second peak this close to the best makes a spot ambiguous
  bool Rescue = true;           // hand a still unreliable connection to the feature search
  // Measure a connection that its points leave without a match from the
  // rotation the focal length estimate's features agreed on, where there is
  // one (PictureGeometry::EstimatedRightRotation); never for points placed
  // by hand.
  bool FromEstimate = true;
  // The finest pyramid level measured: 0 is full size. The correspondences
  // keep full-size picture positions, with the precision of that level.
  int FinestLevel = 0;
  // Searches of full size; one where the start is a calibrated rotation,
  // through which the patches are resampled well enough.
  int FullSizePasses = 2;
  // Set from another thread to stop the measuring early (the result is then
  // not fitted); none means never.
  const std::atomic<bool>* Stop = nullptr;
};

// The finest pyramid level at which connections are measured before the
// camera is calibrated: the first whose shorter side is at most `side`
// pixels (kMeasuringSide). Under a camera still to be calibrated (a focal
// length some percent off, the lens bending left out) and with the scene's
// parallax, one rotation leaves the spots of a pair a few pixels apart at
// this size, which the search windows take in; at twice or four times the
// size the same misfit is as many times the pixels, and only the spots that
// happen to lie near one rotation are found (a real circle of 16 pictures,
// enlarged to 3.5 megapixels, kept one of its connections instead of
// eight). Full size follows once the camera is calibrated.
inline constexpr int kMeasuringSide = 1100;
int MeasuringLevel(TPoint pictureSize, int side = kMeasuringSide);

// Rotation carrying right directions onto left directions that fits the
// pairs best (least squares on unit vectors, never a reflection).
geom::Rotation FitRotation(const std::vector<geom::Ray>& left, const std::vector<geom::Ray>& right,
                           const std::vector<double>* weights = nullptr);

// The rotation of a connection's three point pairs (full-size picture pixels).
geom::Rotation RotationFromPoints(const TProjectionParameters& pp, const std::array<TRealPoint, 3>& left,
                                  const std::array<TRealPoint, 3>& right);

// The cameras of a connection's two pictures: one camera, unless a picture
// was taken at another zoom.
struct PairCameras {
  TProjectionParameters Left, Right;
};
// Those of the run's pictures i (left) and j, with the exact inverse of the
// aberration polynomial.
PairCameras CamerasOf(const RunState& rs, int i, int j);

// Where the pixels of a patch of the right picture lie in the left one,
// through the rotation r (right -> left directions), in the pixels of the
// pyramid level `scale` full-size pixels wide (pixel centres at whole
// numbers): exact at the patch's corners, edge middles and centre, and in
// between the quadratic through those nine. Over a patch of 21 pixels the
// mapping bends so little that the quadratic stays within a thousandth of
// a pixel of it, at a fiftieth of the work.
class PatchMapping {
public:
  // Nothing when a node's direction leaves the view in front of the left camera.
  static std::optional<PatchMapping> Of(const PairCameras& cameras, const geom::Rotation& r, TRealPoint centre,
                                        double scale, int half);
  // The left level position of the right level pixel centre + (u, v), |u|, |v| <= half.
  TRealPoint At(int u, int v) const;

private:
  int half_ = 0;
  std::array<TRealPoint, 9> nodes_{};  // rows v = -half, 0, half; columns u likewise
};

// Measures the connection of two pictures starting from `start` (right ->
// left directions), whose error at the picture border is assumed to stay
// within `errorPixels` full-size pixels. Fills everything but the sources
// and the rescue flag.
TConnectionRefinement RefineRotation(const PairCameras& cameras, const GreyPyramid& left, const GreyPyramid& right,
                                     const geom::Rotation& start, double errorPixels,
                                     const RefinementSettings& settings = {});
// The same for two pictures of one camera.
inline TConnectionRefinement RefineRotation(const TProjectionParameters& pp, const GreyPyramid& left,
                                            const GreyPyramid& right, const geom::Rotation& start,
                                            double errorPixels, const RefinementSettings& settings = {}) {
  return RefineRotation(PairCameras{pp, pp}, left, right, start, errorPixels, settings);
}

// Fewest consistent correspondences for a refined fit to be trusted; the
// largest residual of a trusted one, and the smallest share of the textured
// spots that must agree with it. Beyond these the pictures were not taken
// from one standpoint well enough, or the camera entry is wrong: on rendered
// sets sound connections stay under 0.25 px with nine spots in ten agreeing,
// while a focal length 10 % off or a lens aberration left out gives 1.4 to
// 1.8 px, and 25 % off leaves a third of the spots agreeing.
inline constexpr int kMinRefinedInliers = 12;
inline constexpr double kMaxRefinedRmsPixels = 1.2;
inline constexpr double kMinAgreeingShare = 0.4;

enum class RefinedVerdict {
  Sound,             // fitted, with a small residual
  NoMatch,           // too few consistent correspondences: the connection is likely wrong
  NotOneStandpoint,  // many consistent correspondences, but a large residual
};
RefinedVerdict Verdict(const TConnectionRefinement& r);

// Refines the stored connection of picture i with its right neighbour j
// from their pyramids, hands a still unreliable one to the rescue, and
// stores the result in picture i's RightRefinement.
void RefineStoredConnection(RunState& rs, int i, int j, const GreyPyramid& left, const GreyPyramid& right,
                            const RefinementSettings& settings = {});

// Refines every connection of the run (or only that of picture `only` with
// its right neighbour), decoding each picture it needs once; for
// connections placed or edited by hand after the finding phase.
void RefineConnections(RunState& rs, int only = -1, const RefinementSettings& settings = {});

// Refines the connections whose points changed since they were last
// measured (or that never were), without the rescue: points that the user
// placed by hand stay his. Returns how many were measured.
int RefineOutdatedConnections(RunState& rs);

// The feature store of the rescue, kept in the run state.
FeatureStore& RescueFeaturesOf(RunState& rs);

// Finds the features that the pairs (i, j) of the run's pictures need and
// the store lacks (FeatureStore::AddPairs), from their full-size grey
// pictures (the run's GreyStore). False when a picture does not have the
// set's size or `goOn`, told the share found, says stop (the features of
// the pictures after it are then not found). With `first`, on the reduced
// pictures a feature search tries first.
bool AddPairFeatures(RunState& rs, FeatureStore& store, const std::vector<std::pair<int, int>>& pairs,
                     const std::function<bool(double)>& goOn = {}, bool first = false);

// The rescue of the connection of pictures i and j (j the right neighbour)
// when the refinement could not make it reliable: features of the two
// full-size grey pictures (left.Levels[0], right.Levels[0]), kept in the run
// for later searches, and a robust rotation fit under the camera of `pp`.
// When confident it gives the connection three new points (where the line
// search would have placed them: the points the search keeps fixed stay,
// their partners follow the rotation) and returns the rotation (right ->
// left directions, geom::PixelToRay frames) with the error to assume;
// otherwise it says why in `note`.
// `tests` replaces the confidence tests of the feature search when given.
struct RescuedRotation {
  geom::Rotation RightToLeft = geom::kIdentityRotation;
  // The largest error at the picture border to assume when it is refined:
  // ten pixels, or two pixels of the reduced pictures the features were
  // found on where those are coarser (large pictures).
  double ErrorPixels = 0.0;
};
std::optional<RescuedRotation> TryRescue(RunState& rs, const PairCameras& cameras, int i, int j,
                                         const GreyPyramid& left, const GreyPyramid& right, std::string& note,
                                         const RescueOptions* tests = nullptr);

// Gives the connection of pictures i and j three new points as the rescue
// does, from the rotation `rightToLeft` (right -> left directions).
void PlaceByRotation(RunState& rs, const PairCameras& cameras, int i, int j, const geom::Rotation& rightToLeft);

}  // namespace vistarium::refine
