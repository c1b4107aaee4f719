#include "params/refinement_option.h"

#include "params/parameter_file.h"
#include "params/text_files.h"

namespace vistarium::params {

namespace {
constexpr const char* kTitle = "Refine connections on the full-size pictures";
}

std::filesystem::path RefinementOptionPath(const std::filesystem::path& programFolder) {
  return OptionsFolder(programFolder) / "Refinement.txt";
}

std::string FormatRefinementOption(bool refine) { return std::string(kTitle) + "\r\n" + (refine ? "1" : "0") + "\r\n"; }

bool ReadRefinementOption(const std::filesystem::path& path) {
  const auto text = ReadWholeFile(path);
  if (!text) return true;
  const std::vector<std::string> lines = SplitLines(*text);
  if (lines.size() < 2) return true;
  const auto value = ParseInteger(lines[1]);
  return !(value && *value == 0);
}

void SaveRefinementOption(const std::filesystem::path& path, bool refine) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  ReplaceFileContents(path, temporary, FormatRefinementOption(refine));
}

}  // namespace vistarium::params
