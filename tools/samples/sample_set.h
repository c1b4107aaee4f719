#pragma once
// Sample sets: a folder of rendered pictures with a truth file, truth.json,
// that records everything needed to recompute the true correspondences: the
// camera, the scene, and every picture's file name and orientation.
//
// truth.json (version 1):
//   {
//     "kind": "vistarium sample set", "version": 1,
//     "preset": "open4",                      (only for a set made by a preset unchanged)
//     "convention": "...",                    (the orientation convention, in words)
//     "pictureSize": {"width": W, "height": H},
//     "focalLength": F, "aberration": k, "is360": false,
//     "scene": {"photo": "name.jpg", "reduction": 1, "photoSize": {"width": .., "height": ..},
//               "spanDegrees": 220, "latitudeSpanDegrees": .., "mirrored": false},
//     "jpegQuality": 85,
//     "pictures": [{"file": "open4_01.jpg", "yaw": -67.5, "pitch": 1.2, "roll": -0.8}, ...],
//     "noise": {"sigma": 2.0, "seed": 7},      (only for a set rendered with sensor noise)
//     "adjacentOverlap": [{"left": .., "right": .., "centreRow": .., "rightEdgeColumn": ..}, ...]
//   }
// A picture rendered with another exposure also holds "gain": g and
// "colourCast": [red, green, blue] (see PictureExposure). Angles are degrees;
// "adjacentOverlap" is informative (recomputed from the rest, see
// SetGeometry::CentreRowOverlap and RightEdgeVisible).

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/parameter_sets.h"
#include "run/run_state.h"
#include "sample_geometry.h"
#include "sample_scene.h"

namespace vistarium::samples {

inline constexpr const char* kTruthFileName = "truth.json";
inline constexpr const char* kRotationConvention =
    "world = Ry(yaw) * Rx(pitch) * Rz(roll) * own; own frame x right, y up, z forward; "
    "yaw positive to the right, pitch positive up, roll positive turns the camera's up vector to the right; "
    "degrees; world longitude atan2(x, z), latitude the elevation; pixel (c, r) has its centre at (c + 0.5, r + 0.5)";

// How one picture's exposure differs from the scene's: every channel value
// is multiplied by Gain times the channel's cast factor (red, green, blue),
// before any sensor noise is added and the result is clipped to 0..255.
struct PictureExposure {
  double Gain = 1.0;
  std::array<double, 3> Cast{1.0, 1.0, 1.0};
  bool IsNeutral() const { return Gain == 1.0 && Cast[0] == 1.0 && Cast[1] == 1.0 && Cast[2] == 1.0; }
};

struct SamplePicture {
  std::string File;  // name within the set's folder
  Rotation Orientation;
  PictureExposure Exposure;
};

struct SampleSet {
  std::string Preset;  // empty unless made by a preset unchanged
  SampleCamera Camera;
  SceneSpec Scene;
  TPoint PhotoSize;  // of the photo as used, after its reduction
  bool Is360 = false;
  int JpegQuality = 90;
  // Sensor noise: Gaussian, this standard deviation in channel levels (0 to
  // 255), drawn independently for every channel of every pixel from the seed.
  double NoiseSigma = 0.0;
  std::uint64_t NoiseSeed = 0;
  std::vector<SamplePicture> Pictures;

