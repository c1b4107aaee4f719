#pragma once
// What Load Pictures makes of the paths it is given (chosen, dropped or named
// on the command line): folders stand for the pictures in them, and every
// path that cannot join the set is listed with its reason in one message,
// while the readable pictures are loaded.

#include <string>
#include <vector>

namespace vistarium::app {

// A path that was not loaded, and why, in a user's words.
struct RefusedFile {
  std::string Path;
  std::string Reason;
};

// Whether a file name has the extension of a picture the program reads
// (.jpg, .jpeg, .bmp, in any case).
bool IsPictureFileName(const std::string& path);

// The paths with every folder replaced by the pictures directly inside it
// (not those of folders within), all in the order Load Pictures takes them
// (SortedPicturePaths). A folder without pictures, a path that does not exist
// and a file that is not a picture by its extension are refused.
std::vector<std::string> PicturePathsToLoad(const std::vector<std::string>& paths, std::vector<RefusedFile>& refused);

// The reason for a picture whose size differs from the set's.
std::string SizeMismatchReason(int width, int height, int setWidth, int setHeight);

// One message for all refused paths: a single picture refused for its size
// gets the size message of Load Pictures; otherwise the list of paths, each
// with its reason.
std::string RefusedFilesMessage(const std::vector<RefusedFile>& refused);

}  // namespace vistarium::app
