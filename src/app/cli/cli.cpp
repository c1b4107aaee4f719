#include "app/cli/cli.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "alignment/orientation.h"
#include "app/connection_check.h"
#include "app/out_of_memory.h"
#include "app/output_files.h"
#include "app/cli/batch.h"
#include "app/panorama_file.h"
#include "app/picture_metadata.h"
#include "app/set_editing.h"
#include "app/sphere_export.h"
#include "app/parameters_in_force.h"
#include "app/calibration_report.h"
#include "app/picture_camera.h"
#include "app/pipeline.h"
#include "app/version.h"
#include "browse/browser.h"
#include "run/run_state.h"
#include "run/progress.h"
#include "params/camera_list.h"
#include "params/options_folder.h"
#include "params/parameter_file.h"
#include "params/output_options.h"
#include "params/refinement_option.h"
#include "params/file_access.h"
#include "params/text_files.h"
#include "render/picture_file.h"
#include "render/png_file.h"

namespace vistarium::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kMatchUsage =
    "  vistarium-cli match [--params FILE.spr] [--lenses FILE] [--camera exif|list|NAME]\n"
    "                      [--focal MM] [--aberration K] [--360] [--manual] [--reference]\n"
    "                      [--exact] [--progress] PICTURE...\n";
const char* const kStitchUsage =
    "  vistarium-cli stitch [the options of match] [--crop common|largest|all] [--no-gains]\n"
    "                       [--scale F] [--report FILE.json] -o OUT.jpg PICTURE...\n";
const char* const kExportUsage = "  vistarium-cli export PANORAMA.jpg [--width N] [--progress] -o PHOTO.jpg\n";
const char* const kBatchUsage =
    "  vistarium-cli batch [-j N] [--progress] [--output-dir DIR] [options of stitch] LIST\n";
const char* const kInfoUsage = "  vistarium-cli info FILE.jpg\n";
const char* const kViewUsage =
    "  vistarium-cli view PANORAMA.jpg [--yaw DEG] [--pitch DEG] [--zoom FACTOR] [--size WxH]\n"
    "                     -o VIEW.png\n";

const char* const kMatchHelp =
    "  match   finds the matching parts of adjacent pictures (left to right) and prints\n"
    "          the connections as JSON. Parameters come from CurrentParameters.spr\n"
    "          and the camera from Lenses.txt in the settings folder unless --params\n"
    "          and --lenses name other files. The join starts from the camera the\n"
    "          pictures' EXIF gives (--camera exif, the default unless\n"
    "          CameraFromPictures.txt in the settings folder holds 0), from the camera\n"
    "          entry of the parameters (--camera list) or from another camera of the\n"
    "          list (--camera NAME); --focal gives the camera's focal length (and so\n"
    "          leaves the pictures' EXIF aside), --aberration its aberration. --360\n"
    "          closes the circle, --manual places every connection by the expected\n"
    "          overlap without searching, --reference runs the plain sequential search\n"
    "          and fill (same result, slower), --progress reports on stderr (one line\n"
    "          updated in place on a terminal). Every connection is then measured again\n"
    "          on the full-size pictures, the camera's focal length and aberration and\n"
    "          every picture's orientation are fitted to all connections together (a\n"
    "          picture taken at another zoom gets a focal length of its own), and\n"
    "          the panorama is built from them; the calibrated camera and each\n"
    "          connection's residual are printed on stderr. --exact skips that and keeps\n"
    "          the three matched points (as does a 0 in Refinement.txt in the settings\n"
    "          folder).\n";
const char* const kStitchHelp =
    "  stitch  matches, builds the panorama and saves it as JPEG with its trailer and\n"
    "          the first picture's date, camera and position; --report writes the\n"
    "          connections, picture placement, exposure gains and times as JSON. The\n"
    "          exposure of the pictures is evened out from their overlaps unless\n"
    "          --no-gains or --exact is given (or GainCompensation.txt in the settings\n"
    "          folder holds 0). --crop chooses the part kept: the band every picture\n"
    "          covers (common, the default, or as Crop.txt in the settings folder says),\n"
    "          the largest rectangle without empty pixels (largest), or every picture\n"
    "          whole with black corners (all). --scale F (0 < F <= 1) makes the panorama\n"
    "          F times the pictures' scale; a panorama wider or higher than JPEG's 65500\n"
    "          pixels is made smaller anyway, and stderr says so.\n";
const char* const kExportHelp =
    "  export  writes a saved panorama as a 360 photo for other viewers: an\n"
    "          equirectangular JPEG with Photo Sphere (GPano) tags; a full circle makes\n"
    "          the whole 2:1 sphere, an open panorama its part of it. --width sets the\n"
    "          full sphere's width (even; by default the panorama's resolution at the\n"
    "          horizon). The file needs a sound trailer.\n";
const char* const kBatchHelp =
    "  batch   stitches many sets, each in its own process, -j N at a time (default 1),\n"
    "          and prints one JSON line per set; every set is tried and the status is 1\n"
    "          when any failed. LIST is a JSON file (a list of {\"pictures\", \"output\",\n"
    "          \"is360\", \"camera\", \"focal\", \"aberration\", \"crop\", \"name\"}), a text\n"
    "          file (one line of stitch arguments per set) or a folder whose subfolders\n"
    "          are sets (pictures in name order, or as a set.json there says); outputs\n"
    "          without a name go to DIR/NAME.jpg. Options of stitch apply to every set.\n";
