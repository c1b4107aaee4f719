#pragma once
// Two switches of the stitching kept in small files of their own in the
// Options folder (params/option_file.h), so that the parameter file and the
// camera list keep their formats.
//
// Refinement.txt: whether the connections are measured again on the
// full-size pictures: 1 (refine) or 0 (exactly the three matched points).

#include <filesystem>
#include <string>

namespace vistarium::params {

std::filesystem::path RefinementOptionPath(const std::filesystem::path& programFolder);

// The file's two lines, each ended by CR LF.
std::string FormatRefinementOption(bool refine);

// True (refine) unless the file reads as off; a missing or unreadable file
// means the default.
bool ReadRefinementOption(const std::filesystem::path& path);

// Writes the file whole or not at all; throws FileWriteError on failure.
void SaveRefinementOption(const std::filesystem::path& path, bool refine);

// CameraFromPictures.txt: whether a join starts from the camera the
// pictures' EXIF gives (1, also when the file is missing) or from the camera
// entry of the parameters (0).
std::filesystem::path CameraFromPicturesOptionPath(const std::filesystem::path& programFolder);
bool ReadCameraFromPicturesOption(const std::filesystem::path& path);
void SaveCameraFromPicturesOption(const std::filesystem::path& path, bool fromPictures);

}  // namespace vistarium::params
