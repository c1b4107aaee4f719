// The camera and orientations fitted to all connections together: on exact
// correspondences of a known camera, on a full circle of rendered pictures
// in which one connection was made wrong, and on a set with one picture
// taken at another zoom.
#include "refine/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "app/calibration_report.h"
#include "app/picture_camera.h"
#include "app/pipeline.h"
#include "matching/all_pairs.h"
#include "matching/preparation.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "../support/scratch_folder.h"
#include "refine/focal_estimate.h"
#include "refine/grey_store.h"
#include "refine/refinement.h"
#include "refine/set_calibration.h"
#include "sample_exif.h"
#include "sample_geometry.h"
#include "sample_set.h"

namespace vistarium::refine {
namespace {

namespace fs = std::filesystem;
const fs::path kSource = VISTARIUM_SOURCE_DIR;

geom::Rotation ToRotation(const samples::Matrix3& m) {
  return {m.M[0][0], m.M[0][1], m.M[0][2], m.M[1][0], m.M[1][1], m.M[1][2], m.M[2][0], m.M[2][1], m.M[2][2]};
}

// Exact correspondences of adjacent pictures of a known set: a grid over
// each left picture, where the right picture shows the same scene point.
CalibrationProblem ProblemOf(const samples::SetGeometry& g, bool circle) {
  CalibrationProblem p;
  p.PictureSize = g.Camera().Size;
  for (int i = 0; i < g.Count(); ++i) p.Orientations.push_back(ToRotation(samples::RotationMatrix(g.PictureRotation(i))));
  for (int i = 0; i < g.Count(); ++i) {
    if (i == g.Count() - 1 && !circle) break;
    CalibrationPair pair;
    pair.Left = i;
    pair.Right = (i + 1) % g.Count();
    for (double x = 0.05; x < 1.0; x += 0.05)
      for (double y = 0.05; y < 1.0; y += 0.1) {
        const TRealPoint l{x * p.PictureSize.X, y * p.PictureSize.Y};
        if (const auto r = g.Correspond(i, l, pair.Right)) {
          pair.LeftPoints.push_back(l);
          pair.RightPoints.push_back(*r);
        }
      }
    p.Pairs.push_back(std::move(pair));
  }
  return p;
}

// A camera entry 10 % off and without the lens's aberration: the fit finds
// both, and every correspondence then meets its partner.
TEST(Calibration, RecoversTheFocalLengthAndAberrationOfExactCorrespondences) {
  const samples::SampleCamera camera{{1600, 1200}, 28.0, -0.03};
  const samples::SetGeometry g(camera, {{-40, -2, 1}, {-5, 1, -1}, {30, -1, 0.5}, {65, 2, -0.5}});
  CalibrationProblem problem = ProblemOf(g, false);
  problem.FocalLength = 30.8;
  problem.Aberration = 0.0;
  const CalibrationResult r = CalibrateJointly(problem);
  ASSERT_TRUE(r.Solved);
  EXPECT_FALSE(r.FocalKept);
  EXPECT_NEAR(r.FocalLength, 28.0, 0.01);
  EXPECT_NEAR(r.Aberration, -0.03, 0.001);
  EXPECT_LT(r.RmsPixels, 0.02);
  for (const PairResiduals& pair : r.Pairs) EXPECT_LT(pair.Percentile90, 0.03);
  // Held at the entry, the same correspondences leave pixels.
  CalibrationSettings fixed;
  fixed.FitFocal = fixed.FitAberration = false;
  EXPECT_GT(CalibrateJointly(problem, fixed).RmsPixels, 1.0);
}

// A start far too short: the data ask for two and a half times its focal
// length, more than the fit allows (twice), so the focal length stays
// within that range; from a start within it, the fit finds the truth.
TEST(Calibration, KeepsTheFocalLengthWithinItsRange) {
  const samples::SampleCamera camera{{1600, 1200}, 70.0, 0.0};
  const samples::SetGeometry g(camera, {{-12, -1, 0.5}, {0, 1, -0.5}, {12, 0, 0.5}});
  CalibrationProblem problem = ProblemOf(g, false);
  problem.FocalLength = 28.0;
  problem.Aberration = 0.0;
  CalibrationSettings focalOnly;
  focalOnly.FitAberration = false;
  const CalibrationResult far = CalibrateJointly(problem, focalOnly);
  ASSERT_TRUE(far.Solved);
  EXPECT_GE(far.FocalLength, 14.0);
  EXPECT_LE(far.FocalLength, 56.0 + 1e-9);
  problem.FocalLength = 50.0;
  EXPECT_NEAR(CalibrateJointly(problem, focalOnly).FocalLength, 70.0, 0.01);
}

// The derivatives the fit works with, written out, against automatic
// differentiation of the same residuals: at turns large and small (the
// exact zero too), over the picture, with lens bending either way and
// pictures at zooms of their own.
TEST(Calibration, WrittenOutDerivativesAgreeWithAutomaticDifferentiation) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const geom::Rotation leftStart = geom::kIdentityRotation;
  const double yaw = 0.6;
  const geom::Rotation rightStart{std::cos(yaw), 0, std::sin(yaw), 0, 1, 0, -std::sin(yaw), 0, std::cos(yaw)};
  double worst = 0.0;
  for (int trial = 0; trial < 200; ++trial) {
    const double size = trial % 3 == 0 ? 0.0 : (trial % 3 == 1 ? 1e-9 : 0.05);
    const double lt[3] = {size * unit(random), size * unit(random), size * unit(random)};
    const double rt[3] = {size * unit(random), size * unit(random), size * unit(random)};
    const double camera[2] = {1.0 + 0.1 * unit(random), 0.05 * unit(random)};
    const TRealPoint left{2000.0 + 1900.0 * std::fabs(unit(random)), 1500.0 + 1400.0 * unit(random)};
    const TRealPoint right{100.0 + 1900.0 * std::fabs(unit(random)), 1500.0 + 1400.0 * unit(random)};
    const double lz = 1.0 + 0.1 * unit(random), rz = 1.0 + 0.1 * unit(random);
    const auto a = detail::EvaluateCorrespondence({4000, 3000}, 24.0, leftStart, rightStart, left, right, lt, rt,
                                                  camera, lz, rz, false);
    const auto b = detail::EvaluateCorrespondence({4000, 3000}, 24.0, leftStart, rightStart, left, right, lt, rt,
                                                  camera, lz, rz, true);
    // Against the block's largest entry: near a zero turn the automatic
    // derivative is that of the first-order rotation, off by the turn times
    // the point's distance (pixels) from the written-out one.
    const auto compare = [&](const double* x, const double* y, int n, const char* what) {
      double scale = 1.0;
      for (int i = 0; i < n; ++i) scale = std::max(scale, std::fabs(y[i]));
      for (int i = 0; i < n; ++i) {
        worst = std::max(worst, std::fabs(x[i] - y[i]) / scale);
        ASSERT_NEAR(x[i], y[i], 1e-8 * scale) << what << "[" << i << "], trial " << trial;
      }
    };
    compare(a.Residuals, b.Residuals, 4, "residual");
    compare(a.LeftTurn, b.LeftTurn, 12, "left turn");
    compare(a.RightTurn, b.RightTurn, 12, "right turn");
    compare(a.Camera, b.Camera, 8, "camera");
    compare(a.LeftZoom, b.LeftZoom, 4, "left zoom");
    compare(a.RightZoom, b.RightZoom, 4, "right zoom");
  }
  EXPECT_LT(worst, 1e-8);
}

// The third picture of a set taken at a 12 % longer focal length: its
// correspondences seen 12 % farther from the centre. The fit gives that
// picture its own focal length and the others the set's, and every
// correspondence meets its partner; a set taken at one zoom keeps one.
TEST(Calibration, GivesAPictureTakenAtAnotherZoomItsOwnFocalLength) {
  const samples::SampleCamera camera{{1600, 1200}, 28.0, 0.0};
  const samples::SetGeometry g(camera, {{-40, -2, 1}, {-5, 1, -1}, {30, -1, 0.5}, {65, 2, -0.5}});
  CalibrationSettings settings;
  settings.FitZoom = true;
  settings.FitAberration = false;
  CalibrationProblem one = ProblemOf(g, false);
  one.FocalLength = 29.0;
  const CalibrationResult same = CalibrateJointly(one, settings);
  ASSERT_TRUE(same.Solved);
  EXPECT_NEAR(same.FocalLength, 28.0, 0.01);
  EXPECT_EQ(same.Zooms, std::vector<double>(4, 1.0));

  constexpr double kZoom = 1.12;
  CalibrationProblem zoomed = one;
  for (CalibrationPair& pair : zoomed.Pairs) {
    CalibrationPair seen = pair;
    seen.LeftPoints.clear();
    seen.RightPoints.clear();
    for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k) {
      TRealPoint l = pair.LeftPoints[k], r = pair.RightPoints[k];
      TRealPoint& moved = pair.Left == 2 ? l : r;
      if (pair.Left == 2 || pair.Right == 2) moved = {800 + kZoom * (moved.X - 800), 600 + kZoom * (moved.Y - 600)};
      if (moved.X < 0 || moved.Y < 0 || moved.X > 1600 || moved.Y > 1200) continue;  // beyond the zoomed picture
      seen.LeftPoints.push_back(l);
      seen.RightPoints.push_back(r);
    }
    pair = seen;
  }
  const CalibrationResult r = CalibrateJointly(zoomed, settings);
  ASSERT_TRUE(r.Solved);
  EXPECT_NEAR(r.FocalLength, 28.0, 0.02);
  EXPECT_NEAR(r.Zooms[2], kZoom, 0.001);
  EXPECT_EQ(r.Zooms[0], 1.0);
  EXPECT_EQ(r.Zooms[1], 1.0);
  EXPECT_EQ(r.Zooms[3], 1.0);
  EXPECT_LT(r.RmsPixels, 0.02);
  // A zoom given to start from, a little off (as the focal length estimate
  // finds it on reduced pictures), is refined, not kept, though with
  // correspondences measured to a few tenths of a pixel the fit improves
  // on it only a little.
  CalibrationProblem started = zoomed;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> noise(-0.3, 0.3);
  for (CalibrationPair& pair : started.Pairs)
    for (TRealPoint& p : pair.RightPoints) p = {p.X + noise(random), p.Y + noise(random)};
  started.Zooms = {1.0, 1.0, 1.1206, 1.0};
  const CalibrationResult refined = CalibrateJointly(started, settings);
  ASSERT_TRUE(refined.Solved);
  EXPECT_NEAR(refined.Zooms[2], kZoom, 0.0002);
  EXPECT_NEAR(refined.FocalLength, 28.0, 0.02);
  // One focal length for all leaves pixels.
  settings.FitZoom = false;
  EXPECT_GT(CalibrateJointly(zoomed, settings).RmsPixels, 2.0);
}

