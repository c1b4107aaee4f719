// vistarium-cli: the command-line shell over the core library.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/cli.h"

int main(int argc, char** argv) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv[0]);
  // Options sit beside the program in a build; an installed program finds
  // them in its data folder.
  std::filesystem::path folder = exe.parent_path();
  const std::filesystem::path installed = folder / ".." / "share" / "vistarium";
  if (!std::filesystem::is_directory(folder / "Options", ec) && std::filesystem::is_directory(installed / "Options", ec))
    folder = installed;
  std::vector<std::string> args(argv + 1, argv + argc);
  vistarium::cli::Console console{std::cout, std::cerr, std::cin, isatty(0) != 0 && isatty(2) != 0, exe};
  return vistarium::cli::RunCli(args, folder, console);
}
