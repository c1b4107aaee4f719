// Times the construction phase, files to saved panorama file, on large sets
// rendered on the fly (four 12-megapixel pictures for an open panorama,
// eight for a full circle) and compares it with the codec floor: decoding
// every picture once plus encoding the panorama, on one core, measured in
// the same run. Prints the peak memory.
//
//   construction_bench [--photos FOLDER] [--size WxH] [--work FOLDER] [--repeat N]
//                      [--reference] [--one-pixel] [--band ROWS]
//
// The construction is measured as the command-line tool's stitch runs it:
// orientation, layout, the fill band by band with the pictures decoded by
// rows, the JPEG encoded band by band into the file, the trailer. --reference
// takes the plain fill (every picture held whole, the panorama made whole
// and then encoded); --one-pixel the fast fill without eight-at-once
// sampling; --band the rows of a band. With --repeat the construction and the
// floor are each measured N times on the same connections and the shortest
// times are reported (the machine's other load only ever adds time).
//
// The sets are rendered by vistarium-render-samples into the work folder
// (default /tmp/vistarium-bench-sets) once and reused.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "app/worker_threads.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "run/progress.h"
#include "measure.h"
#include "sample_set.h"

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
  app::UsePassiveWorkerThreads(argv);  // as the programs run
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  fs::path work = fs::temp_directory_path() / "vistarium-bench-sets";
  std::string size = "4000x3000";
  bool reference = false;
  render::BandFillOptions options;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--photos" && i + 1 < argc) photos = argv[++i];
    else if (a == "--work" && i + 1 < argc) work = argv[++i];
    else if (a == "--size" && i + 1 < argc) size = argv[++i];
    else if (a == "--reference") reference = true;
    else if (a == "--one-pixel") options.Simd = false;
    else if (a == "--band" && i + 1 < argc) options.BandRows = std::max(1, std::stoi(argv[++i]));
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::stoi(argv[++i]));
    else throw std::invalid_argument("unknown option " + a);
  }
  const params::ParameterSets base =
      params::LoadParameterFile(fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr");

  std::printf("load average %s (other work on the machine inflates the times)\n", LoadAverage().c_str());
  std::printf("%-8s %9s %13s %10s %9s %9s %8s %9s %8s %9s %8s\n", "set", "pictures", "panorama", "finding s",
              "constr s", "cpu s", "floor s", "floor cpu", "ratio", "cpu ratio", "peak MB");
  for (const std::string preset : {"open4", "circle8"}) {
    const fs::path folder = EnsureSet(preset, size, photos, work);
    const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
    const TPictureSetData pictures = samples::RunPictures(truth, folder.string());
    const params::ParameterSets sets = samples::WithSetCamera(base, truth);
    const std::string output = (work / (preset + "-" + size + "-panorama.jpg")).string();

    RunState rs;
    rs.Refine = true;
    rs.UseReferenceFill = reference;
    matching::SilentProgressUi ui;
    const auto t0 = Clock::now();
    app::RunFindingPhase(rs, ui, pictures, sets);
    const auto t1 = Clock::now();
    double construction = 1e300, cpu = 1e300, floor = 1e300, floorCpu = 1e300;
    for (int r = 0; r < repeat; ++r) {
      const double cpu0 = ProcessorSeconds();
      const auto c0 = Clock::now();
      app::PanoramaFileWriter writer(output);
      app::RunConstructionPhase(rs, ui, writer.Sink(), options);
      writer.Commit(app::TrailerOfRun(rs));
      const auto c1 = Clock::now();
      cpu = std::min(cpu, ProcessorSeconds() - cpu0);
      construction = std::min(construction, Seconds(c0, c1));
      // The codec floor: every picture decoded once, the panorama encoded
      // once (its rows read back from the file first, not timed).
      const auto d0 = Clock::now();
      const double p0 = ProcessorSeconds();
      for (const std::string& f : pictures.FileNames) render::LoadPictureFile(f);
      const auto d1 = Clock::now();
      const double p1 = ProcessorSeconds();
      double encodingCpu = 0.0;
      const int width = rs.Panorama.Width, height = rs.Panorama.Height;
      render::PictureRowStream rows(output, {width, height});
      std::vector<std::uint8_t> band(3 * static_cast<std::size_t>(width) * 64);
      double encoding = 0.0;
      {
        render::JpegFileWriter encoder((work / "floor.jpg").string(), width, height);
        for (int y0 = 0; y0 < height; y0 += 64) {
          const int n = std::min(64, height - y0);
          rows.Hold(y0, y0 + n - 1);
          for (int k = 0; k < n; ++k)
            std::copy_n(rows.Row(y0 + k), 3 * static_cast<std::size_t>(width), band.data() + 3 * static_cast<std::size_t>(width) * k);
          const auto e0 = Clock::now();
          const double q0 = ProcessorSeconds();
          encoder.WriteRows(band.data(), n);
          encoding += Seconds(e0, Clock::now());
          encodingCpu += ProcessorSeconds() - q0;
        }
        const auto e0 = Clock::now();
        const double q0 = ProcessorSeconds();
        encoder.Commit();
        encoding += Seconds(e0, Clock::now());
        encodingCpu += ProcessorSeconds() - q0;
      }
      floor = std::min(floor, Seconds(d0, d1) + encoding);
      floorCpu = std::min(floorCpu, p1 - p0 + encodingCpu);
    }
    std::printf("%-8s %9d %6d x %-5d %10.2f %9.2f %9.2f %8.2f %9.2f %8.2f %9.2f %8.0f\n", preset.c_str(),
                pictures.Count, rs.Panorama.Width, rs.Panorama.Height, Seconds(t0, t1), construction, cpu, floor,
                floorCpu, construction / floor, cpu / floorCpu, PeakMegabytes());
    std::fflush(stdout);
  }
  std::printf("construction: orientation, layout, fill and the JPEG file written (wall clock; cpu: processor time of\n"
              "all threads); floor: decoding every picture once plus encoding the panorama, on one core (wall clock\n"
              "and processor time); ratio: construction / floor; cpu ratio: cpu / floor cpu (on a busy machine the\n"
              "steadier figure); shortest of %d runs each (%s fill)\n",
              repeat, reference ? "plain" : (options.Simd ? "fast" : "fast, one pixel at a time"));
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "construction_bench: %s\n", e.what());
  return 1;
}