const char* const kInfoHelp =
    "  info    prints a picture file's size, panorama trailer and metadata as JSON; a\n"
    "          trailer that cannot serve the browser is \"damaged\", with the reason. A\n"
    "          file that is not a complete JPEG is an error.\n";
const char* const kViewHelp =
    "  view    draws what the panorama browser shows of a saved panorama into a PNG:\n"
    "          by default its opening view, 400 x 300, facing the middle column at the\n"
    "          horizon with the full height in view. --yaw turns right (negative: left)\n"
    "          from the middle, --pitch tilts up (negative: down), --zoom magnifies\n"
    "          (1 = the opening view, up to the browser's closest); each stays within what\n"
    "          the browser allows. The file needs a sound trailer.\n";
const char* const kCommonHelp =
    "Every command takes --help. --options DIR uses DIR as the settings folder (the\n"
    "parameter file, the camera list and the switches beside them) instead of the\n"
    "user's own ($XDG_CONFIG_HOME/Vistarium/Options, or the folder named by\n"
    "VISTARIUM_OPTIONS), which is made from the delivered Options on first use.\n"
    "--version prints the version.\n";
const char* const kJsonNote =
    "In the JSON, pictures are counted from 0 (\"left\": 0 is the first picture), while\n"
    "messages on stderr count them from 1 (\"pictures 1 and 2\").\n";
const char* const kWarningNote =
    "A connection whose points fit no rotation of the sphere well is named in a\n"
    "warning on stderr; check it by hand. When named connections fit with their\n"
    "pictures the other way round, a warning gives the order in which they fit.\n";

// The whole usage, or that of one command.
std::string UsageText(const std::string& command = {}) {
  std::string text = "Usage:\n";
  if (command == "match") return text + kMatchUsage + "\n" + kMatchHelp + "\n" + kJsonNote + "\n" + kWarningNote;
  if (command == "stitch")
    return text + kStitchUsage + "\n" + kStitchHelp + kMatchHelp + "\n" + kJsonNote + "\n" + kWarningNote;
  if (command == "export") return text + kExportUsage + "\n" + kExportHelp;
  if (command == "batch") return text + kBatchUsage + "\n" + kBatchHelp + kStitchHelp;
  if (command == "info") return text + kInfoUsage + "\n" + kInfoHelp;
  if (command == "view") return text + kViewUsage + "\n" + kViewHelp;
  return text + kMatchUsage + kStitchUsage + kExportUsage + kBatchUsage + kInfoUsage + kViewUsage + "\n" +
         kMatchHelp + kStitchHelp + kExportHelp + kBatchHelp + kInfoHelp + kViewHelp + "\n" + kCommonHelp + "\n" +
         kJsonNote + "\n" + kWarningNote;
}

// The user answered No to the continue question.
struct Cancelled : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a user out of memory can do: while the pictures are matched, and
// while the panorama is made (which --scale makes smaller).
constexpr std::string_view kMemoryHint = "close other programs or use smaller pictures";
constexpr std::string_view kPanoramaMemoryHint = "close other programs or use --scale";

struct MatchOptions {
  std::optional<fs::path> Params, Lenses;
  std::optional<std::string> Camera;
  std::optional<double> Focal, Aberration;
  std::optional<bool> CameraFromPictures;
  bool Is360 = false, Manual = false, Reference = false, Progress = false, Exact = false;
  // Choices about the panorama picture (stitch); the Options folder's when not given.
  bool NoGains = false;
  std::optional<params::CropChoice> Crop;
  std::vector<std::string> Pictures;
};

double ParseNumberOption(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v))
    throw UsageError(name + " needs a number, not \"" + text + "\"");
  return v;
}

// `panoramaOptions`: also the choices about the panorama picture (stitch).
MatchOptions ParseMatchOptions(const std::vector<std::string>& args, bool panoramaOptions = false) {
  MatchOptions o;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--params")
      o.Params = value();
    else if (a == "--lenses")
      o.Lenses = value();
    else if (a == "--camera") {
      // exif and list say where the camera comes from; any other word names
      // a camera of the list.
      const std::string& v = value();
      o.Camera.reset();
      o.CameraFromPictures = v == "exif";
      if (v != "exif" && v != "list") o.Camera = v;
    } else if (a == "--focal")
      o.Focal = ParseNumberOption(a, value());
    else if (a == "--aberration")
      o.Aberration = ParseNumberOption(a, value());
    else if (a == "--360")
      o.Is360 = true;
    else if (a == "--manual")
      o.Manual = true;
    else if (a == "--reference")
      o.Reference = true;
    else if (a == "--progress")
      o.Progress = true;
    else if (a == "--exact")
      o.Exact = true;
    else if (a == "--no-gains" && panoramaOptions)
      o.NoGains = true;
    else if (a == "--crop" && panoramaOptions) {
      const std::string& name = value();
      o.Crop = params::ParseCropChoice(name);
      if (!o.Crop) throw UsageError("--crop takes common, largest or all, not \"" + name + "\"");
    }
    else if (a.size() > 1 && a[0] == '-' && a != "--")
      throw UsageError("unknown option " + a);
    else if (a != "--")
      o.Pictures.push_back(a);
  }
  return o;
}

