#include "sample_set.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "render/picture_file.h"
#include "render/sampling.h"
#include "sample_exif.h"

namespace vistarium::samples {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kKind = "vistarium sample set";
constexpr int kVersion = 1;

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string PictureFileName(const std::string& name, int index, int count) {
  const int digits = count >= 100 ? 3 : 2;
  std::string number = std::to_string(index + 1);
  number.insert(0, static_cast<std::size_t>(digits) - std::min<std::size_t>(number.size(), digits), '0');
  return name + "_" + number + ".jpg";
}

Json SizeJson(TPoint s) { return Json{{"width", s.X}, {"height", s.Y}}; }

// Reading: every problem becomes a TruthFileError naming the file.
class Reader {
public:
  explicit Reader(std::string name) : name_(std::move(name)) {}

  [[noreturn]] void Fail(const std::string& problem) const { throw TruthFileError(name_ + ": " + problem); }

  const Json& Member(const Json& object, const char* key) const {
    if (!object.is_object()) Fail("expected an object holding \"" + std::string(key) + "\"");
    const auto it = object.find(key);
    if (it == object.end()) Fail("\"" + std::string(key) + "\" is missing");
    return *it;
  }
  double Number(const Json& object, const char* key) const {
    const Json& v = Member(object, key);
    if (!v.is_number() || !std::isfinite(v.get<double>())) Fail("\"" + std::string(key) + "\" must be a number");
    return v.get<double>();
  }
  int Integer(const Json& object, const char* key) const {
    const Json& v = Member(object, key);
    if (!v.is_number_integer() || v.get<long long>() < -2147483647LL || v.get<long long>() > 2147483647LL)
      Fail("\"" + std::string(key) + "\" must be an integer");
    return static_cast<int>(v.get<long long>());
  }
  bool Flag(const Json& object, const char* key) const {
    const Json& v = Member(object, key);
    if (!v.is_boolean()) Fail("\"" + std::string(key) + "\" must be true or false");
    return v.get<bool>();
  }
  std::string Text(const Json& object, const char* key) const {
    const Json& v = Member(object, key);
    if (!v.is_string()) Fail("\"" + std::string(key) + "\" must be a string");
    return v.get<std::string>();
  }
  TPoint Size(const Json& object, const char* key, bool mayBeZero) const {
    const Json& v = Member(object, key);
    const TPoint s{Integer(v, "width"), Integer(v, "height")};
    const bool ok = mayBeZero ? (s.X >= 0 && s.Y >= 0) : (s.X > 0 && s.Y > 0);
    if (!ok) Fail("\"" + std::string(key) + "\" is not a valid size");
    return s;
  }
  // A plain file name: no folders, nothing that leaves the set's folder.
  std::string PlainName(const Json& object, const char* key) const {
    const std::string s = Text(object, key);
    if (s.empty() || s == "." || s == ".." || s.find('/') != std::string::npos ||
        s.find('\\') != std::string::npos)
      Fail("\"" + std::string(key) + "\" must be a plain file name, not \"" + s + "\"");
    return s;
  }

private:
  std::string name_;
};

std::vector<double> PerPicture(const std::vector<double>& values, int count, const char* what) {
  if (values.empty()) return std::vector<double>(static_cast<std::size_t>(count), 0.0);
  if (values.size() == 1) return std::vector<double>(static_cast<std::size_t>(count), values[0]);
  if (values.size() != static_cast<std::size_t>(count))
    throw std::invalid_argument(std::string("Give one ") + what + " for all pictures or one per picture (" +
                                std::to_string(count) + "), not " + std::to_string(values.size()));
  return values;
}

}  // namespace

SetGeometry SampleSet::Geometry() const {
  std::vector<Rotation> rotations;
  rotations.reserve(Pictures.size());
  for (const SamplePicture& p : Pictures) rotations.push_back(p.Orientation);
  return SetGeometry(Camera, std::move(rotations));
}

