#include "params/refinement_option.h"

#include "params/option_file.h"
#include "params/parameter_file.h"

namespace vistarium::params {

namespace {
constexpr const char* kTitle = "Refine connections on the full-size pictures";
}

std::filesystem::path RefinementOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "Refinement.txt";
}

std::string FormatRefinementOption(bool refine) { return FormatOptionFile(kTitle, refine ? "1" : "0"); }

bool ReadRefinementOption(const std::filesystem::path& path) { return ReadSwitchOption(path, true); }

void SaveRefinementOption(const std::filesystem::path& path, bool refine) {
  SaveOptionFile(path, kTitle, refine ? "1" : "0");
}

}  // namespace vistarium::params
