// Refinement of a connection on the full-size pictures of a rendered pair
// whose true rotation is known.
#include "refine/refinement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "alignment/orientation.h"
#include "app/pipeline.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "sample_set.h"

namespace vistarium::refine {
namespace {

namespace fs = std::filesystem;
const fs::path kSet = fs::path(VISTARIUM_SOURCE_DIR) / "samples" / "open4";

struct Pair {
  samples::SampleSet truth;
  TProjectionParameters pp;
  GreyPyramid left, right;
  geom::Rotation rotation;  // true right -> left directions
};

// The true rotation carrying picture `right`'s directions into picture
// `left`'s.
geom::Rotation TrueRightToLeft(const samples::SampleSet& truth, int left, int right) {
  const samples::Matrix3 l = samples::RotationMatrix(truth.Pictures[static_cast<std::size_t>(left)].Orientation);
  const samples::Matrix3 r = samples::RotationMatrix(truth.Pictures[static_cast<std::size_t>(right)].Orientation);
  geom::Rotation rotation{};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int k = 0; k < 3; ++k) rotation[static_cast<std::size_t>(3 * a + b)] += l.M[k][a] * r.M[k][b];
  return rotation;
}

const Pair& OpenPair() {
  static const Pair pair = [] {
    Pair p;
    p.truth = samples::LoadTruthFile((kSet / "truth.json").string());
    p.pp = p.truth.Geometry().Projection();
    p.left = BuildGreyPyramid(render::LoadPictureFile((kSet / p.truth.Pictures[1].File).string()));
    p.right = BuildGreyPyramid(render::LoadPictureFile((kSet / p.truth.Pictures[2].File).string()));
    p.rotation = TrueRightToLeft(p.truth, 1, 2);
    return p;
  }();
  return pair;
}

// The delivered parameters with the set's camera.
params::ParameterSets DeliveredParameters(const samples::SampleSet& truth) {
  return samples::WithSetCamera(
      params::LoadParameterFile(fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr"), truth);
}

// Turns a rotation by small angles (pixels at the focal length) about the
// vertical and the horizontal axis.
geom::Rotation Disturbed(const Pair& p, double yawPixels, double pitchPixels) {
  const double a = yawPixels / p.pp.FocalPixels, b = pitchPixels / p.pp.FocalPixels;
  const geom::Rotation yaw{std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)};
  const geom::Rotation pitch{1, 0, 0, 0, std::cos(b), -std::sin(b), 0, std::sin(b), std::cos(b)};
  return geom::Multiplied(p.rotation, geom::Multiplied(yaw, pitch));
}

TEST(Refinement, BringsACoarseConnectionToASmallFractionOfAPixel) {
  const Pair& p = OpenPair();
  const geom::Rotation start = Disturbed(p, 9.0, -6.0);  // about two working cells off
  const double startError = geom::RotationDistance(start, p.rotation) * p.pp.FocalPixels;
  ASSERT_GT(startError, 10.0);
  const TConnectionRefinement r = RefineRotation(p.pp, p.left, p.right, start, 24.0);
  ASSERT_TRUE(r.Fitted);
  EXPECT_EQ(Verdict(r), RefinedVerdict::Sound);
  EXPECT_GE(r.Inliers, 100);
  EXPECT_LE(r.Inliers, r.Candidates);
  EXPECT_LT(r.RmsPixels, 0.3);
  EXPECT_LT(geom::RotationDistance(r.Rotation, p.rotation) * p.pp.FocalPixels, 0.05);
  // The inliers are true correspondences, spread over the overlap.
  ASSERT_EQ(r.LeftPoints.size(), static_cast<std::size_t>(r.Inliers));
  const samples::SetGeometry geometry = p.truth.Geometry();
  double lowest = 1e9, highest = -1e9;
  for (std::size_t k = 0; k < r.LeftPoints.size(); ++k) {
    const auto q = geometry.Correspond(1, r.LeftPoints[k], 2);
    ASSERT_TRUE(q);
    EXPECT_LT(std::hypot(q->X - r.RightPoints[k].X, q->Y - r.RightPoints[k].Y), 1.0) << k;
    lowest = std::min(lowest, r.LeftPoints[k].Y);
    highest = std::max(highest, r.LeftPoints[k].Y);
  }
  EXPECT_GT(highest - lowest, 0.6 * p.pp.PictureSize.Y);
}

// Measuring that ends at a reduced level gives full-size positions, to
// that level's precision.
TEST(Refinement, AReducedFinestLevelGivesFullSizePositions) {
  const Pair& p = OpenPair();
  RefinementSettings settings;
  settings.FinestLevel = 1;
  const TConnectionRefinement r = RefineRotation(p.pp, p.left, p.right, Disturbed(p, 9.0, -6.0), 24.0, settings);
  ASSERT_TRUE(r.Fitted);
  EXPECT_GE(r.Inliers, 50);
  EXPECT_LT(geom::RotationDistance(r.Rotation, p.rotation) * p.pp.FocalPixels, 0.2);
  const samples::SetGeometry geometry = p.truth.Geometry();
  double squares = 0.0;
  for (std::size_t k = 0; k < r.LeftPoints.size(); ++k) {
    const auto q = geometry.Correspond(1, r.LeftPoints[k], 2);
    ASSERT_TRUE(q);
    squares += std::pow(q->X - r.RightPoints[k].X, 2) + std::pow(q->Y - r.RightPoints[k].Y, 2);
  }
  EXPECT_LT(std::sqrt(squares / static_cast<double>(r.LeftPoints.size())), 0.5);
}

TEST(Refinement, AConnectionFarOutsideTheAssumedErrorIsNotConfirmed) {
  const Pair& p = OpenPair();
  for (const auto& [yaw, pitch] : {std::pair{90.0, 0.0}, std::pair{-40.0, 70.0}}) {
    const TConnectionRefinement r = RefineRotation(p.pp, p.left, p.right, Disturbed(p, yaw, pitch), 24.0);
    EXPECT_EQ(Verdict(r), RefinedVerdict::NoMatch) << yaw << ", " << pitch << ": " << r.Inliers << " inliers, rms "
                                                   << r.RmsPixels;
  }
  // Pictures that do not overlap at all.
  const TConnectionRefinement none = RefineRotation(p.pp, p.left, p.right, geom::kIdentityRotation, 24.0);
  EXPECT_FALSE(none.Fitted);
}

TEST(Refinement, RotationFitsAreProperAndExactOnExactDirections) {
  const Pair& p = OpenPair();
  std::vector<geom::Ray> left, right;
  for (TRealPoint pixel : {TRealPoint{900, 100}, TRealPoint{1000, 700}, TRealPoint{800, 400}, TRealPoint{950, 300}}) {
    right.push_back(geom::PixelToRay(p.pp, pixel));
    left.push_back(geom::Rotate(p.rotation, right.back()));
  }
  EXPECT_LT(geom::RotationDistance(FitRotation(left, right), p.rotation), 1e-7);
  const std::array<TRealPoint, 3> rp{{{100, 200}, {120, 600}, {300, 380}}};
  std::array<TRealPoint, 3> lp;
  for (std::size_t k = 0; k < 3; ++k) lp[k] = *geom::RayToPixel(p.pp, geom::Rotate(p.rotation, geom::PixelToRay(p.pp, rp[k])));
  EXPECT_LT(geom::RotationDistance(RotationFromPoints(p.pp, lp, rp), p.rotation), 1e-7);
  EXPECT_THROW(FitRotation({}, {}), std::invalid_argument);
}

// The patch mapping's quadratic against the exact mapping, pixel by pixel,
// for patches spread over the overlap of a wide-angle 12 MP pair with
// strong lens bending, turned 40 degrees, tilted and rolled: at full size
// and on a reduced level, with zooms of their own.
TEST(Refinement, PatchMappingStaysWithinAThousandthOfAPixelOfTheExactMapping) {
  TProjectionParameters camera;
  geom::SetCameraProjection(camera, {4000, 3000}, 24.0, -0.03);
  camera.ExactAberrationInverse = true;
  const double yaw = 0.7, pitch = 0.08, roll = 0.05;
  const geom::Rotation turn{std::cos(yaw), 0, std::sin(yaw), 0, 1, 0, -std::sin(yaw), 0, std::cos(yaw)};
  const geom::Rotation tilt{1, 0, 0, 0, std::cos(pitch), -std::sin(pitch), 0, std::sin(pitch), std::cos(pitch)};
  const geom::Rotation spin{std::cos(roll), -std::sin(roll), 0, std::sin(roll), std::cos(roll), 0, 0, 0, 1};
  const geom::Rotation r = geom::Multiplied(turn, geom::Multiplied(tilt, spin));
  for (const PairCameras& cameras : {PairCameras{camera, camera}, PairCameras{camera, geom::WithZoom(camera, 1.15)}})
    for (const auto& [scale, half] : {std::pair{1.0, 10}, std::pair{4.0, 7}}) {
      double worst = 0.0;
      int patches = 0;
      for (double x = 40.0; x < 4000.0; x += 160.0)
        for (double y = 40.0; y < 3000.0; y += 160.0) {
          const TRealPoint centre{x / scale - 0.5, y / scale - 0.5};
          const auto map = PatchMapping::Of(cameras, r, centre, scale, half);
          if (!map) continue;
          bool inside = true;
          double own = 0.0;
          for (int v = -half; v <= half && inside; ++v)
            for (int u = -half; u <= half; ++u) {
              const TRealPoint right{(centre.X + u + 0.5) * scale, (centre.Y + v + 0.5) * scale};
              const auto left = geom::RayToPixel(cameras.Left, geom::Rotate(r, geom::PixelToRay(cameras.Right, right)));
              if (!left || left->X < 0 || left->Y < 0 || left->X > 4000 || left->Y > 3000) {
                inside = false;
                break;
              }
              const TRealPoint q = map->At(u, v);
              own = std::max(own, std::hypot(q.X - (left->X / scale - 0.5), q.Y - (left->Y / scale - 0.5)));
            }
          if (!inside) continue;
          ++patches;
          worst = std::max(worst, own);
        }
      EXPECT_GT(patches, 30) << scale;
      EXPECT_LT(worst, 1e-3) << "scale " << scale << ", zoom " << cameras.Right.FocalPixels / camera.FocalPixels;
    }
}


// Refining the connections of a finished run afterwards (as after a hand
// correction) gives exactly what refining during the matching gives; the
// construction then uses it, and only it.
TEST(Refinement, LaterRefinementOfARunEqualsRefinementDuringTheMatching) {
  const samples::SampleSet truth = samples::LoadTruthFile((kSet / "truth.json").string());
  const TPictureSetData pictures = samples::RunPictures(truth, kSet.string(), 3);
  const params::ParameterSets sets = DeliveredParameters(truth);
  matching::SilentProgressUi ui;
  RunState during, after;
  during.Refine = true;
  after.Refine = true;
  // Each connection as its own refinement left it, under the same camera.
  during.Calibrate = false;
  after.Calibrate = false;
  app::RunFindingPhase(during, ui, pictures, sets);
  app::RunFindingPhase(after, ui, pictures, sets);
  // The same points, their refinement forgotten.
  for (PictureGeometry& g : after.Geometry) g.RightRefinement = {};
  RefineConnections(after, 1);  // the second connection only
  EXPECT_FALSE(after.Geometry[0].RightRefinement.Measured);
  RefineConnections(after);
  for (std::size_t i = 0; i < 2; ++i) {
    const TConnectionRefinement& a = during.Geometry[i].RightRefinement;
    const TConnectionRefinement& b = after.Geometry[i].RightRefinement;
    ASSERT_TRUE(a.Fitted);
    EXPECT_EQ(a.Rotation, b.Rotation);
    EXPECT_EQ(a.Inliers, b.Inliers);
    EXPECT_EQ(a.LeftSource, during.Geometry[i].RightConnection.ImagePoints);
    EXPECT_EQ(b.RightSource, after.Geometry[i + 1].LeftConnection.ImagePoints);
    EXPECT_EQ(a.LeftPoints, b.LeftPoints);
  }
}

// Connection 0 of the run measured with the rescue off, with `estimate` as
// the rotation the focal length estimate's features agreed on.
const TConnectionRefinement& MeasuredFromEstimate(RunState& rs, const geom::Rotation& estimate) {
  rs.Geometry[0].EstimatedRightRotation = estimate;
  RefinementSettings noSearch;
  noSearch.Rescue = false;
  RefineConnections(rs, -1, noSearch);
  return rs.Geometry[0].RightRefinement;
}

// A connection whose searched points were put far off: the refinement
// cannot confirm it, the rescue finds the rotation and puts the searched
// points where they belong; so does a rotation that the focal length
// estimate's features agreed on, without any search of its own. Points
// corrected by hand are measured again before the construction but never
// rescued.
TEST(Rescue, AConnectionPlacedFarOffIsRescuedAndHandPlacedOnesAreOnlyMeasured) {
  const samples::SampleSet truth = samples::LoadTruthFile((kSet / "truth.json").string());
  const samples::SetGeometry geometry = truth.Geometry();
  const TPictureSetData pictures = samples::RunPictures(truth, kSet.string(), 2);
  const params::ParameterSets sets = DeliveredParameters(truth);
  matching::SilentProgressUi ui;
  RunState rs;
  app::RunFindingPhase(rs, ui, pictures, sets);
  const TProjectionParameters& pp = rs.Projection;
  TConnectionSide& left = rs.Geometry[0].RightConnection;
  const TConnectionSide& right = rs.Geometry[1].LeftConnection;
  for (std::size_t k = 0; k < 2; ++k) {  // the line's ends in the left picture, 150 px astray
    left.ImagePoints[k].X -= 150.0;
    left.AnglePoints[k] = geom::PictureToAngles(pp, left.ImagePoints[k]);
    left.WorkingPoints[k] = geom::ToWorkingScale(pp, left.AnglePoints[k]);
  }
  RunState byHand = rs, seeded = rs;

  // The estimate's rotation, 3 pixels off the truth, with the rescue off.
  const geom::Rotation trueRotation = TrueRightToLeft(truth, 0, 1);
  const double off = 3.0 / pp.FocalPixels;
  const TConnectionRefinement& fromEstimate = MeasuredFromEstimate(
      seeded,
      geom::Multiplied(trueRotation, geom::Rotation{std::cos(off), 0, std::sin(off), 0, 1, 0, -std::sin(off), 0, std::cos(off)}));
  EXPECT_TRUE(fromEstimate.Rescued);
  EXPECT_EQ(Verdict(fromEstimate), RefinedVerdict::Sound);
  EXPECT_LT(geom::RotationDistance(fromEstimate.Rotation, trueRotation) * pp.FocalPixels, 0.3);
  EXPECT_EQ(fromEstimate.LeftSource, seeded.Geometry[0].RightConnection.ImagePoints);
  EXPECT_NE(seeded.Geometry[0].RightConnection.ImagePoints, byHand.Geometry[0].RightConnection.ImagePoints);
  // Without it the connection stays unconfirmed.
  RunState unseeded = byHand;
  RefinementSettings noSearch;
  noSearch.Rescue = false;
  RefineConnections(unseeded, -1, noSearch);
  EXPECT_EQ(Verdict(unseeded.Geometry[0].RightRefinement), RefinedVerdict::NoMatch);

  RefineConnections(rs);
  const TConnectionRefinement& rescued = rs.Geometry[0].RightRefinement;
  EXPECT_TRUE(rescued.Rescued);
  EXPECT_EQ(Verdict(rescued), RefinedVerdict::Sound) << rescued.Inliers << " inliers, rms " << rescued.RmsPixels;
  for (std::size_t k = 0; k < 3; ++k) {
    const auto expected = geometry.Correspond(1, right.ImagePoints[k], 0);
    ASSERT_TRUE(expected.has_value());
    EXPECT_LT(std::hypot(expected->X - left.ImagePoints[k].X, expected->Y - left.ImagePoints[k].Y), 1.0) << k;
  }
  EXPECT_LT(alignment::RotationResidual(pp, right.AnglePoints, left.AnglePoints), 0.01);

  byHand.Refine = true;
  byHand.Geometry[0].EstimatedRightRotation = seeded.Geometry[0].EstimatedRightRotation;
  const auto placed = byHand.Geometry[0].RightConnection.ImagePoints;
  app::RunConstructionPhase(byHand, ui);
  const TConnectionRefinement& measured = byHand.Geometry[0].RightRefinement;
  EXPECT_TRUE(measured.Measured);
  EXPECT_FALSE(measured.Rescued);
  EXPECT_NE(Verdict(measured), RefinedVerdict::Sound);
  EXPECT_EQ(byHand.Geometry[0].RightConnection.ImagePoints, placed);
  EXPECT_EQ(measured.LeftSource, placed);
}

// The estimate's features see a pair whatever its order. Loaded the wrong
// way round, the pair's true rotation puts the right picture on the left:
// it seeds no connection, which stays without a fit (and is named, so that
// Join offers the order that fits), where the same rotation the right way
// round is taken.
TEST(Rescue, AnEstimatedRotationThatTurnsThePairRoundSeedsNoConnection) {
  const samples::SampleSet truth = samples::LoadTruthFile((kSet / "truth.json").string());
  TPictureSetData pictures = samples::RunPictures(truth, kSet.string(), 2);
  std::swap(pictures.FileNames[0], pictures.FileNames[1]);
  matching::SilentProgressUi ui;
  RunState rs;
  app::RunFindingPhase(rs, ui, pictures, DeliveredParameters(truth));
  const TConnectionRefinement& turned = MeasuredFromEstimate(rs, TrueRightToLeft(truth, 1, 0));
  EXPECT_FALSE(turned.Rescued);
  EXPECT_EQ(Verdict(turned), RefinedVerdict::NoMatch);
  // The pictures do overlap under that rotation: measured from it, they
  // confirm it.
  const TConnectionRefinement measured =
      RefineRotation(CamerasOf(rs, 0, 1), BuildGreyPyramid(render::LoadPictureFile(pictures.FileNames[0])),
                     BuildGreyPyramid(render::LoadPictureFile(pictures.FileNames[1])), TrueRightToLeft(truth, 1, 0),
                     10.0);
  EXPECT_EQ(Verdict(measured), RefinedVerdict::Sound);
}

}  // namespace
}  // namespace vistarium::refine