// One pair turned by a degree, with correspondences in the middle of the
// pictures only, measured to a few tenths of a pixel as real ones are: they
// hardly fix the focal length, which keeps its start.
TEST(Calibration, KeepsTheFocalLengthThatTheDataCannotFix) {
  const samples::SampleCamera camera{{1600, 1200}, 28.0, 0.0};
  const samples::SetGeometry g(camera, {{0, 0, 0}, {1.0, 0, 0}});
  CalibrationProblem problem = ProblemOf(g, false);
  for (CalibrationPair& pair : problem.Pairs) {  // only the middle of the pictures
    CalibrationPair middle = pair;
    middle.LeftPoints.clear();
    middle.RightPoints.clear();
    std::mt19937 random(7u);
    std::normal_distribution<double> error(0.0, 0.3);
    for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k)
      if (std::hypot(pair.LeftPoints[k].X - 800, pair.LeftPoints[k].Y - 600) < 250) {
        middle.LeftPoints.push_back(pair.LeftPoints[k]);
        middle.RightPoints.push_back({pair.RightPoints[k].X + error(random), pair.RightPoints[k].Y + error(random)});
      }
    pair = middle;
  }
  problem.FocalLength = 33.0;
  CalibrationSettings settings;
  settings.FitAberration = false;
  const CalibrationResult r = CalibrateJointly(problem, settings);
  ASSERT_TRUE(r.Solved);
  EXPECT_TRUE(r.FocalKept);
  EXPECT_EQ(r.FocalLength, 33.0);
}

