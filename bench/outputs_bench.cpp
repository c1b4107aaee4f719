// Figures of what becomes of a panorama after Join: exposure evened out
// across its pictures, the 360 photo for other viewers, and many sets at
// once.
//
//   outputs_bench [--only exposure|export|batch] [--sets NAME,...] [--work FOLDER] [--photos FOLDER]
//
// exposure  Each study set (default open-aitz and circle-picos) is rendered
//           twice from one recipe: plainly, and with every picture's
//           channels times a gain drawn within +-30 % and a colour cast
//           within +-4 % per channel (fixed seed). Both are stitched with and
//           without gain compensation. The two panoramas of a mode are laid
//           out alike, so the ratio of their column-mean luminances shows
//           how much of the exposures is left; printed is the standard
//           deviation of its logarithm over the columns, in percent, and the
//           recovered gains against the true ones.
// export    A full circle of 40 megapixels (a photo repeated along 14800 x
//           2700 pixels, with a trailer) is decoded and encoded again, and
//           exported as a 360 photo; also an open panorama of the same size.
// batch     Eight small sets (the bundled samples, twice) stitched by
//           `vistarium-cli batch -j 1` and `-j 2`.
// Times are wall-clock; other work on the machine (the load is printed)
// inflates them.

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "app/sphere_export.h"
#include "measure.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "run/run_state.h"
#include "sample_set.h"

namespace fs = std::filesystem;
using namespace vistarium;
using namespace vistarium::bench;

