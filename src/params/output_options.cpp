#include "params/output_options.h"

#include "params/option_file.h"
#include "params/parameter_file.h"

namespace vistarium::params {

namespace {
constexpr const char* kGainTitle = "Even out the exposure of the pictures";
constexpr const char* kCropTitle = "Crop of the panorama: common, largest or all";
}  // namespace

std::string_view CropChoiceName(CropChoice choice) {
  switch (choice) {
    case CropChoice::Largest: return "largest";
    case CropChoice::All: return "all";
    case CropChoice::Common: break;
  }
  return "common";
}

std::optional<CropChoice> ParseCropChoice(std::string_view name) {
  for (CropChoice c : {CropChoice::Common, CropChoice::Largest, CropChoice::All})
    if (name == CropChoiceName(c)) return c;
  return std::nullopt;
}

std::filesystem::path GainCompensationOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "GainCompensation.txt";
}

bool ReadGainCompensationOption(const std::filesystem::path& path) { return ReadSwitchOption(path, true); }

void SaveGainCompensationOption(const std::filesystem::path& path, bool compensate) {
  SaveOptionFile(path, kGainTitle, compensate ? "1" : "0");
}

std::filesystem::path CropOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "Crop.txt";
}

CropChoice ReadCropOption(const std::filesystem::path& path) {
  const auto value = ReadOptionValue(path);
  if (!value) return CropChoice::Common;
  return ParseCropChoice(*value).value_or(CropChoice::Common);
}

void SaveCropOption(const std::filesystem::path& path, CropChoice choice) {
  SaveOptionFile(path, kCropTitle, CropChoiceName(choice));
}

}  // namespace vistarium::params