std::string TruthText(const SampleSet& set) {
  Json j;
  j["kind"] = kKind;
  j["version"] = kVersion;
  if (!set.Preset.empty()) j["preset"] = set.Preset;
  j["convention"] = kRotationConvention;
  j["pictureSize"] = SizeJson(set.Camera.Size);
  j["focalLength"] = set.Camera.FocalLength;
  j["aberration"] = set.Camera.Aberration;
  j["is360"] = set.Is360;
  const double latitudeSpan =
      set.PhotoSize.X > 0 ? set.Scene.Span * set.PhotoSize.Y / static_cast<double>(set.PhotoSize.X) : 0.0;
  j["scene"] = Json{{"photo", set.Scene.Photo},
                    {"reduction", set.Scene.Reduction},
                    {"photoSize", SizeJson(set.PhotoSize)},
                    {"spanDegrees", set.Scene.Span},
                    {"latitudeSpanDegrees", latitudeSpan},
                    {"mirrored", set.Scene.Mirrored}};
  j["jpegQuality"] = set.JpegQuality;
  Json pictures = Json::array();
  for (const SamplePicture& p : set.Pictures) {
    Json picture{{"file", p.File}, {"yaw", p.Orientation.Yaw}, {"pitch", p.Orientation.Pitch}, {"roll", p.Orientation.Roll}};
    if (!p.Exposure.IsNeutral()) {
      picture["gain"] = p.Exposure.Gain;
      picture["colourCast"] = Json::array({p.Exposure.Cast[0], p.Exposure.Cast[1], p.Exposure.Cast[2]});
    }
    pictures.push_back(std::move(picture));
  }
  j["pictures"] = std::move(pictures);
  if (set.NoiseSigma > 0.0) j["noise"] = Json{{"sigma", set.NoiseSigma}, {"seed", set.NoiseSeed}};

  // Informative: how much of each picture the next one shares.
  const SetGeometry geometry = set.Geometry();
  Json overlaps = Json::array();
  const int n = geometry.Count();
  const int pairs = set.Is360 ? n : n - 1;
  for (int i = 0; i < pairs && n > 1; ++i) {
    const int k = (i + 1) % n;
    const double row = std::round(geometry.CentreRowOverlap(i, k) * 1e4) / 1e4;
    const double edge = std::round(geometry.RightEdgeVisible(i, k) * 1e4) / 1e4;
    overlaps.push_back(Json{{"left", set.Pictures[static_cast<std::size_t>(i)].File},
                            {"right", set.Pictures[static_cast<std::size_t>(k)].File},
                            {"centreRow", row},
                            {"rightEdgeColumn", edge}});
  }
  j["adjacentOverlap"] = std::move(overlaps);
  return j.dump(2) + "\n";
}

