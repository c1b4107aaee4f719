#pragma once
// Runs vistarium-cli in the test's own process, with the delivered settings
// beside the built programs, and keeps what it printed.

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli.h"

namespace vistarium::test_support {

struct CliRun {
  int status;
  std::string out, err;
};

// `batch` starts the built vistarium-cli once per set, not the test program.
inline CliRun RunTool(const std::vector<std::string>& args) {
  const std::filesystem::path programs = VISTARIUM_BIN_DIR;
  std::ostringstream out, err;
  std::istringstream in;
  cli::Console console{out, err, in, false, false, programs / "vistarium-cli"};
  const int status = cli::RunCli(args, programs, console);
  return {status, out.str(), err.str()};
}

}  // namespace vistarium::test_support