// The three parameter sets in force: the parameter file, the camera's numbers
// from the camera list, and the overrides of the command line.
params::ParameterSets LoadParameters(const MatchOptions& o, const fs::path& programFolder) {
  params::ParameterSets sets =
      app::ReadParametersFromFile(o.Params ? *o.Params : params::CurrentParameterFilePath(programFolder));
  if (o.Camera) sets.Camera.Name = *o.Camera;
  if (!(o.Focal && o.Aberration))
    app::LookUpCamera(sets, o.Lenses ? *o.Lenses : params::CameraListPath(programFolder));
  if (o.Focal) sets.Camera.FocalLength = *o.Focal;
  if (o.Aberration) sets.Camera.Aberration = *o.Aberration;
  return sets;
}

// Every picture must exist, be readable as a picture and share one size.
void CheckPictures(const std::vector<std::string>& pictures) {
  if (pictures.size() < 2) throw std::runtime_error("at least two pictures are needed");
  render::PictureSize first;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const render::PictureSize size = render::ReadPictureSize(pictures[i]);
    if (i == 0)
      first = size;
    else if (!(size == first))
      throw std::runtime_error("picture \"" + pictures[i] + "\" is " + std::to_string(size.Width) + " x " +
                               std::to_string(size.Height) + " pixels, but \"" + pictures[0] + "\" is " +
                               std::to_string(first.Width) + " x " + std::to_string(first.Height));
  }
}

// Progress on standard error, and the continue question when a person can
// answer it. On a terminal one line shows the phase, a bar, the percentage and
// the elapsed and remaining times, redrawn in place; elsewhere (a log file)
// every change of the percentage is a line of its own.
class ConsoleProgress : public matching::SilentProgressUi {
public:
  ConsoleProgress(Console& console, bool show) : console_(console), show_(show) {}
  ~ConsoleProgress() override { EndLine(); }

  void ShowBar(matching::Phase phase, int percent) override {
    if (!show_) return;
    if (!console_.ProgressOnTerminal) {
      console_.Err << PhaseName(phase) << ' ' << percent << "%" << (times_.empty() ? "" : "  ") << times_ << '\n';
      console_.Err.flush();
      return;
    }
    const auto now = Clock::now();
    if (!phase_ || *phase_ != phase) {
      EndLine();
      phase_ = phase;
      started_ = now;
    }
    // The phase's own clock when the run's progress is known: it starts with
    // the phase, not with the first move of the bar.
    const double elapsed = state_ ? (Now() - state_->StartTime) * 86400.0 : Seconds(started_, now);
    console_.Err << '\r' << ProgressLine(PhaseName(phase), percent, elapsed) << "\x1b[K";
    console_.Err.flush();
    lineOpen_ = true;
  }
  void ShowTimes(matching::Phase, const std::string& elapsed, const std::string& estimated) override {
    times_ = "elapsed" + elapsed + ", estimated" + estimated;
  }
  bool AskContinue(const std::string& question) override {
    if (!console_.Interactive) return true;
    EndLine();
    console_.Err << question << " [y/n] ";
    console_.Err.flush();
    std::string answer;
    if (!std::getline(console_.In, answer)) return true;
    return !(answer.starts_with('n') || answer.starts_with('N'));
  }
  // The run whose phase clock the line shows.
  void Watch(const ProgressState& state) { state_ = &state; }
  // Ends the progress line, so that what follows starts on a line of its own.
  void EndLine() {
    if (!lineOpen_) return;
    console_.Err << '\n';
    console_.Err.flush();
    lineOpen_ = false;
  }

private:
  using Clock = std::chrono::steady_clock;
  static const char* PhaseName(matching::Phase phase) {
    return phase == matching::Phase::Finding ? "finding" : "constructing";
  }
  static double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  }

  Console& console_;
  bool show_;
  std::string times_;
  std::optional<matching::Phase> phase_;
  Clock::time_point started_;
  const ProgressState* state_ = nullptr;
  bool lineOpen_ = false;
};

json Points(const std::array<TRealPoint, 3>& points) {
  json a = json::array();
  for (const TRealPoint& p : points) a.push_back({p.X, p.Y});
  return a;
}

json ProjectionJson(const TProjectionParameters& pp) {
  return {{"width", pp.PictureSize.X},
          {"height", pp.PictureSize.Y},
          {"circle_length", pp.CircleLength},
          {"angle_step", pp.AngleStep},
          {"pixels_per_radian", pp.PixelsPerRadian},
          {"focal_pixels", pp.FocalPixels},
          {"working_scale", pp.WorkingScale},
          {"working_half_size", {pp.WorkingHalfSize.X, pp.WorkingHalfSize.Y}}};
}

json PointList(const std::vector<TRealPoint>& points) {
  json a = json::array();
  for (const TRealPoint& p : points) a.push_back({p.X, p.Y});
  return a;
}

// The full-size refinement of a connection: its consistent correspondences
// and their residual; "used" says whether the construction builds from it.
json RefinedJson(const ConnectionCheck& c, const TConnectionRefinement& r) {
  return {{"inliers", r.Inliers},
          {"spots", r.Spots},
          {"candidates", r.Candidates},
          {"rms_px", r.RmsPixels},
          {"used", c.Refined},
          {"left_points", PointList(r.LeftPoints)},
          {"right_points", PointList(r.RightPoints)}};
}