SampleSet ParseTruth(const std::string& text, const std::string& name) {
  const Reader r(name);
  Json j;
  try {
    j = Json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    r.Fail(std::string("not valid JSON (") + e.what() + ")");
  }
  if (!j.is_object()) r.Fail("the truth file must hold one JSON object");
  if (r.Text(j, "kind") != kKind) r.Fail("not a sample set's truth file");
  if (r.Integer(j, "version") != kVersion) r.Fail("unknown truth file version");

  SampleSet set;
  if (j.contains("preset")) set.Preset = r.Text(j, "preset");
  set.Camera.Size = r.Size(j, "pictureSize", false);
  set.Camera.FocalLength = r.Number(j, "focalLength");
  set.Camera.Aberration = r.Number(j, "aberration");
  set.Is360 = r.Flag(j, "is360");
  const Json& scene = r.Member(j, "scene");
  set.Scene.Photo = r.Text(scene, "photo");
  set.Scene.Reduction = r.Integer(scene, "reduction");
  set.PhotoSize = r.Size(scene, "photoSize", true);
  set.Scene.Span = r.Number(scene, "spanDegrees");
  set.Scene.Mirrored = r.Flag(scene, "mirrored");
  if (set.Scene.Reduction < 1) r.Fail("\"reduction\" must be at least 1");
  if (!(set.Scene.Span > 0.0 && set.Scene.Span <= 360.0)) r.Fail("\"spanDegrees\" must lie in (0, 360]");
  set.JpegQuality = r.Integer(j, "jpegQuality");

  const Json& pictures = r.Member(j, "pictures");
  if (!pictures.is_array() || pictures.empty()) r.Fail("\"pictures\" must be a list of at least one picture");
  for (const Json& p : pictures) {
    SamplePicture picture;
    picture.File = r.PlainName(p, "file");
    picture.Orientation = {r.Number(p, "yaw"), r.Number(p, "pitch"), r.Number(p, "roll")};
    if (p.contains("gain")) {
      picture.Exposure.Gain = r.Number(p, "gain");
      const Json& cast = r.Member(p, "colourCast");
      if (!cast.is_array() || cast.size() != 3) r.Fail("\"colourCast\" must be a list of three numbers");
      for (std::size_t c = 0; c < 3; ++c) {
        if (!cast[c].is_number() || !std::isfinite(cast[c].get<double>()) || cast[c].get<double>() < 0.0)
          r.Fail("\"colourCast\" must be a list of three numbers");
        picture.Exposure.Cast[c] = cast[c].get<double>();
      }
      if (!(picture.Exposure.Gain >= 0.0)) r.Fail("\"gain\" must not be negative");
    }
    set.Pictures.push_back(std::move(picture));
  }
  if (j.contains("noise")) {
    const Json& noise = r.Member(j, "noise");
    set.NoiseSigma = r.Number(noise, "sigma");
    const Json& seed = r.Member(noise, "seed");
    if (!seed.is_number_unsigned()) r.Fail("\"seed\" must be a whole number");
    set.NoiseSeed = seed.get<std::uint64_t>();
    if (!(set.NoiseSigma >= 0.0)) r.Fail("\"sigma\" must not be negative");
  }
  try {
    (void)set.Geometry();
  } catch (const std::exception& e) {
    r.Fail(std::string("the camera cannot be used: ") + e.what());
  }
  return set;
}

SampleSet LoadTruthFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TruthFileError(path + ": cannot be opened");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw TruthFileError(path + ": cannot be read");
  return ParseTruth(text.str(), path);
}

TPictureSetData RunPictures(const SampleSet& set, const std::string& folder, int count) {
  const std::size_t taken =
      count < 0 ? set.Pictures.size() : std::min(set.Pictures.size(), static_cast<std::size_t>(count));
  TPictureSetData pictures;
  for (std::size_t k = 0; k < taken; ++k)
    pictures.FileNames.push_back((std::filesystem::path(folder) / set.Pictures[k].File).string());
  pictures.Count = static_cast<std::int32_t>(taken);
  pictures.Is360 = set.Is360 && taken == set.Pictures.size();
  return pictures;
}

params::ParameterSets WithSetCamera(params::ParameterSets base, const SampleSet& set) {
  base.Camera.FocalLength = set.Camera.FocalLength;
  base.Camera.Aberration = set.Camera.Aberration;
  return base;
}

std::vector<std::string> PresetNames() { return {"open4", "circle8", "portrait5", "sunset8"}; }