// Right picture's rays into the left one's frame, for pictures i and j of g.
geom::Rotation TrueRotation(const samples::SetGeometry& g, int i, int j) {
  return geom::Multiplied(geom::Transposed(ToRotation(samples::RotationMatrix(g.PictureRotation(i)))),
                          ToRotation(samples::RotationMatrix(g.PictureRotation(j))));
}

// The circle8 sample, with the delivered parameters and its own camera.
struct Circle8 {
  fs::path Folder = kSource / "samples" / "circle8";
  samples::SampleSet Truth = samples::LoadTruthFile((Folder / "truth.json").string());
  params::ParameterSets Sets =
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), Truth);

  // A run set up with the camera at `focalLength`, nothing matched yet.
  void SetUp(RunState& rs, double focalLength) const {
    params::ParameterSets sets = Sets;
    sets.Camera.FocalLength = focalLength;
    rs.Refine = true;
    matching::TakeRunSnapshot(rs, samples::RunPictures(Truth, Folder.string()), sets);
    matching::SetUpProjection(rs);
  }

  // The finding phase, every connection as its own refinement left it.
  RunState Found() const {
    RunState rs;
    rs.Refine = true;
    rs.Calibrate = false;
    matching::SilentProgressUi ui;
    app::RunFindingPhase(rs, ui, samples::RunPictures(Truth, Folder.string()), Sets);
    return rs;
  }
};

// Every connection of a circle lies where the truth puts it, to a fraction of a pixel.
void ExpectCircleWhereTheTruthPutsIt(const RunState& rs, const samples::SetGeometry& g) {
  for (int i = 0; i < g.Count(); ++i) {
    const int j = (i + 1) % g.Count();
    EXPECT_LT(geom::RotationDistance(rs.Geometry[static_cast<std::size_t>(i)].RightRefinement.Rotation,
                                     TrueRotation(g, i, j)) *
                  rs.Projection.FocalPixels,
              0.3)
        << "connection " << i + 1 << "-" << j + 1;
  }
}

