// vistarium-render-samples: renders a set of overlapping perspective pictures
// of a photo wrapped onto the viewing sphere, with known orientations, and
// writes them with their truth.json.

#include <chrono>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sample_set.h"

namespace {

using namespace vistarium;
using namespace vistarium::samples;

const char* const kUsage = R"(Usage: vistarium-render-samples [--preset NAME | --study NAME] [options] --out FOLDER

Renders overlapping perspective pictures of a photo wrapped onto the viewing
sphere, with known orientations, and writes them as JPEG files beside a
truth.json that records the camera, the scene and every orientation.

  --preset NAME      a committed set: open4, circle8 or portrait5; other
                     options given with it change that set
  --study NAME       a study set (open-aitz, open-picos, open-sunset,
                     portrait-picos, circle-picos, mp12-aitz, handheld-aitz,
                     pair66-tilted, tilted60-picos, tilted30-aitz,
                     lowtex-sunset); other
                     options change it as for a preset
  --photos FOLDER    folder holding the preset's photo (default: current)
  --photo FILE       the scene photo (JPEG or BMP)
  --span DEG         longitude span of the photo on the sphere (default 180)
  --reduce N         first shrink the photo N times by block averaging (1)
  --mirror           repeat the photo mirrored beyond its span (span must
                     divide 180); implied by --360
  --size WxH         picture size in pixels (default 1024x768)
  --focal MM         focal length, 35 mm equivalent (default 28)
  --aberration K     aberration coefficient (default 0)
  --count N          number of pictures (default 4)
  --360              the pictures close the full circle (yaw step 360/N)
  --overlap PCT      share of the centre row that adjacent pictures have in
                     common, for open sets (default 33)
  --yaw-step DEG     yaw step of open sets instead of --overlap
  --yaw-offset DEG   yaw of the middle of an open set, or of the first
                     picture of a 360 degree set (default 0)
  --pitch LIST       pitch in degrees, one for all or one per picture,
                     separated by commas (default 0)
  --roll LIST        roll in degrees, likewise (default 0)
  --yaw-jitter DEG   hand-held: move each picture's yaw by a uniform draw
                     within +-DEG (default 0); likewise --pitch-jitter and
                     --roll-jitter
  --gain-spread EV   exposure of each picture 2^u times the scene's, u drawn
                     within +-EV stops (default 0)
  --cast-spread PCT  each colour channel of each picture scaled by 1 + v, v
                     drawn within +-PCT % (default 0)
  --noise SIGMA      Gaussian sensor noise of SIGMA levels of 255 (default 0)
  --seed N           seed of the hand-held draws and the noise (default 1)
  --name PREFIX      picture files are PREFIX_01.jpg, ... (default: picture,
                     or the preset's name)
  --quality Q        JPEG quality 1 to 100 (default 90)
  --out FOLDER       where to write the set (created when missing)

Orientation: world = Ry(yaw) * Rx(pitch) * Rz(roll) * own, own frame x right,
y up, z forward; yaw positive to the right, pitch up, roll turns the camera's
up vector to the right.
)";

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

double ParseNumber(const std::string& option, const std::string& text) {
  std::size_t used = 0;
  double v = 0.0;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !std::isfinite(v))
    throw UsageError(option + " needs a number, not \"" + text + "\"");
  return v;
}

int ParseInteger(const std::string& option, const std::string& text) {
  const double v = ParseNumber(option, text);
  if (v != std::floor(v) || v < -2147483647.0 || v > 2147483647.0)
    throw UsageError(option + " needs a whole number, not \"" + text + "\"");
  return static_cast<int>(v);
}

std::vector<double> ParseList(const std::string& option, const std::string& text) {
  std::vector<double> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(ParseNumber(option, item));
  if (values.empty()) throw UsageError(option + " needs at least one number");
  return values;
}

TPoint ParseSize(const std::string& text) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos) throw UsageError("--size needs WIDTHxHEIGHT, not \"" + text + "\"");
  const TPoint s{ParseInteger("--size", text.substr(0, x)), ParseInteger("--size", text.substr(x + 1))};
  if (s.X <= 0 || s.Y <= 0) throw UsageError("--size needs a positive width and height");
  return s;
}

void ReportPicture(const WrittenFile& f) {
  std::cout << "  " << f.Path << "  " << f.Bytes << " bytes" << std::endl;
}