std::optional<SetRecipe> FindPreset(const std::string& name) {
  SetRecipe r;
  r.Name = name;
  if (name == "open4") {
    // Four hand-held landscape pictures, an open panorama.
    r.Photo = "aitzgorri_by_Aitzol_Berasategi.jpg";
    r.Scene = {"", 1, 220.0, false};
    r.Camera = {{1024, 768}, 28.0, 0.0};
    r.Count = 4;
    r.YawStep = 45.0;
    r.Pitch = {1.2, -0.4, 0.6, -1.5};
    r.Roll = {-0.7, 0.9, -1.6, 0.4};
    r.JpegQuality = 90;
    return r;
  }
  if (name == "circle8" || name == "sunset8") {
    // Eight landscape pictures closing the full circle; the photo and its
    // mirror image make the scene. The sunset is a hard scene (smooth sky,
    // dark hills, lens flares) on which the matching misplaces a connection.
    const bool sunset = name == "sunset8";
    r.Photo = sunset ? "sunset_by_Aitzol_Berasategi.jpg" : "picosdeeuropa_by_Aitzol_Berasategi.jpg";
    r.Scene = {"", 2, 180.0, true};
    r.Camera = {{1024, 768}, 28.0, 0.0};
    r.Count = 8;
    r.Is360 = true;
    r.Pitch = {0.6, -0.8, 0.3, 1.0, -0.5, 0.2, -1.0, 0.7};
    r.Roll = {0.4, -0.6, 0.9, -0.3, 0.5, -0.9, 0.2, -0.4};
    r.JpegQuality = sunset ? 90 : 80;
    return r;
  }
  if (name == "portrait5") {
    // Five portrait pictures, with the delivered camera's lens, so that
    // the first try with the delivered settings joins them without a word.
    r.Photo = "picosdeeuropa_by_Aitzol_Berasategi.jpg";
    r.Scene = {"", 1, 210.0, false};
    r.Camera = {{768, 1024}, 28.0, 0.0};
    r.Count = 5;
    r.YawStep = 34.0;
    r.Pitch = {-0.8, 0.5, 1.1, -0.3, 0.7};
    r.Roll = {0.6, -1.2, 0.3, 0.9, -0.5};
    r.JpegQuality = 85;
    return r;
  }
  return std::nullopt;
}

