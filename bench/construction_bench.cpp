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
//
//   construction_bench --sideways [--realset FOLDER] [--360] [--focal F] [--work FOLDER] [--repeat N]
//
// measures instead pictures stored sideways, as a phone stores them: a set
// of upright pictures (default ../shared/realsets/taipei101_iphone13, six
// 12-megapixel pictures; --360 for a full circle, --focal for pictures
// that do not say their focal length) turned a quarter
// anticlockwise in the compressed domain and tagged with the EXIF
// orientation 6 (or turned clockwise and tagged 8), written into the work
// folder once. It constructs the panorama of the upright pictures, of the
// sideways ones turned upright losslessly and decoded by rows (the fill's
// way), and of the sideways ones decoded whole and held (the fill's way
// before the lossless turn, which --sideways keeps one switch away),
// and prints per case the construction's time, the peak of the picture
// rows the fill held at once, and the resident high-water mark of the
// construction alone (started anew after the finding phase) and of the
// whole process.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "app/panorama_file.h"
#include "app/parameters_in_force.h"
#include "app/picture_camera.h"
#include "app/pipeline.h"
#include "app/worker_threads.h"
#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "render/lossless_turn.h"
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

// The pictures of `files` as a phone held upright stores them: turned a
// quarter anticlockwise in the compressed domain (their EXIF kept) and
// tagged "turn a quarter clockwise" (orientation 6), or, where that turn
// would not be lossless (a width of no whole number of blocks), a quarter
// clockwise and tagged 8. Written once.
std::vector<std::string> SidewaysCopies(const std::vector<std::string>& files, const fs::path& folder) {
  fs::create_directories(folder);
  std::vector<std::string> copies;
  for (const std::string& file : files) {
    const fs::path target = folder / fs::path(file).filename();
    copies.push_back(target.string());
    if (fs::exists(target)) continue;
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::uint16_t orientation = 6;
    std::optional<render::TurnedJpeg> turned =
        render::TurnJpegLosslessly(bytes, render::JpegTurn::QuarterAnticlockwise, true);
    if (!turned) {
      orientation = 8;
      turned = render::TurnJpegLosslessly(bytes, render::JpegTurn::QuarterClockwise, true);
    }
    if (!turned) throw std::runtime_error(file + " cannot be turned losslessly");
    const fs::path part = target.string() + ".part.jpg";
    std::ofstream(part, std::ios::binary)
        .write(reinterpret_cast<const char*>(turned->Bytes().data()), static_cast<std::streamsize>(turned->Size()));
    auto image = Exiv2::ImageFactory::open(part.string());
    image->readMetadata();
    Exiv2::ExifData exif = image->exifData();
    exif["Exif.Image.Orientation"] = orientation;
    image->setExifData(exif);
    image->writeMetadata();
    fs::rename(part, target);
  }
  return copies;
}

// The construction of one set's panorama, as stitch makes it, `repeat`
// times on the same connections: the shortest time, the most picture
// bytes the fill held at once, and the resident high-water mark of the
// construction alone.
void RunSidewaysCase(const std::string& name, const std::vector<std::string>& files, bool is360, double focal,
                     bool lossless, int repeat, const fs::path& work) {
  const fs::path source(VISTARIUM_SOURCE_DIR);
  params::ParameterSets parameters = app::LoadParametersInForce(params::CurrentParameterFilePath(source),
                                                                params::CameraListPath(source));
  app::PictureCamera camera = app::CameraFromPictures(files, parameters.Camera);
  if (focal > 0.0) {  // as stitch --focal F --aberration 0
    camera.Camera.FocalLength = focal;
    camera.Camera.Aberration = 0.0;
    camera.FromPictures = true;
  }
  parameters.Camera = camera.Camera;
  TPictureSetData pictures;
  pictures.FileNames = files;
  pictures.Count = static_cast<std::int32_t>(files.size());
  pictures.Is360 = is360;
  RunState rs;
  rs.Refine = true;
  rs.EstimateFocal = !camera.FromPictures;
  rs.CompensateExposure = true;  // as stitch runs by default
  matching::SilentProgressUi ui;
  const auto t0 = Clock::now();
  app::RunFindingPhase(rs, ui, pictures, parameters);
  const double finding = Seconds(t0, Clock::now());
  const double findingPeak = PeakMegabytes();  // before the high-water mark is started anew
  render::BandFillOptions options;
  options.TurnLosslessly = lossless;
  double construction = 1e300, constructionPeak = 0.0;
  std::size_t held = 0;
  const std::string output = (work / ("sideways-case-panorama.jpg")).string();
  for (int r = 0; r < repeat; ++r) {
    ResetPeakMemory();
    const auto c0 = Clock::now();
    app::PanoramaFileWriter writer(output);
    const render::BandFillReport report = app::RunConstructionPhase(rs, ui, writer.Sink(), options);
    writer.Commit(app::TrailerOfRun(rs));
    construction = std::min(construction, Seconds(c0, Clock::now()));
    constructionPeak = std::max(constructionPeak, PeakMegabytesSinceReset());
    held = std::max(held, report.PeakPictureBytes);
  }
  std::printf("%-34s %8d %6d x %-5d %10.2f %9.2f %10.0f %14.0f %10.0f\n", name.c_str(), pictures.Count,
              rs.Panorama.Width, rs.Panorama.Height, finding, construction, static_cast<double>(held) / 1e6,
              constructionPeak, std::max(findingPeak, constructionPeak));
  std::fflush(stdout);
}

