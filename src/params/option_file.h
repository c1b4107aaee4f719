#pragma once
// Small option files in the Options folder beside the parameter file: a
// title line saying what the option is, and a line with its value, each
// ended by CR LF. Choices that the parameter file's format has no place for
// live in such files, so that parameter files stay readable everywhere.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vistarium::params {

// The value line with blanks trimmed; nullopt when the file is missing,
// unreadable or has no value line.
std::optional<std::string> ReadOptionValue(const std::filesystem::path& path);

// The file's text: the title line and the value line.
std::string FormatOptionFile(std::string_view title, std::string_view value);

// Writes the file whole or not at all; throws FileWriteError on failure.
void SaveOptionFile(const std::filesystem::path& path, std::string_view title, std::string_view value);

// A switch: false only when the value reads as the integer 0, true for 1 or
// any other integer, `fallback` when the value is missing or not an integer.
bool ReadSwitchOption(const std::filesystem::path& path, bool fallback);

}  // namespace vistarium::params
