#include "params/switch_file.h"

#include "params/text_files.h"

namespace vistarium::params {

std::string FormatSwitchFile(const std::string& title, bool on) { return title + "\r\n" + (on ? "1" : "0") + "\r\n"; }

bool ReadSwitchFile(const std::filesystem::path& path, bool missing) {
  const auto text = ReadWholeFile(path);
  if (!text) return missing;
  const std::vector<std::string> lines = SplitLines(*text);
  if (lines.size() < 2) return missing;
  const auto value = ParseInteger(lines[1]);
  if (!value) return missing;
  return *value != 0;
}

void SaveSwitchFile(const std::filesystem::path& path, const std::string& title, bool on) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  ReplaceFileContents(path, temporary, FormatSwitchFile(title, on));
}

}  // namespace vistarium::params
