// The feature rescue on pairs rendered in memory with known camera rotations:
// per pair the time of the search (wall clock and processor time of all
// threads, ms), the feature matches, the inliers, their share and spread
// (RescueOptions), their residual, how far the found rotation is from the
// truth (angle times the focal length, in picture pixels), where it puts true
// scene points of the overlap in the right picture (rms and largest error,
// px), and whether the rescue is confident.
//
//   rescue_bench [--photos FOLDER] [--side N] [--repeat N] [--only TEXT]
//
// --side sets the longer side of the reduced pictures the features are found
// on; --only runs the pairs whose name contains TEXT.
//
// Pairs: each photo at 1600 x 1200 and 4000 x 3000 (35 mm), level with 30 %
// overlap; hand-held (tilt and roll of a few degrees, the right picture 35 %
// brighter, sensor noise) with 60 % overlap; a camera whose real lens has
// barrel distortion the search is not told about; a phone-sized pair tilted
// 8 degrees up with two thirds overlap; a focal length told 4 %
// too long (as from a camera entry on the diagonal convention); and two pairs that must
// not be confident: no overlap, and a picture against noise.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "geom/numbers.h"
#include "refine/rescue.h"
#include "sample_geometry.h"
#include "sample_scene.h"
#include "sample_set.h"
#include "measure.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

using namespace vistarium::bench;

struct PairCase {
  std::string Name;
  samples::SampleCamera Camera;
  samples::Rotation Left, Right;
  double Gain = 1.0;    // right picture's exposure factor
  double Noise = 0.0;   // standard deviation of added noise, grey levels, both pictures
  double TellAberration = 0.0;  // the aberration the search is told
  double TellFocalFactor = 1.0; // the focal length the search is told, as a share of the true one
  bool RightIsNoise = false;
};

DeviceBitmap Degrade(DeviceBitmap p, double gain, double noise, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> n(0.0, noise);
  for (PackedColor& c : p.Pixels) {
    PackedColor out = 0;
    for (int s : {0, 8, 16}) {
      double v = ((c >> s) & 0xFF) * gain + (noise > 0 ? n(gen) : 0.0);
      out |= static_cast<PackedColor>(std::clamp(Round(v), 0, 255)) << s;
    }
    c = out;
  }
  return p;
}

geom::Rotation ToRotation(const samples::Matrix3& m) {
  return {m.M[0][0], m.M[0][1], m.M[0][2], m.M[1][0], m.M[1][1], m.M[1][2], m.M[2][0], m.M[2][1], m.M[2][2]};
}

}  // namespace

