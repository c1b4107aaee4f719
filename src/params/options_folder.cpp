#include "params/options_folder.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "params/parameter_file.h"

namespace vistarium::params {

namespace fs = std::filesystem;

namespace {

std::mutex chosenMutex;
std::optional<fs::path> chosenFolder;

std::optional<fs::path> FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return fs::path(value);
}

}  // namespace

std::optional<fs::path> UserOptionsFolder(const std::optional<fs::path>& chosen) {
  if (chosen && !chosen->empty()) return fs::absolute(*chosen);
  if (auto named = FromEnvironment(kOptionsFolderVariable)) return fs::absolute(*named);
  // Relative values of XDG_CONFIG_HOME are invalid and ignored.
  if (auto config = FromEnvironment("XDG_CONFIG_HOME"); config && config->is_absolute())
    return *config / "Vistarium" / "Options";
  if (auto home = FromEnvironment("HOME")) return *home / ".config" / "Vistarium" / "Options";
  return std::nullopt;
}

std::optional<fs::path> DeliveredOptionsFolder(const fs::path& programFolder) {
  std::error_code ec;
  for (const fs::path& candidate :
       {programFolder / "Options", programFolder / ".." / "share" / "vistarium" / "Options"})
    if (fs::is_directory(candidate, ec)) return candidate.lexically_normal();
  return std::nullopt;
}

std::vector<std::string> SeedOptionsFolder(const fs::path& delivered, const fs::path& user) {
  fs::create_directories(user);
  std::vector<std::string> copied;
  for (const fs::directory_entry& entry : fs::directory_iterator(delivered)) {
    if (!entry.is_regular_file()) continue;
    // Files left by an interrupted rewrite are no settings.
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".tmp") || name.starts_with("tmp")) continue;
    const fs::path target = user / entry.path().filename();
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec))) continue;
    // skip_existing: a file that appeared meanwhile is still the user's.
    if (fs::copy_file(entry.path(), target, fs::copy_options::skip_existing))
      copied.push_back(entry.path().filename().string());
  }
  return copied;
}

void UseOptionsFolder(const std::optional<fs::path>& folder) {
  const std::lock_guard lock(chosenMutex);
  chosenFolder = folder;
}

std::optional<fs::path> ChosenOptionsFolder() {
  const std::lock_guard lock(chosenMutex);
  return chosenFolder;
}

fs::path ChooseOptionsFolder(const fs::path& programFolder, const std::optional<fs::path>& chosen,
                             std::string& problem) {
  problem.clear();
  const std::optional<fs::path> delivered = DeliveredOptionsFolder(programFolder);
  const std::optional<fs::path> user = UserOptionsFolder(chosen);
  if (!user) {
    problem = "no folder for the settings is known (HOME is not set)";
  } else {
    try {
      if (delivered)
        SeedOptionsFolder(*delivered, *user);
      else
        fs::create_directories(*user);
      UseOptionsFolder(*user);
      return *user;
    } catch (const fs::filesystem_error& e) {
      problem = "cannot prepare the settings folder " + user->string() + ": " + e.code().message();
    }
  }
  // The delivered folder still gives the program working settings.
  const fs::path fallback = delivered ? *delivered : programFolder / "Options";
  UseOptionsFolder(fallback);
  return fallback;
}

std::optional<fs::path> TakeOptionsArgument(std::vector<std::string>& args) {
  std::optional<fs::path> folder;
  for (std::size_t i = 0; i < args.size();) {
    if (args[i] == "--options") {
      if (i + 1 >= args.size()) throw std::invalid_argument("--options needs a folder");
      folder = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    } else if (args[i].starts_with("--options=")) {
      folder = args[i].substr(10);
      if (folder->empty()) throw std::invalid_argument("--options needs a folder");
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      if (args[i] == "--") break;
      ++i;
    }
  }
  return folder;
}

}  // namespace vistarium::params
