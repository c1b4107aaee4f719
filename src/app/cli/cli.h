#pragma once
// The command-line tool: batch matching of picture sets with JSON output.
// RunCli is the whole program behind main(), so tests drive it directly.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace vistarium::cli {

// The console a command talks to: its output streams, whether a person can
// answer a question, and the answer source.
struct Console {
  std::ostream& Out;
  std::ostream& Err;
  std::istream& In;
  bool Interactive = false;  // a terminal: the continue question is asked
  // Standard error is a terminal: progress is one line redrawn in place.
  bool ProgressOnTerminal = false;
};

// Runs one command (args without the program name) and returns the exit
// status: 0 on success, 1 for bad input or a failed run, 2 for a bad command
// line, 3 when the user stopped the matching.
int RunCli(const std::vector<std::string>& args, const std::filesystem::path& programFolder, Console& console);

// The program as started: takes "--options DIR", puts the settings folder in
// use (the user's, seeded from the Options delivered with the program in
// `programFolder`), then runs the command.
int RunProgram(std::vector<std::string> args, const std::filesystem::path& programFolder, Console& console);

// The progress line of a terminal: phase, a bar, the percentage, and the
// elapsed and remaining times ("finding      [#########---...]  30%  elapsed
// 0:12  remaining 0:28").
std::string ProgressLine(const std::string& phase, int percent, double elapsedSeconds);

}  // namespace vistarium::cli
