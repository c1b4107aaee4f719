// Compares candidate matching parameters on a battery of rendered picture
// pairs with known geometry, to choose the delivered defaults.
//
//   defaults_study [--photos FOLDER] [--quick] [--limit N] [--seed N] [--batteries N]
//                  [--candidates SIZE:QUALITY:SMOOTHING:WIDTH,...] [--budget SECONDS]
//                  [--prune SECONDS] [--list-all] [--keep] [--work FOLDER] [--families LIST]
//
// The plan of cases is drawn --batteries times (default 2, 48 pairs each),
// with other tilts and aims each time; --seed starts another series of
// draws. --quick keeps one lens per combination (24 pairs a battery).
// --candidates runs only the listed parameter sets (minimal size in full,
// e.g. 300:50:1:45) instead of the grid and its quality variants.
// --list-all lists the wrong pairs of every candidate.
//
// Every case is a two-picture open set rendered from one of the photos (all
// three are used) with a known overlap of the centre row, pitch and roll of
// each picture within +-2 degrees, landscape or portrait pictures, a 28 mm or
// a 20 mm lens and no or a small aberration.
//
// --families chooses the families of cases, each a full plan of its own
// (comma-separated; default "plain", the plan above):
//   plain     as above, overlaps 25 to 40 %;
//   handheld  hand-held pictures: pitch and roll within +-4 degrees, yaw
//             moved within +-2 degrees, exposures within +-0.5 stops, colour
//             casts within +-4 %, sensor noise of 2.5 levels;
//   wide      large overlaps of 50, 60, 65 and 70 %;
//   tilted    both pictures pitched up 8 degrees (+-2), as a row shot
//             upwards.
// Cases of the other families carry the family in their name, and the
// tallies by case property count them apart. The pictures are written as
// JPEG (quality 90) into a temporary folder, because the matching reads
// files. Every candidate parameter set then matches every pair.
//
// Per pair and candidate:
// - the time of the pair matching itself (both searches), without decoding
//   the pictures and building their working pictures, which is timed apart;
// - the error of each of the three connection points: the distance, in
//   full-size pixels of the right picture, between the true position of the
//   left point and the point found; and the same error as an angle in
//   working-grid cells (one cell = WorkingScale panorama pixels, which near
//   the picture centre is WorkingScale picture pixels);
// - the pair is wrong when its largest point error exceeds 3 cells.
//
// The table's error figures are statistics over the pairs' largest point
// errors. Candidates whose mean matching time over the first cases exceeds
// the pruning limit are not run on the rest. The best candidate is the one
// with the fewest wrong pairs among those whose mean time per pair stays
// within the budget (then the smaller 90th percentile, median, and time);
// the quality coefficients 30 and 70 are then tried with its other values.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/run_state.h"
#include "matching/all_pairs.h"
#include "matching/pair_matching.h"
#include "matching/preparation.h"
#include "run/progress.h"
#include "params/parameter_sets.h"
#include "sample_set.h"
#include "measure.h"

namespace fs = std::filesystem;
using namespace vistarium;
using namespace vistarium::samples;