std::uint64_t SampleNumbers::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double SampleNumbers::Uniform(double lo, double hi) {
  return lo + (hi - lo) * static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

double SampleNumbers::Gaussian() {
  // 1 - u lies in (0, 1], so the logarithm is finite.
  const double u = 1.0 - Uniform(0.0, 1.0), v = Uniform(0.0, 1.0);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
}

void ApplyExposureAndNoise(DeviceBitmap& picture, const PictureExposure& exposure, double sigma,
                           std::uint64_t seed) {
  const double factor[3] = {exposure.Gain * exposure.Cast[0], exposure.Gain * exposure.Cast[1],
                            exposure.Gain * exposure.Cast[2]};
#pragma omp parallel for schedule(dynamic, 16)
  for (int y = 0; y < picture.Height; ++y) {
    SampleNumbers numbers(seed ^ (static_cast<std::uint64_t>(y) * 0xD1B54A32D192ED03ull));
    for (int x = 0; x < picture.Width; ++x) {
      const auto c = static_cast<std::uint32_t>(picture.Pixel(x, y));
      std::uint32_t out = 0;
      for (int channel = 0; channel < 3; ++channel) {
        double v = static_cast<double>((c >> (8 * channel)) & 0xFFu) * factor[channel];
        if (sigma > 0.0) v += sigma * numbers.Gaussian();
        out |= static_cast<std::uint32_t>(render::RoundToByte(std::clamp(v, 0.0, 255.0))) << (8 * channel);
      }
      picture.SetPixel(x, y, static_cast<PackedColor>(out));
    }
  }
}

namespace {

constexpr const char* kAitzgorri = "aitzgorri_by_Aitzol_Berasategi.jpg";
constexpr const char* kPicos = "picosdeeuropa_by_Aitzol_Berasategi.jpg";
constexpr const char* kSunset = "sunset_by_Aitzol_Berasategi.jpg";

// A hand-held photographer: a few degrees of tilt and roll, uneven yaw
// steps, automatic exposure and white balance that differ a little from
// picture to picture, and the noise of a small sensor.
void HandHeld(SetRecipe& r, double tilt, double yaw, double stops, double cast, double noise, std::uint64_t seed) {
  r.PitchJitter = tilt;
  r.RollJitter = tilt;
  r.YawJitter = yaw;
  r.GainSpread = stops;
  r.CastSpread = cast;
  r.NoiseSigma = noise;
  r.Seed = seed;
}

}  // namespace

std::vector<std::string> StudySetNames() {
  return {"open-aitz",   "open-picos",  "open-sunset", "portrait-picos", "circle-picos",
          "mp12-aitz",   "handheld-aitz", "pair66-tilted", "tilted60-picos", "tilted30-aitz", "lowtex-sunset"};
}

std::optional<SetRecipe> FindStudySet(const std::string& name) {
  SetRecipe r;
  r.Name = name;
  r.JpegQuality = 90;
  if (name == "open-aitz" || name == "open-picos" || name == "open-sunset") {
    // Four landscape pictures of 2 megapixels, a tripod-steady row.
    if (name == "open-aitz") {
      r.Photo = kAitzgorri, r.Scene = {"", 1, 220.0, false};
      r.Pitch = {1.2, -0.4, 0.6, -1.5}, r.Roll = {-0.7, 0.9, -1.6, 0.4};
    } else if (name == "open-picos") {
      r.Photo = kPicos, r.Scene = {"", 1, 210.0, false};
      r.Pitch = {-0.6, 0.8, -1.1, 0.3}, r.Roll = {0.5, -0.9, 1.2, -0.4};
    } else {
      r.Photo = kSunset, r.Scene = {"", 1, 180.0, false};
      r.Pitch = {0.4, -1.0, 0.9, -0.2}, r.Roll = {-1.1, 0.3, -0.5, 1.4};
    }
    r.Camera = {{1600, 1200}, 35.0, 0.0};
    r.Count = 4;
    r.Overlap = 0.30;
    return r;
  }
  if (name == "portrait-picos") {
    r.Photo = kPicos, r.Scene = {"", 1, 210.0, false};
    r.Camera = {{1200, 1600}, 28.0, 0.0};
    r.Count = 5;
    r.Overlap = 0.30;
    r.Pitch = {-0.8, 0.5, 1.1, -0.3, 0.7}, r.Roll = {0.6, -1.2, 0.3, 0.9, -0.5};
    return r;
  }
  if (name == "circle-picos") {
    r.Photo = kPicos, r.Scene = {"", 2, 180.0, true};
    r.Camera = {{1200, 900}, 24.0, 0.0};
    r.Count = 8;
    r.Is360 = true;
    r.Pitch = {0.6, -0.8, 0.3, 1.0, -0.5, 0.2, -1.0, 0.7};
    r.Roll = {0.4, -0.6, 0.9, -0.3, 0.5, -0.9, 0.2, -0.4};
    return r;
  }
  if (name == "mp12-aitz") {
    r.Photo = kAitzgorri, r.Scene = {"", 1, 220.0, false};
    r.Camera = {{4000, 3000}, 28.0, 0.0};
    r.Count = 4;
    r.Overlap = 0.30;
    r.Pitch = {1.2, -0.4, 0.6, -1.5}, r.Roll = {-0.7, 0.9, -1.6, 0.4};
    return r;
  }
  if (name == "handheld-aitz") {
    // Six hand-held pictures with barrel aberration.
    r.Photo = kAitzgorri, r.Scene = {"", 1, 250.0, false};
    r.Camera = {{2000, 1500}, 35.0, -0.02};
    r.Count = 6;
    r.Overlap = 0.35;
    HandHeld(r, 3.0, 2.0, 0.5, 0.04, 2.5, 6);
    return r;
  }
  if (name == "pair66-tilted") {
    // A phone pair: small pictures overlapping by two thirds, both aimed
    // about 8 degrees upwards.
    r.Photo = kAitzgorri, r.Scene = {"", 1, 220.0, false};
    r.Camera = {{751, 563}, 29.0, 0.0};
    r.Count = 2;
    r.Overlap = 0.66;
    r.Pitch = {8.0};
    HandHeld(r, 1.5, 1.0, 0.3, 0.03, 2.0, 66);
    return r;
  }
  if (name == "tilted60-picos") {
    // A row shot upwards with generous overlaps, hand-held.
    r.Photo = kPicos, r.Scene = {"", 1, 210.0, false};
    r.Camera = {{1600, 1200}, 28.0, -0.02};
    r.Count = 5;
    r.Overlap = 0.60;
    r.Pitch = {8.0};
    HandHeld(r, 2.0, 1.5, 0.3, 0.03, 1.5, 60);
    return r;
  }
  if (name == "tilted30-aitz") {
    // A steady row aimed 8 degrees upwards with ordinary overlaps: the tilt
    // alone, apart from large overlaps and hand-held shooting.
    r.Photo = kAitzgorri, r.Scene = {"", 1, 220.0, false};
    r.Camera = {{1600, 1200}, 35.0, 0.0};
    r.Count = 4;
    r.Overlap = 0.30;
    r.Pitch = {8.0};
    r.Roll = {-0.5, 0.7, -0.3, 0.6};
    return r;
  }
  if (name == "lowtex-sunset") {
    // Evening sky over dark hills, aimed high: little texture to match on.
    r.Photo = kSunset, r.Scene = {"", 1, 180.0, false};
    r.Camera = {{1600, 1200}, 35.0, 0.0};
    r.Count = 4;
    r.Overlap = 0.30;
    r.Pitch = {10.0};
    r.Roll = {0.4, -0.6, 0.8, -0.3};
    return r;
  }
  return std::nullopt;
}

double YawStepForOverlap(const SampleCamera& camera, double overlap) {
  if (!(overlap > 0.0 && overlap < 1.0)) throw std::invalid_argument("The overlap must lie between 0 and 1");
  const SetGeometry g(camera, {});
  const double w = camera.Size.X, mid = camera.Size.Y / 2.0;
  // The shared part of the left picture runs from x = w (1 - overlap) to its
  // right edge; its start must meet the right picture's left edge, at own
  // longitude -edge.
  const double edge = DirectionToLonLat(g.OwnDirection({w, mid})).Lon;
  const double start = DirectionToLonLat(g.OwnDirection({w * (1.0 - overlap), mid})).Lon;
  return start + edge;
}

SampleSet PlanSet(const SetRecipe& recipe) {
  if (recipe.Count < 1) throw std::invalid_argument("A set needs at least one picture");
  if (recipe.Is360 && recipe.Count < 2) throw std::invalid_argument("A 360 degree set needs at least two pictures");
  if (recipe.Name.empty() || recipe.Name.find('/') != std::string::npos)
    throw std::invalid_argument("The set name must be a plain file name prefix");
  if (recipe.JpegQuality < 1 || recipe.JpegQuality > 100)
    throw std::invalid_argument("The JPEG quality must lie between 1 and 100");
  if (recipe.Scene.Reduction < 1) throw std::invalid_argument("The photo reduction must be at least 1");

  SampleSet set;
  set.Camera = recipe.Camera;
  set.Scene = recipe.Scene;
  set.Scene.Photo = FileName(recipe.Photo);
  set.Scene.Mirrored = recipe.Scene.Mirrored || recipe.Is360;
  set.Is360 = recipe.Is360;
  set.JpegQuality = recipe.JpegQuality;
  (void)SetGeometry(set.Camera, {});  // validates the camera

  double step;
  if (recipe.Is360)
    step = 360.0 / recipe.Count;
  else
    step = recipe.YawStep ? *recipe.YawStep : YawStepForOverlap(recipe.Camera, recipe.Overlap);
  if (!std::isfinite(step)) throw std::invalid_argument("The yaw step must be a number");
  const std::vector<double> pitch = PerPicture(recipe.Pitch, recipe.Count, "pitch");
  const std::vector<double> roll = PerPicture(recipe.Roll, recipe.Count, "roll");
  for (const double v : {recipe.YawJitter, recipe.PitchJitter, recipe.RollJitter, recipe.GainSpread,
                         recipe.CastSpread, recipe.NoiseSigma})
    if (!(v >= 0.0 && std::isfinite(v)))
      throw std::invalid_argument("Jitter, exposure spreads and noise must be numbers of at least 0");
  if (recipe.CastSpread >= 1.0) throw std::invalid_argument("The colour cast spread must stay below 1");
  if (recipe.NoiseSigma > 0.0) {
    set.NoiseSigma = recipe.NoiseSigma;
    set.NoiseSeed = recipe.Seed;
  }
  // Draws in a fixed order per picture (yaw, pitch, roll, gain, three casts),
  // whichever of them are in use, so that turning one on leaves the others.
  SampleNumbers numbers(recipe.Seed);
  for (int i = 0; i < recipe.Count; ++i) {
    double yaw = recipe.Is360 ? recipe.YawOffset + i * step : recipe.YawOffset + (i - (recipe.Count - 1) / 2.0) * step;
    const auto k = static_cast<std::size_t>(i);
    SamplePicture picture{PictureFileName(recipe.Name, i, recipe.Count), {yaw, pitch[k], roll[k]}, {}};
    const double draws[7] = {numbers.Uniform(-1, 1), numbers.Uniform(-1, 1), numbers.Uniform(-1, 1),
                             numbers.Uniform(-1, 1), numbers.Uniform(-1, 1), numbers.Uniform(-1, 1),
                             numbers.Uniform(-1, 1)};
    if (recipe.YawJitter > 0.0) picture.Orientation.Yaw += recipe.YawJitter * draws[0];
    if (recipe.PitchJitter > 0.0) picture.Orientation.Pitch += recipe.PitchJitter * draws[1];
    if (recipe.RollJitter > 0.0) picture.Orientation.Roll += recipe.RollJitter * draws[2];
    if (recipe.GainSpread > 0.0) picture.Exposure.Gain = std::exp2(recipe.GainSpread * draws[3]);
    if (recipe.CastSpread > 0.0)
      for (std::size_t c = 0; c < 3; ++c) picture.Exposure.Cast[c] = 1.0 + recipe.CastSpread * draws[4 + c];
    set.Pictures.push_back(std::move(picture));
  }
  (void)set.Geometry();  // validates the orientations
  return set;
}

std::vector<WrittenFile> WriteSampleSet(SampleSet& set, const Scene& scene, const std::string& folder,
                                           void (*progress)(const WrittenFile&)) {
  const std::filesystem::path dir(folder);
  std::filesystem::create_directories(dir);
  set.PhotoSize = scene.PhotoSize();
  const SetGeometry geometry = set.Geometry();
  std::vector<WrittenFile> written;
  for (int i = 0; i < geometry.Count(); ++i) {
    DeviceBitmap picture = RenderPicture(scene, geometry, i);
    const SamplePicture& planned = set.Pictures[static_cast<std::size_t>(i)];
    if (!planned.Exposure.IsNeutral() || set.NoiseSigma > 0.0)
      ApplyExposureAndNoise(picture, planned.Exposure, set.NoiseSigma,
                            set.NoiseSeed * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(i));
    const render::JpegSegment exif = ExifFor(set.Camera);
    const std::vector<std::uint8_t> bytes = render::EncodeJpeg(picture, set.JpegQuality, {&exif, 1});
    const std::string path = (dir / set.Pictures[static_cast<std::size_t>(i)].File).string();
    render::WriteFileAtomically(path, bytes);
    written.push_back({path, bytes.size()});
    if (progress) progress(written.back());
  }
  const std::string text = TruthText(set);
  const std::string path = (dir / kTruthFileName).string();
  render::WriteFileAtomically(
      path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  written.push_back({path, text.size()});
  return written;
}

}  // namespace vistarium::samples