// The camera the run started from and, after a calibration, the one it built from.
json CameraJson(const RunState& rs, app::CameraSource source) {
  const CameraCalibration& c = rs.Calibration;
  json j = {{"source", source == app::CameraSource::Pictures
                           ? (c.EstimatedFocalLength > 0.0 ? "estimated from the pictures" : "pictures")
                           : "entry"},
            {"focal_length_mm", c.Done ? c.FocalLength : rs.Parameters.Camera.FocalLength},
            {"aberration", c.Done ? c.Aberration : rs.Parameters.Camera.Aberration},
            {"calibrated", c.Done}};
  if (c.EstimatedFocalLength > 0.0) j["estimated_focal_length_mm"] = c.EstimatedFocalLength;
  if (c.ClosingFocalLength > 0.0) j["circle_closing_focal_length_mm"] = c.ClosingFocalLength;
  if (c.Done) {
    j["start_focal_length_mm"] = c.StartFocalLength;
    j["start_aberration"] = c.StartAberration;
    j["focal_length_kept"] = c.FocalKept;
    j["focal_length_spread"] = c.FocalSpread;
    j["rms_px"] = c.RmsPixels;
    j["start_rms_px"] = c.StartRmsPixels;
    j["searched_again"] = c.Refound;
  }
  return j;
}

const char* ProblemName(ConnectionProblem p) {
  switch (p) {
    case ConnectionProblem::None: return "none";
    case ConnectionProblem::NoMatch: return "no match";
    case ConnectionProblem::NotOneStandpoint: return "not one standpoint";
    case ConnectionProblem::Disagrees: return "disagrees";
    case ConnectionProblem::Parallax: return "parallax";
  }
  return "none";
}

json ConnectionsJson(const RunState& rs) {
  json list = json::array();
  for (const ConnectionCheck& c : CheckConnections(rs)) {
    const TConnectionSide& l = rs.Geometry.at(static_cast<std::size_t>(c.Left)).RightConnection;
    const TConnectionSide& r = rs.Geometry.at(static_cast<std::size_t>(c.Right)).LeftConnection;
    list.push_back({{"left", c.Left},
                    {"right", c.Right},
                    {"left_image_points", Points(l.ImagePoints)},
                    {"right_image_points", Points(r.ImagePoints)},
                    {"left_working_points", Points(l.WorkingPoints)},
                    {"right_working_points", Points(r.WorkingPoints)},
                    {"residual_px", c.ResidualPixels},
                    {"residual_cells", c.ResidualCells}});
    if (c.Measured) {
      list.back()["refined"] = RefinedJson(c, rs.Geometry.at(static_cast<std::size_t>(c.Left)).RightRefinement);
      list.back()["rescued"] = c.Rescued;
    }
    if (c.Calibrated)
      list.back()["calibrated"] = {{"median_px", c.JointMedianPixels},
                                   {"rms_px", c.JointRmsPixels},
                                   {"floor_median_px", c.FloorMedianPixels}};
    list.back()["problem"] = ProblemName(c.Problem);
  }
  return list;
}

// The camera to start from: the pictures' own unless the command line
// (--camera list, a camera's name, a focal length) or the settings' switch
// says otherwise.
app::CameraSource ChooseCamera(RunState& rs, params::ParameterSets& sets, const MatchOptions& o,
                              const fs::path& programFolder, Console& console) {
  const bool fromPictures =
      !o.Focal && !o.Camera &&
      o.CameraFromPictures.value_or(
          params::ReadCameraFromPicturesOption(params::CameraFromPicturesOptionPath(programFolder)));
  std::string note;
  const app::CameraSource source = app::ChooseStartingCamera(rs, sets, o.Pictures, fromPictures, note);
  if (o.Aberration) sets.Camera.Aberration = *o.Aberration;
  if (!note.empty()) console.Err << "vistarium-cli: " << note << '\n';
  return source;
}

// Runs the finding phase for the options' pictures and parameters.
app::CameraSource Find(RunState& rs, const MatchOptions& o, const fs::path& programFolder, ConsoleProgress& ui,
                       Console& console) {
  params::ParameterSets sets = LoadParameters(o, programFolder);
  CheckPictures(o.Pictures);
  rs.Refine = !o.Exact && params::ReadRefinementOption(params::RefinementOptionPath(programFolder));
  const app::CameraSource source = ChooseCamera(rs, sets, o, programFolder, console);
  TPictureSetData pictures;
  pictures.FileNames = o.Pictures;
  pictures.Count = static_cast<std::int32_t>(o.Pictures.size());
  pictures.Is360 = o.Is360;
  rs.UseReferenceSearch = o.Reference;
  rs.UseReferenceFill = o.Reference;
  rs.CompensateExposure =
      rs.Refine && !o.NoGains && params::ReadGainCompensationOption(params::GainCompensationOptionPath(programFolder));
  rs.Crop = o.Crop ? *o.Crop : params::ReadCropOption(params::CropOptionPath(programFolder));
  app::TellingWantOfMemory(
      [&] {
        if (o.Manual) {
          rs.ManualStitching = true;
          app::RunFindingPhaseWithoutEstimate(rs, ui, pictures, sets);
          rs.ManualStitching = false;
        } else {
          app::RunFindingPhase(rs, ui, pictures, sets);
        }
      },
      [&] { return app::FindingMemoryUse(rs); }, kMemoryHint);
  if (rs.CancelRequested) throw Cancelled("matching stopped by the user");
  return source;
}

