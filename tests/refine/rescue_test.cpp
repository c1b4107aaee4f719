// The feature rescue on picture pairs rendered with known camera rotations,
// and the robust rotation fit it rests on.
#include "refine/rescue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

#include "geom/numbers.h"
#include "sample_geometry.h"
#include "sample_scene.h"
#include "sample_set.h"

namespace vistarium::refine {
namespace {

namespace fs = std::filesystem;

geom::Rotation ToRotation(const samples::Matrix3& m) {
  return {m.M[0][0], m.M[0][1], m.M[0][2], m.M[1][0], m.M[1][1], m.M[1][2], m.M[2][0], m.M[2][1], m.M[2][2]};
}

// right = Mr^T * Ml * left for pictures oriented Ml and Mr in the world.
geom::Rotation TrueRotation(const samples::Rotation& left, const samples::Rotation& right) {
  return geom::Multiplied(geom::Transposed(ToRotation(samples::RotationMatrix(right))),
                          ToRotation(samples::RotationMatrix(left)));
}

// Exposure factor and sensor noise (grey levels), per channel.
void Degrade(DeviceBitmap& p, double gain, double noise, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> n(0.0, noise);
  for (PackedColor& c : p.Pixels) {
    PackedColor out = 0;
    for (int s : {0, 8, 16})
      out |= static_cast<PackedColor>(std::clamp(Round(((c >> s) & 0xFF) * gain + n(gen)), 0, 255)) << s;
    c = out;
  }
}

// A scene made of one of the bundled sample pictures, spread over 100
// degrees of longitude.
const samples::Scene& TestScene() {
  static const samples::Scene scene = samples::Scene::Load(
      (fs::path(VISTARIUM_SOURCE_DIR) / "samples" / "open4" / "open4_02.jpg").string(), 1, 100.0, false);
  return scene;
}

struct Pair {
  DeviceBitmap Left, Right;
  TProjectionParameters Projection;
  geom::Rotation Truth;
  samples::SetGeometry Geometry;
};

Pair Render(const samples::SampleCamera& camera, const samples::Rotation& left, const samples::Rotation& right) {
  samples::SetGeometry geometry(camera, {left, right});
  Pair p{samples::RenderPicture(TestScene(), geometry, 0), samples::RenderPicture(TestScene(), geometry, 1), {},
         TrueRotation(left, right), geometry};
  geom::SetCameraProjection(p.Projection, camera.Size, camera.FocalLength, camera.Aberration);
  return p;
}

struct Case {
  const char* Name;
  samples::SampleCamera Camera;
  double Overlap;
  samples::Rotation Left, Right;  // yaw is set from the overlap
  double Gain, Noise;
  int WorkingSide;
};

class RescueFindsTheRotation : public ::testing::TestWithParam<Case> {};

// The rotation lies within a pixel of the truth, and every inlier pair shows
// one scene point (so positions are mapped back to full-size pixels right).
TEST_P(RescueFindsTheRotation, WithinAPixelOfTheTruth) {
  const Case& c = GetParam();
  const double step = samples::YawStepForOverlap(c.Camera, c.Overlap);
  samples::Rotation l = c.Left, r = c.Right;
  l.Yaw = -step / 2;
  r.Yaw = step / 2;
  Pair p = Render(c.Camera, l, r);
  Degrade(p.Right, c.Gain, c.Noise, 7);
  Degrade(p.Left, 1.0, c.Noise, 8);
  RescueOptions options;
  options.MaxWorkingSide = c.WorkingSide;
  const FeatureRotation f = EstimateRotationByFeatures(p.Left, p.Right, p.Projection, options);
  ASSERT_TRUE(f.Confident) << f.Reason;
  EXPECT_TRUE(f.Reason.empty());
  EXPECT_LT(geom::RotationDistance(f.Rotation, p.Truth) * p.Projection.FocalPixels, 1.0);
  EXPECT_NEAR(f.YawDegrees, step, 0.5);
  EXPECT_GE(f.Inliers, 20);
  EXPECT_EQ(f.InlierPairs.size(), static_cast<std::size_t>(f.Inliers));
  EXPECT_LT(f.RmsPixels, 1.5);
  // Nearly all lie within a reduced-picture pixel and a half of the truth;
  // the fit's final, wider tolerance lets a few near misses in.
  const double scale = std::max(1.0, static_cast<double>(std::max(c.Camera.Size.X, c.Camera.Size.Y)) / c.WorkingSide);
  int close = 0;
  for (const auto& [a, b] : f.InlierPairs) {
    const auto truth = p.Geometry.Correspond(0, a, 1);
    ASSERT_TRUE(truth) << a.X << ", " << a.Y;
    const double off = std::hypot(truth->X - b.X, truth->Y - b.Y);
    close += off < 1.5 * scale;
    EXPECT_LT(off, 3.0 * 2.5 * scale) << a.X << ", " << a.Y;
  }
  EXPECT_GE(close, 0.9 * f.Inliers);

  // Searched on the facing 60 % of each picture only, as a run's rescue
  // does: as close to the truth, with every inlier inside those parts.
  const auto grey = [](const DeviceBitmap& b) {
    std::vector<std::uint8_t> g;
    for (PackedColor px : b.Pixels) g.push_back(static_cast<std::uint8_t>(((px & 0xFF) + ((px >> 8) & 0xFF) + ((px >> 16) & 0xFF)) / 3));
    return g;
  };
  const std::vector<std::uint8_t> lg = grey(p.Left), rg = grey(p.Right);
  options.FacingShare = 0.6;
  FeatureStore store(options);
  const FeatureRotation facing = store.Estimate(0, GreyView{p.Left.Width, p.Left.Height, lg.data()}, 1,
                                                GreyView{p.Right.Width, p.Right.Height, rg.data()}, p.Projection);
  ASSERT_TRUE(facing.Confident) << facing.Reason;
  EXPECT_LT(geom::RotationDistance(facing.Rotation, p.Truth) * p.Projection.FocalPixels, 1.0);
  EXPECT_TRUE(store.Holds(0, FeatureStore::Part::RightPart) && store.Holds(1, FeatureStore::Part::LeftPart));
  EXPECT_FALSE(store.Holds(0) || store.Holds(1));
  for (const auto& [a, b] : facing.InlierPairs) {
    EXPECT_GE(a.X, 0.4 * p.Left.Width - 1.0);
    EXPECT_LE(b.X, 0.6 * p.Right.Width + 1.0);
  }

  // First on smaller pictures, as a run's rescue searches: the larger ones
  // only when those leave the rotation in doubt (40 pixels show nothing).
  const int longer = std::max(p.Left.Width, p.Left.Height);
  for (const int first : {Round(0.6 * std::min(longer, c.WorkingSide)), 40}) {
    RescueOptions tiered = options;
    tiered.FirstWorkingSide = first;
    FeatureStore twice(tiered);
    const FeatureRotation f = twice.Estimate(0, GreyView{p.Left.Width, p.Left.Height, lg.data()}, 1,
                                             GreyView{p.Right.Width, p.Right.Height, rg.data()}, p.Projection);
    ASSERT_TRUE(f.Confident) << first << ": " << f.Reason;
    EXPECT_LT(geom::RotationDistance(f.Rotation, p.Truth) * p.Projection.FocalPixels, 2.0) << first;
    EXPECT_EQ(twice.Holds(0, FeatureStore::Part::RightPart), first == 40) << first;
  }
}

INSTANTIATE_TEST_SUITE_P(
    RenderedPairs, RescueFindsTheRotation,
    ::testing::Values(Case{"level", {{800, 600}, 35.0, 0.0}, 0.3, {0, 0.4, -0.3}, {0, -0.6, 0.5}, 1.0, 0.0, 1000},
                      Case{"handheld", {{800, 600}, 35.0, 0.0}, 0.55, {0, 4.0, -3.0}, {0, -1.5, 3.5}, 1.35, 4.0, 1000},
                      Case{"aberration", {{600, 800}, 28.0, -0.02}, 0.35, {0, 1.0, 0.8}, {0, -0.5, -1.2}, 0.8, 2.0, 1000},
                      Case{"reduced", {{1000, 750}, 35.0, 0.0}, 0.4, {0, 2.0, 1.0}, {0, 0.0, -1.0}, 1.0, 2.0, 500}),
    [](const auto& info) { return std::string(info.param.Name); });

// Pairs that share nothing, or in the wrong order, are never confident, and
// the reason says why.
TEST(Rescue, RefusesPairsItCannotPlace) {
  const samples::SampleCamera camera{{800, 600}, 35.0, 0.0};
  const double step = samples::YawStepForOverlap(camera, 0.35);
  {
    const Pair p = Render(camera, {-40, 0, 0}, {40, 0, 0});  // 26 degrees apart at their edges
    const FeatureRotation f = EstimateRotationByFeatures(p.Left, p.Right, p.Projection);
    EXPECT_FALSE(f.Confident);
    EXPECT_EQ(f.Reason.rfind("no match found", 0), 0u) << f.Reason;
  }
  {
    Pair p = Render(camera, {-step / 2, 0, 0}, {step / 2, 0, 0});
    std::fill(p.Right.Pixels.begin(), p.Right.Pixels.end(), samples::kSceneGrey);
    const FeatureRotation blank = EstimateRotationByFeatures(p.Left, p.Right, p.Projection);
    EXPECT_FALSE(blank.Confident);
    EXPECT_EQ(blank.Reason.rfind("no match found", 0), 0u) << blank.Reason;
    Degrade(p.Right, 1.0, 60.0, 3);
    const FeatureRotation noise = EstimateRotationByFeatures(p.Left, p.Right, p.Projection);
    EXPECT_FALSE(noise.Confident);
    EXPECT_EQ(noise.Reason.rfind("no match found", 0), 0u) << noise.Reason;
  }
  {
    // Given in the wrong order, the pair is found but placed to the left.
    const Pair p = Render(camera, {-step / 2, 0, 0}, {step / 2, 0, 0});
    const FeatureRotation f = EstimateRotationByFeatures(p.Right, p.Left, p.Projection);
    EXPECT_FALSE(f.Confident);
    EXPECT_GE(f.Inliers, 20);
    EXPECT_NEAR(f.YawDegrees, -step, 0.5);
    EXPECT_NE(f.Reason.find("to the left"), std::string::npos) << f.Reason;
  }
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, camera.Size, camera.FocalLength, 0.0);
  EXPECT_THROW(EstimateRotationByFeatures(DeviceBitmap(10, 10), DeviceBitmap(10, 10), pp), std::invalid_argument);
}

// Matches that all lie in one small spot fix the turn about that spot too
// poorly to be trusted.
TEST(Rescue, RefusesMatchesCrowdedIntoOneSpot) {
  DeviceBitmap photo(1000, 750);
  std::fill(photo.Pixels.begin(), photo.Pixels.end(), samples::kSceneGrey);
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> level(0, 255);
  for (int y = 345; y < 405; y += 2)  // a 60 x 60 patch of 2 x 2 random blocks at the centre
    for (int x = 470; x < 530; x += 2) {
      const PackedColor c = level(gen) * 0x010101;
      for (int d : {0, 1, 1000, 1001}) photo.Pixels[static_cast<std::size_t>(y * 1000 + x + d)] = c;
    }
  const samples::Scene scene(photo, 100.0, false);
  const samples::SampleCamera camera{{800, 600}, 35.0, 0.0};
  const double step = samples::YawStepForOverlap(camera, 0.4);
  const samples::SetGeometry geometry(camera, {{-step / 2, 0, 0}, {step / 2, 0, 0}});
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, camera.Size, camera.FocalLength, 0.0);
  const FeatureRotation f = EstimateRotationByFeatures(samples::RenderPicture(scene, geometry, 0),
                                                       samples::RenderPicture(scene, geometry, 1), pp);
  EXPECT_FALSE(f.Confident);
  EXPECT_GE(f.Inliers, 20);
  EXPECT_LT(f.Spread, 0.04);
  EXPECT_NE(f.Reason.find("one small spot"), std::string::npos) << f.Reason;
}