// A full circle whose connection 3-4 agrees on a rotation of its own that is
// wrong by dozens of pixels. The circle then closes only by bending the
// camera, which makes every pair fit worse than under the starting camera:
// every connection is searched again by features, the others are
// confirmed, and the wrong one is found again and holds.
TEST(SetCalibration, AWrongConnectionOfACircleIsFoundAgain) {
  const Circle8 circle;
  const samples::SampleSet& truth = circle.Truth;
  const samples::SetGeometry g = truth.Geometry();
  RunState rs = circle.Found();
  const TProjectionParameters& pp = rs.Projection;

  // Connection 3-4 made wrong: its right points carried by its rotation
  // turned by 40 pixels at the focal length, so they agree among themselves.
  TConnectionRefinement& wrong = rs.Geometry[2].RightRefinement;
  ASSERT_TRUE(wrong.Fitted);
  const double a = 40.0 / pp.FocalPixels;
  const geom::Rotation turn{std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)};
  wrong.Rotation = geom::Multiplied(wrong.Rotation, turn);
  for (std::size_t k = 0; k < wrong.LeftPoints.size(); ++k) {
    const auto moved = geom::RayToPixel(pp, geom::Rotate(geom::Transposed(wrong.Rotation),
                                                         geom::PixelToRay(pp, wrong.LeftPoints[k])));
    ASSERT_TRUE(moved);
    wrong.RightPoints[k] = *moved;
  }

  CalibrateSet(rs);
  ASSERT_TRUE(rs.Calibration.Done);
  EXPECT_NEAR(rs.Calibration.FocalLength, truth.Camera.FocalLength, 0.003 * truth.Camera.FocalLength);
  const TConnectionRefinement& found = rs.Geometry[2].RightRefinement;
  EXPECT_TRUE(found.Refound);
  EXPECT_TRUE(found.Rescued);
  EXPECT_TRUE(found.Fitted);
  EXPECT_EQ(rs.Calibration.Refound, 1);
  ExpectCircleWhereTheTruthPutsIt(rs, g);
  for (int i = 0; i < g.Count(); ++i)
    if (i != 2) {
      EXPECT_FALSE(rs.Geometry[static_cast<std::size_t>(i)].RightRefinement.Rescued) << i;
    }
}

// Connections measured at a reduced size, as those of large pictures are
// until the camera is calibrated, end at full size: every one is measured
// there again from the calibrated orientations.
TEST(SetCalibration, ConnectionsMeasuredAtAReducedSizeEndAtFullSize) {
  const Circle8 circle;
  const samples::SetGeometry g = circle.Truth.Geometry();
  RunState rs = circle.Found();
  SetCalibrationSettings settings;
  settings.MeasuringSide = 200;
  RefinementSettings reduced;
  reduced.FinestLevel = MeasuringLevel(rs.Projection.PictureSize, settings.MeasuringSide);
  ASSERT_EQ(reduced.FinestLevel, 2);
  const auto error = [&](int i) {
    const int j = (i + 1) % g.Count();
    return geom::RotationDistance(rs.Geometry[static_cast<std::size_t>(i)].RightRefinement.Rotation,
                                  TrueRotation(g, i, j)) *
           rs.Projection.FocalPixels;
  };
  double before = 0.0;
  for (int i = 0; i < g.Count(); ++i) {
    const int j = (i + 1) % g.Count();
    TConnectionRefinement& r = rs.Geometry[static_cast<std::size_t>(i)].RightRefinement;
    const auto left = GreyPicturesOf(rs).Pyramid(rs, i), right = GreyPicturesOf(rs).Pyramid(rs, j);
    TConnectionRefinement measured = RefineRotation(CamerasOf(rs, i, j), *left, *right, r.Rotation, 4.0, reduced);
    ASSERT_TRUE(measured.Fitted) << i;
    measured.LeftSource = r.LeftSource;
    measured.RightSource = r.RightSource;
    r = std::move(measured);
    before = std::max(before, error(i));
  }
  CalibrateSet(rs, settings);
  ASSERT_TRUE(rs.Calibration.Done);
  double after = 0.0;
  for (int i = 0; i < g.Count(); ++i) after = std::max(after, error(i));
  // At a quarter of the size the worst connection is half a pixel off.
  EXPECT_GT(before, 0.2);
  EXPECT_LT(after, 0.1);
  EXPECT_NEAR(rs.Calibration.FocalLength, circle.Truth.Camera.FocalLength, 0.003 * circle.Truth.Camera.FocalLength);
}

// A full circle turns once around at its true focal length only: from a
// camera 40 % or three times too long, or 60 % too short, the search finds
// the truth to within its steps; a camera that closes it already, and an
// open set, give nothing.
TEST(SetCalibration, FindsTheFocalLengthThatClosesACircle) {
  const Circle8 circle;
  RunState rs = circle.Found();
  const double f = circle.Truth.Camera.FocalLength;
  EXPECT_FALSE(ClosingFocalLength(rs));
  for (const double off : {1.4, 3.0, 0.4}) {
    rs.Parameters.Camera.FocalLength = off * f;
    const std::optional<double> closing = ClosingFocalLength(rs);
    ASSERT_TRUE(closing) << off;
    EXPECT_NEAR(*closing, f, 0.01 * f) << off;
  }
  rs.PictureSet.Is360 = false;
  EXPECT_FALSE(ClosingFocalLength(rs));
}

// A full circle matched under an estimate 50 % too long: matched again from
// the focal length that closes it, it calibrates to the truth and every
// connection lies where the truth puts it.
TEST(SetCalibration, ACircleEstimatedFarOffIsMatchedAgainWhereItCloses) {
  const Circle8 circle;
  const double f = circle.Truth.Camera.FocalLength;
  RunState rs;
  matching::SilentProgressUi ui;
  circle.SetUp(rs, 1.5 * f);
  rs.Calibration.EstimatedFocalLength = 1.5 * f;  // as if the estimate had said so
  matching::EstimateFindingWork(rs);
  // As the finding phase does: the closing focal length from the
  // connections' three points, before any is measured.
  ASSERT_TRUE(app::ClosingSearchFollows(rs));
  matching::MatchAllPairs(rs, ui, nullptr, false);
  app::MatchAgainWhereTheCircleCloses(rs, ui);
  // Connections measured under a camera that far off close the circle
  // roughly; the calibration finishes it.
  EXPECT_NEAR(rs.Calibration.ClosingFocalLength, f, 0.1 * f);
  EXPECT_EQ(rs.Parameters.Camera.FocalLength, rs.Calibration.ClosingFocalLength);
  app::CalibrateCamera(rs);
  ASSERT_TRUE(rs.Calibration.Done);
  EXPECT_NEAR(rs.Calibration.FocalLength, f, 0.003 * f);
  EXPECT_EQ(rs.Calibration.EstimatedFocalLength, 1.5 * f);
  ExpectCircleWhereTheTruthPutsIt(rs, circle.Truth.Geometry());
}

