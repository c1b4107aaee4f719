// Real photograph sets, files to panorama, measured by matches that do not
// come from the program: per set the calibrated camera, how far the
// panorama puts matching scene details apart, which connections the run
// names and why, the rescues, time and peak memory; and the same for
// OpenCV's Stitcher run on the same pictures (when OpenCV's stitching module
// was found at build time).
//
//   realset_bench [--sets NAME,...] [--work FOLDER] [--measure-side N] [--no-peer]
//                 [--camera exif|list|estimate] [--exact] [--pairs] [FOLDER...]
//
// --camera chooses the camera the run starts from: the pictures' EXIF as
// stitch does (exif, the default), the camera entry (list), or the focal
// length estimated from the pictures' features as for pictures that do not
// say theirs, the EXIF left aside (estimate: how near the estimate and the
// calibration come to what the EXIF says).
//
// A FOLDER is either one set (a folder of JPEG pictures) or a folder of
// sets (one sub-folder each); without any, ../shared/realsets beside the
// source tree. A folder of sets may hold a SETS.md whose table gives each
// set's order ("left to right": "14 13 .. 01" loads the pictures backwards)
// and whether it closes a circle ("360": yes); other sets are loaded in name
// order and open. --sets runs the named sets only.
//
// The measure. SIFT features (OpenCV) of every picture, found on copies
// whose longer side is at most --measure-side pixels (default 3000), are
// matched between adjacent pictures (for a circle also the last and the
// first): nearest and second-nearest descriptor (ratio 0.75), both ways the
// best, and consistent with one fundamental matrix (RANSAC, 2 px), which
// allows parallax and needs no camera. Each match (p in picture a, q in
// picture b) is carried through the program's own mapping, the one the fill
// uses, exactly as the panorama is built:
//     q' = PanoramaToPicture(b, PictureToPanorama(a, p)),
// and the other way; its error is the mean of |q' - q| and |p' - p|, in
// picture pixels. For the Stitcher the same with its cameras (focal length,
// principal point, rotation; no lens model). Printed per set: the median
// and 90th percentile over all matches, and the worst pair's median ("worst").
// "floor" is what one best rotation per pair reaches on the same matches
// under the camera the pictures' EXIF gives (or the camera entry without
// EXIF), and "cal floor" the same under the calibrated camera: scene
// parallax and lens keep them above zero. "focal length evidence" (sets
// with an EXIF focal length): the mean of the pairs' floors at the EXIF
// focal length, at the calibrated one, and the best over focal lengths
// within 15 % of EXIF's, each with the aberration that suits it: whether
// the matches ask for another focal length than EXIF's, or cannot tell
// them apart.
//
// Time is wall-clock from reading the files to the saved panorama, peak
// memory the resident high-water mark of the child process that runs it
// (each run is a process of its own). Other work on the machine inflates
// the times; the load average is printed. Panoramas are left in the work
// folder (default /tmp/vistarium-realsets/SET/).

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef VISTARIUM_WITH_OPENCV_STITCHING
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/stitching.hpp>
#endif

#include "alignment/orientation.h"
#include "app/connection_check.h"
#include "app/panorama_file.h"
#include "app/parameters_in_force.h"
#include "app/picture_camera.h"
#include "app/picture_metadata.h"
#include "app/pipeline.h"
#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "refine/calibration.h"
#include "render/picture_file.h"
#include "render/picture_metadata.h"
#include "run/progress.h"
#include "run/run_state.h"
#include "measure.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace vistarium;
using namespace vistarium::bench;
using Json = nlohmann::ordered_json;

namespace {

struct SetSpec {
  std::string Name;
  std::vector<std::string> Files;  // left to right
  bool Is360 = false;
};

struct Match {
  TRealPoint A, B;  // full-size pixels of pictures a and b (pixel centres at +0.5)
};

struct PairMatches {
  int A = 0, B = 0;
  std::vector<Match> Matches;
};

// Resident high-water mark of this process, in megabytes, from VmHWM: it
// starts anew with the program (the rusage figure keeps the parent's across
// the start of a child).
double PeakResidentMegabytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024.0;
  return 0.0;
}

// ---- Sets

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, by)) items.push_back(item);
  return items;
}

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t b = 0;
  while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  return s.substr(b);
}

std::vector<std::string> PicturesIn(const fs::path& folder) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file() && render::PictureFormatFromPath(e.path().string()) == render::PictureFormat::Jpeg)
      files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// Order and circle of each set named in a SETS.md table.
