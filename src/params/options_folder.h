#pragma once
// Where the programs keep the user's settings: the parameter file, the camera
// list and the small switch files beside them. They live in the user's
// configuration folder, seeded from the Options folder delivered with the
// program on first use, so that neither a build nor an install can overwrite
// what the user saved.
//
// Until a program chooses a folder (ChooseOptionsFolder), OptionsFolder()
// keeps the folder beside the given program folder; tests rely on that.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vistarium::params {

// The environment variable that names the settings folder (tests and CI).
inline constexpr const char* kOptionsFolderVariable = "VISTARIUM_OPTIONS";

// The user's settings folder: `chosen` when given (the --options option),
// else the folder named by VISTARIUM_OPTIONS, else
// $XDG_CONFIG_HOME/Vistarium/Options, else $HOME/.config/Vistarium/Options.
// nullopt when none of them can be made out.
std::optional<std::filesystem::path> UserOptionsFolder(const std::optional<std::filesystem::path>& chosen = {});

// The Options folder delivered with a program in `programFolder`: beside it
// (a build or an unpacked copy), or installed in ../share/vistarium.
std::optional<std::filesystem::path> DeliveredOptionsFolder(const std::filesystem::path& programFolder);

// Creates `user` if needed and copies into it every file of `delivered` that
// it lacks. A file already there is never replaced. Returns the names of the
// files copied; throws std::filesystem::filesystem_error when the folder
// cannot be made or a file cannot be copied.
std::vector<std::string> SeedOptionsFolder(const std::filesystem::path& delivered, const std::filesystem::path& user);

// Makes OptionsFolder() answer `folder` for the rest of the process;
// nullopt returns to the folder beside the program.
void UseOptionsFolder(const std::optional<std::filesystem::path>& folder);
// The folder chosen with UseOptionsFolder, if any.
std::optional<std::filesystem::path> ChosenOptionsFolder();

// A program's start: the user's folder (or `chosen`), seeded from the
// delivered Options and put in use. When it cannot be made, the delivered
// folder stays in use and `problem` says why. Returns the folder in use.
std::filesystem::path ChooseOptionsFolder(const std::filesystem::path& programFolder,
                                          const std::optional<std::filesystem::path>& chosen, std::string& problem);

// Takes "--options DIR" (or "--options=DIR") out of a program's arguments.
// Throws std::invalid_argument when the option has no value.
std::optional<std::filesystem::path> TakeOptionsArgument(std::vector<std::string>& args);

}  // namespace vistarium::params
