#pragma once
// The parameter file: twelve text lines holding the camera name and the
// eight numbers of the method and adjacent-pictures sets.
//
//   1  "Parameters of camera"
//   2  camera name, unchanged
//   3  "Parameters of stitching method"
//   4  MinReducedHalfSize, width 4
//   5  QualityCoefficient, width 3
//   6  PreliminarySmoothing, width 1
//   7  "Parameters of adjacent pictures"
//   8-12 the five adjacent-pictures values, width 2 each
//
// Integers are right-aligned in their width, a longer number in full; lines
// end with CR LF when written, CR LF or LF when read. The title lines are
// ignored when read.
//
// Reading follows the classic line-oriented text reader: a text line is taken
// whole without its line end; an integer line skips leading blanks and line
// ends, reads an optionally signed decimal integer that ends at a blank or
// line end, and then skips the rest of its line. Anything else where an
// integer is expected, a value outside 32 bits, or an early end of the text
// is a read error.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "params/parameter_sets.h"

namespace vistarium::params {

// A failure to read or write a parameter file; what() is the message shown to
// the user.
class ParameterFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kCameraTitle = "Parameters of camera";
inline constexpr std::string_view kMethodTitle = "Parameters of stitching method";
inline constexpr std::string_view kTwoPicTitle = "Parameters of adjacent pictures";

inline constexpr std::string_view kSaveParametersError = "Error encountered while saving parameters";
inline constexpr std::string_view kReadParametersError = "Error encountered while reading parameters";
// A dialog's reader appends the full path of the file.
inline constexpr std::string_view kDialogReadError = "Error while reading file ";

inline constexpr std::string_view kParameterFileExtension = ".spr";

// Where the program keeps its options: the folder the program chose at its
// start (params/options_folder.h), else the one beside `programFolder`.
std::filesystem::path OptionsFolder(const std::filesystem::path& programFolder);
std::filesystem::path CurrentParameterFilePath(const std::filesystem::path& programFolder);

// The file's twelve lines, each ended by CR LF.
std::string FormatParameterFile(const ParameterSets& sets);

// Writes the file, replacing any file of that name. Throws ParameterFileError
// with kSaveParametersError, the file and the reason when it cannot be
// written; a file that existed before stays unchanged then.
void SaveParameterFile(const std::filesystem::path& path, const ParameterSets& sets);

// `current` with the camera name and the eight numbers of the text; the
// camera's focal length and aberration are not in the file and stay as in
// `current` until the camera list supplies them. nullopt on a read error.
std::optional<ParameterSets> ParseParameterFile(std::string_view text, const ParameterSets& current = {});

// The same for a file. Throws ParameterFileError with kReadParametersError,
// the file and the reason for a missing or unreadable file (a named pipe is
// refused at once), a short file or a bad integer line.
ParameterSets LoadParameterFile(const std::filesystem::path& path, const ParameterSets& current = {});

// The dialogs' readers of the current file, each reading only its own lines:
// the camera name (line 2), the method set (lines 4 to 6), the
// adjacent-pictures set (lines 8 to 12).
std::optional<std::string> ParseCameraName(std::string_view text);
std::optional<TParametersMethod> ParseMethodParameters(std::string_view text);
std::optional<TParametersTwoPic> ParseTwoPicParameters(std::string_view text);

// The same for a file; on failure they throw ParameterFileError with
// kDialogReadError followed by the file's full path and the reason.
std::string ReadCameraName(const std::filesystem::path& path);
TParametersMethod ReadMethodParameters(const std::filesystem::path& path);
TParametersTwoPic ReadTwoPicParameters(const std::filesystem::path& path);

// The file name that Save Parameters writes for a chosen name: an exact
// ".spr" ending is removed, then ".spr" is appended ("x" and "x.spr" give
// "x.spr", "x.SPR" gives "x.SPR.spr").
std::string ParameterFileNameFor(std::string_view chosenName);

}  // namespace vistarium::params