namespace {

using namespace vistarium::bench;


// A small deterministic generator, so that every run renders the same cases.
class Numbers {
public:
  explicit Numbers(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * static_cast<double>(Next() >> 11) * 0x1.0p-53; }

private:
  std::uint64_t state_;
};

struct PhotoSpec {
  const char* Short;
  const char* File;
  double Span;
};

const PhotoSpec kPhotos[] = {
    {"aitz", "aitzgorri_by_Aitzol_Berasategi.jpg", 220.0},
    {"picos", "picosdeeuropa_by_Aitzol_Berasategi.jpg", 210.0},
    {"sunset", "sunset_by_Aitzol_Berasategi.jpg", 180.0},
};

struct Lens {
  double Focal;
  double Aberration;
};
const Lens kLenses[] = {{28.0, 0.0}, {28.0, -0.02}, {20.0, 0.0}, {20.0, -0.02}};
const int kOverlaps[] = {25, 30, 35, 40};

struct Case {
  std::string Family;  // "plain", "handheld", "wide" or "tilted"
  int Battery = 0;     // which draw of the plan
  std::string Name;
  std::string Folder;
  SampleSet Set;
  double CentreRowOverlap = 0.0;  // measured from the geometry
  std::vector<std::string> Files;
};

struct Candidate {
  int HalfSize = 200;
  int Quality = 50;
  int Smoothing = 1;
  int OverlapWidth = 45;
  std::string Label() const {
    char text[64];
    std::snprintf(text, sizeof text, "size %3d q%2d s%d cw%2d", 2 * HalfSize, Quality, Smoothing, OverlapWidth);
    return text;
  }
  bool IsDelivered() const { return HalfSize == 200 && Quality == 50 && Smoothing == 1 && OverlapWidth == 45; }
};

struct PairResult {
  double MatchSeconds = 0.0;
  double MatchProcessorSeconds = 0.0;
  double PrepareSeconds = 0.0;
  double MaxPixels = 0.0;
  double MaxCells = 0.0;
  int WorstPoint = 0;
  double CellPixels = 1.0;  // WorkingScale
};

struct CandidateRun {
  Candidate Params;
  bool Pruned = false;
  std::vector<PairResult> Pairs;  // one per case, in case order, until pruned
};

std::string FormatAngle(double v) {
  char text[16];
  std::snprintf(text, sizeof text, "%+.1f", v);
  return text;
}

const char* const kFamilies[] = {"plain", "handheld", "wide", "tilted"};

std::vector<Case> RenderCases(const fs::path& photos, const fs::path& work, bool quick, int limit, std::uint64_t seed,
                              int batteries, const std::vector<std::string>& families) {
  std::vector<Case> cases;
  std::vector<Scene> scenes;
  for (const PhotoSpec& photo : kPhotos)
    scenes.push_back(Scene::Load((photos / photo.File).string(), 1, photo.Span, false));
  int index = 0;
  for (const std::string& family : families) {
    const auto known = std::find(std::begin(kFamilies), std::end(kFamilies), family);
    if (known == std::end(kFamilies)) throw std::invalid_argument("unknown case family \"" + family + "\"");
    const auto familyIndex = static_cast<std::uint64_t>(known - std::begin(kFamilies));
    const bool handHeld = family == "handheld", wide = family == "wide", tilted = family == "tilted";
    const int wideOverlaps[] = {50, 60, 65, 70};
    const int* overlaps = wide ? wideOverlaps : kOverlaps;
    for (int battery = 0; battery < batteries; ++battery) {
      // The plain family draws exactly as it always has.
      Numbers numbers(seed + static_cast<std::uint64_t>(battery) + 1000 * familyIndex);
      for (int p = 0; p < 3; ++p) {
        const PhotoSpec& photo = kPhotos[p];
        const Scene& scene = scenes[static_cast<std::size_t>(p)];
        for (int portrait = 0; portrait < 2; ++portrait)
          for (int o = 0; o < 4; ++o) {
            // Each (photo, orientation, overlap) gets one 28 mm and one 20 mm
            // lens; the aberration alternates between the combinations.
            const int first = (p + portrait + o) % 4;
            std::vector<int> lenses{first, (first + 2) % 4};
            if (quick) lenses.resize(1);
            for (int lensIndex : lenses) {
              if (limit > 0 && static_cast<int>(cases.size()) >= limit) return cases;
              const Lens lens = kLenses[lensIndex];
              SetRecipe recipe;
              recipe.Photo = (photos / photo.File).string();
              recipe.Scene = {"", 1, photo.Span, false};
              recipe.Camera.Size = portrait ? TPoint{768, 1024} : TPoint{1024, 768};
              recipe.Camera.FocalLength = lens.Focal;
              recipe.Camera.Aberration = lens.Aberration;
              recipe.Count = 2;
              recipe.Overlap = overlaps[o] / 100.0;
              const double tilt = handHeld ? 4.0 : 2.0, up = tilted ? 8.0 : 0.0;
              recipe.Pitch = {up + numbers.Uniform(-tilt, tilt), up + numbers.Uniform(-tilt, tilt)};
              recipe.Roll = {numbers.Uniform(-tilt, tilt), numbers.Uniform(-tilt, tilt)};
              recipe.JpegQuality = 90;
              if (handHeld) {
                recipe.YawJitter = 2.0;
                recipe.GainSpread = 0.5;
                recipe.CastSpread = 0.04;
                recipe.NoiseSigma = 2.5;
                recipe.Seed = numbers.Next();
              }
              char name[96];
              if (family == "plain")
                std::snprintf(name, sizeof name, "c%02d_%s_%s_f%02.0f_k%s_ov%d", index, photo.Short,
                              portrait ? "P" : "L", lens.Focal, lens.Aberration == 0.0 ? "0" : "-.02", overlaps[o]);
              else
                std::snprintf(name, sizeof name, "c%02d_%s_%s_f%02.0f_k%s_%s_ov%d", index, photo.Short,
                              portrait ? "P" : "L", lens.Focal, lens.Aberration == 0.0 ? "0" : "-.02", family.c_str(),
                              overlaps[o]);
              recipe.Name = name;

              // Aim the pair somewhere in the photo, nearer its middle when the
              // first choice would see past its border.
              const double wanted = numbers.Uniform(-25, 25);
              std::optional<SampleSet> chosen;
              for (double scale : {1.0, 0.5, 0.25, 0.0}) {
                recipe.YawOffset = wanted * scale;
                SampleSet set = PlanSet(recipe);
                if (SeesOnlyPhoto(scene, set.Geometry())) {
                  chosen = std::move(set);
                  break;
                }
              }
              if (!chosen) throw std::runtime_error(std::string("case ") + name + " sees past the photo");

              Case c;
              c.Family = family;
              c.Battery = battery;
              c.Name = name;
              c.Folder = (work / name).string();
              c.Set = *chosen;
              WriteSampleSet(c.Set, scene, c.Folder);
              c.CentreRowOverlap = c.Set.Geometry().CentreRowOverlap(0, 1);
              for (const SamplePicture& pic : c.Set.Pictures)
                c.Files.push_back((fs::path(c.Folder) / pic.File).string());
              cases.push_back(std::move(c));
              ++index;
            }
          }
      }
    }
  }
  return cases;
}

double AngleBetween(const Vec3& a, const Vec3& b) {
  const Vec3 c{a.Y * b.Z - a.Z * b.Y, a.Z * b.X - a.X * b.Z, a.X * b.Y - a.Y * b.X};
  const double cross = std::sqrt(c.X * c.X + c.Y * c.Y + c.Z * c.Z);
  const double dot = a.X * b.X + a.Y * b.Y + a.Z * b.Z;
  return std::atan2(cross, dot);
}

PairResult MatchCase(const Case& c, const Candidate& cand) {
  params::ParameterSets parameters;
  parameters.Camera = {"study", c.Set.Camera.FocalLength, c.Set.Camera.Aberration};
  parameters.Method = {cand.HalfSize, cand.Quality, cand.Smoothing};
  parameters.TwoPic = {cand.OverlapWidth, 15, 3, 5, 5};
  TPictureSetData pictures;
  pictures.Count = static_cast<std::int32_t>(c.Files.size());
  pictures.FileNames = c.Files;
  pictures.Is360 = false;

  // The finding phase of a two-picture set, as the pipeline runs it, with
  // the preparation of the working pictures timed apart from the matching.
  RunState rs;
  matching::SilentProgressUi ui;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  matching::EstimateFindingWork(rs);
  matching::ReportFindingProgress(rs, ui, 0.0);
  DeviceBitmap source;
  rs.CurrentPairIndex = 0;
  const auto t0 = Clock::now();
  matching::PrepareWorkingPicture(rs, 0, source, rs.LeftWorking);
  matching::PrepareWorkingPicture(rs, 1, source, rs.RightWorking);
  const auto t1 = Clock::now();
  const double c1 = ProcessorSeconds();
  const matching::PairMatch match = matching::MatchPair(rs, ui, rs.LeftWorking, rs.RightWorking);
  const double c2 = ProcessorSeconds();
  const auto t2 = Clock::now();
  if (match.Cancelled || rs.CancelRequested) throw std::runtime_error("matching of " + c.Name + " was cancelled");
  matching::StoreConnection(rs, 0, 1, match.Left, match.Right);

  PairResult r;
  r.PrepareSeconds = Seconds(t0, t1);
  r.MatchSeconds = Seconds(t1, t2);
  r.MatchProcessorSeconds = c2 - c1;
  r.CellPixels = rs.Projection.WorkingScale;
  const double cellAngle = rs.Projection.WorkingScale * rs.Projection.AngleStep;
  const SetGeometry g = c.Set.Geometry();
  const TConnectionSide& left = rs.Geometry[0].RightConnection;
  const TConnectionSide& right = rs.Geometry[1].LeftConnection;
  for (int k = 0; k < 3; ++k) {
    const Vec3 seen = g.WorldDirection(0, left.ImagePoints[static_cast<std::size_t>(k)]);
    const std::optional<TRealPoint> truth = g.ProjectToPicture(1, seen);
    double px = std::numeric_limits<double>::infinity();
    if (truth) px = std::hypot(truth->X - right.ImagePoints[static_cast<std::size_t>(k)].X,
                               truth->Y - right.ImagePoints[static_cast<std::size_t>(k)].Y);
    const double cells = AngleBetween(seen, g.WorldDirection(1, right.ImagePoints[static_cast<std::size_t>(k)])) / cellAngle;
    if (k == 0 || cells > r.MaxCells) r.WorstPoint = k;
    r.MaxPixels = std::max(r.MaxPixels, px);
    r.MaxCells = std::max(r.MaxCells, cells);
  }
  return r;
}

constexpr double kWrongCells = 3.0;

struct Summary {
  int Pairs = 0;
  int Wrong = 0;
  double MedianPx = 0, P90Px = 0, MaxPx = 0, MedianCells = 0, P90Cells = 0, MeanTime = 0, MeanPrepare = 0;
  double LandscapeTime = 0, SlowestTime = 0;  // mean over landscape pairs; slowest pair
  double MeanProcessor = 0;                   // processor seconds per pair, all threads
  std::vector<int> WrongByBattery;
};

double Percentile(std::vector<double> v, double share) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

Summary Summarise(const CandidateRun& run, const std::vector<Case>& cases) {
  Summary s;
  std::vector<double> px, cells;
  int landscape = 0;
  for (std::size_t i = 0; i < run.Pairs.size(); ++i) {
    const PairResult& r = run.Pairs[i];
    if (cases[i].Set.Camera.Size.X > cases[i].Set.Camera.Size.Y) {
      s.LandscapeTime += r.MatchSeconds;
      ++landscape;
    }
    s.SlowestTime = std::max(s.SlowestTime, r.MatchSeconds);
    ++s.Pairs;
    const auto battery = static_cast<std::size_t>(cases[i].Battery);
    if (s.WrongByBattery.size() <= battery) s.WrongByBattery.resize(battery + 1, 0);
    if (r.MaxCells > kWrongCells) {
      ++s.Wrong;
      ++s.WrongByBattery[battery];
    }
    s.MeanProcessor += r.MatchProcessorSeconds;
    px.push_back(r.MaxPixels);
    cells.push_back(r.MaxCells);
    s.MeanTime += r.MatchSeconds;
    s.MeanPrepare += r.PrepareSeconds;
  }
  if (s.Pairs > 0) {
    s.MeanTime /= s.Pairs;
    s.MeanPrepare /= s.Pairs;
    s.MeanProcessor /= s.Pairs;
  }
  if (landscape > 0) s.LandscapeTime /= landscape;
  s.MedianPx = Percentile(px, 0.5);
  s.P90Px = Percentile(px, 0.9);
  s.MaxPx = px.empty() ? 0.0 : *std::max_element(px.begin(), px.end());
  s.MedianCells = Percentile(cells, 0.5);
  s.P90Cells = Percentile(cells, 0.9);
  return s;
}

// Fewer wrong pairs first, then smaller errors, then less time.
bool Better(const Summary& a, const Summary& b) {
  if (a.Wrong != b.Wrong) return a.Wrong < b.Wrong;
  if (a.P90Px != b.P90Px) return a.P90Px < b.P90Px;
  if (a.MedianPx != b.MedianPx) return a.MedianPx < b.MedianPx;
  return a.MeanTime < b.MeanTime;
}

int RunCandidate(CandidateRun& run, const std::vector<Case>& cases, int pruneAfter, double pruneSeconds) {
  double total = 0.0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    run.Pairs.push_back(MatchCase(cases[i], run.Params));
    total += run.Pairs.back().MatchSeconds;
    if (static_cast<int>(i) + 1 == pruneAfter && total / pruneAfter > pruneSeconds && i + 1 < cases.size()) {
      run.Pruned = true;
      break;
    }
  }
  const Summary s = Summarise(run, cases);
  std::printf("  %-22s %3d pairs, %2d wrong, mean %.3f s/pair%s\n", run.Params.Label().c_str(), s.Pairs, s.Wrong,
              s.MeanTime, run.Pruned ? "  (pruned: too slow)" : "");
  std::fflush(stdout);
  return s.Pairs;
}