namespace {

// ---- Exposure

struct Stitched {
  TPanorama Panorama;
  std::vector<std::array<double, 3>> Gains;
  int Left = 0, Top = 0;
};

Stitched Stitch(const samples::SampleSet& set, const fs::path& folder, bool compensate) {
  RunState rs;
  matching::SilentProgressUi ui;
  rs.Refine = true;
  rs.CompensateExposure = compensate;
  const params::ParameterSets sets = samples::WithSetCamera(
      params::LoadParameterFile(fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr"), set);
  app::RunFindingPhase(rs, ui, samples::RunPictures(set, folder.string()), sets);
  app::RunConstructionPhase(rs, ui);
  return {std::move(rs.Panorama), rs.Gains, rs.Layout.Left, rs.Layout.Top};
}

std::vector<double> ColumnLuminance(const TPanorama& p) {
  std::vector<double> mean(static_cast<std::size_t>(p.Width), 0.0);
  for (int x = 0; x < p.Width; ++x) {
    double sum = 0;
    for (int y = 0; y < p.Height; ++y) {
      const std::uint32_t c = p.Pixels[static_cast<std::size_t>(x) * p.Height + y];
      sum += 0.299 * (c & 0xFF) + 0.587 * ((c >> 8) & 0xFF) + 0.114 * ((c >> 16) & 0xFF);
    }
    mean[static_cast<std::size_t>(x)] = sum / p.Height;
  }
  return mean;
}

// Standard deviation, in percent, of the log ratio of two panoramas'
// column-mean luminances over the columns they share.
double LogRatioSpread(const Stitched& a, const Stitched& b) {
  const std::vector<double> la = ColumnLuminance(a.Panorama), lb = ColumnLuminance(b.Panorama);
  const int shift = b.Left - a.Left;  // column x of a is column x - shift of b
  std::vector<double> r;
  for (int x = 0; x < static_cast<int>(la.size()); ++x) {
    const int xb = x - shift;
    if (xb < 0 || xb >= static_cast<int>(lb.size())) continue;
    if (la[static_cast<std::size_t>(x)] < 1.0 || lb[static_cast<std::size_t>(xb)] < 1.0) continue;
    r.push_back(std::log(lb[static_cast<std::size_t>(xb)] / la[static_cast<std::size_t>(x)]));
  }
  double mean = 0, sq = 0;
  for (double v : r) mean += v / r.size();
  for (double v : r) sq += (v - mean) * (v - mean) / r.size();
  return 100.0 * std::sqrt(sq);
}

void ExposureStudy(const std::string& name, const fs::path& photos, const fs::path& work) {
  const std::optional<samples::SetRecipe> recipe = samples::FindStudySet(name);
  if (!recipe) throw std::invalid_argument("unknown study set \"" + name + "\"");
  samples::SampleSet plain = samples::PlanSet(*recipe);
  samples::SampleSet exposed = plain;
  samples::SampleNumbers draw(20240517);
  for (samples::SamplePicture& p : exposed.Pictures) {
    p.Exposure.Gain = draw.Uniform(0.7, 1.3);
    for (double& c : p.Exposure.Cast) c = draw.Uniform(0.96, 1.04);
  }
  const samples::Scene scene = samples::Scene::Load((photos / recipe->Photo).string(), recipe->Scene.Reduction,
                                                    plain.Scene.Span, plain.Scene.Mirrored);
  const fs::path plainFolder = work / (name + "-plain"), exposedFolder = work / (name + "-exposed");
  samples::WriteSampleSet(plain, scene, plainFolder.string());
  samples::WriteSampleSet(exposed, scene, exposedFolder.string());

  std::printf("%s: %zu pictures of %d x %d, gains within +-30 %%, casts within +-4 %%\n", name.c_str(),
              plain.Pictures.size(), plain.Camera.Size.X, plain.Camera.Size.Y);
  for (bool compensate : {false, true}) {
    const auto t0 = Clock::now();
    const Stitched a = Stitch(plain, plainFolder, compensate), b = Stitch(exposed, exposedFolder, compensate);
    const double seconds = Seconds(t0, Clock::now()) / 2;
    std::printf("  %-18s std-dev of log column-luminance ratio %6.2f %%   (%d x %d, %.1f s a set)\n",
                compensate ? "with compensation" : "without", LogRatioSpread(a, b), b.Panorama.Width,
                b.Panorama.Height, seconds);
    if (!compensate || b.Gains.empty()) continue;
    // gain x exposure should be one value per channel; its spread:
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
      double mean = 0;
      std::vector<double> product;
      for (std::size_t i = 0; i < b.Gains.size(); ++i) {
        const samples::PictureExposure& e = exposed.Pictures[i].Exposure;
        product.push_back(b.Gains[i][static_cast<std::size_t>(2 - c)] * e.Gain * e.Cast[static_cast<std::size_t>(c)]);
        mean += product.back() / b.Gains.size();
      }
      for (double v : product) worst = std::max(worst, std::fabs(v / mean - 1.0));
    }
    std::printf("  recovered gains: gain x exposure within %.2f %% of its mean (every picture and channel)\n",
                100 * worst);
  }
}

// ---- Export

// A panorama of width x height made of the photo repeated, saved with a
// trailer whose values make `columns` columns a full turn.
fs::path MakePanoramaFile(const fs::path& photo, const fs::path& file, int width, int height, double columns,
                          bool is360) {
  const DeviceBitmap source = render::LoadPictureFile(photo.string());
  Bitmap32 pano;
  pano.SetSize(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int sx = x % source.Width, sy = y % source.Height;
      pano.SetPixel(x, y, ArgbFromPacked(source.Pixel(sx, sy)));
    }
  const double step = 2 * std::numbers::pi / columns;
  app::PanoramaTrailer t{is360, step, 1.0 / step, 0.8 / step, height / 2};
  app::SavePanoramaFile(file.string(), pano, t);
  return file;
}

void ExportStudy(const fs::path& photos, const fs::path& work) {
  struct Case {
    const char* Name;
    int Width, Height;
    double Columns;
    bool Is360;
  };
  for (const Case c : {Case{"full circle", 14800, 2700, 14800, true}, Case{"open, 200 degrees", 11000, 3640, 19800, false}}) {
    const fs::path file = MakePanoramaFile(photos / "picosdeeuropa_by_Aitzol_Berasategi.jpg",
                                           work / "export-source.jpg", c.Width, c.Height, c.Columns, c.Is360);
    const int repeats = 3;
    double decode = 1e9, encode = 1e9, write = 1e9, exported = 1e9, exportWrite = 1e9, codecCpu = 1e9, exportCpu = 1e9;
    app::SphereTags tags;
    for (int k = 0; k < repeats; ++k) {
      // The panorama decoded and encoded again, then written as a file.
      const double c0 = ProcessorSeconds();
      const auto t0 = Clock::now();
      const DeviceBitmap decoded = render::LoadPictureFile(file.string());
      const auto t1 = Clock::now();
      const std::vector<std::uint8_t> bytes = render::EncodeJpeg(decoded);
      const auto t2 = Clock::now();
      const double c1 = ProcessorSeconds();
      render::WriteFileAtomically((work / "export-again.jpg").string(), bytes);
      const auto t3 = Clock::now();
      const double c2 = ProcessorSeconds();
      // The export's own steps: decode, make and encode the photo, write it.
      const app::TrailerReading trailer = app::ReadPanoramaTrailer(file.string());
      const DeviceBitmap panorama = render::LoadPictureFile(file.string());
      const app::SphereSource source = app::SphereSourceFor(trailer.Values, panorama.Height);
      tags = app::SpherePhotoLayout(source, panorama.Width, panorama.Height);
      const std::vector<std::uint8_t> photo = app::EncodeSpherePhoto(panorama, source, tags, {});
      const auto t4 = Clock::now();
      const double c3 = ProcessorSeconds();
      codecCpu = std::min(codecCpu, c1 - c0);
      exportCpu = std::min(exportCpu, c3 - c2);
      render::WriteFileAtomically((work / "export-photo.jpg").string(), photo);
      const auto t5 = Clock::now();
      decode = std::min(decode, Seconds(t0, t1));
      encode = std::min(encode, Seconds(t1, t2));
      write = std::min(write, Seconds(t2, t3));
      exported = std::min(exported, Seconds(t3, t4));
      exportWrite = std::min(exportWrite, Seconds(t4, t5));
    }
    std::printf("export, %s: panorama %d x %d (%.1f MP) -> photo %d x %d (%.1f MP, sphere %d x %d)\n", c.Name, c.Width,
                c.Height, c.Width * double(c.Height) / 1e6, tags.CroppedWidth, tags.CroppedHeight,
                tags.CroppedWidth * double(tags.CroppedHeight) / 1e6, tags.FullWidth, tags.FullHeight);
    std::printf("  decode %.2f s + encode %.2f s = %.2f s; export (decode, photo, encode) %.2f s: ratio %.2f\n", decode,
                encode, decode + encode, exported, exported / (decode + encode));
    std::printf("  processor time (all threads): decode + encode %.2f s, export %.2f s: ratio %.2f\n", codecCpu,
                exportCpu, exportCpu / codecCpu);
    std::printf("  writing the file (flushed to disk): panorama %.2f s, photo %.2f s; with writing: ratio %.2f "
                "(best of %d)\n",
                write, exportWrite, (exported + exportWrite) / (decode + encode + write), repeats);
  }
}

// ---- Batch

double RunBatch(const fs::path& list, int jobs, const fs::path& out) {
  const fs::path tool = fs::path(VISTARIUM_BIN_DIR) / "vistarium-cli";
  // The bench's own settings folder (made from the delivered Options), not the user's.
  const std::string command = tool.string() + " --options " + (out.parent_path() / "options").string() + " batch -j " +
                              std::to_string(jobs) + " --output-dir " + out.string() +
                              " " + list.string() + " > " + (out / "lines.json").string() + " 2> /dev/null";
  fs::create_directories(out);
  const auto t0 = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = Seconds(t0, Clock::now());
  if (status != 0) std::printf("  (batch ended with status %d)\n", status);
  return seconds;
}

void BatchStudy(const fs::path& work) {
  nlohmann::json sets = nlohmann::json::array();
  const fs::path samplesFolder = fs::path(VISTARIUM_SOURCE_DIR) / "samples";
  for (int copy = 1; copy <= 2; ++copy)
    for (const char* name : {"open4", "circle8", "portrait5", "sunset8"}) {
      const samples::SampleSet s = samples::LoadTruthFile((samplesFolder / name / "truth.json").string());
      nlohmann::json pictures = nlohmann::json::array();
      for (const auto& p : s.Pictures) pictures.push_back((samplesFolder / name / p.File).string());
      sets.push_back({{"name", std::string(name) + "-" + std::to_string(copy)},
                      {"pictures", pictures},
                      {"is360", s.Is360},
                      {"focal", s.Camera.FocalLength},
                      {"aberration", s.Camera.Aberration}});
    }
  const fs::path list = work / "batch.json";
  std::ofstream(list) << sets.dump(2);
  const double one = RunBatch(list, 1, work / "batch-1"), two = RunBatch(list, 2, work / "batch-2");
  std::printf("batch of %zu sets: -j 1 %.1f s, -j 2 %.1f s: ratio %.2f\n", sets.size(), one, two, two / one);
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  std::vector<std::string> sets = {"open-aitz", "circle-picos"};
  fs::path work = fs::temp_directory_path() / "vistarium-outputs-bench";
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--only") {
      only = value();
    } else if (a == "--sets") {
      sets.clear();
      std::stringstream list(value());
      for (std::string s; std::getline(list, s, ',');) sets.push_back(s);
    } else if (a == "--work") {
      work = value();
    } else if (a == "--photos") {
      photos = value();
    } else {
      std::fprintf(stderr,
                   "usage: outputs_bench [--only exposure|export|batch] [--sets NAME,...] [--work FOLDER] "
                   "[--photos FOLDER]\n");
      return 2;
    }
  }
  fs::create_directories(work);
  std::printf("load average %s\n", LoadAverage().c_str());
  try {
    if (only.empty() || only == "exposure")
      for (const std::string& s : sets) ExposureStudy(s, photos, work);
    if (only.empty() || only == "export") ExportStudy(photos, work);
    if (only.empty() || only == "batch") BatchStudy(work);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "outputs_bench: %s\n", e.what());
    return 1;
  }
  std::printf("load average %s\n", LoadAverage().c_str());
  return 0;
}