// Prints each refined connection's residual (a wrong camera entry shows as
// residuals well above the usual few tenths of a pixel) and names every
// unreliable connection.
void WarnUnreliable(const RunState& rs, app::CameraSource source, Console& console) {
  for (const std::string& line : app::CalibrationLines(rs, source)) console.Err << "vistarium-cli: " << line << '\n';
  for (const ConnectionCheck& c : CheckConnections(rs)) {
    if (c.Refined)
      console.Err << "vistarium-cli: connection of pictures " << c.Left + 1 << " and " << c.Right + 1 << ": "
                  << c.Inliers << " matched spots, residual "
                  << params::FormatFixed(c.Calibrated ? c.JointRmsPixels : c.RefinedRmsPixels, 0, 2) << " pixels"
                  << (c.Rescued ? " (rescued)" : "") << '\n';
    const std::string warning = ConnectionWarning(c);
    if (!warning.empty()) console.Err << "vistarium-cli: warning: " << warning << '\n';
  }
  // Named connections whose pictures stand the wrong way round point to the
  // order in which the set fits.
  if (const std::vector<int> order = app::FittingOrder(rs); !order.empty())
    console.Err << "vistarium-cli: warning: " << app::ReorderNote(order) << '\n';
}

int Match(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  const MatchOptions o = ParseMatchOptions(args);
  if (o.Pictures.empty()) throw UsageError("match needs the pictures, left to right");
  RunState rs;
  ConsoleProgress ui(console, o.Progress);
  ui.Watch(rs.Progress);
  const app::CameraSource source = Find(rs, o, programFolder, ui, console);
  ui.EndLine();
  WarnUnreliable(rs, source, console);
  const json doc = {{"projection", ProjectionJson(rs.Projection)},
                    {"camera", CameraJson(rs, source)},
                    {"connections", ConnectionsJson(rs)}};
  console.Out << doc.dump(2) << '\n';
  return 0;
}

json PicturesJson(const RunState& rs) {
  json list = json::array();
  const TProjectionParameters& pp = rs.Projection;
  for (int i = 0; i < rs.PictureSet.Count; ++i) {
    json grid = json::array();
    for (int gy = 0; gy < 5; ++gy)
      for (int gx = 0; gx < 5; ++gx) {
        const TRealPoint pixel{(pp.PictureSize.X - 1) * gx / 4.0, (pp.PictureSize.Y - 1) * gy / 4.0};
        const TRealPoint pano = alignment::PictureToPanorama(rs, i, pixel);
        grid.push_back({{"pixel", {pixel.X, pixel.Y}}, {"panorama", {pano.X, pano.Y}}});
      }
    // The picture's focal length over the camera's (another zoom, or a step back).
    const double zoom = static_cast<std::size_t>(i) < rs.Geometry.size() ? rs.Geometry[static_cast<std::size_t>(i)].Zoom : 1.0;
    list.push_back({{"file", rs.PictureSet.FileNames[static_cast<std::size_t>(i)]}, {"zoom", zoom}, {"grid", grid}});
  }
  return list;
}

// The files a command reads: the pictures, the parameter file, the camera
// list and the switches beside them. Outputs must not replace any of them.
std::vector<app::NamedFile> InputsOf(const MatchOptions& o, const fs::path& programFolder) {
  std::vector<app::NamedFile> inputs;
  for (std::size_t i = 0; i < o.Pictures.size(); ++i)
    inputs.push_back({o.Pictures[i], "input picture " + std::to_string(i + 1)});
  inputs.push_back({(o.Params ? *o.Params : params::CurrentParameterFilePath(programFolder)).string(),
                    "the parameter file"});
  inputs.push_back({(o.Lenses ? *o.Lenses : params::CameraListPath(programFolder)).string(), "the camera list"});
  inputs.push_back({params::RefinementOptionPath(programFolder).string(), "the refinement option file"});
  inputs.push_back({params::GainCompensationOptionPath(programFolder).string(), "the exposure option file"});
  inputs.push_back({params::CropOptionPath(programFolder).string(), "the crop option file"});
  inputs.push_back({params::CameraFromPicturesOptionPath(programFolder).string(), "the camera option file"});
  return inputs;
}

// The output's name by the extension rule; a name that breaks it is a bad
// command line.
std::string NameByRule(const std::string& given, std::string (*rule)(const std::string&)) {
  try {
    return rule(given);
  } catch (const app::OutputRefused& e) {
    throw UsageError(e.what());
  }
}

// The report, written after the panorama: if it fails, the message says
// that the panorama exists.
void WriteReport(const std::string& report, const std::string& panorama, const json& doc) {
  const std::string text = doc.dump(2) + "\n";
  try {
    params::WriteWholeFile(report, text);
  } catch (const params::FileWriteError& e) {
    throw std::runtime_error(app::OutputRefused({report, "the report"}, e.Reason()).what() +
                             std::string("; the panorama was written to ") + params::QuotedPath(panorama));
  }
}

// Per picture its exposure gains; null when the exposure was not evened out.
json GainsJson(const RunState& rs) {
  if (rs.Gains.empty()) return nullptr;
  json list = json::array();
  for (const auto& g : rs.Gains) list.push_back({{"red", g[2]}, {"green", g[1]}, {"blue", g[0]}});
  return list;
}

