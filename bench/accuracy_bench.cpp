// Accuracy of whole runs, files to panorama, on rendered study sets with
// known camera rotations: how far the finished panorama misplaces the
// pictures against each other, which connections the unreliable-connection
// check names, and the time and peak memory of the run. Every set is run in
// the default mode and in the exact mode (refinement and rescue off).
//
//   accuracy_bench [--sets NAME,...] [--quick] [--exact-only] [--default-only]
//                  [--work FOLDER] [--photos FOLDER] [--params FILE.spr] [--method SIZE:WIDTH]
//                  [--connections]
//
// The sets are the study sets of the sample library (tools/samples,
// FindStudySet); --quick runs a small choice of them without the
// 12-megapixel set. They are rendered into the work folder (default
// /tmp/vistarium-accuracy-sets) and reused while their truth file still
// matches the recipe. Parameters are the delivered ones
// (Options/CurrentParameters.spr, or --params) with the camera of the set's
// truth; --method replaces their minimal reduced size and overlap width
// (e.g. 300:75), for choosing them by measurement over whole runs.
// --connections lists every connection's error and residual.
//
// Alignment error. For every connection of adjacent pictures i and j (for a
// full circle also the last and the first) a grid of 40 x 30 pixel positions
// is laid over picture i; the positions whose true scene point lies inside
// picture j form the connection's overlap sample. Each such position p is
// mapped through the run's final orientations, after levelling and the
// circle closure, exactly as the panorama is built:
//     estimated = PanoramaToPicture(j, PictureToPanorama(i, p)),
// and compared with the true position of the same scene point in picture j,
// computed from the true rotations, focal length and aberration
// (SetGeometry::Correspond). The distance in pixels of picture j is the
// point's error: the panorama shows picture i's content that far from where
// picture j shows it. The set's "rms" is the root mean square over all
// points of all connections, "max" the largest point error; a connection's
// error is the rms over its points. "worst" is the connection with the
// largest rms, with its residual in working cells and whether the check
// named it. "bad" counts the connections off by more than 3 px rms that the
// check did not name: the number that must stay 0. The program's model maps
// panorama angles back to picture pixels with a first-order inverse of the
// aberration polynomial, so sets with aberration keep an error even with
// perfect orientations; "floor" is the rms of that model error alone at the
// same points (the truth position taken to angles and back).
//
// Time is wall-clock from reading the files to the saved panorama (JPEG
// with its trailer), in the child process that runs the set, with the
// finding phase's share and the processor time of all threads; peak memory is
// that process's resident high-water mark (VmHWM: binary, libraries and the
// whole run). Each set and mode runs in its own process, so every figure
// belongs to one run. Other work on the machine inflates the times; the load
// average is printed.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "alignment/orientation.h"
#include "app/connection_check.h"
#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "params/parameter_file.h"
#include "params/parameter_sets.h"
#include "render/picture_file.h"
#include "run/progress.h"
#include "run/run_state.h"
#include "sample_set.h"
#include "measure.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace vistarium;
using namespace vistarium::samples;
using Json = nlohmann::ordered_json;

namespace {

using namespace vistarium::bench;

// ---- The mode switch and the run's own verdicts.

// Exact mode turns full-size refinement and rescue off.
void ApplyMode(RunState& rs, bool exact) {
  rs.Refine = !exact;
}

// Connections the rescue gave new points to.
int RescuedConnections(const RunState& rs) {
  int rescued = 0;
  for (const ConnectionCheck& c : CheckConnections(rs)) rescued += c.Rescued;
  return rescued;
}

// Whether the unreliable-connection check names this connection.
bool IsFlagged(const ConnectionCheck& c) { return c.Problem != ConnectionProblem::None; }

// ----

constexpr int kGridColumns = 40, kGridRows = 30;
constexpr double kBadPixels = 3.0;

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ','))
    if (!item.empty()) items.push_back(item);
  return items;
}

// ---- Child: one set in one mode.

struct ConnectionError {
  int Left = 0, Right = 0, Points = 0;
  double SumSquares = 0.0, Max = 0.0, FloorSquares = 0.0;
  double Rms() const { return Points > 0 ? std::sqrt(SumSquares / Points) : 0.0; }
};

