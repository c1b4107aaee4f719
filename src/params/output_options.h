#pragma once
// Choices about the panorama picture itself, each kept in its own option
// file in the Options folder beside the parameter file (see option_file.h):
//   GainCompensation.txt  1 (even out the exposure of the pictures, the
//                         default) or 0 (the pictures' colours as they are)
//   Crop.txt              common (the band every picture covers, the
//                         default), largest (the largest rectangle without
//                         empty pixels) or all (every picture whole, empty
//                         pixels black)

#include <filesystem>
#include <optional>
#include <string_view>

namespace vistarium::params {

enum class CropChoice { Common, Largest, All };

// "common", "largest" or "all".
std::string_view CropChoiceName(CropChoice choice);
// The choice a name stands for (exactly as CropChoiceName writes it).
std::optional<CropChoice> ParseCropChoice(std::string_view name);

std::filesystem::path GainCompensationOptionPath(const std::filesystem::path& programFolder);
// True unless the file reads as off; a missing or unreadable file means on.
bool ReadGainCompensationOption(const std::filesystem::path& path);
// Throws FileWriteError on failure.
void SaveGainCompensationOption(const std::filesystem::path& path, bool compensate);

std::filesystem::path CropOptionPath(const std::filesystem::path& programFolder);
// Common unless the file names another choice.
CropChoice ReadCropOption(const std::filesystem::path& path);
// Throws FileWriteError on failure.
void SaveCropOption(const std::filesystem::path& path, CropChoice choice);

}  // namespace vistarium::params