void PrintWrongPairs(const CandidateRun& run, const std::vector<Case>& cases) {
  std::printf("\nWrong pairs of %s (largest point error > %.0f cells):\n", run.Params.Label().c_str(), kWrongCells);
  const char* pointNames[] = {"line start", "line end", "anchor"};
  int n = 0;
  for (std::size_t i = 0; i < run.Pairs.size(); ++i) {
    const PairResult& r = run.Pairs[i];
    if (r.MaxCells <= kWrongCells) continue;
    const Case& c = cases[i];
    const Rotation& a = c.Set.Pictures[0].Orientation;
    const Rotation& b = c.Set.Pictures[1].Orientation;
    std::printf("  %-28s overlap %4.1f %%  pitch %s/%s roll %s/%s  max %8.1f px %7.1f cells (worst: %s)\n",
                c.Name.c_str(), 100.0 * c.CentreRowOverlap, FormatAngle(a.Pitch).c_str(),
                FormatAngle(b.Pitch).c_str(), FormatAngle(a.Roll).c_str(), FormatAngle(b.Roll).c_str(), r.MaxPixels,
                r.MaxCells, pointNames[r.WorstPoint]);
    ++n;
  }
  if (n == 0) std::printf("  none\n");
}

// Wrong pairs of a candidate split by the properties of the cases.
void PrintWrongByFactor(const CandidateRun& run, const std::vector<Case>& cases) {
  std::map<std::string, std::pair<int, int>> tally;  // factor -> (wrong, pairs)
  for (std::size_t i = 0; i < run.Pairs.size(); ++i) {
    const Case& c = cases[i];
    const bool wrong = run.Pairs[i].MaxCells > kWrongCells;
    const std::string name = c.Name;
    std::vector<std::string> keys;
    const std::size_t from = name.find('_') + 1;
    keys.push_back("photo " + name.substr(from, name.find('_', from) - from));
    keys.push_back(c.Set.Camera.Size.X > c.Set.Camera.Size.Y ? "landscape" : "portrait");
    keys.push_back(c.Set.Camera.FocalLength < 24 ? "20 mm" : "28 mm");
    keys.push_back(c.Set.Camera.Aberration == 0.0 ? "aberration 0" : "aberration -0.02");
    keys.push_back("overlap " + name.substr(name.rfind("ov") + 2) + " %");
    if (c.Family != "plain") keys.push_back("family " + c.Family);
    for (const std::string& k : keys) {
      tally[k].first += wrong ? 1 : 0;
      tally[k].second += 1;
    }
  }
  std::printf("Wrong pairs of %s by case property:", run.Params.Label().c_str());
  for (const auto& [k, v] : tally) std::printf("  %s %d/%d;", k.c_str(), v.first, v.second);
  std::printf("\n");
}