std::map<std::string, std::pair<bool, bool>> ReadSetsTable(const fs::path& file) {
  std::map<std::string, std::pair<bool, bool>> table;  // name -> (backwards, 360)
  std::ifstream in(file);
  std::string line;
  int orderColumn = -1, circleColumn = -1;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '|') continue;
    std::vector<std::string> cells = Split(line, '|');
    for (std::string& c : cells) c = Trim(c);
    if (orderColumn < 0) {
      for (std::size_t k = 0; k < cells.size(); ++k) {
        if (cells[k] == "left to right") orderColumn = static_cast<int>(k);
        if (cells[k] == "360") circleColumn = static_cast<int>(k);
      }
      continue;
    }
    if (cells.size() <= 1 || static_cast<int>(cells.size()) <= std::max(orderColumn, circleColumn)) continue;
    const std::string name = cells[1];
    if (name.empty() || name[0] == '-') continue;
    // "14 13 .. 01 (the camera turned left)": the first and the last number
    // before any remark.
    std::string order = cells[static_cast<std::size_t>(orderColumn)];
    order = order.substr(0, order.find('('));
    std::vector<int> numbers;
    for (const std::string& word : Split(order, ' '))
      if (!word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); }))
        numbers.push_back(std::stoi(word));
    const bool backwards = numbers.size() >= 2 && numbers.front() > numbers.back();
    const bool circle = circleColumn >= 0 && cells[static_cast<std::size_t>(circleColumn)].starts_with("yes");
    table[name] = {backwards, circle};
  }
  return table;
}

std::vector<SetSpec> FindSets(const std::vector<fs::path>& folders) {
  std::vector<SetSpec> sets;
  for (const fs::path& folder : folders) {
    if (!PicturesIn(folder).empty()) {
      sets.push_back({folder.filename().string(), PicturesIn(folder), false});
      continue;
    }
    const auto table = ReadSetsTable(folder / "SETS.md");
    std::vector<fs::path> subs;
    for (const auto& e : fs::directory_iterator(folder))
      if (e.is_directory()) subs.push_back(e.path());
    std::sort(subs.begin(), subs.end());
    for (const fs::path& sub : subs) {
      SetSpec s{sub.filename().string(), PicturesIn(sub), false};
      if (s.Files.size() < 2) continue;
      if (const auto t = table.find(s.Name); t != table.end()) {
        if (t->second.first) std::reverse(s.Files.begin(), s.Files.end());
        s.Is360 = t->second.second;
      }
      sets.push_back(std::move(s));
    }
  }
  return sets;
}

// ---- Independent matches

struct Picture {
  std::vector<TRealPoint> Positions;
  cv::Mat Descriptors;
};