// A full circle whose camera is given (as by EXIF) 30 % too long is matched
// again before the calibration, from where its connections close it (19 %
// short: pairs matched that far off are rough), and the calibration finds
// the truth from there; given 5 % long, where its three points close it
// nowhere, it is matched once and the calibration corrects the camera.
TEST(SetCalibration, ACircleGivenACameraFarOffIsMatchedAgainWhereItCloses) {
  const Circle8 circle;
  const double f = circle.Truth.Camera.FocalLength;
  for (const double off : {1.3, 1.05}) {
    params::ParameterSets sets = circle.Sets;
    sets.Camera.FocalLength = off * f;
    RunState rs;
    rs.Refine = true;
    matching::SilentProgressUi ui;
    app::RunFindingPhase(rs, ui, samples::RunPictures(circle.Truth, circle.Folder.string()), sets);
    ASSERT_TRUE(rs.Calibration.Done) << off;
    if (off > 1.1) {
      EXPECT_GT(rs.Calibration.ClosingFocalLength, 0.0);
      EXPECT_EQ(rs.Calibration.FirstFocalLength, off * f);
      const std::vector<std::string> lines = app::CalibrationLines(rs, app::CameraSource::Pictures);
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0].rfind("the circle does not close at the starting focal length, 36.40 mm, but at ", 0), 0u)
          << lines[0];
    } else {
      EXPECT_EQ(rs.Calibration.ClosingFocalLength, 0.0);
    }
    EXPECT_NEAR(rs.Calibration.FocalLength, f, 0.003 * f) << off;
    ExpectCircleWhereTheTruthPutsIt(rs, circle.Truth.Geometry());
  }
}

// Matches every pair of a set-up run and calibrates it with its camera held.
void MatchedAndCalibratedHeld(RunState& rs) {
  matching::SilentProgressUi ui;
  matching::EstimateFindingWork(rs);
  matching::MatchAllPairs(rs, ui);
  SetCalibrationSettings held;
  held.Fit.FitFocal = held.Fit.FitAberration = false;
  CalibrateSet(rs, held);
}

// A full circle that the calibration left open, its camera held at a focal
// length 30 % too long, is matched again where it closes and calibrated
// again. Connections that nothing confirms do not count (a set joined as a
// circle by mistake has such a closing pair), and a circle the calibration
// closed stays as it is.
TEST(SetCalibration, ACircleLeftOpenIsMatchedAgainWhereItCloses) {
  const Circle8 circle;
  const double f = circle.Truth.Camera.FocalLength;
  matching::SilentProgressUi ui;
  const auto leftOpen = [&](RunState& rs) {
    circle.SetUp(rs, 1.3 * f);
    MatchedAndCalibratedHeld(rs);
    ASSERT_TRUE(rs.Calibration.Done);
    double worst = 0.0;
    for (const PictureGeometry& g : rs.Geometry) worst = std::max(worst, g.RightRefinement.JointMedianPixels);
    ASSERT_GT(worst, 0.05 * rs.Projection.PictureSize.Y);
  };
  RunState rs;
  leftOpen(rs);
  app::MatchAgainWhereAnOpenCircleCloses(rs, ui);
  EXPECT_GT(rs.Calibration.ClosingFocalLength, 0.0);
  ASSERT_TRUE(rs.Calibration.Done);
  EXPECT_NEAR(rs.Calibration.FocalLength, f, 0.003 * f);
  ExpectCircleWhereTheTruthPutsIt(rs, circle.Truth.Geometry());

  RunState unconfirmed;
  leftOpen(unconfirmed);
  for (PictureGeometry& g : unconfirmed.Geometry) g.RightRefinement.Fitted = g.RightRefinement.Rescued = false;
  app::MatchAgainWhereAnOpenCircleCloses(unconfirmed, ui);
  EXPECT_EQ(unconfirmed.Calibration.ClosingFocalLength, 0.0);
  EXPECT_NEAR(unconfirmed.Calibration.FocalLength, 1.3 * f, 1e-9);

  RunState closed = circle.Found();
  CalibrateSet(closed);
  ASSERT_TRUE(closed.Calibration.Done);
  const double focal = closed.Calibration.FocalLength;
  app::MatchAgainWhereAnOpenCircleCloses(closed, ui);
  EXPECT_EQ(closed.Calibration.ClosingFocalLength, 0.0);
  EXPECT_EQ(closed.Calibration.FocalLength, focal);
}