// Each case in a process of its own, so that the whole-process peaks do not
// mix: the bench runs itself with --sideways-case.
int RunSideways(const char* self, const fs::path& realset, bool is360, double focal, const fs::path& work,
                int repeat) {
  std::printf("load average %s (other work on the machine inflates the times)\n", LoadAverage().c_str());
  std::printf("%-34s %8s %14s %10s %9s %10s %14s %10s\n", "set", "pictures", "panorama", "finding s", "constr s",
              "held MB", "constr peak MB", "peak MB");
  std::fflush(stdout);
  const std::string base = realset.filename().string();
  // The rows the fill reads from each sideways picture against the picture
  // decoded whole and turned.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(realset))
    if (entry.path().extension() == ".jpg") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  int worst = 0;
  double sum = 0.0, values = 0.0;
  for (const std::string& file : SidewaysCopies(files, work / (base + "-sideways"))) {
    const DeviceBitmap whole = render::LoadPictureFile(file);
    render::PictureRowStream rows(file, {whole.Width, whole.Height});
    for (int y = 0; y < whole.Height; ++y) {
      rows.Hold(y, y);
      const std::uint8_t* p = rows.Row(y);
      for (int x = 0; x < whole.Width; ++x)
        for (int k = 0; k < 3; ++k) {
          const int d = std::abs(static_cast<int>(p[3 * x + k]) -
                                 static_cast<int>((static_cast<std::uint32_t>(whole.Pixel(x, y)) >> (8 * k)) & 0xFFu));
          worst = std::max(worst, d);
          sum += d;
        }
    }
    values += 3.0 * whole.Width * whole.Height;
  }
  std::printf("rows of the sideways pictures turned losslessly against decoded whole and turned: at most %d levels,\n"
              "%.3f on average (bound: %d, %.2f)\n",
              worst, sum / values, render::kTurnedLevelsOff, render::kTurnedMeanLevelsOff);
  std::fflush(stdout);
  for (const std::string which : {"upright", "sideways", "sideways-whole"}) {
    std::ostringstream command;
    command << '"' << self << "\" --sideways-case " << which << " --realset \"" << realset.string() << "\" --work \""
            << work.string() << "\" --repeat " << repeat << (is360 ? " --360" : "") << " --focal " << focal;
    if (std::system(command.str().c_str()) != 0) throw std::runtime_error("failed: " + command.str());
  }
  std::printf("upright: the set as it is; sideways: its pictures stored a quarter turned with orientation 6 (or 8), turned\n"
              "upright losslessly and decoded by rows; sideways-whole: the same decoded whole and held (the fill's\n"
              "way before the lossless turn). constr s: construction (orientation, layout, gains, fill, JPEG file),\n"
              "shortest of %d runs; held MB: most picture bytes the fill held at once (rows, turned JPEGs, whole\n"
              "pictures); constr peak MB: resident high-water mark of the construction alone, started anew after\n"
              "the finding phase; peak MB: of the whole process\n",
              repeat);
  return 0;
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
  fs::path realset = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "realsets" / "taipei101_iphone13";
  bool sideways = false, is360 = false;
  double focal = 0.0;
  std::string sidewaysCase;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sideways") sideways = true;
    else if (a == "--360") is360 = true;
    else if (a == "--focal" && i + 1 < argc) focal = std::stod(argv[++i]);
    else if (a == "--sideways-case" && i + 1 < argc) sidewaysCase = argv[++i];
    else if (a == "--realset" && i + 1 < argc) realset = argv[++i];
    else if (a == "--photos" && i + 1 < argc) photos = argv[++i];
    else if (a == "--work" && i + 1 < argc) work = argv[++i];
    else if (a == "--size" && i + 1 < argc) size = argv[++i];
    else if (a == "--reference") reference = true;
    else if (a == "--one-pixel") options.Simd = false;
    else if (a == "--band" && i + 1 < argc) options.BandRows = std::max(1, std::stoi(argv[++i]));
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::stoi(argv[++i]));
    else throw std::invalid_argument("unknown option " + a);
  }
  if (sideways) return RunSideways(argv[0], realset, is360, focal, work, repeat);
  if (!sidewaysCase.empty()) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(realset))
      if (entry.path().extension() == ".jpg") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    if (files.empty()) throw std::runtime_error("no pictures in " + realset.string());
    fs::create_directories(work);
    const std::string base = realset.filename().string();
    if (sidewaysCase == "upright") {
      RunSidewaysCase(base, files, is360, focal, true, repeat, work);
    } else {
      const std::vector<std::string> turned = SidewaysCopies(files, work / (base + "-sideways"));
      const bool whole = sidewaysCase == "sideways-whole";
      RunSidewaysCase(base + (whole ? " sideways, whole" : " sideways"), turned, is360, focal, !whole, repeat, work);
    }
    return 0;
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