Picture Features(const std::string& file, int side) {
  cv::Mat grey;
  {
    const DeviceBitmap picture = render::LoadPictureFile(file);
    const cv::Mat rgba(picture.Height, picture.Width, CV_8UC4, const_cast<PackedColor*>(picture.Pixels.data()));
    cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
  }
  double scale = 1.0;
  if (std::max(grey.cols, grey.rows) > side) {
    scale = static_cast<double>(side) / std::max(grey.cols, grey.rows);
    cv::Mat reduced;
    cv::resize(grey, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
    grey = reduced;
  }
  const double sx = 1.0 / scale;
  cv::Ptr<cv::SIFT> sift = cv::SIFT::create(8000);
  std::vector<cv::KeyPoint> keys;
  Picture p;
  sift->detectAndCompute(grey, cv::noArray(), keys, p.Descriptors);
  for (const cv::KeyPoint& k : keys) p.Positions.push_back({(k.pt.x + 0.5) * sx, (k.pt.y + 0.5) * sx});
  return p;
}

std::vector<Match> MatchPictures(const Picture& a, const Picture& b) {
  std::vector<Match> out;
  if (a.Descriptors.rows < 2 || b.Descriptors.rows < 2) return out;
  cv::BFMatcher matcher(cv::NORM_L2);
  std::vector<std::vector<cv::DMatch>> ab, ba;
  matcher.knnMatch(a.Descriptors, b.Descriptors, ab, 2);
  matcher.knnMatch(b.Descriptors, a.Descriptors, ba, 1);
  std::vector<cv::Point2f> pa, pb;
  std::vector<Match> candidates;
  for (const auto& m : ab) {
    if (m.size() < 2 || !(m[0].distance < 0.75f * m[1].distance)) continue;
    if (ba[static_cast<std::size_t>(m[0].trainIdx)].empty() ||
        ba[static_cast<std::size_t>(m[0].trainIdx)][0].trainIdx != m[0].queryIdx)
      continue;
    const TRealPoint p = a.Positions[static_cast<std::size_t>(m[0].queryIdx)];
    const TRealPoint q = b.Positions[static_cast<std::size_t>(m[0].trainIdx)];
    candidates.push_back({p, q});
    pa.emplace_back(static_cast<float>(p.X), static_cast<float>(p.Y));
    pb.emplace_back(static_cast<float>(q.X), static_cast<float>(q.Y));
  }
#ifdef VISTARIUM_WITH_OPENCV_STITCHING
  if (candidates.size() >= 8) {
    std::vector<unsigned char> keep;
    cv::findFundamentalMat(pa, pb, cv::FM_RANSAC, 2.0, 0.999, keep);
    for (std::size_t k = 0; k < candidates.size(); ++k)
      if (k < keep.size() && keep[k]) out.push_back(candidates[k]);
    return out;
  }
#endif
  return candidates;
}

std::vector<std::pair<int, int>> Pairs(const SetSpec& s) {
  std::vector<std::pair<int, int>> pairs;
  const int n = static_cast<int>(s.Files.size());
  for (int i = 0; i + 1 < n; ++i) pairs.emplace_back(i, i + 1);
  if (s.Is360) pairs.emplace_back(n - 1, 0);
  return pairs;
}

Json MatchesJson(const std::vector<PairMatches>& all) {
  Json list = Json::array();
  for (const PairMatches& p : all) {
    Json m = Json::array();
    for (const Match& x : p.Matches) m.push_back({x.A.X, x.A.Y, x.B.X, x.B.Y});
    list.push_back({{"a", p.A}, {"b", p.B}, {"matches", m}});
  }
  return list;
}

std::vector<PairMatches> MatchesFrom(const Json& j) {
  std::vector<PairMatches> all;
  for (const Json& p : j) {
    PairMatches pm;
    pm.A = p.at("a");
    pm.B = p.at("b");
    for (const Json& m : p.at("matches")) pm.Matches.push_back({{m[0], m[1]}, {m[2], m[3]}});
    all.push_back(std::move(pm));
  }
  return all;
}

fs::path MatchesFile(const fs::path& folder) { return folder / "matches.json"; }

// The matches the parent left in the set's work folder.
std::vector<PairMatches> LoadMatches(const fs::path& folder) {
  std::ifstream in(MatchesFile(folder));
  return MatchesFrom(Json::parse(in).at("pairs"));
}

// The set's matches, computed once and kept in its work folder.
std::vector<PairMatches> EnsureMatches(const SetSpec& s, const fs::path& folder, int side) {
  const fs::path file = MatchesFile(folder);
  const Json key = {{"files", s.Files}, {"is360", s.Is360}, {"side", side}};
  if (fs::exists(file)) {
    std::ifstream in(file);
    const Json j = Json::parse(in, nullptr, false);
    if (!j.is_discarded() && j.value("key", Json()) == key) return MatchesFrom(j.at("pairs"));
  }
  std::vector<Picture> pictures;
  for (const std::string& f : s.Files) pictures.push_back(Features(f, side));
  std::vector<PairMatches> all;
  for (const auto& [a, b] : Pairs(s))
    all.push_back({a, b, MatchPictures(pictures[static_cast<std::size_t>(a)], pictures[static_cast<std::size_t>(b)])});
  std::ofstream(file) << Json{{"key", key}, {"pairs", MatchesJson(all)}}.dump() << '\n';
  return all;
}

// ---- Figures of a mapping over the matches

struct Spread {
  int Points = 0;
  double Median = 0, P90 = 0, WorstPairMedian = 0;
  std::string WorstPair;
};

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

// `error` gives a match's error in pixels, or nothing when the mapping
// cannot carry it (a picture the run left out).
template <typename Error>
Json Measure(const std::vector<PairMatches>& all, Error error) {
  std::vector<double> everything;
  Json pairs = Json::array();
  for (const PairMatches& p : all) {
    std::vector<double> d;
    for (const Match& m : p.Matches)
      if (const std::optional<double> e = error(p.A, p.B, m)) d.push_back(*e);
    everything.insert(everything.end(), d.begin(), d.end());
    pairs.push_back({{"a", p.A}, {"b", p.B}, {"points", d.size()}, {"median", Quantile(d, 0.5)}, {"p90", Quantile(d, 0.9)}});
  }
  return {{"points", everything.size()},
          {"median", Quantile(everything, 0.5)},
          {"p90", Quantile(everything, 0.9)},
          {"pairs", pairs}};
}

// Best rotation per pair under a camera, each picture at its zoom (none
// given: all at the camera's focal length): the floor of the matches.
Json Floor(const std::vector<PairMatches>& all, TPoint size, double focal, double aberration,
           const std::vector<double>& zooms = {}) {
  std::vector<double> medians;
  Json pairs = Json::array();
  for (const PairMatches& p : all) {
    refine::CalibrationPair pair;
    for (const Match& m : p.Matches) {
      pair.LeftPoints.push_back(m.A);
      pair.RightPoints.push_back(m.B);
    }
    const auto zoom = [&zooms](int i) { return zooms.empty() ? 1.0 : zooms.at(static_cast<std::size_t>(i)); };
    const refine::PairResiduals r = refine::PairFloor(size, focal, aberration, pair, nullptr, {zoom(p.A), zoom(p.B)});
    pairs.push_back(r.Median);
    medians.push_back(r.Median);
  }
  return {{"median", Quantile(medians, 0.5)}, {"pairs", pairs}};
}

// What the independent matches say about the focal length: the mean of
// the pairs' floors (each pair counts once, whatever its number of
// matches) under the EXIF focal length, under the calibrated one and at
// the best focal length within 15 % of EXIF's, each with the aberration
// that suits it best. When they agree within a few hundredths of a pixel
// the matches cannot tell those focal lengths apart (a calibrated one off
// EXIF has traded focal length for aberration); when the EXIF one is
// clearly worse, the pictures do not have the EXIF focal length (a crop, a
// lens that breathes).
Json FocalEvidence(const std::vector<PairMatches>& all, TPoint size, double exifFocal, double calibratedFocal) {
  const auto floorAt = [&](double f) {
    double best = 0.0, bestK = 0.0;
    for (double k = -0.06; k <= 0.0601; k += 0.005) {
      const Json pairs = Floor(all, size, f, k).at("pairs");
      double sum = 0.0;
      for (const Json& m : pairs) sum += m.get<double>();
      const double mean = pairs.empty() ? 0.0 : sum / static_cast<double>(pairs.size());
      if (k == -0.06 || mean < best) best = mean, bestK = k;
    }
    return std::pair{best, bestK};
  };
  const auto [exifFloor, exifK] = floorAt(exifFocal);
  const auto [calibratedFloor, calibratedK] = floorAt(calibratedFocal);
  double bestF = exifFocal, bestK = exifK, bestFloor = exifFloor;
  for (double share = -0.15; share <= 0.1501; share += 0.01)
    if (const auto [m, k] = floorAt(exifFocal * (1.0 + share)); m < bestFloor)
      bestFloor = m, bestF = exifFocal * (1.0 + share), bestK = k;
  return {{"exif_floor", exifFloor},         {"exif_aberration", exifK},         {"calibrated_floor", calibratedFloor},
          {"calibrated_aberration", calibratedK}, {"best_floor", bestFloor}, {"best_focal", bestF},
          {"best_aberration", bestK}};
}

// ---- Child: the program

// How differently the two pictures of each independent match show the
// place matched, as the median over the matches of the mean absolute log
// ratio of 9 x 9 patch means over the three channels (in percent), with the
// run's exposure gains applied and without: the gains' own measure, taken
// at full size on matches the program did not choose.
Json ExposureMismatch(const RunState& rs, const std::vector<PairMatches>& all) {
  constexpr int kRadius = 4;
  const auto mean = [](const DeviceBitmap& p, TRealPoint at) -> std::optional<std::array<double, 3>> {
    const int cx = static_cast<int>(at.X), cy = static_cast<int>(at.Y);
    if (cx < kRadius || cy < kRadius || cx + kRadius >= p.Width || cy + kRadius >= p.Height) return std::nullopt;
    std::array<double, 3> sum{0, 0, 0};
    for (int y = cy - kRadius; y <= cy + kRadius; ++y)
      for (int x = cx - kRadius; x <= cx + kRadius; ++x) {
        const auto c = static_cast<unsigned>(p.Pixel(x, y));
        const unsigned channel[3] = {(c >> 16) & 0xFFu, (c >> 8) & 0xFFu, c & 0xFFu};  // blue, green, red
        for (int k = 0; k < 3; ++k) {
          if (channel[k] >= 250) return std::nullopt;
          sum[static_cast<std::size_t>(k)] += channel[k];
        }
      }
    for (double& v : sum) {
      v /= (2 * kRadius + 1) * (2 * kRadius + 1);
      if (v < 4.0) return std::nullopt;
    }
    return sum;
  };
  std::vector<double> with, without;
  std::map<int, DeviceBitmap> decoded;
  const auto picture = [&](int i) -> const DeviceBitmap& {
    if (!decoded.count(i)) {
      if (decoded.size() >= 2) decoded.erase(decoded.begin());
      decoded[i] = render::LoadPictureFile(rs.PictureSet.FileNames.at(static_cast<std::size_t>(i)));
    }
    return decoded.at(i);
  };
  for (const PairMatches& pm : all) {
    const DeviceBitmap& a = picture(pm.A);
    const DeviceBitmap& b = picture(pm.B);
    for (const Match& m : pm.Matches) {
      const auto ma = mean(a, m.A), mb = mean(b, m.B);
      if (!ma || !mb) continue;
      double g = 0.0, plain = 0.0;
      for (std::size_t k = 0; k < 3; ++k) {
        const double ga = rs.Gains.empty() ? 1.0 : rs.Gains.at(static_cast<std::size_t>(pm.A))[k];
        const double gb = rs.Gains.empty() ? 1.0 : rs.Gains.at(static_cast<std::size_t>(pm.B))[k];
        g += std::fabs(std::log(gb * (*mb)[k]) - std::log(ga * (*ma)[k])) / 3.0;
        plain += std::fabs(std::log((*mb)[k]) - std::log((*ma)[k])) / 3.0;
      }
      with.push_back(100.0 * g);
      without.push_back(100.0 * plain);
    }
  }
  return {{"points", with.size()}, {"median", Quantile(with, 0.5)}, {"median_without_gains", Quantile(without, 0.5)}};
}

Json RunOurs(const SetSpec& s, const fs::path& folder, bool exact, const std::string& camera) {
  const fs::path options = fs::path(VISTARIUM_SOURCE_DIR);
  params::ParameterSets parameters = app::LoadParametersInForce(params::CurrentParameterFilePath(options),
                                                                params::CameraListPath(options));
  const double cpu0 = ProcessorSeconds();
  const auto t0 = Clock::now();
  TPictureSetData pictures;
  pictures.FileNames = s.Files;
  pictures.Count = static_cast<std::int32_t>(s.Files.size());
  pictures.Is360 = s.Is360;
  RunState rs;
  rs.Refine = !exact;
  // The camera as stitch chooses it (the pictures' EXIF, their zooms, or the
  // estimate).
  std::string note;
  app::ChooseStartingCamera(rs, parameters, s.Files, camera == "exif", note);
  // "estimate": the EXIF left aside, the focal length found as for pictures
  // that do not say theirs, starting from the camera entry.
  if (camera == "estimate") rs.EstimateFocal = true;
  rs.CompensateExposure = !exact;  // as stitch runs by default
  matching::SilentProgressUi ui;
  app::RunFindingPhase(rs, ui, pictures, parameters);
  const auto t1 = Clock::now();
  const std::vector<ConnectionCheck> checks = CheckConnections(rs);
  // Made band by band into its file, as stitch makes it.
  app::PanoramaFileWriter writer((folder / (exact ? "vistarium-exact.jpg" : "vistarium.jpg")).string(),
                                 [&rs](int width, int height) {
                                   return std::vector<render::JpegSegment>{
                                       app::PanoramaExifSegment(rs.PictureSet.FileNames, width, height)};
                                 });
  app::RunConstructionPhase(rs, ui, writer.Sink());
  writer.Commit(app::TrailerOfRun(rs));
  const auto t2 = Clock::now();
  Json result;
  result["total_s"] = Seconds(t0, t2);
  result["finding_s"] = Seconds(t0, t1);
  result["processor_s"] = ProcessorSeconds() - cpu0;
  result["peak_mb"] = PeakResidentMegabytes();
  result["start_focal"] = parameters.Camera.FocalLength;
  result["estimated_focal"] = rs.Calibration.EstimatedFocalLength;
  result["camera_note"] = note;
  const CameraCalibration& c = rs.Calibration;
  result["calibrated"] = c.Done;
  result["focal"] = c.Done ? c.FocalLength : parameters.Camera.FocalLength;
  result["aberration"] = c.Done ? c.Aberration : parameters.Camera.Aberration;
  result["focal_kept"] = c.FocalKept;
  result["refound"] = c.Refound;
  Json named = Json::array();
  int rescued = 0;
  for (const ConnectionCheck& k : checks) {
    rescued += k.Rescued;
    const std::string w = ConnectionWarning(k);
    if (!w.empty()) named.push_back(w);
  }
  result["named"] = named;
  result["rescued"] = rescued;

  const std::vector<PairMatches> all = LoadMatches(folder);
  const auto error = [&rs](int a, int b, const Match& m) -> std::optional<double> {
    const TRealPoint q = alignment::PanoramaToPicture(rs, b, alignment::PictureToPanorama(rs, a, m.A));
    const TRealPoint p = alignment::PanoramaToPicture(rs, a, alignment::PictureToPanorama(rs, b, m.B));
    return 0.5 * (std::hypot(q.X - m.B.X, q.Y - m.B.Y) + std::hypot(p.X - m.A.X, p.Y - m.A.Y));
  };
  result["measure"] = Measure(all, error);
  std::vector<double> zooms;
  for (const PictureGeometry& g : rs.Geometry) zooms.push_back(g.Zoom);
  result["calibrated_floor"] = Floor(all, rs.Projection.PictureSize, result["focal"], result["aberration"], zooms);
  if (!exact) result["exposure"] = ExposureMismatch(rs, all);
  return result;
}

// ---- Child: OpenCV's Stitcher

Json RunPeer(const SetSpec& s, const fs::path& folder) {
#ifdef VISTARIUM_WITH_OPENCV_STITCHING
  const auto t0 = Clock::now();
  const double cpu0 = ProcessorSeconds();
  std::vector<cv::Mat> images;
  for (const std::string& f : s.Files) images.push_back(cv::imread(f, cv::IMREAD_COLOR));
  cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::PANORAMA);
  cv::Mat pano;
  const cv::Stitcher::Status status = stitcher->stitch(images, pano);
  if (status == cv::Stitcher::OK) cv::imwrite((folder / "opencv.jpg").string(), pano);
  const auto t1 = Clock::now();
  Json result;
  result["total_s"] = Seconds(t0, t1);
  result["processor_s"] = ProcessorSeconds() - cpu0;
  result["peak_mb"] = PeakResidentMegabytes();
  result["status"] = static_cast<int>(status);
  if (status != cv::Stitcher::OK) return result;
  const std::vector<int> used = stitcher->component();
  const std::vector<cv::detail::CameraParams> cameras = stitcher->cameras();
  result["pictures_used"] = used.size();
  std::map<int, std::size_t> slot;
  for (std::size_t k = 0; k < used.size(); ++k) slot[used[k]] = k;
  const int width = images[0].cols;
  const auto ray = [&](int picture, TRealPoint p) {
    const cv::detail::CameraParams& c = cameras[slot.at(picture)];
    const double scale = 2.0 * c.ppx / width;  // the cameras may be at the registration scale
    cv::Mat k;
    c.K().convertTo(k, CV_64F);
    cv::Mat r;
    c.R.convertTo(r, CV_64F);
    const cv::Mat v = (cv::Mat_<double>(3, 1) << p.X * scale - 0.5, p.Y * scale - 0.5, 1.0);
    return cv::Mat(r * k.inv() * v);
  };
  const auto pixel = [&](int picture, const cv::Mat& world) -> std::optional<TRealPoint> {
    const cv::detail::CameraParams& c = cameras[slot.at(picture)];
    const double scale = 2.0 * c.ppx / width;
    cv::Mat k;
    c.K().convertTo(k, CV_64F);
    cv::Mat r;
    c.R.convertTo(r, CV_64F);
    const cv::Mat v = k * r.t() * world;
    if (!(v.at<double>(2) > 1e-9)) return std::nullopt;
    return TRealPoint{(v.at<double>(0) / v.at<double>(2) + 0.5) / scale, (v.at<double>(1) / v.at<double>(2) + 0.5) / scale};
  };
  const std::vector<PairMatches> all = LoadMatches(folder);
  const auto error = [&](int a, int b, const Match& m) -> std::optional<double> {
    if (!slot.count(a) || !slot.count(b)) return std::nullopt;
    const auto q = pixel(b, ray(a, m.A));
    const auto p = pixel(a, ray(b, m.B));
    if (!q || !p) return std::nullopt;
    return 0.5 * (std::hypot(q->X - m.B.X, q->Y - m.B.Y) + std::hypot(p->X - m.A.X, p->Y - m.A.Y));
  };
  result["measure"] = Measure(all, error);
  result["focal_px"] = cameras.empty() ? 0.0 : cameras[0].focal / (2.0 * cameras[0].ppx / width);
  Json focals = Json::array();
  for (const auto& c : cameras) focals.push_back(c.focal / (2.0 * c.ppx / width));
  result["focals_px"] = focals;
  return result;
#else
  (void)s;
  (void)folder;
  return Json{{"status", -1}};
#endif
}

