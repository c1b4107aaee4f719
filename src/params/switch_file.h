#pragma once
// Switches kept in small files of their own in the Options folder, beside
// the parameter file, so that the parameter file keeps its format: a title
// line and a line holding 1 (on) or 0 (off), each ended by CR LF.

#include <filesystem>
#include <string>

namespace vistarium::params {

std::string FormatSwitchFile(const std::string& title, bool on);

// The switch as the file holds it; `missing` when the file is missing,
// unreadable or holds neither 0 nor another number on its second line.
bool ReadSwitchFile(const std::filesystem::path& path, bool missing);

// Writes the file whole or not at all; throws FileWriteError on failure.
void SaveSwitchFile(const std::filesystem::path& path, const std::string& title, bool on);

}  // namespace vistarium::params
