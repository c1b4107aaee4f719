// vistarium-cli: the command-line shell over the core library.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/worker_threads.h"

int main(int argc, char** argv) {
  vistarium::app::UsePassiveWorkerThreads(argv);
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv[0]);
  std::vector<std::string> args(argv + 1, argv + argc);
  vistarium::cli::Console console{std::cout, std::cerr, std::cin, isatty(0) != 0 && isatty(2) != 0,
                                  isatty(2) != 0, exe};
  // The settings are the user's (seeded from the Options delivered beside
  // the program or in its data folder), or those of --options DIR.
  return vistarium::cli::RunProgram(args, exe.parent_path(), console);
}
