#pragma once
// The command-line tool: batch matching of picture sets with JSON output.
// RunCli is the whole program behind main(), so tests drive it directly.

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <stdexcept>
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
  // This program's executable, which `batch` starts once per set; empty:
  // the running process's own executable.
  std::filesystem::path Program = {};
};

// A bad command line (as opposed to bad input files or parameters).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
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

// Progress of a long step (an export, a batch) on standard error, as stitch
// shows its phases: on a terminal one line redrawn in place, elsewhere a
// line for every change of the percentage. Shows nothing unless `show`.
class StepProgress {
public:
  StepProgress(Console& console, std::string label, bool show);
  ~StepProgress();
  StepProgress(const StepProgress&) = delete;
  StepProgress& operator=(const StepProgress&) = delete;
  // The share done, 0 to 1.
  void operator()(double share);
  // Takes the line off the terminal, for a line of other output; the next
  // share shown puts it back.
  void Clear();
  // Ends the line, so that what follows starts on a line of its own.
  void End();

private:
  void Draw();

  Console& console_;
  std::string label_;
  bool show_;
  std::chrono::steady_clock::time_point started_;
  int percent_ = -1;
  bool lineOpen_ = false;
};

}  // namespace vistarium::cli
