#pragma once
// Calibration of the camera by all connections together. Every connection
// holds correspondences: pixel pairs of two pictures that show one scene
// point. Taken one pair at a time, each connection fits its own rotation
// under the camera entry's focal length and aberration; a wrong entry
// leaves every pair with residuals that no rotation removes. Here one focal
// length, one aberration coefficient of the program's radial model and
// every picture's orientation are fitted at once to the correspondences of
// all connections (for a full circle the closing pair too), with a robust
// loss so that a few wrong correspondences do not pull the fit.
//
// Residuals are measured in pixels of each picture as taken: a scene point
// seen in one picture is carried through both orientations into the
// other's ideal (aberration-corrected) plane, compared there with where
// that picture shows it, and the difference is brought back through the
// lens model's derivative; both ways.
//
// A picture taken at another zoom than the rest, or a step back or forth
// (which looks alike from afar), fits no single focal length: the fit then
// also gives such a picture its own focal length, as a zoom factor on the
// set's, when the correspondences clearly ask for it.

#include <vector>

#include "geom/point.h"
#include "geom/rays.h"

namespace vistarium::refine {

// The correspondences of one connection: picture Left's LeftPoints[k] and
// picture Right's RightPoints[k] show one scene point (full-size pixels).
struct CalibrationPair {
  int Left = 0, Right = 0;
  std::vector<TRealPoint> LeftPoints, RightPoints;
};

struct CalibrationProblem {
  TPoint PictureSize;
  double FocalLength = 0.0;  // start, millimetres along the longer side of 36 mm film
  double Aberration = 0.0;   // start
  // What is known of the camera before the fit: a focal length and an
  // aberration with their standard errors (the focal length's as a share of
  // it; 0: nothing known). The fit then leaves them only as far as the
  // correspondences clearly ask, which keeps sets whose parallax no camera
  // explains from bending the camera to it.
  double KnownFocalLength = 0.0, KnownAberration = 0.0;
  double FocalPrior = 0.0, AberrationPrior = 0.0;
  // Start orientations: carry each picture's own directions (geom::PixelToRay
  // frames) into a common frame. Picture 0 keeps its own, and so does every
  // picture marked in Held (pairs of pictures that share no picture with
  // others each hold one).
  std::vector<geom::Rotation> Orientations;
  std::vector<bool> Held;
  std::vector<CalibrationPair> Pairs;
  // Every picture's zoom (its focal length over the set's) to start from;
  // empty: all 1.
  std::vector<double> Zooms;
};

struct CalibrationSettings {
  // Scale of the robust (Cauchy) loss, pixels: residuals well beyond it
  // count little, so wrong correspondences cannot pull the fit.
  double LossPixels = 1.5;
  // The focal length is kept at its start when the data fix it only to
  // worse than this share (standard error), and the aberration when its
  // standard error exceeds MaxAberrationSpread.
  double MaxFocalSpread = 0.01;
  double MaxAberrationSpread = 0.02;
  bool FitFocal = true;
  bool FitAberration = true;
  int MaxIterations = 100;
  // With FitZoom, every picture's zoom is also fitted with the camera held; the set's
  // focal length follows the picture of median zoom, and a picture keeps a
  // zoom of its own only when it differs from 1 by more than ZoomShare and
  // the zooms lower the median distance of all correspondences by ZoomGain
  // or more (a share of it). A camera's focus alone changes the focal
  // length by a percent or so, and on real sets taken at one zoom the end
  // pictures of a row, held by one connection only, take zooms 2 to 4 %
  // off that lower the median by a third, by absorbing parallax; a picture
  // taken 12 % wider lowers it by two thirds.
  bool FitZoom = false;
  double ZoomShare = 0.06;
  double ZoomGain = 0.5;
};

// How one connection's correspondences fit: distances in pixels of the
// picture they are compared in, each correspondence the mean of both ways.
struct PairResiduals {
  int Points = 0;
  double Rms = 0.0, Median = 0.0, Percentile90 = 0.0;
};

struct CalibrationResult {
  bool Solved = false;
  double FocalLength = 0.0, Aberration = 0.0;
  bool FocalKept = false, AberrationKept = false;
  double FocalSpread = 0.0;       // standard error of the focal length, as a share of it
  double AberrationSpread = 0.0;  // standard error of the coefficient
  std::vector<geom::Rotation> Orientations;
  std::vector<double> Zooms;         // every picture's, 1 for those taken at the set's focal length
  std::vector<PairResiduals> Pairs;  // under the fitted camera and orientations, in the order given
  double RmsPixels = 0.0;            // over all correspondences
};

// The zooms of a pair's left and right pictures.
struct PairZooms {
  double Left = 1.0, Right = 1.0;
};

// Fits the camera and orientations. Pictures that no pair links to picture
// 0 keep their start orientations.
CalibrationResult CalibrateJointly(const CalibrationProblem& problem, const CalibrationSettings& settings = {});

// The residuals of the correspondences under a camera and orientations.
PairResiduals MeasurePair(TPoint pictureSize, double focalLength, double aberration, const geom::Rotation& left,
                          const geom::Rotation& right, const CalibrationPair& pair, PairZooms zooms = {});

// The residuals of one pair under its own best rotation for the camera (its
// floor), fitted robustly; `rotation` receives it (right -> left own
// directions) when given.
PairResiduals PairFloor(TPoint pictureSize, double focalLength, double aberration, const CalibrationPair& pair,
                        geom::Rotation* rotation = nullptr, PairZooms zooms = {});

namespace detail {
// One correspondence's four residuals (pixels of the left picture, then of
// the right one) and their derivatives by the fit's parameter blocks: each
// picture's turn from its start orientation (angle and axis), the camera
// (focal length as a share of the start, aberration) and each picture's
// zoom, row-major 4 x 3, 4 x 3, 4 x 2, 4 x 1 and 4 x 1. As the fit computes
// them, or with `automatic` by automatic differentiation, to compare.
struct CorrespondenceDerivatives {
  double Residuals[4];
  double LeftTurn[12], RightTurn[12], Camera[8], LeftZoom[4], RightZoom[4];
};
CorrespondenceDerivatives EvaluateCorrespondence(TPoint pictureSize, double focalLength, const geom::Rotation& leftStart,
                                                 const geom::Rotation& rightStart, TRealPoint left, TRealPoint right,
                                                 const double leftTurn[3], const double rightTurn[3],
                                                 const double camera[2], double leftZoom, double rightZoom,
                                                 bool automatic);
}  // namespace detail

}  // namespace vistarium::refine
