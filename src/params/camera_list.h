#pragma once
// The camera list: a text file with one known camera per line, giving its
// name, its focal length (mm, reduced to the 35 mm film standard) and its
// aberration coefficient. The parameter file stores only the camera's name;
// its numbers always come from this list.
//
// A line as written: the name padded with blanks to 50 characters (or cut to
// its first 50), " *** ", the focal length "%6.2f", two blanks and the
// aberration "%7.4f". The file is kept with every line trimmed, in ascending
// case-insensitive order, each distinct line once, lines ended by CR LF.
//
// Everything here works without a window: the camera dialog shows what these
// functions compute and asks its questions itself.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "params/parameter_sets.h"

namespace vistarium::params {

// A camera list that cannot be read or written; what() names the file.
class CameraListError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kCameraNameWidth = 50;
inline constexpr std::string_view kCameraSeparator = "***";

// Messages of the camera dialog. A message of several lines has them joined
// by "\n".
inline constexpr std::string_view kEnterNameMessage = "Please enter name of new camera";
inline constexpr std::string_view kFocalNotNumberMessage = "Please enter correct numeric value of focal distance";
inline constexpr std::string_view kImpossibleFocalMessage =
    "You entered impossible focal distance \n"
    "(in mm, reduced to 35mm film standard)\n"
    "         Please correct this value.   ";
inline constexpr std::string_view kAberrationNotNumberMessage =
    "Please enter correct numeric value of aberration coefficient";
inline constexpr std::string_view kImpossibleAberrationMessage =
    "You entered impossible value of aberration coefficient\n"
    "             Please correct this value.   ";
inline constexpr std::string_view kLastCameraMessage = "The list of cameras should contain at least one item.";
inline constexpr std::string_view kDeleteCameraQuestion = "Are you sure that you wish to delete selected camera?";

// Where the list lives, and the temporary file used while it is rewritten.
std::filesystem::path CameraListPath(const std::filesystem::path& programFolder);
std::filesystem::path TemporaryCameraListPath(const std::filesystem::path& programFolder);

// One line of the list as read.
struct CameraLine {
  std::string Name;            // before the first "***", trimmed; empty without "***"
  std::string FocalText;       // as written in the line
  std::string AberrationText;  // as written in the line
  std::optional<double> FocalLength;  // nullopt when FocalText does not read
  std::optional<double> Aberration;   // nullopt when AberrationText does not read
};

// The line of a camera, without line end.
std::string FormatCameraLine(std::string_view name, double focalLength, double aberration);

// Reads a line: the name is what stands before the first "***", trimmed; the
// rest after the asterisks, trimmed, is split at its first blank into the
// focal-length text and (trimmed) the aberration text. Numbers use a point as
// decimal separator whatever the locale.
CameraLine ReadCameraLine(std::string_view line);

// The camera of a line whose two numbers both read.
std::optional<TParametersCamera> CameraFromLine(const CameraLine& line);

// The list file's content for the given lines: each trimmed, empty ones
// dropped, sorted case-insensitively (lines equal but for case in byte order),
// identical lines once, each ended by CR LF.
std::string FormatCameraList(std::vector<std::string> lines);

// The lines of the list file (CR LF or LF). Throws CameraListError, naming
// the file and the reason, when the file is missing or unreadable.
std::vector<std::string> ReadCameraListLines(const std::filesystem::path& listPath);

// What the camera dialog shows after reloading the list.
struct CameraListView {
  std::vector<std::string> Names;  // every line's name, in file order
  std::int32_t SelectedIndex = 0;  // the line matching the current name, else 0
  // The matched line, present only when a line's name equals the current
  // name exactly (case-sensitive) and both of its numbers read.
  std::optional<CameraLine> Current;
};

CameraListView ReloadCameraList(const std::vector<std::string>& lines, std::string_view currentName);
CameraListView ReloadCameraList(const std::filesystem::path& listPath, std::string_view currentName);

// Takes the matched camera's numbers into `camera`; false (and `camera`
// unchanged) when the view has no current camera.
bool ApplyReloadedCamera(const CameraListView& view, TParametersCamera& camera);

// The first line whose name equals `name` exactly (selection in the combo box).
std::optional<CameraLine> FindCameraLine(const std::vector<std::string>& lines, std::string_view name);

// --- Adding a camera ---------------------------------------------------------

enum class CameraField { Name, FocalLength, Aberration };

struct CameraEntryProblem {
  std::string Message;
  CameraField Focus;  // the edit that gets the focus
};

// The checks of "Save New Camera", in order: name entered, focal length a
// number, 1 <= focal length <= 999, aberration a number, -1.5 <= aberration
// <= 1.5. On success Camera holds the entries.
struct NewCameraCheck {
  std::optional<CameraEntryProblem> Problem;
  TParametersCamera Camera;
  bool Accepted() const { return !Problem.has_value(); }
};
NewCameraCheck CheckNewCamera(std::string_view name, std::string_view focalText, std::string_view aberrationText);

// Adds the camera's line to the list file and writes it anew in sorted order.
// The list is replaced in one step through `temporaryPath` (same folder);
// on failure CameraListError is thrown and the old list stays intact.
void AddCamera(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
               const TParametersCamera& camera);

// --- Deleting a camera -------------------------------------------------------

// kLastCameraMessage when the combo box holds exactly one entry, else nullopt.
std::optional<std::string_view> DeleteCameraRefusal(std::size_t entryCount);

struct CameraDeletion {
  std::vector<std::string> KeptLines;  // unchanged, in their order
  std::optional<CameraLine> First;     // the first kept line, which becomes the current camera
};

// Keeps every line whose name is not empty and differs (case-sensitive) from
// the trimmed name entry.
CameraDeletion DeleteCameraLines(const std::vector<std::string>& lines, std::string_view nameEntry);

// The same on the list file, replaced in one step through `temporaryPath`;
// on failure CameraListError is thrown and the old list stays intact.
CameraDeletion DeleteCamera(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
                            std::string_view nameEntry);

// --- Editing the list in the dialog ------------------------------------------
// The camera dialog works on a copy of the list's lines and writes them only
// when the user saves, so that Cancel undoes every addition, deletion and
// change made since the dialog opened.

// The message for a name that another entry of the list already has.
std::string DuplicateCameraMessage(std::string_view name);
// The problem of a new camera whose name (as the list would store it: cut to
// 50 characters) equals an entry's name; nullopt when the name is free.
std::optional<CameraEntryProblem> DuplicateCameraProblem(const std::vector<std::string>& lines, std::string_view name);

// The lines with the camera's line added, in the list's sorted order.
std::vector<std::string> LinesWithCamera(const std::vector<std::string>& lines, const TParametersCamera& camera);
// The lines without line `index` (and only that one, even when another line
// has the same name). Throws std::out_of_range for an index not in the list.
std::vector<std::string> LinesWithout(const std::vector<std::string>& lines, std::size_t index);
// The lines with line `index` holding the camera's numbers under its name.
std::vector<std::string> LinesWithChangedCamera(const std::vector<std::string>& lines, std::size_t index,
                                                const TParametersCamera& camera);

// Writes the lines as the list file (sorted, each line once), replacing it in
// one step through `temporaryPath`; on failure CameraListError is thrown and
// the old list stays intact.
void SaveCameraList(const std::filesystem::path& listPath, const std::filesystem::path& temporaryPath,
                    const std::vector<std::string>& lines);

// Messages of the camera paths that used to pass silently.
// A camera chosen with numbers outside what a run accepts.
std::string UnusableCameraMessage(std::string_view name, std::string_view inForce);
// A parameter set naming a camera the list does not hold.
std::string UnknownCameraMessage(std::string_view name, std::string_view inForce);

}  // namespace vistarium::params