// The consensus fit returns exactly the pairs that agree, and their rotation.
TEST(Rescue, ConsensusFitIgnoresOutliersAndFitsTheMajority) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  const geom::Rotation truth = TrueRotation({-10, 2, 1}, {12, -1, -3});
  std::vector<geom::Ray> a, b;
  std::vector<int> clean;
  for (int k = 0; k < 200; ++k) {
    geom::Ray v{u(gen), u(gen), 1.0};
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + 1.0);
    for (double& x : v) x /= n;
    geom::Ray w = geom::Rotate(truth, v);
    if (k % 5 < 2) {  // 40 % wrong matches: some other direction
      geom::Ray o{u(gen), u(gen), 1.0};
      const double m = std::sqrt(o[0] * o[0] + o[1] * o[1] + 1.0);
      for (double& x : o) x /= m;
      w = geom::Rotate(truth, o);
    } else {
      clean.push_back(k);
    }
    a.push_back(v);
    b.push_back(w);
  }
  const RayConsensus c = FitRotationToRays(a, b, 1e-3, 1000);
  EXPECT_EQ(c.Inliers, clean);
  EXPECT_LT(geom::RotationDistance(c.Rotation, truth), 1e-6);
  EXPECT_TRUE(FitRotationToRays({a[0]}, {b[0]}, 1e-3, 1000).Inliers.empty());
  // Right rays of the clean pairs pushed sideways by up to twice the
  // tolerance, growing towards one side (a lens the model does not know):
  // the tolerance alone keeps part of them, widened it keeps all and only them.
  for (int k : clean) {
    auto& w = b[static_cast<std::size_t>(k)];
    w[0] += 2e-3 * std::max(0.0, a[static_cast<std::size_t>(k)][0] / 0.45);
    const double n = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (double& x : w) x /= n;
  }
  EXPECT_LT(FitRotationToRays(a, b, 1e-3, 1000).Inliers.size(), clean.size());
  const RayConsensus wide = FitRotationToRays(a, b, 1e-3, 1000, 3.0);
  EXPECT_EQ(wide.Inliers, clean);
  EXPECT_LT(geom::RotationDistance(wide.Rotation, truth), 1e-3);
}

}  // namespace
}  // namespace vistarium::refine