// ---- Parent

SetSpec SpecFrom(const Json& j) { return {j.at("name"), j.at("files").get<std::vector<std::string>>(), j.at("is360")}; }
Json SpecJson(const SetSpec& s) { return {{"name", s.Name}, {"files", s.Files}, {"is360", s.Is360}}; }

std::optional<Json> RunInChild(const fs::path& self, const std::vector<std::string>& extra) {
  std::vector<std::string> args{self.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return std::nullopt;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::ifstream in(extra.back());
  const Json j = Json::parse(in, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

std::string Fixed(double v, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

std::string WorstPair(const Json& measure) {
  double worst = -1;
  std::string name;
  for (const Json& p : measure.at("pairs")) {
    const double m = p.at("median");
    if (m > worst) {
      worst = m;
      name = std::to_string(p.at("a").get<int>() + 1) + "-" + std::to_string(p.at("b").get<int>() + 1);
    }
  }
  return Fixed(worst, 2) + " (" + name + ")";
}

int RunParent(int argc, char** argv) {
  std::vector<fs::path> folders;
  std::vector<std::string> only;
  fs::path work = fs::temp_directory_path() / "vistarium-realsets";
  int side = 3000;
  bool peer = true, exact = false, listPairs = false;
  std::string camera = "exif";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--sets") only = Split(value(), ',');
    else if (a == "--work") work = value();
    else if (a == "--measure-side") side = std::stoi(value());
    else if (a == "--no-peer") peer = false;
    else if (a == "--exact") exact = true;
    else if (a == "--pairs") listPairs = true;
    else if (a == "--camera") {
      camera = value();
      if (camera != "exif" && camera != "list" && camera != "estimate")
        throw std::invalid_argument("--camera takes exif, list or estimate");
    }
    else if (!a.empty() && a[0] == '-')
      throw std::invalid_argument("unknown option " + a +
                                  "\nusage: realset_bench [--sets NAME,...] [--work FOLDER] [--measure-side N] "
                                  "[--no-peer] [--camera exif|list|estimate] [--exact] [--pairs] [FOLDER...]");
    else folders.emplace_back(a);
  }
  if (folders.empty()) folders.push_back(fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "realsets");
  std::vector<SetSpec> sets = FindSets(folders);
  if (!only.empty())
    sets.erase(std::remove_if(sets.begin(), sets.end(),
                              [&](const SetSpec& s) { return std::find(only.begin(), only.end(), s.Name) == only.end(); }),
               sets.end());
#ifndef VISTARIUM_WITH_OPENCV_STITCHING
  peer = false;
  std::printf("(built without OpenCV's stitching module: no Stitcher column, matches not filtered by a fundamental matrix)\n");
#endif
  std::printf("Load average at the start: %s; work folder %s\n", LoadAverage().c_str(), work.string().c_str());
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path options = fs::path(VISTARIUM_SOURCE_DIR);
  const params::ParameterSets inForce =
      app::LoadParametersInForce(params::CurrentParameterFilePath(options), params::CameraListPath(options));

  std::vector<std::string> table;
  for (const SetSpec& s : sets) {
    const fs::path folder = work / s.Name;
    fs::create_directories(folder);
    const std::vector<PairMatches> all = EnsureMatches(s, folder, side);
    const render::PictureSize size = render::ReadPictureSize(s.Files[0]);
    const app::PictureCamera fromPictures = app::CameraFromPictures(s.Files, inForce.Camera);
    const Json floor = Floor(all, {size.Width, size.Height}, fromPictures.Camera.FocalLength, 0.0);
    std::ofstream(folder / "set.json") << SpecJson(s).dump() << '\n';

    const std::optional<Json> ours =
        RunInChild(self, {"--child-ours", (folder / "set.json").string(), exact ? "exact" : "default", camera,
                          (folder / "ours.json").string()});
    std::optional<Json> theirs;
    if (peer) theirs = RunInChild(self, {"--child-peer", (folder / "set.json").string(), (folder / "peer.json").string()});

    std::printf("\n== %s: %zu pictures of %d x %d%s, %s\n", s.Name.c_str(), s.Files.size(), size.Width, size.Height,
                s.Is360 ? ", full circle" : "",
                fromPictures.FromPictures ? ("EXIF focal " + Fixed(fromPictures.Camera.FocalLength, 2) + " mm").c_str()
                                          : "no EXIF focal length");
    long matches = 0;
    for (const PairMatches& p : all) matches += static_cast<long>(p.Matches.size());
    std::printf("   independent matches: %ld; floor (best rotation per pair, %s camera): median %.2f px\n", matches,
                fromPictures.FromPictures ? "EXIF" : "entry", floor.at("median").get<double>());
    if (fromPictures.FromPictures && ours) {
      const double calibrated = ours->at("focal").get<double>();
      const Json e = FocalEvidence(all, {size.Width, size.Height}, fromPictures.Camera.FocalLength, calibrated);
      std::printf("   focal length evidence (mean of the pairs' floors): %.2f px at the EXIF %.2f mm (aberration %.3f), "
                  "%.2f px at the calibrated %.2f mm (%.3f); best %.2f px at %.2f mm (%+.0f %%, %.3f)\n",
                  e.at("exif_floor").get<double>(), fromPictures.Camera.FocalLength,
                  e.at("exif_aberration").get<double>(), e.at("calibrated_floor").get<double>(), calibrated,
                  e.at("calibrated_aberration").get<double>(), e.at("best_floor").get<double>(),
                  e.at("best_focal").get<double>(),
                  100.0 * (e.at("best_focal").get<double>() / fromPictures.Camera.FocalLength - 1.0),
                  e.at("best_aberration").get<double>());
    }
    std::string row = s.Name;
    if (!ours) {
      std::printf("   vistarium: run failed\n");
      row += " | failed";
    } else {
      const Json& o = *ours;
      const Json& m = o.at("measure");
      std::printf("   vistarium: focal %.2f mm (start %.2f%s), aberration %.4f; median %.2f px, p90 %.2f px, worst pair %s;"
                  " cal floor %.2f; named %zu, rescued %d, searched again %d; %.2f s, %.0f MB\n",
                  o.at("focal").get<double>(), o.at("start_focal").get<double>(), o.at("focal_kept").get<bool>() ? ", kept" : "",
                  o.at("aberration").get<double>(), m.at("median").get<double>(), m.at("p90").get<double>(),
                  WorstPair(m).c_str(), o.at("calibrated_floor").at("median").get<double>(), o.at("named").size(),
                  o.at("rescued").get<int>(), o.at("refound").get<int>(), o.at("total_s").get<double>(),
                  o.at("peak_mb").get<double>());
      if (o.contains("exposure"))
        std::printf("   exposure mismatch at the independent matches: median %.2f %% with the gains, %.2f %% without\n",
                    o.at("exposure").at("median").get<double>(),
                    o.at("exposure").at("median_without_gains").get<double>());
      for (const Json& w : o.at("named")) std::printf("     named: %s\n", w.get<std::string>().c_str());
      if (listPairs)
        for (const Json& p : m.at("pairs"))
          std::printf("     pair %d-%d: %d matches, median %.2f px, p90 %.2f px\n", p.at("a").get<int>() + 1,
                      p.at("b").get<int>() + 1, p.at("points").get<int>(), p.at("median").get<double>(),
                      p.at("p90").get<double>());
      row += " | " + Fixed(o.at("focal"), 2) + " | " + Fixed(o.at("aberration"), 4) + " | " + Fixed(m.at("median"), 2) +
             " | " + Fixed(m.at("p90"), 2) + " | " + WorstPair(m) + " | " + std::to_string(o.at("named").size()) +
             " | " + std::to_string(o.at("rescued").get<int>()) + "/" + std::to_string(o.at("refound").get<int>()) +
             " | " + Fixed(o.at("total_s"), 2) + " | " + Fixed(o.at("peak_mb"), 0);
    }
    row += " | " + Fixed(floor.at("median"), 2);
    if (peer) {
      if (!theirs || theirs->at("status").get<int>() != 0) {
        std::printf("   OpenCV Stitcher: failed (status %d)\n", theirs ? theirs->at("status").get<int>() : -1);
        row += " | failed | | | |";
      } else {
        const Json& t = *theirs;
        const Json& m = t.at("measure");
        // Its focal length in this program's millimetres (36 mm on the longer side).
        const double focalMm = t.at("focal_px").get<double>() * 18.0 / (0.5 * std::max(size.Width, size.Height));
        std::printf("   OpenCV Stitcher: %d of %zu pictures, focal %.2f mm; median %.2f px, p90 %.2f px, worst pair %s; %.2f s, %.0f MB\n",
                    t.at("pictures_used").get<int>(), s.Files.size(), focalMm, m.at("median").get<double>(),
                    m.at("p90").get<double>(), WorstPair(m).c_str(), t.at("total_s").get<double>(),
                    t.at("peak_mb").get<double>());
        row += " | " + Fixed(m.at("median"), 2) + " | " + Fixed(m.at("p90"), 2) + " | " + WorstPair(m) + " | " +
               Fixed(t.at("total_s"), 2) + " | " + Fixed(t.at("peak_mb"), 0);
      }
    }
    table.push_back(row);
    std::fflush(stdout);
  }
  std::printf("\n| set | focal mm | aberration | median px | p90 px | worst pair px | named | rescued/searched again |"
              " time s | peak MB | floor px%s\n",
              peer ? " | Stitcher median px | p90 px | worst pair px | time s | peak MB |" : " |");
  for (const std::string& r : table) std::printf("| %s |\n", r.c_str());
  std::printf("Load average at the end: %s\n", LoadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 6 && std::string(argv[1]) == "--child-ours") {
    std::ifstream in(argv[2]);
    const SetSpec s = SpecFrom(Json::parse(in));
    const Json r = RunOurs(s, fs::path(argv[2]).parent_path(), std::string(argv[3]) == "exact", argv[4]);
    std::ofstream(argv[5]) << r.dump(1) << '\n';
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--child-peer") {
    std::ifstream in(argv[2]);
    const SetSpec s = SpecFrom(Json::parse(in));
    const Json r = RunPeer(s, fs::path(argv[2]).parent_path());
    std::ofstream(argv[3]) << r.dump(1) << '\n';
    return 0;
  }
  return RunParent(argc, argv);
} catch (const std::exception& e) {
  std::fprintf(stderr, "realset_bench: %s\n", e.what());
  return 1;
}