int Run(const std::vector<std::string>& args) {
  SetRecipe recipe;
  std::string preset, photos, out;
  bool changed = false;

  // The preset or study set first, wherever it stands, so that the other
  // options change it.
  for (std::size_t i = 0; i < args.size(); ++i)
    if (args[i] == "--preset" || args[i] == "--study") {
      const bool study = args[i] == "--study";
      if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a name");
      const std::optional<SetRecipe> found = study ? FindStudySet(args[i + 1]) : FindPreset(args[i + 1]);
      if (!found) {
        std::string names;
        for (const std::string& n : study ? StudySetNames() : PresetNames()) names += " " + n;
        throw UsageError("Unknown " + std::string(study ? "study set" : "preset") + " \"" + args[i + 1] +
                         "\"; they are:" + names);
      }
      if (!study) preset = args[i + 1];
      recipe = *found;
    }

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--preset" || a == "--study") {
      ++i;
    } else if (a == "--photos") {
      photos = value();
    } else if (a == "--out") {
      out = value();
    } else {
      changed = true;
      if (a == "--photo") recipe.Photo = value();
      else if (a == "--span") recipe.Scene.Span = ParseNumber(a, value());
      else if (a == "--reduce") recipe.Scene.Reduction = ParseInteger(a, value());
      else if (a == "--mirror") recipe.Scene.Mirrored = true;
      else if (a == "--size") recipe.Camera.Size = ParseSize(value());
      else if (a == "--focal") recipe.Camera.FocalLength = ParseNumber(a, value());
      else if (a == "--aberration") recipe.Camera.Aberration = ParseNumber(a, value());
      else if (a == "--count") recipe.Count = ParseInteger(a, value());
      else if (a == "--360") recipe.Is360 = true;
      else if (a == "--overlap") {
        recipe.Overlap = ParseNumber(a, value()) / 100.0;
        recipe.YawStep.reset();
      } else if (a == "--yaw-step") recipe.YawStep = ParseNumber(a, value());
      else if (a == "--yaw-offset") recipe.YawOffset = ParseNumber(a, value());
      else if (a == "--pitch") recipe.Pitch = ParseList(a, value());
      else if (a == "--roll") recipe.Roll = ParseList(a, value());
      else if (a == "--yaw-jitter") recipe.YawJitter = ParseNumber(a, value());
      else if (a == "--pitch-jitter") recipe.PitchJitter = ParseNumber(a, value());
      else if (a == "--roll-jitter") recipe.RollJitter = ParseNumber(a, value());
      else if (a == "--gain-spread") recipe.GainSpread = ParseNumber(a, value());
      else if (a == "--cast-spread") recipe.CastSpread = ParseNumber(a, value()) / 100.0;
      else if (a == "--noise") recipe.NoiseSigma = ParseNumber(a, value());
      else if (a == "--seed") {
        const double v = ParseNumber(a, value());
        if (v < 0.0 || v != std::floor(v) || v > 9007199254740992.0)
          throw UsageError("--seed needs a whole number of at least 0");
        recipe.Seed = static_cast<std::uint64_t>(v);
      } else if (a == "--name") recipe.Name = value();
      else if (a == "--quality") recipe.JpegQuality = ParseInteger(a, value());
      else throw UsageError("Unknown option \"" + a + "\"");
    }
  }
  if (out.empty()) throw UsageError("--out is required");
  if (recipe.Photo.empty()) throw UsageError("--photo or --preset is required");
  std::string photoPath = recipe.Photo;
  if (!photos.empty() && std::filesystem::path(photoPath).is_relative())
    photoPath = (std::filesystem::path(photos) / photoPath).string();

  SampleSet set = PlanSet(recipe);
  if (!preset.empty() && !changed) set.Preset = preset;

  const auto start = std::chrono::steady_clock::now();
  const Scene scene = Scene::Load(photoPath, recipe.Scene.Reduction, set.Scene.Span, set.Scene.Mirrored);
  std::cout << "Scene: " << photoPath << ", " << scene.PhotoSize().X << " x " << scene.PhotoSize().Y
            << " pixels over " << scene.Span() << " x " << scene.LatitudeSpan() << " degrees"
            << (scene.Mirrored() ? ", mirrored" : "") << "\n";
  std::cout << "Pictures: " << set.Pictures.size() << " of " << set.Camera.Size.X << " x " << set.Camera.Size.Y
            << ", focal " << set.Camera.FocalLength << " mm, aberration " << set.Camera.Aberration
            << (set.Is360 ? ", full circle" : "") << "\n";
  if (!SeesOnlyPhoto(scene, set.Geometry()))
    std::cout << "Warning: some pictures see past the photo (neutral grey there)\n";
  const std::vector<WrittenFile> files = WriteSampleSet(set, scene, out, &ReportPicture);
  std::uintmax_t total = 0;
  for (const WrittenFile& f : files) total += f.Bytes;

  const SetGeometry geometry = set.Geometry();
  const int n = geometry.Count();
  for (const SamplePicture& p : set.Pictures)
    if (!p.Exposure.IsNeutral() || set.NoiseSigma > 0.0)
      std::printf("  %s: yaw %.2f pitch %.2f roll %.2f, gain %.3f, cast %.3f %.3f %.3f, noise %.1f\n", p.File.c_str(),
                  p.Orientation.Yaw, p.Orientation.Pitch, p.Orientation.Roll, p.Exposure.Gain, p.Exposure.Cast[0],
                  p.Exposure.Cast[1], p.Exposure.Cast[2], set.NoiseSigma);
  for (int i = 0; i < (set.Is360 ? n : n - 1) && n > 1; ++i) {
    const int k = (i + 1) % n;
    std::printf("  %s -> %s: centre row %.1f %%, right edge column %.1f %%\n",
                set.Pictures[static_cast<std::size_t>(i)].File.c_str(),
                set.Pictures[static_cast<std::size_t>(k)].File.c_str(), 100.0 * geometry.CentreRowOverlap(i, k),
                100.0 * geometry.RightEdgeVisible(i, k));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("Wrote %zu files, %ju bytes, in %.1f s\n", files.size(), total, seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "vistarium-render-samples: " << e.what() << "\n(--help shows the options)\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "vistarium-render-samples: " << e.what() << "\n";
    return 1;
  }
}