int Stitch(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  std::vector<std::string> rest;
  std::optional<std::string> output, report;
  double scale = 1.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "-o" || args[i] == "--output" || args[i] == "--report") && i + 1 >= args.size())
      throw UsageError(args[i] + " needs a file name");
    if (args[i] == "--scale" && i + 1 >= args.size()) throw UsageError("--scale needs a value");
    if (args[i] == "-o" || args[i] == "--output") {
      output = args[++i];
    } else if (args[i] == "--report") {
      report = args[++i];
    } else if (args[i] == "--scale") {
      scale = ParseNumberOption(args[i], args[i + 1]);
      ++i;
      if (!(scale > 0.0 && scale <= 1.0)) throw UsageError("--scale needs a number above 0 and at most 1");
    } else {
      rest.push_back(args[i]);
    }
  }
  const MatchOptions o = ParseMatchOptions(rest, true);
  if (!output) throw UsageError("stitch needs -o OUT.jpg");
  if (o.Pictures.empty()) throw UsageError("stitch needs the pictures, left to right");
  // The outputs are checked before the work: a wrong name fails at once.
  output = NameByRule(*output, app::PanoramaOutputName);
  std::vector<app::NamedFile> outputs = {{*output, "the panorama"}};
  if (report) {
    try {
      app::CheckReportName(*report);
    } catch (const app::OutputRefused& e) {
      throw UsageError(e.what());
    }
    outputs.push_back({*report, "the report"});
  }
  app::CheckOutputs(outputs, InputsOf(o, programFolder));

  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  RunState rs;
  rs.RequestedScale = scale;
  ConsoleProgress ui(console, o.Progress);
  ui.Watch(rs.Progress);
  const app::CameraSource source = Find(rs, o, programFolder, ui, console);
  ui.EndLine();
  WarnUnreliable(rs, source, console);
  const auto t1 = Clock::now();
  // The panorama goes to the file band by band as it is made, with the first
  // picture's metadata.
  app::PanoramaFileWriter writer(*output, [&rs](int width, int height) {
    return std::vector<render::JpegSegment>{app::PanoramaExifSegment(rs.PictureSet.FileNames, width, height)};
  });
  app::TellingWantOfMemory([&] { app::RunConstructionPhase(rs, ui, writer.Sink()); },
                           [&] { return app::ConstructionMemoryUse(rs); }, kPanoramaMemoryHint);
  ui.EndLine();
  if (rs.CancelRequested) throw Cancelled("joining stopped by the user");
  if (!rs.Layout.ScaleNote.empty()) console.Err << "vistarium-cli: " << rs.Layout.ScaleNote << '\n';
  const auto t2 = Clock::now();
  writer.Commit(app::TrailerOfRun(rs));
  const auto t3 = Clock::now();
  auto seconds = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
  if (report) {
    const json doc = {
        {"projection", ProjectionJson(rs.Projection)},
        {"camera", CameraJson(rs, source)},
        {"panorama",
         {{"width", rs.Panorama.Width},
          {"height", rs.Panorama.Height},
          {"is360", rs.PictureSet.Is360},
          {"scale", rs.Layout.Scale},
          {"crop", params::CropChoiceName(rs.Crop)},
          {"horizon_row", rs.Layout.Top}}},
        {"gains", GainsJson(rs)},
        {"connections", ConnectionsJson(rs)},
        {"pictures", PicturesJson(rs)},
        {"times",
         {{"finding_s", seconds(t0, t1)},
          {"construction_s", seconds(t1, t2)},  // the encoding of the file included
          {"save_s", seconds(t2, t3)},
          {"total_s", seconds(t0, t3)}}}};
    WriteReport(*report, *output, doc);
  }
  console.Err << "Panorama of " << rs.Panorama.Width << " x " << rs.Panorama.Height << " pixels written to "
              << *output << '\n';
  return 0;
}

// What info shows of a file's metadata: the fields present, and the Photo
// Sphere tags of a 360 photo.
json MetadataJson(const app::PictureMetadata& m) {
  json doc = json::object();
  const std::pair<const char*, const std::string*> texts[] = {{"date_time", &m.DateTime}, {"make", &m.Make},
                                                              {"model", &m.Model},        {"software", &m.Software},
                                                              {"description", &m.Description}};
  for (const auto& [key, value] : texts)
    if (!value->empty()) doc[key] = *value;
  if (m.Latitude && m.Longitude) doc["gps"] = {{"latitude", *m.Latitude}, {"longitude", *m.Longitude}};
  if (m.Sphere)
    doc["photo_sphere"] = {{"projection", "equirectangular"},
                           {"full_width", m.Sphere->FullWidth},
                           {"full_height", m.Sphere->FullHeight},
                           {"cropped_width", m.Sphere->CroppedWidth},
                           {"cropped_height", m.Sphere->CroppedHeight},
                           {"cropped_left", m.Sphere->CroppedLeft},
                           {"cropped_top", m.Sphere->CroppedTop}};
  return doc;
}

int Info(const std::vector<std::string>& args, Console& console) {
  if (args.size() != 2) throw UsageError("info needs one panorama file");
  const app::PanoramaInfo info = app::ReadPanoramaInfo(args[1]);
  if (!info.CompleteJpeg)
    throw std::runtime_error("\"" + args[1] + "\" is not a complete JPEG file: its picture data ends early");
  const char* state = info.Trailer.State == app::TrailerState::Sound     ? "sound"
                      : info.Trailer.State == app::TrailerState::Damaged ? "damaged"
                                                                         : "none";
  json doc = {{"width", info.Width}, {"height", info.Height}, {"trailer", state}};
  if (info.Trailer.State != app::TrailerState::None) {
    doc["is360"] = info.Trailer.Values.Is360;
    doc["angle_step"] = info.Trailer.Values.AngleStep;
    doc["pixels_per_radian"] = info.Trailer.Values.PixelsPerRadian;
    doc["focal_pixels"] = info.Trailer.Values.FocalPixels;
    if (info.Trailer.Values.HorizonRow)
      doc["horizon_row"] = *info.Trailer.Values.HorizonRow;
    else
      doc["horizon_row"] = nullptr;
    if (!info.Trailer.Reason.empty()) doc["reason"] = info.Trailer.Reason;
  } else {
    doc["is360"] = nullptr;
    doc["angle_step"] = nullptr;
    doc["pixels_per_radian"] = nullptr;
    doc["focal_pixels"] = nullptr;
    doc["horizon_row"] = nullptr;
  }
  doc["metadata"] = MetadataJson(app::ReadPictureMetadata(args[1]));
  console.Out << doc.dump(2) << '\n';
  return 0;
}