ConnectionError MeasureConnection(const RunState& rs, const SetGeometry& truth, int i, int j) {
  ConnectionError e;
  e.Left = i;
  e.Right = j;
  const TProjectionParameters& pp = rs.Projection;
  const TPoint size = truth.Camera().Size;
  for (int gy = 0; gy < kGridRows; ++gy)
    for (int gx = 0; gx < kGridColumns; ++gx) {
      const TRealPoint p{(gx + 0.5) * size.X / kGridColumns, (gy + 0.5) * size.Y / kGridRows};
      const std::optional<TRealPoint> t = truth.Correspond(i, p, j);
      if (!t) continue;
      const TRealPoint q = alignment::PanoramaToPicture(rs, j, alignment::PictureToPanorama(rs, i, p));
      const double d = std::hypot(q.X - t->X, q.Y - t->Y);
      const TRealPoint model = geom::AnglesToPicture(pp, geom::PictureToAngles(pp, *t));
      const double f = std::hypot(model.X - t->X, model.Y - t->Y);
      ++e.Points;
      e.SumSquares += d * d;
      e.FloorSquares += f * f;
      e.Max = std::max(e.Max, d);
    }
  return e;
}

int RunChild(const fs::path& folder, bool exact, const fs::path& paramsFile, const fs::path& resultFile) {
  const SampleSet set = LoadTruthFile((folder / kTruthFileName).string());
  const params::ParameterSets parameters = WithSetCamera(params::LoadParameterFile(paramsFile), set);
  const TPictureSetData pictures = RunPictures(set, folder.string());

  RunState rs;
  ApplyMode(rs, exact);
  matching::SilentProgressUi ui;
  const double cpu0 = ProcessorSeconds();
  const auto t0 = Clock::now();
  app::RunFindingPhase(rs, ui, pictures, parameters);
  if (rs.CancelRequested) throw std::runtime_error("the finding phase was stopped");
  const auto t1 = Clock::now();
  // As the command-line tool's stitch: the panorama goes to the file band by band.
  app::PanoramaFileWriter writer((folder / (exact ? "panorama-exact.jpg" : "panorama-default.jpg")).string());
  app::RunConstructionPhase(rs, ui, writer.Sink());
  const auto t2 = Clock::now();
  writer.Commit(app::TrailerOfRun(rs));
  const auto t3 = Clock::now();
  const double cpu = ProcessorSeconds() - cpu0;
  const double peak = PeakMegabytes();

  const SetGeometry truth = set.Geometry();
  Json connections = Json::array();
  for (const ConnectionCheck& c : CheckConnections(rs)) {
    const ConnectionError e = MeasureConnection(rs, truth, c.Left, c.Right);
    connections.push_back(Json{{"left", c.Left},
                               {"right", c.Right},
                               {"points", e.Points},
                               {"sum_squares", e.SumSquares},
                               {"floor_squares", e.FloorSquares},
                               {"max_px", e.Max},
                               {"residual_cells", c.ResidualCells},
                               {"flagged", IsFlagged(c)}});
  }
  const Json result{{"connections", connections},
                    {"rescued", RescuedConnections(rs)},
                    {"finding_s", Seconds(t0, t1)},
                    {"construction_s", Seconds(t1, t2)},
                    {"total_s", Seconds(t0, t3)},
                    {"processor_s", cpu},
                    {"peak_mb", peak},
                    {"panorama", {rs.Panorama.Width, rs.Panorama.Height}}};
  std::ofstream out(resultFile);
  out << result.dump(1) << '\n';
  return out ? 0 : 1;
}

// ---- Parent: render, run the children, print.

// Renders the set unless the work folder holds it already as the recipe
// makes it now.
fs::path EnsureSet(const std::string& name, const fs::path& photos, const fs::path& work) {
  const std::optional<SetRecipe> found = FindStudySet(name);
  if (!found) {
    std::string names;
    for (const std::string& n : StudySetNames()) names += " " + n;
    throw std::invalid_argument("unknown study set \"" + name + "\"; the sets are:" + names);
  }
  SetRecipe recipe = *found;
  const fs::path folder = work / name;
  SampleSet planned = PlanSet(recipe);
  try {
    const SampleSet existing = LoadTruthFile((folder / kTruthFileName).string());
    planned.PhotoSize = existing.PhotoSize;
    bool complete = TruthText(existing) == TruthText(planned);
    for (const SamplePicture& p : existing.Pictures) complete = complete && fs::is_regular_file(folder / p.File);
    if (complete) return folder;
  } catch (const TruthFileError&) {
    // Missing or unreadable: render it.
  }
  std::printf("rendering %s ...\n", name.c_str());
  std::fflush(stdout);
  const auto start = Clock::now();
  const Scene scene =
      Scene::Load((photos / recipe.Photo).string(), recipe.Scene.Reduction, planned.Scene.Span, planned.Scene.Mirrored);
  WriteSampleSet(planned, scene, folder.string());
  std::printf("  %zu pictures of %d x %d in %.1f s\n", planned.Pictures.size(), planned.Camera.Size.X,
              planned.Camera.Size.Y, Seconds(start, Clock::now()));
  return folder;
}

