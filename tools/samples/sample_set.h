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
//     "adjacentOverlap": [{"left": .., "right": .., "centreRow": .., "rightEdgeColumn": ..}, ...]
//   }
// Angles are degrees; "adjacentOverlap" is informative (recomputed from the
// rest, see SetGeometry::CentreRowOverlap and RightEdgeVisible).

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sample_geometry.h"
#include "sample_scene.h"

namespace vistarium::samples {

inline constexpr const char* kTruthFileName = "truth.json";
inline constexpr const char* kRotationConvention =
    "world = Ry(yaw) * Rx(pitch) * Rz(roll) * own; own frame x right, y up, z forward; "
    "yaw positive to the right, pitch positive up, roll positive turns the camera's up vector to the right; "
    "degrees; world longitude atan2(x, z), latitude the elevation; pixel (c, r) has its centre at (c + 0.5, r + 0.5)";

struct SamplePicture {
  std::string File;  // name within the set's folder
  Rotation Orientation;
};

struct SampleSet {
  std::string Preset;  // empty unless made by a preset unchanged
  SampleCamera Camera;
  SceneSpec Scene;
  TPoint PhotoSize;  // of the photo as used, after its reduction
  bool Is360 = false;
  int JpegQuality = 90;
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
};

// Names of the presets of the committed sets, and their recipes. A preset's
// Photo is the photo's file name only; the caller puts its folder in front.
std::vector<std::string> PresetNames();
std::optional<SetRecipe> FindPreset(const std::string& name);

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