// A circle matched again where it closes, whose closing pair the pictures
// then do not confirm (a set joined as a circle by mistake), is matched
// again from the focal length its first matching ran under, the estimate or
// the camera given, and kept where the pairs the pictures confirm fit
// better; a confirmed closing pair leaves it as it is.
TEST(SetCalibration, ACircleClosedOnAPairNothingConfirmsIsMatchedAgainFromWhereItStarted) {
  const Circle8 circle;
  const double f = circle.Truth.Camera.FocalLength;
  matching::SilentProgressUi ui;
  for (const bool estimated : {true, false}) {
    RunState rs;
    circle.SetUp(rs, 0.6 * f);
    if (estimated) rs.Calibration.EstimatedFocalLength = f;
    rs.Calibration.FirstFocalLength = f;
    rs.Calibration.ClosingFocalLength = 0.6 * f;  // as if the circle had closed there
    MatchedAndCalibratedHeld(rs);
    ASSERT_TRUE(rs.Calibration.Done);

    rs.Geometry.back().RightRefinement.Fitted = true;
    app::MatchAgainWhereNothingConfirmsTheClosing(rs, ui);
    EXPECT_EQ(rs.Calibration.ClosingFocalLength, 0.6 * f);

    rs.Geometry.back().RightRefinement.Fitted = rs.Geometry.back().RightRefinement.Rescued = false;
    app::MatchAgainWhereNothingConfirmsTheClosing(rs, ui);
    EXPECT_EQ(rs.Calibration.ClosingFocalLength, 0.0) << estimated;
    ASSERT_TRUE(rs.Calibration.Done);
    EXPECT_NEAR(rs.Calibration.FocalLength, f, 0.003 * f) << estimated;
    ExpectCircleWhereTheTruthPutsIt(rs, circle.Truth.Geometry());
  }
}

// The picture resampled (bilinear): output pixel (x, y) takes the colour at
// `from(x, y)` in p, clamped to its border.
template <typename From>
DeviceBitmap Resampled(const DeviceBitmap& p, From from) {
  DeviceBitmap out(p.Width, p.Height);
  for (int y = 0; y < p.Height; ++y)
    for (int x = 0; x < p.Width; ++x) {
      const TRealPoint s = from(x, y);
      const int x0 = static_cast<int>(std::floor(s.X)), y0 = static_cast<int>(std::floor(s.Y));
      const double fx = s.X - x0, fy = s.Y - y0;
      PackedColor c = 0;
      for (int channel = 0; channel < 3; ++channel) {
        const auto at = [&](int u, int v) {
          return (p.Pixel(std::clamp(u, 0, p.Width - 1), std::clamp(v, 0, p.Height - 1)) >> (8 * channel)) & 0xFF;
        };
        const double value = (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
                             fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
        c |= static_cast<PackedColor>(std::clamp(static_cast<int>(value + 0.5), 0, 255)) << (8 * channel);
      }
      out.SetPixel(x, y, c);
    }
  return out;
}

// The picture enlarged about its centre by `zoom`, as the camera zoomed in
// would have taken it.
DeviceBitmap Enlarged(const DeviceBitmap& p, double zoom) {
  const double cx = p.Width / 2.0, cy = p.Height / 2.0;
  return Resampled(p, [&](int x, int y) {
    return TRealPoint{cx + (x + 0.5 - cx) / zoom - 0.5, cy + (y + 0.5 - cy) / zoom - 0.5};
  });
}

// The picture that camera `straight` took, as camera `bent` (its lens
// bending otherwise) would have taken it.
DeviceBitmap Bent(const DeviceBitmap& p, const TProjectionParameters& straight, const TProjectionParameters& bent) {
  return Resampled(p, [&](int x, int y) {
    const std::optional<TRealPoint> s = geom::RayToPixel(straight, geom::PixelToRay(bent, {x + 0.5, y + 0.5}));
    return s ? TRealPoint{s->X - 0.5, s->Y - 0.5} : TRealPoint{-1.0, -1.0};
  });
}

// Four rendered pictures as a lens that bends much takes them, joined from a
// straight camera of the right focal length: the first measuring finds
// mostly the spots that one rotation under the straight camera puts right,
// which fix the focal length poorly and pull the fit toward a straight
// lens. Measured again under the fit until it settles, the connections find
// the lens; measured again once, they leave three times the residual.
class BentSet : public test_support::ScratchFolder {};

TEST_F(BentSet, ALensThatBendsMuchIsFoundByMeasuringUnderTheCameraBent) {
  const fs::path source = kSource / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((source / "truth.json").string());
  const TPictureSetData pictures = samples::RunPictures(truth, PathOf(""));
  // Cropped to 85 % of the width about the centre, so that the overlaps are
  // narrow (a fifth of a picture), and bent by 0.3.
  constexpr double kBending = 0.3;
  constexpr int width = 870;
  TProjectionParameters straight, bent;
  double f = 0;
  for (std::size_t i = 0; i < truth.Pictures.size(); ++i) {
    const DeviceBitmap full = render::LoadPictureFile((source / truth.Pictures[i].File).string());
    const int height = width * full.Height / full.Width, x0 = (full.Width - width) / 2, y0 = (full.Height - height) / 2;
    DeviceBitmap p(width, height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) p.SetPixel(x, y, full.Pixel(x0 + x, y0 + y));
    f = truth.Camera.FocalLength * full.Width / width;
    geom::SetCameraProjection(straight, {p.Width, p.Height}, f, 0.0);
    geom::SetCameraProjection(bent, {p.Width, p.Height}, f, kBending);
    bent.ExactAberrationInverse = true;
    render::WriteFileAtomically(pictures.FileNames[i], render::EncodeJpeg(Bent(p, straight, bent), 95, {}));
  }
  params::ParameterSets sets =
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth);
  sets.Camera.FocalLength = f;
  RunState rs;
  rs.Refine = true;
  rs.Calibrate = false;
  matching::SilentProgressUi ui;
  app::RunFindingPhase(rs, ui, pictures, sets);
  RunState once = rs;
  SetCalibrationSettings plain;
  plain.TrialAberration = 0.0;
  plain.MeasuringRounds = 1;
  CalibrateSet(once, plain);
  CalibrateSet(rs);
  ASSERT_TRUE(rs.Calibration.Done);
  EXPECT_NEAR(rs.Calibration.FocalLength, f, 0.003 * f);
  EXPECT_NEAR(rs.Calibration.Aberration, kBending, 0.003);
  EXPECT_LT(rs.Calibration.RmsPixels, 0.2);
  const samples::SetGeometry g = truth.Geometry();
  for (int i = 0; i + 1 < g.Count(); ++i)
    EXPECT_LT(geom::RotationDistance(rs.Geometry[static_cast<std::size_t>(i)].RightRefinement.Rotation,
                                     TrueRotation(g, i, i + 1)) *
                  rs.Projection.FocalPixels,
              1.0)
        << "connection " << i + 1 << "-" << i + 2;
  // Measured again once, the correspondences still keep the camera off.
  ASSERT_TRUE(once.Calibration.Done);
  EXPECT_GT(once.Calibration.RmsPixels, 2.0 * rs.Calibration.RmsPixels);
}