int main(int argc, char** argv) try {
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  int repeat = 1;
  std::string only;
  refine::RescueOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--photos" && i + 1 < argc) photos = argv[++i];
    else if (a == "--side" && i + 1 < argc) options.MaxWorkingSide = std::stoi(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::stoi(argv[++i]));
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--contrast" && i + 1 < argc) options.ContrastThreshold = std::stod(argv[++i]);
    else if (a == "--widen" && i + 1 < argc) options.Widening = std::stod(argv[++i]);
    else if (a == "--features" && i + 1 < argc) options.MaxFeatures = std::stoi(argv[++i]);
    else throw std::invalid_argument("unknown option " + a);
  }
  const char* names[] = {"aitzgorri_by_Aitzol_Berasategi.jpg", "picosdeeuropa_by_Aitzol_Berasategi.jpg",
                         "sunset_by_Aitzol_Berasategi.jpg"};
  std::printf("%-42s %6s %6s %7s %7s %6s %6s %6s %7s %7s %7s  %s\n", "pair", "ms", "cpu ms", "matches", "inliers",
              "share", "spread", "rms", "rot err", "ovl rms", "ovl max", "confident / reason");
  for (const char* name : names) {
    const samples::Scene scene = samples::Scene::Load((photos / name).string(), 1, 110.0, false);
    const std::string stem = std::string(name).substr(0, std::string(name).find('_'));
    std::vector<PairCase> cases;
    for (TPoint size : {TPoint{1600, 1200}, TPoint{4000, 3000}}) {
      const samples::SampleCamera cam{size, 35.0, 0.0};
      const double step = samples::YawStepForOverlap(cam, 0.3);
      const std::string tag = stem + " " + std::to_string(size.X) + "x" + std::to_string(size.Y);
      cases.push_back({tag + " level 30%", cam, {-step / 2, 0.4, -0.3}, {step / 2, -0.6, 0.5}});
      const double wide = samples::YawStepForOverlap(cam, 0.6);
      cases.push_back({tag + " hand-held 60%", cam, {-wide / 2, 3.5, -2.5}, {wide / 2, -1.5, 3.0}, 1.35, 4.0});
      samples::SampleCamera barrel = cam;
      barrel.Aberration = -0.02;
      cases.push_back({tag + " barrel k=-0.02 untold", barrel, {-step / 2, 1.0, 0.8}, {step / 2, -0.5, -1.2}});
      cases.push_back({tag + " focal told 4% long", cam, {-step / 2, 0.5, 0.3}, {step / 2, -0.4, -0.6}, 1.0, 0.0,
                       0.0, 1.04});
      cases.push_back({tag + " no overlap", cam, {-40.0, 0.0, 0.0}, {40.0, 0.0, 0.0}});
      cases.push_back({tag + " against noise", cam, {-step / 2, 0.0, 0.0}, {step / 2, 0.0, 0.0}, 1.0, 0.0, 0.0, 1.0,
                       true});
    }
    {
      // Like a phone pair: small pictures, both tilted 8 degrees up, two
      // thirds overlap, a little roll, exposure and noise.
      const samples::SampleCamera phone{{751, 563}, 29.0, 0.0};
      const double yaw = samples::YawStepForOverlap(phone, 0.66);
      cases.push_back({stem + " 751x563 phone tilted 8 up 66%", phone, {-yaw / 2, 8.0, 1.0}, {yaw / 2, 8.6, -0.8},
                       0.8, 3.0});
    }
    for (const PairCase& c : cases) {
      if (c.Name.find(only) == std::string::npos) continue;
      const samples::SetGeometry geometry(c.Camera, {c.Left, c.Right});
      DeviceBitmap left = samples::RenderPicture(scene, geometry, 0);
      DeviceBitmap right = samples::RenderPicture(scene, geometry, 1);
      if (c.Noise > 0 || c.Gain != 1.0) {
        left = Degrade(std::move(left), 1.0, c.Noise, 1);
        right = Degrade(std::move(right), c.Gain, c.Noise, 2);
      }
      if (c.RightIsNoise) {
        std::fill(right.Pixels.begin(), right.Pixels.end(), samples::kSceneGrey);
        right = Degrade(std::move(right), 1.0, 60.0, 3);
      }
      TProjectionParameters pp;
      geom::SetCameraProjection(pp, c.Camera.Size, c.Camera.FocalLength * c.TellFocalFactor, c.TellAberration);
      // right = Mr^T * Ml * left
      const samples::Matrix3 ml = samples::RotationMatrix(c.Left), mr = samples::RotationMatrix(c.Right);
      const geom::Rotation truth = geom::Multiplied(geom::Transposed(ToRotation(mr)), ToRotation(ml));
      double best = 1e9, bestCpu = 1e9;
      refine::FeatureRotation f;
      for (int k = 0; k < repeat; ++k) {
        const auto t0 = Clock::now();
        const double c0 = ProcessorSeconds();
        f = refine::EstimateRotationByFeatures(left, right, pp, options);
        bestCpu = std::min(bestCpu, 1000.0 * (ProcessorSeconds() - c0));
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
      const double err = geom::RotationDistance(f.Rotation, truth) * pp.FocalPixels;
      // Where the found rotation puts scene points of the overlap in the right
      // picture, against where they truly are.
      double sum2 = 0.0, worst = 0.0;
      int points = 0;
      for (double x = 0.02; x < 1.0; x += 0.04)
        for (double y = 0.05; y < 1.0; y += 0.1) {
          const TRealPoint p{x * c.Camera.Size.X, y * c.Camera.Size.Y};
          const auto q = geometry.Correspond(0, p, 1);
          if (!q) continue;
          const auto m = geom::RayToPixel(pp, geom::Rotate(f.Rotation, geom::PixelToRay(pp, p)));
          const double d = m ? std::hypot(m->X - q->X, m->Y - q->Y) : 1e6;
          sum2 += d * d;
          worst = std::max(worst, d);
          ++points;
        }
      const double overlapRms = points ? std::sqrt(sum2 / points) : 0.0;
      std::printf("%-42s %6.0f %6.0f %7d %7d %5.0f%% %6.3f %6.2f %7.2f %7.2f %7.2f  %s\n", c.Name.c_str(), best, bestCpu,
                  f.Matches, f.Inliers, f.Matches ? 100.0 * f.Inliers / f.Matches : 0.0, f.Spread, f.RmsPixels, err,
                  overlapRms, worst, f.Confident ? "yes" : ("no: " + f.Reason).c_str());
      std::fflush(stdout);
    }
  }
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "rescue_bench: %s\n", e.what());
  return 1;
}
