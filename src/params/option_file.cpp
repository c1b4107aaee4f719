#include "params/option_file.h"

#include <vector>

#include "params/text_files.h"

namespace vistarium::params {

std::optional<std::string> ReadOptionValue(const std::filesystem::path& path) {
  const auto text = ReadWholeFile(path);
  if (!text) return std::nullopt;
  const std::vector<std::string> lines = SplitLines(*text);
  if (lines.size() < 2) return std::nullopt;
  return std::string(TrimBlanks(lines[1]));
}

std::string FormatOptionFile(std::string_view title, std::string_view value) {
  return std::string(title) + "\r\n" + std::string(value) + "\r\n";
}

void SaveOptionFile(const std::filesystem::path& path, std::string_view title, std::string_view value) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  ReplaceFileContents(path, temporary, FormatOptionFile(title, value));
}

bool ReadSwitchOption(const std::filesystem::path& path, bool fallback) {
  const auto value = ReadOptionValue(path);
  if (!value) return fallback;
  const auto number = ParseInteger(*value);
  if (!number) return fallback;
  return *number != 0;
}

}  // namespace vistarium::params