// The third of four rendered pictures enlarged by 12 % about its centre, as
// if zoomed in: that picture gets a focal length of its own, every
// connection is measured at full size, and each lies where the truth puts
// it; whether no picture says its focal length (the estimate finds the
// zoom) or each says its own in its EXIF.
class ZoomedSet : public test_support::ScratchFolder {
protected:
  static constexpr double kZoom = 1.12;

  // Writes the set into the scratch folder; with `exif`, each picture with
  // its own focal length.
  TPictureSetData Write(bool exif) {
    const TPictureSetData pictures = samples::RunPictures(truth_, PathOf(""));
    for (std::size_t i = 0; i < truth_.Pictures.size(); ++i) {
      DeviceBitmap p = render::LoadPictureFile((source_ / truth_.Pictures[i].File).string());
      samples::SampleCamera camera = truth_.Camera;
      if (i == 2) {
        p = Enlarged(p, kZoom);
        camera.FocalLength *= kZoom;
      }
      const std::vector<render::JpegSegment> segments{samples::ExifFor(camera)};
      render::WriteFileAtomically(pictures.FileNames[i],
                                  render::EncodeJpeg(p, 95, exif ? segments : std::vector<render::JpegSegment>{}));
    }
    return pictures;
  }

  void Join(const TPictureSetData& pictures, RunState& rs) {
    // The camera entry in force is 15 % off.
    params::ParameterSets sets =
        samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth_);
    sets.Camera.FocalLength = 0.85 * truth_.Camera.FocalLength;
    rs.Refine = true;
    std::string note;
    app::ChooseStartingCamera(rs, sets, pictures.FileNames, true, note);
    matching::SilentProgressUi ui;
    app::RunFindingPhase(rs, ui, pictures, sets);
  }

  void ExpectJoined(const RunState& rs) {
    const samples::SetGeometry g = truth_.Geometry();
    ASSERT_TRUE(rs.Calibration.Done);
    EXPECT_NEAR(rs.Calibration.FocalLength, truth_.Camera.FocalLength, 0.005 * truth_.Camera.FocalLength);
    for (int i = 0; i < g.Count(); ++i)
      EXPECT_NEAR(rs.Geometry[static_cast<std::size_t>(i)].Zoom, i == 2 ? kZoom : 1.0, 0.003) << "picture " << i + 1;
    for (int i = 0; i + 1 < g.Count(); ++i) {
      const TConnectionRefinement& r = rs.Geometry[static_cast<std::size_t>(i)].RightRefinement;
      EXPECT_EQ(Verdict(r), RefinedVerdict::Sound) << "connection " << i + 1 << "-" << i + 2;
      EXPECT_LT(geom::RotationDistance(r.Rotation, TrueRotation(g, i, i + 1)) * rs.Projection.FocalPixels, 0.3)
          << "connection " << i + 1 << "-" << i + 2;
    }
  }


  const fs::path source_ = kSource / "samples" / "open4";
  const samples::SampleSet truth_ = samples::LoadTruthFile((source_ / "truth.json").string());
};

