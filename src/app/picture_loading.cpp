#include "app/picture_loading.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "app/workflow.h"

namespace vistarium::app {

namespace fs = std::filesystem;

namespace {
constexpr const char* kSizeReasonStart = "its size ";
}

bool IsPictureFileName(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".jpg" || ext == ".jpeg" || ext == ".bmp";
}

std::vector<std::string> PicturePathsToLoad(const std::vector<std::string>& paths, std::vector<RefusedFile>& refused) {
  std::vector<std::string> pictures;
  for (const std::string& path : paths) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
      std::size_t found = 0;
      for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || !IsPictureFileName(entry.path().string())) continue;
        pictures.push_back(entry.path().string());
        ++found;
      }
      if (ec)
        refused.push_back({path, "the folder cannot be read (" + ec.message() + ")"});
      else if (found == 0)
        refused.push_back({path, "the folder holds no JPEG or BMP pictures"});
    } else if (!fs::exists(status)) {
      refused.push_back({path, "the file does not exist"});
    } else if (!IsPictureFileName(path)) {
      refused.push_back({path, "not a JPEG or BMP picture (.jpg, .jpeg or .bmp)"});
    } else {
      pictures.push_back(path);
    }
  }
  return SortedPicturePaths(std::move(pictures));
}

std::string SizeMismatchReason(int width, int height, int setWidth, int setHeight) {
  return std::string(kSizeReasonStart) + std::to_string(width) + " x " + std::to_string(height) +
         " differs from the size of previously selected pictures, " + std::to_string(setWidth) + " x " +
         std::to_string(setHeight);
}

std::string RefusedFilesMessage(const std::vector<RefusedFile>& refused) {
  if (refused.empty()) return {};
  if (refused.size() == 1 && refused[0].Reason.starts_with(kSizeReasonStart))
    return SizeMismatchMessage(refused[0].Path);
  std::string text = refused.size() == 1 ? "This file was not loaded:" : std::to_string(refused.size()) +
                                                                             " files were not loaded:";
  for (const RefusedFile& r : refused) text += "\n\n" + r.Path + "\n" + r.Reason + ".";
  return text;
}

}  // namespace vistarium::app
