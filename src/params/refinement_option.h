#pragma once
// Whether the connections are measured again on the full-size pictures. The
// choice is kept in its own small file in the Options folder, beside the
// parameter file, so that the parameter file keeps its format: a title line
// and a line holding 1 (refine) or 0 (exactly the three matched points).

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

}  // namespace vistarium::params