  SetGeometry Geometry() const;
};

class TruthFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

std::string TruthText(const SampleSet& set);
// Throws TruthFileError naming the problem (and `name`) for text that is not
// a valid truth file.
SampleSet ParseTruth(const std::string& text, const std::string& name = "truth.json");
SampleSet LoadTruthFile(const std::string& path);

// The picture set a run takes from a set written to `folder`: its first
// `count` pictures (all when negative), closing the circle only when all
// pictures of a full circle are taken.
TPictureSetData RunPictures(const SampleSet& set, const std::string& folder, int count = -1);
// `base` with the set's camera: its focal length and aberration.
params::ParameterSets WithSetCamera(params::ParameterSets base, const SampleSet& set);

// How a set is laid out and rendered.
struct SetRecipe {
  std::string Name = "picture";  // file names are Name_01.jpg, Name_02.jpg, ...
  std::string Photo;             // path of the scene photo
  SceneSpec Scene;               // Scene.Photo is ignored; Photo's file name is recorded
  SampleCamera Camera;
  int Count = 4;
  bool Is360 = false;  // yaw step 360 / Count; the scene is then mirrored
  // Open sets: the yaw step in degrees, or (when YawStep is not given) the
  // share of the centre row that adjacent pictures have in common.
  std::optional<double> YawStep;
  double Overlap = 0.33;
  // Yaw of the middle of an open set, or of the first picture of a 360 set.
  double YawOffset = 0.0;
  // Per-picture pitch and roll in degrees: empty for 0, one value for all
  // pictures, or Count values.
  std::vector<double> Pitch;
  std::vector<double> Roll;
  int JpegQuality = 90;

  // Hand-held shooting. Every picture's yaw, pitch and roll move by a draw
  // uniform within +-these degrees on top of the values above; exposures
  // vary by a gain of 2^u with u uniform within +-GainSpread stops, and each
  // channel by a factor 1 + v with v uniform within +-CastSpread; sensor
  // noise of NoiseSigma levels. All draws follow from Seed, so a recipe
  // always gives the same set. With all of them 0 a set is rendered exactly
  // as without them.
  double YawJitter = 0.0;
  double PitchJitter = 0.0;
  double RollJitter = 0.0;
  double GainSpread = 0.0;
  double CastSpread = 0.0;
  double NoiseSigma = 0.0;
  std::uint64_t Seed = 1;
};

// Names of the presets of the committed sets, and their recipes. A preset's
// Photo is the photo's file name only; the caller puts its folder in front.
std::vector<std::string> PresetNames();
std::optional<SetRecipe> FindPreset(const std::string& name);

// Sets that look like what users shoot, for studies and benchmarks: open
// sets of 1 to 12 megapixels, portrait pictures, a full circle, hand-held
// sets with jitter, exposure differences, noise and barrel aberration, large
// overlaps with rows tilted upwards, and a scene poor in texture. Their Photo
// is a file name as for the presets.
std::vector<std::string> StudySetNames();
std::optional<SetRecipe> FindStudySet(const std::string& name);

// A small deterministic generator (SplitMix64) for the hand-held draws and
// the noise, so that sets are the same on every machine and run.
class SampleNumbers {
public:
  explicit SampleNumbers(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // Uniform in [lo, hi).
  double Uniform(double lo, double hi);
  // Standard normal (Box-Muller).
  double Gaussian();

private:
  std::uint64_t state_;
};

// Applies a picture's exposure and the set's noise to a rendered picture:
// channel values times gain and cast, plus Gaussian noise of `sigma` levels
// drawn from `seed` (row by row, so the result does not depend on the
// number of threads), rounded and clipped to 0..255.
void ApplyExposureAndNoise(DeviceBitmap& picture, const PictureExposure& exposure, double sigma,
                           std::uint64_t seed);

// The yaw step, in degrees, at which two pictures of this camera, both
// level, share `overlap` (0 to 1) of their centre row.
double YawStepForOverlap(const SampleCamera& camera, double overlap);

// The set a recipe describes (file names and orientations); the photo size
// is left 0 until the set is rendered. Throws std::invalid_argument for an
// inconsistent recipe.
SampleSet PlanSet(const SetRecipe& recipe);

struct WrittenFile {
  std::string Path;
  std::uintmax_t Bytes = 0;
};

// Renders every picture of the set into `folder` (created when missing) as
// JPEG, then writes truth.json; sets set.PhotoSize from the scene. Returns
// the files written, truth.json last; `progress` is called after each
// picture when given.
std::vector<WrittenFile> WriteSampleSet(SampleSet& set, const Scene& scene, const std::string& folder,
                                           void (*progress)(const WrittenFile&) = nullptr);

}  // namespace vistarium::samples
