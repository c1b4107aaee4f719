#include "params/refinement_option.h"

#include "params/parameter_file.h"
#include "params/switch_file.h"

namespace vistarium::params {

namespace {
constexpr const char* kTitle = "Refine connections on the full-size pictures";
}

std::filesystem::path RefinementOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "Refinement.txt";
}

std::string FormatRefinementOption(bool refine) { return FormatSwitchFile(kTitle, refine); }

bool ReadRefinementOption(const std::filesystem::path& path) { return ReadSwitchFile(path, true); }

void SaveRefinementOption(const std::filesystem::path& path, bool refine) { SaveSwitchFile(path, kTitle, refine); }

std::filesystem::path CameraFromPicturesOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "CameraFromPictures.txt";
}

bool ReadCameraFromPicturesOption(const std::filesystem::path& path) { return ReadSwitchFile(path, true); }

void SaveCameraFromPicturesOption(const std::filesystem::path& path, bool fromPictures) {
  SaveSwitchFile(path, "Take the camera from the pictures", fromPictures);
}

}  // namespace vistarium::params