// "300:50:1:45,400:50:1:45": minimal size (in full), quality, smoothing and
// overlap width of each candidate.
std::vector<Candidate> ParseCandidates(const std::string& text) {
  std::vector<Candidate> list;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t end = std::min(text.find(',', pos), text.size());
    const std::string item = text.substr(pos, end - pos);
    int size = 0, q = 0, s = 0, cw = 0;
    char rest = 0;
    if (std::sscanf(item.c_str(), "%d:%d:%d:%d%c", &size, &q, &s, &cw, &rest) != 4)
      throw std::invalid_argument("--candidates needs SIZE:QUALITY:SMOOTHING:WIDTH items, not \"" + item + "\"");
    list.push_back({params::HalfSizeFromEntry(size), q, s, cw});
    pos = end + 1;
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  fs::path work;
  bool quick = false, keep = false;
  int limit = 0;
  double budget = 1.0, pruneSeconds = 2.0;
  std::uint64_t seed = 20240611;
  int batteries = 2;
  bool listAll = false;
  std::vector<Candidate> chosenCandidates;
  std::vector<std::string> families{"plain"};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--photos") photos = value();
    else if (a == "--work") work = value();
    else if (a == "--quick") quick = true;
    else if (a == "--keep") keep = true;
    else if (a == "--limit") limit = std::stoi(value());
    else if (a == "--budget") budget = std::stod(value());
    else if (a == "--prune") pruneSeconds = std::stod(value());
    else if (a == "--seed") seed = std::stoull(value());
    else if (a == "--batteries") batteries = std::stoi(value());
    else if (a == "--list-all") listAll = true;
    else if (a == "--candidates") chosenCandidates = ParseCandidates(value());
    else if (a == "--families") {
      families.clear();
      std::stringstream list(value());
      std::string item;
      while (std::getline(list, item, ','))
        if (!item.empty()) families.push_back(item);
    }
    else {
      std::fprintf(stderr,
                   "usage: defaults_study [--photos FOLDER] [--quick] [--limit N] [--seed N] [--batteries N] "
                   "[--candidates SIZE:Q:S:W,...] [--budget S] [--prune S] [--list-all] [--keep] "
                   "[--work FOLDER] [--families plain,handheld,wide,tilted]\n");
      return 2;
    }
  }
  const bool ownWork = work.empty();
  if (ownWork) {
    work = fs::temp_directory_path() /
           ("vistarium_defaults_study_" + std::to_string(Clock::now().time_since_epoch().count()));
  }
  fs::create_directories(work);

  const auto start = Clock::now();
  std::printf("Load average at the start: %s\n", LoadAverage().c_str());
  std::printf("Rendering the cases into %s ...\n", work.string().c_str());
  std::fflush(stdout);
  const std::vector<Case> cases = RenderCases(photos, work, quick, limit, seed, batteries, families);
  const auto rendered = Clock::now();
  std::printf("%zu cases (two-picture sets, JPEG quality 90) rendered in %.1f s\n", cases.size(),
              Seconds(start, rendered));
  for (const Case& c : cases) {
    const Rotation& a = c.Set.Pictures[0].Orientation;
    const Rotation& b = c.Set.Pictures[1].Orientation;
    std::printf("  %-28s yaw %+6.1f/%+6.1f pitch %s/%s roll %s/%s  centre-row overlap %4.1f %%\n", c.Name.c_str(),
                a.Yaw, b.Yaw, FormatAngle(a.Pitch).c_str(), FormatAngle(b.Pitch).c_str(), FormatAngle(a.Roll).c_str(),
                FormatAngle(b.Roll).c_str(), 100.0 * c.CentreRowOverlap);
  }

  // The grid of candidates; vertical shift 15, angle 3 and both length
  // differences 5 throughout.
  std::vector<CandidateRun> runs;
  if (chosenCandidates.empty()) {
    for (int smoothing : {0, 1})
      for (int half : {100, 150, 200})
        for (int cw : {35, 45, 55}) runs.push_back({{half, 50, smoothing, cw}, false, {}});
  } else {
    for (const Candidate& c : chosenCandidates) runs.push_back({c, false, {}});
  }

  const int pruneAfter = std::min<int>(3, static_cast<int>(cases.size()));
  std::printf("\nMatching (%zu candidates x %zu pairs):\n", runs.size(), cases.size());
  for (CandidateRun& run : runs) RunCandidate(run, cases, pruneAfter, pruneSeconds);

  auto bestOf = [&](const std::vector<CandidateRun>& all) -> std::optional<std::size_t> {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].Pruned) continue;
      const Summary s = Summarise(all[i], cases);
      if (s.MeanTime > budget) continue;
      if (!best || Better(s, Summarise(all[*best], cases))) best = i;
    }
    return best;
  };

  const std::optional<std::size_t> gridBest = bestOf(runs);
  if (!chosenCandidates.empty()) {
    // Only the listed candidates.
  } else if (gridBest) {
    const Candidate base = runs[*gridBest].Params;
    std::printf("Best of the grid within %.2f s/pair: %s; trying quality 30 and 70 with it:\n", budget,
                base.Label().c_str());
    for (int q : {30, 70}) {
      Candidate c = base;
      c.Quality = q;
      runs.push_back({c, false, {}});
      RunCandidate(runs.back(), cases, pruneAfter, pruneSeconds);
    }
  } else {
    std::printf("No candidate of the grid stays within %.2f s/pair.\n", budget);
  }

  std::printf("\nPair matching on %zu cases; errors are each pair's largest point error; "
              "wrong = largest error > %.0f cells;\ntime = both searches of the pair (decoding and working pictures "
              "not included: 'prep s' is that, for both pictures);\nland s = mean time of the landscape pairs, "
              "slowest = the slowest pair; cpu s = processor time per pair, both threads;\n"
              "wrong per battery in brackets; * = delivered defaults\n\n",
              cases.size(), kWrongCells);
  std::printf("%-24s | %5s | %-11s | %9s | %9s | %9s | %9s | %9s | %7s | %7s | %7s | %7s\n", "candidate", "pairs",
              "wrong", "median px", "p90 px", "max px", "med cells", "s/pair", "prep s", "land s", "slowest", "cpu s");
  std::printf("%s\n", std::string(24 + 5 + 11 + 9 * 5 + 7 * 4 + 3 * 11, '-').c_str());
  for (const CandidateRun& run : runs) {
    const Summary s = Summarise(run, cases);
    std::string wrong = std::to_string(s.Wrong);
    if (s.WrongByBattery.size() > 1) {
      wrong += " (";
      for (std::size_t b = 0; b < s.WrongByBattery.size(); ++b) {
        if (b > 0) wrong += '+';
        wrong += std::to_string(s.WrongByBattery[b]);
      }
      wrong += ")";
    }
    std::printf("%-22s%s | %5d | %-11s | %9.2f | %9.2f | %9.1f | %9.2f | %9.3f | %7.3f | %7.3f | %7.3f | %7.3f%s\n",
                run.Params.Label().c_str(), run.Params.IsDelivered() ? " *" : "  ", s.Pairs, wrong.c_str(),
                s.MedianPx, s.P90Px, s.MaxPx, s.MedianCells, s.MeanTime, s.MeanPrepare, s.LandscapeTime,
                s.SlowestTime, s.MeanProcessor, run.Pruned ? "  pruned" : "");
  }

  const std::optional<std::size_t> best = bestOf(runs);
  if (best) {
    std::printf("\nChosen best within %.2f s/pair: %s\n", budget, runs[*best].Params.Label().c_str());
    PrintWrongPairs(runs[*best], cases);
    PrintWrongByFactor(runs[*best], cases);
  }
  for (const CandidateRun& run : runs)
    if ((listAll || run.Params.IsDelivered()) && (!best || &run != &runs[*best])) {
      PrintWrongPairs(run, cases);
      PrintWrongByFactor(run, cases);
    }

  if (ownWork && !keep) fs::remove_all(work);
  else std::printf("\nThe rendered cases stay in %s\n", work.string().c_str());
  std::printf("\nTotal run time %.1f s (rendering %.1f s); load average at the end: %s\n",
              Seconds(start, Clock::now()), Seconds(start, rendered), LoadAverage().c_str());
  return 0;
}