int View(const std::vector<std::string>& args, Console& console) {
  std::optional<std::string> input, output;
  double yaw = 0.0, pitch = 0.0, zoom = 1.0;
  int width = browse::kDefaultViewWidth, height = browse::kDefaultViewHeight;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takesValue = a == "-o" || a == "--output" || a == "--yaw" || a == "--pitch" || a == "--zoom" ||
                            a == "--size";
    if (takesValue && i + 1 >= args.size()) throw UsageError(a + " needs a value");
    if (a == "-o" || a == "--output") {
      output = args[++i];
    } else if (a == "--yaw") {
      yaw = ParseNumberOption(a, args[++i]);
    } else if (a == "--pitch") {
      pitch = ParseNumberOption(a, args[++i]);
      if (!(std::abs(pitch) < 90.0)) throw UsageError("--pitch must lie between -90 and 90 degrees");
    } else if (a == "--zoom") {
      zoom = ParseNumberOption(a, args[++i]);
      if (!(zoom > 0.0)) throw UsageError("--zoom must be positive");
    } else if (a == "--size") {
      const std::string& text = args[++i];
      char x = 0;
      std::istringstream in(text);
      if (!(in >> width >> x >> height) || x != 'x' || !in.eof() || width < 4 || height < 4 ||
          width > 10000 || height > 10000)
        throw UsageError("--size needs WIDTHxHEIGHT of 4 to 10000 pixels each, not \"" + text + "\"");
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (input) {
      throw UsageError("view takes one panorama file");
    } else {
      input = a;
    }
  }
  if (!input) throw UsageError("view needs the panorama file");
  if (!output) throw UsageError("view needs -o VIEW.png");
  output = NameByRule(*output, app::ViewOutputName);
  app::CheckOutputs({{*output, "the view"}}, {{*input, "the panorama"}});

  const app::OpenedPanorama opened = app::OpenPanoramaFile(*input);
  const app::TrailerReading& trailer = opened.Trailer;
  if (trailer.State != app::TrailerState::Sound)
    throw std::runtime_error(
        "\"" + *input + "\" cannot be browsed: " +
        (trailer.State == app::TrailerState::None ? std::string("it has no Vistarium panorama trailer")
                                                   : std::string(app::kDamagedTrailerMessage) + " (" +
                                                         trailer.Reason + ")"));
  Bitmap32 panorama;
  app::ShowPicture(opened.Picture, panorama);
  browse::BrowserSource src;
  src.Is360 = trailer.Values.Is360;
  src.AngleStep = trailer.Values.AngleStep;
  src.PixelsPerRadian = trailer.Values.PixelsPerRadian;
  src.FocalPixels = trailer.Values.FocalPixels;
  src.HorizonRow = app::BrowsingHorizonRow(trailer.Values, panorama.Height);

  browse::BrowserState state;
  browse::ResetBrowser(state, width, height);
  browse::OpenBrowser(state, panorama, src);
  browse::SetViewAngles(state, yaw, pitch, zoom);
  Bitmap32 view;
  view.SetSize(width, height);
  std::fill(view.Pixels.begin(), view.Pixels.end(), 0xFF000000u);
  browse::RenderView(state, view);
  render::SavePngFile(*output, view);
  console.Err << "View of " << width << " x " << height << " pixels (column " << state.ViewX << ", shift "
              << state.ViewY << ", scale " << state.Scale << ") written to " << *output << '\n';
  return 0;
}

// A command's own --help (or -h), before any "--".
bool AsksForHelp(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") return false;
    if (args[i] == "--help" || args[i] == "-h") return true;
  }
  return false;
}

int Export(const std::vector<std::string>& args, Console& console) {
  std::optional<std::string> input, output;
  int width = 0;
  bool progress = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "-o" || a == "--output" || a == "--width") && i + 1 >= args.size()) throw UsageError(a + " needs a value");
    if (a == "-o" || a == "--output") {
      output = args[++i];
    } else if (a == "--width") {
      const auto n = params::ParseInteger(args[++i]);
      if (!n || *n < 4 || *n % 2 != 0 || *n > render::kMaxPictureSide)
        throw UsageError("--width needs an even number of 4 to " + std::to_string(render::kMaxPictureSide) +
                         " pixels, not \"" + args[i] + "\"");
      width = *n;
    } else if (a == "--progress") {
      progress = true;
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (input) {
      throw UsageError("export takes one panorama file");
    } else {
      input = a;
    }
  }
  if (!input) throw UsageError("export needs the panorama file");
  if (!output) throw UsageError("export needs -o PHOTO.jpg");
  // The output is checked before the work: a wrong name fails at once.
  output = NameByRule(*output, app::PanoramaOutputName);
  app::CheckOutputs({{*output, "the 360 photo"}}, {{*input, "the panorama"}});
  StepProgress shown(console, "exporting", progress);
  app::SphereTags t;
  app::TellingWantOfMemory(
      [&] { t = app::ExportSpherePhoto(*input, *output, width, [&shown](double share) { shown(share); }); },
      [&] {
        std::string what = "the 360 photo of " + params::QuotedPath(*input);
        if (width > 0) what += " at " + std::to_string(width) + " pixels wide";
        return what;
      },
      "close other programs or use a smaller --width");
  shown.End();
  console.Err << "360 photo of " << t.CroppedWidth << " x " << t.CroppedHeight << " pixels (full sphere "
              << t.FullWidth << " x " << t.FullHeight << ", this part from column " << t.CroppedLeft << ", row "
              << t.CroppedTop << ") written to " << *output << '\n';
  return 0;
}

}  // namespace

