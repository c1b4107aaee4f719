// Times the pair matching of picture sets: the plain sequential search and
// the fast one on the same working pictures, in one run, and checks that
// they find the same points.
//
//   matching_bench [--params FILE.spr] [--focal MM] [--aberration K] [--360] [SET_FOLDER...]
//
// Without folders it measures the bundled sample sets. Camera and parameters
// of a folder with a truth.json come from it (focal length, aberration, 360);
// the method and overlap parameters are the delivered ones.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run/run_state.h"
#include "matching/pair_matching.h"
#include "matching/preparation.h"
#include "run/progress.h"
#include "params/parameter_file.h"
#include "render/working_picture.h"
#include "measure.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

using namespace vistarium::bench;

struct SetSpec {
  fs::path folder;
  std::vector<std::string> files;
  double focal = 28, aberration = 0;
  bool is360 = false;
};

SetSpec ReadSet(const fs::path& folder, double focal, double aberration, bool is360) {
  SetSpec s{folder, {}, focal, aberration, is360};
  const fs::path truth = folder / "truth.json";
  if (fs::exists(truth)) {
    std::ifstream in(truth);
    const auto j = nlohmann::json::parse(in);
    s.focal = j.at("focalLength");
    s.aberration = j.at("aberration");
    s.is360 = j.at("is360");
    for (const auto& p : j.at("pictures")) s.files.push_back((folder / p.at("file").get<std::string>()).string());
  } else {
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string ext = e.path().extension().string();
      if (ext == ".jpg" || ext == ".JPG" || ext == ".jpeg" || ext == ".bmp") s.files.push_back(e.path().string());
    }
    std::sort(s.files.begin(), s.files.end());
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path params = fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr";
  double focal = 28, aberration = 0;
  bool is360 = false;
  std::vector<fs::path> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--params" && i + 1 < argc) params = argv[++i];
    else if (a == "--focal" && i + 1 < argc) focal = std::stod(argv[++i]);
    else if (a == "--aberration" && i + 1 < argc) aberration = std::stod(argv[++i]);
    else if (a == "--360") is360 = true;
    else folders.emplace_back(a);
  }
  if (folders.empty())
    for (const char* name : {"open4", "circle8", "portrait5"}) folders.push_back(fs::path(VISTARIUM_SOURCE_DIR) / "samples" / name);

  const params::ParameterSets base = params::LoadParameterFile(params);
  std::printf("%-12s %5s %10s %10s %8s %s\n", "set", "pairs", "ref s/pair", "fast s/pair", "ratio", "identical");
  double totalRef = 0, totalFast = 0;
  bool allSame = true;
  for (const fs::path& folder : folders) {
    const SetSpec set = ReadSet(folder, focal, aberration, is360);
    params::ParameterSets sets = base;
    sets.Camera.FocalLength = set.focal;
    sets.Camera.Aberration = set.aberration;
    RunState rs;
    TPictureSetData pics;
    pics.FileNames = set.files;
    pics.Is360 = set.is360;
    matching::TakeRunSnapshot(rs, pics, sets);
    matching::SetUpProjection(rs);
    matching::EstimateFindingWork(rs);
    matching::SilentProgressUi ui;
    DeviceBitmap source;
    std::vector<TColMatrix> working(set.files.size());
    for (std::size_t i = 0; i < set.files.size(); ++i)
      matching::PrepareWorkingPicture(rs, static_cast<int>(i), source, working[i]);
    const int pairs = rs.Progress.PairCount;
    double tRef = 0, tFast = 0;
    bool same = true;
    for (int i = 0; i < pairs; ++i) {
      const std::size_t j = (static_cast<std::size_t>(i) + 1) % set.files.size();
      rs.CurrentPairIndex = i;
      rs.UseReferenceSearch = true;
      auto t0 = std::chrono::steady_clock::now();
      const matching::PairMatch ref = matching::MatchPair(rs, ui, working[static_cast<std::size_t>(i)], working[j]);
      auto t1 = std::chrono::steady_clock::now();
      rs.UseReferenceSearch = false;
      const matching::PairMatch fast = matching::MatchPair(rs, ui, working[static_cast<std::size_t>(i)], working[j]);
      auto t2 = std::chrono::steady_clock::now();
      tRef += Seconds(t0, t1);
      tFast += Seconds(t1, t2);
      same = same && ref.Left == fast.Left && ref.Right == fast.Right;
    }
    totalRef += tRef;
    totalFast += tFast;
    allSame = allSame && same;
    std::printf("%-12s %5d %10.3f %10.3f %8.1f %s   (working %d x %d, n = %d)\n", folder.filename().c_str(), pairs,
                tRef / pairs, tFast / pairs, tRef / tFast, same ? "yes" : "NO", 2 * rs.Projection.WorkingHalfSize.X + 1,
                2 * rs.Projection.WorkingHalfSize.Y + 1, rs.Parameters.Method.QualityCoefficient);
  }
  std::printf("all sets: reference %.3f s, fast %.3f s, ratio %.1f, identical connections: %s\n", totalRef, totalFast,
              totalRef / totalFast, allSame ? "yes" : "NO");
  return allSame ? 0 : 1;
}