TEST_F(ZoomedSet, IsJoinedWhenNoPictureSaysItsFocalLength) {
  RunState rs;
  Join(Write(false), rs);
  EXPECT_TRUE(rs.EstimateFocal);
  ExpectJoined(rs);
  // The estimate's features agreed on every pair's rotation, which the
  // refinement may start from.
  const samples::SetGeometry g = truth_.Geometry();
  for (int i = 0; i < 3; ++i) {
    const std::optional<geom::Rotation>& r = rs.Geometry[static_cast<std::size_t>(i)].EstimatedRightRotation;
    ASSERT_TRUE(r) << "connection " << i + 1 << "-" << i + 2;
    EXPECT_LT(geom::RotationDistance(*r, TrueRotation(g, i, i + 1)) * rs.Projection.FocalPixels, 4.0);
  }
}

TEST_F(ZoomedSet, IsJoinedFromTheFocalLengthsThePicturesSay) {
  RunState rs;
  Join(Write(true), rs);
  EXPECT_FALSE(rs.EstimateFocal);
  ASSERT_EQ(rs.StartZooms.size(), 4u);
  EXPECT_NEAR(rs.StartZooms[2], kZoom, 0.01);
  ExpectJoined(rs);
}

// The estimate searches larger copies only when the pairs agree on nothing
// on the smaller ones: copies too small to hold a feature leave it to the
// next side, whose estimate it then gives.
TEST(FocalEstimate, SearchesLargerCopiesOnlyWhenTheSmallerAgreeOnNothing) {
  const fs::path folder = kSource / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
  RunState rs;
  rs.Refine = true;
  matching::TakeRunSnapshot(
      rs, samples::RunPictures(truth, folder.string()),
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth));
  matching::SetUpProjection(rs);
  const auto estimate = [&rs](std::vector<int> sides) {
    FocalSearchSettings settings;
    settings.FeatureSides = std::move(sides);
    return EstimateFocalLength(rs, settings);
  };
  EXPECT_FALSE(estimate({24}));
  const std::optional<FocalEstimate> small = estimate({400}), tiered = estimate({24, 400}), large = estimate({400, 24});
  ASSERT_TRUE(small && tiered && large);
  EXPECT_NEAR(small->FocalLength, truth.Camera.FocalLength, 0.03 * truth.Camera.FocalLength);
  EXPECT_EQ(tiered->FocalLength, small->FocalLength);
  EXPECT_EQ(large->FocalLength, small->FocalLength);
  EXPECT_EQ(tiered->Inliers, small->Inliers);
}

// Matches like those of a row of three narrow pictures (75 mm), the first
// taken at another zoom than the others, where near things shift a tenth of
// the matches: the first pair agrees on no rotation of one focal length,
// and a little, on spurious matches, at far shorter and far longer ones,
// which must not outvote the second pair's agreement at the truth. The
// estimate finds the focal length and the first picture's zoom.
TEST(FocalEstimate, FindsTheFocalLengthWhereAPairAtAnotherZoomAgreesOnlyAtItsZoom) {
  const TPoint size{1333, 750};
  constexpr double kFocal = 75.0, kYaw = 0.2;
  TProjectionParameters camera;
  geom::SetCameraProjection(camera, size, kFocal, 0.0);
  const geom::Rotation turn{std::cos(kYaw), 0, -std::sin(kYaw), 0, 1, 0, std::sin(kYaw), 0, std::cos(kYaw)};
  for (const double zoom : {0.88, 0.85})
    for (const unsigned seed : {12u, 13u}) {
      std::mt19937 random(seed);
      std::uniform_real_distribution<double> unit(0.0, 1.0);
      std::normal_distribution<double> noise(0.0, 0.7);
      std::vector<MatchedPair> pairs;
      for (int i = 0; i < 2; ++i) {
        MatchedPair pair{i, i + 1, {}};
        const TProjectionParameters left = i == 0 ? geom::WithZoom(camera, zoom) : camera;
        while (pair.Pixels.size() < (i == 0 ? 200u : 300u)) {
          const TRealPoint l{unit(random) * size.X, unit(random) * size.Y};
          const std::optional<TRealPoint> r = geom::RayToPixel(camera, geom::Rotate(turn, geom::PixelToRay(left, l)));
          if (!r || r->X < 0 || r->Y < 0 || r->X >= size.X || r->Y >= size.Y) continue;
          const double near = unit(random) < 0.1 ? 40.0 * unit(random) : 0.0;
          pair.Pixels.push_back({{l.X + noise(random), l.Y + noise(random)},
                                 {r->X + near + noise(random), r->Y + noise(random)}});
        }
        pairs.push_back(std::move(pair));
      }
      const std::optional<FocalEstimate> e = EstimateFromMatches(size, 3, pairs, 3.3);
      ASSERT_TRUE(e) << "zoom " << zoom << ", draw " << seed;
      EXPECT_NEAR(e->FocalLength, kFocal, 0.05 * kFocal) << "zoom " << zoom << ", draw " << seed;
      ASSERT_EQ(e->Zooms.size(), 3u);
      EXPECT_NEAR(e->Zooms[0] / e->Zooms[1], zoom, 0.01) << "zoom " << zoom << ", draw " << seed;
    }
}

}  // namespace
}  // namespace vistarium::refine
