#include "app/cli/cli.h"

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "app/pipeline.h"
#include "app/run_state.h"
#include "matching/progress.h"
#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"

namespace vistarium::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kUsage =
    "Usage:\n"
    "  vistarium-cli match [--params FILE.spr] [--lenses FILE] [--focal MM] [--aberration K]\n"
    "                      [--360] [--manual] [--reference] [--progress] PICTURE...\n"
    "\n"
    "  match   finds the matching parts of adjacent pictures (left to right) and prints\n"
    "          the connections as JSON. Parameters come from Options/CurrentParameters.spr\n"
    "          and the camera from Options/Lenses.txt beside the program unless --params\n"
    "          and --lenses name other files; --focal and --aberration override the\n"
    "          camera's numbers. --360 closes the circle, --manual places every connection\n"
    "          by the expected overlap without searching, --reference runs the plain\n"
    "          sequential search (same result, slower), --progress reports on stderr.\n";

// A bad command line (as opposed to bad input files or parameters).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The user answered No to the continue question.
struct Cancelled : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct MatchOptions {
  std::optional<fs::path> Params, Lenses;
  std::optional<double> Focal, Aberration;
  bool Is360 = false, Manual = false, Reference = false, Progress = false;
  std::vector<std::string> Pictures;
};

double ParseNumberOption(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v))
    throw UsageError(name + " needs a number, not \"" + text + "\"");
  return v;
}

MatchOptions ParseMatchOptions(const std::vector<std::string>& args) {
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
    else if (a == "--focal")
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
  const fs::path paramsPath = o.Params ? *o.Params : params::CurrentParameterFilePath(programFolder);
  params::ParameterSets sets;
  try {
    sets = params::LoadParameterFile(paramsPath);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot read parameter file \"" + paramsPath.string() + "\": " + e.what());
  }
  if (!(o.Focal && o.Aberration)) {
    const fs::path lensesPath = o.Lenses ? *o.Lenses : params::CameraListPath(programFolder);
    std::vector<std::string> lines;
    try {
      lines = params::ReadCameraListLines(lensesPath);
    } catch (const std::exception& e) {
      throw std::runtime_error("cannot read camera list \"" + lensesPath.string() + "\": " + e.what());
    }
    const auto line = params::FindCameraLine(lines, sets.Camera.Name);
    const auto camera = line ? params::CameraFromLine(*line) : std::nullopt;
    if (!camera)
      throw std::runtime_error("camera \"" + sets.Camera.Name + "\" is not in the camera list \"" +
                               lensesPath.string() + "\"");
    sets.Camera.FocalLength = camera->FocalLength;
    sets.Camera.Aberration = camera->Aberration;
  }
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
// answer it.
class ConsoleProgress : public matching::SilentProgressUi {
public:
  ConsoleProgress(Console& console, bool show) : console_(console), show_(show) {}
  void ShowBar(matching::Phase phase, int percent) override {
    if (!show_) return;
    console_.Err << (phase == matching::Phase::Finding ? "finding" : "constructing") << ' ' << percent << "%"
                 << (times_.empty() ? "" : "  ") << times_ << '\n';
    console_.Err.flush();
  }
  void ShowTimes(matching::Phase, const std::string& elapsed, const std::string& estimated) override {
    times_ = "elapsed" + elapsed + ", estimated" + estimated;
  }
  bool AskContinue(const std::string& question) override {
    if (!console_.Interactive) return true;
    console_.Err << question << " [y/n] ";
    console_.Err.flush();
    std::string answer;
    if (!std::getline(console_.In, answer)) return true;
    return !(answer.starts_with('n') || answer.starts_with('N'));
  }

private:
  Console& console_;
  bool show_;
  std::string times_;
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

json ConnectionsJson(const RunState& rs) {
  json list = json::array();
  const int count = rs.PictureSet.Count;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    const int j = i + 1 == count ? 0 : i + 1;
    const TConnectionSide& l = rs.Geometry.at(static_cast<std::size_t>(i)).RightConnection;
    const TConnectionSide& r = rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection;
    list.push_back({{"left", i},
                    {"right", j},
                    {"left_image_points", Points(l.ImagePoints)},
                    {"right_image_points", Points(r.ImagePoints)},
                    {"left_working_points", Points(l.WorkingPoints)},
                    {"right_working_points", Points(r.WorkingPoints)}});
  }
  return list;
}

int Match(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  const MatchOptions o = ParseMatchOptions(args);
  if (o.Pictures.empty()) throw UsageError("match needs the pictures, left to right");
  const params::ParameterSets sets = LoadParameters(o, programFolder);
  CheckPictures(o.Pictures);

  TPictureSetData pictures;
  pictures.FileNames = o.Pictures;
  pictures.Count = static_cast<std::int32_t>(o.Pictures.size());
  pictures.Is360 = o.Is360;

  RunState rs;
  rs.UseReferenceSearch = o.Reference;
  ConsoleProgress ui(console, o.Progress);
  if (o.Manual) {
    rs.ManualStitching = true;
    app::RunFindingPhaseWithoutEstimate(rs, ui, pictures, sets);
    rs.ManualStitching = false;
  } else {
    app::RunFindingPhase(rs, ui, pictures, sets);
  }
  if (rs.CancelRequested) throw Cancelled("matching stopped by the user");

  const json doc = {{"projection", ProjectionJson(rs.Projection)}, {"connections", ConnectionsJson(rs)}};
  console.Out << doc.dump(2) << '\n';
  return 0;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, const fs::path& programFolder, Console& console) {
  try {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
      (args.empty() ? console.Err : console.Out) << kUsage;
      return args.empty() ? 2 : 0;
    }
    if (args[0] == "match") return Match(args, programFolder, console);
    throw UsageError("unknown command \"" + args[0] + "\"");
  } catch (const UsageError& e) {
    console.Err << "vistarium-cli: " << e.what() << "\n" << kUsage;
    return 2;
  } catch (const Cancelled& e) {
    console.Err << "vistarium-cli: " << e.what() << '\n';
    return 3;
  } catch (const std::exception& e) {
    console.Err << "vistarium-cli: error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace vistarium::cli
