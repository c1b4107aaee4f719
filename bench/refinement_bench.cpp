// Accuracy and time of whole runs, files to panorama, with and without the
// full-size refinement of connections, on picture sets with known geometry.
//
//   refinement_bench [--params FILE.spr] [SET_FOLDER...]
//
// Without folders it measures the bundled sample sets open4, circle8 and
// portrait5. Each folder needs a truth.json (camera, 360 flag, orientations).
// For every adjacent pair, scene points that both pictures show (a grid over
// the left picture) are carried into the panorama from each picture; their
// distance, as an angle times the focal length in pixels, is the alignment
// error in picture pixels. Printed per set and mode: the rms and largest
// error over all pairs, the worst pair's rms, how many connections were
// flagged and rescued, how many were more than 3 px off without a flag, and
// the time; for the refined runs also the refinement stage alone.

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "alignment/orientation.h"
#include "app/connection_check.h"
#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "params/parameter_file.h"
#include "refine/refinement.h"
#include "render/picture_file.h"
#include "run/run_state.h"
#include "sample_set.h"
#include "measure.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

struct Figures {
  double rms = 0, worstPairRms = 0, largest = 0, seconds = 0;
  double refineSeconds = 0, decodeSeconds = 0;  // the refinement stage alone, and its decoding
  double refineCpu = 0, decodeCpu = 0;          // the same in processor time (all threads)
  int flagged = 0, unflaggedOff = 0, pairs = 0, rescued = 0;
};

double Angle(const TProjectionParameters& pp, TRealPoint a, TRealPoint b) {
  auto dir = [&pp](TRealPoint p) {
    const double lon = p.X * pp.AngleStep, lat = p.Y * pp.AngleStep;
    return std::array<double, 3>{std::cos(lat) * std::sin(lon), std::sin(lat), std::cos(lat) * std::cos(lon)};
  };
  const auto u = dir(a), v = dir(b);
  const double cx = u[1] * v[2] - u[2] * v[1], cy = u[2] * v[0] - u[0] * v[2], cz = u[0] * v[1] - u[1] * v[0];
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), u[0] * v[0] + u[1] * v[1] + u[2] * v[2]);
}

Figures Run(const fs::path& folder, const params::ParameterSets& base, bool refine) {
  const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
  const TPictureSetData pictures = samples::RunPictures(truth, folder.string());
  const params::ParameterSets sets = samples::WithSetCamera(base, truth);

  const auto t0 = std::chrono::steady_clock::now();
  RunState rs;
  rs.Refine = refine;
  matching::SilentProgressUi ui;
  app::RunFindingPhase(rs, ui, pictures, sets);
  app::RunConstructionPhase(rs, ui);
  Bitmap32 shown;
  app::ShowPanorama(rs.Panorama, shown);
  const std::vector<std::uint8_t> jpeg = render::EncodeJpeg(shown);
  Figures f;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  const samples::SetGeometry geometry = truth.Geometry();
  const TProjectionParameters& pp = rs.Projection;
  const std::vector<ConnectionCheck> checks = CheckConnections(rs);
  double sum = 0;
  long count = 0;
  for (const ConnectionCheck& c : checks) {
    double pairSum = 0, pairLargest = 0;
    long pairCount = 0;
    for (int gy = 1; gy < 24; ++gy)
      for (int gx = 1; gx < 32; ++gx) {
        const TRealPoint p{pp.PictureSize.X * gx / 32.0, pp.PictureSize.Y * gy / 24.0};
        const auto q = geometry.Correspond(c.Left, p, c.Right);
        if (!q) continue;
        const double e = Angle(pp, alignment::PictureToPanorama(rs, c.Left, p),
                               alignment::PictureToPanorama(rs, c.Right, *q)) * pp.FocalPixels;
        pairSum += e * e;
        pairLargest = std::max(pairLargest, e);
        ++pairCount;
      }
    if (pairCount == 0) continue;
    sum += pairSum;
    count += pairCount;
    f.worstPairRms = std::max(f.worstPairRms, std::sqrt(pairSum / pairCount));
    f.largest = std::max(f.largest, pairLargest);
    ++f.pairs;
    const bool flagged = c.Problem != ConnectionProblem::None;
    f.flagged += flagged;
    f.rescued += c.Rescued;
    f.unflaggedOff += !flagged && pairLargest > 3.0;
  }
  f.rms = count ? std::sqrt(sum / count) : 0;

  if (refine) {
    // The stage alone, decoding each picture again, and that decoding.
    const auto r0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    refine::RefineConnections(rs);
    const auto r1 = std::chrono::steady_clock::now();
    const std::clock_t c1 = std::clock();
    for (const std::string& file : rs.PictureSet.FileNames) refine::BuildGreyPyramid(render::LoadPictureFile(file));
    const auto r2 = std::chrono::steady_clock::now();
    const std::clock_t c2 = std::clock();
    f.refineCpu = double(c1 - c0) / CLOCKS_PER_SEC;
    f.decodeCpu = double(c2 - c1) / CLOCKS_PER_SEC;
    f.refineSeconds = std::chrono::duration<double>(r1 - r0).count();
    f.decodeSeconds = std::chrono::duration<double>(r2 - r1).count();
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path params = fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr";
  std::vector<fs::path> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--params" && i + 1 < argc)
      params = argv[++i];
    else
      folders.emplace_back(a);
  }
  if (folders.empty())
    for (const char* name : {"open4", "circle8", "portrait5"})
      folders.push_back(fs::path(VISTARIUM_SOURCE_DIR) / "samples" / name);
  const params::ParameterSets base = params::LoadParameterFile(params);

  std::printf("alignment error in picture pixels against the truth (grid of scene points shared by each pair)\n");
  std::printf("%-12s %-8s %6s %9s %9s %9s %8s %8s %10s %8s %s\n", "set", "mode", "pairs", "rms px", "worst pair",
              "largest", "flagged", "rescued", "unflagged>3", "time s", "refinement alone: s (decoding s), processor s (decoding s)");
  for (const fs::path& folder : folders)
    for (const bool refine : {false, true}) {
      const Figures f = Run(folder, base, refine);
      std::printf("%-12s %-8s %6d %9.3f %9.3f %9.2f %8d %8d %10d %8.2f", folder.filename().c_str(),
                  refine ? "refined" : "exact", f.pairs, f.rms, f.worstPairRms, f.largest, f.flagged, f.rescued,
                  f.unflaggedOff, f.seconds);
      if (refine)
        std::printf("   %.2f (%.2f), %.2f (%.2f)", f.refineSeconds, f.decodeSeconds, f.refineCpu, f.decodeCpu);
      std::printf("\n");
      std::fflush(stdout);
    }
  std::printf("peak memory of the whole benchmark: %.0f MB\n", bench::PeakMegabytes());
  return 0;
}
