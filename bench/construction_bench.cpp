// Times the construction phase on large sets rendered on the fly (four
// 12-megapixel pictures for an open panorama, eight for a full circle) and
// compares it with the codec floor: decoding every picture once plus
// encoding the panorama, measured in the same run. Prints the peak memory.
//
//   construction_bench [--photos FOLDER] [--size WxH] [--work FOLDER] [--repeat N] [--reference]
//
// With --repeat the construction and the floor are each measured N times on
// the same connections and the shortest times are reported (the machine's
// other load only ever adds time).
//
// The sets are rendered by vistarium-render-samples into the work folder
// (default /tmp/vistarium-bench-sets) once and reused.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "run/progress.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "sample_set.h"
#include "measure.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

using namespace vistarium::bench;

fs::path EnsureSet(const std::string& preset, const std::string& size, const fs::path& photos, const fs::path& work) {
  const fs::path folder = work / (preset + "-" + size);
  if (fs::exists(folder / "truth.json")) return folder;
  const fs::path tool = fs::path(VISTARIUM_BIN_DIR) / "vistarium-render-samples";
  std::ostringstream text;
  text << '"' << tool.string() << "\" --preset " << preset << " --size " << size << " --photos \"" << photos.string()
       << "\" --out \"" << folder.string() << "\" > /dev/null";
  const std::string command = text.str();
  std::printf("rendering %s at %s ...\n", preset.c_str(), size.c_str());
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0) throw std::runtime_error("rendering failed: " + command);
  return folder;
}

}  // namespace

int main(int argc, char** argv) try {
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  fs::path work = fs::temp_directory_path() / "vistarium-bench-sets";
  std::string size = "4000x3000";
  bool reference = false;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--photos" && i + 1 < argc) photos = argv[++i];
    else if (a == "--work" && i + 1 < argc) work = argv[++i];
    else if (a == "--size" && i + 1 < argc) size = argv[++i];
    else if (a == "--reference") reference = true;
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::stoi(argv[++i]));
    else throw std::invalid_argument("unknown option " + a);
  }
  const params::ParameterSets base =
      params::LoadParameterFile(fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr");

  std::printf("%-8s %9s %13s %10s %10s %8s %8s %10s\n", "set", "pictures", "panorama", "finding s", "constr s",
              "floor s", "ratio", "peak MB");
  for (const std::string preset : {"open4", "circle8"}) {
    const fs::path folder = EnsureSet(preset, size, photos, work);
    const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
    const TPictureSetData pictures = samples::RunPictures(truth, folder.string());
    const params::ParameterSets sets = samples::WithSetCamera(base, truth);

    RunState rs;
    rs.UseReferenceFill = reference;
    matching::SilentProgressUi ui;
    const auto t0 = Clock::now();
    app::RunFindingPhase(rs, ui, pictures, sets);
    const auto t1 = Clock::now();
    double construction = 1e300, floor = 1e300;
    for (int r = 0; r < repeat; ++r) {
      const auto c0 = Clock::now();
      app::RunConstructionPhase(rs, ui);
      const auto c1 = Clock::now();
      // The codec floor: every picture decoded once, the panorama encoded once.
      for (const std::string& f : pictures.FileNames) render::LoadPictureFile(f);
      const auto c2 = Clock::now();
      Bitmap32 shown;
      app::ShowPanorama(rs.Panorama, shown);
      const auto c3 = Clock::now();
      const std::vector<std::uint8_t> jpeg = render::EncodeJpeg(shown);
      const auto c4 = Clock::now();
      construction = std::min(construction, Seconds(c0, c1));
      floor = std::min(floor, Seconds(c1, c2) + Seconds(c3, c4));
    }
    std::printf("%-8s %9d %6d x %-5d %10.2f %10.2f %8.2f %8.2f %10.0f\n", preset.c_str(), pictures.Count,
                rs.Panorama.Width, rs.Panorama.Height, Seconds(t0, t1), construction, floor, construction / floor,
                PeakMegabytes());
    std::fflush(stdout);
  }
  std::printf("construction: orientation, layout and fill including decoding the pictures; floor: decoding\n"
              "every picture once plus encoding the panorama; shortest of %d runs each (%s fill)\n",
              repeat, reference ? "plain" : "fast");
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "construction_bench: %s\n", e.what());
  return 1;
}
