#pragma once
// The fuzz input as a file, for the readers that take a path: written into
// a folder of this process's own (removed when the process ends), under the
// name given, replacing the previous input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vistarium::fuzz {

inline const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path f =
        std::filesystem::temp_directory_path() / ("vistarium-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(f);
    return f;
  }();
  // Registered once the folder's name exists, so that it is removed before
  // the name is destroyed.
  static const bool removedAtExit = std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolder(), ignored);
  }) == 0;
  (void)removedAtExit;
  return folder;
}

inline std::string ScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = (ScratchFolder() / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) std::abort();  // the machine, not the program under test
  return path;
}

}  // namespace vistarium::fuzz