std::optional<Json> RunInChild(const fs::path& self, const fs::path& folder, bool exact, const fs::path& paramsFile) {
  const fs::path resultFile = folder / (exact ? "result-exact.json" : "result-default.json");
  fs::remove(resultFile);
  std::vector<std::string> args{self.string(), "--child",       folder.string(), "--mode", exact ? "exact" : "default",
                                "--params",    paramsFile.string(), "--result",      resultFile.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + self.string());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::ifstream in(resultFile);
  return Json::parse(in);
}

struct Row {
  std::string Set, Mode;
  bool Failed = false;
  int Connections = 0, Flagged = 0, Bad = 0, Rescued = 0;
  double Rms = 0, Max = 0, Floor = 0, WorstRms = 0, WorstCells = 0, Finding = 0, Total = 0, Processor = 0, Peak = 0;
  std::string Worst;
  bool WorstFlagged = false;
};

Row Summarise(const std::string& set, const std::string& mode, const Json& r, bool listConnections) {
  Row row;
  row.Set = set;
  row.Mode = mode;
  double squares = 0.0, floor = 0.0;
  long points = 0;
  for (const Json& c : r.at("connections")) {
    const int n = c.at("points");
    const double sum = c.at("sum_squares"), max = c.at("max_px"), cells = c.at("residual_cells");
    const bool flagged = c.at("flagged");
    const double rms = n > 0 ? std::sqrt(sum / n) : 0.0;
    const std::string name = std::to_string(c.at("left").get<int>() + 1) + "-" + std::to_string(c.at("right").get<int>() + 1);
    if (listConnections)
      std::printf("    %-15s %-7s %5s  rms %7.2f px  max %7.2f px  residual %5.2f cells%s\n", set.c_str(), mode.c_str(),
                  name.c_str(), rms, max, cells, flagged ? "  flagged" : "");
    ++row.Connections;
    squares += sum;
    floor += c.at("floor_squares").get<double>();
    points += n;
    row.Max = std::max(row.Max, max);
    if (flagged) ++row.Flagged;
    if (!flagged && rms > kBadPixels) ++row.Bad;
    if (row.Worst.empty() || rms > row.WorstRms) {
      row.Worst = name;
      row.WorstRms = rms;
      row.WorstCells = cells;
      row.WorstFlagged = flagged;
    }
  }
  row.Rms = points > 0 ? std::sqrt(squares / static_cast<double>(points)) : 0.0;
  row.Floor = points > 0 ? std::sqrt(floor / static_cast<double>(points)) : 0.0;
  row.Rescued = r.at("rescued");
  row.Finding = r.at("finding_s");
  row.Total = r.at("total_s");
  row.Processor = r.at("processor_s");
  row.Peak = r.at("peak_mb");
  return row;
}

void PrintHeader() {
  std::printf("%-15s %-7s %5s %7s %7s %6s | %-5s %7s %6s %4s | %4s %4s %4s | %6s %6s %6s %7s\n", "set", "mode", "conn",
              "rms px", "max px", "floor", "worst", "rms px", "cells", "flag", "flgd", "bad", "resc", "time s", "find s",
              "cpu s", "peak MB");
}

void PrintRow(const Row& r) {
  if (r.Failed) {
    std::printf("%-15s %-7s  run failed\n", r.Set.c_str(), r.Mode.c_str());
    return;
  }
  std::printf("%-15s %-7s %5d %7.2f %7.2f %6.2f | %-5s %7.2f %6.2f %4s | %4d %4d %4d | %6.2f %6.2f %6.2f %7.0f\n",
              r.Set.c_str(), r.Mode.c_str(), r.Connections, r.Rms, r.Max, r.Floor, r.Worst.c_str(), r.WorstRms,
              r.WorstCells, r.WorstFlagged ? "yes" : "no", r.Flagged, r.Bad, r.Rescued, r.Total, r.Finding, r.Processor,
              r.Peak);
}