std::string ProgressLine(const std::string& phase, int percent, double elapsedSeconds) {
  constexpr int kBarWidth = 30;
  const int p = std::clamp(percent, 0, 100);
  const int filled = p * kBarWidth / 100;
  const auto clock = [](double seconds) {
    const long t = std::lround(std::max(0.0, seconds));
    char text[32];
    if (t >= 3600)
      std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else
      std::snprintf(text, sizeof text, "%ld:%02ld", t / 60, t % 60);
    return std::string(text);
  };
  char head[24];
  std::snprintf(head, sizeof head, "%-12s [", phase.c_str());
  std::string line = head;
  line += std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(kBarWidth - filled), '-');
  char tail[16];
  std::snprintf(tail, sizeof tail, "] %3d%%", p);
  line += tail;
  line += "  elapsed " + clock(elapsedSeconds);
  line += "  remaining " + (p > 0 ? clock(elapsedSeconds * (100 - p) / p) : std::string("?"));
  return line;
}

StepProgress::StepProgress(Console& console, std::string label, bool show)
    : console_(console), label_(std::move(label)), show_(show), started_(std::chrono::steady_clock::now()) {}

StepProgress::~StepProgress() { End(); }

void StepProgress::operator()(double share) {
  const int percent = std::clamp(static_cast<int>(share * 100.0), 0, 100);
  if (!show_) return;
  // A terminal's line taken away by Clear comes back even at the same value.
  if (percent == percent_ && (lineOpen_ || !console_.ProgressOnTerminal)) return;
  percent_ = percent;
  Draw();
}

void StepProgress::Draw() {
  if (!show_ || percent_ < 0) return;
  if (!console_.ProgressOnTerminal) {
    console_.Err << label_ << ' ' << percent_ << "%\n";
  } else {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    console_.Err << '\r' << ProgressLine(label_, percent_, elapsed) << "\x1b[K";
    lineOpen_ = true;
  }
  console_.Err.flush();
}

void StepProgress::Clear() {
  if (!lineOpen_) return;
  console_.Err << "\r\x1b[K";
  console_.Err.flush();
  lineOpen_ = false;
}

void StepProgress::End() {
  if (!lineOpen_) return;
  console_.Err << '\n';
  console_.Err.flush();
  lineOpen_ = false;
}

int RunProgram(std::vector<std::string> args, const fs::path& programFolder, Console& console) {
  std::optional<fs::path> chosen;
  try {
    chosen = params::TakeOptionsArgument(args);
  } catch (const std::invalid_argument& e) {
    console.Err << "vistarium-cli: " << e.what() << "\n" << UsageText();
    return 2;
  }
  std::string problem;
  const fs::path folder = params::ChooseOptionsFolder(programFolder, chosen, problem);
  if (!problem.empty()) console.Err << "vistarium-cli: warning: " << problem << "; using the delivered settings\n";
  // Programs this one starts (batch runs each set in a process of its own)
  // use the same settings.
  if (chosen) ::setenv(params::kOptionsFolderVariable, folder.c_str(), 1);
  return RunCli(args, programFolder, console);
}

int RunCli(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  try {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
      (args.empty() ? console.Err : console.Out) << UsageText(args.size() > 1 ? args[1] : "");
      return args.empty() ? 2 : 0;
    }
    if (args[0] == "--version") {
      console.Out << "vistarium-cli " << app::kVersion << '\n';
      return 0;
    }
    if (AsksForHelp(args)) {
      console.Out << UsageText(args[0]);
      return 0;
    }
    if (args[0] == "match") return Match(args, programFolder, console);
    if (args[0] == "stitch") return Stitch(args, programFolder, console);
    if (args[0] == "info") return Info(args, console);
    if (args[0] == "view") return View(args, console);
    if (args[0] == "export") return Export(args, console);
    if (args[0] == "batch") return Batch(args, programFolder, console);
    throw UsageError("unknown command \"" + args[0] + "\"");
  } catch (const UsageError& e) {
    console.Err << "vistarium-cli: " << e.what() << "\n" << UsageText(args.empty() ? "" : args[0]);
    return 2;
  } catch (const Cancelled& e) {
    console.Err << "vistarium-cli: " << e.what() << '\n';
    return 3;
  } catch (const std::bad_alloc&) {
    console.Err << "vistarium-cli: error: not enough memory; " << kMemoryHint << '\n';
    return 1;
  } catch (const std::exception& e) {
    console.Err << "vistarium-cli: error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace vistarium::cli