int RunParent(int argc, char** argv) {
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  fs::path work = fs::temp_directory_path() / "vistarium-accuracy-sets";
  fs::path paramsFile = fs::path(VISTARIUM_SOURCE_DIR) / "Options" / "CurrentParameters.spr";
  std::vector<std::string> sets = StudySetNames();
  bool quick = false, exactOnly = false, defaultOnly = false, listConnections = false, chosen = false;
  std::string method;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--sets") sets = Split(value()), chosen = true;
    else if (a == "--quick") quick = true;
    else if (a == "--exact-only") exactOnly = true;
    else if (a == "--default-only") defaultOnly = true;
    else if (a == "--work") work = value();
    else if (a == "--photos") photos = value();
    else if (a == "--params") paramsFile = value();
    else if (a == "--connections") listConnections = true;
    else if (a == "--method") method = value();
    else
      throw std::invalid_argument("unknown option " + a +
                                  "\nusage: accuracy_bench [--sets NAME,...] [--quick] [--exact-only] [--default-only] "
                                  "[--work FOLDER] [--photos FOLDER] [--params FILE.spr] [--method SIZE:WIDTH] "
                                  "[--connections]");
  }
  if (exactOnly && defaultOnly) throw std::invalid_argument("--exact-only and --default-only exclude each other");
  if (quick && !chosen) sets = {"open-aitz", "circle-picos", "handheld-aitz", "pair66-tilted"};
  std::vector<bool> modes;
  if (!exactOnly) modes.push_back(false);
  if (!defaultOnly) modes.push_back(true);

  fs::create_directories(work);
  if (!method.empty()) {
    // The parameters with another minimal size and overlap width, in a
    // parameter file of their own that every run reads.
    int size = 0, width = 0;
    char rest = 0;
    if (std::sscanf(method.c_str(), "%d:%d%c", &size, &width, &rest) != 2 || !params::IsAcceptedMinimalSizeEntry(size) ||
        !params::IsAcceptedPercent(width))
      throw std::invalid_argument("--method needs MINIMAL_SIZE:OVERLAP_WIDTH, e.g. 300:75, not \"" + method + "\"");
    params::ParameterSets changed = params::LoadParameterFile(paramsFile);
    changed.Method.MinReducedHalfSize = params::HalfSizeFromEntry(size);
    changed.TwoPic.OverlapWidthPercent = width;
    paramsFile = work / ("parameters-" + std::to_string(size) + "-" + std::to_string(width) + ".spr");
    params::SaveParameterFile(paramsFile, changed);
  }
  {
    const params::ParameterSets p = params::LoadParameterFile(paramsFile);
    std::printf("Parameters: %s: minimal size %d, quality %d, smoothing %d, overlap width %d %%\n",
                paramsFile.string().c_str(), 2 * p.Method.MinReducedHalfSize, p.Method.QualityCoefficient,
                p.Method.PreliminarySmoothing, p.TwoPic.OverlapWidthPercent);
  }
  std::printf("Load average at the start: %s; sets in %s\n", LoadAverage().c_str(), work.string().c_str());
  std::vector<fs::path> folders;
  for (const std::string& s : sets) folders.push_back(EnsureSet(s, photos, work));

  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::vector<Row> rows;
  if (listConnections) std::printf("\nConnections (error in pixels of the right picture):\n");
  for (std::size_t k = 0; k < sets.size(); ++k)
    for (const bool exact : modes) {
      const std::string mode = exact ? "exact" : "default";
      const std::optional<Json> result = RunInChild(self, folders[k], exact, paramsFile);
      if (!result) {
        Row failed;
        failed.Set = sets[k];
        failed.Mode = mode;
        failed.Failed = true;
        rows.push_back(failed);
        continue;
      }
      rows.push_back(Summarise(sets[k], mode, *result, listConnections));
      if (!listConnections) {
        PrintRow(rows.back());
        std::fflush(stdout);
      }
    }

  std::printf("\nAlignment error against the true rotations, in picture pixels (see the file header):\n");
  PrintHeader();
  for (const Row& r : rows) PrintRow(r);
  std::printf("rms/max: over all overlap points of all connections; floor: the camera model's own share;\n"
              "worst: the connection of largest rms, its residual and whether the check named it;\n"
              "flgd: connections named unreliable; bad: unnamed connections off by more than %.0f px rms;\n"
              "resc: connections rescued; time: files to saved panorama (find: of it the finding phase),\n"
              "cpu: processor seconds of the run, all threads; peak: the run's resident high-water mark\n",
              kBadPixels);
  std::printf("Load average at the end: %s\n", LoadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 9 && std::string(argv[1]) == "--child") {
    // --child FOLDER --mode exact|default --params FILE --result FILE
    return RunChild(argv[2], std::string(argv[4]) == "exact", argv[6], argv[8]);
  }
  return RunParent(argc, argv);
} catch (const std::exception& e) {
  std::fprintf(stderr, "accuracy_bench: %s\n", e.what());
  return 1;
}
